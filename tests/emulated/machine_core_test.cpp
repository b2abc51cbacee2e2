// The emulated machine's core: messages, code pages, environment, windows.
#include <gtest/gtest.h>

#include <thread>

#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

using MachineCoreTest = MachineTest;

TEST_F(MachineCoreTest, MessagesEndWithAPeriodAndCrLfAsOnWindows) {
  std::string text;
  EXPECT_EQ(win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                112, 0, text),
            40u);
  EXPECT_EQ(text, "There is not enough space on the disk.\r\n");
  for (DWORD code : {1u, 2u, 3u, 5u, 6u, 19u, 21u, 32u, 87u, 112u, 1117u, 1224u, 1392u}) {
    EXPECT_GT(win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, code, 0, text), 0u) << code;
    EXPECT_EQ(text.substr(text.size() - 3), ".\r\n") << code;
  }
  // HRESULTs of Win32 errors carry the Win32 text.
  win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0x80070005, 0, text);
  EXPECT_EQ(text, "Access is denied.\r\n");
  EXPECT_EQ(win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 0xDEAD, 0, text), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_MR_MID_NOT_FOUND);
}

TEST_F(MachineCoreTest, LastErrorBelongsToEachThread) {
  win::SetLastError(5);
  std::thread other([] {
    EXPECT_EQ(win::GetLastError(), 0u);
    win::SetLastError(87);
  });
  other.join();
  EXPECT_EQ(win::GetLastError(), 5u);
}

TEST_F(MachineCoreTest, ConversionsUseTheCodePageAndItsDefaultCharacter) {
  std::string out;
  BOOL usedDefault = FALSE;
  EXPECT_EQ(win::WideCharToMultiByte(1252, 0, "Tạo €", out, nullptr, &usedDefault), 5);
  EXPECT_EQ(out, "T?o \x80");
  EXPECT_TRUE(usedDefault);
  EXPECT_EQ(win::WideCharToMultiByte(CP_ACP, 0, "đ", out, "#", nullptr), 1);
  EXPECT_EQ(out, "#");
  EXPECT_EQ(win::WideCharToMultiByte(CP_UTF8, 0, "đ", out, nullptr, nullptr), 2);
  // UTF-8 takes no default character; an unknown code page and an empty text are refused.
  EXPECT_EQ(win::WideCharToMultiByte(CP_UTF8, 0, "x", out, "?", nullptr), 0);
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::WideCharToMultiByte(12345, 0, "x", out, nullptr, nullptr), 0);
  EXPECT_EQ(win::WideCharToMultiByte(1252, 0, "", out, nullptr, nullptr), 0);
  EXPECT_FALSE(win::SetConsoleOutputCP(12345));
  EXPECT_EQ(win::GetConsoleOutputCP(), 437u);  // the machine's OEM code page until changed
}

TEST_F(MachineCoreTest, EnvironmentTempFolderAndCurrentDirectory) {
  std::string value;
  EXPECT_GT(win::GetEnvironmentVariableW("temp", value), 0u);  // names ignore letter case
  EXPECT_EQ(value, "C:\\Users\\Setup\\AppData\\Local\\Temp");
  EXPECT_EQ(win::GetEnvironmentVariableW("NO_SUCH_VARIABLE", value), 0u);
  EXPECT_EQ(win::GetLastError(), ERROR_ENVVAR_NOT_FOUND);
  std::string temp;
  const DWORD length = win::GetTempPathW(temp);
  EXPECT_EQ(length, temp.size());
  EXPECT_EQ(temp, "C:\\Users\\Setup\\AppData\\Local\\Temp\\");

  EXPECT_FALSE(win::SetCurrentDirectoryW("C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract"));
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
  ASSERT_TRUE(win::CreateDirectoryW("C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract", nullptr));
  EXPECT_TRUE(win::SetCurrentDirectoryW("c:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract"));
  EXPECT_TRUE(win::SetCurrentDirectoryW("..\\.\\kyrextract\\"));
  std::string current;
  win::GetCurrentDirectoryW(current);
  EXPECT_EQ(current, "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract");
}

TEST_F(MachineCoreTest, WindowsKeepTheirOwnerStateAndPosition) {
  HWND console = win::GetConsoleWindow();
  ASSERT_NE(console, nullptr);
  HWND window = win::CreateWindowExW(0, "STATIC", "x", 0, 1, 2, 30, 40, nullptr, nullptr,
                                     nullptr, nullptr);
  ASSERT_NE(window, nullptr);
  win::SetLastError(99);
  EXPECT_EQ(win::SetWindowLongW(window, GWL_HWNDPARENT, reinterpret_cast<LONG_PTR>(console)), 0);
  EXPECT_EQ(win::GetLastError(), 0u);  // a previous owner of none is not a failure
  EXPECT_EQ(win::GetWindowLongW(window, GWL_HWNDPARENT), reinterpret_cast<LONG_PTR>(console));
  EXPECT_FALSE(win::EnableWindow(console, FALSE));  // was enabled
  EXPECT_TRUE(win::EnableWindow(console, TRUE));    // was disabled
  EXPECT_TRUE(win::DestroyWindow(window));
  RECT rect{};
  EXPECT_FALSE(win::GetWindowRect(window, &rect));
  EXPECT_FALSE(win::CloseHandle(reinterpret_cast<HANDLE>(0x1234)));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_HANDLE);
}

}  // namespace
