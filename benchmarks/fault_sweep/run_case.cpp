#include "benchmarks/fault_sweep/run_case.h"

#include <fstream>
#include <sstream>

namespace sweep {
namespace fs = std::filesystem;
namespace {

std::string ReadText(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::optional<nlohmann::json> ReadReport(const fs::path& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  nlohmann::json report = nlohmann::json::parse(in, nullptr, false);
  if (report.is_discarded()) return std::nullopt;
  return report;
}

}  // namespace

RunOutcome RunCase(const CaseSetup& setup, const fs::path& directory,
                   const nlohmann::json& faults) {
  RunOutcome outcome;
  fs::remove_all(directory);
  fs::create_directories(directory);
  const fs::path machine = directory / "machine";
  if (!CopyMachine(setup.templateMachine, machine)) {
    outcome.stderrText = "velund-setup: the template machine could not be copied\n";
    return outcome;
  }
  SetFaults(machine, faults);
  const fs::path report = directory / "report.json";
  outcome.process = RunProcess({setup.tools.setup},
                               {{"VELUND_MACHINE", machine.string()},
                                {"VELUND_AUTOPILOT", setup.autopilot.string()},
                                {"VELUND_SEAM_REPORT", report.string()}},
                               directory / "stdout.txt", directory / "stderr.txt", setup.limit);
  outcome.stdoutText = ReadText(directory / "stdout.txt");
  outcome.stderrText = ReadText(directory / "stderr.txt");
  outcome.report = ReadReport(report);
  // The machine tool checks the whole folder before it shows it.
  const ProcessResult show =
      RunProcess({setup.tools.machine.string(), "show", machine.string()}, {},
                 directory / "show.out", directory / "show.err", std::chrono::seconds(60));
  outcome.machineLoads = !show.timedOut && !show.signalled && show.status == 0;
  outcome.disks = TakeSnapshot(machine);
  outcome.tempFolderKey = TempFolderKey(machine);
  return outcome;
}

}  // namespace sweep
