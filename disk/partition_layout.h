// The partition layout of the create-disk job: the size check, the partition records, the three
// successive layouts and the regions cleared before them. Pure computation; the create-disk worker
// sends the layouts and writes the zeros.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

#include "platform/win32_device_types.h"
#include "platform/win32_types.h"

constexpr LONGLONG kMiB = 1048576;

// What the layout request carries: the header and room for 128 partition records.
constexpr DWORD kLayoutMaxPartitions = 128;
constexpr std::size_t kLayoutHeaderSize = 48;
constexpr std::size_t kLayoutBufferSize = 18480;
static_assert(kLayoutHeaderSize + kLayoutMaxPartitions * sizeof(PARTITION_INFORMATION_EX) ==
              kLayoutBufferSize);
static_assert(offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == kLayoutHeaderSize);

// One buffer, reused for all three stages and always sent whole.
struct LayoutBuffer {
  alignas(8) BYTE bytes[kLayoutBufferSize];

  DRIVE_LAYOUT_INFORMATION_EX* get() {
    return reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(bytes);
  }
  BYTE* data() { return bytes; }
  static constexpr std::size_t size() { return kLayoutBufferSize; }
  // Entry i of 128, by byte offset: the header declares only PartitionEntry[1].
  PARTITION_INFORMATION_EX* entry(std::size_t i) {
    return reinterpret_cast<PARTITION_INFORMATION_EX*>(
        bytes + kLayoutHeaderSize + i * sizeof(PARTITION_INFORMATION_EX));
  }
};

// The size check's verdict; every verdict but Fits refuses the job.
enum class SizeCheck {
  Fits,
  DiskTooSmall,        // (NTFS + FAT32 + 4) MB exceed the disk
  ReachesBackupTable,  // GPT: the BIOS boot partition overlaps the backup table at the disk's end
  BeyondMbrReach,      // MBR: the FAT32 partition ends past the 2^32 sectors an entry can count
  BadInput,            // a partition size below 1 MB, or a sector size of 0
};

// Bytes of the physical disk that are overwritten with zeros.
struct DiskRegion {
  LONGLONG Offset = 0;
  LONGLONG Length = 0;
};

// The header fields of the layouts; the same in all stages except the partition count.
struct LayoutHeader {
  DWORD PartitionStyle = PARTITION_STYLE_MBR;
  DWORD PartitionCount = 0;       // stages 1 and 2
  DWORD FinalPartitionCount = 0;  // stage 3
  GUID DiskId{};                  // GPT: made once per plan
  LONGLONG StartingUsableOffset = 0;
  LONGLONG UsableLength = 0;
  DWORD MaxPartitionCount = 0;
};

struct LayoutPlan {
  bool Accepted = false;  // the size check's verdict
  SizeCheck Check = SizeCheck::BadInput;
  bool MBRStyle = true;
  LayoutHeader Header;
  PARTITION_INFORMATION_EX Ntfs{};
  PARTITION_INFORMATION_EX Fat32{};     // PartitionNumber 1; stage 3 writes 2
  PARTITION_INFORMATION_EX BiosBoot{};  // GPT only; its PartitionId is made by stage 3
  DiskRegion ClearBeforeStage1;
  DiskRegion ClearBeforeStage3;
};

// The plan for partitions of the given sizes (MB) on a disk of `diskSize` bytes (its whole
// cylinders, which the sizes are checked against) and `deviceLength` bytes (its true length, at
// whose end the backup GPT lies). On refusal only Accepted, Check and MBRStyle are set.
LayoutPlan PlanDiskLayout(LONGLONG ntfsSizeMB, LONGLONG fat32SizeMB, bool mbrStyle,
                          LONGLONG diskSize, LONGLONG deviceLength, DWORD sectorSize);

// Zero-fills `buffer` and writes the layout of `stage` into it: 1 the NTFS partition alone, 2 the
// FAT32 partition alone, 3 the final table. Stage 3 on GPT makes a new PartitionId for the BIOS
// boot partition and keeps it in the plan. A refused plan or another stage leaves the buffer zero.
void FillStageLayout(LayoutPlan& plan, int stage, LayoutBuffer& buffer);

// A GUID in registry form, "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}" (either letter case, braces
// required), in the platform's layout: the first three groups as numbers, the last eight bytes in
// order.
constexpr std::optional<GUID> ParseGuidText(std::string_view text) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}') return std::nullopt;
  BYTE bytes[16] = {};
  std::size_t count = 0;
  for (std::size_t i = 1; i < 37; ++i) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-') return std::nullopt;
      continue;
    }
    const char c = text[i];
    int digit = 0;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return std::nullopt;
    bytes[count / 2] = static_cast<BYTE>(bytes[count / 2] << 4 | digit);
    ++count;
  }
  GUID guid{};
  guid.Data1 = static_cast<DWORD>(bytes[0]) << 24 | static_cast<DWORD>(bytes[1]) << 16 |
               static_cast<DWORD>(bytes[2]) << 8 | bytes[3];
  guid.Data2 = static_cast<WORD>(bytes[4] << 8 | bytes[5]);
  guid.Data3 = static_cast<WORD>(bytes[6] << 8 | bytes[7]);
  for (std::size_t i = 0; i < 8; ++i) guid.Data4[i] = bytes[8 + i];
  return guid;
}
