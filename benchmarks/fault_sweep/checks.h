// The invariants every run must keep, whatever call failed.
#pragma once

#include <cstddef>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "benchmarks/fault_sweep/machine.h"
#include "benchmarks/fault_sweep/picks.h"
#include "benchmarks/fault_sweep/process.h"

namespace sweep {

// One run of the program and what it left.
struct RunOutcome {
  ProcessResult process;
  std::string stdoutText;
  std::string stderrText;
  std::optional<nlohmann::json> report;  // the machine's seam report
  bool machineLoads = false;             // velund-machine show accepted the folder afterwards
  DiskSnapshot disks;
  std::string tempFolderKey;
};

// What a clean run of the scenario showed, to hold the faulty runs against.
struct Baseline {
  std::vector<SeamCall> calls;
  nlohmann::json openHandles;  // handles the program holds at its end by design (the console)
  DiskSnapshot disks;          // the template's unchosen disks
};

// The seam calls of a report.
std::vector<SeamCall> ReportCalls(const nlohmann::json& report);

// Every invariant the run broke, as one line each; empty when it kept them all. `failedIndex` is
// the call that was failed (none for the clean run).
std::vector<std::string> CheckRun(const RunOutcome& run, const Baseline& baseline,
                                  std::optional<std::size_t> failedIndex);

}  // namespace sweep
