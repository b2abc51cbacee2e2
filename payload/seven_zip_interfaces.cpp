// System strings and property values in the archive library's layout.
#include "payload/seven_zip_interfaces.h"

#include <cstdlib>
#include <cstring>

#include "platform/text.h"

#ifdef _WIN32
#include <oleauto.h>
#endif

namespace sevenzip {

BSTR AllocSystemString(std::string_view utf8) {
  const std::u16string units = win::Utf8ToUtf16(utf8);
#ifdef _WIN32
  return ::SysAllocStringLen(reinterpret_cast<const OLECHAR*>(units.data()),
                             static_cast<UINT>(units.size()));
#else
  // The library's SysFreeString wipes the characters and frees the block that starts four bytes
  // before them, so this must be writable malloc memory of exactly that shape.
  const std::size_t length = units.size();
  void* block = std::malloc(sizeof(UInt32) + (length + 1) * sizeof(OLECHAR));
  if (block == nullptr) return nullptr;
  const UInt32 bytes = static_cast<UInt32>(length * sizeof(OLECHAR));
  std::memcpy(block, &bytes, sizeof bytes);
  BSTR text = reinterpret_cast<BSTR>(static_cast<Byte*>(block) + sizeof(UInt32));
  for (std::size_t i = 0; i < length; ++i) text[i] = static_cast<OLECHAR>(units[i]);
  text[length] = 0;
  return text;
#endif
}

void FreeSystemString(BSTR text) {
  if (text == nullptr) return;
#ifdef _WIN32
  ::SysFreeString(text);
#else
  std::free(reinterpret_cast<Byte*>(text) - sizeof(UInt32));
#endif
}

UInt32 SystemStringByteLength(BSTR text) {
  if (text == nullptr) return 0;
#ifdef _WIN32
  return ::SysStringByteLen(text);
#else
  UInt32 bytes = 0;
  std::memcpy(&bytes, reinterpret_cast<Byte*>(text) - sizeof(UInt32), sizeof bytes);
  return bytes;
#endif
}

std::string WideToUtf8(const OLECHAR* text, std::size_t length) {
  std::string out;
  if (text == nullptr) return out;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) {
    const auto unit = static_cast<char32_t>(text[i]);
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
      const auto next = static_cast<char32_t>(text[i + 1]);
      if (next >= 0xDC00 && next <= 0xDFFF) {
        win::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
        ++i;
        continue;
      }
    }
    const bool valid = !(unit >= 0xD800 && unit <= 0xDFFF) && unit <= 0x10FFFF;
    win::AppendUtf8(out, valid ? unit : U'\uFFFD');
  }
  return out;
}

std::string WideToUtf8(const OLECHAR* text) {
  if (text == nullptr) return {};
  std::size_t length = 0;
  while (text[length] != 0) ++length;
  return WideToUtf8(text, length);
}

PropVariant::PropVariant(PropVariant&& other) noexcept : value_(other.value_) {
  other.value_.vt = VT_EMPTY;
}

void PropVariant::Clear() {
  if (value_.vt == VT_BSTR) FreeSystemString(value_.bstrVal);
  value_ = PROPVARIANT{};
  value_.vt = VT_EMPTY;
}

std::string PropVariant::Text() const {
  switch (value_.vt) {
    case VT_BSTR:
      return WideToUtf8(value_.bstrVal, SystemStringByteLength(value_.bstrVal) / sizeof(OLECHAR));
    case VT_BOOL: return value_.boolVal != 0 ? "True" : "False";
    case VT_UI1:
    case VT_UI2:
    case VT_UI4:
    case VT_UINT:
    case VT_UI8: return std::to_string(static_cast<UInt64>(Integer()));
    case VT_I1:
    case VT_I2:
    case VT_I4:
    case VT_INT:
    case VT_I8: return std::to_string(Integer());
    default: return {};
  }
}

Int64 PropVariant::Integer() const {
  switch (value_.vt) {
    case VT_BOOL: return value_.boolVal != 0 ? -1 : 0;
    case VT_I1: return value_.cVal;
    case VT_UI1: return value_.bVal;
    case VT_I2: return value_.iVal;
    case VT_UI2: return value_.uiVal;
    case VT_I4:
    case VT_INT: return value_.lVal;
    case VT_UI4:
    case VT_UINT: return value_.ulVal;
    case VT_I8: return value_.hVal;
    case VT_UI8: return static_cast<Int64>(value_.uhVal);
    default: return 0;
  }
}

bool PropVariant::Boolean() const {
  return value_.vt == VT_BOOL ? value_.boolVal != 0 : Integer() != 0;
}

}  // namespace sevenzip
