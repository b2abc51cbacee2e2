// The create-disk layout: size check, records and stage buffers, compared as the bytes that the
// layout request sends.
#include "disk/partition_layout.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>
#include <utility>

namespace {

using Record = std::array<BYTE, 144>;
using GuidBytes = std::array<BYTE, 16>;

constexpr GuidBytes kBasicDataBytes = {0xa2, 0xa0, 0xd0, 0xeb, 0xe5, 0xb9, 0x33, 0x44,
                                       0x87, 0xc0, 0x68, 0xb6, 0xb7, 0x26, 0x99, 0xc7};
constexpr GuidBytes kEfiSystemBytes = {0x28, 0x73, 0x2a, 0xc1, 0x1f, 0xf8, 0xd2, 0x11,
                                       0xba, 0x4b, 0x00, 0xa0, 0xc9, 0x3e, 0xc9, 0x3b};
constexpr GuidBytes kBiosBootBytes = {0x48, 0x61, 0x68, 0x21, 0x49, 0x64, 0x6f, 0x6e,
                                      0x74, 0x4e, 0x65, 0x65, 0x64, 0x45, 0x46, 0x49};

constexpr LONGLONG kExampleEnd = 1104 * kMiB;  // NTFS 1000 MB + FAT32 100 MB + 4 MiB

template <std::size_t N>
void Put(std::array<BYTE, N>& to, std::size_t offset, std::uint64_t value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) to[offset + i] = static_cast<BYTE>(value >> (8 * i));
}

template <std::size_t N>
void PutBytes(std::array<BYTE, N>& to, std::size_t offset, const void* from, std::size_t size) {
  std::memcpy(to.data() + offset, from, size);
}

GuidBytes BytesOf(const GUID& guid) {
  GuidBytes bytes;
  std::memcpy(bytes.data(), &guid, sizeof guid);
  return bytes;
}

// The first fields of every record: style, offset, length, number, RewritePartition.
Record CommonRecord(DWORD style, LONGLONG start, LONGLONG length, DWORD number) {
  Record r{};
  Put(r, 0, style, 4);
  Put(r, 8, static_cast<std::uint64_t>(start), 8);
  Put(r, 16, static_cast<std::uint64_t>(length), 8);
  Put(r, 24, number, 4);
  r[28] = 1;
  return r;
}

Record MbrRecord(LONGLONG start, LONGLONG length, DWORD number, BYTE type, bool active,
                 DWORD hiddenSectors) {
  Record r = CommonRecord(0, start, length, number);
  r[32] = type;
  r[33] = active ? 1 : 0;
  r[34] = 1;
  Put(r, 36, hiddenSectors, 4);
  return r;
}

Record GptRecord(LONGLONG start, LONGLONG length, DWORD number, const GuidBytes& type,
                 const GUID& id, std::uint64_t attributes, std::string_view name) {
  Record r = CommonRecord(1, start, length, number);
  PutBytes(r, 32, type.data(), 16);
  PutBytes(r, 48, &id, 16);
  Put(r, 64, attributes, 8);
  for (std::size_t i = 0; i < name.size(); ++i) r[72 + 2 * i] = static_cast<BYTE>(name[i]);
  return r;
}

Record EntryBytes(const LayoutBuffer& buffer, std::size_t i) {
  Record r;
  std::memcpy(r.data(), buffer.bytes + 48 + 144 * i, r.size());
  return r;
}

std::array<BYTE, 48> HeaderBytes(const LayoutBuffer& buffer) {
  std::array<BYTE, 48> h;
  std::memcpy(h.data(), buffer.bytes, h.size());
  return h;
}

