// Lays a host folder's tree into an exFAT file system in place, as the only contents of its root.
//
// The boot regions, the up-case table and the root's own entries (allocation bitmap, up-case
// table, volume label, volume GUID) stay as they are, and so do the label and the serial; the
// allocation bitmap, the FAT, the directories and the clusters of the files are written anew.
// Debian has no exFAT writer that works on a file without root, hence this one.
#pragma once

#include <filesystem>
#include <string>

#include "platform/win32_types.h"

namespace emu {

// `offset` and `length` give the partition in the image, in bytes. On failure returns false with
// the reason; the file system may then be left half written.
bool WriteExfatTree(const std::filesystem::path& image, ULONGLONG offset, ULONGLONG length,
                    const std::filesystem::path& folder, std::string& error);

}  // namespace emu
