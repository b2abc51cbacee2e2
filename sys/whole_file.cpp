#include "sys/whole_file.h"

#include "platform/seam.h"

bool ReadWholeFile(std::string_view path, std::string& bytes) {
  win::Handle file(win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  bytes.clear();
  char buffer[65536];
  for (;;) {
    DWORD read = 0;
    if (!win::ReadFile(file.get(), buffer, sizeof(buffer), &read, nullptr)) return false;
    if (read == 0) return true;
    bytes.append(buffer, read);
  }
}

bool WriteWholeFile(std::string_view path, std::string_view bytes) {
  win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return false;
  std::size_t at = 0;
  while (at < bytes.size()) {
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
    DWORD written = 0;
    if (!win::WriteFile(file.get(), bytes.data() + at, chunk, &written, nullptr)) return false;
    if (written == 0) {
      win::SetLastError(ERROR_WRITE_FAULT);
      return false;
    }
    at += written;
  }
  return true;
}
