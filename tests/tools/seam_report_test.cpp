// The machine's seam report (VELUND_SEAM_REPORT), which the fault sweep steers by: the index of a
// call in the report is the index a machine fault `{"call": "*", "after": N}` counts, so that the
// sweep fails the call it means, and the report says which call a fault failed and what the
// program left open.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <nlohmann/json.hpp>

namespace {

class SeamReportTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-seam-report-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    machine_ = (dir_ / "machine").string();
    const std::string create = std::string(VELUND_MACHINE_TOOL) + " new " + machine_ + " >/dev/null";
    ASSERT_EQ(std::system(create.c_str()), 0);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // Runs the create job on the stick with the machine's faults; the report.
  nlohmann::json RunCreate(const nlohmann::json& faults) {
    const std::filesystem::path config = dir_ / "machine" / "machine.json";
    nlohmann::json machine = nlohmann::json::parse(std::ifstream(config));
    machine["faults"] = faults;
    std::ofstream(config) << machine.dump();
    std::ofstream(dir_ / "actions") << "tab Create\nclick ButtonCreate\nwait-idle\nclose\n";
    const std::filesystem::path report = dir_ / "report.json";
    std::filesystem::remove(report);
    const std::string command = "VELUND_MACHINE=" + machine_ + " VELUND_AUTOPILOT=" +
                                (dir_ / "actions").string() + " VELUND_SEAM_REPORT=" +
                                report.string() + " " + VELUND_SETUP + " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    return nlohmann::json::parse(std::ifstream(report));
  }

  std::filesystem::path dir_;
  std::string machine_;
};

TEST_F(SeamReportTest, AFaultAfterNFailsTheCallAtIndexNAndTheRunLeavesNothingOpen) {
  const nlohmann::json clean = RunCreate(nlohmann::json::array());
  EXPECT_TRUE(clean["failed"].empty());
  EXPECT_TRUE(clean["locked_volumes"].empty());
  EXPECT_FALSE(clean["work_key"].get<bool>());
  const nlohmann::json& calls = clean["calls"];
  // The create job's first write to the stick: a call of the job's thread, not the window's.
  std::size_t write = 0;
  while (write < calls.size() && calls[write][0] != "WriteFile") ++write;
  ASSERT_LT(write, calls.size());
  EXPECT_NE(calls[write][2], 0);

  const nlohmann::json failed = RunCreate(
      nlohmann::json::array({{{"call", "*"}, {"error", 1117}, {"once", true}, {"after", write}}}));
  // The window's and the job's calls interleave differently from run to run, so the call at
  // that index need not be the write again; the index is what the fault and the report share.
  ASSERT_EQ(failed["failed"].size(), 1u);
  EXPECT_EQ(failed["failed"][0].get<std::size_t>(), write);
  // Whatever the job met, it closed what it opened.
  EXPECT_EQ(failed["open_handles"], clean["open_handles"]);
  EXPECT_TRUE(failed["locked_volumes"].empty());
}

}  // namespace