// Nothing from entry `first` to the end of the buffer.
bool ZeroFromEntry(const LayoutBuffer& buffer, std::size_t first) {
  for (std::size_t i = 48 + 144 * first; i < sizeof buffer.bytes; ++i) {
    if (buffer.bytes[i] != 0) return false;
  }
  return true;
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool IsZero(const GUID& guid) { return SameGuid(guid, GUID{}); }

std::unique_ptr<LayoutBuffer> Filled(LayoutPlan& plan, int stage) {
  auto buffer = std::make_unique<LayoutBuffer>();
  std::memset(buffer->bytes, 0xCC, sizeof buffer->bytes);  // stale content must not survive
  FillStageLayout(plan, stage, *buffer);
  return buffer;
}

// ---- Size check ---------------------------------------------------------------------------------

TEST(PartitionLayoutSizeCheckTest, MBRAcceptsTheExactLayoutSizeAndNotOneByteLess) {
  EXPECT_TRUE(PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 512).Accepted);
  EXPECT_FALSE(PlanDiskLayout(1000, 100, true, kExampleEnd - 1, kExampleEnd - 1, 512).Accepted);
  EXPECT_EQ(PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 512).Check, SizeCheck::Fits);
  EXPECT_EQ(PlanDiskLayout(1000, 100, true, kExampleEnd - 1, kExampleEnd - 1, 512).Check,
            SizeCheck::DiskTooSmall);
  // The trailing sectors do not matter on MBR, whatever their size.
  EXPECT_EQ(PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 4096).Check, SizeCheck::Fits);
}

TEST(PartitionLayoutSizeCheckTest, GptKeepsTheBackupTableAtTheDevicesTrueEndFree) {
  // The backup table: a header sector and 16 KiB of entries, 33 sectors of 512 bytes, 5 of 4096.
  for (const auto& [sector, backupSectors] : {std::pair{512u, 33}, std::pair{4096u, 5}}) {
    SCOPED_TRACE(sector);
    const LONGLONG minimum = kExampleEnd + backupSectors * LONGLONG{sector};
    // The geometry size may equal the layout's end when the device goes on beyond it.
    EXPECT_EQ(PlanDiskLayout(1000, 100, false, kExampleEnd, minimum, sector).Check, SizeCheck::Fits);
    EXPECT_EQ(PlanDiskLayout(1000, 100, false, kExampleEnd, minimum - 1, sector).Check,
              SizeCheck::ReachesBackupTable);
    EXPECT_EQ(PlanDiskLayout(1000, 100, false, minimum, minimum, sector).Check, SizeCheck::Fits);
    EXPECT_EQ(PlanDiskLayout(1000, 100, false, kExampleEnd, kExampleEnd, sector).Check,
              SizeCheck::ReachesBackupTable);
    EXPECT_EQ(PlanDiskLayout(1000, 100, false, kExampleEnd - 1, minimum, sector).Check,
              SizeCheck::DiskTooSmall);
  }
}

TEST(PartitionLayoutSizeCheckTest, MBRRefusesAPartitionEndingPast32BitSectorCounts) {
  constexpr LONGLONG kDisk = LONGLONG{3000000} * kMiB;
  // The FAT32 partition ends at (NTFS + FAT32 + 2) MiB; 2^32 sectors of 512 bytes are 2 TiB.
  constexpr LONGLONG kReachMB = (LONGLONG{1} << 32) * 512 / kMiB;
  EXPECT_EQ(PlanDiskLayout(kReachMB - 102, 100, true, kDisk, kDisk, 512).Check, SizeCheck::Fits);
  EXPECT_EQ(PlanDiskLayout(kReachMB - 101, 100, true, kDisk, kDisk, 512).Check,
            SizeCheck::BeyondMbrReach);
  EXPECT_FALSE(PlanDiskLayout(kReachMB - 101, 100, true, kDisk, kDisk, 512).Accepted);
  // With 4096-byte sectors the same layout is well within reach; GPT has no such bound.
  EXPECT_EQ(PlanDiskLayout(kReachMB - 101, 100, true, kDisk, kDisk, 4096).Check, SizeCheck::Fits);
  EXPECT_EQ(PlanDiskLayout(kReachMB - 101, 100, false, kDisk, kDisk, 512).Check, SizeCheck::Fits);
}

