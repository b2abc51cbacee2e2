#include "benchmarks/fault_sweep/checks.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <sstream>

namespace sweep {
namespace {

// The console lines that end a job (English, the language the template machine is set to).
constexpr std::string_view kCreateDone = "Creation is done, can now Install.";
constexpr std::string_view kInstallDone = "Installation is done.";
constexpr std::string_view kError = "Error!";

// Lines a stage writes when a step fails in a way that ends the job.
bool IsFailureLine(std::string_view line) {
  static const std::vector<std::string_view> starts{
      "Status: ", "Partition table not found.", "Please reduce the size of the partitions.",
      "Please close all applications", "Grub2 i386-pc cannot be installed"};
  for (std::string_view start : starts) {
    if (line.substr(0, start.size()) == start) return true;
  }
  return line.ends_with("...fail") || line.ends_with("... fail") ||
         line.ends_with("...not found") || line.ends_with("... not found");
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// The autopilot could not pick the stick because a failed query left the disk list empty, as
// the list does by design: the user has nothing to choose, no job starts. Not a fault.
bool IsNothingToPick(std::string_view line) {
  return line.starts_with("autopilot:") && line.find("has no entry") != std::string::npos;
}

void CheckProcess(const RunOutcome& run, std::vector<std::string>& broken) {
  const std::vector<std::string> lines = Lines(run.stderrText);
  const bool nothingToPick = std::any_of(lines.begin(), lines.end(), IsNothingToPick);
  if (run.process.timedOut) {
    broken.push_back("hang: killed at the time limit");
  } else if (run.process.signalled) {
    broken.push_back("crash: signal " + std::to_string(run.process.status));
  } else if (run.process.status != 0 && !(run.process.status == 2 && nothingToPick)) {
    broken.push_back("exit code " + std::to_string(run.process.status));
  }
  for (const std::string& line : lines) {
    const bool autopilotError = line.starts_with("autopilot:") && !IsNothingToPick(line);
    if (line.find("Sanitizer") != std::string::npos ||
        line.find("runtime error:") != std::string::npos || autopilotError ||
        line.starts_with("velund-setup:")) {
      broken.push_back("standard error: " + line);
    }
  }
}

// The first line of a job: the create job's disk line, the install job's target line.
bool IsJobStart(std::string_view line) {
  return line.starts_with("Disk: ") || line.starts_with("Install to drive: ");
}

// Every job that starts ends with its done line or with the error line, and never done after a
// failure line of its own. Lines outside a job are no job's. When the failed call was the
// window's (the disk and drive lists it rebuilds while a job runs), the status lines it causes
// are not the job's either: `jobFailure` says whether the failed call was made by a job.
void CheckTranscript(const RunOutcome& run, bool clean, bool jobFailure,
                     std::vector<std::string>& broken) {
  bool inJob = false;
  std::string failure;
  int done = 0;
  for (const std::string& line : Lines(run.stdoutText)) {
    const bool isDone = line == kCreateDone || line == kInstallDone;
    if (isDone || line == kError) {
      if (isDone) ++done;
      if (isDone && !failure.empty()) {
        broken.push_back("\"" + line + "\" after the failure \"" + failure + "\"");
      }
      inJob = false;
      failure.clear();
    } else if (!inJob) {
      inJob = IsJobStart(line);
    } else if (jobFailure && failure.empty() && IsFailureLine(line)) {
      failure = line;
    }
  }
  if (inJob) broken.push_back("a job started and never ended");
  if (clean && done != 2) broken.push_back("the clean run did not end both jobs done");
}

// The job's teardown deletes the temporary folder once and ignores the result: when that very
// deletion was refused, the folder stays, as it would on Windows.
bool TempFolderMayStay(const std::vector<SeamCall>& calls, std::optional<std::size_t> failed) {
  return failed && *failed < calls.size() && calls[*failed].name == "SHFileOperationW" &&
         calls[*failed].path.ends_with("\\kyrextract");
}

void CheckDisks(const RunOutcome& run, const Baseline& baseline, bool tempFolderMayStay,
                std::vector<std::string>& broken) {
  if (run.disks.spareDisk != baseline.disks.spareDisk) broken.push_back("disk 2 was changed");
  if (run.disks.systemDiskStart != baseline.disks.systemDiskStart) {
    broken.push_back("the first MiB of disk 0 was changed");
  }
  const std::string temp = run.tempFolderKey + "/";
  std::map<std::string, std::string> before = baseline.disks.systemFiles;
  for (const auto& [path, digest] : run.disks.systemFiles) {
    if (path == run.tempFolderKey || path.rfind(temp, 0) == 0) continue;  // checked on its own
    const auto it = before.find(path);
    if (it == before.end()) broken.push_back("disk 0 gained " + path);
    else if (it->second != digest) broken.push_back("disk 0 changed " + path);
    if (it != before.end()) before.erase(it);
  }
  for (const auto& [path, digest] : before) broken.push_back("disk 0 lost " + path);
  if (run.disks.systemFiles.count(run.tempFolderKey) && !tempFolderMayStay) {
    broken.push_back("the temporary folder is left");
  }
}

bool IsPrivilegeCall(const SeamCall& call) {
  return call.name == "GetVersionExW" || call.name == "OpenProcessToken" ||
         call.name == "LookupPrivilegeValueW" || call.name == "AdjustTokenPrivileges";
}

// The calls during which a failure may leave the store builders' work key behind: from a build's
// first call (the privileges it enables, without which its registry writes may be refused) up to
// its first save; and the menu build's saves (with the file work they do), after which it returns
// false before deleting the key.
bool WorkKeyMayStay(const std::vector<SeamCall>& calls, std::size_t failed) {
  if (failed >= calls.size()) return false;
  if (calls[failed].path.find("\\Menu\\BCD_") != std::string::npos) return true;
  constexpr std::size_t kNoBuild = SIZE_MAX;  // no build under way
  std::size_t start = kNoBuild;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (calls[i].name == "RegSetValueExW" && start == kNoBuild) {
      start = i;
      while (start > 0 && IsPrivilegeCall(calls[start - 1])) --start;
    }
    if (calls[i].name == "RegSaveKeyW" && start != kNoBuild) {
      if (failed >= start && failed < i) return true;
      start = kNoBuild;
    }
  }
  // A build that failed before its first save (preparing the target folders) ends the list.
  return start != kNoBuild && failed >= start;
}

void CheckReport(const RunOutcome& run, const Baseline& baseline,
                 const std::vector<SeamCall>& calls, std::optional<std::size_t> failedIndex,
                 std::vector<std::string>& broken) {
  if (!run.report) {
    broken.push_back("no seam report");
    return;
  }
  const nlohmann::json& report = *run.report;
  std::map<std::string, int> handles;
  for (const auto& kind : report["open_handles"]) ++handles[kind.get<std::string>()];
  for (const auto& kind : baseline.openHandles) --handles[kind.get<std::string>()];
  for (const auto& [kind, extra] : handles) {
    if (extra > 0) broken.push_back(std::to_string(extra) + " handle(s) left open: " + kind);
  }
  for (const auto& volume : report["locked_volumes"]) {
    broken.push_back("volume left locked: " + volume.get<std::string>());
  }
  if (report["work_key"].get<bool>() &&
      !(failedIndex && WorkKeyMayStay(calls, *failedIndex))) {
    broken.push_back("the work key HKCU\\SOFTWARE\\VELUND\\BCD is left");
  }
}

}  // namespace

std::vector<SeamCall> ReportCalls(const nlohmann::json& report) {
  std::vector<SeamCall> calls;
  for (const auto& call : report["calls"]) calls.push_back({call[0], call[1], call[2]});
  return calls;
}

std::vector<std::string> CheckRun(const RunOutcome& run, const Baseline& baseline,
                                  std::optional<std::size_t> failedIndex) {
  std::vector<std::string> broken;
  CheckProcess(run, broken);
  // The threads' calls interleave differently from run to run: the run's own list says which
  // call it failed.
  const std::vector<SeamCall> calls = run.report ? ReportCalls(*run.report) : baseline.calls;
  const bool jobFailure =
      !failedIndex || *failedIndex >= calls.size() || calls[*failedIndex].thread != 0;
  CheckTranscript(run, !failedIndex, jobFailure, broken);
  CheckDisks(run, baseline, TempFolderMayStay(calls, failedIndex), broken);
  CheckReport(run, baseline, calls, failedIndex, broken);
  if (!run.machineLoads) broken.push_back("the machine folder no longer loads");
  return broken;
}

}  // namespace sweep
