// The install worker on a stick made by the create job: its opening steps, its progress, and
// its teardown.
#include "install/install_thread.h"

#include <gtest/gtest.h>

#include "disk/create_disk_thread.h"
#include "platform/emulated/console.h"
#include "platform/emulated/machine_setup.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"
#include "ui/job_host.h"

namespace {

class InstallThreadTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    if (!win::FindResourceW(nullptr, "KYR7z", RT_RCDATA)) GTEST_SKIP() << "no payload";
    AddStick(1, 130);  // 1 GB
    LoadLanguageForTest("en_US");
    output_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
    emu::SetStandardOutput(output_);
    SetJobHost(&host_);
    // The stick as the create job leaves it: FAT32 on D:, NTFS on E:.
    auto* create = new TThreadCreate("RM1 - Generic Flash Disk USB - 1 GB", 100, 800, true);
    ActiveCreateThread = create;
    create->Start();
    WindowThread::Main().RunUntil([&] { return host_.rebuilt; });
  }
  void TearDown() override {
    SetJobHost(nullptr);
    MachineTest::TearDown();
  }

  bool Install(const std::string& fat32Entry, std::string* tempdir = nullptr) {
    host_ = RecordingHost();
    output_->Clear();
    bool err = false;
    auto* worker = new TInstallThread("E", fat32Entry, false, false);
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

  RecordingHost host_;
  std::shared_ptr<emu::CapturedOutput> output_;
};

TEST_F(InstallThreadTest, TheOpeningStepsInOrderAndTheTeardown) {
  std::string tempdir;
  Install("D: - NO NAME - 100 MB", &tempdir);
  EXPECT_EQ(output_->Contents(),
            "Install to drive: E: & D:\r\nDisk: 1 (MBR)\r\n\r\n\r\n"
            "Extracting files to temp directory...done\r\n\r\n");
  EXPECT_EQ(host_.positions, (std::vector<int>{2, 5, 10, 15, 3, 4, 10, 30}));
  // The teardown deleted the temporary folder.
  EXPECT_EQ(tempdir, "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract");
  EXPECT_EQ(win::GetFileAttributesW(tempdir), INVALID_FILE_ATTRIBUTES);
}

TEST_F(InstallThreadTest, PartitionEntries) {
  Install("Partition #2 - FAT32 - 100 MB");
  EXPECT_EQ(output_->Contents().substr(0, 40), "Install to drive: E: & Partition #2\r\nDis");

  // Partition number 0 ends the run before any output or progress.
  Install("Partition #0 - FAT32 - 100 MB");
  EXPECT_TRUE(output_->Contents().empty());
  EXPECT_TRUE(host_.positions.empty());

  // A partition that is the first entry of the layout: nothing after the disk lines, and no
  // temporary folder to delete.
  std::string tempdir = "unset";
  Install("Partition #1 - NTFS - 800 MB", &tempdir);
  EXPECT_EQ(output_->Contents(),
            "Install to drive: E: & Partition #1\r\nDisk: 1 (MBR)\r\n\r\n\r\n");
  EXPECT_TRUE(tempdir.empty());
}

}  // namespace
