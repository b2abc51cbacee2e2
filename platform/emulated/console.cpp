// The console window, top-level windows, standard output and code pages of the emulated process.
#include "platform/emulated/console.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/emulated/codepages.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"

namespace emu {

namespace {

// Text written to a console appears in the console output code page of that moment.
std::string AsConsoleText(std::string_view bytes) {
  UINT codePage = win::GetConsoleOutputCP();
  auto text = DecodeCodePage(codePage, bytes);
  return text ? *text : std::string(bytes);
}

// The process's own file descriptor 1. A terminal is the console; on Linux it shows UTF-8.
class ProcessStdOutput : public KernelObject {
 public:
  DWORD FileType() const override {
    if (isatty(STDOUT_FILENO)) return FILE_TYPE_CHAR;
    struct stat st{};
    if (fstat(STDOUT_FILENO, &st) != 0) return FILE_TYPE_UNKNOWN;
    if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return FILE_TYPE_PIPE;
    if (S_ISCHR(st.st_mode)) return FILE_TYPE_CHAR;
    return FILE_TYPE_DISK;
  }

  DWORD Write(const void* data, DWORD size, DWORD* written) override {
    std::string text;
    std::string_view bytes(static_cast<const char*>(data), size);
    if (isatty(STDOUT_FILENO)) {
      text = AsConsoleText(bytes);
      bytes = text;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        if (written) *written = 0;
        return errno == EPIPE ? ERROR_BROKEN_PIPE : (errno == ENOSPC ? ERROR_DISK_FULL
                                                                     : ERROR_WRITE_FAULT);
      }
      done += static_cast<std::size_t>(n);
    }
    if (written) *written = size;
    return ERROR_SUCCESS;
  }
};

// STD_OUTPUT_HANDLE always names this object; it forwards to the current target.
class StdOutputProxy : public KernelObject {
 public:
  DWORD FileType() const override { return Target()->FileType(); }
  DWORD Write(const void* data, DWORD size, DWORD* written) override {
    // One write at a time, so that each reaches its reader whole.
    std::lock_guard lock(writeMutex_);
    return Target()->Write(data, size, written);
  }
  void SetTarget(std::shared_ptr<KernelObject> target) {
    std::lock_guard lock(targetMutex_);
    target_ = target ? std::move(target) : std::make_shared<ProcessStdOutput>();
  }

 private:
  std::shared_ptr<KernelObject> Target() const {
    std::lock_guard lock(targetMutex_);
    return target_;
  }
  mutable std::mutex targetMutex_;
  std::mutex writeMutex_;
  std::shared_ptr<KernelObject> target_ = std::make_shared<ProcessStdOutput>();
};

struct StdHandles {
  std::shared_ptr<StdOutputProxy> output = std::make_shared<StdOutputProxy>();
  HANDLE outputHandle = InsertHandle(output);
};

StdHandles& Std() {
  static StdHandles handles;
  return handles;
}

WindowState* FindWindow(ProcessState& process, HWND window) {
  auto it = process.windows.find(window);
  return it == process.windows.end() ? nullptr : &it->second;
}

}  // namespace

DWORD CapturedOutput::Write(const void* data, DWORD size, DWORD* written) {
  std::string_view bytes(static_cast<const char*>(data), size);
  std::string text = fileType_ == FILE_TYPE_CHAR ? AsConsoleText(bytes) : std::string(bytes);
  std::lock_guard lock(mutex_);
  contents_ += text;
  if (written) *written = size;
  return ERROR_SUCCESS;
}

std::string CapturedOutput::Contents() const {
  std::lock_guard lock(mutex_);
  return contents_;
}

void CapturedOutput::Clear() {
  std::lock_guard lock(mutex_);
  contents_.clear();
}

void SetStandardOutput(std::shared_ptr<KernelObject> target) {
  Std().output->SetTarget(std::move(target));
}

}  // namespace emu

namespace win {

HWND GetConsoleWindow() {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  return process.consoleWindow;
}

HWND CreateWindowExW(DWORD exStyle, std::string_view, std::string_view, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU, HINSTANCE, void*) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  if (parent && !emu::FindWindow(process, parent)) {
    SetLastError(1400);
    return nullptr;
  }
  HWND window = reinterpret_cast<HWND>(process.nextWindow);
  process.nextWindow += 0x10;
  emu::WindowState state;
  state.rect = RECT{x, y, x + width, y + height};
  state.owner = parent;
  state.style = style;
  state.exStyle = exStyle;
  state.thread = std::this_thread::get_id();
  process.windows[window] = state;
  return window;
}

BOOL DestroyWindow(HWND window) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  if (window == process.consoleWindow || process.windows.erase(window) == 0) {
    SetLastError(window == process.consoleWindow ? ERROR_ACCESS_DENIED : 1400);
    return FALSE;
  }
  return TRUE;
}

BOOL GetWindowRect(HWND window, RECT* rect) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  if (!state) {
    SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
    return FALSE;
  }
  if (!rect) {
    SetLastError(ERROR_NOACCESS);
    return FALSE;
  }
  *rect = state->rect;
  return TRUE;
}

