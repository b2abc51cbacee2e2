#include "app/console_log.h"

#include <mutex>

#include "platform/seam.h"

namespace {

struct LogStream {
  bool opened = false;
  HANDLE output = INVALID_HANDLE_VALUE;
  UINT codePage = CP_UTF8;
  bool lineOpen = false;  // the last output was text without a line end
};

std::mutex logMutex;
LogStream stream;

void OpenIfNeeded() {
  if (stream.opened) return;
  stream.opened = true;
  stream.output = win::GetStdHandle(STD_OUTPUT_HANDLE);
  stream.codePage = win::GetFileType(stream.output) == FILE_TYPE_CHAR ? win::GetConsoleOutputCP()
                                                                      : win::GetACP();
}

// One conversion and one write per call, under the lock, so that a call reaches the log whole.
void Write(std::string_view text, bool lineEnd, bool onlyWhenOpen = false) {
  std::string utf8(text);
  if (lineEnd) utf8 += "\r\n";
  if (utf8.empty()) return;
  DWORD savedError = win::GetLastError();  // logging must not disturb a caller's last error
  {
    std::lock_guard lock(logMutex);
    if (onlyWhenOpen && !stream.lineOpen) return;
    stream.lineOpen = !lineEnd;
    OpenIfNeeded();
    std::string bytes;
    if (win::WideCharToMultiByte(stream.codePage, 0, utf8, bytes, nullptr, nullptr) > 0) {
      DWORD written = 0;
      win::WriteFile(stream.output, bytes.data(), static_cast<DWORD>(bytes.size()), &written,
                     nullptr);
    }
  }
  win::SetLastError(savedError);
}

}  // namespace

void WriteLine(std::string_view text) { Write(text, true); }
void WriteText(std::string_view text) { Write(text, false); }
void WriteEmptyLine() { Write({}, true); }
void EndOpenLine() { Write({}, true, true); }
void WriteStatusLine(DWORD code) { Write("Status: " + SystemErrorText(code), true); }

std::string SystemErrorText(DWORD code) {
  DWORD savedError = win::GetLastError();
  std::string text;
  if (win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                              FORMAT_MESSAGE_ARGUMENT_ARRAY,
                          nullptr, code, 0, text) == 0) {
    text.clear();
  }
  while (!text.empty()) {
    unsigned char last = static_cast<unsigned char>(text.back());
    if (last > ' ' && last != '.') break;
    text.pop_back();
  }
  win::SetLastError(savedError);
  return text;
}

std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args) {
  std::string out;
  auto next = args.begin();
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == '%' && i + 1 < format.size() && format[i + 1] == 's') {
      if (next != args.end()) out += *next++;
      ++i;
    } else {
      out += format[i];
    }
  }
  return out;
}

void ResetLogStream() {
  std::lock_guard lock(logMutex);
  stream = LogStream{};
}
