// The install worker end to end on sticks made by the create job and on sticks partitioned by
// hand: its transcript, its progress, what it leaves on the volumes and on the disk, and its
// teardown.
#include "install/install_thread.h"

#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "disk/create_disk_thread.h"
#include "disk/disk_queries.h"
#include "install/efi_stage.h"
#include "install/finish_stage.h"
#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/programs.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_sync.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"
#include "ui/job_host.h"

namespace {

std::string ReadHost(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The first `size` bytes of a (large, sparse) disk image.
std::string ReadStart(const std::filesystem::path& file, std::size_t size) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(size, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(size));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

class InstallThreadTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    // A build without the payload cannot install: its tests fail rather than pass unseen.
    ASSERT_NE(win::FindResourceW(nullptr, "KYR7z", RT_RCDATA), nullptr)
        << "no payload in this build";
    AddStick(1, 130, sectorSize_);  // 1 GB of 512-byte sectors
    LoadLanguageForTest("en_US");
    output_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
    emu::SetStandardOutput(output_);
    SetJobHost(&host_);
  }
  void TearDown() override {
    emu::HideVolumeArrivals(false);
    SetJobHost(nullptr);
    MachineTest::TearDown();
  }

  // The stick as the create job leaves it. MBR: FAT32 (100 MB) on D:, NTFS on E:. GPT: NTFS on
  // D:, and the EFI system partition, which gets no letter of its own, is given F:.
  void CreateStick(bool mbr) {
    host_ = RecordingHost();
    auto* create = new TThreadCreate("RM1 - Generic Flash Disk USB - 1 GB", 100, 800, mbr);
    ActiveCreateThread = create;
    create->Start();
    WindowThread::Main().RunUntil([&] { return host_.rebuilt; });
    ntfs_ = mbr ? "E" : "D";
    ASSERT_EQ(win::GetDriveTypeW(ntfs_ + ":\\"), DRIVE_REMOVABLE);
    if (!mbr) {
      ASSERT_TRUE(win::SetVolumeMountPointW("F:\\", LetterlessVolumeName()));
    }
  }

  static std::string LetterlessVolumeName() {
    auto locked = emu::Storage::Lock();
    for (const auto& volume : locked.storage.Volumes()) {
      if (volume->letter == 0 && volume->Disk() == 1) return "\\\\?\\" + volume->Name() + "\\";
    }
    return {};
  }

  // Err of the run.
  bool Install(const std::string& fat32Entry, bool bootsector = false, bool autoRun = false,
               std::string* tempdir = nullptr) {
    host_ = RecordingHost();
    output_->Clear();
    bool err = false;
    auto* worker = new TInstallThread(ntfs_, fat32Entry, bootsector, autoRun);
    ActiveInstallThread = worker;
    worker->SetOnTerminate([&](WorkerThread& done) {
      err = done.Err;
      if (tempdir) *tempdir = static_cast<TInstallThread&>(done).tempdir;
    });
    worker->Start();
    WindowThread::Main().RunUntil([&] { return host_.rebuilt; });
    EXPECT_EQ(ActiveInstallThread.load(), nullptr);
    EXPECT_FALSE(host_.activeAtRebuild);
    return err;
  }

  // Clears the status byte of primary entry `entry` in the image and starts the machine again,
  // which reads the table anew.
  void MakeInactive(int entry) {
    {
      std::fstream image(DiskImage(1), std::ios::in | std::ios::out | std::ios::binary);
      image.seekp(446 + 16 * entry);
      image.put('\0');
    }
    emu::Machine::Use(directory_);
    LoadLanguageForTest("en_US");
    emu::SetStandardOutput(output_);
  }

  std::string Sectors(std::size_t count) {
    return ReadStart(DiskImage(1), 512 * count);
  }

  std::string Table() { return ShellOutput("sfdisk -d " + DiskImage(1)); }

  static std::string Uuid(const std::string& drive) {
    std::string uuid;
    EXPECT_TRUE(ReadVolumeUuid(drive, uuid));
    return uuid;
  }

  static bool Started(const std::string& commandLine) {
    for (const std::string& line : emu::StartedCommandLines()) {
      if (line.find(commandLine) != std::string::npos) return true;
    }
    return false;
  }

  RecordingHost host_;
  std::shared_ptr<emu::CapturedOutput> output_;
  std::string ntfs_ = "E";
  unsigned sectorSize_ = 512;
};

