// The install's target checks on emulated disks whose tables sfdisk wrote.
#include "install/target_checks.h"

#include <gtest/gtest.h>

#include <cstdio>

#include <nlohmann/json.hpp>

#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"

namespace {

class TargetChecksTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddStick(1, 261);
    output_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
  }

  // Writes the table with sfdisk and starts the machine again, which mounts its volumes.
  void Partition(const std::string& script) {
    ShellOutput("(printf '" + script + "' | sfdisk --no-reread --no-tell-kernel " + Image() + ")");
    emu::Machine::Use(directory_);
    LoadLanguageForTest("en_US");
    emu::SetStandardOutput(output_);
    output_->Clear();
  }

  std::string Image() { return (directory_ / "disks" / "disk1.img").string(); }

  nlohmann::json Table() {
    return nlohmann::json::parse(ShellOutput("sfdisk --json " + Image()))["partitiontable"];
  }

  bool Check(const std::string& drive, const std::string& fat32, bool partitionMode,
             bool bootsector = false) {
    run_ = std::make_unique<InstallRun>();
    run_->Drive = drive;
    run_->FAT32Drive = fat32;
    run_->partitionMode = partitionMode;
    run_->Bootsector = bootsector;
    run_->progress = [this](int position) { positions_.push_back(position); };
    return RunTargetChecks(*run_);
  }

  std::shared_ptr<emu::CapturedOutput> output_;
  std::unique_ptr<InstallRun> run_;
  std::vector<int> positions_;
};

TEST_F(TargetChecksTest, MbrNeedsRoomForGrubBeforeTheFirstPartition) {
  Partition("label: dos\\nstart=128, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  EXPECT_FALSE(Check("D", "E", false));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{
                         "Disk: 1 (MBR)", "",
                         "Grub2 i386-pc cannot be installed on this disk.",
                         "Request at least 65 Kb unallocated before the first partition.",
                         "Move or resize the partition first then try again."}));
  EXPECT_EQ(positions_, std::vector<int>{5});
  EXPECT_EQ(Table()["partitions"][0]["start"], 128);  // refused before any change
  EXPECT_FALSE(Table()["partitions"][1].contains("bootable"));

  Partition("label: dos\\nstart=129, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  EXPECT_TRUE(Check("D", "E", false));
  // The FAT32 partition became the active one, by a raw write of the status bytes.
  const auto table = Table();
  EXPECT_FALSE(table["partitions"][0].contains("bootable"));
  EXPECT_EQ(table["partitions"][1]["bootable"], true);
  EXPECT_EQ(run_->ntfsOffset, 129 * 512);
  EXPECT_EQ(run_->fat32Offset, 411648LL * 512);
  EXPECT_TRUE(run_->disk);  // left open for the EFI stage
}

TEST_F(TargetChecksTest, MbrMarkingTouchesTheDiskOnlyWhenNeeded) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c, "
            "bootable\\n");
  // Any raw read of the disk would fail now: none must happen.
  emu::InjectFault({"ReadFile", "\\\\.\\PHYSICALDRIVE1", std::nullopt, ERROR_IO_DEVICE, false});
  EXPECT_TRUE(Check("D", "E", false));
  emu::ClearFaults();

  // The NTFS partition active instead: the FAT32 one takes over.
  Partition("label: dos\\nstart=2048, size=409600, type=7, bootable\\nstart=411648, size=204800, "
            "type=c\\n");
  EXPECT_TRUE(Check("D", "E", false));
  const auto table = Table();
  EXPECT_FALSE(table["partitions"][0].contains("bootable"));
  EXPECT_EQ(table["partitions"][1]["bootable"], true);
}

TEST_F(TargetChecksTest, ALogicalFat32PartitionLeavesNoPartitionActive) {
  Partition("label: dos\\nstart=2048, size=409600, type=7, bootable\\nstart=411648, size=614400, "
            "type=5\\nstart=413696, size=204800, type=c\\n");
  // Partition mode: the logical FAT32 partition is partition 2 (containers are not counted).
  EXPECT_TRUE(Check("D", "2", true));
  const auto table = Table();
  for (const auto& partition : table["partitions"]) EXPECT_FALSE(partition.contains("bootable"));
  EXPECT_EQ(run_->fat32Offset, 413696LL * 512);
  EXPECT_GT(run_->fat32EntryIndex, 3u);

  // A number that is not there, or the first entry, ends the run without a word and before the
  // marking: the NTFS partition stays active.
  Partition("label: dos\\nstart=2048, size=409600, type=7, bootable\\nstart=411648, size=614400, "
            "type=5\\nstart=413696, size=204800, type=c\\n");
  const std::string before = ShellOutput("sfdisk -d " + Image());
  for (const char* number : {"9", "1"}) {
    output_->Clear();
    EXPECT_FALSE(Check("D", number, true)) << number;
    EXPECT_EQ(output_->Contents(), "Disk: 1 (MBR)\r\n\r\n\r\n") << number;
    EXPECT_EQ(ShellOutput("sfdisk -d " + Image()), before) << number;
  }
}

