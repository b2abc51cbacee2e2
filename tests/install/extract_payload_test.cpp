// The payload step with the executable's real payload resources on an emulated machine.
#include "install/extract_payload.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <functional>
#include <fstream>
#include <optional>
#include <sstream>

#include "platform/emulated/console.h"
#include "platform/emulated/embedded_resources.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "sys/whole_file.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"

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

constexpr char kFolder[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";

// The folder is made, but the process cannot make it its current one: the library and the
// archive land in the current folder as it was, the archive is still extracted into the folder,
// and the installer, looked for where the current folder should have been, is not found.
TEST_F(ExtractPayloadTest, ACurrentFolderThatCannotBeChangedLeavesTheFilesWhereItWas) {
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  emu::InjectFault({"SetCurrentDirectoryW", kFolder, std::nullopt, ERROR_ACCESS_DENIED});
  EXPECT_FALSE(Extract());
  EXPECT_EQ(output_->Contents(),
            "Extracting files to temp directory...done\r\n"
            "Status: The system cannot find the path specified\r\n");
  EXPECT_EQ(positions_, (std::vector<int>{15, 3, 4, 10}));
  std::string current;
  win::GetCurrentDirectoryW(current);
  EXPECT_EQ(current, "C:\\");
  EXPECT_TRUE(Exists("C:\\7z.dll"));
  EXPECT_TRUE(Exists("C:\\Velund.7z"));
  EXPECT_FALSE(Exists(std::string(kFolder) + "\\7z.dll"));
  EXPECT_TRUE(Exists(std::string(kFolder) + "\\tools\\grub-install.exe"));
}

// The executable's resources as another build might carry them.
std::string HostFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// A payload without encryption whose second item's stored bytes are damaged: its CRC fails.
std::string DamagedPayload() {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("velund-damaged-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder / "tools");
  std::ofstream(folder / "tools" / "grub-install.exe", std::ios::binary) << "installer";
  std::ofstream(folder / "zz-bad.bin", std::ios::binary)
      << "0123456789abcdef" << std::string(4096, 'x');
  ShellOutput("cd '" + folder.string() + "' && 7z a -bd -y -mx0 -ms=off payload.7z tools zz-bad.bin");
  std::string bytes = HostFileBytes(folder / "payload.7z");
  std::filesystem::remove_all(folder);
  const std::size_t at = bytes.find("0123456789abcdef");
  if (at != std::string::npos) bytes[at + 20] ^= 0x55;
  return bytes;
}

// Each way the library, the archive or their files can fail: the ExtractTemp text, completed by
// "fail" only once the archive was opened, then the error that ends the install worker.
TEST_F(ExtractPayloadTest, FailuresOfTheFilesTheLibraryAndTheArchiveRaiseAfterTheirText) {
  struct Row {
    const char* name;
    std::function<void()> arrange;
    const char* output;
    std::vector<int> positions;
    const char* error;
  };
  const char* const kText = "Extracting files to temp directory...";
  const std::string notALibrary = HostFileBytes("/lib/x86_64-linux-gnu/libz.so.1");
  ASSERT_FALSE(notALibrary.empty());
  const std::string damaged = DamagedPayload();
  const Row rows[] = {
      {"library resource missing", [] { emu::ReplaceResource("7zDLL", std::nullopt); }, kText,
       {15, 3}, "Resource 7zDLL not found"},
      {"payload resource missing", [] { emu::ReplaceResource("KYR7z", std::nullopt); }, kText,
       {15, 3, 4}, "Resource KYR7z not found"},
      {"library file not created",
       [] { emu::InjectFault({"CreateFileW", "7z.dll", std::nullopt, ERROR_ACCESS_DENIED}); },
       kText, {15, 3}, "Cannot create file \"7z.dll\". Access is denied"},
      {"payload file not created",
       [] { emu::InjectFault({"CreateFileW", "Velund.7z", std::nullopt, ERROR_DISK_FULL}); },
       kText, {15, 3, 4}, "Cannot create file \"Velund.7z\". There is not enough space on the disk"},
      {"library not loadable", [] { emu::ReplaceResource("7zDLL", std::string("MZ no library")); },
       kText, {15, 3, 4, 10}, "Error loading library 7z.dll"},
      {"library without the export",
       [&] { emu::ReplaceResource("7zDLL", notALibrary); }, kText, {15, 3, 4, 10},
       "7z.dll is not a 7z library"},
      {"archive not opened", [] { emu::ReplaceResource("KYR7z", std::string("no archive")); },
       "Extracting files to temp directory...fail\r\n", {15, 3, 4, 10}, "Incorrect function"},
      {"damaged item", [&] { emu::ReplaceResource("KYR7z", damaged); },
       "Extracting files to temp directory...fail\r\n", {15, 3, 4, 10},
       "Cannot extract \"zz-bad.bin\". CRC failed"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
    row.arrange();
    std::string error = "(nothing raised)";
    try {
      Extract();
    } catch (const std::exception& raised) {
      error = raised.what();
    }
    EXPECT_EQ(error, row.error);
    EXPECT_EQ(output_->Contents(), row.output);
    EXPECT_EQ(positions_, row.positions);
    archive_ = nullptr;
    emu::ClearFaults();
    emu::RestoreResources();
  }
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
