// The user's locale settings on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

int GetLocaleInfoW(LCID locale, LCTYPE type, std::string& data) {
  data.clear();
  // First the size, terminator included, then the text itself.
  const int size = ::GetLocaleInfoW(locale, type, nullptr, 0);
  if (size <= 0) return 0;
  std::wstring buffer(static_cast<std::size_t>(size), L'\0');
  const int length = ::GetLocaleInfoW(locale, type, buffer.data(), size);
  if (length <= 0) return 0;
  data = detail::Narrow(std::wstring_view(buffer.c_str()));
  return length;
}

}  // namespace win
