#include "platform/emulated/faults.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>

#include "platform/emulated/machine.h"
#include "platform/emulated/seam_report.h"

namespace emu {
namespace {

std::mutex gMutex;
std::vector<Fault> gInjected;
std::vector<Fault> gMachine;
std::vector<Interleave> gInterleaves;

bool SameText(std::string_view a, std::string_view b) {
  return !CaseInsensitiveLess{}(std::string(a), std::string(b)) &&
         !CaseInsensitiveLess{}(std::string(b), std::string(a));
}

bool Contains(const std::vector<std::string_view>& names, std::string_view name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool Matches(const Fault& fault, std::string_view call, std::string_view path,
             std::optional<DWORD> controlCode) {
  // "*" stands for the seam calls; a program's exit code is set only by a fault naming it.
  const bool anyCall = fault.call == "*" && !IsFaultProgram(call);
  if (!anyCall && fault.call != call) return false;
  if (!fault.path.empty() && !SameText(fault.path, path)) return false;
  return !fault.controlCode || fault.controlCode == controlCode;
}

// The first fault of `faults` that fires for this call, used up when it fires once.
std::optional<DWORD> Take(std::vector<Fault>& faults, std::string_view call,
                          std::string_view path, std::optional<DWORD> controlCode) {
  for (auto it = faults.begin(); it != faults.end(); ++it) {
    if (!Matches(*it, call, path, controlCode)) continue;
    if (it->after > 0) {
      --it->after;
      continue;
    }
    const DWORD error = it->error;
    if (it->once) faults.erase(it);
    return error;
  }
  return std::nullopt;
}

}  // namespace

const std::vector<std::string_view>& FaultSeamCalls() {
  // Every name a seam function passes to TakeFault, and only those.
  static const std::vector<std::string_view> calls{
      "AdjustTokenPrivileges", "AllocateAndInitializeSid", "CopyFileW",
      "CreateDirectoryW",      "CreateFileW",              "CreateProcessW",
      "DeleteFileW",           "DeleteVolumeMountPointW",  "DeviceIoControl",
      "FindFirstVolumeW",      "GetVersionExW",            "GetVolumeInformationW",
      "LookupAccountSidW",     "LookupPrivilegeValueW",    "OpenProcessToken",
      "ReadFile",              "RegCreateKeyExW",          "RegSaveKeyW",
      "RegSetValueExW",        "SetCurrentDirectoryW",
      "SetEntriesInAclW",      "SetFilePointerEx",         "SetNamedSecurityInfoW",
      "SetVolumeMountPointW",  "SHFileOperationW",         "WriteFile",
  };
  return calls;
}

const std::vector<std::string_view>& FaultPrograms() {
  static const std::vector<std::string_view> programs{"cmd.exe", "format.com",
                                                      "grub-install.exe"};
  return programs;
}

bool IsFaultProgram(std::string_view call) { return Contains(FaultPrograms(), call); }

bool IsFaultCall(std::string_view call) {
  return call == "*" || Contains(FaultSeamCalls(), call) || IsFaultProgram(call);
}

void InjectFault(Fault fault) {
  if (!IsFaultCall(fault.call)) {
    throw std::invalid_argument("no seam call named " + fault.call + " asks for faults");
  }
  std::lock_guard lock(gMutex);
  gInjected.push_back(std::move(fault));
}

void ClearFaults() {
  std::lock_guard lock(gMutex);
  gInjected.clear();
  gMachine.clear();
  gInterleaves.clear();
}

void UseMachineFaults(const nlohmann::json& faults) {
  std::vector<Fault> loaded;
  for (const nlohmann::json& entry : faults) loaded.push_back(FaultFromJson(entry));
  std::lock_guard lock(gMutex);
  gMachine = std::move(loaded);
  StartNotingSeamCalls();
}

nlohmann::json FaultToJson(const Fault& fault) {
  nlohmann::json entry = {{"call", fault.call}};
  if (!fault.path.empty()) entry["path"] = fault.path;
  if (fault.controlCode) entry["control_code"] = *fault.controlCode;
  entry["error"] = fault.error;
  if (fault.once) entry["once"] = true;
  if (fault.after > 0) entry["after"] = fault.after;
  return entry;
}

Fault FaultFromJson(const nlohmann::json& entry) {
  Fault fault;
  fault.call = entry.at("call").get<std::string>();
  fault.path = entry.value("path", std::string());
  if (entry.contains("control_code")) fault.controlCode = entry["control_code"].get<DWORD>();
  fault.error = entry.at("error").get<DWORD>();
  fault.once = entry.value("once", false);
  fault.after = entry.value("after", 0u);
  return fault;
}

std::optional<DWORD> TakeFault(std::string_view call, std::string_view path,
                               std::optional<DWORD> controlCode) {
  // A seam function asking under a name the list lacks could never be failed from outside.
  if (!IsFaultCall(call) || call == "*") {
    throw std::logic_error("the fault list lacks the seam call " + std::string(call));
  }
  std::lock_guard lock(gMutex);
  // Under the lock, so that the calls are noted in the order a "*" fault counts them.
  if (auto error = Take(gInjected, call, path, controlCode)) return error;
  std::optional<DWORD> error = Take(gMachine, call, path, controlCode);
  if (!IsFaultProgram(call)) NoteSeamCall(call, path, error.has_value());
  return error;
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
