// UTF-8 <-> UTF-16 conversions used at the seam's edges. Invalid input becomes U+FFFD, as the
// Windows conversions do without MB_ERR_INVALID_CHARS.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/win32_types.h"

namespace win {

std::u16string Utf8ToUtf16(std::string_view utf8);
std::string Utf16ToUtf8(std::u16string_view utf16);

// Decodes UTF-8 into code points (invalid sequences give U+FFFD).
std::u32string Utf8ToCodePoints(std::string_view utf8);
void AppendUtf8(std::string& out, char32_t codePoint);

// REG_SZ data: UTF-16LE bytes with the terminating zero, and back (stops at the first zero).
std::vector<BYTE> RegStringData(std::string_view utf8);
std::string RegStringFromData(const BYTE* data, DWORD size);

}  // namespace win
