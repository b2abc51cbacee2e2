// A record of the volumes a program locked, dismounted or took a drive letter from, kept since
// the record was last cleared. Tests read it to show that a job left the volumes of other disks
// alone: these are the requests that take a volume away from the programs using it.
#pragma once

#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace emu {

struct Volume;

enum class VolumeTouch { Locked, Dismounted, LetterRemoved };

struct TouchedVolume {
  std::string guid;
  DWORD disk = 0;  // the disk of its first extent
  VolumeTouch touch = VolumeTouch::Locked;
};

// Called by the machine when a request of that kind on the volume has succeeded.
void RecordVolumeTouch(const Volume& volume, VolumeTouch touch);

// Everything recorded since the last ClearVolumeTouches, in order.
std::vector<TouchedVolume> VolumeTouches();
void ClearVolumeTouches();

const char* VolumeTouchName(VolumeTouch touch);

}  // namespace emu
