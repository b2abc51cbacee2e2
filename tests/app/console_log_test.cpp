#include "app/console_log.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "platform/emulated/console.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

class ConsoleLogTest : public MachineTest {
 protected:
  std::shared_ptr<emu::CapturedOutput> Capture(DWORD fileType) {
    auto output = std::make_shared<emu::CapturedOutput>(fileType);
    emu::SetStandardOutput(output);
    ResetLogStream();
    return output;
  }
};

TEST_F(ConsoleLogTest, StatusLineDropsThePeriodAndLineBreakOfTheMessage) {
  EXPECT_EQ(SystemErrorText(5), "Access is denied");
  EXPECT_EQ(SystemErrorText(32),
            "The process cannot access the file because it is being used by another process");
  // A message of two lines keeps its inner line break; only the end is trimmed.
  EXPECT_NE(SystemErrorText(1005).find("file system.\r\nPlease"), std::string::npos);
  EXPECT_EQ(SystemErrorText(1005).back(), 'd');
  // Codes without a message give an empty text, and the caller's last error survives.
  win::SetLastError(1234);
  EXPECT_EQ(SystemErrorText(0x2BAD), "");
  EXPECT_EQ(win::GetLastError(), 1234u);
}

TEST_F(ConsoleLogTest, TheFourKindsOfOutputOnAConsole) {
  win::SetConsoleOutputCP(CP_UTF8);
  auto console = Capture(FILE_TYPE_CHAR);
  WriteText("Disk: 1");
  WriteStatusLine(5);
  WriteEmptyLine();
  WriteText("Extracting files to temp directory...");
  WriteLine("done");
  WriteLine("Cài đặt");
  EXPECT_EQ(console->Contents(),
            "Disk: 1Status: Access is denied\r\n\r\nExtracting files to temp directory...done\r\n"
            "Cài đặt\r\n");
}

TEST_F(ConsoleLogTest, RedirectedOutputUsesTheAnsiCodePageWithItsDefaultCharacter) {
  win::SetConsoleOutputCP(CP_UTF8);
  auto file = Capture(FILE_TYPE_DISK);
  WriteLine("Cài đặt – €5");
  // 1252 has à, – and € but neither đ nor ặ.
  EXPECT_EQ(file->Contents(), "C\xE0i \x3F\x3Ft \x96 \x80"
                              "5\r\n");
}

TEST_F(ConsoleLogTest, TheEncodingIsFixedWhenTheLogIsFirstWritten) {
  win::SetConsoleOutputCP(437);
  auto console = Capture(FILE_TYPE_CHAR);
  WriteLine("é");  // opens the log in code page 437, which has é
  win::SetConsoleOutputCP(CP_UTF8);
  WriteLine("đ");  // still 437, which lacks đ; the console shows the bytes in UTF-8 now
  EXPECT_EQ(console->Contents(), "é\r\n?\r\n");
}

TEST_F(ConsoleLogTest, ConcurrentWritesArriveWhole) {
  win::SetConsoleOutputCP(CP_UTF8);
  auto console = Capture(FILE_TYPE_PIPE);
  constexpr int kThreads = 4, kLines = 200;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      std::string line(100, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) WriteLine(line);
    });
  }
  for (auto& thread : threads) thread.join();
  std::string all = console->Contents();
  std::set<std::string> kinds;
  int count = 0;
  for (std::size_t pos = 0; pos < all.size();) {
    std::size_t end = all.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    std::string line = all.substr(pos, end - pos);
    ASSERT_EQ(line, std::string(100, line[0])) << "a line was torn";
    kinds.insert(line);
    ++count;
    pos = end + 2;
  }
  EXPECT_EQ(count, kThreads * kLines);
  EXPECT_EQ(kinds.size(), static_cast<std::size_t>(kThreads));
}

TEST(FormatTextTest, FillsPlaceholdersInOrder) {
  EXPECT_EQ(FormatText("Install to drive: %s & %s", {"E", "Partition #2"}),
            "Install to drive: E & Partition #2");
  EXPECT_EQ(FormatText("a%sb%sc", {"1"}), "a1bc");
  EXPECT_EQ(FormatText("%s", {"%s", "x"}), "%s");  // arguments are not scanned again
  EXPECT_EQ(FormatText("100%", {}), "100%");
}

}  // namespace
