// The setup window: its creation layout, the job starts and ends on both buttons, closing during
// a job, and the device notifications.
#include "ui/setup_form.h"

#include <gtest/gtest.h>

#include "disk/create_disk_thread.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/hotplug.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_support.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

using ui::ProgressState;

std::vector<std::string> Lines(const std::string& log) { return LogLines(log); }

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST_F(SetupFormTest, TheLayoutRulesPlaceTheControlsFromTheToolkitsMetrics) {
  TSetupForm1& form = Open();
  // Header 13 for the 17-pixel captions, combo fields of 31, tab pages at 4, 29.
  EXPECT_EQ(form.NTFSLabel->GetBounds(), (ui::Bounds{8, 29, 394, 17}));
  EXPECT_EQ(form.NTFSDriveLists->GetBounds(), (ui::Bounds{8, 50, 394, 31}));
  EXPECT_EQ(form.FAT32Label->Top(), 89);
  EXPECT_EQ(form.FAT32DriveLists->Top(), 110);
  EXPECT_EQ(form.DriveList->Height(), 149);
  EXPECT_EQ(form.Options->GetBounds(), (ui::Bounds{8, 161, 410, 120}));
  // The check boxes stand ESP, bootloader, autorun from top to bottom.
  EXPECT_EQ(form.ESPActiveOption->Top(), 29);
  EXPECT_EQ(form.BootloaderOption->Top(), 58);
  EXPECT_EQ(form.AutoRunOption->Top(), 87);
  EXPECT_EQ(form.SetupButton->Top(), 289);
  EXPECT_EQ(form.DiskLists->GetBounds(), (ui::Bounds{8, 29, 393, 31}));
  EXPECT_EQ(form.DiskStyle->GetBounds(), (ui::Bounds{8, 80, 409, 75}));
  EXPECT_EQ(form.FAT32SizeOptions->GetBounds(), (ui::Bounds{8, 163, 196, 68}));
  EXPECT_EQ(form.NTFSSizeOptions->GetBounds(), (ui::Bounds{217, 163, 196, 68}));
  EXPECT_EQ(form.NTFSSizeBox->GetBounds(), (ui::Bounds{8, 29, 180, 31}));
  EXPECT_EQ(form.ButtonCreate->GetBounds(), (ui::Bounds{8, 239, 410, 49}));
  EXPECT_EQ(form.LanguageImage->GetBounds(), (ui::Bounds{410, 8, 32, 24}));
  EXPECT_EQ(form.LanguageLabel->Left(), 331);
  // The Install tab is the taller one.
  EXPECT_EQ(form.TabSheetInstall->Height(), 289 + 49 + 8);
  EXPECT_EQ(form.MainPageControl->GetBounds(), (ui::Bounds{8, 8, 433, 29 + 346 + 8}));
}

// A toolkit whose captions are larger and whose combo fields are taller.
class LargerToolkit : public ui::HeadlessToolkit {
 public:
  using HeadlessToolkit::HeadlessToolkit;
  int CaptionFontPoints(const ui::Control&) const override { return 20; }
  int ComboBoxClientHeight(const ui::Control&) const override { return 40; }
};

TEST_F(SetupFormTest, OtherMetricsMoveTheControlsButNotTheFlag) {
  LargerToolkit toolkit(WindowThread::Main());
  WindowThread::Main().Attach();
  TSetupForm1 form(toolkit, WindowThread::Main());
  toolkit.RunUntil([&] { return form.CreationComplete(); });
  EXPECT_EQ(form.NTFSLabel->Top(), 36);
  EXPECT_EQ(form.FAT32Label->Top(), 36 + 17 + 4 + 40 + 8);
  EXPECT_EQ(form.DriveList->Height(), form.FAT32DriveLists->Top() + 48);
  EXPECT_EQ(form.LanguageImage->Left(), 410);
}

