#include "platform/emulated/volume_touches.h"

#include <mutex>

#include "platform/emulated/storage.h"

namespace emu {
namespace {

// Its own lock: the machine records while it holds the storage lock.
std::mutex& TouchesLock() {
  static std::mutex lock;
  return lock;
}

std::vector<TouchedVolume>& Touches() {
  static std::vector<TouchedVolume> touches;
  return touches;
}

}  // namespace

void RecordVolumeTouch(const Volume& volume, VolumeTouch touch) {
  std::lock_guard<std::mutex> guard(TouchesLock());
  Touches().push_back({volume.guid, volume.Disk(), touch});
}

std::vector<TouchedVolume> VolumeTouches() {
  std::lock_guard<std::mutex> guard(TouchesLock());
  return Touches();
}

void ClearVolumeTouches() {
  std::lock_guard<std::mutex> guard(TouchesLock());
  Touches().clear();
}

const char* VolumeTouchName(VolumeTouch touch) {
  switch (touch) {
    case VolumeTouch::Locked: return "locked";
    case VolumeTouch::Dismounted: return "dismounted";
    case VolumeTouch::LetterRemoved: return "drive letter removed";
  }
  return "?";
}

}  // namespace emu
