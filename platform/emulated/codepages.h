// Single-byte code pages of the emulated machine (the ANSI and OEM code pages and their kin).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

namespace emu {

// Bytes in `codePage` (65001 or a single-byte code page the machine knows) as UTF-8.
std::optional<std::string> DecodeCodePage(UINT codePage, std::string_view bytes);

// UTF-8 text in `codePage`; unrepresentable characters become `defaultChar`.
std::optional<std::string> EncodeCodePage(UINT codePage, std::string_view utf8, char defaultChar,
                                          bool* usedDefault);

bool IsKnownCodePage(UINT codePage);

}  // namespace emu