TEST_F(SetupFormTest, CreationSetsTheCaptionsAndTheDesignState) {
  TSetupForm1& form = Open();
  EXPECT_EQ(form.TabSheetCreate->Caption(), "AutoPartition");
  EXPECT_EQ(form.NTFSSizeOptions->Caption(), "NTFS Size (MB)");
  EXPECT_EQ(form.AutoRunOption->Hint(), form.AutoRunOption->Caption());
  EXPECT_EQ(form.MainPageControl->ActivePage(), form.TabSheetInstall);
  EXPECT_TRUE(form.MBRItem->Checked());
  EXPECT_FALSE(form.GPTItem->Checked());
  EXPECT_TRUE(form.ESPActiveOption->Checked());
  EXPECT_FALSE(form.ESPActiveOption->Enabled());
  EXPECT_TRUE(form.AutoRunOption->Checked());
  EXPECT_FALSE(form.BootloaderOption->Checked());
  EXPECT_EQ(form.ProgressBar, nullptr);
  EXPECT_FALSE(form.LanguageImage->Picture().empty());
  // Only the language link is read right to left, flush right and centred on its line.
  EXPECT_TRUE(form.LanguageLabel->RightToLeft());
  EXPECT_TRUE(form.LanguageLabel->CentredVertically());
  EXPECT_FALSE(form.NTFSLabel->RightToLeft());
  EXPECT_FALSE(form.FAT32Label->CentredVertically());
  form.GPTItem->Click();
  EXPECT_FALSE(form.MBRItem->Checked());
}

TEST_F(SetupFormTest, TheFirstJobAddsTheBarAFailedJobPausesItAndTheNextStartResetsIt) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  form.SetClientHeight(form.MainPageControl->Bottom() + 8);  // as the entry sets it
  const int height = form.ClientHeight();
  ASSERT_EQ(form.DiskLists->ItemIndex(), 0);

  // The job cannot open its disk and fails at once.
  emu::Fault fault;
  fault.call = "CreateFileW";
  fault.path = "\\\\.\\PHYSICALDRIVE1";
  fault.error = ERROR_ACCESS_DENIED;
  fault.once = false;
  emu::InjectFault(fault);

  form.ButtonCreate->Click();
  ASSERT_NE(form.ProgressBar, nullptr);
  EXPECT_EQ(form.ProgressBar->GetBounds(), (ui::Bounds{0, height, form.ClientWidth(), 10}));
  EXPECT_EQ(form.ClientHeight(), height + 10);
  EXPECT_EQ(form.ProgressBar->Max(), 100);
  EXPECT_FALSE(form.ButtonCreate->Enabled());
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.ProgressBar->State(), ProgressState::Paused);
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
  EXPECT_EQ(toolkit_.Boxes()[0].caption, "Error!");
  EXPECT_EQ(toolkit_.Boxes()[0].text, "Error!");
  EXPECT_EQ(toolkit_.Boxes()[0].style, ui::kBoxIconError);
  EXPECT_TRUE(form.ButtonCreate->Enabled());
  EXPECT_TRUE(Contains(Log(), "\r\n\r\nError!\r\n"));

  ui::ProgressBar* bar = form.ProgressBar;
  form.ButtonCreate->Click();
  EXPECT_EQ(form.ProgressBar, bar);
  EXPECT_EQ(form.ProgressBar->State(), ProgressState::Normal);
  EXPECT_EQ(form.ClientHeight(), height + 10);
  ASSERT_TRUE(WaitIdle());
  int bars = 0;
  for (const ui::Control* control : form.AllControls()) bars += control->kind() == ui::Kind::ProgressBar;
  EXPECT_EQ(bars, 1);
}

