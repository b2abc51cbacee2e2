#include "platform/emulated/token.h"

#include <algorithm>
#include <cctype>
#include <mutex>

#include "platform/emulated/machine.h"
#include "platform/win32_security_types.h"

namespace emu {
namespace {

struct PrivilegeEntry {
  const char* name;
  DWORD luid;
};

// The LUIDs Windows gives its privileges (the SE_*_PRIVILEGE values of winnt.h).
constexpr PrivilegeEntry kPrivileges[] = {
    {"SeCreateTokenPrivilege", 2},     {"SeAssignPrimaryTokenPrivilege", 3},
    {"SeLockMemoryPrivilege", 4},      {"SeIncreaseQuotaPrivilege", 5},
    {"SeMachineAccountPrivilege", 6},  {"SeTcbPrivilege", 7},
    {"SeSecurityPrivilege", 8},        {"SeTakeOwnershipPrivilege", 9},
    {"SeLoadDriverPrivilege", 10},     {"SeSystemProfilePrivilege", 11},
    {"SeSystemtimePrivilege", 12},     {"SeProfileSingleProcessPrivilege", 13},
    {"SeIncreaseBasePriorityPrivilege", 14}, {"SeCreatePagefilePrivilege", 15},
    {"SeCreatePermanentPrivilege", 16}, {"SeBackupPrivilege", 17},
    {"SeRestorePrivilege", 18},        {"SeShutdownPrivilege", 19},
    {"SeDebugPrivilege", 20},          {"SeAuditPrivilege", 21},
    {"SeSystemEnvironmentPrivilege", 22}, {"SeChangeNotifyPrivilege", 23},
    {"SeRemoteShutdownPrivilege", 24}, {"SeUndockPrivilege", 25},
    {"SeSyncAgentPrivilege", 26},      {"SeEnableDelegationPrivilege", 27},
    {"SeManageVolumePrivilege", 28},   {"SeImpersonatePrivilege", 29},
    {"SeCreateGlobalPrivilege", 30},   {"SeTrustedCredManAccessPrivilege", 31},
    {"SeRelabelPrivilege", 32},        {"SeIncreaseWorkingSetPrivilege", 33},
    {"SeTimeZonePrivilege", 34},       {"SeCreateSymbolicLinkPrivilege", 35},
    {"SeDelegateSessionUserImpersonatePrivilege", 36},
};

bool SameText(std::string_view a, std::string_view b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
  });
}

}  // namespace

std::map<DWORD, DWORD> TokenPrivileges(bool elevated) {
  // A standard user's token, then what an elevated administrator's adds (all but change-notify
  // present and disabled, as Windows hands them out).
  std::map<DWORD, DWORD> privileges = {
      {19, 0}, {23, SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT}, {25, 0}, {33, 0},
      {34, 0}};
  if (elevated) {
    for (DWORD luid : {5u, 8u, 9u, 10u, 11u, 12u, 13u, 14u, 15u, 17u, 18u, 20u, 22u, 24u, 28u,
                       35u, 36u}) {
      privileges[luid] = 0;
    }
    privileges[29] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
    privileges[30] = SE_PRIVILEGE_ENABLED | SE_PRIVILEGE_ENABLED_BY_DEFAULT;
  }
  return privileges;
}

std::optional<DWORD> PrivilegeLuid(std::string_view name) {
  for (const PrivilegeEntry& entry : kPrivileges) {
    if (SameText(entry.name, name)) return entry.luid;
  }
  return std::nullopt;
}

bool PrivilegeEnabled(DWORD luid) {
  ProcessState& process = Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  auto it = process.privileges.find(luid);
  return it != process.privileges.end() && (it->second & SE_PRIVILEGE_ENABLED) != 0;
}

}  // namespace emu
