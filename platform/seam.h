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

#include <vector>

#include "platform/handles.h"
#include "platform/win32_device_types.h"
#include "platform/win32_security_types.h"
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
LSTATUS RegSaveKeyW(HKEY key, std::string_view file, const SECURITY_ATTRIBUTES* security);

// ---- Process token, security identifiers and access lists ------------------------------------
BOOL GetVersionExW(OSVERSIONINFOW* info);  // dwOSVersionInfoSize set by the caller
HANDLE GetCurrentProcess();                // a pseudo handle; closing it does nothing
BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token);
// `systemName` empty: the local system.
BOOL LookupPrivilegeValueW(std::string_view systemName, std::string_view name, LUID* luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                           DWORD* returnLength);
BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid);
void* FreeSid(PSID sid);
// The lengths are in UTF-16 units as on Windows: in, the room of each buffer (a null string
// pointer has none); out, the length copied without terminator, or, when a buffer is too small
// (ERROR_INSUFFICIENT_BUFFER), the room needed with the terminator.
BOOL LookupAccountSidW(std::string_view systemName, PSID sid, std::string* name,
                       DWORD* nameLength, std::string* domain, DWORD* domainLength,
                       SID_NAME_USE* use);

// EXPLICIT_ACCESS_W with its trustee name kept beside it as UTF-8; the backends point the entry
// at a wide copy only for the call that reads it.
struct ExplicitAccess {
  EXPLICIT_ACCESS_W entry{};
  std::string trusteeName;
};
void BuildExplicitAccessWithNameW(ExplicitAccess* access, std::string_view trusteeName,
                                  DWORD permissions, ACCESS_MODE mode, DWORD inheritance);
// Returns a Win32 error code; the new list is freed with LocalFree.
DWORD SetEntriesInAclW(ULONG count, const ExplicitAccess* entries, PACL oldAcl, PACL* newAcl);
// Object names in the form of the security functions: "CURRENT_USER\SOFTWARE\...".
DWORD SetNamedSecurityInfoW(std::string_view objectName, SE_OBJECT_TYPE type,
                            SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl);
HLOCAL LocalFree(HLOCAL memory);  // null on success, as on Windows

// ---- Executable resources -------------------------------------------------------------------
// `module` null means the running executable. Names match without regard to letter case.
HRSRC FindResourceW(HMODULE module, std::string_view name, LPCWSTR type);
HGLOBAL LoadResource(HMODULE module, HRSRC resource);
DWORD SizeofResource(HMODULE module, HRSRC resource);
const void* LockResource(HGLOBAL loaded);
BOOL FreeResource(HGLOBAL loaded);

// ---- Files and devices ----------------------------------------------------------------------
// Paths: X:\dir\file, relative paths, \\?\Volume{GUID}\dir\file, and the devices \\.\X:,
// \\.\Volume{GUID} and \\.\PHYSICALDRIVEn. INVALID_HANDLE_VALUE on failure.
HANDLE CreateFileW(std::string_view path, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES* security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile);
BOOL ReadFile(HANDLE file, void* data, DWORD size, DWORD* read, OVERLAPPED* overlapped);
DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod);
BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition,
                      DWORD moveMethod);
BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* returned, OVERLAPPED* overlapped);

DWORD GetFileAttributesW(std::string_view path);  // INVALID_FILE_ATTRIBUTES when missing
BOOL CreateDirectoryW(std::string_view path, const SECURITY_ATTRIBUTES* security);
BOOL RemoveDirectoryW(std::string_view path);
BOOL DeleteFileW(std::string_view path);
BOOL CopyFileW(std::string_view source, std::string_view destination, BOOL failIfExists);
// SHFileOperationW: 0 on success, else a Win32 or shell (DE_) error code.
int SHFileOperationW(ShellFileOperation* operation);

// ---- Volumes and drive letters ----------------------------------------------------------------
// Volume names come back as \\?\Volume{GUID}\ . `bufferLength` is the caller's buffer in
// UTF-16 units, terminator included; a name that does not fit fails with ERROR_FILENAME_EXCED_RANGE.
HANDLE FindFirstVolumeW(std::string& volumeName, DWORD bufferLength);
// FindNextVolumeW fails with ERROR_NO_MORE_FILES after the last volume.
BOOL FindNextVolumeW(HANDLE find, std::string& volumeName, DWORD bufferLength);
BOOL FindVolumeClose(HANDLE find);
// The mount paths (E:\ or C:\mnt\usb\) of a volume. When they do not fit `bufferLength`
// (the multi-string with its final terminator), fails with ERROR_MORE_DATA.
BOOL GetVolumePathNamesForVolumeNameW(std::string_view volumeName, std::vector<std::string>& paths,
                                      DWORD bufferLength);