TEST_F(SetupFormTest, WhileAJobRunsBothButtonsRefuseAndTheWindowStaysOpen) {
  AddStick(1, 20);
  TSetupForm1& form = Open();
  emu::Fault fault;
  fault.call = "CreateFileW";
  fault.path = "\\\\.\\PHYSICALDRIVE1";
  fault.error = ERROR_ACCESS_DENIED;
  fault.once = false;
  emu::InjectFault(fault);
  form.ButtonCreate->Click();  // the worker exists from here until its teardown
  ClearLog();
  form.SetupButton->Click();
  form.ButtonCreate->Click();  // disabled: nothing at all
  EXPECT_TRUE(form.SetupButton->Enabled());
  form.Close();
  EXPECT_FALSE(form.Closed());
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
  EXPECT_EQ(toolkit_.Boxes()[0].caption, "Warning");
  EXPECT_EQ(toolkit_.Boxes()[0].text, "Processes are running, wait until they complete.");
  EXPECT_EQ(toolkit_.Boxes()[0].style, ui::kBoxIconWarning);
  const std::string log = Log();
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(Contains(log, "Please wait for other tasks to complete.\r\n"));
  EXPECT_EQ(log.find("Please wait for other tasks to complete."),
            log.rfind("Please wait for other tasks to complete."));  // once: Create was disabled
  form.Close();
  EXPECT_TRUE(form.Closed());
}

TEST_F(SetupFormTest, CreateRefusesWhileAnInstallRunsAndInstallWantsBothDrives) {
  TSetupForm1& form = Open();
  ClearLog();
  form.SetupButton->Click();  // no drives at all: that line and nothing else
  EXPECT_EQ(Log(), "Please select the drives.\r\n");
  EXPECT_TRUE(form.SetupButton->Enabled());
  EXPECT_EQ(form.ProgressBar, nullptr);
  EXPECT_TRUE(toolkit_.Boxes().empty());

  int stand_in = 0;  // an install worker as far as the reference tells
  ActiveInstallThread = reinterpret_cast<TInstallThread*>(&stand_in);
  ClearLog();
  form.ButtonCreate->Click();
  ActiveInstallThread = nullptr;
  EXPECT_EQ(Log(), "Please wait for other tasks to complete.\r\n");
  EXPECT_TRUE(form.ButtonCreate->Enabled());
  EXPECT_TRUE(toolkit_.Boxes().empty());
}

TEST_F(SetupFormTest, InstallPassesTheDriveLetterAndTheWholeFat32Entry) {
  AddStick(1, 20);
  PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'}, {"FAT32", 64, "", 0}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.NTFSDriveLists->Text(), "E:\\ - 60 MB - NTFS - DATA");
  ASSERT_EQ(form.FAT32DriveLists->Text().substr(0, 16), "Partition #2 - 6");
  ClearLog();
  form.SetupButton->Click();
  EXPECT_FALSE(form.SetupButton->Enabled());
  ASSERT_TRUE(WaitIdle());
  // The worker took the letter from "E", the partition number from the whole entry.
  EXPECT_EQ(Lines(Log())[0], "Install to drive: E: & Partition #2");
  EXPECT_TRUE(form.SetupButton->Enabled());
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
}

TEST_F(SetupFormTest, AfterAJobTheNtfsListFallsBackToItsDefault) {
  AddStick(1, 20);
  AddStick(2, 20);
  PrepareDisk(1, {{"NTFS", 60, "ONE", 'E'}, {"FAT32", 64, "EFI1", 'F'}});
  PrepareDisk(2, {{"NTFS", 60, "TWO", 'G'}, {"FAT32", 64, "EFI2", 'H'}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.NTFSDriveLists->Items().size(), 2u);
  EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), 0);
  form.NTFSDriveLists->Pick(1);
  EXPECT_EQ(form.FAT32DriveLists->Text().substr(0, 3), "H:\\");

  emu::Fault fault;
  fault.call = "CreateFileW";
  fault.path = "\\\\.\\PHYSICALDRIVE1";
  fault.error = ERROR_ACCESS_DENIED;
  fault.once = true;
  emu::InjectFault(fault);
  form.ButtonCreate->Click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.NTFSDriveLists->ItemIndex(), 0);
  EXPECT_EQ(form.FAT32DriveLists->Text().substr(0, 3), "F:\\");
}

