// The emulated disk driver's partition tables, checked against sfdisk and sgdisk: what we write
// they must read the same way, and what they write we must read as Windows would.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/emulated/guid_text.h"
#include "platform/emulated/partition_table.h"

namespace {

constexpr LONGLONG kMiB = 1024 * 1024;
constexpr char kEspType[] = "c12a7328-f81f-11d2-ba4b-00a0c93ec93b";
constexpr char kDataType[] = "ebd0a0a2-b9e5-4433-87c0-68b6b72699c7";

GUID Guid(const char* text) { return *emu::ParseGuid(text); }

// The tools live in /usr/sbin, which a test runner's PATH may lack.
std::string Tool(const char* name) {
  for (const char* dir : {"/usr/sbin/", "/sbin/", "/usr/bin/"}) {
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return std::string(dir) + name;
  }
  return {};
}

#define REQUIRE_TOOL(name)                                          \
  const std::string name = Tool(#name);                             \
  if (name.empty()) GTEST_SKIP() << #name " is not installed"

std::string Shell(const std::string& command, int* status = nullptr) {
  std::string output;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char chunk[4096];
  while (pipe != nullptr && std::fgets(chunk, sizeof chunk, pipe) != nullptr) output += chunk;
  const int rc = pipe != nullptr ? pclose(pipe) : -1;
  if (status != nullptr) *status = rc;
  return output;
}

struct Part {
  LONGLONG offset = 0;
  LONGLONG length = 0;
  BYTE type = 0;
  bool boot = false;
  const char* gptType = nullptr;
  const char* gptId = "00000000-0000-0000-0000-000000000000";
  std::u16string name;
  DWORD64 attributes = 0;
};

Part Mbr(LONGLONG offset, LONGLONG length, BYTE type, bool boot = false) {
  Part part;
  part.offset = offset;
  part.length = length;
  part.type = type;
  part.boot = boot;
  return part;
}

Part Gpt(LONGLONG offset, LONGLONG length, const char* type,
         const char* id = "00000000-0000-0000-0000-000000000000", std::u16string name = {},
         DWORD64 attributes = 0) {
  Part part;
  part.offset = offset;
  part.length = length;
  part.gptType = type;
  part.gptId = id;
  part.name = std::move(name);
  part.attributes = attributes;
  return part;
}

// A SET_DRIVE_LAYOUT_EX input as a caller builds it.
std::vector<BYTE> Layout(PARTITION_STYLE style, const std::vector<Part>& parts, DWORD signature = 0,
                         const char* diskId = "00000000-0000-0000-0000-000000000000",
                         DWORD maxCount = 128) {
  std::vector<BYTE> buffer(48 + parts.size() * 144);
  DRIVE_LAYOUT_INFORMATION_EX header{};
  header.PartitionStyle = style;
  header.PartitionCount = static_cast<DWORD>(parts.size());
  if (style == PARTITION_STYLE_MBR) {
    header.Mbr.Signature = signature;
  } else {
    header.Gpt.DiskId = Guid(diskId);
    header.Gpt.StartingUsableOffset.QuadPart = 512;  // ignored: Windows computes its own
    header.Gpt.UsableLength.QuadPart = 1;
    header.Gpt.MaxPartitionCount = maxCount;
  }
  std::memcpy(buffer.data(), &header, 48);
  for (std::size_t i = 0; i < parts.size(); ++i) {
    PARTITION_INFORMATION_EX entry{};
    entry.PartitionStyle = style;
    entry.StartingOffset.QuadPart = parts[i].offset;
    entry.PartitionLength.QuadPart = parts[i].length;
    entry.RewritePartition = TRUE;
    if (style == PARTITION_STYLE_MBR) {
      entry.Mbr.PartitionType = parts[i].type;
      entry.Mbr.BootIndicator = parts[i].boot;
    } else {
      if (parts[i].gptType != nullptr) entry.Gpt.PartitionType = Guid(parts[i].gptType);
      entry.Gpt.PartitionId = Guid(parts[i].gptId);
      entry.Gpt.Attributes = parts[i].attributes;
      std::copy_n(parts[i].name.begin(), std::min<std::size_t>(parts[i].name.size(), 36),
                  entry.Gpt.Name);
    }
    std::memcpy(buffer.data() + 48 + i * 144, &entry, 144);
  }
  return buffer;
}

struct Got {
  DRIVE_LAYOUT_INFORMATION_EX header{};
  std::vector<PARTITION_INFORMATION_EX> entries;
};

Got GetLayout(const emu::PartitionTable& table) {
  std::vector<BYTE> buffer(48 + 64 * 144);
  DWORD returned = 0;
  Got got;
  EXPECT_EQ(emu::FillDriveLayout(table, buffer.data(), static_cast<DWORD>(buffer.size()),
                                 &returned),
            ERROR_SUCCESS);
  std::memcpy(&got.header, buffer.data(), 48);
  EXPECT_EQ(returned, 48 + got.header.PartitionCount * 144);
  got.entries.resize(got.header.PartitionCount);
  for (std::size_t i = 0; i < got.entries.size(); ++i) {
    std::memcpy(&got.entries[i], buffer.data() + 48 + i * 144, 144);
  }
  return got;
}

class PartitionTableTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-partitions-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  // A sparse image and the geometry Windows would report for it (whole cylinders only).
  std::filesystem::path Image(ULONGLONG bytes, DWORD sector = 512) {
    path_ = directory_ / ("disk" + std::to_string(++images_) + ".img");
    const int fd = open(path_.c_str(), O_CREAT | O_RDWR, 0644);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(ftruncate(fd, static_cast<off_t>(bytes)), 0);
    close(fd);
    disk_ = std::make_unique<emu::DiskImage>(path_, bytes, sector);
    geometry_ = DISK_GEOMETRY{};
    geometry_.TracksPerCylinder = 255;
    geometry_.SectorsPerTrack = 63;
    geometry_.BytesPerSector = sector;
    geometry_.Cylinders.QuadPart = static_cast<LONGLONG>(bytes / (255 * 63 * sector));
    return path_;
  }
  DWORD Write(const std::vector<BYTE>& layout) {
    return emu::WriteDriveLayout(*disk_, geometry_, layout.data(),
                                 static_cast<DWORD>(layout.size()));
  }
  std::vector<BYTE> Bytes(ULONGLONG offset, std::size_t size) {
    std::vector<BYTE> bytes(size);
    EXPECT_TRUE(disk_->Read(offset, bytes.data(), size));
    return bytes;
  }
  std::string Contents() {
    std::ifstream in(path_, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
  }
  nlohmann::json Sfdisk(const std::string& sfdisk) {
    int status = 0;
    const std::string out = Shell(sfdisk + " --json " + path_.string(), &status);
    EXPECT_EQ(status, 0) << out;
    return nlohmann::json::parse(out, nullptr, false)["partitiontable"];
  }

  std::filesystem::path directory_;
  std::filesystem::path path_;
  std::unique_ptr<emu::DiskImage> disk_;
  DISK_GEOMETRY geometry_{};
  int images_ = 0;
};

TEST_F(PartitionTableTest, DiskImageIsBoundedAndSparse) {
  Image(1 * kMiB);
  const BYTE data[3] = {1, 2, 3};
  BYTE back[3] = {};
  EXPECT_TRUE(disk_->Write(kMiB - 3, data, 3));
  EXPECT_TRUE(disk_->Read(kMiB - 3, back, 3));
  EXPECT_EQ(std::memcmp(data, back, 3), 0);
  EXPECT_FALSE(disk_->Write(kMiB - 2, data, 3));
  EXPECT_FALSE(disk_->Read(kMiB, back, 1));
  EXPECT_FALSE(disk_->Read(~0ULL, back, 3));  // no wrap-around
  // An image file shorter than the disk reads as zeros beyond its end.
  emu::DiskImage longer(path_, 2 * kMiB, 512);
  back[0] = 9;
  EXPECT_TRUE(longer.Read(kMiB + 100, back, 1));
  EXPECT_EQ(back[0], 0);
  emu::DiskImage missing(directory_ / "none.img", kMiB, 512);
  EXPECT_FALSE(missing.Read(0, back, 1));
  EXPECT_EQ(emu::ReadPartitionTable(missing).style, PARTITION_STYLE_RAW);
}

TEST_F(PartitionTableTest, MbrWrittenIsWhatSfdiskReads) {
  REQUIRE_TOOL(sfdisk);
  Image(64 * kMiB);
  std::vector<BYTE> code(440, 0xC3);  // boot code must survive a new layout
  ASSERT_TRUE(disk_->Write(0, code.data(), code.size()));
  const std::vector<Part> parts = {Mbr(kMiB, 16 * kMiB, PARTITION_FAT32_XINT13, true),
                                   Mbr(17 * kMiB, 8 * kMiB, PARTITION_IFS),
                                   {},
                                   Mbr(40 * kMiB, 24 * kMiB - 512, 0x83)};
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_MBR, parts, 0x1234ABCD)), ERROR_SUCCESS);

  const nlohmann::json table = Sfdisk(sfdisk);
  EXPECT_EQ(table["label"], "dos");
  EXPECT_EQ(table["id"], "0x1234abcd");
  const nlohmann::json& found = table["partitions"];
  ASSERT_EQ(found.size(), 3u);
  const char* types[] = {"c", "7", "83"};
  const std::size_t slots[] = {0, 1, 3};
  for (std::size_t i = 0; i < 3; ++i) {
    const Part& part = parts[slots[i]];
    EXPECT_EQ(found[i]["node"], path_.string() + std::to_string(slots[i] + 1));
    EXPECT_EQ(found[i]["start"], part.offset / 512);
    EXPECT_EQ(found[i]["size"], part.length / 512);
    EXPECT_EQ(found[i]["type"], types[i]);
    EXPECT_EQ(found[i].value("bootable", false), part.boot);
  }
  EXPECT_EQ(Bytes(0, 440), code);
  // CHS of LBA 2048 on 255 heads × 63 sectors: cylinder 0, head 32, sector 33.
  const std::vector<BYTE> chs = {0x20, 0x21, 0x00};
  EXPECT_EQ(Bytes(446 + 1, 3), chs);

  const Got got = GetLayout(emu::ReadPartitionTable(*disk_));
  EXPECT_EQ(got.header.PartitionStyle, PARTITION_STYLE_MBR);
  EXPECT_EQ(got.header.Mbr.Signature, 0x1234ABCDu);
  ASSERT_EQ(got.entries.size(), 4u);
  EXPECT_EQ(got.entries[0].PartitionNumber, 1u);
  EXPECT_EQ(got.entries[0].Mbr.HiddenSectors, 2048u);
  EXPECT_TRUE(got.entries[0].Mbr.BootIndicator);
  EXPECT_TRUE(got.entries[1].Mbr.RecognizedPartition);
  EXPECT_FALSE(got.entries[1].RewritePartition);
  const PARTITION_INFORMATION_EX empty{};
  EXPECT_EQ(std::memcmp(&got.entries[2], &empty, sizeof empty), 0);
  EXPECT_EQ(got.entries[3].PartitionNumber, 3u);
  EXPECT_EQ(got.entries[3].PartitionLength.QuadPart, 24 * kMiB - 512);
  EXPECT_FALSE(got.entries[3].Mbr.RecognizedPartition);

  // A smaller layout replaces the whole table, not just its first slots.
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_MBR, {Mbr(2 * kMiB, kMiB, PARTITION_IFS)}, 1)),
            ERROR_SUCCESS);
  EXPECT_EQ(Sfdisk(sfdisk)["partitions"].size(), 1u);
  EXPECT_EQ(emu::ReadPartitionTable(*disk_).partitions.size(), 1u);
}