constexpr char kGptOpening[] =
    "Install to drive: D: & F:\r\nDisk: 1 (GPT)\r\n\r\n"
    "Checking if BIOS boot partition exists...found\r\n\r\n";
constexpr char kStages[] =
    "Extracting files to temp directory...done\r\n\r\n"
    "Copying EFI folder to FAT32 drive...done\r\n"
    "Copying KYR folder to NTFS/exFAT drive...done\r\n\r\n"
    "Installing Grub2 (i386-pc):\r\n\r\n"
    "Executing, please wait...done\r\n\r\n"
    "Copying additional files...done\r\n\r\n";

TEST_F(InstallThreadTest, LetterModeOnGptWordForWord) {
  CreateStick(false);
  std::string tempdir;
  EXPECT_FALSE(Install("F: - NO NAME - 100 MB", false, false, &tempdir));
  EXPECT_EQ(output_->Contents(),
            std::string(kGptOpening) + kStages);
  EXPECT_EQ(host_.positions,
            (std::vector<int>{2, 5, 10, 15, 3, 4, 10, 30, 55, 57, 60, 87, 100}));
  EXPECT_FALSE(Started("cmd.exe"));
  // The teardown deleted the temporary folder.
  EXPECT_EQ(tempdir, "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract");
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);

  // The FAT32 partition: loaders, fallback loaders, the three-line configuration, the stores.
  const std::string config = ReadHost(HostPath('F', "EFI/velund/grub.cfg"));
  EXPECT_EQ(config, EfiGrubConfig(Uuid("D:")));
  EXPECT_EQ(ReadHost(HostPath('F', "EFI/Boot/grub.cfg")), config);
  EXPECT_FALSE(ReadHost(HostPath('F', "EFI/velund/shimx64.efi")).empty());
  EXPECT_EQ(ReadHost(HostPath('F', "EFI/Boot/bootx64.efi")),
            ReadHost(HostPath('F', "EFI/velund/shimx64.efi")));
  EXPECT_EQ(ReadHost(HostPath('F', "EFI/Boot/bootia32.efi")),
            ReadHost(HostPath('F', "EFI/velund/grubia32.efi")));
  EXPECT_EQ(ReadHost(HostPath('F', "EFI/Boot/bootaa64.efi")),
            ReadHost(HostPath('F', "EFI/velund/shimaa64.efi")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('F', "EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('F', "Boot/BCD")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('F', "EFI/Microsoft/Boot/BCD")));

  // The NTFS volume: the payload folder with GRUB's files, the additional files, Info.ini, the
  // menu's stores; and GRUB for BIOS installed by the payload's own installer.
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "KYR/grub/i386-pc/core.img")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "KYR/Tools/7-Zip/7z.dll")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "Velund_Orrin.cmd")));
  EXPECT_EQ(ReadHost(HostPath('D', "KYR/Tools/Velund/Info.ini")),
            "\xEF\xBB\xBF[Info]\r\nBuild=23021500\r\nName=Velund Orrin\r\n\r\n"
            "[Options]\r\nLanguage=EN_US\r\nShowMenu=1\r\n\r\n");
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_pc")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_efi")));
  EXPECT_TRUE(Started("tools\\grub-install.exe -d grub\\i386-pc --boot-directory=D:\\KYR "
                      "--locales=none --fonts=none //./PHYSICALDRIVE1"));
  EXPECT_NE(Sectors(1).find("GRUB"), std::string::npos);  // boot code in sector 0

  // AutoRun adds position 95 and the start script, left running.
  EXPECT_FALSE(Install("F: - NO NAME - 100 MB", false, true));
  EXPECT_EQ(output_->Contents(),
            std::string(kGptOpening) + kStages);
  EXPECT_EQ(host_.positions,
            (std::vector<int>{2, 5, 10, 15, 3, 4, 10, 30, 55, 57, 60, 87, 95, 100}));
  EXPECT_TRUE(Started("cmd.exe /C cd /d D:\\ & start D:\\Velund_Orrin.cmd"));
}

TEST_F(InstallThreadTest, BootsectorLeavesTheFallbackFolderAndTheBootCodeAlone) {
  CreateStick(true);
  const std::string bootCode = Sectors(1).substr(0, 440);
  EXPECT_FALSE(Install("D: - NO NAME - 100 MB", true));
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "EFI/Boot")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "EFI/velund/grubx64.efi")));
  EXPECT_TRUE(std::filesystem::exists(HostPath('D', "EFI/ENROLL_THIS_KEY_IN_MOKMANAGER.cer")));
  EXPECT_EQ(Sectors(1).substr(0, 440), bootCode);
  EXPECT_TRUE(Started("--fonts=none --no-bootsector //./PHYSICALDRIVE1"));
  EXPECT_TRUE(std::filesystem::exists(HostPath('E', "KYR/grub/i386-pc/core.img")));
}

