// The machine tool as the README and the tests use it.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/test_support.h"

namespace {

class MachineToolTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-tool-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    root_ = pattern;
    machine_ = (root_ / "m").string();
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }

  // Runs the tool; its standard output and error in `out`.
  int Tool(const std::string& arguments, std::string* out = nullptr) {
    return RunShell(std::string(VELUND_MACHINE_TOOL) + " " + arguments, out);
  }

  nlohmann::json Show() {
    std::string out;
    EXPECT_EQ(Tool("show " + machine_, &out), 0) << out;
    return nlohmann::json::parse(out);
  }

  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  static std::string Head(const std::filesystem::path& file, std::size_t size) {
    std::string bytes(size, '?');
    std::ifstream(file, std::ios::binary).read(bytes.data(), static_cast<std::streamsize>(size));
    return bytes;
  }

  std::filesystem::path root_;
  std::string machine_;
};

TEST_F(MachineToolTest, TheDefaultMachineHasASystemDiskAndAnEmptyStick) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  EXPECT_NE(Tool("new " + machine_), 0);  // never over an existing machine
  const nlohmann::json shown = Show();
  ASSERT_EQ(shown["disks"].size(), 2u);
  const auto& system = shown["disks"][0];
  EXPECT_EQ(system["media"], "fixed");
  EXPECT_EQ(system["layout"]["style"], "MBR");
  EXPECT_GT(system["size"].get<long long>(), 499'000'000'000LL);
  const auto& stick = shown["disks"][1];
  EXPECT_EQ(stick["number"], 1);
  EXPECT_EQ(stick["media"], "removable");
  EXPECT_EQ(stick["name"], "Generic Flash Disk USB Device");
  EXPECT_EQ(stick["layout"]["style"], "RAW");
  // 14.32 GB as the size of its whole cylinders.
  const double gib = stick["size"].get<double>() / 1073741824.0;
  EXPECT_NEAR(gib, 14.32, 0.005);
  const auto& g = stick["geometry"];
  EXPECT_EQ(stick["size"].get<long long>(),
            g["cylinders"].get<long long>() * g["tracks_per_cylinder"].get<long long>() *
                g["sectors_per_track"].get<long long>() * g["bytes_per_sector"].get<long long>());
  ASSERT_EQ(shown["volumes"].size(), 1u);
  EXPECT_EQ(shown["volumes"][0]["letter"], "C");
  EXPECT_EQ(shown["volumes"][0]["fs"], "NTFS");
  EXPECT_EQ(shown["volumes"][0]["disk"], 0);
  EXPECT_TRUE(std::filesystem::is_directory(shown["volumes"][0]["folder"].get<std::string>()));
  // The images are sparse: a 500 GB disk takes a few megabytes.
  struct stat info {};
  ASSERT_EQ(stat(system["image"].get<std::string>().c_str(), &info), 0);
  EXPECT_LT(static_cast<long long>(info.st_blocks) * 512, 200LL * 1024 * 1024);
}

TEST_F(MachineToolTest, DisksArePluggedInAndOutAndVolumesHeld) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  EXPECT_EQ(Tool("add-disk " + machine_ + " --number 2 --size 1073741824 --sector 4096 --fixed"
                 " --name \"Second Disk\""),
            0);
  EXPECT_NE(Tool("add-disk " + machine_ + " --number 2 --size 1073741824 --fixed --name X"), 0);
  EXPECT_NE(Tool("add-disk " + machine_ + " --number 3 --size 100 --fixed --name Tiny"), 0);
  EXPECT_NE(Tool("add-disk " + machine_ + " --number 3 --fixed"), 0);  // size and name missing
  nlohmann::json shown = Show();
  ASSERT_EQ(shown["disks"].size(), 3u);
  EXPECT_EQ(shown["disks"][2]["geometry"]["bytes_per_sector"], 4096);
  EXPECT_EQ(shown["disks"][2]["name"], "Second Disk");

  EXPECT_EQ(Tool("remove-disk " + machine_ + " 1"), 0);
  EXPECT_NE(Tool("remove-disk " + machine_ + " 1"), 0);
  shown = Show();
  ASSERT_EQ(shown["disks"].size(), 2u);
  EXPECT_EQ(shown["disks"][1]["number"], 2);

  EXPECT_EQ(Tool("hold " + machine_ + " C:"), 0);
  EXPECT_EQ(Show()["volumes"][0]["held"], true);
  EXPECT_EQ(Tool("release " + machine_ + " c:"), 0);
  EXPECT_EQ(Show()["volumes"][0]["held"], false);
  EXPECT_NE(Tool("hold " + machine_ + " Q:"), 0);
  EXPECT_NE(Tool("show " + (root_ / "nothing").string()), 0);
}

