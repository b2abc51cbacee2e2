// The create-disk job end to end on an emulated removable disk: what the console shows, what the
// window is handed, and what the disk holds afterwards, read back by independent tools.
#include "disk/create_disk_thread.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

#include <nlohmann/json.hpp>

#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/programs.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"
#include "ui/job_host.h"
#include "ui/window_thread.h"

namespace {

class CreateDiskTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddStick(1, 261);  // 2.0 GB
    LoadLanguageForTest("en_US");
    output_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
    emu::SetStandardOutput(output_);
    SetJobHost(&host_);
    TThreadCreate::VolumeArrivalLimit = std::chrono::milliseconds(10000);
  }
  void TearDown() override {
    SetJobHost(nullptr);
    emu::HideVolumeArrivals(false);
    MachineTest::TearDown();
  }

  // Runs one job as the Create button does and waits for its end; the worker's Err.
  bool Create(const std::string& entry, LONGLONG fat32, LONGLONG ntfs, bool mbr) {
    host_ = RecordingHost();
    output_->Clear();
    bool err = false;
    bool finished = false;
    auto* worker = new TThreadCreate(entry, fat32, ntfs, mbr);
    ActiveCreateThread = worker;
    worker->SetOnTerminate([&](WorkerThread& done) {
      // The reference is still set while the completion handler runs.
      EXPECT_EQ(ActiveCreateThread.load(), &done);
      err = done.Err;
      finished = true;
    });
    worker->Start();
    WindowThread::Main().RunUntil([&] { return host_.rebuilt; });
    EXPECT_TRUE(finished);
    EXPECT_EQ(ActiveCreateThread.load(), nullptr);
    EXPECT_FALSE(host_.activeAtRebuild);
    return err;
  }

  nlohmann::json Volumes() { return emu::DescribeMachine(directory_)["volumes"]; }

  // Starts the machine again from machine.json, after disks were added or removed.
  void Restart() {
    emu::Machine::Use(directory_);
    LoadLanguageForTest("en_US");
  }

  std::string Image() { return (directory_ / "disks" / "disk1.img").string(); }

  // Copies a partition out of the image (sparse) for a file-system check.
  std::string Extract(long long offset, long long length) {
    const std::string part = (directory_ / "part.img").string();
    ShellOutput("dd if=" + Image() + " of=" + part + " bs=1M iflag=skip_bytes,count_bytes skip=" +
          std::to_string(offset) + " count=" + std::to_string(length) + " conv=sparse");
    return part;
  }

  RecordingHost host_;
  std::shared_ptr<emu::CapturedOutput> output_;
};

constexpr long long kMiB = 1048576;

TEST_F(CreateDiskTest, AnMbrDiskWordForWord) {
  ASSERT_FALSE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 400, true));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{
                         "Disk: 1", "FAT32 Size: 100MB", "NTFS Size: 400MB", "Style: MBR", "",
                         "Disk Size: 2 GB", "", "Unmounting drives...",
                         "Formatting NTFS partition...done", "Formatting FAT32 partition...done",
                         "Mounting NTFS drive...done"}));
  EXPECT_EQ(host_.positions,
            (std::vector<int>{1, 2, 5, 7, 10, 20, 25, 25, 35, 40, 45, 55, 65, 80, 90, 100}));

  // The table as sfdisk reads it: NTFS at 1 MiB, the active FAT32 partition after a 1 MiB gap.
  const auto table = nlohmann::json::parse(ShellOutput("sfdisk --json " + Image()))["partitiontable"];
  EXPECT_EQ(table["label"], "dos");
  ASSERT_EQ(table["partitions"].size(), 2u);
  EXPECT_EQ(table["partitions"][0]["start"], 2048);
  EXPECT_EQ(table["partitions"][0]["size"], 400 * 2048);
  EXPECT_EQ(table["partitions"][0]["type"], "7");
  EXPECT_FALSE(table["partitions"][0].contains("bootable"));
  EXPECT_EQ(table["partitions"][1]["start"], 402 * 2048);
  EXPECT_EQ(table["partitions"][1]["size"], 100 * 2048);
  EXPECT_EQ(table["partitions"][1]["type"], "c");
  EXPECT_EQ(table["partitions"][1]["bootable"], true);

  // Both file systems are sound.
  EXPECT_NE(ShellOutput("fsck.fat -n " + Extract(402 * kMiB, 100 * kMiB) + "; echo rc=$?").find("rc=0"),
            std::string::npos);
  EXPECT_NE(ShellOutput("ntfsfix -n " + Extract(kMiB, 400 * kMiB) + "; echo rc=$?").find("rc=0"),
            std::string::npos);

  // The NTFS volume has the first letter that was free at the end of the job; the FAT32 volume
  // keeps what the platform gave it on arrival (here D:, the first free one).
  std::map<std::string, std::string> letters;  // file system -> letter, on the stick
  for (const auto& volume : Volumes()) {
    if (volume["disk"] == 1) letters[volume["fs"].get<std::string>()] = volume["letter"];
  }
  EXPECT_EQ(letters, (std::map<std::string, std::string>{{"FAT32", "D"}, {"NTFS", "E"}}));
}

