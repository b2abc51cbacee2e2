// The payload step with the executable's real payload resources on an emulated machine.
#include "install/extract_payload.h"

#include <gtest/gtest.h>

#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "sys/whole_file.h"
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
    installer_.reset();
    return ExtractPayload(tempdir_, [this](int position) { positions_.push_back(position); },
                          archive_, installer_);
  }

  static bool Exists(const std::string& path) {
    return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }

  std::shared_ptr<emu::CapturedOutput> output_;
  std::vector<int> positions_;
  std::string tempdir_;
  sevenzip::ComPtr<sevenzip::I7zInArchive> archive_;
  win::Handle installer_;
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

// Another program of the same user, acting between two steps of the run: it tries to open `path`
// for writing and to delete it, and notes the errors it gets (0 when it got through).
struct Intruder {
  std::vector<DWORD> errors;

  void Meddle(const std::string& path) {
    win::Handle writer(win::CreateFileW(path, GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    errors.push_back(writer ? 0 : win::GetLastError());
    writer.reset();
    errors.push_back(win::DeleteFileW(path) ? 0 : win::GetLastError());
  }
};

constexpr char kFolder[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";

TEST_F(ExtractPayloadTest, NobodyChangesTheLibraryTheArchiveOrTheInstallerBeforeTheirUse) {
  const std::string folder = kFolder;
  Intruder intruder;
  // While the archive is written, the library written before it waits for its load.
  emu::InjectInterleave({"CreateFileW", "Velund.7z", 0,
                         [&] { intruder.Meddle(folder + "\\7z.dll"); }});
  // While the library is loaded, the archive waits for its extraction.
  emu::InjectInterleave({"LoadLibraryExW", "", 0,
                         [&] { intruder.Meddle(folder + "\\Velund.7z"); }});
  ASSERT_TRUE(Extract());
  EXPECT_EQ(output_->Contents(), "Extracting files to temp directory...done\r\n\r\n");
  // After the step the installer waits for its start.
  intruder.Meddle(folder + "\\tools\\grub-install.exe");
  EXPECT_EQ(intruder.errors, std::vector<DWORD>(6, ERROR_SHARING_VIOLATION));

  // The installer stays readable (it is started in the install's own tests).
  std::string bytes;
  EXPECT_TRUE(ReadWholeFile("tools\\grub-install.exe", bytes)) << win::GetLastError();
}

TEST_F(ExtractPayloadTest, AFileChangedBeforeItIsHeldIsNeitherLoadedNorKept) {
  const std::string folder = kFolder;
  // Between the library's writing and the second open that holds it, another program replaces
  // its contents.
  auto replace = [](const std::string& path) {
    ASSERT_TRUE(WriteWholeFile(path, "MZ something else")) << win::GetLastError();
  };
  bool loaded = false;
  emu::InjectInterleave({"LoadLibraryExW", "", 0, [&] { loaded = true; }});
  emu::InjectInterleave({"CreateFileW", "7z.dll", 1, [&] { replace(folder + "\\7z.dll"); }});
  EXPECT_FALSE(Extract());
  EXPECT_EQ(output_->Contents(),
            "Extracting files to temp directory...Status: The volume for a file has been "
            "externally altered so that the opened file is no longer valid\r\n");
  EXPECT_FALSE(loaded);
  EXPECT_EQ(positions_, (std::vector<int>{15, 3}));

  // The same for the archive: nothing is loaded from a changed payload.
  emu::ClearFaults();
  loaded = false;
  emu::InjectInterleave({"LoadLibraryExW", "", 0, [&] { loaded = true; }});
  emu::InjectInterleave({"CreateFileW", "Velund.7z", 1, [&] { replace(folder + "\\Velund.7z"); }});
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  EXPECT_FALSE(Extract());
  EXPECT_FALSE(loaded);
  EXPECT_EQ(positions_, (std::vector<int>{15, 3, 4}));

  // The installer, between its extraction and its hold: it is not kept for starting.
  emu::ClearFaults();
  emu::InjectInterleave({"CreateFileW", "tools\\grub-install.exe", 0,
                         [&] { replace(folder + "\\tools\\grub-install.exe"); }});
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  EXPECT_FALSE(Extract());
  EXPECT_EQ(output_->Contents(),
            "Extracting files to temp directory...done\r\nStatus: The volume for a file has been "
            "externally altered so that the opened file is no longer valid\r\n");
  EXPECT_FALSE(installer_.valid());

  // Another program that keeps the library open for writing makes the hold fail.
  emu::ClearFaults();
  win::Handle writer;
  emu::InjectInterleave({"CreateFileW", "7z.dll", 1, [&] {
                           writer.reset(win::CreateFileW(
                               folder + "\\7z.dll", GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
                         }});
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  EXPECT_FALSE(Extract());
  EXPECT_TRUE(writer.valid());
  EXPECT_EQ(output_->Contents(),
            "Extracting files to temp directory...Status: The process cannot access the file "
            "because it is being used by another process\r\n");
}

}  // namespace
