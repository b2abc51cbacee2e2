// Files that the elevated process writes and then loads or starts (the archive library, the GRUB
// installer), and the payload archive the installer comes from, kept from change in between.
//
// The folder they live in lies below the user's %TEMP%, where any program of the same user may
// write. Holding a write handle from creation to use does not work: the loader and CreateProcessW
// open the file for reading, shared for reading and deleting only, so a handle with write access
// makes them fail. Instead the file is written and closed, then opened again for reading, shared
// for reading only, and its contents compared with what was written. From that open on, Windows
// lets nobody else open the file for writing or deleting (renaming it is a delete access too),
// while the load or the start, which only read it, still can; whatever happened to the file
// between the close and the open is caught by the comparison; and a program that still has the
// file open for writing or deleting makes the open fail with a sharing violation. The folder
// itself is the process's current directory, which Windows holds without delete sharing, so it
// cannot be renamed or replaced either.
#pragma once

#include <string_view>

#include "platform/handles.h"

// Opens `path` for reading, shared for reading only, and checks that the file holds exactly
// `expected`. An empty handle on failure, with the reason in the last error: the open's own
// (ERROR_SHARING_VIOLATION when another program has the file open for writing or deleting), or
// ERROR_FILE_INVALID when the file is not what was written.
win::Handle HoldUnchanged(std::string_view path, std::string_view expected);
