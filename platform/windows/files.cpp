// Files and devices on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

HANDLE CreateFileW(std::string_view path, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile) {
  return ::CreateFileW(detail::Wide(path).c_str(), access, shareMode,
                       const_cast<SECURITY_ATTRIBUTES*>(security), creationDisposition,
                       flagsAndAttributes, templateFile);
}

BOOL ReadFile(HANDLE file, void* data, DWORD size, DWORD* read, OVERLAPPED* overlapped) {
  return ::ReadFile(file, data, size, read, overlapped);
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
  return ::SetFilePointer(file, distance, distanceHigh, moveMethod);
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition,
                      DWORD moveMethod) {
  return ::SetFilePointerEx(file, distance, newPosition, moveMethod);
}

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* returned, OVERLAPPED* overlapped) {
  return ::DeviceIoControl(device, controlCode, in, inSize, out, outSize, returned, overlapped);
}

DWORD GetFileAttributesW(std::string_view path) {
  return ::GetFileAttributesW(detail::Wide(path).c_str());
}

BOOL CreateDirectoryW(std::string_view path, const SECURITY_ATTRIBUTES* security) {
  return ::CreateDirectoryW(detail::Wide(path).c_str(), const_cast<SECURITY_ATTRIBUTES*>(security));
}

BOOL RemoveDirectoryW(std::string_view path) {
  return ::RemoveDirectoryW(detail::Wide(path).c_str());
}

BOOL DeleteFileW(std::string_view path) { return ::DeleteFileW(detail::Wide(path).c_str()); }

BOOL CopyFileW(std::string_view source, std::string_view destination, BOOL failIfExists) {
  return ::CopyFileW(detail::Wide(source).c_str(), detail::Wide(destination).c_str(), failIfExists);
}

}  // namespace win
