// The console log: the four kinds of output every part of the system writes.
//
// Standard output is opened on the first write. On a console the text goes out in the console
// output code page of that moment (UTF-8, since the entry sets it first); redirected to a file or
// pipe it goes out in the ANSI code page. Every line ends with CR LF. Each call reaches the log
// whole, whatever other threads write at the same time.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

// The text, then CR LF.
void WriteLine(std::string_view text);
// The text alone; the next output continues the line.
void WriteText(std::string_view text);
// CR LF alone.
void WriteEmptyLine();
// CR LF alone when the last output left its line open, so that what follows starts a line of
// its own; nothing otherwise.
void EndOpenLine();
// "Status: " + SystemErrorText(code), then CR LF.
void WriteStatusLine(DWORD code);

// The system's message text for an error code, without trailing control characters, spaces and
// periods. Empty when the system has no text for the code.
std::string SystemErrorText(DWORD code);

// Fills the "%s" placeholders of `format` with `args` in order; a placeholder without an argument
// becomes empty, extra arguments are dropped.
std::string FormatText(std::string_view format, std::initializer_list<std::string_view> args);

// Forgets the opened log stream, so that the next write opens it again (tests).
void ResetLogStream();
