// Small helpers the tests share: running a shell command, splitting the log into lines, and a
// recorder for what a job hands to the window.
#pragma once

#include <string>
#include <vector>

#include "ui/job_host.h"

// Runs `command` through the shell with no input; its output (stdout and stderr) in `out`.
// Returns the exit code, or -1 when it did not exit normally.
int RunShell(const std::string& command, std::string* out = nullptr);
// The output alone, for commands whose exit code does not matter.
std::string ShellOutput(const std::string& command);

// The log's text as lines, split at CR LF.
std::vector<std::string> LogLines(const std::string& text);

// What a worker hands to the window, recorded.
class RecordingHost : public JobHost {
 public:
  void SetProgressPosition(int position) override { positions.push_back(position); }
  void RebuildDriveListsAfterJob() override {
    rebuilt = true;
    activeAtRebuild = ActiveCreateThread.load() != nullptr || ActiveInstallThread.load() != nullptr;
  }
  std::vector<int> positions;
  bool rebuilt = false;
  bool activeAtRebuild = true;
};