TEST_F(MachineToolTest, AFailedAddDiskLeavesEveryFileAsItWas) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  const std::filesystem::path disks = std::filesystem::path(machine_) / "disks";
  const std::filesystem::path kept = disks / "disk1.img";
  {
    std::fstream image(kept, std::ios::in | std::ios::out | std::ios::binary);
    image << "the data of a removed disk";
  }
  const auto keptSize = std::filesystem::file_size(kept);
  ASSERT_EQ(Tool("remove-disk " + machine_ + " 1"), 0);
  const std::string config = Read(std::filesystem::path(machine_) / "machine.json");

  std::string out;
  // An impossible size, then a possible one: the removed disk's image stays whole either way.
  EXPECT_NE(Tool("add-disk " + machine_ + " --number 1 --size 18446744073709551615 --fixed"
                 " --name X", &out), 0);
  EXPECT_NE(Tool("add-disk " + machine_ + " --number 1 --size 1073741824 --fixed --name X",
                 &out), 0);
  EXPECT_NE(out.find("disk1.img exists already"), std::string::npos) << out;
  // A name that is no UTF-8 text is refused before an image is made.
  EXPECT_NE(Tool("add-disk " + machine_ +
                     " --number 5 --size 16777216 --fixed --name \"$(printf '\\377')\"",
                 &out),
            0);
  EXPECT_EQ(Head(kept, 26), "the data of a removed disk");
  EXPECT_EQ(std::filesystem::file_size(kept), keptSize);
  EXPECT_EQ(Read(std::filesystem::path(machine_) / "machine.json"), config);
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(machine_)) {
    left.push_back(entry.path().filename().string());
  }
  for (const auto& entry : std::filesystem::directory_iterator(disks)) {
    left.push_back(entry.path().filename().string());
  }
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"disk0.img", "disk1.img", "disks", "machine.json"}));

  // Asked to, it replaces the image.
  ASSERT_EQ(Tool("add-disk " + machine_ + " --number 1 --size 1073741824 --fixed --name X"
                 " --replace-image", &out), 0) << out;
  EXPECT_EQ(std::filesystem::file_size(kept), 1073741824u);
  EXPECT_EQ(Head(kept, 26), std::string(26, '\0'));
}

TEST_F(MachineToolTest, NumbersOutOfRangeAreRefusedNotCut) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  const std::string config = Read(std::filesystem::path(machine_) / "machine.json");
  const char* refused[] = {
      "remove-disk DIR 4294967296",  // would be disk 0
      "sync DIR 4294967297",         // would be disk 1
      "remove-disk DIR 99999999999999999999999",
      "add-disk DIR --number 4294967298 --size 1073741824 --fixed --name X",
      "add-disk DIR --number 3 --size 1073741824 --sector 4294967808 --fixed --name X",
      "add-disk DIR --number 3 --size 9223372036854775808 --fixed --name X",
      "add-disk DIR --number 3 --cylinders 9223372036854775807 --fixed --name X",
  };
  for (std::string command : refused) {
    command.replace(command.find("DIR"), 3, machine_);
    std::string out;
    EXPECT_EQ(Tool(command, &out), 1) << command;
    EXPECT_TRUE(out.find("out of range") != std::string::npos ||
                out.find("too many cylinders") != std::string::npos)
        << command << ": " << out;
  }
  EXPECT_EQ(Read(std::filesystem::path(machine_) / "machine.json"), config);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::path(machine_) / "disks" / "disk3.img"));
}

