// Copying and deleting folders on the emulated machine's C: volume.
#include "sys/folder_operations.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

class FolderOperationsTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    log_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_CHAR);
    emu::SetStandardOutput(log_);
    ASSERT_TRUE(win::CreateDirectoryW("C:\\src", nullptr));
    ASSERT_TRUE(win::CreateDirectoryW("C:\\src\\sub", nullptr));
    win::Handle file(win::CreateFileW("C:\\src\\sub\\a.txt", GENERIC_WRITE, 0, nullptr,
                                      CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
  }

  static bool Exists(const char* path) {
    return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }

  std::shared_ptr<emu::CapturedOutput> log_;
};

TEST_F(FolderOperationsTest, CopyWithoutAskingThenDeleteForGood) {
  ASSERT_TRUE(CopyFolder("C:\\src", "C:\\dst"));  // the destination folder is created
  EXPECT_TRUE(Exists("C:\\dst\\sub\\a.txt"));
  EXPECT_TRUE(Exists("C:\\src\\sub\\a.txt"));
  ASSERT_TRUE(DeleteFolder("C:\\src"));
  EXPECT_FALSE(Exists("C:\\src"));
  EXPECT_EQ(log_->Contents(), "");
}

TEST_F(FolderOperationsTest, FailuresShowNothing) {
  EXPECT_FALSE(DeleteFolder("C:\\no-such-folder"));
  EXPECT_FALSE(CopyFolder("C:\\no-such-folder", "C:\\dst"));
  EXPECT_FALSE(Exists("C:\\dst"));
  EXPECT_EQ(log_->Contents(), "");

  // Any other result of the shell operation is a failure too, and is not shown either.
  emu::InjectFault({"SHFileOperationW", "C:\\src", std::nullopt, DE_INVALIDFILES});
  EXPECT_FALSE(CopyFolder("C:\\src", "C:\\dst"));
  emu::InjectFault({"SHFileOperationW", "C:\\src", std::nullopt, DE_INVALIDFILES});
  EXPECT_FALSE(DeleteFolder("C:\\src"));
  EXPECT_TRUE(Exists("C:\\src\\sub\\a.txt"));
  EXPECT_EQ(log_->Contents(), "");
}

// The shell returns its error without setting the last error, which the callers' status line
// reads: it must neither say success nor tell of an older failure.
TEST_F(FolderOperationsTest, AFailureLeavesTheShellsErrorAsTheLastError) {
  win::SetLastError(ERROR_SUCCESS);
  emu::InjectFault({"SHFileOperationW", "C:\\src", std::nullopt, ERROR_ACCESS_DENIED, true});
  EXPECT_FALSE(DeleteFolder("C:\\src"));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  win::SetLastError(ERROR_PATH_NOT_FOUND);
  emu::InjectFault({"SHFileOperationW", "C:\\src", std::nullopt, ERROR_DISK_FULL, true});
  EXPECT_FALSE(CopyFolder("C:\\src", "C:\\dst"));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_DISK_FULL));
  EXPECT_TRUE(Exists("C:\\src\\sub\\a.txt"));
}

TEST_F(FolderOperationsTest, APathThatWouldBecomeAnotherListIsRefused) {
  // The zero would end the first entry and make "C:\src" a second one.
  EXPECT_FALSE(DeleteFolder(std::string("C:\\none\0C:\\src", 14)));
  EXPECT_FALSE(DeleteFolder(""));
  EXPECT_TRUE(Exists("C:\\src\\sub\\a.txt"));
}

}  // namespace
