#include "sys/held_file.h"

#include <cstring>
#include <vector>

#include "platform/seam.h"

namespace {

// Reads the rest of `file` and compares it with `expected`, chunk by chunk.
bool SameContents(HANDLE file, std::string_view expected) {
  std::vector<char> chunk(64 * 1024);
  std::size_t at = 0;
  for (;;) {
    DWORD read = 0;
    if (!win::ReadFile(file, chunk.data(), static_cast<DWORD>(chunk.size()), &read, nullptr)) {
      return false;
    }
    if (read == 0) return at == expected.size();
    if (read > expected.size() - at || std::memcmp(chunk.data(), expected.data() + at, read) != 0) {
      return false;
    }
    at += read;
  }
}

}  // namespace

win::Handle HoldUnchanged(std::string_view path, std::string_view expected) {
  win::Handle held(win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!held) return held;
  if (!SameContents(held.get(), expected)) {
    held.reset();
    win::SetLastError(ERROR_FILE_INVALID);
  }
  return held;
}
