#include "platform/emulated/seam_report.h"

#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/emulated/objects.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"

namespace emu {
namespace {

std::mutex gMutex;
nlohmann::json gCalls = nlohmann::json::array();
// Threads numbered in the order of their first seam call: 0 is the thread the program starts on.
std::map<std::thread::id, int> gThreads;
nlohmann::json gFailed = nlohmann::json::array();
bool gNoting = false;

const char* ReportPath() {
  const char* path = std::getenv("VELUND_SEAM_REPORT");
  return path && *path ? path : nullptr;
}

nlohmann::json LockedVolumes() {
  nlohmann::json locked = nlohmann::json::array();
  auto storage = Storage::Lock();
  for (const auto& volume : storage.storage.Volumes()) {
    if (volume->lockedBy) locked.push_back(volume->Name());
  }
  return locked;
}

bool WorkKeyPresent() {
  win::RegKey key;
  return win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD", 0, KEY_READ, key) ==
         ERROR_SUCCESS;
}

}  // namespace

void StartNotingSeamCalls() {
  std::lock_guard lock(gMutex);
  gNoting = ReportPath() != nullptr;
}

void NoteSeamCall(std::string_view call, std::string_view path, bool failed) {
  std::lock_guard lock(gMutex);
  if (!gNoting) return;
  if (failed) gFailed.push_back(gCalls.size());
  const auto thread = gThreads.emplace(std::this_thread::get_id(), gThreads.size()).first;
  gCalls.push_back({std::string(call), std::string(path), thread->second});
}

bool WriteSeamReport() {
  const char* path = ReportPath();
  if (!path) return true;
  nlohmann::json report;
  {
    std::lock_guard lock(gMutex);
    report["calls"] = gCalls;
    report["failed"] = gFailed;
  }
  report["open_handles"] = OpenHandleKinds();
  report["locked_volumes"] = LockedVolumes();
  report["work_key"] = WorkKeyPresent();
  std::ofstream out(path);
  out << report.dump() << '\n';
  return static_cast<bool>(out);
}

}  // namespace emu