TEST(PartitionLayoutSizeCheckTest, RefusesEmptyOrNegativeSizesThatTheSumWouldHide) {
  // A negative NTFS size still passes (N + F + 4) MB <= disk size.
  EXPECT_EQ(PlanDiskLayout(-54, 100, true, 50 * kMiB, 50 * kMiB, 512).Check, SizeCheck::BadInput);
  EXPECT_EQ(PlanDiskLayout(0, 100, true, kExampleEnd, kExampleEnd, 512).Check, SizeCheck::BadInput);
  EXPECT_EQ(PlanDiskLayout(1000, 0, false, kExampleEnd, kExampleEnd, 512).Check, SizeCheck::BadInput);
  EXPECT_EQ(PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 0).Check, SizeCheck::BadInput);
  EXPECT_EQ(PlanDiskLayout(1, 1, true, 6 * kMiB, 6 * kMiB, 512).Check, SizeCheck::Fits);
}

TEST(PartitionLayoutSizeCheckTest, SizesBeyond64BitsAreTooLargeForAnyDisk) {
  constexpr LONGLONG kMax = std::numeric_limits<LONGLONG>::max();
  EXPECT_EQ(PlanDiskLayout(kMax, 100, true, kMax, kMax, 512).Check, SizeCheck::DiskTooSmall);
  EXPECT_EQ(PlanDiskLayout(100, kMax, false, kMax, kMax, 512).Check, SizeCheck::DiskTooSmall);
  EXPECT_EQ(PlanDiskLayout(kMax / kMiB - 4, 1, true, kMax, kMax, 512).Check, SizeCheck::DiskTooSmall);
  EXPECT_EQ(PlanDiskLayout(kMax / kMiB - 5, 1, false, kMax, kMax, 512).Check, SizeCheck::Fits);
}

TEST(PartitionLayoutSizeCheckTest, RefusedPlanFillsOnlyZeros) {
  LayoutPlan plan = PlanDiskLayout(1000, 100, false, kExampleEnd, kExampleEnd, 512);
  ASSERT_FALSE(plan.Accepted);
  EXPECT_TRUE(ZeroFromEntry(*Filled(plan, 3), 0));
  EXPECT_TRUE(HeaderBytes(*Filled(plan, 1)) == (std::array<BYTE, 48>{}));
  LayoutPlan accepted = PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 512);
  EXPECT_TRUE(ZeroFromEntry(*Filled(accepted, 4), 0));  // no such stage
  EXPECT_TRUE(HeaderBytes(*Filled(accepted, 0)) == (std::array<BYTE, 48>{}));
}

// ---- MBR ----------------------------------------------------------------------------------------

TEST(PartitionLayoutTest, MBRWorkedExampleByteForByte) {
  LayoutPlan plan = PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 512);
  ASSERT_TRUE(plan.Accepted);
  const Record ntfs = MbrRecord(kMiB, 1000 * kMiB, 1, 0x07, false, 2048);
  const Record fat32 = MbrRecord(1002 * kMiB, 100 * kMiB, 1, 0x0C, true, 1002 * 2048);
  Record finalFat32 = fat32;
  Put(finalFat32, 24, 2, 4);
  std::array<BYTE, 48> header{};
  Put(header, 4, 4, 4);  // style MBR 0, four entries, signature 0

  const auto stage1 = Filled(plan, 1);
  EXPECT_EQ(HeaderBytes(*stage1), header);
  EXPECT_EQ(EntryBytes(*stage1, 0), ntfs);
  EXPECT_TRUE(ZeroFromEntry(*stage1, 1));

  const auto stage2 = Filled(plan, 2);
  EXPECT_EQ(HeaderBytes(*stage2), header);
  EXPECT_EQ(EntryBytes(*stage2, 0), fat32);
  EXPECT_TRUE(ZeroFromEntry(*stage2, 1));

  const auto stage3 = Filled(plan, 3);
  EXPECT_EQ(HeaderBytes(*stage3), header);
  EXPECT_EQ(EntryBytes(*stage3, 0), ntfs);
  EXPECT_EQ(EntryBytes(*stage3, 1), finalFat32);
  EXPECT_TRUE(ZeroFromEntry(*stage3, 2));  // entries 2 and 3 are empty, PartitionType 0
}

