// Formatting a partition inside a disk image, checked by the file systems' own fsck tools and by
// the bytes around the partition.
#include "platform/emulated/volume_format.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/emulated/boot_sector.h"

namespace {

constexpr ULONGLONG kMiB = 1024 * 1024;
constexpr ULONGLONG kOffset = kMiB;

std::vector<BYTE> ReadAt(const std::filesystem::path& file, ULONGLONG at, std::size_t size) {
  std::vector<BYTE> bytes(size);
  std::ifstream in(file, std::ios::binary);
  in.seekg(static_cast<std::streamoff>(at));
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
  EXPECT_EQ(static_cast<std::size_t>(in.gcount()), size);
  return bytes;
}

void WriteAt(const std::filesystem::path& file, ULONGLONG at, const std::vector<BYTE>& bytes) {
  std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
  out.seekp(static_cast<std::streamoff>(at));
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good());
}

std::vector<BYTE> Pattern(std::size_t size, BYTE seed) {
  std::vector<BYTE> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<BYTE>(seed + i * 7 + (i >> 9));
  return bytes;
}

ULONGLONG Word(const std::vector<BYTE>& b, std::size_t at, int bytes) {
  ULONGLONG value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | b[at + i];
  return value;
}

// Runs a command with the sbin folders on PATH, its output collected.
int RunShell(const std::string& command, std::string* output = nullptr) {
  std::string full = "PATH=/usr/sbin:/sbin:$PATH " + command + " 2>&1";
  FILE* pipe = popen(full.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  char buffer[512];
  while (std::fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

class VolumeFormat : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-format-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    image_ = dir_ / "disk image.img";  // a space, as users' paths have
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // A sparse disk with a pattern just before and just after the partition, and old bytes inside.
  void MakeDisk(ULONGLONG length) {
    length_ = length;
    std::ofstream(image_).close();
    std::filesystem::resize_file(image_, kOffset + length + kMiB);
    WriteAt(image_, kOffset - 65536, Pattern(65536, 1));
    WriteAt(image_, kOffset + length, Pattern(65536, 2));
    WriteAt(image_, kOffset + length - 65536, Pattern(4096, 3));  // where no new metadata goes
    WriteAt(image_, kOffset, Pattern(4096, 4));
  }

  emu::FormatRequest Request(const std::string& fs, DWORD sector = 512) const {
    emu::FormatRequest r;
    r.image = image_;
    r.offset = kOffset;
    r.length = length_;
    r.sectorSize = sector;
    r.fileSystem = fs;
    return r;
  }

  void ExpectSurroundingsIntact() {
    EXPECT_EQ(ReadAt(image_, kOffset - 65536, 65536), Pattern(65536, 1));
    EXPECT_EQ(ReadAt(image_, kOffset + length_, 65536), Pattern(65536, 2));
    EXPECT_EQ(std::filesystem::file_size(image_), kOffset + length_ + kMiB);
  }

  // The partition on its own, for the tools that read a whole file as a volume.
  std::filesystem::path Extract() {
    const std::filesystem::path out = dir_ / "volume";
    std::ofstream(out).close();
    std::filesystem::resize_file(out, length_);
    // Only the image's data extents: reading gigabytes of holes would be slow.
    int in = open(image_.c_str(), O_RDONLY);
    int to = open(out.c_str(), O_WRONLY);
    std::vector<char> buffer(kMiB);
    const off_t end = static_cast<off_t>(kOffset + length_);
    for (off_t at = static_cast<off_t>(kOffset); at < end;) {
      const off_t data = lseek(in, at, SEEK_DATA);
      if (data < 0 || data >= end) break;
      const off_t hole = std::min(lseek(in, data, SEEK_HOLE), end);
      for (at = data; at < hole;) {
        const std::size_t chunk = static_cast<std::size_t>(std::min<off_t>(hole - at, kMiB));
        EXPECT_EQ(pread(in, buffer.data(), chunk, at), static_cast<ssize_t>(chunk));
        EXPECT_EQ(pwrite(to, buffer.data(), chunk, at - static_cast<off_t>(kOffset)),
                  static_cast<ssize_t>(chunk));
        at += static_cast<off_t>(chunk);
      }
    }
    close(in);
    close(to);
    return out;
  }

  std::vector<std::filesystem::path> FilesInDir() const {
    std::vector<std::filesystem::path> files;
    for (const auto& entry : std::filesystem::directory_iterator(dir_))
      files.push_back(entry.path());
    return files;
  }

  std::filesystem::path dir_;
  std::filesystem::path image_;
  ULONGLONG length_ = 0;
};

struct Case {
  const char* fs;  // as the caller spells it
  DWORD sector;
  ULONGLONG length;
  const char* recognised;
  const char* check;  // the fsck that must pass, given the volume's file
};

class VolumeFormatEach : public VolumeFormat, public testing::WithParamInterface<Case> {};

TEST_P(VolumeFormatEach, MakesAVolumeItsFsckAccepts) {
  const Case& c = GetParam();
  MakeDisk(c.length);
  emu::FormatRequest request = Request(c.fs, c.sector);
  request.label = "Boot Me";
  std::string error;
  ASSERT_TRUE(emu::FormatVolume(request, error)) << error;
  EXPECT_EQ(error, "");

  ExpectSurroundingsIntact();
  // Old bytes in the partition are gone, not merely overwritten where the tool wrote.
  EXPECT_EQ(ReadAt(image_, kOffset + length_ - 65536, 4096), std::vector<BYTE>(4096, 0));
  // Sparse: the new file system's metadata only.
  struct stat st {};
  ASSERT_EQ(stat(image_.c_str(), &st), 0);
  EXPECT_LT(static_cast<ULONGLONG>(st.st_blocks) * 512, std::max(length_ / 8, kMiB));
  EXPECT_EQ(FilesInDir().size(), 1u);  // no scratch file left behind

  const std::vector<BYTE> boot = ReadAt(image_, kOffset, 4096);
  const emu::BootSectorInfo info = emu::ReadBootSector(boot.data(), boot.size());
  EXPECT_EQ(info.fileSystem, c.recognised);
  EXPECT_EQ(info.bytesPerSector, c.sector);
  EXPECT_NE(emu::VolumeSerialNumber(info), 0u);
  const std::string fs = info.fileSystem;
  const ULONGLONG hidden = kOffset / c.sector;
  if (fs == "NTFS") {
    EXPECT_EQ(info.totalBytes, length_ - c.sector);  // the last sector holds the boot copy
    EXPECT_EQ(Word(boot, 28, 4), hidden);
    EXPECT_EQ(Word(boot, 24, 2), 63u);
    EXPECT_EQ(Word(boot, 26, 2), 255u);
    const std::vector<BYTE> copy = ReadAt(image_, kOffset + length_ - c.sector, c.sector);
    EXPECT_TRUE(std::equal(copy.begin(), copy.end(), boot.begin()));
  } else if (fs == "FAT32") {
    EXPECT_EQ(info.totalBytes, length_);
    EXPECT_EQ(Word(boot, 28, 4), hidden);
    EXPECT_EQ(Word(boot, 24, 2), 63u);
    EXPECT_EQ(Word(boot, 26, 2), 255u);
    EXPECT_EQ(info.label, "BOOT ME");  // upper case, as Windows writes FAT labels
  } else {
    EXPECT_EQ(info.totalBytes, length_);
    EXPECT_EQ(Word(boot, 64, 8), hidden);
  }

  const std::filesystem::path volume = Extract();
  std::string output;
  EXPECT_EQ(RunShell(std::string(c.check) + " '" + volume.string() + "'", &output), 0) << output;
  if (fs == "NTFS") {
    ASSERT_EQ(RunShell("ntfslabel '" + volume.string() + "'", &output), 0) << output;
    EXPECT_NE(output.find("Boot Me"), std::string::npos) << output;
  } else if (fs == "exFAT") {
    ASSERT_EQ(RunShell("exfatlabel '" + volume.string() + "'", &output), 0) << output;
    EXPECT_NE(output.find("Boot Me"), std::string::npos) << output;
  }
}

INSTANTIATE_TEST_SUITE_P(, VolumeFormatEach,
                         testing::Values(Case{"NTFS", 512, 64 * kMiB, "NTFS", "ntfsfix -n"},
                                         Case{"ntfs", 4096, 64 * kMiB, "NTFS", "ntfsfix -n"},
                                         Case{"FAT32", 512, 64 * kMiB, "FAT32", "fsck.fat -n"},
                                         Case{"fat32", 4096, 300 * kMiB, "FAT32", "fsck.fat -n"},
                                         Case{"exFAT", 512, 64 * kMiB, "exFAT", "fsck.exfat -n"},
                                         Case{"EXFAT", 4096, 64 * kMiB, "exFAT", "fsck.exfat -n"},
                                         // Below mkfs.exfat's default 1 MiB alignment.
                                         Case{"exfat", 512, 2 * kMiB, "exFAT", "fsck.exfat -n"},
                                         Case{"exfat", 4096, 2 * kMiB, "exFAT", "fsck.exfat -n"}),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.recognised) + "_" +
                                  std::to_string(info.param.sector) + "_" +
                                  std::to_string(info.param.length / kMiB) + "MiB";
                         });