TEST_F(SetupFormTest, APlugInWhileIdleKeepsTheChosenEntryAndAnUnplugDropsIt) {
  AddStick(1, 20);
  AddStick(2, 20);
  PrepareDisk(1, {{"NTFS", 60, "ONE", 'E'}, {"FAT32", 64, "EFI1", 'F'}});
  PrepareDisk(2, {{"NTFS", 60, "TWO", 'G'}, {"FAT32", 64, "EFI2", 'H'}});
  EditMachine([](nlohmann::json& config) { config["disks"][2]["attached"] = false; });
  TSetupForm1& form = Open();
  ASSERT_EQ(form.NTFSDriveLists->Items().size(), 1u);
  ASSERT_EQ(form.DiskLists->Items().size(), 1u);

  std::string error;
  ASSERT_TRUE(emu::PlugDisk(2, error)) << error;
  ASSERT_TRUE(WaitIdle());
  ASSERT_EQ(form.NTFSDriveLists->Items().size(), 2u);
  EXPECT_EQ(form.NTFSDriveLists->Text().substr(0, 3), "E:\\");
  EXPECT_EQ(form.DiskLists->Items().size(), 2u);

  form.NTFSDriveLists->Pick(1);
  ASSERT_TRUE(emu::UnplugDisk(1, error)) << error;
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.NTFSDriveLists->Text().substr(0, 3), "G:\\");

  ASSERT_TRUE(emu::UnplugDisk(2, error)) << error;
  ASSERT_TRUE(WaitIdle());
  EXPECT_TRUE(form.NTFSDriveLists->Items().empty());
  EXPECT_EQ(form.FAT32DriveLists->Text().substr(0, 3), "H:\\");  // kept
  form.SetupButton->Click();
  EXPECT_EQ(Lines(Log()).back(), "Please select the drives.");
}

TEST_F(SetupFormTest, ANoticeDuringADriveRebuildIsServedOnceItEndsWithoutBlocking) {
  AddStick(1, 20);
  PrepareDisk(1, {{"NTFS", 60, "ONE", 'E'}, {"FAT32", 64, "EFI1", 'F'}});
  EditMachine([](nlohmann::json& config) { config["disks"][1]["attached"] = false; });
  WindowThread::Main().Reopen();
  WindowThread::Main().Attach();
  // No native window yet, so the machine's own notifications do not reach it.
  form_ = std::make_unique<TSetupForm1>(toolkit_, WindowThread::Main());
  toolkit_.RunUntil([&] { return form_->CreationComplete(); });
  TSetupForm1& form = *form_;
  std::string error;
  ASSERT_TRUE(emu::PlugDisk(1, error)) << error;

  DEV_BROADCAST_VOLUME volume{sizeof(DEV_BROADCAST_VOLUME), DBT_DEVTYP_VOLUME, 0, 1u << 4, 0};
  form.RefreshDrive = true;  // as if a rebuild ran further down the stack
  form.WndProc(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&volume));
  EXPECT_TRUE(form.NTFSDriveLists->Items().empty());
  EXPECT_EQ(toolkit_.ActiveTimers(), 1u);
  EXPECT_FALSE(form.Idle());
  Pump(std::chrono::milliseconds(250));
  EXPECT_TRUE(form.NTFSDriveLists->Items().empty());  // still waiting, the loop still turning
  form.RefreshDrive = false;
  Pump(std::chrono::milliseconds(250));
  EXPECT_EQ(form.NTFSDriveLists->Items().size(), 1u);
  EXPECT_EQ(toolkit_.ActiveTimers(), 0u);
  EXPECT_TRUE(form.Idle());

  // Other device types do not wait.
  form.NTFSDriveLists->Clear();
  DEV_BROADCAST_HDR port{sizeof(DEV_BROADCAST_HDR), 3, 0};
  form.RefreshDrive = true;
  form.WndProc(WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&port));
  EXPECT_EQ(form.NTFSDriveLists->Items().size(), 1u);
  EXPECT_FALSE(form.RefreshDrive);
}