TEST_F(CreateDiskTest, AGptDiskWithItsBiosBootPartition) {
  // Without automatic letters only the worker gives one: the NTFS volume gets D.
  {
    std::ifstream in(directory_ / "machine.json");
    auto config = nlohmann::json::parse(in);
    config["mount_policy"] = {{"auto_letters", false}};
    std::ofstream(directory_ / "machine.json") << config.dump();
    emu::Machine::Use(directory_);
    LoadLanguageForTest("en_US");
  }
  ASSERT_FALSE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 200, 1700, false));
  const auto lines = LogLines(output_->Contents());
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[3], "Style: GPT");
  EXPECT_EQ(lines[10], "Creating grub_bios partition...done");
  EXPECT_EQ(lines[11], "Mounting NTFS drive...done");

  EXPECT_NE(ShellOutput("sgdisk -v " + Image()).find("No problems found"), std::string::npos);
  const auto table = nlohmann::json::parse(ShellOutput("sfdisk --json " + Image()))["partitiontable"];
  EXPECT_EQ(table["label"], "gpt");
  ASSERT_EQ(table["partitions"].size(), 3u);
  EXPECT_EQ(table["partitions"][0]["type"], "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_EQ(table["partitions"][0]["name"], "Microsoft Basic Data");
  EXPECT_EQ(table["partitions"][1]["type"], "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_EQ(table["partitions"][1]["start"], (1702) * 2048);
  EXPECT_EQ(table["partitions"][2]["type"], "21686148-6449-6E6F-744E-656564454649");
  EXPECT_EQ(table["partitions"][2]["start"], (1702 + 200 + 1) * 2048);
  EXPECT_EQ(table["partitions"][2]["size"], 2048);
  EXPECT_NE(table["partitions"][2].value("attrs", std::string()).find("62"), std::string::npos);

  const auto volumes = Volumes();
  ASSERT_EQ(volumes.size(), 3u);  // C:, the NTFS volume and the EFI system partition's volume
  bool sawNtfs = false;
  for (const auto& volume : volumes) {
    if (volume["disk"] != 1) continue;
    if (volume["fs"] == "NTFS") {
      EXPECT_EQ(volume["letter"], "D");
      sawNtfs = true;
    } else {
      EXPECT_EQ(volume["fs"], "FAT32");
      EXPECT_TRUE(volume["letter"].is_null());
    }
  }
  EXPECT_TRUE(sawNtfs);
}

TEST_F(CreateDiskTest, TheSizeCheckRefusesBeforeTheDiskIsOpenedForWriting) {
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1950, true));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{"Disk: 1", "FAT32 Size: 100MB", "NTFS Size: 1950MB",
                                               "Style: MBR", "", "Disk Size: 2 GB",
                                               "Please reduce the size of the partitions."}));
  EXPECT_EQ(host_.positions, (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(emu::DescribeMachine(directory_)["disks"][1]["layout"]["style"], "RAW");

  // A disk that is not there: the geometry query's status line ends the job.
  EXPECT_TRUE(Create("RM7 - Gone - 1 GB", 100, 100, true));
  EXPECT_EQ(LogLines(output_->Contents()).back(), "Status: The system cannot find the file specified");
}

// Sticks of 32 and 2048 cylinders: their whole cylinders end less than 33 sectors past a whole
// MB, while the devices go on beyond them. The Create tab proposes the full size, and the backup
// GPT at the true end leaves room for it.
TEST_F(CreateDiskTest, GptTakesTheFullSizeWhenTheBackupTableLiesBeyondTheWholeCylinders) {
  for (const auto& [cylinders, ntfs] : {std::pair{32LL, 197LL}, std::pair{2048LL, 16011LL}}) {
    SCOPED_TRACE(cylinders);
    AddStick(2, cylinders);
    Restart();
    const LONGLONG geometrySize = cylinders * 255 * 63 * 512;
    ASSERT_EQ((ntfs + 50 + 4) * kMiB, geometrySize / kMiB * kMiB);
    ASSERT_FALSE(Create("RM2 - Generic Flash Disk USB - x", 50, ntfs, false));
    EXPECT_EQ(host_.positions.back(), 100);
    EXPECT_NE(ShellOutput("sgdisk -v " + DiskImage(2)).find("No problems found"),
              std::string::npos);
    const auto table =
        nlohmann::json::parse(ShellOutput("sfdisk --json " + DiskImage(2)))["partitiontable"];
    ASSERT_EQ(table["partitions"].size(), 3u);
    EXPECT_EQ(table["partitions"][2]["start"], (ntfs + 50 + 3) * 2048);
    std::string error;
    ASSERT_TRUE(emu::RemoveDisk(directory_, 2, error)) << error;
    std::filesystem::remove(DiskImage(2));
    Restart();
  }
}

// A device no longer than its whole cylinders: the BIOS boot partition would cover the backup
// GPT, so the job is refused before it writes anything.
TEST_F(CreateDiskTest, GptRefusesALayoutOverTheBackupTableBeforeWriting) {
  emu::NewDisk stick;
  stick.number = 2;
  stick.size = 32 * 255 * 63 * 512;
  stick.name = "Generic Flash Disk USB Device";
  std::string error;
  ASSERT_TRUE(emu::AddDisk(directory_, stick, error)) << error;
  Restart();
  EXPECT_TRUE(Create("RM2 - Generic Flash Disk USB - 251 MB", 50, 197, false));
  EXPECT_EQ(LogLines(output_->Contents()).back(), "Please reduce the size of the partitions.");
  EXPECT_EQ(host_.positions, (std::vector<int>{1, 2, 5}));
  EXPECT_EQ(emu::DescribeMachine(directory_)["disks"][2]["layout"]["style"], "RAW");
}

// A 3 TB disk: an MBR entry cannot count the sectors of the proposed NTFS partition. The size
// check refuses it and the disk's start stays as it was.
TEST_F(CreateDiskTest, MbrRefusesALayoutPast32BitSectorCountsBeforeWriting) {
  AddStick(2, 364733);  // 3.00 TB by its geometry
  const std::string marker = "old boot code";
  {
    std::fstream image(DiskImage(2), std::ios::in | std::ios::out | std::ios::binary);
    image.write(marker.data(), static_cast<std::streamsize>(marker.size()));
  }
  Restart();
  const LONGLONG ntfs = 364733LL * 255 * 63 * 512 / kMiB - 100 - 4;
  EXPECT_TRUE(Create("RM2 - Generic Flash Disk USB - 3.00 TB", 100, ntfs, true));
  EXPECT_EQ(LogLines(output_->Contents()).back(), "Please reduce the size of the partitions.");
  EXPECT_EQ(host_.positions, (std::vector<int>{1, 2, 5}));
  std::string start(marker.size(), '\0');
  std::ifstream(DiskImage(2), std::ios::binary)
      .read(start.data(), static_cast<std::streamsize>(start.size()));
  EXPECT_EQ(start, marker);

  // Within 2^32 sectors the same disk takes an MBR layout.
  EXPECT_FALSE(Create("RM2 - Generic Flash Disk USB - 3.00 TB", 100, 2000, true));
}

TEST_F(CreateDiskTest, AHeldLetterStopsTheJobAfterEarlierLettersWentOffline) {
  ASSERT_FALSE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, true));
  // D: (FAT32) and E: (NTFS) are on the disk now; a program holds E:. Letters of other disks
  // (C:, held too) and a CD-ROM letter are never opened exclusively.
  std::string error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'E', true, error)) << error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'C', true, error)) << error;
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, true));
  const auto lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3],
            "Please close all applications that are accessing the E: drive first.");
  EXPECT_EQ(lines[lines.size() - 2], "");
  EXPECT_EQ(lines.back(),
            "Status: The process cannot access the file because it is being used by another "
            "process");
  EXPECT_EQ(win::GetDriveTypeW("D:\\"), DRIVE_NO_ROOT_DIR);  // taken offline before E:
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_REMOVABLE);
}

