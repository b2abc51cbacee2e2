// The process token, security identifiers, access lists and named-object security of the emulated
// machine. Privileges live in the process state (token.h); registry keys keep their descriptors
// in the registry store, which works out what subkeys inherit.
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/objects.h"
#include "platform/emulated/registry_store.h"
#include "platform/emulated/security_descriptor.h"
#include "platform/emulated/token.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace emu {
namespace {

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<LONG_PTR>(-1));

class TokenObject : public KernelObject {
 public:
  explicit TokenObject(DWORD access) : access(access) {}
  const DWORD access;
};

// LocalAlloc'd memory and SIDs that the security calls hand out.
std::mutex gMemoryMutex;
std::map<void*, std::unique_ptr<BYTE[]>> gMemory;

void* Allocate(const std::vector<BYTE>& bytes) {
  auto block = std::make_unique<BYTE[]>(bytes.size());
  std::memcpy(block.get(), bytes.data(), bytes.size());
  void* address = block.get();
  std::lock_guard lock(gMemoryMutex);
  gMemory.emplace(address, std::move(block));
  return address;
}

bool Release(void* address) {
  std::lock_guard lock(gMemoryMutex);
  return gMemory.erase(address) == 1;
}

// The well-known accounts the machine knows by SID and by name.
struct Account {
  std::vector<BYTE> sid;
  const char* name;
  const char* domain;
  SID_NAME_USE use;
};

const std::vector<Account>& Accounts() {
  static const std::vector<Account> accounts = {
      {EveryoneSid(), "Everyone", "", SidTypeWellKnownGroup},
      {LocalSystemSid(), "SYSTEM", "NT AUTHORITY", SidTypeWellKnownGroup},
      {AdministratorsSid(), "Administrators", "BUILTIN", SidTypeAlias},
  };
  return accounts;
}

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

const Account* AccountByName(std::string_view name) {
  for (const Account& account : Accounts()) {
    const std::string qualified =
        *account.domain ? std::string(account.domain) + "\\" + account.name : account.name;
    if (SameText(name, account.name) || SameText(name, qualified)) return &account;
  }
  return nullptr;
}

std::vector<BYTE> SidBytes(PSID sid) {
  const auto* bytes = static_cast<const BYTE*>(sid);
  const std::size_t length = SidLength(bytes, 8 + 4 * 15);
  return length == 0 ? std::vector<BYTE>{} : std::vector<BYTE>(bytes, bytes + length);
}

// "CURRENT_USER\SOFTWARE\..." -> the root and the path below it.
bool SplitRegistryObjectName(std::string_view name, HKEY& root, std::string_view& path) {
  const std::size_t slash = name.find('\\');
  const std::string_view first = name.substr(0, slash);
  path = slash == std::string_view::npos ? std::string_view{} : name.substr(slash + 1);
  if (SameText(first, "CURRENT_USER")) root = HKEY_CURRENT_USER;
  else if (SameText(first, "MACHINE")) root = HKEY_LOCAL_MACHINE;
  else if (SameText(first, "CLASSES_ROOT")) root = HKEY_CLASSES_ROOT;
  else if (SameText(first, "USERS")) root = HKEY_USERS;
  else return false;
  return true;
}

}  // namespace
}  // namespace emu

