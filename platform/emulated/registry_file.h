// The saved form of an emulated registry hive: <machine>/registry/HKCU.json and HKLM.json.
//
// The file holds the hive's root key. A key is a JSON object whose members are all optional:
//   "lastWrite": FILETIME as a number,   "class": text,   "security": hex bytes,
//   "values": [{"name": text, "type": "REG_SZ" (or a number), "data": ... or "hex": "..."}],
//   "keys": {"SubkeyName": key, ...}     (in enumeration order)
// "data" is the readable form: text for REG_SZ and REG_EXPAND_SZ (without the terminator), a list
// of texts for REG_MULTI_SZ, a number for REG_DWORD and REG_QWORD. "hex" holds the bytes
// themselves and is written whenever the readable form would not give back exactly those bytes.
#pragma once

#include <filesystem>
#include <string>

#include "platform/emulated/registry_store.h"

namespace emu {

// A missing file reads as an empty hive. False, with a message in `error`, when the file cannot
// be read or is not in the form above.
bool ReadRegistryFile(const std::filesystem::path& file, RegistryKeyTree& root, std::string& error);

// Leaves volatile keys out. Writes a temporary file and renames it over `file`, so a reader never
// sees half a hive.
bool WriteRegistryFile(const std::filesystem::path& file, const RegistryKeyTree& root,
                       std::string& error);

}  // namespace emu