TEST(PartitionLayoutTest, HiddenSectorsCountInTheDisksSectorSize) {
  const LayoutPlan plan = PlanDiskLayout(1000, 100, true, kExampleEnd, kExampleEnd, 4096);
  EXPECT_EQ(plan.Ntfs.Mbr.HiddenSectors, 256u);
  EXPECT_EQ(plan.Fat32.Mbr.HiddenSectors, 1002u * 256u);
}

// ---- GPT ----------------------------------------------------------------------------------------

TEST(PartitionLayoutTest, GptWorkedExampleByteForByte) {
  const LONGLONG disk = 2000 * kMiB;
  LayoutPlan plan = PlanDiskLayout(1000, 100, false, disk, disk, 512);
  ASSERT_TRUE(plan.Accepted);
  std::array<BYTE, 48> header{};
  Put(header, 0, 1, 4);
  Put(header, 4, 1, 4);
  PutBytes(header, 8, &plan.Header.DiskId, 16);
  Put(header, 24, 17408, 8);
  Put(header, 32, static_cast<std::uint64_t>(disk - 34304), 8);
  Put(header, 40, 128, 4);
  std::array<BYTE, 48> finalHeader = header;
  Put(finalHeader, 4, 3, 4);

  const Record ntfs = GptRecord(kMiB, 1000 * kMiB, 1, kBasicDataBytes,
                                plan.Ntfs.Gpt.PartitionId, 0, "Microsoft Basic Data");
  const Record fat32 = GptRecord(1002 * kMiB, 100 * kMiB, 1, kEfiSystemBytes,
                                 plan.Fat32.Gpt.PartitionId, 0, "EFI System Partition");
  Record finalFat32 = fat32;
  Put(finalFat32, 24, 2, 4);

  const auto stage1 = Filled(plan, 1);
  EXPECT_EQ(HeaderBytes(*stage1), header);
  EXPECT_EQ(EntryBytes(*stage1, 0), ntfs);
  EXPECT_TRUE(ZeroFromEntry(*stage1, 1));

  const auto stage2 = Filled(plan, 2);
  EXPECT_EQ(HeaderBytes(*stage2), header);
  EXPECT_EQ(EntryBytes(*stage2, 0), fat32);
  EXPECT_TRUE(ZeroFromEntry(*stage2, 1));

  const auto stage3 = Filled(plan, 3);
  const Record biosBoot = GptRecord(1103 * kMiB, kMiB, 3, kBiosBootBytes,
                                    plan.BiosBoot.Gpt.PartitionId, 0x4000000000000000,
                                    "BIOS boot partition");
  EXPECT_EQ(HeaderBytes(*stage3), finalHeader);
  EXPECT_EQ(EntryBytes(*stage3, 0), ntfs);
  EXPECT_EQ(EntryBytes(*stage3, 1), finalFat32);
  EXPECT_EQ(EntryBytes(*stage3, 2), biosBoot);
  EXPECT_TRUE(ZeroFromEntry(*stage3, 3));
  EXPECT_EQ(plan.BiosBoot.StartingOffset.QuadPart + plan.BiosBoot.PartitionLength.QuadPart,
            kExampleEnd);
}

TEST(PartitionLayoutTest, ClearedRegions) {
  for (const bool mbr : {true, false}) {
    SCOPED_TRACE(mbr);
    const LayoutPlan plan = PlanDiskLayout(1000, 100, mbr, 2000 * kMiB, 2000 * kMiB, 512);
    EXPECT_EQ(plan.ClearBeforeStage1.Offset, 0);
    EXPECT_EQ(plan.ClearBeforeStage1.Length, 4096);
    // MBR: the first MiB, up to where NTFS starts; GPT: the BIOS boot partition.
    EXPECT_EQ(plan.ClearBeforeStage3.Offset, mbr ? 0 : 1103 * kMiB);
    EXPECT_EQ(plan.ClearBeforeStage3.Length, kMiB);
  }
}

