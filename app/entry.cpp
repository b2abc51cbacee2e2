#include "app/entry.h"

#include "app/library_search.h"
#include "platform/seam.h"
#include "ui/language.h"
#include "ui/setup_window.h"
#include "ui/window_thread.h"

namespace {

// Centred on the virtual screen's size; its origin is not added. The divisions truncate toward
// zero, so a console larger than the screen gets a negative position.
void CentreConsole(HWND console) {
  RECT rect{};
  if (!win::GetWindowRect(console, &rect)) return;
  int x = (win::GetSystemMetrics(SM_CXVIRTUALSCREEN) - (rect.right - rect.left)) / 2;
  int y = (win::GetSystemMetrics(SM_CYVIRTUALSCREEN) - (rect.bottom - rect.top)) / 2;
  win::SetWindowPos(console, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

// Enables the console window again however the window steps end.
class ConsoleReenabler {
 public:
  explicit ConsoleReenabler(HWND console) : console_(console) {}
  ~ConsoleReenabler() {
    if (console_) win::EnableWindow(console_, TRUE);
  }
  ConsoleReenabler(const ConsoleReenabler&) = delete;
  ConsoleReenabler& operator=(const ConsoleReenabler&) = delete;

 private:
  HWND console_;
};

}  // namespace

int RunSetup() {
  RestrictLibrarySearch();
  HWND console = win::GetConsoleWindow();
  if (console) CentreConsole(console);
  win::SetConsoleOutputCP(CP_UTF8);

  WindowThread& windowThread = WindowThread::Main();
  int exitCode = 0;
  {
    std::unique_ptr<SetupWindow> window = CreateSetupWindow(windowThread);
    {
      ConsoleReenabler reenable(console);
      if (console) win::EnableWindow(console, FALSE);
      HWND handle = window->Handle();
      if (console && handle) {
        win::SetWindowLongW(handle, GWL_HWNDPARENT, reinterpret_cast<LONG_PTR>(console));
      }
      window->SetClientHeight(window->PageControlTop() + window->PageControlHeight() + 8);
      window->SetClientWidth(window->PageControlLeft() + window->PageControlWidth() + 8);
      window->ShowModal();
    }
    exitCode = window->ExitCode();
    // No thread may be left waiting for a window thread that has stopped listening.
    windowThread.Close();
    TLanguageThread::WaitForAll();
  }
  return exitCode;
}