TEST_F(PartitionTableTest, GptWrittenIsWhatSfdiskAndSgdiskRead) {
  REQUIRE_TOOL(sfdisk);
  REQUIRE_TOOL(sgdisk);
  // Not a whole number of cylinders: the backup table still goes to the image's true end.
  Image(64 * kMiB + 7 * 512);
  const ULONGLONG sectors = disk_->SectorCount();
  const std::vector<Part> parts = {
      {},  // unused entries are skipped, not written
      Gpt(kMiB, 32 * kMiB, kEspType, "11111111-2222-3333-4444-555555555555", u"EFI system"),
      Gpt(33 * kMiB, static_cast<LONGLONG>(sectors - 33) * 512 - 33 * kMiB, kDataType,
       "aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee", u"Daten \u00e4\u00f6, exactly thirty-six units!!",
       0x8000000000000001)};
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_GPT, parts, 0, "01234567-89ab-cdef-0123-456789abcdef")),
            ERROR_SUCCESS);

  const nlohmann::json table = Sfdisk(sfdisk);
  EXPECT_EQ(table["label"], "gpt");
  EXPECT_EQ(table["id"], "01234567-89AB-CDEF-0123-456789ABCDEF");
  EXPECT_EQ(table["firstlba"], 34);
  EXPECT_EQ(table["lastlba"], sectors - 34);
  ASSERT_EQ(table["partitions"].size(), 2u);
  EXPECT_EQ(table["partitions"][0]["start"], 2048);
  EXPECT_EQ(table["partitions"][0]["size"], 65536);
  EXPECT_EQ(table["partitions"][0]["type"], "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(table["partitions"][0]["name"], "EFI system");
  EXPECT_EQ(table["partitions"][1]["uuid"], "AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");
  EXPECT_EQ(table["partitions"][1]["start"].get<ULONGLONG>() +
                table["partitions"][1]["size"].get<ULONGLONG>(),
            sectors - 33);

  EXPECT_NE(Shell(sgdisk + " -v " + path_.string()).find("No problems found"), std::string::npos)
      << Shell(sgdisk + " -v " + path_.string());
  const std::string second = Shell(sgdisk + " -i 2 " + path_.string());
  EXPECT_NE(second.find("Partition unique GUID: AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE"),
            std::string::npos)
      << second;
  EXPECT_NE(second.find("Attribute flags: 8000000000000001"), std::string::npos);
  EXPECT_NE(second.find("Partition name: 'Daten \u00e4\u00f6, exactly thirty-six units!!'"),
            std::string::npos)
      << second;

  const emu::PartitionTable read = emu::ReadPartitionTable(*disk_);
  EXPECT_FALSE(read.backupGpt);
  const Got got = GetLayout(read);
  EXPECT_EQ(got.header.PartitionStyle, PARTITION_STYLE_GPT);
  EXPECT_EQ(emu::GuidText(got.header.Gpt.DiskId), "{01234567-89ab-cdef-0123-456789abcdef}");
  EXPECT_EQ(got.header.Gpt.StartingUsableOffset.QuadPart, 34 * 512);
  EXPECT_EQ(got.header.Gpt.UsableLength.QuadPart, static_cast<LONGLONG>(sectors - 67) * 512);
  EXPECT_EQ(got.header.Gpt.MaxPartitionCount, 128u);
  ASSERT_EQ(got.entries.size(), 2u);
  EXPECT_EQ(got.entries[1].PartitionNumber, 2u);
  EXPECT_EQ(got.entries[1].PartitionStyle, PARTITION_STYLE_GPT);
  EXPECT_EQ(got.entries[1].Gpt.Attributes, 0x8000000000000001u);
  EXPECT_EQ(std::u16string(got.entries[0].Gpt.Name), u"EFI system");
  EXPECT_EQ(read.partitions[1].name.size(), 36u);
}