int GetSystemMetrics(int index) {
  const emu::ScreenSettings& screen = emu::Machine::Get().Screen();
  switch (index) {
    case SM_CXSCREEN:
    case SM_CXVIRTUALSCREEN:
      return screen.width;
    case SM_CYSCREEN:
    case SM_CYVIRTUALSCREEN:
      return screen.height;
    case SM_XVIRTUALSCREEN:
    case SM_YVIRTUALSCREEN:
      return 0;
    default:
      return 0;  // as Windows answers for an unknown index
  }
}

BOOL SetWindowPos(HWND window, HWND, int x, int y, int cx, int cy, UINT flags) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  if (!state) {
    SetLastError(1400);
    return FALSE;
  }
  RECT& r = state->rect;
  LONG width = r.right - r.left, height = r.bottom - r.top;
  if ((flags & SWP_NOSIZE) == 0) width = cx, height = cy;
  if ((flags & SWP_NOMOVE) == 0) r.left = x, r.top = y;
  r.right = r.left + width;
  r.bottom = r.top + height;
  return TRUE;
}

BOOL EnableWindow(HWND window, BOOL enable) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  if (!state) {
    SetLastError(1400);
    return FALSE;
  }
  BOOL wasDisabled = state->enabled ? FALSE : TRUE;
  state->enabled = enable != FALSE;
  return wasDisabled;
}

BOOL IsWindowEnabled(HWND window) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  return state && state->enabled ? TRUE : FALSE;
}

LONG_PTR SetWindowLongW(HWND window, int index, LONG_PTR value) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  if (!state) {
    SetLastError(1400);
    return 0;
  }
  SetLastError(ERROR_SUCCESS);  // a previous value of 0 is then told apart from failure
  LONG_PTR previous = 0;
  switch (index) {
    case GWL_HWNDPARENT:
      previous = reinterpret_cast<LONG_PTR>(state->owner);
      state->owner = reinterpret_cast<HWND>(value);
      break;
    case GWL_STYLE:
      previous = std::exchange(state->style, value);
      break;
    case GWL_EXSTYLE:
      previous = std::exchange(state->exStyle, value);
      break;
    case GWLP_WNDPROC:
      previous = reinterpret_cast<LONG_PTR>(state->procedure);
      state->procedure = reinterpret_cast<WNDPROC>(value);
      break;
    default:
      SetLastError(1413);  // ERROR_INVALID_INDEX
      return 0;
  }
  return previous;
}

LONG_PTR GetWindowLongW(HWND window, int index) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  emu::WindowState* state = emu::FindWindow(process, window);
  if (!state) {
    SetLastError(1400);
    return 0;
  }
  switch (index) {
    case GWL_HWNDPARENT: return reinterpret_cast<LONG_PTR>(state->owner);
    case GWL_STYLE: return state->style;
    case GWL_EXSTYLE: return state->exStyle;
    case GWLP_WNDPROC: return reinterpret_cast<LONG_PTR>(state->procedure);
    default:
      SetLastError(1413);
      return 0;
  }
}

BOOL SetConsoleOutputCP(UINT codePage) {
  if (!emu::IsKnownCodePage(codePage)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  process.consoleOutputCP = codePage;
  return TRUE;
}

UINT GetConsoleOutputCP() {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  return process.consoleOutputCP;
}

UINT GetACP() { return emu::Machine::Get().AnsiCodePage(); }

HANDLE GetStdHandle(DWORD which) {
  if (which == STD_OUTPUT_HANDLE) return emu::Std().outputHandle;
  SetLastError(ERROR_INVALID_HANDLE);
  return INVALID_HANDLE_VALUE;
}

DWORD GetFileType(HANDLE file) {
  auto object = emu::LookupHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FILE_TYPE_UNKNOWN;
  }
  SetLastError(ERROR_SUCCESS);
  return object->FileType();
}

BOOL WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written, OVERLAPPED*) {
  if (written) *written = 0;
  auto object = emu::LookupHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD error = object->Write(data, size, written);
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

int WideCharToMultiByte(UINT codePage, DWORD flags, std::string_view utf8, std::string& out,
                        const char* defaultChar, BOOL* usedDefault) {
  out.clear();
  if (usedDefault) *usedDefault = FALSE;
  if (codePage == CP_ACP) codePage = GetACP();
  if (codePage == CP_OEMCP) codePage = emu::Machine::Get().OemCodePage();
  // As on Windows: UTF-8 takes neither a default character nor flags beyond a few.
  if (codePage == CP_UTF8 && (defaultChar || usedDefault)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  (void)flags;
  bool defaulted = false;
  auto encoded = emu::EncodeCodePage(codePage, utf8, defaultChar ? *defaultChar : '?', &defaulted);
  if (!encoded) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (usedDefault) *usedDefault = defaulted ? TRUE : FALSE;
  out = std::move(*encoded);
  if (out.empty()) {
    SetLastError(ERROR_INVALID_PARAMETER);  // Windows refuses an empty source
    return 0;
  }
  return static_cast<int>(out.size());
}

}  // namespace win
