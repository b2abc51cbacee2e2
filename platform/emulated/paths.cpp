#include "platform/emulated/paths.h"

#include <cctype>
#include <system_error>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/guid_text.h"
#include "platform/emulated/machine.h"

namespace emu {
namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(text[i])) !=
        std::toupper(static_cast<unsigned char>(prefix[i]))) {
      return false;
    }
  }
  return true;
}

bool IsLetter(char c) { return std::isalpha(static_cast<unsigned char>(c)) != 0; }
char Upper(char c) { return static_cast<char>(std::toupper(static_cast<unsigned char>(c))); }

bool SameName(const std::string& a, const std::string& b) {
  return !CaseInsensitiveLess{}(a, b) && !CaseInsensitiveLess{}(b, a);
}

// Splits on both separators, as Win32 accepts / for \ in file paths.
void AppendNames(std::string_view text, std::vector<std::string>& names) {
  std::string current;
  auto flush = [&] {
    if (current.empty() || current == ".") {
    } else if (current == "..") {
      if (!names.empty()) names.pop_back();
    } else {
      names.push_back(current);
    }
    current.clear();
  };
  for (char c : text) {
    if (c == '\\' || c == '/') {
      flush();
    } else {
      current.push_back(c);
    }
  }
  flush();
}

}  // namespace

std::optional<std::string> VolumeGuidOfName(std::string_view name) {
  if (!StartsWithNoCase(name, "\\\\?\\Volume{") && !StartsWithNoCase(name, "\\\\.\\Volume{")) {
    return std::nullopt;
  }
  name.remove_prefix(10);
  if (!name.empty() && name.back() == '\\') name.remove_suffix(1);
  if (!ParseGuid(name) || name.size() != 38) return std::nullopt;
  return std::string(name);
}

std::optional<DevicePath> ParseDevicePath(std::string_view path) {
  if (!StartsWithNoCase(path, "\\\\.\\")) {
    // \\?\Volume{GUID} without a trailing backslash opens the volume device too.
    if (StartsWithNoCase(path, "\\\\?\\Volume{") && path.back() != '\\') {
      if (auto guid = VolumeGuidOfName(path)) {
        DevicePath device;
        device.kind = DevicePath::Kind::VolumeGuid;
        device.guid = *guid;
        return device;
      }
    }
    return std::nullopt;
  }
  std::string_view rest = path.substr(4);
  DevicePath device;
  if (StartsWithNoCase(rest, "PHYSICALDRIVE")) {
    std::string_view digits = rest.substr(13);
    if (digits.empty() || digits.size() > 9) return device.disk = 0xFFFFFFFF, device;
    DWORD number = 0;
    for (char c : digits) {
      if (!std::isdigit(static_cast<unsigned char>(c))) return device.disk = 0xFFFFFFFF, device;
      number = number * 10 + static_cast<DWORD>(c - '0');
    }
    device.disk = number;
    return device;
  }
  if (rest.size() == 2 && IsLetter(rest[0]) && rest[1] == ':') {
    device.kind = DevicePath::Kind::VolumeLetter;
    device.letter = Upper(rest[0]);
    return device;
  }
  if (StartsWithNoCase(rest, "Volume{") && rest.back() != '\\') {
    if (auto guid = VolumeGuidOfName(path)) {
      device.kind = DevicePath::Kind::VolumeGuid;
      device.guid = *guid;
      return device;
    }
  }
  // Some other device name: nothing of that name exists here.
  device.disk = 0xFFFFFFFF;
  return device;
}

std::string FilePath::Text() const {
  std::string text = letter != 0 ? std::string(1, letter) + ":" : "\\\\?\\Volume" + guid;
  if (names.empty()) return text + "\\";
  for (const std::string& name : names) text += "\\" + name;
  return text;
}

