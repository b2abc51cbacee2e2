// The Create tab on emulated machines: which disks are listed, how the sizes settle, and the
// Create button's checks.
#include <gtest/gtest.h>

#include "platform/emulated/faults.h"
#include "platform/emulated/hotplug.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_support.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

class DiskListTest : public SetupFormTest {
 protected:
  // A removable disk of exactly `mb` MiB by its geometry (2048 sectors a cylinder).
  void AddStickOfMiB(unsigned number, long long mb) {
    AddStick(number, 1);
    EditMachine([&](nlohmann::json& config) {
      for (auto& disk : config["disks"]) {
        if (disk["number"] != number) continue;
        disk["geometry"] = {{"cylinders", mb}, {"tracks_per_cylinder", 1},
                            {"sectors_per_track", 2048}, {"bytes_per_sector", 512}};
        disk["length"] = mb * 1048576;
      }
    });
  }
  void DeleteRegistryValue(const std::string& key, const std::string& value) {
    win::RegKey opened;
    ASSERT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, key, 0, KEY_ALL_ACCESS, opened),
              ERROR_SUCCESS);
    win::RegDeleteValueW(opened.get(), value);
  }
  std::string InstanceOf(unsigned n) {
    win::RegKey key;
    win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum", 0,
                       KEY_READ, key);
    DWORD type = 0, size = 0;
    win::RegQueryValueExW(key.get(), std::to_string(n), &type, nullptr, &size);
    std::vector<BYTE> data(size);
    win::RegQueryValueExW(key.get(), std::to_string(n), &type, data.data(), &size);
    return win::RegStringFromData(data.data(), size);
  }
};

TEST_F(DiskListTest, OnlyRemovableDisksAreListedWithTheirNameAndSize) {
  AddStick(1, 1869);
  TSetupForm1& form = Open();
  ASSERT_EQ(form.DiskLists->Items(),
            std::vector<std::string>{"RM1 - Generic Flash Disk USB - 14.32 GB"});
  EXPECT_EQ(form.DiskLists->ItemIndex(), 0);
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  EXPECT_EQ(form.NTFSSizeBox->Text(), std::to_string((1869LL * 8225280 - 104857600 - 4194304) / 1048576));
}

TEST_F(DiskListTest, ANameFallsBackToTheDescriptionThenToUnknow) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  const std::string device = "SYSTEM\\CurrentControlSet\\Enum\\" + InstanceOf(1);
  DeleteRegistryValue(device, "FriendlyName");
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items()[0].substr(0, 17), "RM1 - Disk drive ");
  DeleteRegistryValue(device, "DeviceDesc");
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items()[0].substr(0, 15), "RM1 - Unknow - ");
}

TEST_F(DiskListTest, AMissingDeviceKeyYieldsNoEntryAndTheNextDiskIsStillListed) {
  AddStick(1, 20);
  AddStick(2, 30);
  TSetupForm1& form = Open();
  ASSERT_EQ(win::RegDeleteTreeW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + InstanceOf(1)),
            ERROR_SUCCESS);
  win::RegDeleteKeyW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + InstanceOf(1));
  form.CurrentDiskIndex.clear();
  form.RefreshDiskLists();
  ASSERT_EQ(form.DiskLists->Items().size(), 1u);
  EXPECT_EQ(form.DiskLists->Items()[0].substr(0, 6), "RM2 - ");
}

// Unplugging a disk frees its number while the disks after it keep theirs: the list goes on past
// the free number, and the departed disk leaves the list.
TEST_F(DiskListTest, AnUnpluggedDiskLeavesTheListAndTheDisksAfterItStay) {
  AddStick(1, 20);
  AddStick(2, 30);
  TSetupForm1& form = Open();
  const auto both = form.DiskLists->Items();
  ASSERT_EQ(both.size(), 2u);
  EXPECT_EQ(both[1].substr(0, 6), "RM2 - ");

  std::string error;
  ASSERT_TRUE(emu::UnplugDisk(1, error)) << error;
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.DiskLists->Items(), std::vector<std::string>{both[1]});
  form.CurrentDiskIndex.clear();
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items(), std::vector<std::string>{both[1]});

  ASSERT_TRUE(emu::PlugDisk(1, error)) << error;
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.DiskLists->Items(), both);
  ASSERT_TRUE(emu::UnplugDisk(2, error)) << error;
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.DiskLists->Items(), std::vector<std::string>{both[0]});
}

TEST_F(DiskListTest, AWindowOpenedWhileDisk1IsAbsentListsDisk2) {
  AddStick(1, 20);
  AddStick(2, 30);
  EditMachine([](nlohmann::json& config) { config["disks"][1]["attached"] = false; });
  TSetupForm1& form = Open();
  ASSERT_EQ(form.DiskLists->Items().size(), 1u);
  EXPECT_EQ(form.DiskLists->Items()[0].substr(0, 6), "RM2 - ");
  EXPECT_EQ(form.DiskLists->ItemIndex(), 0);
  EXPECT_NE(form.NTFSSizeBox->Text(), "100");  // the sizes are proposed for disk 2
}

// An enumeration that counts far more disks than answer: the list looks past a bounded number
// of absent disks only, each with its status line.
TEST_F(DiskListTest, TheSearchPastAbsentDisksIsBounded) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  const auto before = form.DiskLists->Items();
  {
    win::RegKey key;
    const std::string enumeration = "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum";
    ASSERT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, enumeration, 0, KEY_ALL_ACCESS, key),
              ERROR_SUCCESS);
    const DWORD count = 1000;
    ASSERT_EQ(win::RegSetValueExW(key.get(), "Count", 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&count), sizeof count),
              ERROR_SUCCESS);
  }
  ClearLog();
  form.CurrentDiskIndex.clear();
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items(), before);
  const auto lines = LogLines(Log());
  EXPECT_EQ(lines.size(), 16u);
  EXPECT_EQ(lines.back(), "Status: The system cannot find the file specified");
}

