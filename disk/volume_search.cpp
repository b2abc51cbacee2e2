#include "disk/volume_search.h"

#include "disk/disk_queries.h"
#include "platform/seam.h"

bool FindVolumeAt(DWORD diskNumber, LONGLONG offset, std::string& enumeratedName) {
  std::string name;
  win::VolumeFind find(win::FindFirstVolumeW(name, kVolumeNameLength));
  if (!find) return false;
  do {
    VolumeExtent extent;
    if (QueryVolumeExtent(VolumePath(VolumeGuidName(name)), extent) &&
        extent.DiskNumber == diskNumber && extent.StartingOffset == offset) {
      enumeratedName = name;
      return true;
    }
  } while (win::FindNextVolumeW(find.get(), name, kVolumeNameLength));
  return false;
}
