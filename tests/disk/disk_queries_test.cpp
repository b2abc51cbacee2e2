// The pure parts of the disk queries: size texts, boot-sector identifiers, geometry sizes.
#include "disk/disk_queries.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>

namespace {

TEST(FormatByteSizeTest, UnitsChangeOnlyAboveEachBoundary) {
  EXPECT_EQ(FormatByteSize(0, "."), " bytes");  // a zero integer part prints no digit
  EXPECT_EQ(FormatByteSize(1024, "."), "1024 bytes");
  EXPECT_EQ(FormatByteSize(1025, "."), "1 KB");
  EXPECT_EQ(FormatByteSize(1048576, "."), "1024 KB");
  EXPECT_EQ(FormatByteSize(1073741824, "."), "1024 MB");
  EXPECT_EQ(FormatByteSize(1073741825, "."), "1 GB");
  EXPECT_EQ(FormatByteSize(std::numeric_limits<LONGLONG>::max(), "."), "8589934592 GB");
}

TEST(FormatByteSizeTest, AtMostTwoFractionDigitsRoundedWithoutTrailingZeros) {
  const LONGLONG oneAndAHalfGiB = 3 * (LONGLONG{1} << 29);
  EXPECT_EQ(FormatByteSize(oneAndAHalfGiB, "."), "1.5 GB");
  EXPECT_EQ(FormatByteSize(oneAndAHalfGiB, ","), "1,5 GB");
  EXPECT_EQ(FormatByteSize(1280, "."), "1.25 KB");
  EXPECT_EQ(FormatByteSize(2047, "."), "2 KB");        // 1.999
  EXPECT_EQ(FormatByteSize(1152, "."), "1.13 KB");     // 1.125, a tie, rounds up
  EXPECT_EQ(FormatByteSize(1029, "."), "1 KB");        // 1.00488: the separator goes too
  EXPECT_EQ(FormatByteSize(1048575, "."), "1024 KB");  // 1023.999 carries into the integer
}

class BootSectorTest : public testing::Test {
 protected:
  void PutText(std::size_t at, const char* text) {
    std::memcpy(sector_.data() + at, text, std::strlen(text));
  }
  void Put(std::size_t at, ULONGLONG value, int bytes) {
    for (int i = 0; i < bytes; ++i) sector_[at + i] = static_cast<BYTE>(value >> (8 * i));
  }
  bool Decide() { return VolumeUuidFromBootSector(sector_, uuid_); }

  std::array<BYTE, kBootSectorReadSize> sector_{};
  std::string uuid_ = "untouched";
};

TEST_F(BootSectorTest, NtfsGivesSixteenDigitsWithLeadingZeros) {
  PutText(3, "NTFS    ");
  Put(72, 0x00A1B2C3D4E5F607ull, 8);
  ASSERT_TRUE(Decide());
  EXPECT_EQ(uuid_, "00A1B2C3D4E5F607");
}

TEST_F(BootSectorTest, ExfatAndFat32GiveTwoGroupsHighHalfFirst) {
  PutText(3, "EXFAT   ");
  Put(100, 0x1A2B3C4D, 4);
  ASSERT_TRUE(Decide());
  EXPECT_EQ(uuid_, "1A2B-3C4D");

  sector_.fill(0);
  PutText(3, "MSWIN4.1");
  PutText(82, "FAT32   ");
  Put(67, 0x0000BEEF, 4);
  ASSERT_TRUE(Decide());
  EXPECT_EQ(uuid_, "0000-BEEF");
}

TEST_F(BootSectorTest, OffsetThreeIsDecidedBeforeOffsetEightyTwo) {
  PutText(82, "FAT32   ");
  Put(67, 0x11112222, 4);
  Put(100, 0x33334444, 4);
  Put(72, 0x5555666677778888ull, 8);
  PutText(3, "EXFAT   ");
  ASSERT_TRUE(Decide());
  EXPECT_EQ(uuid_, "3333-4444");
  PutText(3, "NTFS    ");
  ASSERT_TRUE(Decide());
  EXPECT_EQ(uuid_, "5555666677778888");
}

TEST_F(BootSectorTest, LowerCaseNamesFat16AndBlankSectorsAreNotRecognised) {
  EXPECT_FALSE(Decide());
  PutText(3, "exfat   ");
  EXPECT_FALSE(Decide());
  PutText(82, "fat32   ");
  EXPECT_FALSE(Decide());
  PutText(3, "MSDOS5.0");
  PutText(54, "FAT16   ");  // where FAT12/16 keep their type text
  EXPECT_FALSE(Decide());
  EXPECT_EQ(uuid_, "untouched");
}

TEST(GeometryDiskSizeTest, ProductsBeyondThirtyTwoBits) {
  DISK_GEOMETRY geometry{};
  geometry.Cylinders.QuadPart = 243201;  // 2 TB
  geometry.TracksPerCylinder = 255;
  geometry.SectorsPerTrack = 63;
  geometry.BytesPerSector = 512;
  EXPECT_EQ(GeometryDiskSize(geometry), 2000396321280);
  // The last three factors alone overflow 32 bits.
  geometry.Cylinders.QuadPart = 1;
  geometry.TracksPerCylinder = 65536;
  geometry.SectorsPerTrack = 65536;
  EXPECT_EQ(GeometryDiskSize(geometry), LONGLONG{1} << 41);
}

TEST(DiskPathTest, PathFormsOfDisksAndVolumes) {
  EXPECT_EQ(PhysicalDrivePath(12), "\\\\.\\PHYSICALDRIVE12");
  EXPECT_EQ(VolumePath("E:"), "\\\\.\\E:");
  EXPECT_EQ(VolumeGuidName("\\\\?\\Volume{6b1c4f10-0c7e-11ef-9a4b-806e6f6e6963}\\"),
            "Volume{6b1c4f10-0c7e-11ef-9a4b-806e6f6e6963}");
}

}  // namespace
