// The emulated machine's registry: two hives (HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE) kept in
// memory, saved under <machine>/registry/ after every change and loaded on first use.
//
// emu::registry holds the operations behind the seam's Reg* functions (registry.cpp adds the
// Win32 argument rules and buffer handling). The functions above it are for the rest of the
// emulated machine: the hive file writer walks a key's tree, the security calls set descriptors.
// All of them take the one registry lock, so any thread may call them.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_types.h"

namespace emu {

struct RegistryValue {
  std::string name;  // UTF-8, letter case as first set
  DWORD type = REG_NONE;
  std::vector<BYTE> data;  // exactly the bytes that were set
};

// One key with everything below it.
struct RegistryKeyTree {
  std::string name;  // empty for a hive's root
  ULONGLONG lastWrite = 0;  // FILETIME: 100 ns units since 1601-01-01 UTC
  bool isVolatile = false;  // volatile keys are never saved
  std::string className;
  // Self-relative security descriptor. A key without one takes what its parent passes on; the
  // store does not compute inheritance.
  std::optional<std::vector<BYTE>> security;
  std::vector<RegistryValue> values;      // in creation order
  std::vector<RegistryKeyTree> subkeys;  // in RegEnumKeyExW order
};

// A copy of the key's tree, volatile keys included, every key with the descriptor that governs
// it. Needs only a valid handle (callers such as the hive writer check their own privileges).
// Returns a Win32 error code.
LSTATUS RegistryReadTree(HKEY key, RegistryKeyTree& tree);

// The key's own security descriptor, as RegSetKeySecurity / RegGetKeySecurity: the handle needs
// WRITE_DAC or READ_CONTROL. An empty optional when the key has none.
LSTATUS RegistrySetSecurity(HKEY key, std::vector<BYTE> descriptor);
LSTATUS RegistryGetSecurity(HKEY key, std::optional<std::vector<BYTE>>& descriptor);
// The descriptor that governs the key (its own, or what its ancestors pass on, down from the
// default of a hive's root) and its parent's, empty for a hive's root. Needs READ_CONTROL.
LSTATUS RegistryEffectiveSecurity(HKEY key, std::vector<BYTE>& descriptor,
                                  std::optional<std::vector<BYTE>>& parent);

// Drops the in-memory registry and every open key handle; the next call loads the hives of the
// current machine. The store also does this by itself when Machine::Use() names another folder.
void ResetRegistry();

namespace registry {

// `path` is a subkey path relative to `key`; names are UTF-8. Handles come back in `result`.
LSTATUS Open(HKEY key, std::string_view path, REGSAM access, HKEY& result);
LSTATUS Create(HKEY key, std::string_view path, bool isVolatile, REGSAM access, HKEY& result,
               DWORD& disposition);
LSTATUS QueryValue(HKEY key, std::string_view name, RegistryValue& value);
LSTATUS SetValue(HKEY key, std::string_view name, DWORD type, std::vector<BYTE> data);
LSTATUS DeleteValue(HKEY key, std::string_view name);
LSTATUS DeleteKey(HKEY key, std::string_view path);
LSTATUS DeleteTree(HKEY key, std::string_view path);
LSTATUS EnumKey(HKEY key, DWORD index, std::string& name);
LSTATUS EnumValue(HKEY key, DWORD index, RegistryValue& value);
LSTATUS Close(HKEY key);

}  // namespace registry
}  // namespace emu
