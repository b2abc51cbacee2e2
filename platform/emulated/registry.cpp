// The emulated registry: HKEY_CURRENT_USER and HKEY_LOCAL_MACHINE as trees in memory, each saved
// to <machine>/registry/<hive>.json after every change. The rules are the ones Windows applies:
// a handle grants only the access it was opened with, names compare without regard to letter
// case, a key with subkeys cannot be deleted by RegDeleteKeyW, handles to deleted keys answer
// ERROR_KEY_DELETED, and value buffers follow the ERROR_MORE_DATA protocol.
#include <chrono>
#include <map>
#include <memory>
#include <mutex>

#include "platform/emulated/faults.h"
#include "platform/emulated/hive_file.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/registry_file.h"
#include "platform/emulated/registry_store.h"
#include "platform/emulated/security_descriptor.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace emu {
namespace {

// Key and value names are limited by the registry itself (in UTF-16 code units).
constexpr std::size_t kMaxKeyNameUnits = 255;
constexpr std::size_t kMaxValueNameUnits = 16383;

struct Hive;

struct Key {
  std::string name;
  ULONGLONG lastWrite = 0;
  bool isVolatile = false;
  bool deleted = false;
  std::string className;
  std::optional<std::vector<BYTE>> security;
  std::vector<RegistryValue> values;
  std::map<std::string, std::shared_ptr<Key>, CaseInsensitiveLess> subkeys;
  Key* parent = nullptr;
  Hive* hive = nullptr;
};

struct Hive {
  const char* fileName;
  std::shared_ptr<Key> root;
};

struct OpenKey {
  std::shared_ptr<Key> key;
  REGSAM access = 0;
};

std::mutex gMutex;
bool gLoaded = false;
std::filesystem::path gDirectory;  // the machine whose hives are loaded
Hive gCurrentUser{"HKCU.json", nullptr};
Hive gLocalMachine{"HKLM.json", nullptr};
std::map<HKEY, OpenKey> gHandles;
ULONG_PTR gNextHandle = 0x1000;

ULONGLONG Now() {
  using namespace std::chrono;
  constexpr ULONGLONG kUnixEpochAsFileTime = 116444736000000000ULL;
  const auto sinceUnix = duration_cast<nanoseconds>(system_clock::now().time_since_epoch());
  return kUnixEpochAsFileTime + static_cast<ULONGLONG>(sinceUnix.count() / 100);
}

std::size_t Utf16Units(std::string_view utf8) { return win::Utf8ToUtf16(utf8).size(); }

bool SameName(std::string_view a, std::string_view b) {
  return !CaseInsensitiveLess{}(std::string(a), std::string(b)) &&
         !CaseInsensitiveLess{}(std::string(b), std::string(a));
}

// ---- Loading and saving ----------------------------------------------------------------------

std::shared_ptr<Key> KeyFromTree(const RegistryKeyTree& tree, Key* parent, Hive* hive) {
  auto key = std::make_shared<Key>();
  key->name = tree.name;
  key->lastWrite = tree.lastWrite;
  key->isVolatile = tree.isVolatile;
  key->className = tree.className;
  key->security = tree.security;
  key->values = tree.values;
  key->parent = parent;
  key->hive = hive;
  for (const RegistryKeyTree& child : tree.subkeys) {
    key->subkeys.emplace(child.name, KeyFromTree(child, key.get(), hive));
  }
  return key;
}

RegistryKeyTree TreeFromKey(const Key& key) {
  RegistryKeyTree tree;
  tree.name = key.name;
  tree.lastWrite = key.lastWrite;
  tree.isVolatile = key.isVolatile;
  tree.className = key.className;
  tree.security = key.security;
  tree.values = key.values;
  for (const auto& [name, child] : key.subkeys) tree.subkeys.push_back(TreeFromKey(*child));
  return tree;
}

std::filesystem::path HiveFile(const Hive& hive) { return gDirectory / "registry" / hive.fileName; }

void LoadHive(Hive& hive) {
  RegistryKeyTree tree;
  std::string error;
  if (!ReadRegistryFile(HiveFile(hive), tree, error)) {
    // A damaged hive is a broken machine, not something a program can handle.
    throw std::runtime_error("emulated registry: " + error);
  }
  hive.root = KeyFromTree(tree, nullptr, &hive);
  if (hive.root->lastWrite == 0) hive.root->lastWrite = Now();
}

// Called with gMutex held. Loads the hives of the current machine, dropping those of another.
void EnsureLoaded(const std::filesystem::path& directory) {
  if (gLoaded && directory == gDirectory) return;
  gHandles.clear();
  gDirectory = directory;
  LoadHive(gCurrentUser);
  LoadHive(gLocalMachine);
  gLoaded = true;
}

// Takes the registry lock with the hives of the current machine loaded. The machine is asked
// first: starting it fills the registry, which takes this lock itself.
std::unique_lock<std::mutex> LockRegistry() {
  const std::filesystem::path directory = Machine::Get().Directory();
  std::unique_lock lock(gMutex);
  EnsureLoaded(directory);
  return lock;
}

LSTATUS Save(const Hive& hive) {
  std::string error;
  if (!WriteRegistryFile(HiveFile(hive), TreeFromKey(*hive.root), error)) {
    return ERROR_CANTWRITE;
  }
  return ERROR_SUCCESS;
}

// ---- Handles and access -----------------------------------------------------------------------

Hive* PredefinedHive(HKEY key) {
  if (key == HKEY_CURRENT_USER) return &gCurrentUser;
  if (key == HKEY_LOCAL_MACHINE) return &gLocalMachine;
  return nullptr;
}

bool IsPredefined(HKEY key) {
  // The roots are sign-extended 32-bit values, as in winreg.h.
  const auto value = reinterpret_cast<ULONG_PTR>(key);
  return value >= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) &&
         value <= reinterpret_cast<ULONG_PTR>(HKEY_CLASSES_ROOT) + 7;
}

