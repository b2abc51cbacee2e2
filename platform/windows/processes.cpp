// Processes, the calling thread's messages and UUIDs on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

BOOL CreateProcessW(std::string_view applicationName, std::string& commandLine,
                    const SECURITY_ATTRIBUTES* processAttributes,
                    const SECURITY_ATTRIBUTES* threadAttributes, BOOL inheritHandles,
                    DWORD creationFlags, void* environment, std::string_view currentDirectory,
                    const STARTUPINFOW* startupInfo, PROCESS_INFORMATION* processInformation) {
  // Empty texts mean "none" at the seam; the API wants null for those.
  const std::wstring application = detail::Wide(applicationName);
  const std::wstring directory = detail::Wide(currentDirectory);
  std::wstring writable = detail::Wide(commandLine);  // the API may write into the command line
  const BOOL started = ::CreateProcessW(
      applicationName.empty() ? nullptr : application.c_str(), writable.data(),
      const_cast<SECURITY_ATTRIBUTES*>(processAttributes),
      const_cast<SECURITY_ATTRIBUTES*>(threadAttributes), inheritHandles, creationFlags,
      environment, currentDirectory.empty() ? nullptr : directory.c_str(),
      const_cast<STARTUPINFOW*>(startupInfo), processInformation);
  const DWORD error = ::GetLastError();
  commandLine = detail::Narrow(std::wstring_view(writable.c_str()));
  ::SetLastError(error);
  return started;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return ::WaitForSingleObject(handle, milliseconds);
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  return ::GetExitCodeProcess(process, exitCode);
}

BOOL PeekMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
  return ::PeekMessageW(message, window, filterMin, filterMax, removeMessage);
}

BOOL TranslateMessage(const MSG* message) { return ::TranslateMessage(message); }

LRESULT DispatchMessageW(const MSG* message) { return ::DispatchMessageW(message); }

LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeout, DWORD_PTR* result) {
  return ::SendMessageTimeoutW(window, message, wParam, lParam, flags, timeout, result);
}

RPC_STATUS UuidCreate(UUID* uuid) { return ::UuidCreate(uuid); }

}  // namespace win
