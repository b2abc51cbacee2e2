// The program on the emulated machine. The machine's files are checked before the program starts
// on them: a damaged machine is a PC that does not boot, so the program never runs on it and the
// files stay as they are. The machine's faults are met by this run of the program, from the
// first call after the machine has started.
#include <cstdio>
#include <filesystem>
#include <string>

#include "app/entry.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_check.h"
#include "platform/emulated/seam_report.h"

int main() {
  const std::filesystem::path machine = emu::DefaultMachineDirectory();
  std::string error;
  std::error_code ec;
  // A missing folder becomes the default machine when the program first needs it.
  if (std::filesystem::exists(machine, ec) && !emu::CheckMachine(machine, error)) {
    std::fprintf(stderr, "velund-setup: %s\n", error.c_str());
    return 1;
  }
  const nlohmann::json& config = emu::Machine::Get().Config();
  emu::UseMachineFaults(config.value("faults", nlohmann::json::array()));
  const int status = RunSetup();
  if (!emu::WriteSeamReport()) {
    std::fprintf(stderr, "velund-setup: the seam report could not be written\n");
    return 1;
  }
  return status;
}