TEST_F(VolumeFormat, EveryFormatHasAFreshSerial) {
  MakeDisk(40 * kMiB);
  for (const char* fs : {"NTFS", "FAT32", "exFAT"}) {
    std::string error;
    ASSERT_TRUE(emu::FormatVolume(Request(fs), error)) << fs << ": " << error;
    std::vector<BYTE> boot = ReadAt(image_, kOffset, 4096);
    const emu::BootSectorInfo first = emu::ReadBootSector(boot.data(), boot.size());
    ASSERT_TRUE(emu::FormatVolume(Request(fs), error)) << fs << ": " << error;
    boot = ReadAt(image_, kOffset, 4096);
    const emu::BootSectorInfo second = emu::ReadBootSector(boot.data(), boot.size());
    EXPECT_EQ(second.fileSystem, first.fileSystem);
    EXPECT_NE(emu::VolumeSerialNumber(first), emu::VolumeSerialNumber(second)) << fs;
    // The other file system's leftovers would confuse fsck.
    std::string output;
    const std::string check = std::string(fs) == "NTFS"    ? "ntfsfix -n"
                              : std::string(fs) == "FAT32" ? "fsck.fat -n"
                                                           : "fsck.exfat -n";
    EXPECT_EQ(RunShell(check + " '" + Extract().string() + "'", &output), 0) << fs << output;
  }
  ExpectSurroundingsIntact();
}

