// The Install tab's drive lists on emulated machines.
#include <gtest/gtest.h>

#include <cstring>

#include "platform/emulated/faults.h"
#include "platform/emulated/partition_table.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

using Items = std::vector<std::string>;

class DriveListTest : public SetupFormTest {
 protected:
  // Overwrites the 11-byte label field of the FAT32 boot sector at `offset` of disk `number`.
  void WriteLabelField(unsigned number, long long offset, const char (&label)[12]) {
    const auto image = directory_ / ("disks/disk" + std::to_string(number) + ".img");
    emu::DiskImage disk(image, std::filesystem::file_size(image), 512);
    BYTE sector[512];
    ASSERT_TRUE(disk.Read(offset, sector, sizeof sector));
    std::memcpy(sector + 71, label, 11);
    ASSERT_TRUE(disk.Write(offset, sector, sizeof sector));
  }
};

TEST_F(DriveListTest, DiskZeroIsNeverListedAndAFixedDriveIsNeverTheDefault) {
  AddFixedDisk(1, 30);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 64, "EFI", 'F'}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.NTFSDriveLists->Items().size(), 1u);
  EXPECT_EQ(form.NTFSDriveLists->Items()[0], "E:\\ - 60 MB - NTFS - DATA");  // not C:
  EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), -1);
  EXPECT_TRUE(form.FAT32DriveLists->Items().empty());
  form.NTFSDriveLists->Pick(0);
  EXPECT_EQ(form.FAT32DriveLists->Items(), Items{"F:\\ - 64 MB - FAT32 - EFI"});
  EXPECT_EQ(form.FAT32DriveLists->ItemIndex(), 0);
}

TEST_F(DriveListTest, TheFat32ListHoldsTheChosenDisksFat32DrivesTheLastOneSelected) {
  AddStick(1, 30);
  AddStick(2, 20);
  PrepareDisk(1, {{"exFAT", 60, "", 'E'}, {"FAT32", 64, "A", 'G'}, {"FAT32", 64, "B", 'F'}});
  PrepareDisk(2, {{"NTFS", 60, "OTHER", 'K'}, {"FAT32", 64, "ELSEWHERE", 'L'}});
  TSetupForm1& form = Open();
  EXPECT_EQ(form.NTFSDriveLists->Items(),
            (Items{"E:\\ - 60 MB - exFAT - No Name", "K:\\ - 60 MB - NTFS - OTHER"}));
  EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), 0);
  EXPECT_EQ(form.FAT32DriveLists->Items(),
            (Items{"F:\\ - 64 MB - FAT32 - B", "G:\\ - 64 MB - FAT32 - A"}));
  EXPECT_EQ(form.FAT32DriveLists->Text(), "G:\\ - 64 MB - FAT32 - A");

  form.NTFSDriveLists->Pick(0);  // the same entry: nothing changes
  EXPECT_EQ(form.FAT32DriveLists->Items().size(), 2u);
  form.NTFSDriveLists->Pick(1);
  EXPECT_EQ(form.FAT32DriveLists->Items(), Items{"L:\\ - 64 MB - FAT32 - ELSEWHERE"});
}

TEST_F(DriveListTest, AFat32PartitionWithoutALetterIsListedByNumberInTheLanguageInEffect) {
  AddStick(1, 30);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 100, "", 0}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.FAT32DriveLists->Items(),
            Items{"Partition #2 - 100 MB - FAT32 - NO NAME    "});
  EXPECT_EQ(form.FAT32DriveLists->ItemIndex(), 0);

  form.ChangeLanguage();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.FAT32DriveLists->Items(),
            Items{"Phân vùng #2 - 100 MB - FAT32 - NO NAME    "});
}

TEST_F(DriveListTest, ALabelFieldOfBlanksOrAnsiTextIsTakenAsItIs) {
  AddStick(1, 30);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 100, "", 0}});
  WriteLabelField(1, 61 * 1048576, "           ");
  TSetupForm1& form = Open();
  EXPECT_EQ(form.FAT32DriveLists->Text(), "Partition #2 - 100 MB - FAT32 -            ");
  WriteLabelField(1, 61 * 1048576, "CL\xC9 USB    ");  // É in code page 1252
  form.RefreshDriveLists();
  EXPECT_EQ(form.FAT32DriveLists->Text(), "Partition #2 - 100 MB - FAT32 - CLÉ USB    ");
}