REGSAM MapGenericAccess(REGSAM access) {
  REGSAM mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL |
                             MAXIMUM_ALLOWED | KEY_WOW64_32KEY | KEY_WOW64_64KEY);
  if (access & (GENERIC_READ | GENERIC_EXECUTE)) mapped |= KEY_READ;
  if (access & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (access & (GENERIC_ALL | MAXIMUM_ALLOWED)) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

// Resolves a handle. The predefined roots grant everything: the program runs as administrator.
LSTATUS Resolve(HKEY handle, REGSAM needed, std::shared_ptr<Key>& key) {
  if (Hive* hive = PredefinedHive(handle)) {
    key = hive->root;
    return ERROR_SUCCESS;
  }
  if (IsPredefined(handle)) return ERROR_INVALID_HANDLE;  // hives this machine does not have
  auto found = gHandles.find(handle);
  if (found == gHandles.end()) return ERROR_INVALID_HANDLE;
  if ((found->second.access & needed) != needed) return ERROR_ACCESS_DENIED;
  key = found->second.key;
  if (key->deleted) return ERROR_KEY_DELETED;
  return ERROR_SUCCESS;
}

HKEY NewHandle(std::shared_ptr<Key> key, REGSAM access) {
  HKEY handle = reinterpret_cast<HKEY>(gNextHandle);
  gNextHandle += 4;
  gHandles[handle] = OpenKey{std::move(key), access};
  return handle;
}

// Splits a subkey path into names. A leading backslash is refused as Windows refuses it; one
// trailing backslash is tolerated.
LSTATUS SplitPath(std::string_view path, std::vector<std::string>& names) {
  names.clear();
  if (!path.empty() && path.front() == '\\') return ERROR_BAD_PATHNAME;
  if (!path.empty() && path.back() == '\\') path.remove_suffix(1);
  while (!path.empty()) {
    const std::size_t end = path.find('\\');
    std::string_view name = path.substr(0, end);
    if (name.empty()) return ERROR_BAD_PATHNAME;
    if (Utf16Units(name) > kMaxKeyNameUnits) return ERROR_INVALID_PARAMETER;
    names.emplace_back(name);
    path = end == std::string_view::npos ? std::string_view() : path.substr(end + 1);
  }
  return ERROR_SUCCESS;
}

std::shared_ptr<Key> Child(const Key& key, const std::string& name) {
  auto found = key.subkeys.find(name);
  return found == key.subkeys.end() ? nullptr : found->second;
}

LSTATUS Walk(std::shared_ptr<Key> start, std::string_view path, std::shared_ptr<Key>& key) {
  std::vector<std::string> names;
  if (LSTATUS status = SplitPath(path, names); status != ERROR_SUCCESS) return status;
  key = std::move(start);
  for (const std::string& name : names) {
    key = Child(*key, name);
    if (key == nullptr) return ERROR_FILE_NOT_FOUND;
  }
  return ERROR_SUCCESS;
}

void MarkDeleted(Key& key) {
  key.deleted = true;
  for (auto& [name, child] : key.subkeys) MarkDeleted(*child);
}

RegistryValue* FindValue(Key& key, std::string_view name) {
  for (RegistryValue& value : key.values) {
    if (SameName(value.name, name)) return &value;
  }
  return nullptr;
}

LSTATUS Touched(Key& key) {
  key.lastWrite = Now();
  return key.isVolatile ? ERROR_SUCCESS : Save(*key.hive);
}

}  // namespace

