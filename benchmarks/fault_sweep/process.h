// Runs one program to its end, or kills it when it outlives its time limit.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

namespace sweep {

struct ProcessResult {
  bool timedOut = false;
  bool signalled = false;
  int status = 0;  // the exit code, or the signal when signalled
};

// Runs `argv` with the extra environment `env`, standard output and standard error into the two
// files; the whole process group is killed at the time limit.
ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::filesystem::path& out, const std::filesystem::path& err,
                         std::chrono::seconds limit);

}  // namespace sweep
