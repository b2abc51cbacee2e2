// RegSaveKeyW on the emulated machine: the key's tree as a hive file on an emulated volume.
#include "platform/emulated/hive_file.h"
#include "platform/seam.h"

#include "platform/emulated/faults.h"
#include "platform/emulated/token.h"


namespace win {
namespace {

std::string_view LastComponent(std::string_view path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The file goes through CreateFileW, so paths resolve and fail as file opens do (a missing folder
// gives ERROR_PATH_NOT_FOUND); only an existing file is reported the registry's way.
LSTATUS WriteNewFile(std::string_view path, const std::vector<BYTE>& bytes,
                     const SECURITY_ATTRIBUTES* security) {
  HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, security, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                            nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_EXISTS ? ERROR_ALREADY_EXISTS : error;
  }
  DWORD written = 0;
  const BOOL wrote =
      WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  LSTATUS status = ERROR_SUCCESS;
  if (!wrote) status = GetLastError();
  if (status == ERROR_SUCCESS && written != bytes.size()) status = ERROR_CANTWRITE;
  CloseHandle(file);
  if (status != ERROR_SUCCESS) DeleteFileW(path);  // no half-written hive left behind
  return status;
}

}  // namespace

LSTATUS RegSaveKeyW(HKEY key, std::string_view file, const SECURITY_ATTRIBUTES* security) {
  // Windows refuses the save unless the caller has enabled SeBackupPrivilege.
  if (!emu::PrivilegeEnabled(emu::kSeBackupPrivilege)) return ERROR_PRIVILEGE_NOT_HELD;
  if (auto fault = emu::TakeFault("RegSaveKeyW", file)) return static_cast<LSTATUS>(*fault);
  emu::RegistryKeyTree tree;
  if (LSTATUS status = emu::RegistryReadTree(key, tree); status != ERROR_SUCCESS) return status;
  std::vector<BYTE> bytes;
  std::string error;
  // The hive's time stamp is the key's last write, so saves of an unchanged key are identical.
  if (!emu::WriteHiveFile(tree, bytes, error, {std::string(LastComponent(file)), 0})) {
    return ERROR_CANTWRITE;
  }
  // Registry calls leave the last error as it was, the file calls underneath included.
  const DWORD lastError = GetLastError();
  const LSTATUS status = WriteNewFile(file, bytes, security);
  SetLastError(lastError);
  return status;
}

}  // namespace win