// sfdisk 2.38 has no --sector-size, and sgdisk takes 512-byte sectors for image files, so the
// 4096-byte layouts are checked here field by field against the on-disk formats.
TEST_F(PartitionTableTest, FourKibibyteSectors) {
  Image(64 * kMiB, 4096);
  const ULONGLONG last = disk_->SectorCount() - 1;
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_GPT,
                         {Gpt(6 * 4096, 4096, kEspType, "11111111-2222-3333-4444-555555555555"),
                          Gpt(kMiB, 8 * kMiB, kDataType, "21111111-2222-3333-4444-555555555555",
                           u"data")},
                         0, "31111111-2222-3333-4444-555555555555")),
            ERROR_SUCCESS);
  const std::vector<BYTE> header = Bytes(4096, 92);
  const std::vector<BYTE> backup = Bytes(last * 4096, 92);
  ASSERT_EQ(std::memcmp(header.data(), "EFI PART", 8), 0);
  ASSERT_EQ(std::memcmp(backup.data(), "EFI PART", 8), 0);
  auto u64 = [](const std::vector<BYTE>& b, std::size_t at) {
    ULONGLONG v = 0;
    std::memcpy(&v, b.data() + at, 8);
    return v;
  };
  auto u32 = [](const std::vector<BYTE>& b, std::size_t at) {
    DWORD v = 0;
    std::memcpy(&v, b.data() + at, 4);
    return v;
  };
  EXPECT_EQ(u64(header, 40), 6u);  // 2 + 16 KiB of entries in 4 sectors
  EXPECT_EQ(u64(header, 48), last - 5);
  EXPECT_EQ(u64(header, 32), last);
  EXPECT_EQ(u64(backup, 24), last);
  EXPECT_EQ(u64(backup, 72), last - 4);
  std::vector<BYTE> zeroed = header;
  std::memset(zeroed.data() + 16, 0, 4);
  EXPECT_EQ(crc32(0, zeroed.data(), 92), u32(header, 16));
  const std::vector<BYTE> entries = Bytes(2 * 4096, 128 * 128);
  EXPECT_EQ(crc32(0, entries.data(), 128 * 128), u32(header, 88));
  EXPECT_EQ(Bytes(last * 4096 - 4 * 4096, 128 * 128), entries);
  const std::vector<BYTE> mbr = Bytes(0, 512);
  EXPECT_EQ(mbr[446 + 4], 0xEE);
  EXPECT_EQ(u32(mbr, 446 + 8), 1u);
  EXPECT_EQ(u32(mbr, 446 + 12), last);
  EXPECT_EQ(mbr[510], 0x55);

  emu::PartitionTable gpt = emu::ReadPartitionTable(*disk_);
  ASSERT_EQ(gpt.style, PARTITION_STYLE_GPT);
  EXPECT_EQ(gpt.usableOffset, 6 * 4096);
  ASSERT_EQ(gpt.partitions.size(), 2u);
  EXPECT_EQ(gpt.partitions[1].offset, kMiB);
  EXPECT_EQ(gpt.partitions[1].length, 8 * kMiB);
  EXPECT_EQ(gpt.partitions[1].name, u"data");
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_GPT, {Gpt(5 * 4096, 4096, kDataType)})),
            ERROR_INVALID_PARAMETER);  // inside the entry array
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_GPT, {Gpt(kMiB + 512, 4096, kDataType)})),
            ERROR_INVALID_PARAMETER);  // 512-aligned is not sector-aligned here

  ASSERT_EQ(Write(Layout(PARTITION_STYLE_MBR, {Mbr(kMiB, 32 * kMiB, PARTITION_HUGE, true)}, 7)),
            ERROR_SUCCESS);
  EXPECT_EQ(u32(Bytes(0, 512), 446 + 8), 256u);
  EXPECT_EQ(u32(Bytes(0, 512), 446 + 12), 8192u);
  const emu::PartitionTable mbrTable = emu::ReadPartitionTable(*disk_);
  ASSERT_EQ(mbrTable.style, PARTITION_STYLE_MBR);
  ASSERT_EQ(mbrTable.partitions.size(), 1u);
  EXPECT_EQ(mbrTable.partitions[0].offset, kMiB);
  EXPECT_EQ(mbrTable.partitions[0].length, 32 * kMiB);
  EXPECT_EQ(mbrTable.signature, 7u);
}

