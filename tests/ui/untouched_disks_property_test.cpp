// On any machine, a job run from the window on one removable disk leaves every other disk as it
// was: the same bytes in its image, the same files and letters on its volumes, and none of its
// volumes locked, dismounted or robbed of its letter. The disk that holds %TEMP% may differ only in
// the install's temporary folder. Machines are random (tests/ui/random_machine.h); the cases run
// from a fixed seed, VELUND_PROPERTY_SEED and VELUND_PROPERTY_CASES choose others.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "platform/emulated/storage.h"
#include "platform/emulated/volume_touches.h"
#include "platform/seam.h"
#include "tests/disk_snapshot.h"
#include "tests/ui/random_machine.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

constexpr int kShards = 30;  // ten cases each by default, far from the per-test timeout
constexpr std::uint32_t kDefaultSeed = 20261211;
constexpr int kDefaultCases = 300;

std::uint32_t BaseSeed() {
  const char* text = std::getenv("VELUND_PROPERTY_SEED");
  return text ? static_cast<std::uint32_t>(std::strtoul(text, nullptr, 10)) : kDefaultSeed;
}

int CaseCount() {
  const char* text = std::getenv("VELUND_PROPERTY_CASES");
  return text ? std::atoi(text) : kDefaultCases;
}

// Where the install puts its temporary folder: %TEMP%\kyrextract, as a drive letter and a path
// below that drive's root ("Users/Setup/AppData/Local/Temp/kyrextract").
struct TempFolder {
  char letter = 0;
  std::string relative;
};

TempFolder InstallTempFolder() {
  std::string temp;
  win::GetEnvironmentVariableW("TEMP", temp);
  TempFolder folder;
  if (temp.size() < 3 || temp[1] != ':') return folder;
  folder.letter = temp[0];
  folder.relative = temp.substr(3) + "\\kyrextract";
  for (char& c : folder.relative) {
    if (c == '\\') c = '/';
  }
  return folder;
}

class UntouchedDisksProperty : public SetupFormTest,
                               public testing::WithParamInterface<int> {
 protected:
  // Every disk but the chosen one, as it is now.
  std::map<DWORD, DiskSnapshot> OtherDisks(unsigned chosen) {
    const TempFolder temp = InstallTempFolder();
    std::vector<ByteRange> tempVolume;
    DWORD tempDisk = 0xFFFFFFFF;
    {
      auto locked = emu::Storage::Lock();
      if (auto volume = locked.storage.FindVolumeByLetter(temp.letter)) {
        tempDisk = volume->Disk();
        tempVolume.push_back({volume->Offset(), volume->Length()});
      }
    }
    std::vector<DWORD> disks;
    {
      auto locked = emu::Storage::Lock();
      for (const emu::DiskDevice& disk : locked.storage.Disks()) disks.push_back(disk.number);
    }
    std::map<DWORD, DiskSnapshot> snapshots;
    for (DWORD disk : disks) {
      if (disk == chosen) continue;
      // The %TEMP% volume's files are compared one by one instead of through the image.
      snapshots[disk] = disk == tempDisk ? TakeDiskSnapshot(disk, tempVolume, {temp.relative})
                                         : TakeDiskSnapshot(disk);
    }
    return snapshots;
  }

  void Create(TSetupForm1& form, const RandomCase& c) {
    const std::string prefix = "RM" + std::to_string(c.chosen) + " - ";
    int index = -1;
    for (std::size_t i = 0; i < form.DiskLists->Items().size(); ++i) {
      if (form.DiskLists->Items()[i].rfind(prefix, 0) == 0) index = static_cast<int>(i);
    }
    ASSERT_GE(index, 0) << "the chosen disk is not listed";
    form.DiskLists->Pick(index);
    (c.mbr ? form.MBRItem : form.GPTItem)->Click();
    form.FAT32SizeBox->SetText(std::to_string(c.fat32MB));
    ClearLog();
    form.ButtonCreate->Click();
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(Log().rfind("Disk: " + std::to_string(c.chosen) + "\r\n", 0), 0u) << Log();
  }

  // Picks the chosen disk's NTFS/exFAT drive and one of the FAT32 entries the window offers with
  // it; false when the window offers no such pair (a create job that failed).
  bool Install(TSetupForm1& form, const RandomCase& c) {
    int index = -1;
    for (std::size_t i = 0; i < form.NTFSDriveLists->Items().size(); ++i) {
      auto locked = emu::Storage::Lock();
      auto volume = locked.storage.FindVolumeByLetter(form.NTFSDriveLists->Items()[i][0]);
      if (volume && volume->Disk() == c.chosen) index = static_cast<int>(i);
    }
    if (index < 0) return false;
    form.NTFSDriveLists->Pick(index);
    const auto& entries = form.FAT32DriveLists->Items();
    if (entries.empty()) return false;
    form.FAT32DriveLists->Pick(c.fat32Entry % static_cast<int>(entries.size()));
    form.BootloaderOption->SetChecked(c.bootsector);
    ClearLog();
    form.SetupButton->Click();
    EXPECT_TRUE(WaitIdle());
    return true;
  }

  void RunCase(std::uint32_t seed) {
    const RandomCase c = MakeRandomCase(seed);
    SCOPED_TRACE("re-run alone: VELUND_PROPERTY_SEED=" + std::to_string(seed) +
                 " VELUND_PROPERTY_CASES=1 velund_tests --gtest_filter='*UntouchedDisks*/0'\n" +
                 DescribeCase(c));
    std::string error;
    ASSERT_TRUE(BuildRandomMachine(directory_, c, error)) << error;
    const auto before = OtherDisks(c.chosen);
    emu::ClearVolumeTouches();
    TSetupForm1& form = Open();
    if (c.job != JobKind::Install) Create(form, c);
    if (c.job != JobKind::Create) {
      const bool started = Install(form, c);
      // A stick prepared for the install always offers its pair; a failed create may not.
      EXPECT_TRUE(started || c.job != JobKind::Install) << "no drive pair offered";
    }
    ASSERT_TRUE(WaitIdle());
    const auto after = OtherDisks(c.chosen);
    for (const auto& [disk, was] : before) {
      for (const std::string& difference : DiskDifferences(was, after.at(disk))) {
        ADD_FAILURE() << "disk " << disk << ": " << difference;
      }
    }
    for (const emu::TouchedVolume& touched : emu::VolumeTouches()) {
      if (touched.disk == c.chosen) continue;
      ADD_FAILURE() << "disk " << touched.disk << ": volume " << touched.guid << ": "
                    << emu::VolumeTouchName(touched.touch);
    }
  }
};

TEST_P(UntouchedDisksProperty, JobsOnOneDiskLeaveEveryOtherDiskAlone) {
  const int shard = GetParam();
  const int cases = CaseCount();
  const std::uint32_t base = BaseSeed();
  for (int k = shard; k < cases; k += kShards) {
    if (k != shard) {  // every case on a machine of its own
      TearDown();
      SetUp();
    }
    RunCase(base + static_cast<std::uint32_t>(k));
    if (HasFailure()) break;  // the first failing case is the one to look at
  }
}

INSTANTIATE_TEST_SUITE_P(Shards, UntouchedDisksProperty, testing::Range(0, kShards));

}  // namespace
