// What a disk of the emulated machine holds, taken before and after a job to show that the job
// left the disk alone: the image's bytes (its allocated extents only, the images are sparse) and,
// per volume, its drive letter and the files in its folder, which run ahead of the image while
// programs run.
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "platform/win32_types.h"

struct ByteRange {
  LONGLONG offset = 0;
  LONGLONG length = 0;
};

struct VolumeSnapshot {
  char letter = 0;
  bool held = false;
  std::map<std::string, std::uint64_t> files;  // relative path ("/" for folders) → content hash
};

struct DiskSnapshot {
  std::uint64_t imageHash = 0;  // over the allocated extents outside `skipped`
  std::map<std::string, VolumeSnapshot> volumes;  // by volume GUID
};

// The disk as it is now. The image bytes inside `skipped` are left out of the hash, and so are
// the volume files whose path starts with one of `skippedFiles` ("users/setup/.../kyrextract",
// compared without regard to letter case as Windows names are).
DiskSnapshot TakeDiskSnapshot(DWORD disk, const std::vector<ByteRange>& skipped = {},
                              const std::vector<std::string>& skippedFiles = {});

// What differs between two snapshots of one disk, one line per difference; empty when alike.
std::vector<std::string> DiskDifferences(const DiskSnapshot& before, const DiskSnapshot& after);