DWORD ParseFilePath(std::string_view path, FilePath& parsed) {
  parsed = FilePath{};
  if (path.empty()) return ERROR_PATH_NOT_FOUND;
  std::string_view rest;
  if (StartsWithNoCase(path, "\\\\?\\Volume{") || StartsWithNoCase(path, "\\\\.\\Volume{")) {
    const std::size_t end = path.find('}');
    if (end == std::string_view::npos) return ERROR_INVALID_NAME;
    auto guid = VolumeGuidOfName(path.substr(0, end + 1));
    if (!guid) return ERROR_INVALID_NAME;
    parsed.guid = *guid;
    rest = path.substr(end + 1);
  } else {
    if (StartsWithNoCase(path, "\\\\?\\")) path.remove_prefix(4);  // \\?\C:\... is C:\...
    if (path.size() >= 2 && IsLetter(path[0]) && path[1] == ':') {
      parsed.letter = Upper(path[0]);
      rest = path.substr(2);
      // "X:" and "X:name" are relative to the drive's current folder, which is its root here,
      // unless the process's current folder is on that drive.
      if (rest.empty() || (rest[0] != '\\' && rest[0] != '/')) {
        std::string current;
        {
          ProcessState& process = Machine::Get().Process();
          std::lock_guard lock(process.mutex);
          current = process.currentDirectory;
        }
        if (current.size() >= 2 && Upper(current[0]) == parsed.letter) {
          AppendNames(std::string_view(current).substr(2), parsed.names);
        }
      }
    } else if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') &&
               (path[1] == '\\' || path[1] == '/')) {
      return ERROR_BAD_PATHNAME;  // network paths do not exist on this machine
    } else {
      std::string current;
      {
        ProcessState& process = Machine::Get().Process();
        std::lock_guard lock(process.mutex);
        current = process.currentDirectory;
      }
      FilePath base;
      if (DWORD status = ParseFilePath(current, base); status != ERROR_SUCCESS) return status;
      parsed = base;
      if (path[0] == '\\' || path[0] == '/') parsed.names.clear();  // root of the current drive
      rest = path;
    }
  }
  AppendNames(rest, parsed.names);
  for (std::string& name : parsed.names) {
    // Windows drops trailing dots and spaces of each name.
    while (!name.empty() && (name.back() == '.' || name.back() == ' ')) name.pop_back();
    if (name.empty()) return ERROR_INVALID_NAME;
    for (char c : name) {
      if (static_cast<unsigned char>(c) < 32 || std::string_view("<>:\"|?*").find(c) !=
                                                    std::string_view::npos) {
        return ERROR_INVALID_NAME;
      }
    }
  }
  return ERROR_SUCCESS;
}

std::string VolumeFileSystem(Storage& storage, const Volume& volume) {
  if (volume.extents.empty()) return {};
  const VolumeExtent& first = volume.extents.front();
  DiskDevice* disk = storage.FindDisk(first.disk);
  if (disk == nullptr) return {};
  DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
  BYTE sector[4096] = {};
  const std::size_t size =
      static_cast<std::size_t>(std::min<LONGLONG>(sizeof sector, first.length));
  if (!image.Read(static_cast<ULONGLONG>(first.offset), sector, size)) return {};
  return ReadBootSector(sector, size).fileSystem;
}

DWORD ResolveFilePath(Storage& storage, const FilePath& path, HostPath& resolved,
                      const void* caller) {
  resolved = HostPath{};
  std::shared_ptr<Volume> volume =
      path.letter != 0 ? storage.FindVolumeByLetter(path.letter) : storage.FindVolumeByGuid(path.guid);
  if (volume == nullptr) {
    if (path.letter != 0) {
      for (const ForeignLetter& foreign : storage.ForeignLetters()) {
        if (foreign.letter == path.letter) return ERROR_NOT_READY;
      }
    }
    return path.letter != 0 ? ERROR_PATH_NOT_FOUND : ERROR_INVALID_NAME;
  }
  if (volume->lockedBy != nullptr && volume->lockedBy != caller) return ERROR_ACCESS_DENIED;
  if (VolumeFileSystem(storage, *volume).empty()) return ERROR_UNRECOGNIZED_VOLUME;

  std::filesystem::path host = storage.VolumeFolder(*volume);
  std::error_code ec;
  std::filesystem::create_directories(host, ec);
  for (const std::string& name : path.names) {
    std::filesystem::path next = host / name;
    if (!std::filesystem::exists(next, ec)) {
      for (const auto& entry : std::filesystem::directory_iterator(host, ec)) {
        if (SameName(entry.path().filename().string(), name)) {
          next = entry.path();
          break;
        }
      }
    }
    host = next;
  }
  resolved.volume = volume;
  resolved.host = host;
  resolved.isRoot = path.names.empty();
  return ERROR_SUCCESS;
}

}  // namespace emu
