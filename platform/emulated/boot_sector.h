// What a volume's first sector says about its file system, read the way Windows recognises one:
// NTFS and exFAT by the OEM name, FAT by the BIOS parameter block. The emulated machine takes the
// file-system name and serial of GetVolumeInformationW and the total of GetDiskFreeSpaceExW from
// here, so they always agree with the bytes on the disk.
#pragma once

#include <cstddef>
#include <string>

#include "platform/win32_types.h"

namespace emu {

struct BootSectorInfo {
  std::string fileSystem;    // "NTFS", "exFAT", "FAT32", "FAT" (FAT12/16); empty: not recognised
  ULONGLONG serial = 0;      // NTFS keeps 64 bits, the others 32
  std::string label;         // FAT only; NTFS and exFAT keep theirs inside the file system
  ULONGLONG totalBytes = 0;  // the size the file system declares for itself
  DWORD bytesPerSector = 0;
  DWORD clusterBytes = 0;
};

// `data` holds the start of the volume; fewer than 512 bytes never make a file system.
BootSectorInfo ReadBootSector(const BYTE* data, std::size_t size);

// Windows reports the low half of a 64-bit NTFS serial as the volume serial number.
inline DWORD VolumeSerialNumber(const BootSectorInfo& info) {
  return static_cast<DWORD>(info.serial);
}

}  // namespace emu
