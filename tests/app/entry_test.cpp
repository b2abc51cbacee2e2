#include "app/entry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <mutex>
#include <thread>

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

// The window is looked at from another thread while a create job keeps it on screen: the console
// must be disabled and the window's owner while the window is shown, and enabled again after.
TEST_F(EntryTest, TheConsoleIsDisabledAndOwnsTheWindowWhileItIsShown) {
  UseConsole(993, 519);
  AddStick(1, 20);
  emu::Machine::Use(directory_);
  const std::string script = (directory_ / "autopilot.txt").string();
  std::ofstream(script) << "tab Create\nclick ButtonCreate\nwait-idle\nclose\n";
  ASSERT_EQ(setenv("VELUND_AUTOPILOT", script.c_str(), 1), 0);

  std::atomic<bool> running{true};
  int ownedWhileDisabled = 0;  // looks that found a window owned by the disabled console
  emu::ProcessState& process = emu::Machine::Get().Process();  // loaded here, not by the watcher
  std::thread watcher([&] {
    while (running) {
      {
        std::lock_guard lock(process.mutex);
        const auto console = process.windows.find(process.consoleWindow);
        for (const auto& [handle, state] : process.windows) {
          if (console == process.windows.end() || state.owner != console->first) continue;
          if (!console->second.enabled) ++ownedWhileDisabled;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  RunSetup();
  running = false;
  watcher.join();
  unsetenv("VELUND_AUTOPILOT");

  EXPECT_GT(ownedWhileDisabled, 0);
  EXPECT_TRUE(win::IsWindowEnabled(win::GetConsoleWindow()));
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
