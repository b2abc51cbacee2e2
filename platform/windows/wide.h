// Private to the Windows backend: UTF-8 seam strings to and from the wide strings of the W calls.
#pragma once

#include <string>
#include <string_view>

#include "platform/text.h"

namespace win::detail {

// wchar_t is UTF-16 on Windows, so the shared conversions serve the W calls directly.
static_assert(sizeof(wchar_t) == sizeof(char16_t));

inline std::wstring Wide(std::string_view utf8) {
  std::u16string utf16 = Utf8ToUtf16(utf8);
  return std::wstring(utf16.begin(), utf16.end());
}

inline std::string Narrow(std::wstring_view wide) {
  return Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()),
                                         wide.size()));
}

}  // namespace win::detail