TEST_F(MachineToolTest, FaultsAreAddedListedAndCleared) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  std::string out;
  EXPECT_EQ(Tool("faults " + machine_, &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::array());
  EXPECT_EQ(Tool("fault " + machine_ + " CreateFileW --error 5 --path 'E:\\KYR\\grub\\grub.cfg'",
                 &out), 0) << out;
  EXPECT_EQ(Tool("fault " + machine_ + " DeviceIoControl --code 0x7C054 --error 87 --once", &out),
            0) << out;
  EXPECT_EQ(Tool("fault " + machine_ + " format.com --error 0 --after 1", &out), 0) << out;
  EXPECT_EQ(Tool("fault " + machine_ + " '*' --once --after 4294967295 --error 21", &out), 0)
      << out;
  ASSERT_EQ(Tool("faults " + machine_, &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::parse(R"([
      {"call": "CreateFileW", "path": "E:\\KYR\\grub\\grub.cfg", "error": 5},
      {"call": "DeviceIoControl", "control_code": 507988, "error": 87, "once": true},
      {"call": "format.com", "error": 0, "after": 1},
      {"call": "*", "error": 21, "once": true, "after": 4294967295}])"));
  // The rest of the machine is as it was.
  EXPECT_EQ(Show()["disks"].size(), 2u);

  EXPECT_EQ(Tool("faults " + machine_ + " --clear", &out), 0) << out;
  ASSERT_EQ(Tool("faults " + machine_, &out), 0) << out;
  EXPECT_EQ(nlohmann::json::parse(out), nlohmann::json::array());
  EXPECT_FALSE(nlohmann::json::parse(Read(std::filesystem::path(machine_) / "machine.json"))
                   .contains("faults"));
  EXPECT_EQ(Tool("faults " + machine_ + " --all"), 2);
}

TEST_F(MachineToolTest, FaultsTheMachineCouldNotUseAreRefusedAndNothingChanges) {
  ASSERT_EQ(Tool("new " + machine_), 0);
  ASSERT_EQ(Tool("fault " + machine_ + " WriteFile --error 112"), 0);
  const std::string config = Read(std::filesystem::path(machine_) / "machine.json");
  struct Refusal {
    const char* arguments;
    int exitCode;
    const char* message;
  };
  const Refusal refusals[] = {
      {"CreateFile --error 5", 1,
       "faults[1].call \"CreateFile\" is neither a seam call nor a program"},
      {"createfilew --error 5", 1, "faults[1].call \"createfilew\" is neither"},
      {"notepad.exe --error 1", 1, "faults[1].call \"notepad.exe\" is neither"},
      {"ReadFile --error 0", 1, "faults[1].error must be a whole number from 1 to 4294967295"},
      {"ReadFile --error 4294967296", 1, "--error 4294967296 is out of range"},
      {"ReadFile --error 5 --after 4294967296", 1, "--after 4294967296 is out of range"},
      {"ReadFile --error 5 --code 0x100000000", 1, "--code 0x100000000 is out of range"},
      {"ReadFile --error 5 --code 1", 1, "faults[1].control_code is for DeviceIoControl only"},
      {"format.com --error 4 --path E:", 1, "faults[1].path cannot narrow a fault of format.com"},
      {"ReadFile --error 5 --after -1", 2, "usage"},
      {"ReadFile --error -5", 2, "usage"},
      {"ReadFile --path X", 2, "usage"},  // no error
      {"ReadFile --error", 2, "usage"},
      {"--error 5", 2, "usage"},          // no call
      {"ReadFile --error 5 --size 1", 2, "usage"},
  };
  for (const Refusal& refusal : refusals) {
    std::string out;
    EXPECT_EQ(Tool("fault " + machine_ + " " + refusal.arguments, &out), refusal.exitCode)
        << refusal.arguments << ": " << out;
    EXPECT_NE(out.find(refusal.message), std::string::npos) << refusal.arguments << ": " << out;
  }
  EXPECT_EQ(Read(std::filesystem::path(machine_) / "machine.json"), config);
}

}  // namespace
