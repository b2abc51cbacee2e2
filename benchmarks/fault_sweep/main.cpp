// velund-fault-sweep: runs each scenario's create + install once cleanly, counting the seam calls,
// then once per chosen call index with that call failing, and checks the invariants after every
// run (docs/fault-sweep.md). Exits with 1 when any run broke one.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "benchmarks/fault_sweep/checks.h"
#include "benchmarks/fault_sweep/machine.h"
#include "benchmarks/fault_sweep/picks.h"
#include "benchmarks/fault_sweep/run_case.h"
#include "benchmarks/fault_sweep/scenario.h"

namespace fs = std::filesystem;
using namespace sweep;

namespace {

struct Options {
  fs::path work = "fault-sweep";
  std::size_t sample = 1;
  unsigned jobs = 1;
  std::vector<std::string> scenarios;
  std::chrono::seconds limit{300};
  bool keepCases = false;
  bool verbose = false;
  std::vector<std::size_t> indices;  // given: sweep only these calls (to look at a case again)
};

int Usage() {
  std::fprintf(stderr,
               "usage: velund-fault-sweep [--work DIR] [--sample N] [--jobs N] [--limit SECONDS]\n"
               "                          [--scenario NAME]... [--index N]... [--keep-cases]\n"
               "                          [--verbose]\n");
  return 2;
}

bool ParseOptions(int argc, char** argv, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--keep-cases" || option == "--verbose") {
      (option == "--verbose" ? options.verbose : options.keepCases) = true;
      continue;
    }
    if (i + 1 >= argc) return false;
    const std::string value = argv[++i];
    if (option == "--work") options.work = value;
    else if (option == "--scenario") options.scenarios.push_back(value);
    else if (option == "--index") options.indices.push_back(std::strtoul(value.c_str(), nullptr, 10));
    else if (option == "--sample") options.sample = std::max(1ul, std::strtoul(value.c_str(), nullptr, 10));
    else if (option == "--jobs") options.jobs = std::max(1ul, std::strtoul(value.c_str(), nullptr, 10));
    else if (option == "--limit") options.limit = std::chrono::seconds(std::strtoul(value.c_str(), nullptr, 10));
    else return false;
  }
  return true;
}

// How the failures of one call name ended.
struct CallTally {
  int swept = 0, endedError = 0, endedDone = 0, noJob = 0, violations = 0;
};

struct ScenarioResult {
  std::size_t calls = 0, swept = 0, violations = 0;
  std::map<std::string, CallTally> byCall;
};

std::mutex gPrintMutex;

void PrintViolations(const std::string& what, const std::vector<std::string>& broken,
                     const fs::path& directory) {
  std::lock_guard lock(gPrintMutex);
  std::printf("VIOLATION %s (%s)\n", what.c_str(), directory.c_str());
  for (const std::string& line : broken) std::printf("    %s\n", line.c_str());
  std::fflush(stdout);
}

// Whether a line of the transcript (lines end in CR LF) is exactly `line`.
bool HasLine(const std::string& transcript, const std::string& line) {
  for (const char* end : {"\r\n", "\n"}) {
    if (transcript.rfind(line + end, 0) == 0 ||
        transcript.find("\n" + line + end) != std::string::npos) {
      return true;
    }
  }
  return false;
}

// How the run's jobs ended: "Error!" when one did so, "done" when they ended done, "no job" when
// none started (a failed query left nothing to pick).
std::string Ending(const RunOutcome& run) {
  if (HasLine(run.stdoutText, "Error!")) return "Error!";
  if (HasLine(run.stdoutText, "Creation is done, can now Install.")) return "done";
  return "no job";
}

void PrintCase(const std::string& what, const RunOutcome& run, bool kept) {
  std::lock_guard lock(gPrintMutex);
  std::printf("case %s: %s, %s\n", what.c_str(),
              Ending(run).c_str(), kept ? "ok" : "broken");
  std::fflush(stdout);
}

// The index of the call the fault failed, as the run's report says (threads interleave
// differently from run to run, so it is not always the same call as in the clean run).
std::size_t FiredIndex(const RunOutcome& run, std::size_t index) {
  if (!run.report || run.report->value("failed", nlohmann::json::array()).empty()) return index;
  return (*run.report)["failed"][0].get<std::size_t>();
}

// The call the run failed, from its own list.
SeamCall FailedCall(const RunOutcome& run, const Baseline& baseline, std::size_t index) {
  if (run.report) {
    const std::vector<SeamCall> calls = ReportCalls(*run.report);
    if (index < calls.size()) return calls[index];
  }
  return index < baseline.calls.size() ? baseline.calls[index] : SeamCall{"(none)", "", 0};
}

