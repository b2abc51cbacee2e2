// Volume enumeration, drive letters and volume information on the emulated machine.
#include <algorithm>
#include <cctype>
#include <system_error>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/devices.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/volume_touches.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace emu {
namespace {

// A search of FindFirstVolumeW: the names as they were when it began.
class VolumeSearch : public KernelObject {
 public:
  std::vector<std::string> names;
  std::size_t next = 0;
};

std::string VolumeName(const Volume& volume) { return "\\\\?\\" + volume.Name() + "\\"; }

bool HandOut(const std::string& name, DWORD bufferLength, std::string& out) {
  if (win::Utf8ToUtf16(name).size() + 1 > bufferLength) {
    win::SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return false;
  }
  out = name;
  return true;
}

// "E:\" (or "E:") -> 'E'; 0 when the text is not a drive root.
char RootLetter(std::string_view root, bool needBackslash) {
  if (root.size() < 2 || !std::isalpha(static_cast<unsigned char>(root[0])) || root[1] != ':') {
    return 0;
  }
  if (root.size() == 2) return needBackslash ? 0 : static_cast<char>(std::toupper(root[0]));
  if (root.size() == 3 && root[2] == '\\') return static_cast<char>(std::toupper(root[0]));
  return 0;
}

// The volume behind a root path: "E:\" or "\\?\Volume{GUID}\".
std::shared_ptr<Volume> VolumeOfRoot(Storage& storage, std::string_view root, bool needBackslash) {
  if (char letter = RootLetter(root, needBackslash)) return storage.FindVolumeByLetter(letter);
  if (needBackslash && (root.empty() || root.back() != '\\')) return nullptr;
  if (auto guid = VolumeGuidOfName(root)) return storage.FindVolumeByGuid(*guid);
  return nullptr;
}

ULONGLONG FolderBytes(const std::filesystem::path& folder) {
  ULONGLONG total = 0;
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_regular_file(ec)) total += it->file_size(ec);
  }
  return total;
}

BootSectorInfo BootSectorOf(Storage& storage, const Volume& volume) {
  BYTE sector[4096] = {};
  const VolumeExtent& first = volume.extents.front();
  DiskDevice* disk = storage.FindDisk(first.disk);
  if (disk == nullptr) return {};
  DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
  const auto size = static_cast<std::size_t>(std::min<LONGLONG>(sizeof sector, first.length));
  if (!image.Read(static_cast<ULONGLONG>(first.offset), sector, size)) return {};
  return ReadBootSector(sector, size);
}

}  // namespace
}  // namespace emu