TEST_F(PartitionTableTest, ConvertingToMbrWipesBothGptHeaders) {
  REQUIRE_TOOL(sgdisk);
  Image(16 * kMiB);
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_GPT, {Gpt(kMiB, kMiB, kDataType, kEspType)})),
            ERROR_SUCCESS);
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_MBR, {Mbr(kMiB, 2 * kMiB, PARTITION_FAT32)}, 5)),
            ERROR_SUCCESS);
  EXPECT_EQ(Bytes(512, 512), std::vector<BYTE>(512, 0));
  EXPECT_EQ(Bytes(16 * kMiB - 512, 512), std::vector<BYTE>(512, 0));
  EXPECT_EQ(emu::ReadPartitionTable(*disk_).style, PARTITION_STYLE_MBR);
  EXPECT_NE(Shell(sgdisk + " -p " + path_.string()).find("Found invalid GPT and valid MBR"), std::string::npos)
      << Shell(sgdisk + " -p " + path_.string());
}

TEST_F(PartitionTableTest, ProtectiveEntryStopsAt32Bits) {
  REQUIRE_TOOL(sgdisk);
  Image(3 * 1024 * 1024 * kMiB);  // 3 TiB, sparse
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_GPT,
                         {Gpt(kMiB, 2500LL * 1024 * kMiB, kDataType, kEspType)})),
            ERROR_SUCCESS);
  std::vector<BYTE> mbr = Bytes(0, 512);
  DWORD count = 0;
  std::memcpy(&count, mbr.data() + 446 + 12, 4);
  EXPECT_EQ(count, 0xFFFFFFFFu);
  const std::vector<BYTE> endChs = {0xFF, 0xFF, 0xFF};
  EXPECT_EQ(std::vector<BYTE>(mbr.begin() + 446 + 5, mbr.begin() + 446 + 8), endChs);
  EXPECT_NE(Shell(sgdisk + " -v " + path_.string()).find("No problems found"), std::string::npos);
  // MBR entries cannot describe it.
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_MBR, {Mbr(kMiB, 2500LL * 1024 * kMiB, PARTITION_IFS)})),
            ERROR_INVALID_PARAMETER);
}