TEST_F(VolumeFormat, RefusalsLeaveTheImageAsItWas) {
  MakeDisk(40 * kMiB);
  const std::vector<BYTE> before = ReadAt(image_, 0, kOffset + length_ + kMiB);
  auto refuses = [&](const emu::FormatRequest& request, const std::string& words) {
    std::string error;
    EXPECT_FALSE(emu::FormatVolume(request, error)) << words;
    EXPECT_NE(error.find(words), std::string::npos) << error;
    EXPECT_EQ(FilesInDir().size(), 1u) << words;
  };

  refuses(Request("ext4"), "ext4");
  refuses(Request(""), "NTFS, FAT32 or exFAT");
  emu::FormatRequest r = Request("FAT32");
  r.length = 16 * kMiB;
  refuses(r, "too small for FAT32");
  r = Request("FAT32");
  r.label = "TWELVE CHARS";
  refuses(r, "11 characters");
  r = Request("NTFS");
  r.length = kMiB;  // mkntfs' own refusal, in its words
  refuses(r, "Minimum NTFS volume size");
  r = Request("exFAT");
  r.length = 512 * 1024;
  refuses(r, "too small for exFAT");
  r = Request("NTFS");
  r.offset = kOffset + 100;
  refuses(r, "aligned");
  r = Request("NTFS", 4096);
  r.offset = kOffset + 512;
  refuses(r, "aligned");
  r = Request("NTFS", 1000);
  refuses(r, "sector size");
  r = Request("NTFS");
  r.length = length_ + 2 * kMiB;  // past the end of the disk
  refuses(r, "past the end");
  r = Request("NTFS");
  r.image = dir_ / "missing.img";
  refuses(r, "missing.img");

  EXPECT_EQ(ReadAt(image_, 0, kOffset + length_ + kMiB), before);
}

}  // namespace
