#include "platform/emulated/faults.h"

#include <mutex>
#include <vector>

#include "platform/emulated/machine.h"

namespace emu {
namespace {

std::mutex gMutex;
std::vector<Fault> gFaults;
std::vector<Interleave> gInterleaves;

bool SameText(std::string_view a, std::string_view b) {
  return !CaseInsensitiveLess{}(std::string(a), std::string(b)) &&
         !CaseInsensitiveLess{}(std::string(b), std::string(a));
}

}  // namespace

void InjectFault(Fault fault) {
  std::lock_guard lock(gMutex);
  gFaults.push_back(std::move(fault));
}

void ClearFaults() {
  std::lock_guard lock(gMutex);
  gFaults.clear();
  gInterleaves.clear();
}

std::optional<DWORD> TakeFault(std::string_view call, std::string_view path,
                               std::optional<DWORD> controlCode) {
  std::lock_guard lock(gMutex);
  for (auto it = gFaults.begin(); it != gFaults.end(); ++it) {
    if (it->call != call) continue;
    if (!it->path.empty() && !SameText(it->path, path)) continue;
    if (it->controlCode && it->controlCode != controlCode) continue;
    if (it->after > 0) {
      --it->after;
      continue;
    }
    const DWORD error = it->error;
    if (it->once) gFaults.erase(it);
    return error;
  }
  return std::nullopt;
}

void InjectInterleave(Interleave interleave) {
  std::lock_guard lock(gMutex);
  gInterleaves.push_back(std::move(interleave));
}

void RunInterleaves(std::string_view call, std::string_view path) {
  std::function<void()> action;
  {
    std::lock_guard lock(gMutex);
    for (auto it = gInterleaves.begin(); it != gInterleaves.end(); ++it) {
      if (it->call != call) continue;
      if (!it->path.empty() && !SameText(it->path, path)) continue;
      if (it->after > 0) {
        --it->after;
        continue;
      }
      action = std::move(it->action);
      gInterleaves.erase(it);
      break;
    }
  }
  // Outside the lock: the action makes seam calls of its own.
  if (action) action();
}

}  // namespace emu
