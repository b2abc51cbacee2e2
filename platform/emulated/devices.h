// Opening physical disks and volumes as devices (CreateFileW on \\.\PHYSICALDRIVEn, \\.\X:,
// \\.\Volume{GUID}).
#pragma once

#include <string>
#include <string_view>

#include "platform/emulated/objects.h"
#include "platform/emulated/paths.h"

namespace emu {

// Sets the last error and returns INVALID_HANDLE_VALUE on failure, as CreateFileW does.
HANDLE OpenDevice(const DevicePath& device, std::string_view path, DWORD access, DWORD shareMode,
                  DWORD creationDisposition);

// The name under which opens of a volume are shared.
std::string VolumeShareName(const Volume& volume);

// How many files are open on a volume (a volume with open files cannot be locked).
std::size_t OpenFilesOnVolume(const Volume& volume);

}  // namespace emu