TEST_F(InstallThreadTest, ASecondInstallReplacesThePayloadAndKeepsWhatIsTheUsers) {
  CreateStick(true);
  ASSERT_FALSE(Install("D: - NO NAME - 100 MB"));
  const std::string loader = ReadHost(HostPath('D', "EFI/velund/grubx64.efi"));
  const std::string menu = ReadHost(HostPath('E', "KYR/grub/grub.cfg"));
  std::ofstream(HostPath('D', "EFI/velund/grubx64.efi"), std::ios::trunc) << "changed";
  std::ofstream(HostPath('E', "KYR/grub/grub.cfg"), std::ios::trunc) << "changed";
  std::ofstream(HostPath('D', "EFI/mine.txt")) << "mine";
  std::ofstream(HostPath('E', "KYR/mine.txt")) << "mine";
  std::ofstream(HostPath('E', "KYR/grub/themes/splash.png"), std::ios::trunc) << "my splash";
  std::ofstream(HostPath('E', "KYR/Menu/BCD_pc"), std::ios::trunc) << "my store";
  std::ofstream(HostPath('D', "Boot/BCD"), std::ios::trunc) << "my store";

  ASSERT_FALSE(Install("D: - NO NAME - 100 MB"));
  EXPECT_EQ(ReadHost(HostPath('D', "EFI/velund/grubx64.efi")), loader);
  EXPECT_EQ(ReadHost(HostPath('E', "KYR/grub/grub.cfg")), menu);
  EXPECT_EQ(ReadHost(HostPath('D', "EFI/mine.txt")), "mine");
  EXPECT_EQ(ReadHost(HostPath('E', "KYR/mine.txt")), "mine");
  EXPECT_EQ(ReadHost(HostPath('E', "KYR/grub/themes/splash.png")), "my splash");
  // Stores that exist are left as they are.
  EXPECT_EQ(ReadHost(HostPath('E', "KYR/Menu/BCD_pc")), "my store");
  EXPECT_EQ(ReadHost(HostPath('D', "Boot/BCD")), "my store");
}

// What the process's end writes through, read back from the image by GRUB's own file-system
// drivers: the environment's menu from the NTFS volume, the UEFI loader's from the FAT32 one.
class ImageContentsTest : public InstallThreadTest {
 protected:
  void CheckMenus(bool mbr) {
    CreateStick(mbr);
    const char fat32 = mbr ? 'D' : 'F';
    ASSERT_FALSE(Install(std::string(1, fat32) + ": - NO NAME - 100 MB"));
    std::string error;
    ASSERT_TRUE(emu::SyncAllVolumes(true, error)) << error;

    // GRUB's partition name of the volume with that letter.
    const auto grubName = [&](char letter) {
      LONGLONG offset = 0;
      {
        auto locked = emu::Storage::Lock();
        offset = locked.storage.FindVolumeByLetter(letter)->Offset();
      }
      const auto table = nlohmann::json::parse(ShellOutput("sfdisk --json " + DiskImage(1)));
      const auto& partitions = table["partitiontable"]["partitions"];
      for (std::size_t i = 0; i < partitions.size(); ++i) {
        if (partitions[i]["start"].get<LONGLONG>() * 512 == offset)
          return std::string("(loop0,") + (mbr ? "msdos" : "gpt") + std::to_string(i + 1) + ")";
      }
      return std::string("(none)");
    };
    for (const auto& [letter, file] :
         {std::pair{ntfs_[0], "KYR/grub/grub.cfg"}, std::pair{fat32, "EFI/velund/grub.cfg"}}) {
      ASSERT_TRUE(std::filesystem::exists(HostPath(letter, file))) << file;
      EXPECT_EQ(ShellOutput("grub-fstest " + DiskImage(1) + " cmp '" + grubName(letter) + "/" +
                            file + "' '" + HostPath(letter, file).string() +
                            "' 2>&1 && echo same"),
                "same\n")
          << file;
    }
  }
};

TEST_F(ImageContentsTest, GrubReadsBothMenusFromAnMbrStick) { CheckMenus(true); }
TEST_F(ImageContentsTest, GrubReadsBothMenusFromAGptStick) { CheckMenus(false); }