// ---- The store's operations -----------------------------------------------------------------

void ResetRegistry() {
  std::lock_guard lock(gMutex);
  gHandles.clear();
  gCurrentUser.root.reset();
  gLocalMachine.root.reset();
  gLoaded = false;
}

namespace {

// What governs a key: its own descriptor, or what its parent passes on; a hive's root without
// one has the default.
std::vector<BYTE> EffectiveSecurity(const Key& key) {
  if (key.security) return *key.security;
  if (key.parent == nullptr) return DefaultKeySecurity();
  return InheritedKeySecurity(EffectiveSecurity(*key.parent));
}

void FillEffectiveSecurity(RegistryKeyTree& tree, const std::vector<BYTE>& parent) {
  if (!tree.security) tree.security = InheritedKeySecurity(parent);
  for (RegistryKeyTree& child : tree.subkeys) FillEffectiveSecurity(child, *tree.security);
}

}  // namespace

LSTATUS RegistryReadTree(HKEY handle, RegistryKeyTree& tree) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, 0, key); status != ERROR_SUCCESS) return status;
  tree = TreeFromKey(*key);
  tree.security = EffectiveSecurity(*key);
  for (RegistryKeyTree& child : tree.subkeys) FillEffectiveSecurity(child, *tree.security);
  return ERROR_SUCCESS;
}

LSTATUS RegistryEffectiveSecurity(HKEY handle, std::vector<BYTE>& descriptor,
                                  std::optional<std::vector<BYTE>>& parent) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, READ_CONTROL, key); status != ERROR_SUCCESS) return status;
  descriptor = EffectiveSecurity(*key);
  parent.reset();
  if (key->parent != nullptr) parent = EffectiveSecurity(*key->parent);
  return ERROR_SUCCESS;
}

LSTATUS RegistrySetSecurity(HKEY handle, std::vector<BYTE> descriptor) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, WRITE_DAC, key); status != ERROR_SUCCESS) return status;
  key->security = std::move(descriptor);
  return key->isVolatile ? ERROR_SUCCESS : Save(*key->hive);
}

LSTATUS RegistryGetSecurity(HKEY handle, std::optional<std::vector<BYTE>>& descriptor) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, READ_CONTROL, key); status != ERROR_SUCCESS) return status;
  descriptor = key->security;
  return ERROR_SUCCESS;
}

namespace registry {

LSTATUS Open(HKEY handle, std::string_view path, REGSAM access, HKEY& result) {
  auto lock = LockRegistry();
  result = nullptr;
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, 0, key); status != ERROR_SUCCESS) return status;
  if (path.empty() && IsPredefined(handle)) {
    result = handle;  // the root itself, as Windows hands it back
    return ERROR_SUCCESS;
  }
  if (LSTATUS status = Walk(key, path, key); status != ERROR_SUCCESS) return status;
  result = NewHandle(key, MapGenericAccess(access));
  return ERROR_SUCCESS;
}

LSTATUS Create(HKEY handle, std::string_view path, bool isVolatile, REGSAM access, HKEY& result,
               DWORD& disposition) {
  auto lock = LockRegistry();
  result = nullptr;
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, 0, key); status != ERROR_SUCCESS) return status;
  std::vector<std::string> names;
  if (LSTATUS status = SplitPath(path, names); status != ERROR_SUCCESS) return status;
  if (names.empty() && IsPredefined(handle)) {
    result = handle;
    disposition = REG_OPENED_EXISTING_KEY;
    return ERROR_SUCCESS;
  }

  // Creating a missing key needs KEY_CREATE_SUB_KEY on the handle it starts from.
  disposition = REG_OPENED_EXISTING_KEY;
  bool created = false;
  for (const std::string& name : names) {
    if (std::shared_ptr<Key> child = Child(*key, name)) {
      key = child;
      continue;
    }
    if (!created && !IsPredefined(handle)) {
      if ((gHandles[handle].access & KEY_CREATE_SUB_KEY) == 0) return ERROR_ACCESS_DENIED;
    }
    if (key->isVolatile && !isVolatile) return ERROR_CHILD_MUST_BE_VOLATILE;
    auto child = std::make_shared<Key>();
    child->name = name;
    child->isVolatile = isVolatile;
    child->parent = key.get();
    child->hive = key->hive;
    child->lastWrite = Now();
    key->subkeys.emplace(name, child);
    key->lastWrite = child->lastWrite;
    key = child;
    created = true;
  }
  if (created) {
    disposition = REG_CREATED_NEW_KEY;
    if (LSTATUS status = Save(*key->hive); status != ERROR_SUCCESS) return status;
  }
  result = NewHandle(key, MapGenericAccess(access));
  return ERROR_SUCCESS;
}

