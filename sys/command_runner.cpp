#include "sys/command_runner.h"

#include <string>

#include "platform/seam.h"

namespace {

constexpr DWORD kWaitSliceMs = 10;

// Keeps the calling thread's windows responsive while it waits.
void DispatchPendingMessages() {
  MSG message{};
  while (win::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    win::TranslateMessage(&message);
    win::DispatchMessageW(&message);
  }
}

}  // namespace

bool RunCommand(std::string_view commandLine, bool wait, WORD showWindow, DWORD& exitCode,
                bool noConsoleWindow) {
  exitCode = kNoExitCode;

  STARTUPINFOW startup{};
  startup.cb = sizeof(STARTUPINFOW);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = showWindow;
  PROCESS_INFORMATION process{};

  DWORD flags = CREATE_NEW_PROCESS_GROUP | NORMAL_PRIORITY_CLASS;
  if (noConsoleWindow) flags |= CREATE_NO_WINDOW;

  std::string writableCommandLine(commandLine);  // CreateProcessW may write into it
  if (!win::CreateProcessW({}, writableCommandLine, nullptr, nullptr, FALSE, flags, nullptr, {},
                           &startup, &process)) {
    exitCode = win::GetLastError();
    return false;
  }
  win::Handle processHandle(process.hProcess);
  win::Handle threadHandle(process.hThread);

  if (wait) {
    for (;;) {
      const DWORD result = win::WaitForSingleObject(processHandle.get(), kWaitSliceMs);
      if (result == WAIT_OBJECT_0) break;
      // A wait that fails once fails for good; retrying would spin for ever.
      if (result == WAIT_FAILED) break;
      DispatchPendingMessages();
    }
    win::GetExitCodeProcess(processHandle.get(), &exitCode);
  }
  return true;
}
