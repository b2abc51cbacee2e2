// Recognising file systems by their first sector, on hand-made sectors and on mkfs.fat's own.
#include "platform/emulated/boot_sector.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using Sector = std::vector<BYTE>;

void Put(Sector& s, std::size_t at, ULONGLONG value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<BYTE>(value >> (8 * i));
}

void PutText(Sector& s, std::size_t at, const char* text) {
  std::memcpy(s.data() + at, text, std::strlen(text));
}

emu::BootSectorInfo Read(const Sector& s) { return emu::ReadBootSector(s.data(), s.size()); }

Sector Ntfs(WORD bytesPerSector, BYTE perCluster) {
  Sector s(4096, 0);
  s[0] = 0xEB;
  PutText(s, 3, "NTFS    ");
  Put(s, 11, bytesPerSector, 2);
  s[13] = perCluster;
  Put(s, 40, 131071, 8);
  Put(s, 72, 0x1122334455667788ull, 8);
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

Sector Exfat(BYTE sectorShift, BYTE clusterShift) {
  Sector s(4096, 0);
  s[0] = 0xEB;
  PutText(s, 3, "EXFAT   ");
  Put(s, 72, 0x20000, 8);
  Put(s, 100, 0xCAFEF00D, 4);
  s[108] = sectorShift;
  s[109] = clusterShift;
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

// A FAT12/16 BPB when `fat32` is false, a FAT32 one otherwise.
Sector Fat(bool fat32) {
  Sector s(512, 0);
  s[0] = 0xEB;
  s[1] = 0x3C;
  s[2] = 0x90;
  PutText(s, 3, "MSDOS5.0");
  Put(s, 11, 512, 2);
  s[13] = fat32 ? 8 : 4;
  Put(s, 14, fat32 ? 32 : 1, 2);
  s[16] = 2;
  s[21] = 0xF8;
  if (fat32) {
    Put(s, 32, 1000000, 4);
    Put(s, 36, 1000, 4);
    s[66] = 0x29;
    Put(s, 67, 0xDEADBEEF, 4);
    PutText(s, 71, "BOOT DISK  ");
    PutText(s, 82, "FAT32   ");
  } else {
    Put(s, 17, 512, 2);
    Put(s, 19, 40000, 2);
    Put(s, 22, 40, 2);
    s[38] = 0x29;
    Put(s, 39, 0x0BADF00D, 4);
    PutText(s, 43, "NO NAME    ");
    PutText(s, 54, "FAT16   ");
  }
  s[510] = 0x55;
  s[511] = 0xAA;
  return s;
}

TEST(BootSector, Ntfs) {
  emu::BootSectorInfo info = Read(Ntfs(512, 8));
  EXPECT_EQ(info.fileSystem, "NTFS");
  EXPECT_EQ(info.serial, 0x1122334455667788ull);
  EXPECT_EQ(emu::VolumeSerialNumber(info), 0x55667788u);  // the low half, as Windows reports
  EXPECT_EQ(info.totalBytes, 131071ull * 512);
  EXPECT_EQ(info.bytesPerSector, 512u);
  EXPECT_EQ(info.clusterBytes, 4096u);
  EXPECT_EQ(info.label, "");

  // 0xF4 is 2^12 sectors a cluster: 2 MiB at 512 bytes, 16 MiB at 4096.
  EXPECT_EQ(Read(Ntfs(512, 0xF4)).clusterBytes, 2u * 1024 * 1024);
  info = Read(Ntfs(4096, 1));
  EXPECT_EQ(info.clusterBytes, 4096u);
  EXPECT_EQ(info.totalBytes, 131071ull * 4096);

  EXPECT_EQ(Read(Ntfs(500, 8)).fileSystem, "");   // no such sector size
  EXPECT_EQ(Read(Ntfs(512, 0)).fileSystem, "");   // no cluster size
  EXPECT_EQ(Read(Ntfs(512, 12)).fileSystem, "");  // not a power of two
}

TEST(BootSector, Exfat) {
  emu::BootSectorInfo info = Read(Exfat(9, 3));
  EXPECT_EQ(info.fileSystem, "exFAT");
  EXPECT_EQ(info.serial, 0xCAFEF00Du);
  EXPECT_EQ(info.totalBytes, 0x20000ull * 512);
  EXPECT_EQ(info.bytesPerSector, 512u);
  EXPECT_EQ(info.clusterBytes, 4096u);
  EXPECT_EQ(info.label, "");

  info = Read(Exfat(12, 3));
  EXPECT_EQ(info.totalBytes, 0x20000ull * 4096);
  EXPECT_EQ(info.clusterBytes, 32768u);

  EXPECT_EQ(Read(Exfat(8, 3)).fileSystem, "");   // sectors below 512 bytes
  EXPECT_EQ(Read(Exfat(13, 0)).fileSystem, "");  // and above 4096
  EXPECT_EQ(Read(Exfat(9, 17)).fileSystem, "");  // clusters above 32 MiB
  EXPECT_EQ(Read(Exfat(9, 16)).clusterBytes, 32u * 1024 * 1024);
}

TEST(BootSector, Fat32NeedsItsMarks) {
  emu::BootSectorInfo info = Read(Fat(true));
  EXPECT_EQ(info.fileSystem, "FAT32");
  EXPECT_EQ(info.serial, 0xDEADBEEFu);
  EXPECT_EQ(info.label, "BOOT DISK");
  EXPECT_EQ(info.totalBytes, 1000000ull * 512);
  EXPECT_EQ(info.clusterBytes, 4096u);

  Sector s = Fat(true);
  s[510] = 0;
  EXPECT_EQ(Read(s).fileSystem, "");
  s = Fat(true);
  PutText(s, 82, "FAT     ");
  EXPECT_EQ(Read(s).fileSystem, "");
  // Without the extended boot signature there is no serial and no label to believe.
  s = Fat(true);
  s[66] = 0;
  info = Read(s);
  EXPECT_EQ(info.fileSystem, "FAT32");
  EXPECT_EQ(info.serial, 0u);
  EXPECT_EQ(info.label, "");
}

TEST(BootSector, Fat16ByItsBpb) {
  emu::BootSectorInfo info = Read(Fat(false));
  EXPECT_EQ(info.fileSystem, "FAT");
  EXPECT_EQ(info.serial, 0x0BADF00Du);
  EXPECT_EQ(info.label, "");  // "NO NAME" is no label
  EXPECT_EQ(info.totalBytes, 40000ull * 512);
  EXPECT_EQ(info.clusterBytes, 2048u);

  // The 32-bit count when the 16-bit one is zero.
  Sector s = Fat(false);
  Put(s, 19, 0, 2);
  Put(s, 32, 200000, 4);
  EXPECT_EQ(Read(s).totalBytes, 200000ull * 512);
  // 0x28 carries a serial but no label.
  s = Fat(false);
  s[38] = 0x28;
  PutText(s, 43, "SOMETHING  ");
  info = Read(s);
  EXPECT_EQ(info.serial, 0x0BADF00Du);
  EXPECT_EQ(info.label, "");

  for (auto [at, value] : std::vector<std::pair<std::size_t, BYTE>>{
           {0, 0x00}, {12, 0x00}, {13, 0x00}, {13, 3}, {14, 0}, {16, 0}}) {
    s = Fat(false);
    s[at] = value;
    if (at == 14) s[15] = 0;
    EXPECT_EQ(Read(s).fileSystem, "") << "byte " << at;
  }
  s = Fat(false);
  Put(s, 19, 0, 2);  // no size at all
  EXPECT_EQ(Read(s).fileSystem, "");
}

TEST(BootSector, NothingRecognisable) {
  EXPECT_EQ(Read(Sector(4096, 0)).fileSystem, "");
  Sector text(4096, 'x');
  EXPECT_EQ(Read(text).fileSystem, "");
  Sector ntfs = Ntfs(512, 8);
  EXPECT_EQ(emu::ReadBootSector(ntfs.data(), 511).fileSystem, "");
  EXPECT_EQ(emu::ReadBootSector(nullptr, 4096).fileSystem, "");
  emu::BootSectorInfo none = Read(Sector(512, 0));
  EXPECT_EQ(none.serial, 0u);
  EXPECT_EQ(none.totalBytes, 0u);
}

// mkfs.fat's FAT12 and FAT16, with the labels and serials it was told to write.
TEST(BootSector, ReadsWhatMkfsFatWrites) {
  char pattern[] = "/tmp/velund-bootsector-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  struct Case {
    const char* fat;
    ULONGLONG bytes;
    const char* label;
  };
  for (const Case& c : {Case{"12", 1024 * 1024, "SMALL"}, Case{"16", 64 * 1024 * 1024, ""}}) {
    const std::filesystem::path file = dir / ("fat" + std::string(c.fat));
    std::ofstream(file).close();
    std::filesystem::resize_file(file, c.bytes);
    std::string command = "PATH=/usr/sbin:/sbin:$PATH mkfs.fat -F " + std::string(c.fat) +
                          " -i 1234abcd " +
                          (*c.label ? "-n " + std::string(c.label) + " " : std::string()) +
                          file.string() + " >/dev/null 2>&1";
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
    Sector s(4096);
    std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(s.data()), 4096);
    emu::BootSectorInfo info = Read(s);
    EXPECT_EQ(info.fileSystem, "FAT") << c.fat;
    EXPECT_EQ(info.serial, 0x1234abcdu) << c.fat;
    EXPECT_EQ(info.label, c.label) << c.fat;
    EXPECT_EQ(info.totalBytes, c.bytes) << c.fat;
    EXPECT_EQ(info.bytesPerSector, 512u);
  }
  std::filesystem::remove_all(dir);
}

}  // namespace
