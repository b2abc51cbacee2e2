#include "platform/text.h"

namespace win {

std::u32string Utf8ToCodePoints(std::string_view utf8) {
  std::u32string out;
  out.reserve(utf8.size());
  const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
  const std::size_t n = utf8.size();
  std::size_t i = 0;
  while (i < n) {
    unsigned char c = s[i];
    if (c < 0x80) {
      out.push_back(c);
      ++i;
      continue;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((c & 0xE0) == 0xC0) {
      extra = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2, cp = c & 0x0F, min = 0x800;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3, cp = c & 0x07, min = 0x10000;
    } else {
      out.push_back(0xFFFD);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    int k = 0;
    for (; k < extra && j < n && (s[j] & 0xC0) == 0x80; ++k, ++j) cp = (cp << 6) | (s[j] & 0x3F);
    if (k < extra || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out.push_back(0xFFFD);  // truncated, overlong or out of range: skip what was read
      i = j;
      continue;
    }
    out.push_back(cp);
    i = j;
  }
  return out;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::u16string Utf8ToUtf16(std::string_view utf8) {
  std::u16string out;
  out.reserve(utf8.size());
  for (char32_t cp : Utf8ToCodePoints(utf8)) {
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string Utf16ToUtf8(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size());
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t u = utf16[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < utf16.size() && utf16[i + 1] >= 0xDC00 &&
        utf16[i + 1] <= 0xDFFF) {
      u = 0x10000 + ((u - 0xD800) << 10) + (utf16[i + 1] - 0xDC00);
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      u = 0xFFFD;  // lone surrogate
    }
    AppendUtf8(out, u);
  }
  return out;
}

std::vector<BYTE> RegStringData(std::string_view utf8) {
  std::u16string units = Utf8ToUtf16(utf8);
  std::vector<BYTE> data;
  data.reserve((units.size() + 1) * 2);
  for (char16_t u : units) {
    data.push_back(static_cast<BYTE>(u & 0xFF));
    data.push_back(static_cast<BYTE>(u >> 8));
  }
  data.push_back(0);
  data.push_back(0);
  return data;
}

std::string RegStringFromData(const BYTE* data, DWORD size) {
  std::u16string units;
  for (DWORD i = 0; i + 1 < size; i += 2) {
    char16_t u = static_cast<char16_t>(data[i] | (data[i + 1] << 8));
    if (u == 0) break;
    units.push_back(u);
  }
  return Utf16ToUtf8(units);
}

}  // namespace win