BOOL SetVolumeMountPointW(std::string_view mountPoint, std::string_view volumeName);
BOOL DeleteVolumeMountPointW(std::string_view mountPoint);
// The root paths of all drive letters (C:\ and so on). Returns the length of the multi-string
// in UTF-16 units without its final terminator, 0 on failure.
DWORD GetLogicalDriveStringsW(std::vector<std::string>& roots);
UINT GetDriveTypeW(std::string_view rootPath);
BOOL GetVolumeInformationW(std::string_view rootPath, std::string* volumeName, DWORD* serialNumber,
                           DWORD* maximumComponentLength, DWORD* fileSystemFlags,
                           std::string* fileSystemName);
BOOL GetDiskFreeSpaceExW(std::string_view directory, ULARGE_INTEGER* freeBytesAvailable,
                         ULARGE_INTEGER* totalBytes, ULARGE_INTEGER* totalFreeBytes);

// ---- Processes and messages ---------------------------------------------------------------------
// `applicationName` empty means none (the command line's first token names the program);
// `currentDirectory` empty means the caller's.
BOOL CreateProcessW(std::string_view applicationName, std::string& commandLine,
                    const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, void* environment, std::string_view currentDirectory,
                    const STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode);

BOOL PeekMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage);
BOOL TranslateMessage(const MSG* message);
LRESULT DispatchMessageW(const MSG* message);
LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeout, DWORD_PTR* result);

RPC_STATUS UuidCreate(UUID* uuid);

// ---- Locale ---------------------------------------------------------------------------------
// GetLocaleInfoW: the locale's setting as UTF-8; returns its length in UTF-16 units with the
// terminator, 0 on failure.
int GetLocaleInfoW(LCID locale, LCTYPE type, std::string& data);

// ---- Libraries ------------------------------------------------------------------------------
// LoadLibraryW: a library by path. A relative path or a bare name names a file in the current
// directory (never the DLL search path), so "7z.dll" is the one that was just written there.
// Null on failure: ERROR_MOD_NOT_FOUND for a missing file, ERROR_BAD_EXE_FORMAT for a file that
// this machine cannot load. win::Library frees it again.
HMODULE LoadLibraryW(std::string_view path);
// LoadLibraryExW with Windows' rules: `file` must be null; a LOAD_LIBRARY_SEARCH_* flag excludes
// LOAD_WITH_ALTERED_SEARCH_PATH, and LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR needs a fully qualified path
// (ERROR_INVALID_PARAMETER otherwise). A path is loaded as it is; a bare name is searched for in
// the folders the flags name, else in the process's default folders (SetDefaultDllDirectories),
// else in the standard order.
HMODULE LoadLibraryExW(std::string_view path, HANDLE file, DWORD flags);
// The process's default library folders from now on, for the process's whole life: any
// combination of LOAD_LIBRARY_SEARCH_APPLICATION_DIR, _USER_DIRS, _SYSTEM32 and _DEFAULT_DIRS.
// On a Windows that lacks the call (Vista, 7 without its update) it fails with
// ERROR_PROC_NOT_FOUND.
BOOL SetDefaultDllDirectories(DWORD flags);
// An empty path takes the current directory out of the standard search order.
BOOL SetDllDirectoryW(std::string_view path);
// The address of an export of the module itself; null with ERROR_PROC_NOT_FOUND when missing.
void* GetProcAddress(HMODULE module, const char* name);
BOOL FreeLibrary(HMODULE module);

// ---- Handles --------------------------------------------------------------------------------
BOOL CloseHandle(HANDLE handle);

// ---- Text in a code page (the setup window's drive list) --------------------------------------
// MultiByteToWideChar into UTF-8: `bytes` in `codePage` (CP_ACP: the ANSI code page) as UTF-8 in
// `out`, zero bytes included. Returns the length in UTF-16 units, 0 on failure.
int MultiByteToWideChar(UINT codePage, DWORD flags, std::string_view bytes, std::string& out);

}  // namespace win
