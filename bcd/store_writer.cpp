#include "bcd/store_writer.h"

#include <memory>

#include "platform/seam.h"
#include "platform/text.h"

BcdDeviceData NewPartitionDevice() {
  BcdDeviceData data{};
  data[16] = 6;     // a partition
  data[24] = 0x48;  // bytes 16 to 87
  return data;
}

void EnablePrivilege(std::string_view privilegeName) {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof(version);
  if (!win::GetVersionExW(&version) || version.dwPlatformId != VER_PLATFORM_WIN32_NT) return;

  HANDLE raw = nullptr;
  if (!win::OpenProcessToken(win::GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
                             &raw)) {
    return;
  }
  win::Handle token(raw);
  TOKEN_PRIVILEGES privileges{};
  if (!win::LookupPrivilegeValueW("", privilegeName, &privileges.Privileges[0].Luid)) return;
  privileges.PrivilegeCount = 1;
  privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  TOKEN_PRIVILEGES previous{};
  DWORD returned = 0;
  win::AdjustTokenPrivileges(token.get(), FALSE, &privileges, sizeof(previous), &previous,
                             &returned);
}

namespace {

struct SidFree {
  void operator()(void* sid) const { win::FreeSid(sid); }
};
struct LocalMemoryFree {
  void operator()(void* memory) const { win::LocalFree(memory); }
};

}  // namespace

void GrantEveryoneFullAccess(std::string_view objectName) {
  SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
  PSID raw = nullptr;
  if (!win::AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &raw)) {
    return;
  }
  std::unique_ptr<void, SidFree> everyone(raw);

  // The account's name in the system's language: learn the lengths first, then fetch it.
  DWORD nameLength = 0;
  DWORD domainLength = 0;
  SID_NAME_USE use{};
  if (win::LookupAccountSidW("", everyone.get(), nullptr, &nameLength, nullptr, &domainLength,
                             &use) ||
      win::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return;
  }
  std::string name;
  std::string domain;
  if (!win::LookupAccountSidW("", everyone.get(), &name, &nameLength, &domain, &domainLength,
                              &use)) {
    return;
  }

  win::ExplicitAccess access;
  win::BuildExplicitAccessWithNameW(&access, name, GENERIC_ALL, GRANT_ACCESS,
                                    SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  PACL rawAcl = nullptr;
  if (win::SetEntriesInAclW(1, &access, nullptr, &rawAcl) != ERROR_SUCCESS) return;
  std::unique_ptr<ACL, LocalMemoryFree> acl(rawAcl);
  win::SetNamedSecurityInfoW(objectName, SE_REGISTRY_KEY, DACL_SECURITY_INFORMATION, nullptr,
                             nullptr, acl.get(), nullptr);
}

namespace {

std::string ObjectPath(std::string_view object, std::string_view rest) {
  std::string path = std::string(kBcdWorkKey) + "\\Objects\\";
  path += object;
  path += '\\';
  path += rest;
  return path;
}

std::string ElementPath(std::string_view object, std::string_view element) {
  return ObjectPath(object, "Elements\\" + std::string(element));
}

std::vector<BYTE> LittleEndian(ULONGLONG value, std::size_t size) {
  std::vector<BYTE> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(value >> (8 * i));
  return bytes;
}

}  // namespace

BcdStoreWriter::BcdStoreWriter(bool system) {
  EnablePrivilege("SeBackupPrivilege");
  EnablePrivilege("SeRestorePrivilege");
  EnablePrivilege("SeTakeOwnershipPrivilege");
  DeleteWorkKey();

  const std::string description = std::string(kBcdWorkKey) + "\\Description";
  const std::vector<BYTE> flag = LittleEndian(system ? 1 : 0, 4);
  WriteValueOrRaise(description, "System", REG_DWORD, flag.data(), 4);
  WriteValueOrRaise(description, "TreatAsSystem", REG_DWORD, flag.data(), 4);
  GrantEveryoneFullAccess(kBcdWorkKeyObjectName);
}

LSTATUS BcdStoreWriter::WriteValue(std::string_view keyPath, std::string_view name, DWORD type,
                                   const BYTE* data, DWORD size) {
  win::RegKey key;
  LSTATUS status = win::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, REG_OPTION_NON_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  return win::RegSetValueExW(key.get(), name, 0, type, data, size);
}