// A switch whose choice cannot be stored (the value refused) still switches; the old stored
// value stays, and the next switch, stored again, goes back.
TEST_F(SetupFormTest, ALanguageSwitchWhoseChoiceCannotBeStoredStillSwitches) {
  const auto stored = [] {
    win::RegKey key;
    if (win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, KEY_READ, key) !=
        ERROR_SUCCESS) {
      return std::string("<no key>");
    }
    BYTE data[64];
    DWORD size = sizeof data, type = 0;
    if (win::RegQueryValueExW(key.get(), "Language", &type, data, &size) != ERROR_SUCCESS) {
      return std::string("<no value>");
    }
    return win::RegStringFromData(data, size);
  };
  {
    win::RegKey key;
    ASSERT_EQ(win::RegCreateKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, 0, KEY_WRITE,
                                   nullptr, key, nullptr),
              ERROR_SUCCESS);
    auto data = win::RegStringData("vi_VN");
    ASSERT_EQ(win::RegSetValueExW(key.get(), "Language", 0, REG_SZ, data.data(),
                                  static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }
  TSetupForm1& form = Open();
  ASSERT_EQ(form.TabSheetInstall->Caption(), "Install");

  emu::InjectFault({"RegSetValueExW", "Language", std::nullopt, ERROR_ACCESS_DENIED});
  form.LanguageImage->Click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.TabSheetInstall->Caption(), "Cài đặt");
  EXPECT_EQ(stored(), "vi_VN");

  form.LanguageLabel->Click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.TabSheetInstall->Caption(), "Install");
  EXPECT_EQ(stored(), "vi_VN");  // Vietnamese was left

  // The key itself cannot be opened for writing: the same, without a word or a box.
  ClearLog();
  emu::InjectFault({"RegCreateKeyExW", "SOFTWARE\\VELUND", std::nullopt, ERROR_ACCESS_DENIED});
  form.LanguageImage->Click();
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(form.TabSheetInstall->Caption(), "Cài đặt");
  EXPECT_EQ(stored(), "vi_VN");
  EXPECT_EQ(Log(), "");
  EXPECT_TRUE(toolkit_.Boxes().empty());
}

// A language switch and device notifications while a create job runs (also a ThreadSanitizer
// case): the drive lists stay, the disk list follows the devices, the language changes. The job
// is held while its FAT32 partition waits to arrive, so the notices surely meet a running job.
TEST_F(SetupFormTest, ALanguageSwitchAndAPlugInDuringAJob) {
  AddStick(1, 20);
  AddStick(2, 20);
  PrepareDisk(2, {{"NTFS", 60, "TWO", 'G'}, {"FAT32", 64, "EFI2", 'H'}});
  EditMachine([](nlohmann::json& config) { config["disks"][2]["attached"] = false; });
  TSetupForm1& form = Open();
  ASSERT_EQ(form.DiskLists->Items().size(), 1u);
  const long long fat32Offset = (std::stoll(form.NTFSSizeBox->Text()) + 2) * 1048576;
  ASSERT_NE(fat32Offset, 61 * 1048576);  // disk 2's FAT32 partition must still arrive
  TThreadCreate::VolumeArrivalLimit = std::chrono::milliseconds(60000);
  emu::HideVolumeArrivals(true, fat32Offset);
  form.ButtonCreate->Click();
  form.LanguageImage->Click();
  std::string error;
  ASSERT_TRUE(emu::PlugDisk(2, error)) << error;
  Pump(std::chrono::milliseconds(200));
  ASSERT_TRUE(TSetupForm1::JobRuns());
  EXPECT_TRUE(form.NTFSDriveLists->Items().empty());  // drive rebuilds wait for the job's end
  EXPECT_EQ(form.DiskLists->Items().size(), 2u);

  // The FAT32 partition arrives; the job goes on to its end.
  emu::HideVolumeArrivals(false);
  emu::Storage::Lock().storage.RescanDisk(1);
  ASSERT_TRUE(WaitIdle());
  TThreadCreate::VolumeArrivalLimit = std::chrono::milliseconds(10000);
  EXPECT_EQ(form.TabSheetInstall->Caption(), "Cài đặt");
  EXPECT_EQ(form.DiskLists->Items().size(), 2u);
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
  EXPECT_EQ(toolkit_.Boxes()[0].caption, "Việc tạo đã xong, giờ có thể Cài đặt.");
  EXPECT_EQ(toolkit_.Boxes()[0].style, ui::kBoxIconInformation);
  // After the job: the stick the job made and the one plugged in.
  EXPECT_EQ(form.NTFSDriveLists->Items().size(), 2u);
}

}  // namespace