TEST(PartitionLayoutTest, GptUsableAreaCountsInTheDisksSectorSize) {
  const LONGLONG disk = 2000 * kMiB;
  const LayoutPlan plan = PlanDiskLayout(1000, 100, false, disk, disk, 4096);
  EXPECT_EQ(plan.Header.StartingUsableOffset, 139264);
  EXPECT_EQ(plan.Header.UsableLength, disk - 67 * 4096);
}

TEST(PartitionLayoutTest, GptIdentifiersBelongToOnePlan) {
  LayoutPlan first = PlanDiskLayout(1000, 100, false, 2000 * kMiB, 2000 * kMiB, 512);
  const GUID disk = first.Header.DiskId;
  const GUID ntfs = first.Ntfs.Gpt.PartitionId;
  const GUID fat32 = first.Fat32.Gpt.PartitionId;
  EXPECT_TRUE(IsZero(first.BiosBoot.Gpt.PartitionId));  // made only with stage 3

  for (const int stage : {1, 2, 3}) {
    const auto buffer = Filled(first, stage);
    EXPECT_TRUE(SameGuid(buffer->get()->Gpt.DiskId, disk));
  }
  const auto stage3 = Filled(first, 3);
  EXPECT_TRUE(SameGuid(stage3->entry(0)->Gpt.PartitionId, ntfs));
  EXPECT_TRUE(SameGuid(stage3->entry(1)->Gpt.PartitionId, fat32));
  const GUID biosBoot = first.BiosBoot.Gpt.PartitionId;
  EXPECT_TRUE(SameGuid(stage3->entry(2)->Gpt.PartitionId, biosBoot));

  for (const GUID& guid : {disk, ntfs, fat32, biosBoot}) EXPECT_FALSE(IsZero(guid));
  EXPECT_FALSE(SameGuid(disk, ntfs));
  EXPECT_FALSE(SameGuid(ntfs, fat32));
  EXPECT_FALSE(SameGuid(fat32, biosBoot));

  const LayoutPlan next = PlanDiskLayout(1000, 100, false, 2000 * kMiB, 2000 * kMiB, 512);
  EXPECT_FALSE(SameGuid(next.Header.DiskId, disk));
  EXPECT_FALSE(SameGuid(next.Ntfs.Gpt.PartitionId, ntfs));
}

// ---- GUID text ----------------------------------------------------------------------------------

TEST(PartitionLayoutGuidTest, RegistryTextGivesThePlatformByteOrder) {
  const auto basic = ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");
  ASSERT_TRUE(basic);
  EXPECT_EQ(BytesOf(*basic), kBasicDataBytes);
  EXPECT_EQ(basic->Data1, 0xebd0a0a2u);
  EXPECT_EQ(basic->Data2, 0xb9e5u);
  const auto bios = ParseGuidText("{21686148-6449-6E6F-744E-656564454649}");  // upper case
  ASSERT_TRUE(bios);
  EXPECT_EQ(BytesOf(*bios), kBiosBootBytes);
}

TEST(PartitionLayoutGuidTest, RejectsAnythingButTheRegistryForm) {
  EXPECT_FALSE(ParseGuidText("ebd0a0a2-b9e5-4433-87c0-68b6b72699c7"));
  EXPECT_FALSE(ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c}"));
  EXPECT_FALSE(ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c77}"));
  EXPECT_FALSE(ParseGuidText("{ebd0a0a2b-9e5-4433-87c0-68b6b72699c7}"));
  EXPECT_FALSE(ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699cg}"));
  EXPECT_FALSE(ParseGuidText("(ebd0a0a2-b9e5-4433-87c0-68b6b72699c7)"));
}

}  // namespace
