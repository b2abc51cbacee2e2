// Environment variables, the temporary folder and the current directory on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

// Runs a Win32 "fill this buffer" call until the value fits: such calls return the length
// without terminator when it fits, the size needed when it does not, and 0 on failure. The value
// may grow between two calls, hence the loop. Returns the length of the UTF-8 value.
template <typename Call>
DWORD ReadGrowing(std::string& out, Call call) {
  out.clear();
  std::wstring buffer(MAX_PATH + 1, L'\0');
  for (;;) {
    DWORD length = call(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return 0;
    if (length < buffer.size()) {
      out = detail::Narrow(std::wstring_view(buffer.data(), length));
      return static_cast<DWORD>(out.size());
    }
    buffer.assign(length + 1, L'\0');  // + 1: not every call counts the terminator
  }
}

}  // namespace

DWORD GetEnvironmentVariableW(std::string_view name, std::string& value) {
  std::wstring wideName = detail::Wide(name);
  return ReadGrowing(value, [&](LPWSTR buffer, DWORD size) {
    return ::GetEnvironmentVariableW(wideName.c_str(), buffer, size);
  });
}

DWORD GetTempPathW(std::string& path) {
  return ReadGrowing(path, [](LPWSTR buffer, DWORD size) { return ::GetTempPathW(size, buffer); });
}

BOOL SetCurrentDirectoryW(std::string_view path) {
  return ::SetCurrentDirectoryW(detail::Wide(path).c_str());
}

DWORD GetCurrentDirectoryW(std::string& path) {
  return ReadGrowing(path, [](LPWSTR buffer, DWORD size) {
    return ::GetCurrentDirectoryW(size, buffer);
  });
}

}  // namespace win
