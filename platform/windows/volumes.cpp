// Volume enumeration, mount points and drive letters on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

// The entries of a Win32 multi-string (each ends with a zero; an empty entry ends the list),
// never reading past `length` units.
std::vector<std::string> SplitMultiString(const wchar_t* buffer, std::size_t length) {
  std::vector<std::string> entries;
  std::size_t start = 0;
  while (start < length && buffer[start] != L'\0') {
    std::size_t end = start;
    while (end < length && buffer[end] != L'\0') ++end;
    entries.push_back(detail::Narrow(std::wstring_view(buffer + start, end - start)));
    start = end + 1;
  }
  return entries;
}

// The zero-terminated text at the start of a filled buffer.
std::string TerminatedText(const std::wstring& buffer) {
  return detail::Narrow(std::wstring_view(buffer.c_str()));
}

}  // namespace

// The caller's buffer length goes to the API unchanged, so a name that does not fit fails there.
HANDLE FindFirstVolumeW(std::string& volumeName, DWORD bufferLength) {
  volumeName.clear();
  std::wstring buffer(bufferLength, L'\0');
  HANDLE find = ::FindFirstVolumeW(buffer.data(), bufferLength);
  if (find != INVALID_HANDLE_VALUE) volumeName = TerminatedText(buffer);
  return find;
}

BOOL FindNextVolumeW(HANDLE find, std::string& volumeName, DWORD bufferLength) {
  volumeName.clear();
  std::wstring buffer(bufferLength, L'\0');
  if (!::FindNextVolumeW(find, buffer.data(), bufferLength)) return FALSE;
  volumeName = TerminatedText(buffer);
  return TRUE;
}

BOOL FindVolumeClose(HANDLE find) { return ::FindVolumeClose(find); }

BOOL GetVolumePathNamesForVolumeNameW(std::string_view volumeName, std::vector<std::string>& paths,
                                      DWORD bufferLength) {
  paths.clear();
  std::wstring buffer(bufferLength, L'\0');
  DWORD returned = 0;
  if (!::GetVolumePathNamesForVolumeNameW(detail::Wide(volumeName).c_str(), buffer.data(),
                                          bufferLength, &returned)) {
    return FALSE;
  }
  paths = SplitMultiString(buffer.data(), buffer.size());
  return TRUE;
}

BOOL SetVolumeMountPointW(std::string_view mountPoint, std::string_view volumeName) {
  return ::SetVolumeMountPointW(detail::Wide(mountPoint).c_str(), detail::Wide(volumeName).c_str());
}

BOOL DeleteVolumeMountPointW(std::string_view mountPoint) {
  return ::DeleteVolumeMountPointW(detail::Wide(mountPoint).c_str());
}

DWORD GetLogicalDriveStringsW(std::vector<std::string>& roots) {
  roots.clear();
  // 26 letters of "X:\" and a zero each, and the final zero; grown if drives appear meanwhile.
  std::wstring buffer(26 * 4 + 1, L'\0');
  for (;;) {
    const DWORD length =
        ::GetLogicalDriveStringsW(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) return 0;
    if (length < buffer.size()) {
      roots = SplitMultiString(buffer.data(), length);
      return length;
    }
    buffer.assign(length + 1, L'\0');
  }
}

UINT GetDriveTypeW(std::string_view rootPath) {
  return ::GetDriveTypeW(detail::Wide(rootPath).c_str());
}

BOOL GetVolumeInformationW(std::string_view rootPath, std::string* volumeName, DWORD* serialNumber,
                           DWORD* maximumComponentLength, DWORD* fileSystemFlags,
                           std::string* fileSystemName) {
  // Both names are at most MAX_PATH + 1 units, the size the API documents.
  std::wstring name(volumeName != nullptr ? MAX_PATH + 1 : 0, L'\0');
  std::wstring fileSystem(fileSystemName != nullptr ? MAX_PATH + 1 : 0, L'\0');
  if (volumeName != nullptr) volumeName->clear();
  if (fileSystemName != nullptr) fileSystemName->clear();
  if (!::GetVolumeInformationW(
          detail::Wide(rootPath).c_str(), volumeName != nullptr ? name.data() : nullptr,
          static_cast<DWORD>(name.size()), serialNumber, maximumComponentLength, fileSystemFlags,
          fileSystemName != nullptr ? fileSystem.data() : nullptr,
          static_cast<DWORD>(fileSystem.size()))) {
    return FALSE;
  }
  if (volumeName != nullptr) *volumeName = TerminatedText(name);
  if (fileSystemName != nullptr) *fileSystemName = TerminatedText(fileSystem);
  return TRUE;
}

BOOL GetDiskFreeSpaceExW(std::string_view directory, ULARGE_INTEGER* freeBytesAvailable,
                         ULARGE_INTEGER* totalBytes, ULARGE_INTEGER* totalFreeBytes) {
  return ::GetDiskFreeSpaceExW(detail::Wide(directory).c_str(), freeBytesAvailable, totalBytes,
                               totalFreeBytes);
}

}  // namespace win
