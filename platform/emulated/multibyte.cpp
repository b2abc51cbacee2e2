// Text from a code page into UTF-8 on the emulated machine.
#include "platform/emulated/codepages.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace win {

int MultiByteToWideChar(UINT codePage, DWORD, std::string_view bytes, std::string& out) {
  out.clear();
  if (codePage == CP_ACP) codePage = GetACP();
  if (codePage == CP_OEMCP) codePage = emu::Machine::Get().OemCodePage();
  if (bytes.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);  // Windows refuses an empty source
    return 0;
  }
  auto decoded = emu::DecodeCodePage(codePage, bytes);
  if (!decoded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  out = std::move(*decoded);
  return static_cast<int>(Utf8ToUtf16(out).size());
}

}  // namespace win
