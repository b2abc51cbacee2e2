// Fault injection: a named seam call fails with a chosen error code, the way a real machine
// sometimes does (a device that refuses a request, a disk that is pulled, a full disk).
//
// A fault names the call ("CreateFileW", "DeviceIoControl", "ReadFile", ...), a program whose
// exit code it sets ("format.com"), or "*" for every seam call, and optionally what it applies
// to: a path (compared without regard to letter case) or a control code. It fires once or every
// time, after a number of matching calls have passed.
//
// Faults come from two places: tests inject them (InjectFault), and a machine's `faults` list is
// put in place when a program starts on it (UseMachineFaults). Both last for the process.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/win32_types.h"

namespace emu {

struct Fault {
  std::string call;                 // the seam function's name, a program's file name, or "*"
  std::string path;                 // empty: any path
  std::optional<DWORD> controlCode;  // DeviceIoControl only; empty: any code
  DWORD error = ERROR_GEN_FAILURE;  // what GetLastError (or the returned status) reports
  bool once = true;
  unsigned after = 0;  // matching calls that pass before the fault fires
};

// The seam functions that ask for faults, and the programs whose exit code a fault can set.
const std::vector<std::string_view>& FaultSeamCalls();
const std::vector<std::string_view>& FaultPrograms();

// A name a fault may give: a seam call, a program, or "*" (any seam call).
bool IsFaultCall(std::string_view call);
bool IsFaultProgram(std::string_view call);

// Throws std::invalid_argument for a call no seam function asks for.
void InjectFault(Fault fault);
// Clears the faults and the interleaved actions.
void ClearFaults();

// What another process of the machine does at the moment a seam call begins: `action` runs once,
// on the calling thread, before the call named `call` on `path` (empty: any) does its work, once
// `after` matching calls have passed. Tests use it to act between two steps of the program.
struct Interleave {
  std::string call;
  std::string path;
  unsigned after = 0;
  std::function<void()> action;
};
void InjectInterleave(Interleave interleave);
// Called by the seam functions that tests interleave with (CreateFileW, LoadLibraryExW,
// CreateProcessW, SHFileOperationW).
void RunInterleaves(std::string_view call, std::string_view path);

// Puts the faults of a machine's `faults` list (checked already) in place of those of the machine
// loaded before, leaving the injected ones.
void UseMachineFaults(const nlohmann::json& faults);

// A fault as an entry of machine.json's `faults` list, and back.
nlohmann::json FaultToJson(const Fault& fault);
Fault FaultFromJson(const nlohmann::json& entry);

// Called by the seam functions and the machine's programs: the error (or exit code) to fail
// with, or nothing. A fault that fires once is used up by this call.
std::optional<DWORD> TakeFault(std::string_view call, std::string_view path = {},
                               std::optional<DWORD> controlCode = std::nullopt);

}  // namespace emu
