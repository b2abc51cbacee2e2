// Registry hive files ("regf", format 1.5) as RegSaveKeyW writes them: a key's tree in the layout
// that Windows loads with RegLoadKeyW and that offline readers open.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/emulated/registry_store.h"

namespace emu {

struct HiveFileInfo {
  // Goes into the base block's name field (its last 31 UTF-16 units), for debuggers only.
  std::string fileName;
  ULONGLONG written = 0;  // FILETIME of the save; 0 takes the root key's last write
};

// The hive of `root` and everything below it, volatile subkeys left out as Windows leaves them
// out. Keys without a security descriptor of their own get DefaultKeySecurity(). False (with a
// reason) for trees the format cannot hold: over-long names, data beyond 1 GB, bad descriptors.
bool WriteHiveFile(const RegistryKeyTree& root, std::vector<BYTE>& bytes, std::string& error,
                   const HiveFileInfo& info = {});

// Self-relative: owner Administrators, group SYSTEM, and a DACL that gives Everyone, SYSTEM and
// Administrators KEY_ALL_ACCESS, inherited by subkeys.
std::vector<BYTE> DefaultKeySecurity();

// The name hash of "lh" subkey lists: 37 * h + c over the upper-cased UTF-16 units.
DWORD HiveNameHash(std::string_view name);

}  // namespace emu
