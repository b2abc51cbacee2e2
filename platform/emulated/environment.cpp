// Environment variables, the temporary folder and the process's current directory.
#include <cctype>
#include <string>
#include <vector>

#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"

namespace {

bool IsDriveAbsolute(std::string_view path) {
  return path.size() >= 3 && std::isalpha(static_cast<unsigned char>(path[0])) &&
         path[1] == ':' && (path[2] == '\\' || path[2] == '/');
}

// Resolves `path` against `base` and removes "." and ".." the way GetFullPathNameW does.
std::string FullPath(std::string_view path, const std::string& base) {
  std::string joined;
  if (IsDriveAbsolute(path)) {
    joined = std::string(path);
  } else if (!path.empty() && (path[0] == '\\' || path[0] == '/')) {
    joined = base.substr(0, 2) + std::string(path);  // root of the current drive
  } else {
    joined = base;
    if (joined.back() != '\\') joined += '\\';
    joined += path;
  }
  std::string drive = joined.substr(0, 2);
  drive[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(drive[0])));
  std::vector<std::string> parts;
  std::string part;
  auto flush = [&] {
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
    } else if (!part.empty() && part != ".") {
      parts.push_back(part);
    }
    part.clear();
  };
  for (std::size_t i = 3; i < joined.size(); ++i) {
    char c = joined[i];
    if (c == '\\' || c == '/') {
      flush();
    } else {
      part += c;
    }
  }
  flush();
  std::string result = drive + "\\";
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) result += '\\';
    result += parts[i];
  }
  return result;
}

}  // namespace

namespace win {

DWORD GetEnvironmentVariableW(std::string_view name, std::string& value) {
  value.clear();
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  auto it = process.environment.find(std::string(name));
  if (it == process.environment.end()) {
    SetLastError(ERROR_ENVVAR_NOT_FOUND);
    return 0;
  }
  value = it->second;
  return static_cast<DWORD>(value.size());
}

DWORD GetTempPathW(std::string& path) {
  // The order Windows looks in: TMP, TEMP, USERPROFILE, then the Windows folder.
  std::string value;
  for (const char* name : {"TMP", "TEMP", "USERPROFILE", "SystemRoot"}) {
    if (GetEnvironmentVariableW(name, value) > 0) break;
  }
  if (value.empty()) value = "C:\\Windows";
  std::string current;
  GetCurrentDirectoryW(current);
  path = FullPath(value, current);
  if (path.back() != '\\') path += '\\';
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(path.size());
}

BOOL SetCurrentDirectoryW(std::string_view path) {
  if (path.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("SetCurrentDirectoryW", path)) {
    SetLastError(*fault);
    return FALSE;
  }
  // The folder must exist (checked before taking the process lock: resolving a path reads the
  // current folder itself).
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return FALSE;  // the last error is set
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_DIRECTORY);
    return FALSE;
  }
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  process.currentDirectory = FullPath(path, process.currentDirectory);
  return TRUE;
}

DWORD GetCurrentDirectoryW(std::string& path) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  path = process.currentDirectory;
  return static_cast<DWORD>(path.size());
}

}  // namespace win
