#include "disk/partition_layout.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <limits>
#include <string_view>
#include <type_traits>

#include "platform/seam.h"

namespace {

constexpr LONGLONG kNTFSStart = kMiB;
constexpr LONGLONG kBiosBootLength = kMiB;
constexpr LONGLONG kClearedStartLength = 4096;
constexpr LONGLONG kClearedFinalLength = kMiB;
// Sectors of the GPT structures: protective MBR, header and 32 sectors of entries at the start;
// entries and header at the end.
constexpr LONGLONG kGptPrimarySectors = 34;
constexpr LONGLONG kGptBackupSectors = 33;
constexpr LONGLONG kMbrSectorLimit = LONGLONG{1} << 32;
constexpr DWORD kMBRPartitionCount = 4;
constexpr DWORD64 kGptHiddenAttribute = 0x4000000000000000;  // GPT_BASIC_DATA_ATTRIBUTE_HIDDEN

consteval GUID TypeGuid(std::string_view text) {
  const std::optional<GUID> guid = ParseGuidText(text);
  if (!guid) std::abort();  // not a constant expression: a mistyped GUID fails the build
  return *guid;
}

constexpr GUID kBasicDataType = TypeGuid("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");
constexpr GUID kEfiSystemType = TypeGuid("{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}");
constexpr GUID kBiosBootType = TypeGuid("{21686148-6449-6E6F-744E-656564454649}");

GUID NewGuid() {
  GUID guid{};
  win::UuidCreate(&guid);  // fails only without a random source; a zero GUID then remains
  return guid;
}

void SetName(PARTITION_INFORMATION_GPT& gpt, std::u16string_view text) {
  using Unit = std::remove_all_extents_t<decltype(gpt.Name)>;  // WCHAR on Windows
  std::size_t i = 0;
  for (; i < text.size() && i + 1 < std::size(gpt.Name); ++i) {
    gpt.Name[i] = static_cast<Unit>(text[i]);
  }
  for (; i < std::size(gpt.Name); ++i) gpt.Name[i] = 0;
}

PARTITION_INFORMATION_EX BaseRecord(bool mbrStyle, LONGLONG start, LONGLONG length) {
  PARTITION_INFORMATION_EX record;
  std::memset(&record, 0, sizeof record);
  record.PartitionStyle = mbrStyle ? PARTITION_STYLE_MBR : PARTITION_STYLE_GPT;
  record.StartingOffset.QuadPart = start;
  record.PartitionLength.QuadPart = length;
  record.PartitionNumber = 1;
  record.RewritePartition = TRUE;
  // IsServicePartition stays false from the zero fill; older SDKs do not declare it.
  return record;
}

void SetMBRFields(PARTITION_INFORMATION_EX& record, BYTE type, bool active, DWORD sectorSize) {
  record.Mbr.PartitionType = type;
  record.Mbr.BootIndicator = active ? TRUE : FALSE;
  record.Mbr.RecognizedPartition = TRUE;
  record.Mbr.HiddenSectors = static_cast<DWORD>(record.StartingOffset.QuadPart / sectorSize);
}

void SetGptFields(PARTITION_INFORMATION_EX& record, const GUID& type, DWORD64 attributes,
                  std::u16string_view name) {
  record.Gpt.PartitionType = type;
  record.Gpt.PartitionId = NewGuid();
  record.Gpt.Attributes = attributes;
  SetName(record.Gpt, name);
}

// The backup GPT at the device's end: its header sector and 128 entries of 128 bytes.
LONGLONG BackupGptBytes(DWORD sectorSize) {
  constexpr LONGLONG kEntryBytes = 128 * 128;
  return (1 + (kEntryBytes + sectorSize - 1) / sectorSize) * LONGLONG{sectorSize};
}

SizeCheck CheckSizes(LONGLONG ntfsSizeMB, LONGLONG fat32SizeMB, bool mbrStyle, LONGLONG diskSize,
                     LONGLONG deviceLength, DWORD sectorSize) {
  // A size below 1 MB would give an empty or negative partition; the Create tab can propose one
  // for disks under 204 MB.
  if (ntfsSizeMB < 1 || fat32SizeMB < 1 || sectorSize == 0) return SizeCheck::BadInput;
  // Sizes whose byte count does not fit in 64 bits fit on no disk.
  constexpr LONGLONG kLimitMB = std::numeric_limits<LONGLONG>::max() / kMiB - 4;
  if (ntfsSizeMB > kLimitMB || fat32SizeMB > kLimitMB - ntfsSizeMB) return SizeCheck::DiskTooSmall;
  const LONGLONG layoutEnd = (fat32SizeMB + ntfsSizeMB + 4) * kMiB;
  if (layoutEnd > diskSize) return SizeCheck::DiskTooSmall;
  if (mbrStyle) {
    // An MBR entry holds its start and its length as 32-bit sector counts; the platform refuses
    // a partition beyond them, after the job would already have cleared the disk's start.
    const LONGLONG fat32End = layoutEnd - 2 * kMiB;  // no BIOS boot partition on MBR
    if (fat32End > kMbrSectorLimit * sectorSize) return SizeCheck::BeyondMbrReach;
  } else if (layoutEnd > deviceLength - BackupGptBytes(sectorSize)) {
    // The backup GPT lies at the device's true end, which may be beyond the whole cylinders.
    return SizeCheck::ReachesBackupTable;
  }
  return SizeCheck::Fits;
}

// Writes a record field by field, so that the buffer's padding stays zero.
void WriteRecord(PARTITION_INFORMATION_EX& to, const PARTITION_INFORMATION_EX& from,
                 DWORD partitionNumber) {
  to.PartitionStyle = from.PartitionStyle;
  to.StartingOffset.QuadPart = from.StartingOffset.QuadPart;
  to.PartitionLength.QuadPart = from.PartitionLength.QuadPart;
  to.PartitionNumber = partitionNumber;
  to.RewritePartition = from.RewritePartition;
  if (from.PartitionStyle == PARTITION_STYLE_MBR) {
    to.Mbr.PartitionType = from.Mbr.PartitionType;
    to.Mbr.BootIndicator = from.Mbr.BootIndicator;
    to.Mbr.RecognizedPartition = from.Mbr.RecognizedPartition;
    to.Mbr.HiddenSectors = from.Mbr.HiddenSectors;
  } else {
    static_assert(sizeof(PARTITION_INFORMATION_GPT) == 16 + 16 + 8 + 72);  // no padding
    std::memcpy(&to.Gpt, &from.Gpt, sizeof to.Gpt);
  }
}

}  // namespace

