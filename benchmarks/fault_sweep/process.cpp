#include "benchmarks/fault_sweep/process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

namespace sweep {
namespace {

[[noreturn]] void StartChild(const std::vector<std::string>& argv,
                             const std::map<std::string, std::string>& env,
                             const std::filesystem::path& out, const std::filesystem::path& err) {
  setpgid(0, 0);  // its own group, so that a hang is killed with everything it started
  for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  const int outFd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int errFd = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (outFd < 0 || errFd < 0) _exit(127);
  dup2(outFd, 1);
  dup2(errFd, 2);
  std::vector<char*> args;
  for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  execv(args[0], args.data());
  _exit(127);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::filesystem::path& out, const std::filesystem::path& err,
                         std::chrono::seconds limit) {
  ProcessResult result;
  const pid_t pid = fork();
  if (pid < 0) {
    result.status = 127;
    return result;
  }
  if (pid == 0) StartChild(argv, env, out, err);
  setpgid(pid, pid);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      result.timedOut = true;
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  result.signalled = WIFSIGNALED(status);
  result.status = result.signalled ? WTERMSIG(status) : WEXITSTATUS(status);
  return result;
}

}  // namespace sweep
