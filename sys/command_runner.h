// Starting a command line as a new process, optionally waiting for its exit code.
#pragma once

#include <string_view>

#include "platform/win32_types.h"

// The exit code of a command that was started without waiting: there is none to report.
constexpr DWORD kNoExitCode = 7117;

// Starts `commandLine` (its first token names the program) with the window state `showWindow`
// and, with `noConsoleWindow`, without a console window of its own. With `wait` it blocks until
// the process ends, dispatching the calling thread's window messages meanwhile, and `exitCode`
// receives the process's exit code; without it `exitCode` is kNoExitCode. Returns false when the
// process cannot be started; `exitCode` then holds the reason (a system error code).
bool RunCommand(std::string_view commandLine, bool wait, WORD showWindow, DWORD& exitCode,
                bool noConsoleWindow);
