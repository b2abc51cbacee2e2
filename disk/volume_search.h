// Finding a volume by where it lies, through the system's volume enumeration.
#pragma once

#include <string>

#include "platform/win32_types.h"

// The buffer, in characters, that the enumeration gets for each volume name.
inline constexpr DWORD kVolumeNameLength = 1024;

// The first enumerated volume that lies in one extent starting at `offset` on disk `diskNumber`.
// `enumeratedName` receives its name as enumerated: \\?\Volume{GUID}\. The search is closed on
// every way out.
bool FindVolumeAt(DWORD diskNumber, LONGLONG offset, std::string& enumeratedName);
