// The process token of the emulated machine: the privileges a process of an administrator
// (elevated, the default) or of a standard user holds, and their LUIDs.
#pragma once

#include <map>
#include <optional>
#include <string_view>

#include "platform/win32_types.h"

namespace emu {

// The privileges a new process holds (LUID low part -> SE_PRIVILEGE_* attributes), set from
// machine.json's "elevated".
std::map<DWORD, DWORD> TokenPrivileges(bool elevated);

// The LUID (low part) of a privilege name such as "SeBackupPrivilege", letter case ignored.
std::optional<DWORD> PrivilegeLuid(std::string_view name);

constexpr DWORD kSeTakeOwnershipPrivilege = 9;
constexpr DWORD kSeBackupPrivilege = 17;
constexpr DWORD kSeRestorePrivilege = 18;

// Whether the running process holds the privilege and has it enabled.
bool PrivilegeEnabled(DWORD luid);

}  // namespace emu
