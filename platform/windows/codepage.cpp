// ANSI code page and conversions from UTF-8 into a code page on the real API.
#include <climits>

#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

UINT Resolve(UINT codePage) {
  if (codePage == CP_ACP) return ::GetACP();
  if (codePage == CP_OEMCP) return ::GetOEMCP();
  return codePage;
}

}  // namespace

UINT GetACP() { return ::GetACP(); }

int WideCharToMultiByte(UINT codePage, DWORD flags, std::string_view utf8, std::string& out,
                        const char* defaultChar, BOOL* usedDefault) {
  out.clear();
  std::wstring wide = detail::Wide(utf8);
  if (wide.size() > static_cast<std::size_t>(INT_MAX)) {
    ::SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  const int wideLength = static_cast<int>(wide.size());
  BOOL* usedDefaultArg = usedDefault;
  // UTF-7 and UTF-8 represent every character, and Win32 rejects a default character for them
  // (and every flag but WC_ERR_INVALID_CHARS for UTF-8), so those requests are dropped rather
  // than failing. CP_ACP and CP_OEMCP count when the system has made UTF-8 its code page.
  const UINT resolved = Resolve(codePage);
  if (resolved == CP_UTF7 || resolved == CP_UTF8) {
    flags &= resolved == CP_UTF8 ? WC_ERR_INVALID_CHARS : 0;
    defaultChar = nullptr;
    usedDefaultArg = nullptr;
    if (usedDefault != nullptr) *usedDefault = FALSE;
  }
  // Ask for the size first: some code pages need more than a few bytes per character.
  int size = ::WideCharToMultiByte(codePage, flags, wide.data(), wideLength, nullptr, 0,
                                   defaultChar, nullptr);
  if (size <= 0) return 0;
  out.resize(static_cast<std::size_t>(size));
  int written = ::WideCharToMultiByte(codePage, flags, wide.data(), wideLength, out.data(), size,
                                      defaultChar, usedDefaultArg);
  out.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
  return written;
}

}  // namespace win
