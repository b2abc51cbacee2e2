#include "platform/emulated/hotplug.h"

#include <algorithm>

#include "platform/emulated/storage.h"

namespace emu {
namespace {

template <class Disks>
auto FindIn(Disks& disks, DWORD number) {
  return std::find_if(disks.begin(), disks.end(),
                      [number](const DiskDevice& disk) { return disk.number == number; });
}

}  // namespace

bool PlugDisk(DWORD number, std::string& error) {
  auto locked = Storage::Lock();
  Storage& storage = locked.storage;
  if (storage.FindDisk(number) != nullptr) {
    error = "disk " + std::to_string(number) + " is plugged in already";
    return false;
  }
  auto& detached = storage.DetachedDisks();
  auto it = FindIn(detached, number);
  if (it == detached.end()) {
    error = "the machine has no disk " + std::to_string(number) + " to plug in";
    return false;
  }
  auto& disks = storage.Disks();
  disks.push_back(std::move(*it));
  detached.erase(it);
  std::sort(disks.begin(), disks.end(),
            [](const DiskDevice& a, const DiskDevice& b) { return a.number < b.number; });
  // The disk device first, then the volumes the partition manager finds on it.
  storage.WriteDiskEnumeration();
  AnnounceDeviceNodesChanged();
  storage.RescanDisk(number);
  return true;
}

bool UnplugDisk(DWORD number, std::string& error) {
  auto locked = Storage::Lock();
  Storage& storage = locked.storage;
  auto& disks = storage.Disks();
  auto it = FindIn(disks, number);
  if (it == disks.end()) {
    error = "disk " + std::to_string(number) + " is not plugged in";
    return false;
  }
  auto& volumes = storage.Volumes();
  std::vector<char> departed;
  for (auto volume = volumes.begin(); volume != volumes.end();) {
    const auto& extents = (*volume)->extents;
    const bool onDisk = std::any_of(extents.begin(), extents.end(),
                                    [number](const VolumeExtent& e) { return e.disk == number; });
    if (!onDisk) {
      ++volume;
      continue;
    }
    if ((*volume)->letter != 0) departed.push_back((*volume)->letter);
    volume = volumes.erase(volume);
  }
  storage.DetachedDisks().push_back(std::move(*it));
  disks.erase(it);
  storage.Save();
  for (char letter : departed) AnnounceVolume(DBT_DEVICEREMOVECOMPLETE, letter);
  storage.WriteDiskEnumeration();
  AnnounceDeviceNodesChanged();
  return true;
}

}  // namespace emu