LSTATUS QueryValue(HKEY handle, std::string_view name, RegistryValue& value) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, KEY_QUERY_VALUE, key); status != ERROR_SUCCESS) {
    return status;
  }
  const RegistryValue* found = FindValue(*key, name);
  if (found == nullptr) return ERROR_FILE_NOT_FOUND;
  value = *found;
  return ERROR_SUCCESS;
}

LSTATUS SetValue(HKEY handle, std::string_view name, DWORD type, std::vector<BYTE> data) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, KEY_SET_VALUE, key); status != ERROR_SUCCESS) return status;
  if (Utf16Units(name) > kMaxValueNameUnits) return ERROR_INVALID_PARAMETER;
  if (RegistryValue* existing = FindValue(*key, name)) {
    existing->type = type;
    existing->data = std::move(data);
  } else {
    key->values.push_back(RegistryValue{std::string(name), type, std::move(data)});
  }
  return Touched(*key);
}

LSTATUS DeleteValue(HKEY handle, std::string_view name) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, KEY_SET_VALUE, key); status != ERROR_SUCCESS) return status;
  const RegistryValue* found = FindValue(*key, name);
  if (found == nullptr) return ERROR_FILE_NOT_FOUND;
  key->values.erase(key->values.begin() + (found - key->values.data()));
  return Touched(*key);
}

LSTATUS DeleteKey(HKEY handle, std::string_view path) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, 0, key); status != ERROR_SUCCESS) return status;
  if (LSTATUS status = Walk(key, path, key); status != ERROR_SUCCESS) return status;
  if (key->parent == nullptr || !key->subkeys.empty()) return ERROR_ACCESS_DENIED;
  Key& parent = *key->parent;
  MarkDeleted(*key);
  parent.subkeys.erase(key->name);
  return Touched(parent);
}

LSTATUS DeleteTree(HKEY handle, std::string_view path) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  const REGSAM needed =
      KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | (path.empty() ? KEY_SET_VALUE : 0);
  if (LSTATUS status = Resolve(handle, needed, key); status != ERROR_SUCCESS) return status;
  if (LSTATUS status = Walk(key, path, key); status != ERROR_SUCCESS) return status;
  if (path.empty()) {
    // The key stays; its values and everything below it go.
    for (auto& [name, child] : key->subkeys) MarkDeleted(*child);
    key->subkeys.clear();
    key->values.clear();
    return Touched(*key);
  }
  if (key->parent == nullptr) return ERROR_ACCESS_DENIED;
  Key& parent = *key->parent;
  MarkDeleted(*key);
  parent.subkeys.erase(key->name);
  return Touched(parent);
}

LSTATUS EnumKey(HKEY handle, DWORD index, std::string& name) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, KEY_ENUMERATE_SUB_KEYS, key); status != ERROR_SUCCESS) {
    return status;
  }
  if (index >= key->subkeys.size()) return ERROR_NO_MORE_ITEMS;
  name = std::next(key->subkeys.begin(), index)->second->name;
  return ERROR_SUCCESS;
}

LSTATUS EnumValue(HKEY handle, DWORD index, RegistryValue& value) {
  auto lock = LockRegistry();
  std::shared_ptr<Key> key;
  if (LSTATUS status = Resolve(handle, KEY_QUERY_VALUE, key); status != ERROR_SUCCESS) {
    return status;
  }
  if (index >= key->values.size()) return ERROR_NO_MORE_ITEMS;
  value = key->values[index];
  return ERROR_SUCCESS;
}

LSTATUS Close(HKEY handle) {
  std::lock_guard lock(gMutex);
  if (IsPredefined(handle)) return ERROR_SUCCESS;
  return gHandles.erase(handle) == 1 ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

}  // namespace registry
}  // namespace emu

