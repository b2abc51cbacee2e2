// The payload's Info.ini on the target: an INI file in UTF-8 whose Build key of section Info
// records which payload was installed.
#pragma once

#include <string>
#include <string_view>

// The build number the payload carries.
inline constexpr char kPayloadBuild[] = "23021500";

// `text` rewritten with `key` of `section` set to `value`: replaced where the key exists,
// appended to its section otherwise, in a new last section when there is none. The result starts
// with the UTF-8 byte-order mark and ends every line with CR LF; each section is its [name] line,
// its key=value lines and one empty line. Comment lines (";"), blank lines and lines before the
// first section are dropped; a section that appears again continues the first one.
std::string SetIniValue(std::string_view text, std::string_view section, std::string_view key,
                        std::string_view value);

// Sets Build of [Info] in the file at `path` (created when missing). False, with the reason in
// the last error, when the file cannot be read or written.
bool RecordPayloadBuild(const std::string& path);
