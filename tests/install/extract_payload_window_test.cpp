// The payload step failing inside an install started from the window: the step's own lines, the
// window's error line and box, and no temporary folder left behind.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/embedded_resources.h"
#include "platform/emulated/faults.h"
#include "platform/seam.h"
#include "tests/test_support.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

using Lines = std::vector<std::string>;

constexpr char kTempFolder[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";

class ExtractPayloadWindowTest : public SetupFormTest {};

TEST_F(ExtractPayloadWindowTest, AFailedPayloadStepEndsTheInstallWithTheErrorBox) {
  struct Row {
    const char* name;
    std::function<void()> arrange;
    Lines last;  // the step's lines and the raised error's text, before the window's lines
  };
  const Row rows[] = {
      {"folder not created",
       [] { emu::InjectFault({"CreateDirectoryW", kTempFolder, std::nullopt, ERROR_DISK_FULL}); },
       {"Status: There is not enough space on the disk"}},
      {"payload resource missing", [] { emu::ReplaceResource("KYR7z", std::nullopt); },
       {"Extracting files to temp directory...", "Resource KYR7z not found"}},
      {"archive not opened", [] { emu::ReplaceResource("KYR7z", std::string("no archive")); },
       {"Extracting files to temp directory...fail", "Incorrect function"}},
  };
  AddStick(1, 30);
  PrepareDisk(1, {{"NTFS", 120, "DATA", 'E'}, {"FAT32", 100, "EFI", 'F'}});
  TSetupForm1& form = Open();
  ASSERT_EQ(form.FAT32DriveLists->Text().substr(0, 3), "F:\\");
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    row.arrange();
    ClearLog();
    const std::size_t boxes = toolkit_.Boxes().size();
    form.SetupButton->Click();
    ASSERT_TRUE(WaitIdle());
    Lines expected = row.last;
    expected.insert(expected.end(), {"", "Error!"});
    const Lines lines = LogLines(Log());
    ASSERT_GE(lines.size(), expected.size());
    EXPECT_EQ(Lines(lines.end() - static_cast<std::ptrdiff_t>(expected.size()), lines.end()),
              expected);
    ASSERT_EQ(toolkit_.Boxes().size(), boxes + 1);
    EXPECT_EQ(toolkit_.Boxes().back().caption, "Error!");
    EXPECT_EQ(toolkit_.Boxes().back().text, "Error!");
    EXPECT_EQ(win::GetFileAttributesW(kTempFolder), INVALID_FILE_ATTRIBUTES);
    emu::ClearFaults();
    emu::RestoreResources();
  }
}

}  // namespace
