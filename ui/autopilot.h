// What drives the headless setup window in place of a person: the autopilot reads user actions
// from the file that VELUND_AUTOPILOT names (docs/autopilot.md) and does them one by one on the
// window thread, as a person's clicks and keys would be done.
#pragma once

#include <memory>
#include <string>

class TSetupForm1;
namespace ui {
class HeadlessToolkit;
}

class WindowDriver {
 public:
  virtual ~WindowDriver() = default;
  // Called once per turn of the window's loop after its creation is complete; true when it did
  // something.
  virtual bool Act(TSetupForm1& form, ui::HeadlessToolkit& toolkit) = 0;
  // The run must end now, closed or not (an action failed).
  virtual bool Stopped() const = 0;
  virtual int ExitCode() const = 0;
};

// The autopilot of VELUND_AUTOPILOT, or null when the variable is not set. A file that cannot be
// read or holds an unknown action gives a driver that stops at once with a non-zero exit code.
std::unique_ptr<WindowDriver> AutopilotFromEnvironment();

// The autopilot for the actions in `text` (tests); `name` names it in messages.
std::unique_ptr<WindowDriver> AutopilotFromText(const std::string& text, const std::string& name);
