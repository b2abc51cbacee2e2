// Libraries on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

HMODULE LoadLibraryW(std::string_view path) {
  // A relative name is made absolute first: LoadLibraryW would otherwise search the program's
  // own folder and the system folders before the current directory, and load a planted copy.
  const std::wstring wide = detail::Wide(path);
  const DWORD needed = ::GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (needed == 0) return nullptr;
  std::wstring full(needed, L'\0');
  const DWORD length = ::GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
  if (length == 0 || length >= needed) return nullptr;
  full.resize(length);
  // The library's own dependencies come from its folder and the system, not from ours.
  return ::LoadLibraryExW(full.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

HMODULE LoadLibraryExW(std::string_view path, HANDLE file, DWORD flags) {
  return ::LoadLibraryExW(detail::Wide(path).c_str(), file, flags);
}

BOOL SetDefaultDllDirectories(DWORD flags) {
  // Vista and a Windows 7 without its loader update lack the call: it is looked up, not imported.
  using Function = BOOL(WINAPI*)(DWORD);
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  auto function = reinterpret_cast<Function>(
      reinterpret_cast<void*>(kernel ? ::GetProcAddress(kernel, "SetDefaultDllDirectories")
                                     : nullptr));
  if (function == nullptr) {
    ::SetLastError(ERROR_PROC_NOT_FOUND);
    return FALSE;
  }
  return function(flags);
}

BOOL SetDllDirectoryW(std::string_view path) {
  return ::SetDllDirectoryW(detail::Wide(path).c_str());
}

void* GetProcAddress(HMODULE module, const char* name) {
  return reinterpret_cast<void*>(::GetProcAddress(module, name));
}

BOOL FreeLibrary(HMODULE module) { return ::FreeLibrary(module); }

}  // namespace win
