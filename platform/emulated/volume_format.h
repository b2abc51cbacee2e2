// Formatting a partition of an emulated disk: the Debian tools (mkntfs, mkfs.fat, mkfs.exfat)
// make the file system in a sparse scratch file, which then replaces the partition's bytes in the
// disk image. No root and no loop devices are needed.
//
// What the tools leave to chance is set the way Windows' format does it: a fresh random serial
// every time, the partition start as hidden sectors and the disk geometry in the BPB, FAT labels in
// upper case, FAT32 clusters by the format.com table.
#pragma once

#include <filesystem>
#include <string>

#include "platform/win32_types.h"

namespace emu {

struct FormatRequest {
  std::filesystem::path image;  // the disk image file
  ULONGLONG offset = 0;         // partition start in the image, bytes
  ULONGLONG length = 0;         // partition length, bytes
  DWORD sectorSize = 512;       // the disk's bytes per sector: 512, 1024, 2048 or 4096
  DWORD sectorsPerTrack = 63;
  DWORD tracksPerCylinder = 255;
  std::string fileSystem;  // "NTFS", "FAT32" or "exFAT", in any case, as format.com's /FS:
  std::string label;       // UTF-8; may be empty
};

// A quick format. Limits (the tools' and Windows' own):
//   FAT32  32 MiB up to 2^32 - 1 sectors (2 TiB at 512 bytes), label up to 11 characters;
//          below 65525 clusters (4096-byte sectors under about 256 MiB) mkfs.fat only warns,
//          and Windows still takes the volume as FAT32 by its BPB
//   NTFS   a little over 1 MiB (mkntfs refuses 1 MiB itself), label up to 32 characters
//   exFAT  1 MiB and up, label up to 11 characters; 4096-byte sectors too, though mkfs.exfat
//          itself only makes 512-byte ones (see RewriteExfatBootRegion)
// FAT32 and NTFS partitions must start within the first 2^32 sectors, which is all their boot
// sectors can record.
// On failure returns false with a readable reason in `error`, the tool's own words included. The
// image outside [offset, offset + length) is never touched, nor is the inside unless the tool
// succeeded.
bool FormatVolume(const FormatRequest& request, std::string& error);

}  // namespace emu
