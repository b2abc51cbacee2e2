// Programs of the emulated machine. CreateProcessW finds the program by the first token of the
// command line, the way Windows searches for it, and runs the emulated program registered under
// that file name on a thread of its own; its return value is the process's exit code.
//
// Built in: format.com and cmd.exe in C:\Windows\system32. Programs that a payload carries
// (tools\grub-install.exe, grub_install_program.h) run only when their file exists where the
// command line points; tests may register more.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "platform/win32_device_types.h"

namespace emu {

struct ProgramRun {
  std::string commandLine;
  std::vector<std::string> arguments;  // after the program's own token, split as the C run-time does
  std::string currentDirectory;
  DWORD creationFlags = 0;
  WORD showWindow = 0;
};

using Program = std::function<DWORD(const ProgramRun&)>;

// `fileName` such as "format.com" or "grub-install.exe" (letter case ignored). `systemProgram`:
// found without a path, as the programs of the system folder are.
void RegisterProgram(const std::string& fileName, Program program, bool systemProgram = false);

// The program registered under `fileName`, or an empty function.
Program RegisteredProgram(const std::string& fileName);

// Splits a command line into tokens by the rules of the C run-time (quotes, backslashes).
std::vector<std::string> SplitCommandLine(std::string_view commandLine);

// Every process started on this machine, one JSON line each, in <machine>/processes.log.
std::vector<std::string> StartedCommandLines();

}  // namespace emu
