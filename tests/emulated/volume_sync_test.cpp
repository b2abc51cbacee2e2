// The files of emulated volumes written through into the file systems of the disk image, read
// back by independent readers: mtools and ntfs-3g for the tree, the file systems' own checkers,
// and GRUB's drivers through grub-fstest.
#include "platform/emulated/volume_sync.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "platform/emulated/machine.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"

namespace {

namespace fs = std::filesystem;

constexpr unsigned long long kNtfsStart = 2048, kFatStart = 206848, kExfatStart = 411648,
                             kSectors = 204800;

void WriteFile(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string RandomBytes(std::size_t size, unsigned seed) {
  std::mt19937 random(seed);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(random());
  return bytes;
}

class VolumeSyncTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddStick(1, 40);
    ShellOutput("(printf 'label: dos\\nstart=2048, size=204800, type=7\\n"
                "start=206848, size=204800, type=c\\nstart=411648, size=204800, type=7\\n' | sfdisk -q --no-reread --no-tell-kernel " +
                DiskImage(1) + ")");
    std::string error;
    ASSERT_TRUE(emu::FormatVolume(
        {DiskImage(1), kNtfsStart * 512, kSectors * 512, 512, 63, 255, "NTFS", "Velund"}, error))
        << error;
    ASSERT_TRUE(emu::FormatVolume(
        {DiskImage(1), kFatStart * 512, kSectors * 512, 512, 63, 255, "FAT32", "VELUND"}, error))
        << error;
    ASSERT_TRUE(emu::FormatVolume(
        {DiskImage(1), kExfatStart * 512, kSectors * 512, 512, 63, 255, "exFAT", "Data"}, error))
        << error;
    emu::Machine::Use(directory_);
    exfat_ = HostPath('F', "");
    ASSERT_FALSE(exfat_.empty());
    ntfs_ = HostPath('D', "");
    fat_ = HostPath('E', "");
    ASSERT_FALSE(ntfs_.empty());
    ASSERT_FALSE(fat_.empty());
  }

  // A tree with nested and empty folders, text and binary files of several sizes.
  static void Populate(const fs::path& root) {
    WriteFile(root / "KYR" / "grub" / "grub.cfg", "set timeout=5\nmenuentry \"One\" { true }\n");
    WriteFile(root / "KYR" / "grub" / "i386-pc" / "core.img", RandomBytes(70001, 1));
    WriteFile(root / "EFI" / "BOOT" / "BOOTX64.EFI", RandomBytes(1 << 20, 2));
    WriteFile(root / "Read Me.txt", "first words\r\n");
    WriteFile(root / "Grüße" / "€ und Ünïcode.txt", "names beyond ASCII");
    WriteFile(root / "empty.bin", "");
    WriteFile(root / "Obsolete" / "old.dat", RandomBytes(5000, 3));
    fs::create_directories(root / "Empty Folder");
  }

  // The partition's bytes as a file of their own, for the tools that take no offset.
  fs::path Partition(unsigned long long start) {
    const fs::path part = directory_.parent_path() / ("part" + std::to_string(start) + ".img");
    ShellOutput("dd if=" + DiskImage(1) + " of=" + part.string() +
                " bs=1M iflag=skip_bytes,count_bytes conv=sparse status=none skip=" +
                std::to_string(start * 512) + " count=" + std::to_string(kSectors * 512));
    return part;
  }

  // What an independent reader finds in the file system, laid out in a host folder.
  fs::path ReadBack(unsigned long long start) {
    const fs::path part = Partition(start);
    const fs::path out = directory_.parent_path() / ("read" + std::to_string(start));
    fs::remove_all(out);
    fs::create_directories(out);
    if (start == kExfatStart) {
      GrubCopy("(loop0,msdos3)", "", out);
    } else if (start == kFatStart) {
      ShellOutput("LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 mcopy -s -n -m -i " + part.string() + " '::*' " +
                  out.string() + " 2>&1");
    } else {
      const fs::path mount = directory_.parent_path() / "mnt";
      fs::create_directories(mount);
      ShellOutput("ntfs-3g -o ro " + part.string() + " " + mount.string() + " && cp -a " +
                  mount.string() + "/. " + out.string() + "; fusermount -u " + mount.string());
    }
    return out;
  }