namespace win {

HANDLE FindFirstVolumeW(std::string& volumeName, DWORD bufferLength) {
  volumeName.clear();
  if (auto fault = emu::TakeFault("FindFirstVolumeW")) {
    SetLastError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  auto search = std::make_shared<emu::VolumeSearch>();
  {
    auto locked = emu::Storage::Lock();
    for (const auto& volume : locked.storage.Volumes()) {
      search->names.push_back(emu::VolumeName(*volume));
    }
  }
  if (search->names.empty()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (!emu::HandOut(search->names.front(), bufferLength, volumeName)) return INVALID_HANDLE_VALUE;
  search->next = 1;
  return emu::InsertHandle(std::move(search));
}

BOOL FindNextVolumeW(HANDLE find, std::string& volumeName, DWORD bufferLength) {
  volumeName.clear();
  auto search = emu::LookupHandleAs<emu::VolumeSearch>(find);
  if (!search) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (search->next >= search->names.size()) {
    SetLastError(ERROR_NO_MORE_FILES);
    return FALSE;
  }
  if (!emu::HandOut(search->names[search->next], bufferLength, volumeName)) return FALSE;
  ++search->next;
  return TRUE;
}

BOOL FindVolumeClose(HANDLE find) {
  if (!emu::LookupHandleAs<emu::VolumeSearch>(find) || !emu::RemoveHandle(find)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

BOOL GetVolumePathNamesForVolumeNameW(std::string_view volumeName, std::vector<std::string>& paths,
                                      DWORD bufferLength) {
  paths.clear();
  auto guid = emu::VolumeGuidOfName(volumeName);
  if (!guid || volumeName.back() != '\\') {
    SetLastError(ERROR_INVALID_NAME);
    return FALSE;
  }
  auto locked = emu::Storage::Lock();
  auto volume = locked.storage.FindVolumeByGuid(*guid);
  if (!volume) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  std::vector<std::string> found;
  if (volume->letter != 0) found.push_back(std::string(1, volume->letter) + ":\\");
  DWORD needed = 1;  // the final terminator
  for (const std::string& path : found) needed += static_cast<DWORD>(path.size()) + 1;
  if (needed > bufferLength) {
    SetLastError(ERROR_MORE_DATA);
    return FALSE;
  }
  paths = found;
  return TRUE;
}

BOOL SetVolumeMountPointW(std::string_view mountPoint, std::string_view volumeName) {
  if (auto fault = emu::TakeFault("SetVolumeMountPointW", mountPoint)) {
    SetLastError(*fault);
    return FALSE;
  }
  const char letter = emu::RootLetter(mountPoint, true);
  auto guid = emu::VolumeGuidOfName(volumeName);
  if (letter == 0 || !guid || volumeName.back() != '\\') {
    SetLastError(letter == 0 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_NAME);
    return FALSE;
  }
  auto locked = emu::Storage::Lock();
  auto volume = locked.storage.FindVolumeByGuid(*guid);
  if (!volume) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  if (volume->letter == letter) {
    SetLastError(ERROR_DIR_NOT_EMPTY);
    return FALSE;
  }
  if (locked.storage.LetterInUse(letter)) {
    SetLastError(ERROR_DIR_NOT_EMPTY);  // what the mount manager answers for a taken letter
    return FALSE;
  }
  if (volume->letter != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);  // one drive letter per volume
    return FALSE;
  }
  locked.storage.AssignLetter(*volume, letter);
  emu::AnnounceVolume(DBT_DEVICEARRIVAL, letter);
  return TRUE;
}

BOOL DeleteVolumeMountPointW(std::string_view mountPoint) {
  if (auto fault = emu::TakeFault("DeleteVolumeMountPointW", mountPoint)) {
    SetLastError(*fault);
    return FALSE;
  }
  const char letter = emu::RootLetter(mountPoint, true);
  if (letter == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  auto locked = emu::Storage::Lock();
  auto volume = locked.storage.FindVolumeByLetter(letter);
  if (!volume) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  locked.storage.AssignLetter(*volume, 0);
  emu::RecordVolumeTouch(*volume, emu::VolumeTouch::LetterRemoved);
  emu::AnnounceVolume(DBT_DEVICEREMOVECOMPLETE, letter);
  return TRUE;
}

DWORD GetLogicalDriveStringsW(std::vector<std::string>& roots) {
  roots.clear();
  auto locked = emu::Storage::Lock();
  for (char letter = 'A'; letter <= 'Z'; ++letter) {
    if (locked.storage.LetterInUse(letter)) roots.push_back(std::string(1, letter) + ":\\");
  }
  return static_cast<DWORD>(roots.size() * 4);
}

UINT GetDriveTypeW(std::string_view rootPath) {
  auto locked = emu::Storage::Lock();
  if (char letter = emu::RootLetter(rootPath, false)) {
    for (const emu::ForeignLetter& foreign : locked.storage.ForeignLetters()) {
      if (foreign.letter == letter) return foreign.driveType;
    }
  }
  auto volume = emu::VolumeOfRoot(locked.storage, rootPath, false);
  if (!volume) return DRIVE_NO_ROOT_DIR;
  if (volume->cdrom) return DRIVE_CDROM;
  emu::DiskDevice* disk = locked.storage.FindDisk(volume->Disk());
  return disk && disk->removable() ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

BOOL GetVolumeInformationW(std::string_view rootPath, std::string* volumeName, DWORD* serialNumber,
                           DWORD* maximumComponentLength, DWORD* fileSystemFlags,
                           std::string* fileSystemName) {
  if (auto fault = emu::TakeFault("GetVolumeInformationW", rootPath)) {
    SetLastError(*fault);
    return FALSE;
  }
  auto locked = emu::Storage::Lock();
  auto volume = emu::VolumeOfRoot(locked.storage, rootPath, true);
  if (!volume) {
    const bool wellFormed = emu::RootLetter(rootPath, true) != 0 || emu::VolumeGuidOfName(rootPath);
    SetLastError(wellFormed ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME);
    return FALSE;
  }
  if (volume->lockedBy != nullptr) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  const emu::BootSectorInfo info = emu::BootSectorOf(locked.storage, *volume);
  if (info.fileSystem.empty()) {
    SetLastError(ERROR_UNRECOGNIZED_VOLUME);
    return FALSE;
  }
  if (volumeName) *volumeName = !volume->label.empty() ? volume->label : info.label;
  if (serialNumber) *serialNumber = emu::VolumeSerialNumber(info);
  if (maximumComponentLength) *maximumComponentLength = 255;
  if (fileSystemFlags) {
    *fileSystemFlags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
    if (info.fileSystem == "NTFS") *fileSystemFlags |= FILE_CASE_SENSITIVE_SEARCH | FILE_PERSISTENT_ACLS;
  }
  if (fileSystemName) *fileSystemName = info.fileSystem;
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(std::string_view directory, ULARGE_INTEGER* freeBytesAvailable,
                         ULARGE_INTEGER* totalBytes, ULARGE_INTEGER* totalFreeBytes) {
  auto locked = emu::Storage::Lock();
  emu::FilePath parsed;
  emu::HostPath resolved;
  DWORD status = emu::ParseFilePath(directory, parsed);
  if (status == ERROR_SUCCESS) status = emu::ResolveFilePath(locked.storage, parsed, resolved);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  const emu::BootSectorInfo info = emu::BootSectorOf(locked.storage, *resolved.volume);
  const ULONGLONG total = info.totalBytes;
  const ULONGLONG used = emu::FolderBytes(locked.storage.VolumeFolder(*resolved.volume));
  const ULONGLONG free = used >= total ? 0 : total - used;
  if (freeBytesAvailable) freeBytesAvailable->QuadPart = free;
  if (totalBytes) totalBytes->QuadPart = total;
  if (totalFreeBytes) totalFreeBytes->QuadPart = free;
  return TRUE;
}

}  // namespace win
