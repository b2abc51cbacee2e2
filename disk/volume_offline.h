// Taking a mounted volume offline before its disk's table changes under it.
#pragma once

#include <string>

#include "platform/handles.h"

// Opens the volume of `drive` ("E:") for reading and writing, sharing it as `shareMode` allows.
// On failure writes, when another program holds the volume, the line asking to close the
// programs that use it and an empty line, then a status line; the handle is then invalid.
win::Handle OpenVolumeToTakeOffline(const std::string& drive, DWORD shareMode);

// Locks and dismounts the volume, then unlocks it again. False, with a status line, when the
// lock or the dismount fails.
bool DismountVolume(HANDLE volume);