TEST_F(DiskListTest, AFailedGeometryQueryStopsEveryRefreshAndKeepsTheList) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  const auto before = form.DiskLists->Items();
  emu::Fault fault;
  fault.call = "DeviceIoControl";
  fault.controlCode = IOCTL_DISK_GET_DRIVE_GEOMETRY;
  fault.error = ERROR_NOT_READY;
  fault.once = false;
  emu::InjectFault(fault);
  ClearLog();
  form.RefreshDiskLists();
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items(), before);
  EXPECT_EQ(Log(), "Status: The device is not ready\r\nStatus: The device is not ready\r\n");
}

// An enumeration the list cannot read leaves the list as it was, without a line.
TEST_F(DiskListTest, AMissingCountOrEnumerationKeyKeepsTheListSilently) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  const auto before = form.DiskLists->Items();
  ASSERT_EQ(before.size(), 1u);
  const std::string enumeration = "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum";
  ClearLog();
  DeleteRegistryValue(enumeration, "Count");
  form.CurrentDiskIndex.clear();
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items(), before);
  ASSERT_EQ(win::RegDeleteTreeW(HKEY_LOCAL_MACHINE, enumeration), ERROR_SUCCESS);
  win::RegDeleteKeyW(HKEY_LOCAL_MACHINE, enumeration);
  form.RefreshDiskLists();
  EXPECT_EQ(form.DiskLists->Items(), before);
  EXPECT_EQ(Log(), "");
}

TEST_F(DiskListTest, TheFat32BoxSettlesWithinItsLimits) {
  AddStick(1, 7781);  // 64 GB
  AddStick(2, 1945);  // 16 GB
  AddStickOfMiB(3, 3814);
  TSetupForm1& form = Open();
  ASSERT_EQ(form.DiskLists->Items().size(), 3u);
  ui::EditBox& box = *form.FAT32SizeBox;

  box.SetText("007");  // pasted
  EXPECT_EQ(box.Text(), "100");
  box.Type("50000");
  EXPECT_EQ(box.Text(), "32768");
  box.Type("");
  EXPECT_EQ(box.Text(), "100");

  form.DiskLists->Pick(1);
  box.Type("50000");
  EXPECT_EQ(box.Text(), std::to_string(1945LL * 8225280 / 1048576 - 104));
  EXPECT_EQ(form.NTFSSizeBox->Text(), "100");

  form.DiskLists->Pick(2);
  EXPECT_EQ(form.DiskLists->ItemIndex(), 2);
  EXPECT_EQ(form.CurrentDiskIndex, form.DiskLists->Text());
  box.Type("5000");
  EXPECT_EQ(box.Text(), "3710");
  EXPECT_EQ(form.NTFSSizeBox->Text(), "100");
  box.Type("12ab3");  // the digits-only box keeps the digits
  EXPECT_EQ(box.Text(), "123");
  EXPECT_EQ(form.NTFSSizeBox->Text(), std::to_string(3814 - 123 - 4));
}

TEST_F(DiskListTest, TextThatIsNoNumberCountsAsAnEmptyBox) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  form.FAT32SizeBox->SetText("12x");
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  form.FAT32SizeBox->SetText("99999999999999999999");
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  form.NTFSSizeBox->SetText("--");
  ClearLog();
  form.ButtonCreate->Click();
  EXPECT_EQ(Log(), "Please enter the size for the drives.\r\n");
  EXPECT_EQ(form.ProgressBar, nullptr);
}

TEST_F(DiskListTest, OnADiskBelow204MBTheFloorWinsAndTheJobHasTheLastWord) {
  AddStickOfMiB(1, 150);
  AddStickOfMiB(2, 101);
  TSetupForm1& form = Open();
  form.FAT32SizeBox->Type("500");
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  EXPECT_EQ(form.NTFSSizeBox->Text(), "46");

  form.DiskLists->Pick(1);
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  EXPECT_EQ(form.NTFSSizeBox->Text(), "0");  // nothing is left
  ClearLog();
  form.ButtonCreate->Click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_NE(Log().find("Please reduce the size of the partitions.\r\n"), std::string::npos) << Log();
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
  EXPECT_EQ(toolkit_.Boxes()[0].text, "Error!");
}

TEST_F(DiskListTest, WithoutADiskEveryEditPutsBack100AndCreateAsksForOne) {
  TSetupForm1& form = Open();
  EXPECT_TRUE(form.DiskLists->Items().empty());
  form.FAT32SizeBox->Type("500");
  EXPECT_EQ(form.FAT32SizeBox->Text(), "100");
  ClearLog();
  form.ButtonCreate->Click();
  EXPECT_EQ(Log(), "Please choose a disk.\r\n");
}

TEST_F(DiskListTest, ChoosingTheSameEntryDoesNothingAndADeviceChangeKeepsTheChoice) {
  AddStick(1, 20);
  AddStick(2, 30);
  TSetupForm1& form = Open();
  form.DiskLists->Pick(1);
  const std::string chosen = form.DiskLists->Text();
  EXPECT_EQ(form.CurrentDiskIndex, chosen);
  form.FAT32SizeBox->Type("120");
  const std::string ntfs = form.NTFSSizeBox->Text();
  form.DiskLists->Pick(1);
  EXPECT_EQ(form.NTFSSizeBox->Text(), ntfs);
  form.WndProc(WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
  EXPECT_EQ(form.DiskLists->Text(), chosen);
  EXPECT_EQ(form.FAT32SizeBox->Text(), "120");
}

}  // namespace
