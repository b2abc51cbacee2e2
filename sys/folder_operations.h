// Copying and deleting whole folders through the shell's file operation, without any dialog.
#pragma once

#include <string_view>

// Copies the folder `source` with everything in it into `destination`, creating missing folders
// and overwriting existing files. True when the shell reports success.
bool CopyFolder(std::string_view source, std::string_view destination);

// Deletes the folder `path` with everything in it, for good (not into the recycle bin). True when
// the shell reports success.
bool DeleteFolder(std::string_view path);
