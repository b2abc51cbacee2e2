// Running commands on the emulated machine, with programs registered by the tests.
#include "sys/command_runner.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/emulated/messages.h"
#include "platform/emulated/programs.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

using namespace std::chrono_literals;

class RunCommandTest : public MachineTest {
 protected:
  // A program runs only where its file is, like a program of the payload.
  void InstallProgram(const std::string& path, emu::Program program) {
    win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(file.valid());
    emu::RegisterProgram(path.substr(path.find_last_of('\\') + 1), std::move(program));
  }

  // How the last process was started.
  nlohmann::json LastStart() {
    std::ifstream log(directory_ / "processes.log");
    std::string line, last;
    while (std::getline(log, line)) last = line;
    return nlohmann::json::parse(last);
  }
};

TEST_F(RunCommandTest, AMissingProgramGivesItsErrorAsExitCode) {
  DWORD exitCode = 0;
  EXPECT_FALSE(RunCommand("C:\\nothing-here.exe --quiet", true, SW_HIDE, exitCode, true));
  EXPECT_EQ(exitCode, ERROR_FILE_NOT_FOUND);
}

TEST_F(RunCommandTest, WaitingGivesTheExitCodeOfTheProcess) {
  InstallProgram("C:\\exit-five.exe", [](const emu::ProgramRun&) -> DWORD {
    std::this_thread::sleep_for(50ms);  // several wait slices
    return 5;
  });
  DWORD exitCode = 0;
  EXPECT_TRUE(RunCommand("C:\\exit-five.exe /x", true, SW_HIDE, exitCode, true));
  EXPECT_EQ(exitCode, 5u);
  const nlohmann::json start = LastStart();
  EXPECT_EQ(start["command_line"], "C:\\exit-five.exe /x");
  EXPECT_EQ(start["creation_flags"], 0x8000220u);
  EXPECT_EQ(start["show_window"], SW_HIDE);
}

TEST_F(RunCommandTest, WithoutWaitingThereIsNoExitCode) {
  auto release = std::make_shared<std::atomic<bool>>(false);
  auto ended = std::make_shared<std::atomic<bool>>(false);
  InstallProgram("C:\\lingers.exe", [release, ended](const emu::ProgramRun&) -> DWORD {
    for (int i = 0; i < 500 && !*release; ++i) std::this_thread::sleep_for(10ms);
    *ended = true;
    return 3;
  });
  DWORD exitCode = 0;
  EXPECT_TRUE(RunCommand("C:\\lingers.exe", false, SW_SHOWNORMAL, exitCode, false));
  EXPECT_EQ(exitCode, kNoExitCode);
  EXPECT_FALSE(*ended);
  EXPECT_EQ(LastStart()["creation_flags"], 0x220u);
  EXPECT_EQ(LastStart()["show_window"], SW_SHOWNORMAL);
  *release = true;
  for (int i = 0; i < 500 && !*ended; ++i) std::this_thread::sleep_for(10ms);
}

std::atomic<bool> gHandled{false};

LRESULT NoteMessage(HWND, UINT message, WPARAM, LPARAM) {
  if (message == WM_USER + 7) gHandled = true;
  return 0;
}

TEST_F(RunCommandTest, TheCallersMessagesAreDispatchedWhileItWaits) {
  gHandled = false;
  HWND window =
      win::CreateWindowExW(0, "STATIC", "", 0, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
  win::SetWindowLongW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NoteMessage));
  // The process ends well only once the waiting thread has handled its message.
  InstallProgram("C:\\needs-answer.exe", [window](const emu::ProgramRun&) -> DWORD {
    emu::PostMessageTo(window, WM_USER + 7, 0, 0);
    for (int i = 0; i < 500 && !gHandled; ++i) std::this_thread::sleep_for(10ms);
    return gHandled ? 0 : 1;
  });
  DWORD exitCode = kNoExitCode;
  EXPECT_TRUE(RunCommand("C:\\needs-answer.exe", true, SW_SHOWNORMAL, exitCode, true));
  EXPECT_EQ(exitCode, 0u);
  win::DestroyWindow(window);
}

}  // namespace
