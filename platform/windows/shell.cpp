// The shell's file operation on the real API.
#include <cstring>

#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

// A UTF-8 list of zero-terminated paths, ended by an empty entry, as the same list in UTF-16.
// Null stays null: the shell tells "no list" from "empty list".
std::wstring WideList(const char* list) {
  std::wstring wide;
  for (const char* entry = list; *entry != '\0'; entry += std::strlen(entry) + 1) {
    wide += detail::Wide(entry);
    wide += L'\0';
  }
  wide += L'\0';  // the empty entry; c_str() adds a further zero
  return wide;
}

}  // namespace

int SHFileOperationW(ShellFileOperation* operation) {
  if (operation == nullptr) return ERROR_INVALID_PARAMETER;
  std::wstring from, to;
  if (operation->pFrom != nullptr) from = WideList(operation->pFrom);
  if (operation->pTo != nullptr) to = WideList(operation->pTo);

  SHFILEOPSTRUCTW shell{};
  shell.hwnd = operation->hwnd;
  shell.wFunc = operation->wFunc;
  shell.pFrom = operation->pFrom != nullptr ? from.c_str() : nullptr;
  shell.pTo = operation->pTo != nullptr ? to.c_str() : nullptr;
  shell.fFlags = operation->fFlags;
  const int result = ::SHFileOperationW(&shell);
  operation->fAnyOperationsAborted = shell.fAnyOperationsAborted;
  return result;
}

}  // namespace win