TEST_F(PartitionTableTest, RefusedLayoutsLeaveTheImageAlone) {
  Image(16 * kMiB);
  ASSERT_EQ(Write(Layout(PARTITION_STYLE_GPT, {Gpt(kMiB, kMiB, kDataType, kEspType)})),
            ERROR_SUCCESS);
  const std::string before = Contents();
  const LONGLONG end = 16 * kMiB;
  const std::vector<std::vector<Part>> badMbr = {
      {Mbr(kMiB, 0, PARTITION_IFS)},
      {Mbr(-512, kMiB, PARTITION_IFS)},
      {Mbr(0, kMiB, PARTITION_IFS)},  // over the MBR itself
      {Mbr(kMiB + 1, kMiB, PARTITION_IFS)},
      {Mbr(kMiB, kMiB + 100, PARTITION_IFS)},
      {Mbr(end - kMiB, kMiB + 512, PARTITION_IFS)},
      {Mbr(kMiB, 2 * kMiB, PARTITION_IFS), {}, Mbr(2 * kMiB, kMiB, PARTITION_FAT32)},
      {{}, {}, {}, {}, Mbr(kMiB, kMiB, PARTITION_IFS)},  // a logical drive
  };
  for (const auto& parts : badMbr) {
    EXPECT_EQ(Write(Layout(PARTITION_STYLE_MBR, parts)), ERROR_INVALID_PARAMETER)
        << parts.size() << " " << parts[0].offset << " " << parts[0].length;
  }
  const std::vector<std::vector<Part>> badGpt = {
      {Gpt(33 * 512, kMiB, kDataType)},
      {Gpt(kMiB, end - kMiB - 33 * 512 + 512, kDataType)},
      {Gpt(kMiB, 2 * kMiB, kDataType), Gpt(2 * kMiB, kMiB, kEspType)},
      {Gpt(kMiB, -kMiB, kDataType)},
  };
  for (const auto& parts : badGpt) {
    EXPECT_EQ(Write(Layout(PARTITION_STYLE_GPT, parts)), ERROR_INVALID_PARAMETER);
  }
  std::vector<Part> many(129);
  for (std::size_t i = 0; i < many.size(); ++i) {
    many[i] = Gpt(kMiB + static_cast<LONGLONG>(i) * 4096, 4096, kDataType);
  }
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_GPT, many)), ERROR_INVALID_PARAMETER);
  many.resize(3);
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_GPT, many, 0, kEspType, 2)), ERROR_INVALID_PARAMETER);

  std::vector<BYTE> raw = Layout(PARTITION_STYLE_MBR, {});
  raw[0] = PARTITION_STYLE_RAW;
  EXPECT_EQ(Write(raw), ERROR_INVALID_PARAMETER);
  raw[0] = 7;
  EXPECT_EQ(Write(raw), ERROR_INVALID_PARAMETER);
  std::vector<BYTE> short_ = Layout(PARTITION_STYLE_MBR, {Mbr(kMiB, kMiB, PARTITION_IFS)});
  short_.pop_back();
  EXPECT_EQ(Write(short_), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(emu::WriteDriveLayout(*disk_, geometry_, short_.data(), 47), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(emu::WriteDriveLayout(*disk_, geometry_, nullptr, 0), ERROR_INVALID_PARAMETER);
  EXPECT_TRUE(Contents() == before);

  // Lenient where Windows is: a count that is no multiple of 4, and adjacent partitions.
  EXPECT_EQ(Write(Layout(PARTITION_STYLE_MBR,
                         {Mbr(kMiB, kMiB, PARTITION_IFS), Mbr(2 * kMiB, end - 2 * kMiB, PARTITION_FAT32)})),
            ERROR_SUCCESS);
}

TEST_F(PartitionTableTest, GetLayoutNeedsRoomForEveryEntry) {
  Image(8 * kMiB);
  emu::PartitionTable table = emu::ReadPartitionTable(*disk_);
  ASSERT_EQ(table.style, PARTITION_STYLE_RAW);  // all zeros: no 0x55AA
  std::vector<BYTE> buffer(48 + 4 * 144, 0xAB);
  DWORD returned = 99;
  ASSERT_EQ(emu::FillDriveLayout(table, buffer.data(), 48, &returned), ERROR_SUCCESS);
  EXPECT_EQ(returned, 48u);
  DWORD header[2];
  std::memcpy(header, buffer.data(), sizeof header);
  EXPECT_EQ(header[0], 2u);
  EXPECT_EQ(header[1], 0u);
  EXPECT_EQ(emu::FillDriveLayout(table, buffer.data(), 47, &returned), ERROR_INSUFFICIENT_BUFFER);

  ASSERT_EQ(Write(Layout(PARTITION_STYLE_MBR, {Mbr(kMiB, kMiB, PARTITION_IFS)})), ERROR_SUCCESS);
  table = emu::ReadPartitionTable(*disk_);
  std::fill(buffer.begin(), buffer.end(), 0xAB);
  EXPECT_EQ(emu::FillDriveLayout(table, buffer.data(), 48 + 3 * 144, &returned),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(buffer, std::vector<BYTE>(buffer.size(), 0xAB));
  EXPECT_EQ(emu::FillDriveLayout(table, nullptr, 0, &returned), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(emu::FillDriveLayout(table, buffer.data(), 48 + 4 * 144, nullptr), ERROR_SUCCESS);
}

TEST_F(PartitionTableTest, ReadsSfdiskLogicalDrives) {
  REQUIRE_TOOL(sfdisk);
  for (int logicals : {1, 2}) {
    Image(64 * kMiB);
    const std::string node = path_.string();
    std::string script = "label: dos\nlabel-id: 0xCAFEF00D\n" + node +
                         "1: start=2048, size=20480, type=c, bootable\n" + node +
                         "2: start=22528, size=40960, type=5\n" + node + "5: size=10240, type=7\n";
    if (logicals == 2) script += node + "6: size=8192, type=83\n";
    const std::string scriptFile = (directory_ / "script").string();
    std::ofstream(scriptFile) << script;
    int status = 0;
    const std::string made = Shell(sfdisk + " -q " + path_.string() + " < " + scriptFile, &status);
    ASSERT_EQ(status, 0) << made;
    const nlohmann::json json = Sfdisk(sfdisk)["partitions"];

    const emu::PartitionTable table = emu::ReadPartitionTable(*disk_);
    const Got got = GetLayout(table);
    ASSERT_EQ(got.entries.size(), logicals == 1 ? 8u : 12u);
    EXPECT_EQ(got.header.Mbr.Signature, 0xCAFEF00Du);
    EXPECT_EQ(got.entries[0].PartitionNumber, 1u);
    EXPECT_TRUE(got.entries[0].Mbr.BootIndicator);
    EXPECT_EQ(got.entries[1].PartitionNumber, 0u);  // the extended container
    EXPECT_EQ(got.entries[1].Mbr.PartitionType, PARTITION_EXTENDED);
    EXPECT_EQ(got.entries[1].StartingOffset.QuadPart, 22528 * 512);
    // Logical drives: slot 0 of each EBR, numbered after the primaries, hidden sectors counted
    // from their EBR.
    for (int k = 0; k < logicals; ++k) {
      const PARTITION_INFORMATION_EX& logical = got.entries[4 + 4 * k];
      EXPECT_EQ(logical.PartitionNumber, 2u + k);
      EXPECT_EQ(logical.StartingOffset.QuadPart, json[2 + k]["start"].get<LONGLONG>() * 512);
      EXPECT_EQ(logical.PartitionLength.QuadPart, json[2 + k]["size"].get<LONGLONG>() * 512);
      EXPECT_EQ(logical.Mbr.HiddenSectors, 2048u);
    }
    EXPECT_EQ(got.entries[4].Mbr.PartitionType, PARTITION_IFS);
    EXPECT_TRUE(got.entries[4].Mbr.RecognizedPartition);
    if (logicals == 2) {
      const PARTITION_INFORMATION_EX& link = got.entries[5];
      EXPECT_EQ(link.PartitionNumber, 0u);
      EXPECT_TRUE(emu::ContainerMbrType(link.Mbr.PartitionType));
      EXPECT_EQ(link.StartingOffset.QuadPart, got.entries[8].StartingOffset.QuadPart - kMiB);
      EXPECT_FALSE(got.entries[8].Mbr.RecognizedPartition);
    }
    EXPECT_EQ(got.entries[logicals == 1 ? 5 : 9].Mbr.PartitionType, 0);
  }
}

TEST_F(PartitionTableTest, ReadsSgdiskGptAndFallsBackToTheBackup) {
  REQUIRE_TOOL(sgdisk);
  Image(32 * kMiB);
  const std::string made =
      Shell(sgdisk + " -o -U 01234567-0000-1111-2222-333333333333 -n 1:2048:+4M -t 1:EF00 "
                   "-c 1:'EFI system' -n 2:0:0 -t 2:0700 -c 2:Data "
                   "-u 2:AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE " +
          path_.string());
  const ULONGLONG sectors = disk_->SectorCount();
  auto check = [&](bool fromBackup) {
    const emu::PartitionTable table = emu::ReadPartitionTable(*disk_);
    ASSERT_EQ(table.style, PARTITION_STYLE_GPT) << made;
    EXPECT_EQ(table.backupGpt, fromBackup);
    EXPECT_EQ(emu::GuidText(table.diskId), "{01234567-0000-1111-2222-333333333333}");
    EXPECT_EQ(table.usableOffset, 34 * 512);
    EXPECT_EQ(table.usableLength, static_cast<LONGLONG>(sectors - 67) * 512);
    ASSERT_EQ(table.partitions.size(), 2u);
    EXPECT_EQ(table.partitions[0].name, u"EFI system");
    EXPECT_EQ(emu::GuidText(table.partitions[0].gptType), std::string("{") + kEspType + "}");
    EXPECT_EQ(table.partitions[0].offset, kMiB);
    EXPECT_EQ(table.partitions[0].length, 4 * kMiB);
    EXPECT_EQ(table.partitions[1].number, 2u);
    EXPECT_EQ(emu::GuidText(table.partitions[1].gptType), std::string("{") + kDataType + "}");
    EXPECT_EQ(emu::GuidText(table.partitions[1].gptId), "{aaaaaaaa-bbbb-cccc-dddd-eeeeeeeeeeee}");
  };
  check(false);

  const BYTE junk = 0x5A;
  ASSERT_TRUE(disk_->Write(512 + 40, &junk, 1));  // header CRC now wrong
  check(true);
  ASSERT_TRUE(disk_->Write(512 + 40, Bytes(sectors * 512 - 512 + 40, 1).data(), 1));
  check(false);
  ASSERT_TRUE(disk_->Write(1024 + 200, &junk, 1));  // entry array CRC now wrong
  check(true);

  // With both copies gone the disk is an MBR disk holding the protective entry.
  ASSERT_TRUE(disk_->Write(sectors * 512 - 512, &junk, 1));
  const emu::PartitionTable broken = emu::ReadPartitionTable(*disk_);
  EXPECT_EQ(broken.style, PARTITION_STYLE_MBR);
  ASSERT_EQ(broken.partitions.size(), 1u);
  EXPECT_EQ(broken.partitions[0].mbrType, 0xEE);
  EXPECT_EQ(broken.partitions[0].number, 1u);
}

TEST(PartitionTable, RecognizedTypes) {
  for (BYTE type : {0x01, 0x04, 0x05, 0x06, 0x07, 0x0B, 0x0C, 0x0E, 0x0F, 0x86, 0x87, 0xC7, 0x8C})
    EXPECT_TRUE(emu::RecognizedMbrType(type)) << int(type);
  for (BYTE type : {0x00, 0x27, 0x42, 0x46, 0x81, 0x82, 0x83, 0x85, 0xEE, 0xEF})
    EXPECT_FALSE(emu::RecognizedMbrType(type)) << int(type);
}

}  // namespace
