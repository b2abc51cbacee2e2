// Reading INI text: sections of key/text lines.
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

using IniLines = std::vector<std::pair<std::string, std::string>>;

// The key/text lines of `section` (letter case ignored) in file order. Lines are trimmed of
// characters up to U+0020; empty lines and lines beginning with ";" are skipped; a repeated
// section is ignored with all its lines; a line without "=" is a key without text.
IniLines ReadIniSection(std::string_view text, std::string_view section);

// ASCII letter case ignored.
bool SameTextIgnoringCase(std::string_view a, std::string_view b);
