// Files, folders and programs on the emulated machine's volumes.
#include <gtest/gtest.h>

#include <fstream>

#include "platform/emulated/faults.h"
#include "platform/emulated/programs.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

class FilesTest : public MachineTest {
 protected:
  static bool WriteText(const std::string& path, const std::string& text,
                        DWORD disposition = CREATE_ALWAYS) {
    win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, disposition,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return win::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written,
                          nullptr) &&
           written == text.size();
  }

  static std::string ReadText(const std::string& path) {
    win::Handle file(win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return "<missing>";
    std::string text(4096, '\0');
    DWORD read = 0;
    win::ReadFile(file.get(), text.data(), 4096, &read, nullptr);
    text.resize(read);
    return text;
  }

  std::filesystem::path SystemFolder() {
    auto locked = emu::Storage::Lock();
    return locked.storage.VolumeFolder(*locked.storage.FindVolumeByLetter('C'));
  }
};

TEST_F(FilesTest, NamesIgnoreLetterCaseAndPathsStayOnTheirVolume) {
  ASSERT_TRUE(win::CreateDirectoryW("C:\\Work", nullptr));
  ASSERT_TRUE(WriteText("C:\\Work\\Info.ini", "[Main]"));
  EXPECT_EQ(ReadText("c:\\WORK\\info.INI"), "[Main]");
  EXPECT_EQ(ReadText("C:/Work/./Info.ini"), "[Main]");
  // ".." stops at the root: nothing above the volume's folder is reachable.
  EXPECT_EQ(ReadText("C:\\..\\..\\..\\Work\\Info.ini"), "[Main]");
  EXPECT_TRUE(std::filesystem::exists(SystemFolder() / "Work" / "Info.ini"));
  // Trailing dots and spaces fall away as on Windows; wildcards and colons are not names.
  EXPECT_EQ(ReadText("C:\\Work\\Info.ini. "), "[Main]");
  EXPECT_EQ(win::GetFileAttributesW("C:\\Work\\a?b"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_NAME);
  // Relative paths start at the current folder; a path rooted without a drive at its drive.
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\Work"));
  EXPECT_EQ(ReadText("Info.ini"), "[Main]");
  EXPECT_EQ(ReadText("\\Work\\Info.ini"), "[Main]");
  // The volume name form reaches the same files.
  std::string name;
  win::VolumeFind find(win::FindFirstVolumeW(name, 1024));
  ASSERT_TRUE(find);
  EXPECT_EQ(ReadText(name + "Work\\Info.ini"), "[Main]");
  // A drive that does not exist.
  EXPECT_EQ(win::GetFileAttributesW("Q:\\x"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST_F(FilesTest, CreationDispositionsAndErrors) {
  EXPECT_FALSE(WriteText("C:\\Missing\\a.txt", "x"));
  EXPECT_EQ(win::GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(ReadText("C:\\nothing.txt"), "<missing>");
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(WriteText("C:\\a.txt", "first"));
  EXPECT_FALSE(WriteText("C:\\a.txt", "again", CREATE_NEW));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_EXISTS);
  ASSERT_TRUE(WriteText("C:\\a.txt", "2nd"));
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);  // replaced, and told so
  EXPECT_EQ(ReadText("C:\\a.txt"), "2nd");

  // Share modes hold for files too.
  win::Handle open(win::CreateFileW("C:\\a.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(open);
  EXPECT_FALSE(WriteText("C:\\a.txt", "x"));
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);
  EXPECT_FALSE(win::DeleteFileW("C:\\a.txt"));
  open.reset();
  EXPECT_TRUE(win::DeleteFileW("C:\\a.txt"));
  EXPECT_FALSE(win::DeleteFileW("C:\\a.txt"));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);

  // Folders: one level at a time, and only when empty for removal.
  EXPECT_FALSE(win::CreateDirectoryW("C:\\x\\y", nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_PATH_NOT_FOUND);
  ASSERT_TRUE(win::CreateDirectoryW("C:\\x", nullptr));
  EXPECT_FALSE(win::CreateDirectoryW("C:\\X", nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_ALREADY_EXISTS);
  ASSERT_TRUE(WriteText("C:\\x\\f", "1"));
  EXPECT_FALSE(win::RemoveDirectoryW("C:\\x"));
  EXPECT_EQ(win::GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_EQ(win::GetFileAttributesW("C:\\x"), FILE_ATTRIBUTE_DIRECTORY);

  emu::InjectFault({"CreateDirectoryW", "C:\\full", std::nullopt, ERROR_DISK_FULL, true});
  EXPECT_FALSE(win::CreateDirectoryW("C:\\full", nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_DISK_FULL);
  EXPECT_TRUE(win::CreateDirectoryW("C:\\full", nullptr));
}

TEST_F(FilesTest, ReadsAndWritesOfAFileFailByThePathItWasOpenedWith) {
  emu::InjectFault({"WriteFile", "c:\\FULL.txt", std::nullopt, ERROR_DISK_FULL, true});
  EXPECT_TRUE(WriteText("C:\\other.txt", "fits"));
  EXPECT_FALSE(WriteText("C:\\full.txt", "does not fit"));
  EXPECT_EQ(win::GetLastError(), ERROR_DISK_FULL);
  EXPECT_EQ(ReadText("C:\\full.txt"), "");  // created, nothing written
  EXPECT_TRUE(WriteText("C:\\full.txt", "fits now"));

  emu::InjectFault({"ReadFile", "C:\\full.txt", std::nullopt, ERROR_IO_DEVICE, true});
  EXPECT_EQ(ReadText("C:\\full.txt"), "");
  EXPECT_EQ(win::GetLastError(), ERROR_IO_DEVICE);
  EXPECT_EQ(ReadText("C:\\full.txt"), "fits now");
}

TEST_F(FilesTest, CopyingFilesAndFoldersTheShellWay) {
  ASSERT_TRUE(win::CreateDirectoryW("C:\\src", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\src\\KYR", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\src\\KYR\\Tools", nullptr));
  ASSERT_TRUE(WriteText("C:\\src\\KYR\\Tools\\new.txt", "new"));
  ASSERT_TRUE(WriteText("C:\\src\\KYR\\same.txt", "from the source"));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\dst", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\dst\\kyr", nullptr));
  ASSERT_TRUE(WriteText("C:\\dst\\kyr\\SAME.txt", "old"));
  ASSERT_TRUE(WriteText("C:\\dst\\kyr\\kept.txt", "kept"));

  // A folder copied into a folder merges with what is there and replaces files of its names.
  const std::string from = std::string("C:\\src\\KYR") + '\0';
  const std::string to = std::string("C:\\dst") + '\0';
  win::ShellFileOperation copy;
  copy.wFunc = FO_COPY;
  copy.pFrom = from.c_str();
  copy.pTo = to.c_str();
  copy.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOCONFIRMMKDIR | FOF_NOERRORUI;
  EXPECT_EQ(win::SHFileOperationW(&copy), 0);
  EXPECT_EQ(ReadText("C:\\dst\\KYR\\same.txt"), "from the source");
  EXPECT_EQ(ReadText("C:\\dst\\KYR\\kept.txt"), "kept");
  EXPECT_EQ(ReadText("C:\\dst\\KYR\\Tools\\new.txt"), "new");

  // A source that does not exist, and a copy into itself, fail without a dialog.
  const std::string none = std::string("C:\\none") + '\0';
  copy.pFrom = none.c_str();
  EXPECT_NE(win::SHFileOperationW(&copy), 0);
  const std::string inside = std::string("C:\\src\\KYR\\Tools") + '\0';
  copy.pFrom = from.c_str();
  copy.pTo = inside.c_str();
  EXPECT_NE(win::SHFileOperationW(&copy), 0);

  // Deleting a folder takes everything in it; a missing one is an error.
  const std::string gone = std::string("C:\\dst") + '\0';
  win::ShellFileOperation remove;
  remove.wFunc = FO_DELETE;
  remove.pFrom = gone.c_str();
  remove.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  EXPECT_EQ(win::SHFileOperationW(&remove), 0);
  EXPECT_EQ(win::GetFileAttributesW("C:\\dst"), INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(win::SHFileOperationW(&remove), 0);

  // CopyFileW replaces unless told not to.
  ASSERT_TRUE(WriteText("C:\\one.txt", "1"));
  ASSERT_TRUE(WriteText("C:\\two.txt", "2"));
  EXPECT_FALSE(win::CopyFileW("C:\\one.txt", "C:\\two.txt", TRUE));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_EXISTS);
  EXPECT_TRUE(win::CopyFileW("C:\\one.txt", "C:\\two.txt", FALSE));
  EXPECT_EQ(ReadText("C:\\two.txt"), "1");
  EXPECT_FALSE(win::CopyFileW("C:\\none.txt", "C:\\two.txt", FALSE));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FilesTest, TheCurrentDirectoryStaysUntilTheProcessLeavesIt) {
  ASSERT_TRUE(win::CreateDirectoryW("C:\\work", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\work\\here", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("C:\\work\\other", nullptr));
  ASSERT_TRUE(WriteText("C:\\work\\here\\file.txt", "x"));
  ASSERT_TRUE(WriteText("C:\\work\\other\\file.txt", "x"));
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\WORK\\Here"));

  // The files in it go; the folder itself is refused.
  EXPECT_TRUE(win::DeleteFileW("C:\\work\\here\\file.txt"));
  EXPECT_FALSE(win::RemoveDirectoryW("C:\\work\\here"));
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);

  // The shell deletes the rest of the tree and leaves the folder and the ones above it.
  ASSERT_TRUE(WriteText("C:\\work\\here\\file.txt", "x"));
  const std::string tree = std::string("C:\\work") + '\0';
  win::ShellFileOperation remove;
  remove.wFunc = FO_DELETE;
  remove.pFrom = tree.c_str();
  remove.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI;
  EXPECT_NE(win::SHFileOperationW(&remove), 0);
  EXPECT_EQ(win::GetFileAttributesW("C:\\work\\here"), DWORD(FILE_ATTRIBUTE_DIRECTORY));
  EXPECT_EQ(win::GetFileAttributesW("C:\\work\\here\\file.txt"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetFileAttributesW("C:\\work\\other"), INVALID_FILE_ATTRIBUTES);

  // Once the process has left it, it goes.
  ASSERT_TRUE(win::SetCurrentDirectoryW("C:\\"));
  EXPECT_EQ(win::SHFileOperationW(&remove), 0);
  EXPECT_EQ(win::GetFileAttributesW("C:\\work"), INVALID_FILE_ATTRIBUTES);
}

TEST_F(FilesTest, ProcessesRunEmulatedProgramsFoundTheWindowsWay) {
  std::atomic<int> runs{0};
  emu::RegisterProgram("exit5.exe", [&](const emu::ProgramRun& run) -> DWORD {
    ++runs;
    return run.arguments.size() == 2 && run.arguments[1] == "two words" ? 5 : 1;
  });
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESHOWWINDOW;
  PROCESS_INFORMATION process{};

  // Not there as a file: not found, whatever is registered.
  std::string command = "tools\\exit5.exe one \"two words\"";
  EXPECT_FALSE(win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x220, nullptr, "",
                                   &startup, &process));
  EXPECT_EQ(win::GetLastError(), ERROR_PATH_NOT_FOUND);
  command = "nosuchprogram.exe";
  EXPECT_FALSE(win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x220, nullptr, "",
                                   &startup, &process));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);

  ASSERT_TRUE(win::CreateDirectoryW("C:\\Users\\Setup\\Downloads\\tools", nullptr));
  ASSERT_TRUE(WriteText("C:\\Users\\Setup\\Downloads\\tools\\exit5.exe", "MZ"));
  command = "tools\\exit5 one \"two words\"";
  ASSERT_TRUE(win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x8000220, nullptr, "",
                                  &startup, &process));
  win::Handle processHandle(process.hProcess), thread(process.hThread);
  DWORD result = WAIT_TIMEOUT;
  while (result == WAIT_TIMEOUT) result = win::WaitForSingleObject(process.hProcess, 10);
  EXPECT_EQ(result, WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(win::GetExitCodeProcess(process.hProcess, &code));
  EXPECT_EQ(code, 5u);
  EXPECT_EQ(runs, 1);

  // A file that is no program of this machine.
  ASSERT_TRUE(WriteText("C:\\Users\\Setup\\Downloads\\tools\\other.exe", "MZ"));
  command = "tools\\other.exe";
  EXPECT_FALSE(win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x220, nullptr, "",
                                   &startup, &process));
  EXPECT_EQ(win::GetLastError(), ERROR_BAD_EXE_FORMAT);

  // System programs need no path; every start is recorded.
  command = "cmd.exe /C cd /d D:\\ && Velund_Orrin.cmd";
  ASSERT_TRUE(win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x220, nullptr, "",
                                  &startup, &process));
  win::CloseHandle(process.hProcess);
  win::CloseHandle(process.hThread);
  const auto started = emu::StartedCommandLines();
  ASSERT_EQ(started.size(), 2u);
  EXPECT_EQ(started.back(), "cmd.exe /C cd /d D:\\ && Velund_Orrin.cmd");
}

TEST_F(FilesTest, CommandLinesSplitByTheRunTimeRules) {
  EXPECT_EQ(emu::SplitCommandLine(R"(a "b c" d\"e f\\"g h" \\\"i)"),
            (std::vector<std::string>{"a", "b c", "d\"e", "f\\g h", "\\\"i"}));
  EXPECT_EQ(emu::SplitCommandLine("  "), std::vector<std::string>{});
}

}  // namespace
