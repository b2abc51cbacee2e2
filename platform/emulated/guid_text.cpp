#include "platform/emulated/guid_text.h"

#include <uuid/uuid.h>

#include <cctype>
#include <cstdio>
#include <cstring>

namespace emu {

std::string GuidText(const GUID& guid) {
  char text[40];
  std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}",
                guid.Data1, guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1], guid.Data4[2],
                guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
  return text;
}

std::optional<GUID> ParseGuid(std::string_view text) {
  if (text.size() == 38 && text.front() == '{' && text.back() == '}') {
    text = text.substr(1, 36);
  }
  if (text.size() != 36) return std::nullopt;
  std::string digits;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash != (text[i] == '-')) return std::nullopt;
    if (!dash) {
      if (!std::isxdigit(static_cast<unsigned char>(text[i]))) return std::nullopt;
      digits.push_back(text[i]);
    }
  }
  auto number = [&](std::size_t at, std::size_t count) {
    return std::stoull(digits.substr(at, count), nullptr, 16);
  };
  GUID guid{};
  guid.Data1 = static_cast<DWORD>(number(0, 8));
  guid.Data2 = static_cast<WORD>(number(8, 4));
  guid.Data3 = static_cast<WORD>(number(12, 4));
  for (int i = 0; i < 8; ++i) guid.Data4[i] = static_cast<BYTE>(number(16 + 2 * i, 2));
  return guid;
}

bool SameGuidText(std::string_view a, std::string_view b) {
  auto left = ParseGuid(a), right = ParseGuid(b);
  return left && right && std::memcmp(&*left, &*right, sizeof(GUID)) == 0;
}

GUID NewGuid() {
  uuid_t bytes;
  uuid_generate_random(bytes);
  // uuid_t is in RFC 4122 (big-endian) order; GUID's first three fields are numbers.
  GUID guid{};
  guid.Data1 = (DWORD(bytes[0]) << 24) | (DWORD(bytes[1]) << 16) | (DWORD(bytes[2]) << 8) | bytes[3];
  guid.Data2 = static_cast<WORD>((bytes[4] << 8) | bytes[5]);
  guid.Data3 = static_cast<WORD>((bytes[6] << 8) | bytes[7]);
  std::memcpy(guid.Data4, bytes + 8, 8);
  return guid;
}

std::string NewGuidText() { return GuidText(NewGuid()); }

}  // namespace emu