void BcdStoreWriter::WriteValueOrRaise(std::string_view keyPath, std::string_view name,
                                       DWORD type, const BYTE* data, DWORD size) {
  if (WriteValue(keyPath, name, type, data, size) != ERROR_SUCCESS) {
    throw BcdWriteError("Failed to set data for '" + std::string(name) + "'");
  }
}

void BcdStoreWriter::CreateKey(std::string_view keyPath) {
  win::RegKey key;
  if (win::RegCreateKeyExW(HKEY_CURRENT_USER, keyPath, 0, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                           nullptr, key, nullptr) != ERROR_SUCCESS) {
    throw BcdWriteError("Failed to create key " + std::string(keyPath));
  }
}

void BcdStoreWriter::SetObjectType(std::string_view object, DWORD type) {
  const std::vector<BYTE> data = LittleEndian(type, 4);
  WriteValueOrRaise(ObjectPath(object, "Description"), "Type", REG_DWORD, data.data(), 4);
}

void BcdStoreWriter::CreateElementsKey(std::string_view object) {
  CreateKey(ObjectPath(object, "Elements"));
}

void BcdStoreWriter::CreateElementKey(std::string_view object, std::string_view element) {
  CreateKey(ElementPath(object, element));
}

void BcdStoreWriter::SetString(std::string_view object, std::string_view element,
                               std::string_view text) {
  const std::vector<BYTE> data = win::RegStringData(text);
  WriteValueOrRaise(ElementPath(object, element), "Element", REG_SZ, data.data(),
                    static_cast<DWORD>(data.size()));
}

void BcdStoreWriter::SetObjectList(std::string_view object, std::string_view element,
                                   std::string_view guid) {
  std::vector<BYTE> data = win::RegStringData(guid);  // ends with one NUL; a list ends with two
  data.push_back(0);
  data.push_back(0);
  WriteValueOrRaise(ElementPath(object, element), "Element", REG_MULTI_SZ, data.data(),
                    static_cast<DWORD>(data.size()));
}

void BcdStoreWriter::SetInteger(std::string_view object, std::string_view element,
                                ULONGLONG value) {
  const std::vector<BYTE> data = LittleEndian(value, 8);
  WriteValueOrRaise(ElementPath(object, element), "Element", REG_BINARY, data.data(), 8);
}

void BcdStoreWriter::SetBoolean(std::string_view object, std::string_view element, bool value) {
  const BYTE data = value ? 1 : 0;
  WriteValueOrRaise(ElementPath(object, element), "Element", REG_BINARY, &data, 1);
}

void BcdStoreWriter::SetDevice(std::string_view object, std::string_view element,
                               const BcdDeviceData& data) {
  WriteValueOrRaise(ElementPath(object, element), "Element", REG_BINARY, data.data(),
                    static_cast<DWORD>(data.size()));
}

bool BcdStoreWriter::SaveTo(const std::string& path) {
  win::RegKey key;
  if (win::RegOpenKeyExW(HKEY_CURRENT_USER, kBcdWorkKey, 0, KEY_ALL_ACCESS, key) !=
      ERROR_SUCCESS) {
    return false;
  }
  return win::RegSaveKeyW(key.get(), path, nullptr) == ERROR_SUCCESS;
}

namespace {

// Subkeys first, since RegDeleteKeyW removes only keys without subkeys.
void DeleteKeyTree(HKEY parent, const std::string& name) {
  {
    win::RegKey key;
    if (win::RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, key) != ERROR_SUCCESS) return;
    std::string child;
    std::string stuck;  // a subkey that would not go would otherwise come back for ever
    while (win::RegEnumKeyExW(key.get(), 0, child) == ERROR_SUCCESS && child != stuck) {
      DeleteKeyTree(key.get(), child);
      stuck = child;
    }
  }
  win::RegDeleteKeyW(parent, name);
}

}  // namespace

void BcdStoreWriter::DeleteWorkKey() { DeleteKeyTree(HKEY_CURRENT_USER, kBcdWorkKey); }