LayoutPlan PlanDiskLayout(LONGLONG ntfsSizeMB, LONGLONG fat32SizeMB, bool mbrStyle,
                          LONGLONG diskSize, LONGLONG deviceLength, DWORD sectorSize) {
  LayoutPlan plan;
  plan.MBRStyle = mbrStyle;
  plan.Check = CheckSizes(ntfsSizeMB, fat32SizeMB, mbrStyle, diskSize, deviceLength, sectorSize);
  plan.Accepted = plan.Check == SizeCheck::Fits;
  if (!plan.Accepted) return plan;

  const LONGLONG ntfsLength = ntfsSizeMB * kMiB;
  const LONGLONG fat32Length = fat32SizeMB * kMiB;
  const LONGLONG fat32Start = 2 * kNTFSStart + ntfsLength;  // a 1 MiB gap after NTFS
  const LONGLONG biosBootStart = fat32Start + fat32Length + kMiB;

  plan.Ntfs = BaseRecord(mbrStyle, kNTFSStart, ntfsLength);
  plan.Fat32 = BaseRecord(mbrStyle, fat32Start, fat32Length);
  plan.ClearBeforeStage1 = {0, kClearedStartLength};

  LayoutHeader& header = plan.Header;
  if (mbrStyle) {
    SetMBRFields(plan.Ntfs, PARTITION_IFS, false, sectorSize);
    SetMBRFields(plan.Fat32, PARTITION_FAT32_XINT13, true, sectorSize);
    header.PartitionStyle = PARTITION_STYLE_MBR;
    header.PartitionCount = kMBRPartitionCount;
    header.FinalPartitionCount = kMBRPartitionCount;
    // Zeroing the first MiB also removes the stage-2 table; NTFS starts right after it.
    plan.ClearBeforeStage3 = {0, kClearedFinalLength};
  } else {
    SetGptFields(plan.Ntfs, kBasicDataType, 0, u"Microsoft Basic Data");
    SetGptFields(plan.Fat32, kEfiSystemType, 0, u"EFI System Partition");
    plan.BiosBoot = BaseRecord(false, biosBootStart, kBiosBootLength);
    plan.BiosBoot.PartitionNumber = 3;
    plan.BiosBoot.Gpt.PartitionType = kBiosBootType;
    plan.BiosBoot.Gpt.Attributes = kGptHiddenAttribute;
    SetName(plan.BiosBoot.Gpt, u"BIOS boot partition");
    header.PartitionStyle = PARTITION_STYLE_GPT;
    header.PartitionCount = 1;
    header.FinalPartitionCount = 3;
    header.DiskId = NewGuid();
    header.StartingUsableOffset = kGptPrimarySectors * sectorSize;
    header.UsableLength = diskSize - (kGptPrimarySectors + kGptBackupSectors) * sectorSize;
    header.MaxPartitionCount = kLayoutMaxPartitions;
    // Whatever was left in the BIOS boot area must not be taken for a boot loader.
    plan.ClearBeforeStage3 = {biosBootStart, kClearedFinalLength};
  }
  return plan;
}

void FillStageLayout(LayoutPlan& plan, int stage, LayoutBuffer& buffer) {
  std::memset(buffer.bytes, 0, sizeof buffer.bytes);
  if (!plan.Accepted || stage < 1 || stage > 3) return;

  const bool isFinal = stage == 3;
  DRIVE_LAYOUT_INFORMATION_EX& layout = *buffer.get();
  const LayoutHeader& header = plan.Header;
  layout.PartitionStyle = header.PartitionStyle;
  layout.PartitionCount = isFinal ? header.FinalPartitionCount : header.PartitionCount;
  if (plan.MBRStyle) {
    layout.Mbr.Signature = 0;  // left for the platform to choose
  } else {
    layout.Gpt.DiskId = header.DiskId;
    layout.Gpt.StartingUsableOffset.QuadPart = header.StartingUsableOffset;
    layout.Gpt.UsableLength.QuadPart = header.UsableLength;
    layout.Gpt.MaxPartitionCount = header.MaxPartitionCount;
  }

  if (stage == 1) {
    WriteRecord(*buffer.entry(0), plan.Ntfs, 1);
  } else if (stage == 2) {
    WriteRecord(*buffer.entry(0), plan.Fat32, 1);
  } else {
    WriteRecord(*buffer.entry(0), plan.Ntfs, 1);
    WriteRecord(*buffer.entry(1), plan.Fat32, 2);
    if (!plan.MBRStyle) {
      plan.BiosBoot.Gpt.PartitionId = NewGuid();
      WriteRecord(*buffer.entry(2), plan.BiosBoot, 3);
    }
  }
}
