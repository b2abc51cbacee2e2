// Last error and system message texts on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD code) { ::SetLastError(code); }

DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     std::string& buffer) {
  buffer.clear();
  // The seam passes no insert arguments, so inserts must never be expanded; the system
  // allocates the text so that no message is ever cut short.
  flags |= FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS;
  std::wstring format;
  const void* wideSource = source;
  if ((flags & FORMAT_MESSAGE_FROM_STRING) != 0 && source != nullptr) {
    // Seam strings are UTF-8, a format string as much as any other.
    format = detail::Wide(static_cast<const char*>(source));
    wideSource = format.c_str();
  }
  LPWSTR text = nullptr;
  DWORD length = ::FormatMessageW(flags, wideSource, messageId, languageId,
                                  reinterpret_cast<LPWSTR>(&text), 0, nullptr);
  if (text == nullptr) return 0;
  if (length != 0) buffer = detail::Narrow(std::wstring_view(text, length));
  ::LocalFree(text);
  return length;
}

}  // namespace win
