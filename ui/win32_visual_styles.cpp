#include "ui/win32_visual_styles.h"

#include <string>

#include "platform/seam.h"

namespace ui {
namespace {

// UxTheme.dll from the system folder. It is no library that Windows always takes from there (a
// known DLL), so it is not imported: an imported UxTheme.dll would be searched for in the
// program's folder first, and a copy left there would run elevated before the program starts.
// A Windows without the search flags (Vista, 7 without its loader update) refuses them as an
// invalid parameter; it gets the file's full path in the system folder instead.
HMODULE LoadUxTheme() {
  HMODULE module = win::LoadLibraryExW("uxtheme.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module != nullptr || win::GetLastError() != ERROR_INVALID_PARAMETER) return module;
  wchar_t folder[MAX_PATH];
  const UINT length = GetSystemDirectoryW(folder, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return nullptr;
  std::string path(static_cast<std::size_t>(length) * 3, '\0');
  const int size = WideCharToMultiByte(CP_UTF8, 0, folder, static_cast<int>(length), path.data(),
                                       static_cast<int>(path.size()), nullptr, nullptr);
  if (size <= 0) return nullptr;
  path.resize(static_cast<std::size_t>(size));
  return win::LoadLibraryExW(path + "\\uxtheme.dll", nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

bool AppThemed() {
  // Kept loaded for the process's life: the common controls load UxTheme later by name, and a
  // name already loaded is not searched for again (a Windows without SetDefaultDllDirectories
  // would start that search in the program's folder).
  static const HMODULE uxTheme = LoadUxTheme();
  if (uxTheme == nullptr) return false;
  using IsAppThemedFunction = BOOL(WINAPI*)();
  auto isAppThemed =
      reinterpret_cast<IsAppThemedFunction>(win::GetProcAddress(uxTheme, "IsAppThemed"));
  return isAppThemed != nullptr && isAppThemed() != FALSE;
}

}  // namespace ui
