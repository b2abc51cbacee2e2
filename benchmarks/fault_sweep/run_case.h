// One case of the sweep: the scenario's job on a fresh copy of its template machine, with the
// given faults, and what it left behind.
#pragma once

#include <chrono>
#include <filesystem>

#include <nlohmann/json.hpp>

#include "benchmarks/fault_sweep/checks.h"
#include "benchmarks/fault_sweep/machine.h"

namespace sweep {

struct CaseSetup {
  Tools tools;
  std::filesystem::path templateMachine;
  std::filesystem::path autopilot;
  std::chrono::seconds limit{300};
};

// Runs the case in `directory` (made afresh; left in place for a look afterwards).
RunOutcome RunCase(const CaseSetup& setup, const std::filesystem::path& directory,
                   const nlohmann::json& faults);

}  // namespace sweep
