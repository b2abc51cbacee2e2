// How the emulated machine reads the path forms of Win32: devices (\\.\PHYSICALDRIVE1, \\.\E:,
// \\.\Volume{GUID}), file paths on a drive letter or a volume name, and relative paths.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/emulated/storage.h"

namespace emu {

struct DevicePath {
  enum class Kind { Disk, VolumeLetter, VolumeGuid } kind = Kind::Disk;
  DWORD disk = 0;
  char letter = 0;
  std::string guid;  // "{...}"
};

// A device path, or nothing when `path` names a file or folder.
std::optional<DevicePath> ParseDevicePath(std::string_view path);

// "\\?\Volume{GUID}\" or "\\?\Volume{GUID}" -> "{GUID}"; nothing when it is not a volume name.
std::optional<std::string> VolumeGuidOfName(std::string_view name);

// A file path made absolute and split: the drive (a letter, or a volume GUID) and the names below
// its root, with "." and ".." applied (".." stops at the root, as on Windows) and the trailing
// dots and spaces of each name dropped.
struct FilePath {
  char letter = 0;
  std::string guid;
  std::vector<std::string> names;
  std::string Text() const;  // X:\a\b or \\?\Volume{...}\a\b
};

// ERROR_SUCCESS, or ERROR_INVALID_NAME / ERROR_PATH_NOT_FOUND / ERROR_BAD_PATHNAME.
DWORD ParseFilePath(std::string_view path, FilePath& parsed);

// Where a parsed path lives on the host: the volume and the host path under its folder, found
// without regard to letter case (existing names keep their case; new names take the given one).
// Must be called with the storage lock held. Fails with ERROR_PATH_NOT_FOUND for a missing drive,
// ERROR_NOT_READY for a drive without a volume behind it, ERROR_UNRECOGNIZED_VOLUME for a volume
// without a file system, ERROR_ACCESS_DENIED for a locked volume.
struct HostPath {
  std::shared_ptr<Volume> volume;
  std::filesystem::path host;
  bool isRoot = false;
};
DWORD ResolveFilePath(Storage& storage, const FilePath& path, HostPath& resolved,
                      const void* caller = nullptr);

// The file system a volume's boot sector declares ("NTFS", "FAT32", ...), empty when none.
std::string VolumeFileSystem(Storage& storage, const Volume& volume);

}  // namespace emu
