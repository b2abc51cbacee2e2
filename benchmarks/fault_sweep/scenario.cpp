#include "benchmarks/fault_sweep/scenario.h"

namespace sweep {
namespace {

// The create job on the stick (the first entry of the disk list, disk 1) with `style` and
// `options`, then the install onto the pair it made, then the window closes.
std::string Autopilot(const std::string& style, const std::string& installOptions) {
  return "tab Create\n"
         "pick DiskLists 0\n"
         "click " + style + "\n"
         "click ButtonCreate\n"
         "wait-idle 120\n"
         "tab Install\n" +
         installOptions +
         "click SetupButton\n"
         "wait-idle 120\n"
         "close\n";
}

}  // namespace

const std::vector<Scenario>& Scenarios() {
  static const std::vector<Scenario> scenarios{
      {"mbr-letter", Autopilot("MBRItem", ""), false},
      {"gpt-letter", Autopilot("GPTItem", ""), false},
      {"mbr-partition", Autopilot("MBRItem", ""), true},
      {"gpt-keep-loader", Autopilot("GPTItem", "check BootloaderOption on\n"), false},
  };
  return scenarios;
}

}  // namespace sweep
