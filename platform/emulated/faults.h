// Fault injection: tests make a named seam call fail with a chosen error code, the way a real
// machine sometimes does (a device that refuses a request, a disk that is pulled, a full disk).
//
// A fault names the call ("CreateFileW", "DeviceIoControl", "ReadFile", ...) and optionally what it
// applies to: a path (compared without regard to letter case) or a control code. It fires once or
// every time. Faults belong to the process and are cleared with ClearFaults().
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "platform/win32_types.h"

namespace emu {

struct Fault {
  std::string call;                 // the seam function's name
  std::string path;                 // empty: any path
  std::optional<DWORD> controlCode;  // DeviceIoControl only; empty: any code
  DWORD error = ERROR_GEN_FAILURE;  // what GetLastError (or the returned status) reports
  bool once = true;
  unsigned after = 0;  // matching calls that pass before the fault fires
};

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

// Called by the seam functions: the error to fail with, or nothing. A fault that fires once is
// used up by this call.
std::optional<DWORD> TakeFault(std::string_view call, std::string_view path = {},
                               std::optional<DWORD> controlCode = std::nullopt);

}  // namespace emu
