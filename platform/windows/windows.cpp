// Windows of predefined classes, their placement, enabling and ownership on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

HWND GetConsoleWindow() { return ::GetConsoleWindow(); }

HWND CreateWindowExW(DWORD exStyle, std::string_view className, std::string_view windowName,
                     DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param) {
  return ::CreateWindowExW(exStyle, detail::Wide(className).c_str(),
                           detail::Wide(windowName).c_str(), style, x, y, width, height, parent,
                           menu, instance, param);
}

BOOL DestroyWindow(HWND window) { return ::DestroyWindow(window); }

BOOL GetWindowRect(HWND window, RECT* rect) { return ::GetWindowRect(window, rect); }

int GetSystemMetrics(int index) { return ::GetSystemMetrics(index); }

BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags) {
  return ::SetWindowPos(window, insertAfter, x, y, cx, cy, flags);
}

BOOL EnableWindow(HWND window, BOOL enable) { return ::EnableWindow(window, enable); }

BOOL IsWindowEnabled(HWND window) { return ::IsWindowEnabled(window); }

// Window longs are 32-bit on 32-bit Windows; the pointer-sized calls exist only on 64-bit.
LONG_PTR SetWindowLongW(HWND window, int index, LONG_PTR value) {
#ifdef _WIN64
  return ::SetWindowLongPtrW(window, index, value);
#else
  return ::SetWindowLongW(window, index, static_cast<LONG>(value));
#endif
}

LONG_PTR GetWindowLongW(HWND window, int index) {
#ifdef _WIN64
  return ::GetWindowLongPtrW(window, index);
#else
  return ::GetWindowLongW(window, index);
#endif
}

}  // namespace win
