// GUIDs in their registry text form ("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}", lower case here).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_device_types.h"

namespace emu {

std::string GuidText(const GUID& guid);
// Accepts upper or lower case, with or without braces.
std::optional<GUID> ParseGuid(std::string_view text);
bool SameGuidText(std::string_view a, std::string_view b);
GUID NewGuid();  // random (version 4), from libuuid
std::string NewGuidText();

}  // namespace emu
