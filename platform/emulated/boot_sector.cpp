#include "platform/emulated/boot_sector.h"

#include <bit>
#include <cstring>

namespace emu {
namespace {

ULONGLONG Little(const BYTE* p, int bytes) {
  ULONGLONG value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

bool Text(const BYTE* data, std::size_t at, const char* text) {
  return std::memcmp(data + at, text, std::strlen(text)) == 0;
}

bool HasSignature(const BYTE* data) { return data[510] == 0x55 && data[511] == 0xAA; }

bool SectorSizeValid(ULONGLONG bytes) {
  return bytes >= 512 && bytes <= 4096 && std::has_single_bit(bytes);
}

// The 11-byte label of a FAT boot sector. mkfs and format.com both write "NO NAME" for none.
std::string FatLabel(const BYTE* p) {
  std::string label(reinterpret_cast<const char*>(p), 11);
  while (!label.empty() && (label.back() == ' ' || label.back() == '\0')) label.pop_back();
  return label == "NO NAME" ? std::string() : label;
}

BootSectorInfo Ntfs(const BYTE* data) {
  BootSectorInfo info;
  const ULONGLONG sector = Little(data + 11, 2);
  if (!SectorSizeValid(sector)) return info;
  // Clusters above 64 KiB are written as a negative power of two.
  const BYTE perCluster = data[13];
  ULONGLONG cluster = 0;
  if (perCluster == 0) return info;
  if (perCluster < 0x80) {
    if (!std::has_single_bit(perCluster)) return info;
    cluster = sector * perCluster;
  } else {
    const int shift = 256 - perCluster;
    if (shift > 31) return info;
    cluster = sector << shift;
  }
  if (cluster > (ULONGLONG{1} << 31)) return info;
  info.fileSystem = "NTFS";
  info.bytesPerSector = static_cast<DWORD>(sector);
  info.clusterBytes = static_cast<DWORD>(cluster);
  info.totalBytes = Little(data + 40, 8) * sector;
  info.serial = Little(data + 72, 8);
  return info;
}

BootSectorInfo Exfat(const BYTE* data) {
  BootSectorInfo info;
  const int sectorShift = data[108];
  const int clusterShift = data[109];
  // The limits exFAT sets: sectors of 512 to 4096 bytes, clusters up to 32 MiB.
  if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift > 25) return info;
  info.fileSystem = "exFAT";
  info.bytesPerSector = DWORD{1} << sectorShift;
  info.clusterBytes = DWORD{1} << (sectorShift + clusterShift);
  info.totalBytes = Little(data + 72, 8) << sectorShift;
  info.serial = Little(data + 100, 4);
  return info;
}

BootSectorInfo Fat(const BYTE* data) {
  BootSectorInfo info;
  // A BPB only follows a jump to the boot code.
  if (data[0] != 0xEB && data[0] != 0xE9) return info;
  const ULONGLONG sector = Little(data + 11, 2);
  const BYTE perCluster = data[13];
  const ULONGLONG reserved = Little(data + 14, 2);
  const BYTE fats = data[16];
  const ULONGLONG total16 = Little(data + 19, 2);
  const ULONGLONG fatSectors16 = Little(data + 22, 2);
  const ULONGLONG total32 = Little(data + 32, 4);
  if (!SectorSizeValid(sector) || perCluster == 0 || !std::has_single_bit(perCluster) ||
      reserved == 0 || fats == 0)
    return info;
  const ULONGLONG total = total16 != 0 ? total16 : total32;
  if (total == 0) return info;
  // Windows takes a BPB for FAT32 when its 16-bit FAT size is zero.
  const bool fat32 = fatSectors16 == 0;
  if (fat32 && !(Text(data, 82, "FAT32   ") && HasSignature(data))) return info;
  info.fileSystem = fat32 ? "FAT32" : "FAT";
  info.bytesPerSector = static_cast<DWORD>(sector);
  info.clusterBytes = static_cast<DWORD>(sector * perCluster);
  info.totalBytes = total * sector;
  // Serial and label exist only behind the extended boot signature; 0x28 has no label.
  const std::size_t extended = fat32 ? 66 : 38;
  if (data[extended] == 0x28 || data[extended] == 0x29)
    info.serial = Little(data + extended + 1, 4);
  if (data[extended] == 0x29) info.label = FatLabel(data + extended + 5);
  return info;
}

}  // namespace

BootSectorInfo ReadBootSector(const BYTE* data, std::size_t size) {
  if (data == nullptr || size < 512) return {};
  if (Text(data, 3, "NTFS    ")) return Ntfs(data);
  if (Text(data, 3, "EXFAT   ")) return Exfat(data);
  return Fat(data);
}

}  // namespace emu