  // Copies a folder's tree out through GRUB's own reader of the file system.
  void GrubCopy(const std::string& partition, const std::string& path, const fs::path& out) {
    const std::string listing = ShellOutput("grub-fstest " + DiskImage(1) + " -- ls -l '" +
                                            partition + path + "/' 2>&1");
    std::istringstream lines(listing);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string kind, stamp;
      fields >> kind >> stamp;
      std::string name;
      std::getline(fields, name);
      if (name.size() < 2) continue;
      name.erase(0, 1);
      if (kind == "DIR") {
        if (name.back() == '/') name.pop_back();
        fs::create_directories(out / name);
        GrubCopy(partition, path + "/" + name, out / name);
      } else {
        ShellOutput("grub-fstest " + DiskImage(1) + " cp '" + partition + path + "/" + name +
                    "' '" + (out / name).string() + "' 2>&1");
        if (!fs::exists(out / name)) std::ofstream(out / name).flush();  // GRUB copies no empty file
      }
    }
  }

  // Empty when the trees are equal; otherwise what differs.
  static std::string Differences(const fs::path& expected, const fs::path& actual) {
    return ShellOutput("diff -r '" + expected.string() + "' '" + actual.string() + "' 2>&1");
  }

  std::string Check(unsigned long long start) {
    const fs::path part = Partition(start);
    const char* checker = start == kFatStart ? "fsck.vfat -n " : start == kExfatStart ? "fsck.exfat -n " : "ntfsfix -n ";
    return ShellOutput(checker + part.string() + " >/dev/null 2>&1; echo $?");
  }

  std::string Identity(unsigned long long start) {
    return ShellOutput("blkid -p -o export -s UUID -s LABEL -s TYPE " + Partition(start).string());
  }

  struct Case {
    unsigned long long start;
    fs::path folder;
    const char* name;
  };
  std::vector<Case> Cases() const {
    return {{kNtfsStart, ntfs_, "NTFS"}, {kFatStart, fat_, "FAT32"}, {kExfatStart, exfat_, "exFAT"}};
  }

  fs::path ntfs_, fat_, exfat_;
};

TEST_F(VolumeSyncTest, TheImageHoldsExactlyTheFolderAfterAddsReplacementsAndRemovals) {
  std::map<unsigned long long, std::string> identities;
  for (const Case& c : Cases()) {
    Populate(c.folder);
    identities[c.start] = Identity(c.start);
  }
  std::string error;
  ASSERT_TRUE(emu::SyncDiskVolumes(1, true, error)) << error;
  for (const Case& c : Cases()) {
    EXPECT_EQ(Differences(c.folder, ReadBack(c.start)), "") << c.name;
    EXPECT_EQ(Check(c.start), "0\n") << c.name;
  }

  for (const Case& c : Cases()) {
    fs::remove_all(c.folder / "Obsolete");
    fs::remove(c.folder / "empty.bin");
    WriteFile(c.folder / "Read Me.txt", "other words\r\n");  // same size, other bytes
    WriteFile(c.folder / "KYR" / "grub" / "i386-pc" / "core.img", RandomBytes(3, 4));
    WriteFile(c.folder / "KYR" / "grub" / "grubenv", std::string(1024, '#'));
    fs::create_directories(c.folder / "Obsolete");  // a folder again, empty this time
  }
  ASSERT_TRUE(emu::SyncDiskVolumes(1, true, error)) << error;
  for (const Case& c : Cases()) {
    EXPECT_EQ(Differences(c.folder, ReadBack(c.start)), "") << c.name;
    EXPECT_EQ(Check(c.start), "0\n") << c.name;
    EXPECT_EQ(Identity(c.start), identities[c.start]) << c.name << ": label or serial changed";
  }
}

TEST_F(VolumeSyncTest, GrubsOwnDriversReadTheFilesBack) {
  for (const Case& c : Cases()) Populate(c.folder);
  std::string error;
  ASSERT_TRUE(emu::SyncDiskVolumes(1, false, error)) << error;
  for (const auto& [partition, folder] : {std::pair{"msdos1", ntfs_}, std::pair{"msdos2", fat_},
                                          std::pair{"msdos3", exfat_}}) {
    for (const char* file : {"KYR/grub/grub.cfg", "EFI/BOOT/BOOTX64.EFI"}) {
      EXPECT_EQ(ShellOutput("grub-fstest " + DiskImage(1) + " cmp '(loop0," + partition + ")/" +
                            file + "' '" + (folder / file).string() + "' 2>&1 && echo same"),
                "same\n")
          << partition << " " << file;
    }
  }
}

