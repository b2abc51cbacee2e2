// What the program entry needs of the setup window.
#pragma once

#include <memory>

#include "platform/win32_types.h"

class WindowThread;

class SetupWindow {
 public:
  virtual ~SetupWindow() = default;

  // The native window, created on first use.
  virtual HWND Handle() = 0;

  // The page control's bounds as the creation layout left them.
  virtual int PageControlLeft() const = 0;
  virtual int PageControlTop() const = 0;
  virtual int PageControlWidth() const = 0;
  virtual int PageControlHeight() const = 0;

  virtual void SetClientHeight(int height) = 0;
  virtual void SetClientWidth(int width) = 0;

  // Returns when the window has closed.
  virtual void ShowModal() = 0;

  // The process's exit code once the window has gone: 0, unless what drove the window in place
  // of a person failed (the autopilot).
  virtual int ExitCode() const { return 0; }
};

// Creates the setup window on the calling thread, which becomes the window thread. Its creation
// starts the first language load.
std::unique_ptr<SetupWindow> CreateSetupWindow(WindowThread& windowThread);
