// Console code pages and the standard handles on the real API.
#include "platform/seam.h"

namespace win {

BOOL SetConsoleOutputCP(UINT codePage) { return ::SetConsoleOutputCP(codePage); }

UINT GetConsoleOutputCP() { return ::GetConsoleOutputCP(); }

HANDLE GetStdHandle(DWORD which) { return ::GetStdHandle(which); }

DWORD GetFileType(HANDLE file) { return ::GetFileType(file); }

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, OVERLAPPED* overlapped) {
  return ::WriteFile(file, data, size, written, overlapped);
}

}  // namespace win
