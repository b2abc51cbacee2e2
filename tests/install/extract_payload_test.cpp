// The payload step with the executable's real payload resources on an emulated machine.
#include "install/extract_payload.h"

#include <gtest/gtest.h>

#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"

namespace {

class ExtractPayloadTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    ASSERT_NE(win::FindResourceW(nullptr, "KYR7z", RT_RCDATA), nullptr)
        << "this build carries no payload";
    LoadLanguageForTest("en_US");
    output_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
    emu::SetStandardOutput(output_);
  }

  bool Extract() {
    positions_.clear();
    output_->Clear();
    archive_ = nullptr;
    return ExtractPayload(tempdir_, [this](int position) { positions_.push_back(position); },
                          archive_);
  }

  static bool Exists(const std::string& path) {
    return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }

  std::shared_ptr<emu::CapturedOutput> output_;
  std::vector<int> positions_;
  std::string tempdir_;
  sevenzip::ComPtr<sevenzip::I7zInArchive> archive_;
};

TEST_F(ExtractPayloadTest, ThePayloadLandsInAFreshTemporaryFolder) {
  // Something left over from an earlier run must not survive.
  const std::string folder = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";
  ASSERT_TRUE(win::CreateDirectoryW(folder, nullptr));
  win::Handle stale(win::CreateFileW(folder + "\\stale.txt", GENERIC_WRITE, 0, nullptr,
                                     CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  stale.reset();

  ASSERT_TRUE(Extract());
  EXPECT_EQ(tempdir_, folder);
  EXPECT_EQ(output_->Contents(), "Extracting files to temp directory...done\r\n\r\n");
  EXPECT_EQ(positions_, (std::vector<int>{15, 3, 4, 10, 30}));
  std::string current;
  win::GetCurrentDirectoryW(current);
  EXPECT_EQ(current, folder);
  EXPECT_FALSE(Exists(folder + "\\stale.txt"));
  for (const char* path : {"7z.dll", "Velund.7z", "files\\KYR\\grub\\grub.cfg",
                           "files\\EFI\\velund\\grubx64.efi", "files\\Velund_Orrin.cmd",
                           "grub\\i386-pc", "tools\\grub-install.exe"}) {
    EXPECT_TRUE(Exists(path)) << path;  // relative to the new current folder
  }
}

TEST_F(ExtractPayloadTest, WithoutTempTheFolderIsAtTheRootOfTheCurrentDrive) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  {
    std::lock_guard lock(process.mutex);
    process.environment.erase("TEMP");
  }
  ASSERT_TRUE(Extract());
  EXPECT_EQ(tempdir_, "\\kyrextract");
  EXPECT_TRUE(Exists("C:\\kyrextract\\tools\\grub-install.exe"));
}

TEST_F(ExtractPayloadTest, FolderFailuresStopWithAStatusLine) {
  // An old folder that is still the process's current directory cannot be removed.
  const std::string folder = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";
  ASSERT_TRUE(win::CreateDirectoryW(folder, nullptr));
  ASSERT_TRUE(win::SetCurrentDirectoryW(folder));
  EXPECT_FALSE(Extract());
  EXPECT_EQ(output_->Contents(),
            "Status: The process cannot access the file because it is being used by another "
            "process\r\n");
  EXPECT_TRUE(positions_.empty());

  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  ASSERT_TRUE(win::RemoveDirectoryW(folder));
  emu::InjectFault({"CreateDirectoryW", "", std::nullopt, ERROR_DISK_FULL, true});
  EXPECT_FALSE(Extract());
  EXPECT_EQ(output_->Contents(), "Status: There is not enough space on the disk\r\n");
  EXPECT_EQ(positions_, std::vector<int>{15});
}

}  // namespace
