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

}  // namespace