// Runs the failing cases on `jobs` threads.
void SweepIndices(const CaseSetup& setup, const Baseline& baseline,
                  const std::vector<std::size_t>& indices, const fs::path& directory,
                  const Options& options, ScenarioResult& result) {
  std::atomic<std::size_t> next{0};
  std::mutex mutex;
  auto worker = [&] {
    for (std::size_t k; (k = next++) < indices.size();) {
      const std::size_t index = indices[k];
      const unsigned long error = ErrorFor(baseline.calls[index].name);
      const nlohmann::json faults = nlohmann::json::array(
          {{{"call", "*"}, {"error", error}, {"once", true}, {"after", index}}});
      const fs::path caseDirectory = directory / ("call-" + std::to_string(index));
      const RunOutcome run = RunCase(setup, caseDirectory, faults);
      const std::size_t fired = FiredIndex(run, index);
      const std::vector<std::string> broken = CheckRun(run, baseline, fired);
      const SeamCall failed = FailedCall(run, baseline, fired);
      const std::string what = "#" + std::to_string(index) + " " + failed.name + " " + failed.path +
                               " error " + std::to_string(error);
      if (!broken.empty()) PrintViolations(what, broken, caseDirectory);
      else if (!options.keepCases) fs::remove_all(caseDirectory);
      if (options.verbose) PrintCase(what, run, broken.empty());
      std::lock_guard lock(mutex);
      CallTally& tally = result.byCall[failed.name];
      ++tally.swept;
      const std::string ending = Ending(run);
      ++(ending == "Error!" ? tally.endedError : ending == "done" ? tally.endedDone : tally.noJob);
      if (!broken.empty()) {
        ++tally.violations;
        ++result.violations;
      }
    }
  };
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < options.jobs; ++i) threads.emplace_back(worker);
  for (std::thread& thread : threads) thread.join();
}

ScenarioResult SweepScenario(const Tools& tools, const Scenario& scenario, const Options& options) {
  ScenarioResult result;
  const fs::path directory = fs::absolute(options.work / scenario.name);
  fs::create_directories(directory);
  CaseSetup setup{tools, directory / "template", directory / "job.autopilot", options.limit};
  if (const std::string error = PrepareTemplate(tools, scenario, setup.templateMachine);
      !error.empty()) {
    PrintViolations(scenario.name + ": template", {error}, directory);
    result.violations = 1;
    return result;
  }
  std::ofstream(setup.autopilot) << scenario.autopilot;

  Baseline baseline;
  baseline.disks = TakeSnapshot(setup.templateMachine);
  const RunOutcome clean = RunCase(setup, directory / "clean", nlohmann::json::array());
  if (clean.report) {
    baseline.calls = ReportCalls(*clean.report);
    baseline.openHandles = (*clean.report)["open_handles"];
  }
  if (const auto broken = CheckRun(clean, baseline, std::nullopt); !broken.empty()) {
    PrintViolations(scenario.name + ": clean run", broken, directory / "clean");
    result.violations = 1;
    return result;
  }
  result.calls = baseline.calls.size();
  std::vector<std::size_t> indices = ChooseIndices(baseline.calls, options.sample);
  if (!options.indices.empty()) {
    indices.clear();
    for (std::size_t index : options.indices) {
      if (index < baseline.calls.size()) indices.push_back(index);
    }
  }
  result.swept = indices.size();
  SweepIndices(setup, baseline, indices, directory / "cases", options, result);
  return result;
}

void PrintSummary(const std::map<std::string, ScenarioResult>& results, double seconds) {
  std::printf("\n=== fault sweep summary (%.0f s) ===\n", seconds);
  std::size_t violations = 0;
  for (const auto& [name, result] : results) {
    std::printf("%s: %zu calls counted, %zu swept, %zu violations\n", name.c_str(), result.calls,
                result.swept, result.violations);
    for (const auto& [call, tally] : result.byCall) {
      std::printf("    %-24s swept %4d  Error! %4d  done %4d  no job %3d  violations %d\n",
                  call.c_str(), tally.swept, tally.endedError, tally.endedDone, tally.noJob,
                  tally.violations);
    }
    violations += result.violations;
  }
  std::printf("total violations: %zu\n", violations);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseOptions(argc, argv, options)) return Usage();
  const Tools tools{VELUND_SETUP_PROGRAM, VELUND_MACHINE_PROGRAM};
  const auto start = std::chrono::steady_clock::now();
  std::map<std::string, ScenarioResult> results;
  for (const Scenario& scenario : Scenarios()) {
    if (!options.scenarios.empty() &&
        std::find(options.scenarios.begin(), options.scenarios.end(), scenario.name) ==
            options.scenarios.end()) {
      continue;
    }
    results[scenario.name] = SweepScenario(tools, scenario, options);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    PrintSummary({{scenario.name, results[scenario.name]}}, elapsed.count());
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  PrintSummary(results, elapsed.count());
  for (const auto& [name, result] : results) {
    if (result.violations > 0) return 1;
  }
  return results.empty() ? Usage() : 0;
}
