// The program meets the faults of its machine's `faults` list: the create job driven by an
// autopilot fails the way a person would see it, and each run of the program meets the same
// faults again.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

class MachineFaultsTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-faults-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    machine_ = (dir_ / "machine").string();
    ASSERT_EQ(Tool("new " + machine_), 0);
    // The program speaks English from here on: the choice is kept in the machine's registry.
    ASSERT_EQ(Run("click LanguageLabel\nwait-idle\nclose\n"), 0) << err_;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  int Tool(const std::string& arguments) {
    const std::string command =
        std::string(VELUND_MACHINE_TOOL) + " " + arguments + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // Runs the program with the autopilot's actions; its exit code.
  int Run(const std::string& actions) {
    std::ofstream(dir_ / "actions") << actions;
    const std::string command = "VELUND_MACHINE=" + machine_ +
                                " VELUND_AUTOPILOT=" + (dir_ / "actions").string() + " " +
                                VELUND_SETUP + " >" + (dir_ / "out").string() + " 2>" +
                                (dir_ / "err").string() + " </dev/null";
    const int status = std::system(command.c_str());
    out_ = Read(dir_ / "out");
    err_ = Read(dir_ / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  // The create job on the stick (disk 1) with its defaults, as many times as asked.
  static std::string Creates(int times) {
    std::string actions = "tab Create\n";
    for (int i = 0; i < times; ++i) actions += "click ButtonCreate\nwait-idle\n";
    return actions + "close\n";
  }

  static bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
  }

  static std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
      ++count;
    }
    return count;
  }

  std::filesystem::path dir_;
  std::string machine_;
  std::string out_, err_;
};

constexpr const char* kErrorBox = "box: Error! | Error! | MB_OK|MB_ICONERROR\n";
constexpr const char* kDoneBox =
    "box: Creation is done, can now Install. | Creation is done, can now Install. | "
    "MB_OK|MB_ICONINFORMATION\n";

TEST_F(MachineFaultsTest, FormatEndingWithAnExitCodeFailsTheCreateJobInEveryRun) {
  ASSERT_EQ(Tool("fault " + machine_ + " format.com --error 5"), 0);
  const std::string config = Read(std::filesystem::path(machine_) / "machine.json");
  for (int run = 0; run < 2; ++run) {
    SCOPED_TRACE(run);
    ASSERT_EQ(Run(Creates(1)), 0) << err_;
    EXPECT_TRUE(Has(out_, "Formatting NTFS partition...fail\r\n"
                          "Status: Access is denied\r\n\r\nError!\r\n")) << out_;
    EXPECT_FALSE(Has(out_, "Creation is done")) << out_;
    EXPECT_EQ(Count(err_, kErrorBox), 1u) << err_;
    // A fault that fires leaves the machine's description as it was.
    EXPECT_EQ(Read(std::filesystem::path(machine_) / "machine.json"), config);
  }
  // Without the fault the same job is done.
  ASSERT_EQ(Tool("faults " + machine_ + " --clear"), 0);
  ASSERT_EQ(Run(Creates(1)), 0) << err_;
  EXPECT_EQ(Count(err_, kDoneBox), 1u) << err_;
  EXPECT_FALSE(Has(out_, "Error!")) << out_;
}

TEST_F(MachineFaultsTest, ARefusedLayoutRequestOfOneDiskFailsTheJobOncePerRun) {
  // The stick's first new layout is refused, once: its path in other letters than the program's.
  ASSERT_EQ(Tool("fault " + machine_ + " DeviceIoControl --path '\\\\.\\physicaldrive1'"
                 " --code 0x7C054 --error 87 --once"),
            0);
  ASSERT_EQ(Run(Creates(2)), 0) << err_;
  const std::size_t refused = out_.find("Status: The parameter is incorrect\r\n\r\nError!\r\n");
  EXPECT_NE(refused, std::string::npos) << out_;
  // The second job of the same run meets no fault.
  EXPECT_NE(out_.find("Creation is done, can now Install.", refused), std::string::npos) << out_;
  EXPECT_EQ(Count(err_, kErrorBox), 1u) << err_;
  EXPECT_EQ(Count(err_, kDoneBox), 1u) << err_;
  EXPECT_LT(err_.find(kErrorBox), err_.find(kDoneBox)) << err_;

  // The next run meets the fault again.
  ASSERT_EQ(Run(Creates(1)), 0) << err_;
  EXPECT_TRUE(Has(out_, "Status: The parameter is incorrect\r\n\r\nError!\r\n")) << out_;

  // A layout request of another disk, or another request of this one, is not refused.
  ASSERT_EQ(Tool("faults " + machine_ + " --clear"), 0);
  ASSERT_EQ(Tool("fault " + machine_ + " DeviceIoControl --path '\\\\.\\PHYSICALDRIVE0'"
                 " --code 0x7C054 --error 87"),
            0);
  ASSERT_EQ(Tool("fault " + machine_ + " DeviceIoControl --path '\\\\.\\PHYSICALDRIVE1'"
                 " --code 0x7C055 --error 87"),
            0);
  ASSERT_EQ(Run(Creates(1)), 0) << err_;
  EXPECT_EQ(Count(err_, kDoneBox), 1u) << err_ << out_;
}

TEST_F(MachineFaultsTest, FaultsFireAfterTheCallsThatPassFirst) {
  // The job formats the NTFS partition, then the FAT32 one: the second run of format fails.
  ASSERT_EQ(Tool("fault " + machine_ + " format.com --error 4 --after 1"), 0);
  ASSERT_EQ(Run(Creates(1)), 0) << err_;
  EXPECT_TRUE(Has(out_, "Formatting NTFS partition...done\r\n")) << out_;
  EXPECT_TRUE(Has(out_, "Formatting FAT32 partition...fail\r\nStatus: ")) << out_;
  EXPECT_EQ(Count(err_, kErrorBox), 1u) << err_;

  // Every seam call on the stick counts towards "*": the window's queries of the disk and the
  // job's first ones pass, then one fails, and the job ends with the error it met.
  ASSERT_EQ(Tool("faults " + machine_ + " --clear"), 0);
  ASSERT_EQ(Tool("fault " + machine_ + " '*' --path '\\\\.\\PHYSICALDRIVE1' --error 21"
                 " --once --after 5"),
            0);
  ASSERT_EQ(Run(Creates(2)), 0) << err_;
  const std::size_t failed =
      out_.find("Style: MBR\r\nStatus: The device is not ready\r\n\r\nError!\r\n");
  EXPECT_NE(failed, std::string::npos) << out_;
  EXPECT_EQ(Count(err_, kErrorBox), 1u) << err_;
  // Used up: the second job of the run is done.
  EXPECT_NE(out_.find("Creation is done, can now Install.", failed), std::string::npos) << out_;
  EXPECT_EQ(Count(err_, kDoneBox), 1u) << err_;
}

}  // namespace