TEST_F(InstallThreadTest, AnInstallerThatFailsEndsTheRunWithItsExitCode) {
  CreateStick(true);
  const emu::Program real = emu::RegisteredProgram("grub-install.exe");
  emu::RegisterProgram("grub-install.exe", [](const emu::ProgramRun&) -> DWORD { return 1; });
  std::string tempdir;
  const bool err = Install("D: - NO NAME - 100 MB", false, false, &tempdir);
  emu::RegisterProgram("grub-install.exe", real);
  EXPECT_TRUE(err);
  // The teardown deleted the temporary folder after a failed run as well.
  EXPECT_FALSE(tempdir.empty());
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
  const std::vector<std::string> lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Executing, please wait...fail");
  EXPECT_EQ(lines.back(), "Status: Incorrect function");
  EXPECT_EQ(host_.positions.back(), 60);
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "Velund_Orrin.cmd")));
}

TEST_F(InstallThreadTest, TheInstallerIsKeptFromChangeUntilItRuns) {
  CreateStick(true);
  // Another program of the user, while the payload folder is copied (after the extraction, before
  // the installer starts), tries to open the installer for writing and to delete it.
  std::vector<DWORD> errors;
  emu::InjectInterleave({"SHFileOperationW", "", 0, [&] {
                           const std::string installer = "tools\\grub-install.exe";
                           win::Handle writer(win::CreateFileW(
                               installer, GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                           errors.push_back(writer ? 0 : win::GetLastError());
                           writer.reset();
                           errors.push_back(win::DeleteFileW(installer) ? 0 : win::GetLastError());
                         }});
  std::string tempdir;
  EXPECT_FALSE(Install("D: - NO NAME - 100 MB", false, false, &tempdir));
  EXPECT_EQ(errors, std::vector<DWORD>(2, ERROR_SHARING_VIOLATION));
  EXPECT_TRUE(Started("tools\\grub-install.exe"));
  // Held no longer once it ran: the teardown deleted the folder.
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
}

TEST_F(InstallThreadTest, AnInstallerChangedBeforeItIsHeldDoesNotRun) {
  CreateStick(true);
  // Between the installer's extraction and its hold, another program replaces it.
  emu::InjectInterleave({"CreateFileW", "tools\\grub-install.exe", 0, [] {
                           std::string folder;
                           win::GetCurrentDirectoryW(folder);
                           win::Handle writer(win::CreateFileW(
                               folder + "\\tools\\grub-install.exe", GENERIC_WRITE, 0, nullptr,
                               CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
                           DWORD written = 0;
                           win::WriteFile(writer.get(), "MZ", 2, &written, nullptr);
                         }});
  std::string tempdir;
  EXPECT_TRUE(Install("D: - NO NAME - 100 MB", false, false, &tempdir));
  const std::vector<std::string> lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Extracting files to temp directory...done");
  EXPECT_EQ(lines.back(),
            "Status: The volume for a file has been externally altered so that the opened file "
            "is no longer valid");
  EXPECT_FALSE(Started("grub-install"));
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
}

// The FAT32 partition without a drive letter: reached through a temporary layout.
class PartitionModeTest : public InstallThreadTest {
 protected:
  void SetUp() override {
    InstallThreadTest::SetUp();
    if (HasFatalFailure()) return;
    CreateStick(true);
    // As Windows before 10 version 1703 has it: only the first partition of a removable disk, the
    // NTFS one, is mounted.
    nlohmann::json config = emu::Machine::Get().Config();
    config["mount_policy"]["removable_first_partition_only"] = true;
    std::ofstream(directory_ / "machine.json") << config.dump(2);
    emu::Machine::Use(directory_);
    LoadLanguageForTest("en_US");
    emu::SetStandardOutput(output_);
    ASSERT_EQ(win::GetDriveTypeW("D:\\"), DRIVE_NO_ROOT_DIR);
    table_ = Table();
    fat32Offset_ = nlohmann::json::parse(ShellOutput("sfdisk --json " + DiskImage(1)))
                       ["partitiontable"]["partitions"][1]["start"].get<LONGLONG>() * 512;
  }

  // The FAT32 volume's files, mounted or not: the machine keeps them by partition.
  std::filesystem::path Fat32Folder() {
    emu::HideVolumeArrivals(false);
    nlohmann::json config = emu::Machine::Get().Config();
    config["mount_policy"]["removable_first_partition_only"] = false;
    std::ofstream(directory_ / "machine.json") << config.dump(2);
    emu::Machine::Use(directory_);
    auto locked = emu::Storage::Lock();
    for (const auto& volume : locked.storage.Volumes()) {
      if (volume->Disk() == 1 && volume->Offset() == fat32Offset_) {
        return locked.storage.VolumeFolder(*volume);
      }
    }
    return {};
  }

  std::string table_;
  LONGLONG fat32Offset_ = 0;
};

TEST_F(PartitionModeTest, TheLoadersReachAPartitionWithoutALetter) {
  EXPECT_FALSE(Install("Partition #2 - FAT32 - 100 MB"));
  const std::vector<std::string> lines = LogLines(output_->Contents());
  EXPECT_EQ(lines[0], "Install to drive: E: & Partition #2");
  EXPECT_EQ(host_.positions,
            (std::vector<int>{2, 5, 10, 15, 3, 4, 10, 30, 32, 34, 35, 37, 40, 42, 47, 45, 55,
                              57, 60, 87, 100}));
  // The disk's own layout is back, E: has its letter, the FAT32 partition still has none.
  EXPECT_EQ(Table(), table_);
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(win::GetDriveTypeW("D:\\"), DRIVE_NO_ROOT_DIR);
  const std::string config = EfiGrubConfig(Uuid("E:"));
  const std::filesystem::path fat32 = Fat32Folder();
  EXPECT_EQ(ReadHost(fat32 / "EFI/velund/grub.cfg"), config);
  EXPECT_TRUE(std::filesystem::exists(fat32 / "EFI/Microsoft/Boot/BCD"));
}

TEST_F(PartitionModeTest, TheLayoutWrittenBackKeepsTheFat32PartitionActive) {
  MakeInactive(1);
  ASSERT_NE(Table(), table_);
  EXPECT_FALSE(Install("Partition #2 - FAT32 - 100 MB"));
  EXPECT_EQ(Table(), table_);  // the FAT32 partition is the bootable one again
  EXPECT_NE(table_.find("bootable"), std::string::npos);
}

TEST_F(PartitionModeTest, AFailedWriteBackWaitsForNoVolume) {
  const auto limit = PartitionModeArrivalLimit;
  PartitionModeArrivalLimit = std::chrono::milliseconds(300);
  // The first layout request is the temporary one; the second, the write-back, fails.
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, ERROR_GEN_FAILURE,
                    true, 1});
  const bool err = Install("Partition #2 - FAT32 - 100 MB");
  PartitionModeArrivalLimit = limit;
  EXPECT_TRUE(err);
  const std::vector<std::string> lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Copying EFI folder to FAT32 drive...done");
  EXPECT_EQ(lines.back(), "Status: A device attached to the system is not functioning");
  EXPECT_EQ(host_.positions.back(), 42);
}

TEST_F(PartitionModeTest, ATemporaryLayoutWhoseUpdateFailsIsStillWrittenBack) {
  const auto limit = PartitionModeArrivalLimit;
  PartitionModeArrivalLimit = std::chrono::milliseconds(300);
  // The temporary table reaches the disk, but the request that follows it fails.
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_UPDATE_PROPERTIES, ERROR_GEN_FAILURE, true});
  const bool err = Install("Partition #2 - FAT32 - 100 MB");
  PartitionModeArrivalLimit = limit;
  EXPECT_TRUE(err);
  const std::vector<std::string> lines = LogLines(output_->Contents());
  EXPECT_EQ(lines.back(), "Status: A device attached to the system is not functioning");
  EXPECT_EQ(Table(), table_);
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_REMOVABLE);
}

