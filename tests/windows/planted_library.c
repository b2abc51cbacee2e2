/* A library planted beside the program under the name of a system library (uxtheme.dll), as
   another program of the user could leave one in the Downloads folder. When it is loaded it
   leaves the file "planted-library-ran" beside itself, which the smoke runs look for. */
#include <windows.h>

static void LeaveMark(HINSTANCE self) {
  wchar_t path[MAX_PATH + 32];
  DWORD length = GetModuleFileNameW(self, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return;
  while (length > 0 && path[length - 1] != L'\\') --length;
  lstrcpyW(path + length, L"planted-library-ran");
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            NULL);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

/* What a program that imports the library would ask of it. */
__declspec(dllexport) BOOL WINAPI IsAppThemed(void) { return FALSE; }

BOOL WINAPI DllMain(HINSTANCE self, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) LeaveMark(self);
  return TRUE;
}
