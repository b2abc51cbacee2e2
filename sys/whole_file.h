// Reading and writing a file whole, through the platform's file calls.
#pragma once

#include <string>
#include <string_view>

// The file's bytes. False, with the reason in the last error, when it cannot be opened or read.
bool ReadWholeFile(std::string_view path, std::string& bytes);

// Replaces the file (or creates it) with `bytes`. False, with the reason in the last error, when
// it cannot be created or written.
bool WriteWholeFile(std::string_view path, std::string_view bytes);