TEST_F(CreateDiskTest, FailuresOfFormatAndOfTheLayoutRequests) {
  // format.com ending with exit code 5.
  emu::InjectFault({"format.com", "", std::nullopt, ERROR_ACCESS_DENIED, true});
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, true));
  auto lines = LogLines(output_->Contents());
  EXPECT_EQ(lines[lines.size() - 2], "Formatting NTFS partition...fail");
  EXPECT_EQ(lines.back(), "Status: Access is denied");

  // The stage-1 layout refused.
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, ERROR_INVALID_PARAMETER,
                    true});
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, true));
  EXPECT_EQ(LogLines(output_->Contents()).back(), "Status: The parameter is incorrect");
  EXPECT_EQ(host_.positions.back(), 25);

  // The stage-3 layout refused on GPT: "fail" completes the BIOS partition text.
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_SET_DRIVE_LAYOUT_EX, ERROR_IO_DEVICE, true,
                    2});
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, false));
  lines = LogLines(output_->Contents());
  EXPECT_EQ(lines[lines.size() - 2], "Creating grub_bios partition...fail");
  EXPECT_EQ(lines.back(),
            "Status: The request could not be performed because of an I/O device error");
  EXPECT_EQ(host_.positions.back(), 65);
}

TEST_F(CreateDiskTest, AVolumeThatNeverArrivesEndsTheJobInsteadOfLeavingItUnformatted) {
  TThreadCreate::VolumeArrivalLimit = std::chrono::milliseconds(300);
  emu::HideVolumeArrivals(true);
  EXPECT_TRUE(Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 1800, true));
  const auto lines = LogLines(output_->Contents());
  EXPECT_EQ(lines.back(), "Status: This operation returned because the timeout period expired");
  EXPECT_EQ(lines[lines.size() - 2], "Unmounting drives...");
  EXPECT_EQ(host_.positions.back(), 25);
}