// ---- The seam -------------------------------------------------------------------------------

namespace win {
namespace {

// The Win32 protocol for handing value data to a caller's buffer.
LSTATUS CopyData(const emu::RegistryValue& value, DWORD* type, BYTE* data, DWORD* dataSize) {
  if (data != nullptr && dataSize == nullptr) return ERROR_INVALID_PARAMETER;
  if (type != nullptr) *type = value.type;
  if (dataSize == nullptr) return ERROR_SUCCESS;
  const auto size = static_cast<DWORD>(value.data.size());
  if (data == nullptr) {
    *dataSize = size;
    return ERROR_SUCCESS;
  }
  if (*dataSize < size) {
    *dataSize = size;
    return ERROR_MORE_DATA;
  }
  std::copy(value.data.begin(), value.data.end(), data);
  *dataSize = size;
  return ERROR_SUCCESS;
}

}  // namespace

LSTATUS RegOpenKeyExW(HKEY key, std::string_view subKey, DWORD options, REGSAM access,
                      RegKey& result) {
  result.reset();
  if (options & ~REG_OPTION_BACKUP_RESTORE) return ERROR_INVALID_PARAMETER;
  HKEY opened = nullptr;
  LSTATUS status = emu::registry::Open(key, subKey, access, opened);
  if (status == ERROR_SUCCESS) result.reset(opened);
  return status;
}

LSTATUS RegCreateKeyExW(HKEY key, std::string_view subKey, DWORD reserved, DWORD options,
                        REGSAM access, const SECURITY_ATTRIBUTES* /*security*/, RegKey& result,
                        DWORD* disposition) {
  result.reset();
  if (reserved != 0) return ERROR_INVALID_PARAMETER;
  if (auto fault = emu::TakeFault("RegCreateKeyExW", subKey)) return static_cast<LSTATUS>(*fault);
  if (options & ~(REG_OPTION_VOLATILE | REG_OPTION_BACKUP_RESTORE)) return ERROR_INVALID_PARAMETER;
  HKEY created = nullptr;
  DWORD how = 0;
  LSTATUS status = emu::registry::Create(key, subKey, (options & REG_OPTION_VOLATILE) != 0,
                                         access, created, how);
  if (status == ERROR_SUCCESS) {
    result.reset(created);
    if (disposition != nullptr) *disposition = how;
  }
  return status;
}

LSTATUS RegQueryValueExW(HKEY key, std::string_view valueName, DWORD* type, BYTE* data,
                         DWORD* dataSize) {
  emu::RegistryValue value;
  LSTATUS status = emu::registry::QueryValue(key, valueName, value);
  if (status != ERROR_SUCCESS) return status;
  return CopyData(value, type, data, dataSize);
}

LSTATUS RegSetValueExW(HKEY key, std::string_view valueName, DWORD /*reserved*/, DWORD type,
                       const BYTE* data, DWORD dataSize) {
  if (data == nullptr && dataSize != 0) return ERROR_NOACCESS;
  if (auto fault = emu::TakeFault("RegSetValueExW", valueName)) return static_cast<LSTATUS>(*fault);
  std::vector<BYTE> bytes(data, data + (data == nullptr ? 0 : dataSize));
  return emu::registry::SetValue(key, valueName, type, std::move(bytes));
}

LSTATUS RegDeleteValueW(HKEY key, std::string_view valueName) {
  return emu::registry::DeleteValue(key, valueName);
}

LSTATUS RegDeleteKeyW(HKEY key, std::string_view subKey) {
  return emu::registry::DeleteKey(key, subKey);
}

LSTATUS RegDeleteTreeW(HKEY key, std::string_view subKey) {
  return emu::registry::DeleteTree(key, subKey);
}

LSTATUS RegEnumKeyExW(HKEY key, DWORD index, std::string& name) {
  name.clear();
  return emu::registry::EnumKey(key, index, name);
}

LSTATUS RegEnumValueW(HKEY key, DWORD index, std::string& name, DWORD* type, BYTE* data,
                      DWORD* dataSize) {
  name.clear();
  emu::RegistryValue value;
  LSTATUS status = emu::registry::EnumValue(key, index, value);
  if (status != ERROR_SUCCESS) return status;
  status = CopyData(value, type, data, dataSize);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) name = value.name;
  return status;
}

LSTATUS RegCloseKey(HKEY key) { return emu::registry::Close(key); }

}  // namespace win
