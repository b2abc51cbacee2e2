#include "sys/folder_operations.h"

#include <string>

#include "platform/seam.h"

namespace {

// The shell takes a list of paths ended by an empty entry: the path, its terminator, one more.
// A path that is empty or holds a zero itself would turn into a different list, so it is refused.
bool PathList(std::string_view path, std::string& list) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  list.assign(path);
  list.push_back('\0');
  list.push_back('\0');
  return true;
}

// Silent, never asking, never showing an error: the callers report the outcome. The shell
// returns its error instead of setting the thread's last error, which may still say success or
// tell of an older failure; the callers' status line reads the last error, so it is set here.
bool RunShellOperation(win::ShellFileOperation& operation) {
  if (const int result = win::SHFileOperationW(&operation); result != 0) {
    win::SetLastError(static_cast<DWORD>(result));
    return false;
  }
  if (operation.fAnyOperationsAborted) {
    win::SetLastError(ERROR_CANCELLED);
    return false;
  }
  return true;
}

}  // namespace

bool CopyFolder(std::string_view source, std::string_view destination) {
  std::string from, to;
  if (!PathList(source, from) || !PathList(destination, to)) return false;
  win::ShellFileOperation operation;
  operation.wFunc = FO_COPY;
  operation.pFrom = from.c_str();
  operation.pTo = to.c_str();
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  return RunShellOperation(operation);
}

bool DeleteFolder(std::string_view path) {
  std::string from;
  if (!PathList(path, from)) return false;
  win::ShellFileOperation operation;
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.c_str();
  // Without FOF_ALLOWUNDO: gone for good.
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  return RunShellOperation(operation);
}
