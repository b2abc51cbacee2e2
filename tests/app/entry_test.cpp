#include "app/entry.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "sys/whole_file.h"
#include "tests/test_machine.h"
#include "ui/language.h"
#include "ui/window_thread.h"

namespace {

class EntryTest : public MachineTest {
 protected:
  // A machine whose console window is `width` x `height` on a 1920 x 1080 screen.
  void UseConsole(int width, int height) {
    nlohmann::json config = emu::Machine::DefaultConfig();
    config["console"] = {{"left", 40}, {"top", 30}, {"width", width}, {"height", height}};
    std::filesystem::create_directories(directory_);
    std::ofstream(directory_ / "machine.json") << config.dump();
    emu::Machine::Use(directory_);
    WindowThread::Main().Reopen();
    ResetLanguage();
  }
};

TEST_F(EntryTest, CentresTheConsoleSwitchesToUtf8AndEnablesItAgainAtTheEnd) {
  UseConsole(993, 519);
  EXPECT_EQ(RunSetup(), 0);
  HWND console = win::GetConsoleWindow();
  RECT rect{};
  ASSERT_TRUE(win::GetWindowRect(console, &rect));
  EXPECT_EQ(rect.left, (1920 - 993) / 2);
  EXPECT_EQ(rect.top, (1080 - 519) / 2);
  EXPECT_EQ(rect.right - rect.left, 993);  // SWP_NOSIZE
  EXPECT_EQ(win::GetConsoleOutputCP(), CP_UTF8);
  EXPECT_TRUE(win::IsWindowEnabled(console));
  EXPECT_EQ(LanguageCode(), "vi_VN");  // the window's creation loaded the language
}

TEST_F(EntryTest, AConsoleLargerThanTheScreenGetsANegativePositionTruncatedTowardZero) {
  UseConsole(2021, 1181);  // differences of -101 give -50
  EXPECT_EQ(RunSetup(), 0);
  RECT rect{};
  ASSERT_TRUE(win::GetWindowRect(win::GetConsoleWindow(), &rect));
  EXPECT_EQ(rect.left, -50);
  EXPECT_EQ(rect.top, -50);
}

TEST_F(EntryTest, StartUpLeavesTheCurrentDirectoryOutOfTheLibrarySearch) {
  WindowThread::Main().Reopen();
  ResetLanguage();
  // A library of a system name in the current directory, as in a Downloads folder.
  const std::string folder = "C:\\Users\\Setup\\Downloads";
  ASSERT_TRUE(win::SetCurrentDirectoryW(folder)) << win::GetLastError();
  std::string library;
  {
    std::ifstream in("/usr/lib/p7zip/7z.so", std::ios::binary);
    library.assign(std::istreambuf_iterator<char>(in), {});
  }
  ASSERT_FALSE(library.empty());
  ASSERT_TRUE(WriteWholeFile(folder + "\\uxtheme.dll", library));
  win::Library before(win::LoadLibraryExW("uxtheme.dll", nullptr, 0));
  ASSERT_TRUE(before.valid()) << "the standard order reaches the current directory";
  before.reset();

  EXPECT_EQ(RunSetup(), 0);
  EXPECT_EQ(win::LoadLibraryExW("uxtheme.dll", nullptr, 0), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST(ProgramTest, RunsOnTheDefaultMachineAndEndsWithExitCodeZero) {
  std::string dir = testing::TempDir() + "velund-program-test";
  std::filesystem::remove_all(dir);
  std::string command = "VELUND_MACHINE=" + dir + "/machine " + VELUND_SETUP + " >" + dir +
                        ".out 2>" + dir + ".err";
  std::filesystem::create_directories(dir);
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_TRUE(std::filesystem::exists(dir + "/machine/machine.json"));  // created on first start
  std::ifstream err(dir + ".err");
  std::string shown((std::istreambuf_iterator<char>(err)), std::istreambuf_iterator<char>());
  EXPECT_NE(shown.find("[window] TabSheetInstall: Cài đặt"), std::string::npos) << shown;
  std::filesystem::remove_all(dir);
}

}  // namespace