namespace win {

BOOL GetVersionExW(OSVERSIONINFOW* info) {
  if (info == nullptr || info->dwOSVersionInfoSize < sizeof(OSVERSIONINFOW)) {
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("GetVersionExW")) {
    SetLastError(*fault);
    return FALSE;
  }
  const nlohmann::json& config = emu::Machine::Get().Config();
  const nlohmann::json version = config.value("windows_version", nlohmann::json::object());
  info->dwMajorVersion = version.value("major", 10u);
  info->dwMinorVersion = version.value("minor", 0u);
  info->dwBuildNumber = version.value("build", 19045u);
  info->dwPlatformId = version.value("platform_id", VER_PLATFORM_WIN32_NT);
  std::memset(info->szCSDVersion, 0, sizeof(info->szCSDVersion));
  return TRUE;
}

HANDLE GetCurrentProcess() { return emu::kCurrentProcess; }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  if (token == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (process != emu::kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("OpenProcessToken")) {
    SetLastError(*fault);
    return FALSE;
  }
  *token = emu::InsertHandle(std::make_shared<emu::TokenObject>(access));
  return TRUE;
}

BOOL LookupPrivilegeValueW(std::string_view systemName, std::string_view name, LUID* luid) {
  if (!systemName.empty()) {
    SetLastError(1722);  // RPC_S_SERVER_UNAVAILABLE: the machine knows no other computer
    return FALSE;
  }
  if (auto fault = emu::TakeFault("LookupPrivilegeValueW", name)) {
    SetLastError(*fault);
    return FALSE;
  }
  const std::optional<DWORD> value = emu::PrivilegeLuid(name);
  if (!value) {
    SetLastError(ERROR_NO_SUCH_PRIVILEGE);
    return FALSE;
  }
  if (luid == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *luid = LUID{*value, 0};
  return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                           DWORD* returnLength) {
  auto object = emu::LookupHandleAs<emu::TokenObject>(token);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD needed = TOKEN_ADJUST_PRIVILEGES | (previousState ? TOKEN_QUERY : 0);
  if ((object->access & needed) != needed) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  if (!disableAll && newState == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("AdjustTokenPrivileges")) {
    SetLastError(*fault);
    return FALSE;
  }

  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  std::map<DWORD, DWORD> updated = process.privileges;
  std::vector<LUID_AND_ATTRIBUTES> changed;  // with the attributes they had
  bool notAllAssigned = false;
  auto change = [&](DWORD luid, DWORD attributes) {
    auto it = updated.find(luid);
    if (it == updated.end()) {
      notAllAssigned = true;
      return;
    }
    const DWORD before = it->second;
    if (attributes & SE_PRIVILEGE_REMOVED) {
      updated.erase(it);
    } else {
      it->second = (before & ~SE_PRIVILEGE_ENABLED) | (attributes & SE_PRIVILEGE_ENABLED);
      if (it->second == before) return;
    }
    changed.push_back({LUID{luid, 0}, before});
  };
  if (disableAll) {
    for (const auto& [luid, attributes] : process.privileges) {
      if (attributes & SE_PRIVILEGE_ENABLED) change(luid, 0);
    }
  } else {
    // The entries follow the count, however many the caller's buffer holds.
    const auto* entries = reinterpret_cast<const LUID_AND_ATTRIBUTES*>(
        reinterpret_cast<const BYTE*>(newState) + offsetof(TOKEN_PRIVILEGES, Privileges));
    for (DWORD i = 0; i < newState->PrivilegeCount; ++i) {
      if (entries[i].Luid.HighPart != 0) {
        notAllAssigned = true;
        continue;
      }
      change(entries[i].Luid.LowPart, entries[i].Attributes);
    }
  }

  if (previousState != nullptr) {
    const DWORD size = static_cast<DWORD>(offsetof(TOKEN_PRIVILEGES, Privileges) +
                                          changed.size() * sizeof(LUID_AND_ATTRIBUTES));
    if (returnLength) *returnLength = size;
    if (bufferLength < size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return FALSE;
    }
    previousState->PrivilegeCount = static_cast<DWORD>(changed.size());
    auto* entries = reinterpret_cast<LUID_AND_ATTRIBUTES*>(
        reinterpret_cast<BYTE*>(previousState) + offsetof(TOKEN_PRIVILEGES, Privileges));
    std::copy(changed.begin(), changed.end(), entries);
  }
  process.privileges = std::move(updated);
  SetLastError(notAllAssigned ? ERROR_NOT_ALL_ASSIGNED : ERROR_SUCCESS);
  return TRUE;
}

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  if (authority == nullptr || sid == nullptr || subAuthorityCount > 8) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("AllocateAndInitializeSid")) {
    SetLastError(*fault);
    return FALSE;
  }
  const DWORD all[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
  BYTE value[6];
  std::memcpy(value, authority->Value, 6);
  *sid = emu::Allocate(emu::MakeSid(value, std::vector<DWORD>(all, all + subAuthorityCount)));
  return TRUE;
}

void* FreeSid(PSID sid) { return emu::Release(sid) ? nullptr : sid; }

BOOL LookupAccountSidW(std::string_view systemName, PSID sid, std::string* name,
                       DWORD* nameLength, std::string* domain, DWORD* domainLength,
                       SID_NAME_USE* use) {
  if (nameLength == nullptr || domainLength == nullptr || use == nullptr) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  if (!systemName.empty()) {
    SetLastError(1722);
    return FALSE;
  }
  const std::vector<BYTE> bytes = emu::SidBytes(sid);
  if (bytes.empty()) {
    SetLastError(ERROR_INVALID_SID);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("LookupAccountSidW")) {
    SetLastError(*fault);
    return FALSE;
  }
  const emu::Account* account = nullptr;
  for (const emu::Account& candidate : emu::Accounts()) {
    if (candidate.sid == bytes) account = &candidate;
  }
  if (account == nullptr) {
    SetLastError(ERROR_NONE_MAPPED);
    return FALSE;
  }
  const DWORD nameUnits = static_cast<DWORD>(Utf8ToUtf16(account->name).size());
  const DWORD domainUnits = static_cast<DWORD>(Utf8ToUtf16(account->domain).size());
  const DWORD nameRoom = name ? *nameLength : 0;
  const DWORD domainRoom = domain ? *domainLength : 0;
  if (nameRoom <= nameUnits || domainRoom <= domainUnits) {
    *nameLength = nameUnits + 1;
    *domainLength = domainUnits + 1;
    SetLastError(ERROR_INSUFFICIENT_BUFFER);
    return FALSE;
  }
  *name = account->name;
  *domain = account->domain;
  *nameLength = nameUnits;
  *domainLength = domainUnits;
  *use = account->use;
  return TRUE;
}

void BuildExplicitAccessWithNameW(ExplicitAccess* access, std::string_view trusteeName,
                                  DWORD permissions, ACCESS_MODE mode, DWORD inheritance) {
  access->entry = {};
  access->entry.grfAccessPermissions = permissions;
  access->entry.grfAccessMode = mode;
  access->entry.grfInheritance = inheritance;
  access->entry.Trustee.MultipleTrusteeOperation = NO_MULTIPLE_TRUSTEE;
  access->entry.Trustee.TrusteeForm = TRUSTEE_IS_NAME;
  access->entry.Trustee.TrusteeType = TRUSTEE_IS_UNKNOWN;
  access->trusteeName = std::string(trusteeName);
}

DWORD SetEntriesInAclW(ULONG count, const ExplicitAccess* entries, PACL oldAcl, PACL* newAcl) {
  if (newAcl == nullptr || (count > 0 && entries == nullptr)) return ERROR_INVALID_PARAMETER;
  if (auto fault = emu::TakeFault("SetEntriesInAclW")) return *fault;
  std::vector<emu::Ace> aces;
  if (oldAcl != nullptr) {
    const std::size_t size = emu::AclSize(oldAcl);
    if (size == 0 || !emu::ParseAcl(reinterpret_cast<const BYTE*>(oldAcl), size, aces)) {
      return ERROR_INVALID_ACL;
    }
  }
  std::vector<emu::Ace> denied, allowed;
  for (ULONG i = 0; i < count; ++i) {
    const EXPLICIT_ACCESS_W& entry = entries[i].entry;
    if (entry.Trustee.TrusteeForm != TRUSTEE_IS_NAME) return ERROR_INVALID_PARAMETER;
    const emu::Account* account = emu::AccountByName(entries[i].trusteeName);
    if (account == nullptr) return ERROR_NONE_MAPPED;
    // SET and REVOKE drop what the old list grants the trustee; DENY is listed first.
    if (entry.grfAccessMode == SET_ACCESS || entry.grfAccessMode == REVOKE_ACCESS) {
      std::erase_if(aces, [&](const emu::Ace& ace) {
        return ace.sid == account->sid && ace.type == ACCESS_ALLOWED_ACE_TYPE;
      });
    }
    emu::Ace ace;
    ace.sid = account->sid;
    ace.mask = entry.grfAccessPermissions;
    ace.flags = static_cast<BYTE>(entry.grfInheritance &
                                  (OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE |
                                   NO_PROPAGATE_INHERIT_ACE | INHERIT_ONLY_ACE));
    switch (entry.grfAccessMode) {
      case GRANT_ACCESS:
      case SET_ACCESS:
        ace.type = ACCESS_ALLOWED_ACE_TYPE;
        allowed.push_back(std::move(ace));
        break;
      case DENY_ACCESS:
        ace.type = ACCESS_DENIED_ACE_TYPE;
        denied.push_back(std::move(ace));
        break;
      case REVOKE_ACCESS:
        break;
      default:
        return ERROR_INVALID_PARAMETER;
    }
  }
  std::vector<emu::Ace> merged = std::move(denied);
  merged.insert(merged.end(), aces.begin(), aces.end());
  merged.insert(merged.end(), allowed.begin(), allowed.end());
  *newAcl = static_cast<PACL>(emu::Allocate(emu::MakeAcl(merged)));
  return ERROR_SUCCESS;
}

DWORD SetNamedSecurityInfoW(std::string_view objectName, SE_OBJECT_TYPE type,
                            SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL /*sacl*/) {
  if (type != SE_REGISTRY_KEY) return ERROR_INVALID_PARAMETER;  // only keys live on this machine
  if (info & SACL_SECURITY_INFORMATION) return ERROR_PRIVILEGE_NOT_HELD;
  HKEY root = nullptr;
  std::string_view path;
  if (!emu::SplitRegistryObjectName(objectName, root, path)) return ERROR_INVALID_PARAMETER;
  if (auto fault = emu::TakeFault("SetNamedSecurityInfoW", objectName)) return *fault;

  REGSAM access = READ_CONTROL;
  if (info & DACL_SECURITY_INFORMATION) access |= WRITE_DAC;
  if (info & (OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION)) access |= WRITE_OWNER;
  RegKey key;
  if (LSTATUS status = RegOpenKeyExW(root, path, 0, access, key); status != ERROR_SUCCESS) {
    return static_cast<DWORD>(status);
  }
  std::vector<BYTE> current;
  std::optional<std::vector<BYTE>> parent;
  if (LSTATUS status = emu::RegistryEffectiveSecurity(key.get(), current, parent);
      status != ERROR_SUCCESS) {
    return static_cast<DWORD>(status);
  }

  emu::SecurityDescriptor updated;
  if (!emu::ParseDescriptor(current, updated)) return ERROR_INVALID_SECURITY_DESCR;
  if (info & OWNER_SECURITY_INFORMATION) {
    updated.owner = emu::SidBytes(owner);
    if (updated.owner.empty()) return ERROR_INVALID_SID;
  }
  if (info & GROUP_SECURITY_INFORMATION) {
    updated.group = emu::SidBytes(group);
    if (updated.group.empty()) return ERROR_INVALID_SID;
  }
  if (info & DACL_SECURITY_INFORMATION) {
    std::vector<emu::Ace> explicitAces;
    if (dacl != nullptr) {
      const std::size_t size = emu::AclSize(dacl);
      if (size == 0 || !emu::ParseAcl(reinterpret_cast<const BYTE*>(dacl), size, explicitAces)) {
        return ERROR_INVALID_ACL;
      }
    }
    std::vector<BYTE> withDacl;
    if (dacl == nullptr) {
      emu::SecurityDescriptor open = updated;  // a null DACL: no list, everyone has access
      open.dacl.reset();
      withDacl = emu::SerializeDescriptor(open);
    } else {
      const bool protect = (info & PROTECTED_DACL_SECURITY_INFORMATION) != 0;
      withDacl = emu::KeySecurityWithDacl(emu::SerializeDescriptor(updated),
                                          protect || !parent ? nullptr : &*parent, explicitAces);
      if (protect) {
        emu::SecurityDescriptor shielded;
        emu::ParseDescriptor(withDacl, shielded);
        shielded.control |= SE_DACL_PROTECTED;
        withDacl = emu::SerializeDescriptor(shielded);
      }
    }
    if (!emu::ParseDescriptor(withDacl, updated)) return ERROR_INVALID_SECURITY_DESCR;
  }
  return static_cast<DWORD>(
      emu::RegistrySetSecurity(key.get(), emu::SerializeDescriptor(updated)));
}

HLOCAL LocalFree(HLOCAL memory) {
  if (memory == nullptr || emu::Release(memory)) return nullptr;
  SetLastError(ERROR_INVALID_HANDLE);
  return memory;
}

}  // namespace win