TEST_F(DriveListTest, AFixedDiskWithAnUnletteredFat32PartitionGivesAnEmptyList) {
  AddFixedDisk(1, 30);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 100, "", 0}});
  TSetupForm1& form = Open();
  form.NTFSDriveLists->Pick(0);
  EXPECT_TRUE(form.FAT32DriveLists->Items().empty());
  EXPECT_EQ(form.FAT32DriveLists->ItemIndex(), -1);
}

TEST_F(DriveListTest, WhileAJobRunsARebuildChangesNothing) {
  AddStick(1, 30);
  AddStick(2, 20);
  PrepareDisk(1, {{"NTFS", 60, "ONE", 'E'}, {"FAT32", 64, "EFI1", 'F'}});
  PrepareDisk(2, {{"NTFS", 60, "TWO", 'G'}, {"FAT32", 64, "EFI2", 'H'}});
  TSetupForm1& form = Open();
  int stand_in = 0;
  ActiveCreateThread = reinterpret_cast<TThreadCreate*>(&stand_in);
  form.RefreshDriveLists();
  EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), 0);
  form.NTFSDriveLists->Pick(1);  // the FAT32 list empties and stays so until after the job
  EXPECT_TRUE(form.FAT32DriveLists->Items().empty());
  ActiveCreateThread = nullptr;
  form.RefreshDriveLists();
  EXPECT_EQ(form.FAT32DriveLists->Text().substr(0, 3), "H:\\");
}

// Drives whose extent or volume information cannot be read, and drives of another file system,
// are left out of the NTFS/exFAT list without a word.
TEST_F(DriveListTest, DrivesThatDoNotQualifyAreLeftOutSilently) {
  AddStick(1, 30);
  PrepareDisk(1, {{"NTFS", 50, "ONE", 'E'}, {"NTFS", 50, "TWO", 'F'}, {"NTFS", 50, "THREE", 'H'},
                  {"FAT32", 64, "EFI", 'G'}});
  emu::Fault extent;
  extent.call = "DeviceIoControl";
  extent.path = "\\\\.\\F:";
  extent.controlCode = IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS;
  extent.once = false;
  emu::InjectFault(extent);
  emu::Fault information;
  information.call = "GetVolumeInformationW";
  information.path = "H:\\";
  information.once = false;
  emu::InjectFault(information);
  TSetupForm1& form = Open();
  EXPECT_EQ(form.NTFSDriveLists->Items(), Items{"E:\\ - 50 MB - NTFS - ONE"});
  EXPECT_EQ(form.FAT32DriveLists->Items(), Items{"G:\\ - 64 MB - FAT32 - EFI"});
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(toolkit_.Boxes().empty());
}

// The partition scan of a removable disk failing at each of its requests: one status line, the
// FAT32 list left empty, the NTFS/exFAT list as it was, and no box.
TEST_F(DriveListTest, AFailedPartitionScanWritesItsStatusLineAndLeavesTheFat32ListEmpty) {
  AddStick(1, 30);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 100, "", 0}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.FAT32DriveLists->Items().size(), 1u);
  const Items ntfs = form.NTFSDriveLists->Items();
  struct Row {
    const char* call;
    std::optional<DWORD> code;
    DWORD error;
    const char* line;
  };
  const Row rows[] = {
      {"CreateFileW", std::nullopt, ERROR_ACCESS_DENIED, "Status: Access is denied"},
      {"DeviceIoControl", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, ERROR_NOT_READY,
       "Status: The device is not ready"},
      {"SetFilePointerEx", std::nullopt, ERROR_SECTOR_NOT_FOUND,
       "Status: The drive cannot find the sector requested"},
      {"ReadFile", std::nullopt, ERROR_CRC, "Status: Data error (cyclic redundancy check)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.call);
    emu::Fault fault;
    fault.call = row.call;
    if (row.call != std::string("SetFilePointerEx")) fault.path = "\\\\.\\PHYSICALDRIVE1";
    fault.controlCode = row.code;
    fault.error = row.error;
    emu::InjectFault(fault);
    ClearLog();
    form.RefreshDriveLists();
    EXPECT_EQ(Log(), std::string(row.line) + "\r\n");
    EXPECT_TRUE(form.FAT32DriveLists->Items().empty());
    EXPECT_EQ(form.FAT32DriveLists->ItemIndex(), -1);
    EXPECT_EQ(form.NTFSDriveLists->Items(), ntfs);
    EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), 0);
    EXPECT_TRUE(toolkit_.Boxes().empty());
    emu::ClearFaults();
    form.RefreshDriveLists();  // the next rebuild finds the partition again
    EXPECT_EQ(form.FAT32DriveLists->Items().size(), 1u);
  }
}

}  // namespace
