// The program driven by an autopilot file, as the demo and the scripts run it.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <nlohmann/json.hpp>

namespace {

class AutopilotTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velund-autopilot-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  static std::string Read(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // Runs the program on a machine of its own (the default one, made at first start); returns
  // its exit code.
  int Run(const std::string& actions) {
    std::ofstream(dir_ / "actions") << actions;
    const std::string command = "VELUND_MACHINE=" + (dir_ / "machine").string() +
                                " VELUND_AUTOPILOT=" + (dir_ / "actions").string() + " " +
                                VELUND_SETUP + " >" + (dir_ / "out").string() + " 2>" +
                                (dir_ / "err").string() + " </dev/null";
    const int status = std::system(command.c_str());
    out_ = Read(dir_ / "out");
    err_ = Read(dir_ / "err");
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

  nlohmann::json Control(const nlohmann::json& dump, const std::string& name) {
    for (const auto& control : dump["controls"]) {
      if (control["name"] == name) return control;
    }
    return nullptr;
  }

  std::filesystem::path dir_;
  std::string out_, err_;
};

TEST_F(AutopilotTest, ActionsFireTheHandlersAndTheDumpShowsTheWholeForm) {
  const std::string dump = (dir_ / "form.json").string();
  ASSERT_EQ(Run("# comments and empty lines are skipped\n\n"
                "click LanguageLabel\n"
                "wait-idle\n"
                "tab Create\n"
                "type FAT32SizeBox 0071x\n"
                "click GPTItem\n"
                "unplug 1\n"
                "wait-idle 30\n"
                "dump " + dump + "\n"
                "close\n"),
            0)
      << err_;
  EXPECT_EQ(out_, "");  // nothing was written to the log
  const nlohmann::json form = nlohmann::json::parse(Read(dump));
  EXPECT_EQ(Control(form, "TabSheetInstall")["caption"], "Install");  // switched to English
  EXPECT_EQ(Control(form, "MainPageControl")["active_page"], "TabSheetCreate");
  EXPECT_EQ(Control(form, "FAT32SizeBox")["text"], "100");  // 0071 -> 071 -> 71 -> 100
  EXPECT_EQ(Control(form, "GPTItem")["checked"], true);
  EXPECT_EQ(Control(form, "MBRItem")["checked"], false);
  EXPECT_EQ(Control(form, "DiskLists")["items"], nlohmann::json::array());  // unplugged
  EXPECT_EQ(Control(form, "LanguageImage")["bounds"]["left"], 410);
  EXPECT_EQ(Control(form, "DiskLists")["showing"], true);
  EXPECT_EQ(Control(form, "SetupButton")["showing"], false);
  EXPECT_EQ(Control(form, "ProgressBar"), nullptr);
  EXPECT_EQ(Control(form, "SetupForm1")["client_height"], 8 + 383 + 8);
}

TEST_F(AutopilotTest, AJobRefusesTheCloseAndReportsItsEndInABox) {
  const std::string dump = (dir_ / "form.json").string();
  ASSERT_EQ(Run("click LanguageLabel\n"
                "wait-idle\n"
                "tab Create\n"
                "click ButtonCreate\n"
                "close\n"
                "wait-idle\n"
                "dump " + dump + "\n"
                "close\n"),
            0)
      << err_;
  EXPECT_NE(err_.find("box: Warning | Processes are running, wait until they complete. | "
                      "MB_OK|MB_ICONWARNING\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(err_.find("box: Creation is done, can now Install. | Creation is done, can now "
                      "Install. | MB_OK|MB_ICONINFORMATION\n"),
            std::string::npos)
      << err_;
  EXPECT_NE(out_.find("\r\n\r\nCreation is done, can now Install.\r\n"), std::string::npos) << out_;
  const nlohmann::json form = nlohmann::json::parse(Read(dump));
  EXPECT_EQ(Control(form, "ProgressBar")["state"], "normal");
  EXPECT_EQ(Control(form, "ProgressBar")["position"], 100);
  EXPECT_EQ(Control(form, "ProgressBar")["bounds"]["top"], 8 + 383 + 8);
  EXPECT_EQ(Control(form, "SetupForm1")["client_height"], 8 + 383 + 8 + 10);
  // The drive lists were rebuilt after the job with the new stick's NTFS drive as the default.
  EXPECT_EQ(Control(form, "NTFSDriveLists")["selection"], 0);
  EXPECT_NE(Control(form, "NTFSDriveLists")["text"].get<std::string>().find(" - NTFS - "),
            std::string::npos);
}

TEST_F(AutopilotTest, ALogSavedToAFileReadsWellOnAWindowsSetToUtf8) {
  // A Western Windows writes redirected output in its ANSI code page, 1252, which lacks most
  // Vietnamese letters; the first start speaks Vietnamese.
  const std::string refusal = "wait-idle\nclick SetupButton\nclose\n";  // no drives chosen
  ASSERT_EQ(Run(refusal), 0) << err_;
  EXPECT_EQ(out_, "Xin h\xE3y ch?n c\xE1" "c ? ??a.\r\n");

  // The demo's machine: a Windows set to use UTF-8 for non-Unicode programs.
  const std::string machine = (dir_ / "machine").string();
  const std::string tool = VELUND_MACHINE_TOOL;
  ASSERT_EQ(std::system((tool + " code-pages " + machine + " 65001 65001").c_str()), 0);
  ASSERT_EQ(Run(refusal), 0) << err_;
  EXPECT_EQ(out_, "Xin hãy chọn các ổ đĩa.\r\n");
  // Code pages the machine does not know are refused.
  EXPECT_NE(std::system((tool + " code-pages " + machine + " 65002 437 2>/dev/null").c_str()), 0);
}

TEST_F(AutopilotTest, MistakesEndTheRunWithExitCodeTwo) {
  EXPECT_EQ(Run("tab Install\nfly away\nclose\n"), 2);
  EXPECT_NE(err_.find("line 2: unknown action 'fly'"), std::string::npos) << err_;

  EXPECT_EQ(Run("click NoSuchButton\nclose\n"), 2);
  EXPECT_NE(err_.find(":1: unknown control 'NoSuchButton'"), std::string::npos) << err_;

  EXPECT_EQ(Run("click ButtonCreate\nclose\n"), 2);  // on the tab not shown
  EXPECT_NE(err_.find("not on screen"), std::string::npos) << err_;

  EXPECT_EQ(Run("pick NTFSDriveLists 3\nclose\n"), 2);
  EXPECT_NE(err_.find("has no entry 3"), std::string::npos) << err_;

  EXPECT_EQ(Run("tab Install\n"), 2);
  EXPECT_NE(err_.find("ended without closing"), std::string::npos) << err_;

  EXPECT_EQ(Run("plug 1\nclose\n"), 2);
  EXPECT_NE(err_.find("plugged in already"), std::string::npos) << err_;
}

}  // namespace