TEST_F(PartitionModeTest, AVolumeInUseChangesNothing) {
  std::string error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'E', true, error)) << error;
  const std::string disk = ReadStart(DiskImage(1), 1 << 20);
  EXPECT_TRUE(Install("Partition #2 - FAT32 - 100 MB"));
  const std::vector<std::string> lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[lines.size() - 3],
            "Please close all applications that are accessing the E: drive first.");
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.back(),
            "Status: The process cannot access the file because it is being used by another "
            "process");
  EXPECT_EQ(host_.positions.back(), 30);
  EXPECT_EQ(ReadStart(DiskImage(1), 1 << 20), disk);
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_REMOVABLE);
}

TEST_F(PartitionModeTest, AFat32VolumeThatNeverArrivesEndsTheRun) {
  const auto limit = PartitionModeArrivalLimit;
  PartitionModeArrivalLimit = std::chrono::milliseconds(300);
  emu::HideVolumeArrivals(true, fat32Offset_);
  const bool err = Install("Partition #2 - FAT32 - 100 MB");
  emu::HideVolumeArrivals(false);
  PartitionModeArrivalLimit = limit;
  EXPECT_TRUE(err);
  const std::vector<std::string> lines = LogLines(output_->Contents());
  EXPECT_EQ(lines.back(),
            "Status: This operation returned because the timeout period expired");
  EXPECT_EQ(host_.positions.back(), 40);
  EXPECT_EQ(Table(), table_);  // written back
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_REMOVABLE);  // given back
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "KYR")));  // never reached the finishing
  EXPECT_FALSE(std::filesystem::exists(Fat32Folder() / "EFI"));
}

