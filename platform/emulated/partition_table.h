// The emulated machine's disk driver for partition tables: reads the MBR or GPT of a disk image
// the way the Windows partition manager does, answers IOCTL_DISK_GET_DRIVE_LAYOUT_EX from what it
// read, and writes the table that IOCTL_DISK_SET_DRIVE_LAYOUT_EX asks for into the image.
//
// The tables are the real on-disk formats (MBR with its EBR chain, GPT with both headers and
// CRC32s), so the images can be checked and prepared with ordinary Linux tools.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/win32_device_types.h"

namespace emu {

// Raw access to a disk image file. Offsets are bytes from the disk start; the image may be sparse
// and shorter than `length` (what lies beyond the file's end reads as zeros).
class DiskImage {
 public:
  DiskImage(std::filesystem::path file, ULONGLONG length, DWORD bytesPerSector);
  ~DiskImage();
  DiskImage(const DiskImage&) = delete;
  DiskImage& operator=(const DiskImage&) = delete;

  // False when the range goes past Length() or the file cannot be read or written.
  bool Read(ULONGLONG offset, void* data, std::size_t size);
  bool Write(ULONGLONG offset, const void* data, std::size_t size);

  ULONGLONG Length() const { return length_; }
  DWORD SectorSize() const { return sectorSize_; }
  ULONGLONG SectorCount() const { return length_ / sectorSize_; }

 private:
  bool Open(bool write);

  std::filesystem::path file_;
  ULONGLONG length_;
  DWORD sectorSize_;
  int fd_ = -1;
  bool writable_ = false;
};

// One used partition, or MBR extended container, as found on disk.
struct PartitionRecord {
  DWORD number = 0;  // as Windows numbers it: 1.. for partitions, 0 for extended containers
  LONGLONG offset = 0;
  LONGLONG length = 0;
  // MBR: the entry's place in the drive layout, 4 per table sector: 0..3 the MBR's own slots,
  // 4 + 4k + i slot i of the k-th EBR of the logical chain.
  DWORD slot = 0;
  BYTE mbrType = 0;
  bool boot = false;
  DWORD hiddenSectors = 0;  // the entry's relative start: from the disk start, or from its EBR
  GUID gptType{};
  GUID gptId{};
  DWORD64 attributes = 0;
  std::u16string name;
};

struct PartitionTable {
  PARTITION_STYLE style = PARTITION_STYLE_RAW;
  DWORD signature = 0;  // MBR disk signature (offset 440)
  DWORD checksum = 0;   // MBR: the two's complement of the sum of sector 0's first 128 DWORDs
  GUID diskId{};        // GPT
  LONGLONG usableOffset = 0;  // GPT, as the header on disk says
  LONGLONG usableLength = 0;
  DWORD maxPartitionCount = 0;  // GPT entry count
  bool backupGpt = false;       // GPT read from the backup header (the primary is damaged)
  // MBR: used entries in layout order (slot ascending); GPT: used entries in entry order.
  std::vector<PartitionRecord> partitions;
};

// MBR partition types Windows recognises (IsRecognizedPartition), containers included.
bool RecognizedMbrType(BYTE type);
bool ContainerMbrType(BYTE type);  // 0x05, 0x0F

// Reads the table from the image. Without 0x55AA at 510 the disk is RAW. An MBR holding a 0xEE
// entry is GPT when the primary GPT (or, when that is damaged, the backup at the last LBA) has
// valid header and entry-array CRCs; otherwise it stays an MBR disk with that one entry.
PartitionTable ReadPartitionTable(DiskImage& disk);

// IOCTL_DISK_GET_DRIVE_LAYOUT_EX: fills `out` with the layout and *returned with its size
// (48 + count × 144). A smaller buffer gets ERROR_INSUFFICIENT_BUFFER and nothing written.
DWORD FillDriveLayout(const PartitionTable& table, void* out, DWORD outSize, DWORD* returned);

// IOCTL_DISK_SET_DRIVE_LAYOUT_EX: checks the layout in `in` and writes it as a real table.
// Returns ERROR_INVALID_PARAMETER without touching the image when the layout is refused.
DWORD WriteDriveLayout(DiskImage& disk, const DISK_GEOMETRY& geometry, const void* in,
                       DWORD inSize);

}  // namespace emu