TEST_F(TargetChecksTest, GptGetsOneEfiSystemPartitionInOneLayoutRequest) {
  Partition("label: gpt\\n"
            "start=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
            "start=411648, size=102400, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n"
            "start=514048, size=204800, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
            "start=718848, size=2048, type=21686148-6449-6E6F-744E-656564454649\\n");
  // D: is the NTFS partition, E: the FAT32 one (the other ESP has no letter).
  EXPECT_TRUE(Check("D", "E", false));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{"Disk: 1 (GPT)", "",
                                               "Checking if BIOS boot partition exists...found",
                                               ""}));
  const auto table = Table();
  EXPECT_EQ(table["partitions"][1]["type"], "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
  EXPECT_EQ(table["partitions"][2]["type"], "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  EXPECT_NE(ShellOutput("sgdisk -v " + Image()).find("No problems found"), std::string::npos);
}

// The FAT32 partition's new type goes out in one layout request and is made known by a properties
// request: a refused layout leaves the types as they were, a refused update leaves them written.
TEST_F(TargetChecksTest, GptMarkingRefusedByTheDisk) {
  const std::string script =
      "label: gpt\\n"
      "start=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
      "start=411648, size=204800, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
      "start=616448, size=2048, type=21686148-6449-6E6F-744E-656564454649\\n";
  const std::string opening = "Disk: 1 (GPT)\r\n\r\nChecking if BIOS boot partition exists...found\r\n\r\n";
  for (const DWORD code : {IOCTL_DISK_SET_DRIVE_LAYOUT_EX, IOCTL_DISK_UPDATE_PROPERTIES}) {
    SCOPED_TRACE(code);
    Partition(script);
    emu::InjectFault({"DeviceIoControl", "\\\\.\\PHYSICALDRIVE1", code, ERROR_IO_DEVICE, true});
    EXPECT_FALSE(Check("D", "E", false));
    EXPECT_EQ(output_->Contents(),
              opening + "Status: The request could not be performed because of an I/O device error\r\n");
    EXPECT_EQ(Table()["partitions"][1]["type"], code == IOCTL_DISK_SET_DRIVE_LAYOUT_EX
                                                    ? "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7"
                                                    : "C12A7328-F81F-11D2-BA4B-00A0C93EC93B");
  }
}

TEST_F(TargetChecksTest, GptWithoutBiosBootPartition) {
  Partition("label: gpt\\n"
            "start=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
            "start=411648, size=204800, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n");
  EXPECT_FALSE(Check("D", "E", false));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{"Disk: 1 (GPT)", "",
                                               "Checking if BIOS boot partition exists...not found"}));
  EXPECT_EQ(Table()["partitions"][1]["type"], "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");  // untouched
  // Leaving the current boot loader alone needs no BIOS boot partition.
  output_->Clear();
  EXPECT_TRUE(Check("D", "E", false, true));
  EXPECT_EQ(LogLines(output_->Contents()), (std::vector<std::string>{"Disk: 1 (GPT)", ""}));
}

TEST_F(TargetChecksTest, VolumesAndDisksThatCannotBeReached) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  EXPECT_FALSE(Check("Q", "E", false));  // no such drive: not a word
  EXPECT_TRUE(output_->Contents().empty());
  emu::InjectFault({"CreateFileW", "\\\\.\\PHYSICALDRIVE1", std::nullopt, ERROR_ACCESS_DENIED, true});
  EXPECT_FALSE(Check("D", "E", false));
  EXPECT_EQ(LogLines(output_->Contents()).back(), "Disk: 1Status: Access is denied");
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, ERROR_IO_DEVICE, true});
  output_->Clear();
  EXPECT_FALSE(Check("D", "E", false));
  EXPECT_EQ(LogLines(output_->Contents()).back(),
            "Disk: 1Status: The request could not be performed because of an I/O device error");
}

}  // namespace
