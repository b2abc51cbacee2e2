// The platform seam: the part of the Win32 API that the system calls, with Win32's names, flags,
// error codes and structure layouts. Strings cross the seam as UTF-8; handles that the caller owns
// come back as the RAII types of handles.h, so they close on every path.
//
// Everything lives in namespace win so that it never clashes with the real API (on Windows) or
// with the symbols that the archive library exports (on Linux).
//
// Backends: platform/windows (the real API) and platform/emulated (the emulated machine).
#pragma once

#include <string>
#include <string_view>

#include "platform/handles.h"
#include "platform/win32_types.h"

namespace win {

// ---- Errors ---------------------------------------------------------------------------------
// Per-thread last error, as on Windows.
DWORD GetLastError();
void SetLastError(DWORD code);

// FormatMessageW: the message text for an error code in `buffer` (UTF-8). Returns the length in
// UTF-16 units as Windows does, 0 on failure (last error ERROR_MR_MID_NOT_FOUND for unknown codes).
DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     std::string& buffer);

// ---- Windows and the console ----------------------------------------------------------------
HWND GetConsoleWindow();
// A window of a predefined class ("STATIC", ...); DestroyWindow removes it.
HWND CreateWindowExW(DWORD exStyle, std::string_view className, std::string_view windowName,
                     DWORD style, int x, int y, int width, int height, HWND parent, HMENU menu,
                     HINSTANCE instance, void* param);
BOOL DestroyWindow(HWND window);
BOOL GetWindowRect(HWND window, RECT* rect);
int GetSystemMetrics(int index);
BOOL SetWindowPos(HWND window, HWND insertAfter, int x, int y, int cx, int cy, UINT flags);
BOOL EnableWindow(HWND window, BOOL enable);  // the previous state: nonzero when it was disabled
BOOL IsWindowEnabled(HWND window);
// The value is pointer-sized at the seam; the 32-bit Windows build passes it on as LONG.
LONG_PTR SetWindowLongW(HWND window, int index, LONG_PTR value);
LONG_PTR GetWindowLongW(HWND window, int index);

BOOL SetConsoleOutputCP(UINT codePage);
UINT GetConsoleOutputCP();
UINT GetACP();

// Standard handles belong to the process and are never closed by their user.
HANDLE GetStdHandle(DWORD which);
DWORD GetFileType(HANDLE file);
BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, OVERLAPPED* overlapped);

// WideCharToMultiByte from UTF-8 text: `out` receives the bytes in `codePage`. Characters the code
// page cannot represent become `defaultChar` (the code page's own default when null) and set
// *usedDefault. Returns the number of bytes, 0 on failure.
int WideCharToMultiByte(UINT codePage, DWORD flags, std::string_view utf8, std::string& out,
                        const char* defaultChar, BOOL* usedDefault);

// ---- Environment and current directory -------------------------------------------------------
// Both return the length of the value (without terminator), 0 on failure.
DWORD GetEnvironmentVariableW(std::string_view name, std::string& value);
DWORD GetTempPathW(std::string& path);  // ends with a backslash
BOOL SetCurrentDirectoryW(std::string_view path);
DWORD GetCurrentDirectoryW(std::string& path);

// ---- Registry -------------------------------------------------------------------------------
// Registry calls return their error code and leave the last error alone, as on Windows. Value data
// are bytes exactly as Win32 stores them (REG_SZ: UTF-16LE with its terminator).
LSTATUS RegOpenKeyExW(HKEY key, std::string_view subKey, DWORD options, REGSAM access,
                      RegKey& result);
LSTATUS RegCreateKeyExW(HKEY key, std::string_view subKey, DWORD reserved, DWORD options,
                        REGSAM access, const SECURITY_ATTRIBUTES* security, RegKey& result,
                        DWORD* disposition);
LSTATUS RegQueryValueExW(HKEY key, std::string_view valueName, DWORD* type, BYTE* data,
                         DWORD* dataSize);
LSTATUS RegSetValueExW(HKEY key, std::string_view valueName, DWORD reserved, DWORD type,
                       const BYTE* data, DWORD dataSize);
LSTATUS RegDeleteValueW(HKEY key, std::string_view valueName);
LSTATUS RegDeleteKeyW(HKEY key, std::string_view subKey);
LSTATUS RegDeleteTreeW(HKEY key, std::string_view subKey);  // empty subKey: the key's contents
LSTATUS RegEnumKeyExW(HKEY key, DWORD index, std::string& name);
LSTATUS RegEnumValueW(HKEY key, DWORD index, std::string& name, DWORD* type, BYTE* data,
                      DWORD* dataSize);
LSTATUS RegCloseKey(HKEY key);

// ---- Executable resources -------------------------------------------------------------------
// `module` null means the running executable. Names match without regard to letter case.
HRSRC FindResourceW(HMODULE module, std::string_view name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
DWORD SizeofResource(HMODULE module, HRSRC resource);
const void* LockResource(HGLOBAL loaded);
BOOL FreeResource(HGLOBAL loaded);

// ---- Handles --------------------------------------------------------------------------------
BOOL CloseHandle(HANDLE handle);

}  // namespace win
