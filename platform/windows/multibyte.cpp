// Text from a code page into UTF-8 on the real API.
#include <climits>

#include "platform/seam.h"
#include "platform/text.h"

namespace win {

int MultiByteToWideChar(UINT codePage, DWORD flags, std::string_view bytes, std::string& out) {
  out.clear();
  if (bytes.size() > static_cast<std::size_t>(INT_MAX)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int length = static_cast<int>(bytes.size());
  const int size = ::MultiByteToWideChar(codePage, flags, bytes.data(), length, nullptr, 0);
  if (size <= 0) return 0;
  std::u16string wide(static_cast<std::size_t>(size), u'\0');
  const int written = ::MultiByteToWideChar(codePage, flags, bytes.data(), length,
                                            reinterpret_cast<wchar_t*>(wide.data()), size);
  if (written <= 0) return 0;
  wide.resize(static_cast<std::size_t>(written));
  out = Utf16ToUtf8(wide);
  return written;
}

}  // namespace win