TEST_F(CreateDiskTest, AnNtfsVolumeThatNeverComesBackEndsTheJobWithoutADoneLine) {
  TThreadCreate::VolumeArrivalLimit = std::chrono::milliseconds(300);
  // Once the NTFS partition is formatted, its volume no longer arrives: the final table brings
  // no volume to mount.
  const emu::Program format = emu::RegisteredProgram("format.com");
  emu::RegisterProgram("format.com", [format](const emu::ProgramRun& run) {
    if (run.commandLine.find("FAT32") != std::string::npos) emu::HideVolumeArrivals(true, kMiB);
    return format(run);
  }, true);
  const bool err = Create("RM1 - Generic Flash Disk USB - 2.00 GB", 100, 400, true);
  emu::RegisterProgram("format.com", format, true);
  EXPECT_TRUE(err);
  const auto lines = LogLines(output_->Contents());
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2], "Formatting FAT32 partition...done");
  EXPECT_EQ(lines.back(), "Status: This operation returned because the timeout period expired");
  EXPECT_EQ(host_.positions.back(), 80);
}

TEST_F(CreateDiskTest, ANonNumericDiskEntryEndsTheRunWithErrSet) {
  EXPECT_TRUE(Create("RMx - Broken - 1 GB", 100, 100, true));
  EXPECT_TRUE(host_.rebuilt);
}

}  // namespace
