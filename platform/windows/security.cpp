// The process token, security identifiers and access lists on the real API.
#include <vector>

#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

const wchar_t* SystemName(std::string_view name, std::wstring& wide) {
  if (name.empty()) return nullptr;
  wide = detail::Wide(name);
  return wide.c_str();
}

}  // namespace

BOOL GetVersionExW(OSVERSIONINFOW* info) { return ::GetVersionExW(info); }

HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }

BOOL OpenProcessToken(HANDLE process, DWORD access, HANDLE* token) {
  return ::OpenProcessToken(process, access, token);
}

BOOL LookupPrivilegeValueW(std::string_view systemName, std::string_view name, LUID* luid) {
  std::wstring system;
  return ::LookupPrivilegeValueW(SystemName(systemName, system), detail::Wide(name).c_str(), luid);
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disableAll, const TOKEN_PRIVILEGES* newState,
                           DWORD bufferLength, TOKEN_PRIVILEGES* previousState,
                           DWORD* returnLength) {
  return ::AdjustTokenPrivileges(token, disableAll, const_cast<TOKEN_PRIVILEGES*>(newState),
                                 bufferLength, previousState, returnLength);
}

BOOL AllocateAndInitializeSid(const SID_IDENTIFIER_AUTHORITY* authority, BYTE subAuthorityCount,
                              DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4,
                              DWORD sub5, DWORD sub6, DWORD sub7, PSID* sid) {
  return ::AllocateAndInitializeSid(const_cast<SID_IDENTIFIER_AUTHORITY*>(authority),
                                    subAuthorityCount, sub0, sub1, sub2, sub3, sub4, sub5, sub6,
                                    sub7, sid);
}

void* FreeSid(PSID sid) { return ::FreeSid(sid); }

BOOL LookupAccountSidW(std::string_view systemName, PSID sid, std::string* name,
                       DWORD* nameLength, std::string* domain, DWORD* domainLength,
                       SID_NAME_USE* use) {
  if (nameLength == nullptr || domainLength == nullptr) {
    ::SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  std::wstring system;
  std::vector<wchar_t> nameBuffer(name ? *nameLength : 0);
  std::vector<wchar_t> domainBuffer(domain ? *domainLength : 0);
  DWORD nameRoom = static_cast<DWORD>(nameBuffer.size());
  DWORD domainRoom = static_cast<DWORD>(domainBuffer.size());
  const BOOL found = ::LookupAccountSidW(SystemName(systemName, system), sid,
                                         nameRoom ? nameBuffer.data() : nullptr, &nameRoom,
                                         domainRoom ? domainBuffer.data() : nullptr, &domainRoom,
                                         use);
  *nameLength = nameRoom;
  *domainLength = domainRoom;
  if (found) {
    *name = detail::Narrow(std::wstring_view(nameBuffer.data(), nameRoom));
    *domain = detail::Narrow(std::wstring_view(domainBuffer.data(), domainRoom));
  }
  return found;
}

void BuildExplicitAccessWithNameW(ExplicitAccess* access, std::string_view trusteeName,
                                  DWORD permissions, ACCESS_MODE mode, DWORD inheritance) {
  access->trusteeName = std::string(trusteeName);
  // The name pointer is set by SetEntriesInAclW, which owns the wide copy while it runs.
  ::BuildExplicitAccessWithNameW(&access->entry, nullptr, permissions, mode, inheritance);
}

DWORD SetEntriesInAclW(ULONG count, const ExplicitAccess* entries, PACL oldAcl, PACL* newAcl) {
  std::vector<std::wstring> names;
  std::vector<EXPLICIT_ACCESS_W> wide;
  names.reserve(count);
  for (ULONG i = 0; i < count; ++i) {
    names.push_back(detail::Wide(entries[i].trusteeName));
    wide.push_back(entries[i].entry);
    wide.back().Trustee.ptstrName = names.back().data();
  }
  return ::SetEntriesInAclW(count, wide.data(), oldAcl, newAcl);
}

DWORD SetNamedSecurityInfoW(std::string_view objectName, SE_OBJECT_TYPE type,
                            SECURITY_INFORMATION info, PSID owner, PSID group, PACL dacl,
                            PACL sacl) {
  std::wstring name = detail::Wide(objectName);
  return ::SetNamedSecurityInfoW(name.data(), type, info, owner, group, dacl, sacl);
}

HLOCAL LocalFree(HLOCAL memory) { return ::LocalFree(memory); }

}  // namespace win