// The moments after which a program may change the file system under the volume's files.
TEST_F(VolumeSyncTest, ADismountAndANewLayoutWriteTheFilesThroughFirst) {
  Populate(ntfs_);
  {
    win::Handle volume(win::CreateFileW("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 3, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(volume);
    DWORD returned = 0;
    ASSERT_TRUE(win::DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0,
                                     &returned, nullptr));
    ASSERT_TRUE(win::DeviceIoControl(volume.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                                     &returned, nullptr));
    EXPECT_EQ(Differences(ntfs_, ReadBack(kNtfsStart)), "");
  }

  Populate(fat_);
  win::Handle disk(win::CreateFileW("\\\\.\\PHYSICALDRIVE1", GENERIC_READ | GENERIC_WRITE, 3,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(disk);
  std::vector<BYTE> layout(4096);
  DWORD returned = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                   layout.data(), static_cast<DWORD>(layout.size()), &returned,
                                   nullptr));
  EXPECT_NE(Differences(fat_, ReadBack(kFatStart)), "");
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(),
                                   returned, nullptr, 0, &returned, nullptr));
  EXPECT_EQ(Differences(fat_, ReadBack(kFatStart)), "");
}

// The end of a process writes through the volumes whose files it changed, and only those.
TEST_F(VolumeSyncTest, TheProcessEndWritesWhatItChanged) {
  Populate(fat_);
  const auto ntfsRegion = [&] { return ShellOutput("md5sum < " + Partition(kNtfsStart).string()); };
  const std::string ntfsBefore = ntfsRegion();
  GTEST_FLAG_SET(death_test_style, "fast");  // the child is this process as it stands
  EXPECT_EXIT(std::exit(0), testing::ExitedWithCode(0), "");
  EXPECT_EQ(Differences(fat_, ReadBack(kFatStart)), "");
  EXPECT_EQ(ntfsRegion(), ntfsBefore);
}

TEST_F(VolumeSyncTest, TheMachineToolWritesADiskThroughAndLeavesOthersAlone) {
  Populate(fat_);
  const std::string before = ShellOutput("md5sum < " + DiskImage(0));
  emu::Storage::Reset();
  EXPECT_EQ(ShellOutput(std::string(VELUND_MACHINE_TOOL) + " sync " + directory_.string() +
                        " 1 2>&1; echo $?"),
            "0\n");
  EXPECT_EQ(ShellOutput("md5sum < " + DiskImage(0)), before);
  EXPECT_EQ(Differences(fat_, ReadBack(kFatStart)), "");
  EXPECT_EQ(ShellOutput(std::string(VELUND_MACHINE_TOOL) + " sync " + directory_.string() +
                        " 7 2>&1; echo $?"),
            "velund-machine: there is no disk 7\n1\n");
}

TEST_F(VolumeSyncTest, AVolumeWithoutAFileSystemIsLeftAsItIs) {
  ShellOutput("dd if=/dev/zero of=" + DiskImage(1) + " bs=512 seek=" + std::to_string(kFatStart) +
              " count=1 conv=notrunc status=none");
  WriteFile(fat_ / "lost.txt", "x");
  Populate(ntfs_);
  const auto region = [&] {
    return ShellOutput("dd if=" + DiskImage(1) + " bs=512 skip=" + std::to_string(kFatStart) +
                       " count=" + std::to_string(kSectors) + " status=none | md5sum");
  };
  const std::string before = region();
  std::string error;
  // The NTFS volume is written; the other one has nothing a file could go into.
  ASSERT_TRUE(emu::SyncDiskVolumes(1, false, error)) << error;
  EXPECT_EQ(region(), before);
  EXPECT_EQ(Differences(ntfs_, ReadBack(kNtfsStart)), "");
}

// Debian 12's mtools would take a FAT32 volume of few clusters for FAT16 and break off half-way.
TEST_F(VolumeSyncTest, AFat32VolumeMtoolsWouldMisreadIsRefusedUntouched) {
  std::string error;
  ASSERT_TRUE(emu::FormatVolume(
      {DiskImage(1), kFatStart * 512, 64 << 20, 512, 63, 255, "FAT32", "SMALL"}, error))
      << error;
  Populate(fat_);
  const std::string before = ShellOutput("md5sum < " + Partition(kFatStart).string());
  EXPECT_FALSE(emu::SyncDiskVolumes(1, false, error));
  EXPECT_NE(error.find("fewer than the 65525 mtools needs"), std::string::npos) << error;
  EXPECT_EQ(ShellOutput("md5sum < " + Partition(kFatStart).string()), before);
  // The other volumes of the disk are written all the same.
  EXPECT_EQ(Differences(ntfs_, ReadBack(kNtfsStart)), "");
}

}  // namespace
