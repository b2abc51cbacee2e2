// Builds without the emulated machine have no autopilot: the window is left to its person.
#include "ui/autopilot.h"

std::unique_ptr<WindowDriver> AutopilotFromEnvironment() { return nullptr; }

std::unique_ptr<WindowDriver> AutopilotFromText(const std::string&, const std::string&) {
  return nullptr;
}