TEST_F(InstallThreadTest, ARaisedErrorStartsALineOfItsOwn) {
  CreateStick(true);
  emu::InjectFault({"CreateFileW", "7z.dll", std::nullopt, ERROR_ACCESS_DENIED, true});
  std::string tempdir;
  EXPECT_TRUE(Install("D: - NO NAME - 100 MB", false, false, &tempdir));
  const std::vector<std::string> lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Extracting files to temp directory...");
  EXPECT_EQ(lines.back(), "Cannot create file \"7z.dll\". Access is denied");
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
}

TEST_F(InstallThreadTest, AStoreWhoseInheritanceCannotBeWrittenEndsTheInstall) {
  CreateStick(true);
  // The first element value the FAT32 partition's store writes is its list of inherited objects.
  emu::InjectFault({"RegSetValueExW", "Element", std::nullopt, ERROR_ACCESS_DENIED, true});
  std::string tempdir;
  EXPECT_TRUE(Install("D: - NO NAME - 100 MB", false, false, &tempdir));
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "Boot/BCD")));
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "EFI/Microsoft/Boot/BCD")));
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "KYR")));  // the finishing never began
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
}

// A stick of 4096-byte sectors: its boot sector is read and written whole.
class LargeSectorTest : public InstallThreadTest {
 protected:
  LargeSectorTest() { sectorSize_ = 4096; }
};

TEST_F(LargeSectorTest, TheFat32PartitionIsMarkedActive) {
  CreateStick(true);
  MakeInactive(1);
  ASSERT_EQ(Table().find("bootable"), std::string::npos);
  EXPECT_FALSE(Install("D: - NO NAME - 100 MB"));
  EXPECT_EQ(output_->Contents().find("Status: "), std::string::npos) << output_->Contents();
  EXPECT_EQ(static_cast<unsigned char>(Sectors(1)[462]), 0x80);
  EXPECT_EQ(static_cast<unsigned char>(Sectors(1)[446]), 0x00);
}

TEST_F(InstallThreadTest, PartitionEntriesThatCannotBeInstalledTo) {
  CreateStick(true);
  // Partition number 0 ends the run before any output or progress.
  EXPECT_TRUE(Install("Partition #0 - FAT32 - 100 MB"));
  EXPECT_TRUE(output_->Contents().empty());
  EXPECT_TRUE(host_.positions.empty());

  // A partition that is the first entry of the layout: nothing after the disk lines, and no
  // temporary folder to delete.
  std::string tempdir = "unset";
  EXPECT_TRUE(Install("Partition #1 - NTFS - 800 MB", false, false, &tempdir));
  EXPECT_EQ(output_->Contents(),
            "Install to drive: E: & Partition #1\r\nDisk: 1 (MBR)\r\n\r\n\r\n");
  EXPECT_TRUE(tempdir.empty());
}

TEST(InstallCommands, GrubInstallerAndStartScript) {
  EXPECT_EQ(GrubInstallCommand("E", 1, false),
            "tools\\grub-install.exe -d grub\\i386-pc --boot-directory=E:\\KYR --locales=none "
            "--fonts=none //./PHYSICALDRIVE1");
  EXPECT_EQ(GrubInstallCommand("F", 12, true),
            "tools\\grub-install.exe -d grub\\i386-pc --boot-directory=F:\\KYR --locales=none "
            "--fonts=none --no-bootsector //./PHYSICALDRIVE12");
  EXPECT_EQ(StartScriptCommand("E"), "cmd.exe /C cd /d E:\\ & start E:\\Velund_Orrin.cmd");
  EXPECT_EQ(EfiGrubConfig("00A1B2C3D4E5F607"),
            "search.fs_uuid 00A1B2C3D4E5F607 root\nset prefix=($root)/KYR/grub\n"
            "configfile $prefix/grub.cfg");
}

}  // namespace
