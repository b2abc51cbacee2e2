#include "ui/language.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>

#include "platform/emulated/console.h"
#include "platform/emulated/embedded_resources.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_machine.h"
#include "ui/window_thread.h"

namespace {

// Records what a load hands to the window, as the setup window would show it.
class RecordingView : public LanguageView {
 public:
  void LoadLanguagePicture(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    picture.assign(bytes, bytes + size);
  }
  void SetControlCaption(std::string_view control, const std::string& caption) override {
    captions[std::string(control)] = caption;
    order.emplace_back(control);
  }
  void SetControlHint(std::string_view control, const std::string& hint) override {
    hints[std::string(control)] = hint;
  }
  void LanguageLoaded() override { ++loads; }

  std::vector<unsigned char> picture;
  std::map<std::string, std::string> captions, hints;
  std::vector<std::string> order;
  int loads = 0;
};

class LanguageTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    WindowThread::Main().Reopen();
    WindowThread::Main().Attach();
    ResetLanguage();
  }

  // One load, run to its end with this thread as the window thread.
  void Load() {
    int before = view_.loads;
    TLanguageThread::Start(view_, WindowThread::Main());
    WindowThread::Main().RunUntil([&] { return view_.loads > before; });
    TLanguageThread::WaitForAll();
  }

  void Store(const std::string& code) {
    win::RegKey key;
    ASSERT_EQ(win::RegCreateKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, 0, KEY_WRITE,
                                   nullptr, key, nullptr),
              ERROR_SUCCESS);
    auto data = win::RegStringData(code);
    ASSERT_EQ(win::RegSetValueExW(key.get(), "Language", 0, REG_SZ, data.data(),
                                  static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
  }

  std::string Stored() {
    win::RegKey key;
    if (win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, KEY_READ, key) !=
        ERROR_SUCCESS)
      return "<no key>";
    BYTE data[64];
    DWORD size = sizeof data, type = 0;
    if (win::RegQueryValueExW(key.get(), "Language", &type, data, &size) != ERROR_SUCCESS)
      return "<no value>";
    return win::RegStringFromData(data, size);
  }

  RecordingView view_;
};

TEST_F(LanguageTest, TheStoredChoiceNamesTheLanguageBeingLeft) {
  struct Case {
    const char* stored;  // null: nothing stored
    const char* shown;
  } cases[] = {{nullptr, "vi_VN"}, {"vi_VN", "en_US"}, {"en_US", "vi_VN"},
               {"VI_VN", "vi_VN"}, {"garbage", "vi_VN"}, {"", "vi_VN"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored ? c.stored : "(nothing)");
    TearDown();
    SetUp();
    if (c.stored) Store(c.stored);
    Load();
    EXPECT_EQ(LanguageCode(), c.shown);
    EXPECT_EQ(LookupText("Install"), std::string(c.shown) == "en_US" ? "Install" : "Cài đặt");
  }
}

TEST_F(LanguageTest, FirstStartShowsVietnameseWithItsFlagAndCaptions) {
  Load();
  EXPECT_EQ(view_.picture.size(), 1846u);  // the flag of Viet Nam
  EXPECT_EQ(view_.captions["TabSheetInstall"], "Cài đặt");
  EXPECT_EQ(view_.captions["TabSheetCreate"], "Tự động Phân vùng");
  EXPECT_EQ(view_.captions["NTFSSizeOptions"], "Kích thước NTFS (MB)");
  EXPECT_EQ(view_.captions["FAT32SizeOptions"], "Kích thước FAT32 (MB)");
  EXPECT_EQ(view_.order.front(), "TabSheetInstall");
  EXPECT_EQ(view_.order.back(), "FAT32SizeOptions");
  EXPECT_EQ(view_.order.size(), 15u);
  EXPECT_EQ(view_.hints.size(), 3u);
  EXPECT_EQ(view_.hints["AutoRunOption"], view_.captions["AutoRunOption"]);
}

TEST_F(LanguageTest, SwitchingStoresTheCodeInEffectAndARestartKeepsTheLanguage) {
  Store("vi_VN");
  Load();
  ASSERT_EQ(LanguageCode(), "en_US");
  EXPECT_EQ(view_.picture.size(), 1782u);  // the flag of the United States
  EXPECT_EQ(view_.captions["TabSheetCreate"], "AutoPartition");
  EXPECT_EQ(view_.captions["NTFSSizeOptions"], "NTFS Size (MB)");

  StoreLanguageChoice();  // the click: English is being left
  EXPECT_EQ(Stored(), "en_US");
  Load();
  EXPECT_EQ(LanguageCode(), "vi_VN");
  EXPECT_EQ(view_.captions["SetupButton"], "Cài đặt");

  // A restart starts from the stored "en_US" and shows Vietnamese again.
  Load();
  EXPECT_EQ(LanguageCode(), "vi_VN");
}

TEST_F(LanguageTest, LookupsIgnoreLetterCaseAndTrimTheResourceLines) {
  Store("vi_VN");
  Load();
  EXPECT_EQ(LookupText("installdone"), "Installation is done.");
  EXPECT_EQ(LookupText("INSTALLDONE"), "Installation is done.");
  EXPECT_EQ(LookupText("NoSuchKey"), "");
  EXPECT_EQ(LookupText("ExtractTemp"), "Extracting files to temp directory...");
  EXPECT_EQ(LookupText("UnmountingDrives"), "Unmounting drives...");
  EXPECT_EQ(LookupText("BIOSPartitionMsg"),
            "Grub2 i386-pc cannot be installed on this disk.%sRequest at least 65 Kb unallocated "
            "before the first partition.%sMove or resize the partition first then try again.");
  EXPECT_EQ(LanguageTable().size(), 46u);
  EXPECT_EQ(LanguageTable().front().first, "Install");
  EXPECT_EQ(LanguageTable().back().first, "CloseMsg");

  Store("en_US");
  Load();
  EXPECT_EQ(LookupText("FormatPart"), "Đang định dạng phân vùng %s...");
  EXPECT_EQ(LookupText("Done"), "xong");
}

TEST_F(LanguageTest, AStoredValueOfAnotherTypeIsIgnored) {
  Load();
  // The key exists but holds a value of another type: the load goes on from the code in memory.
  win::RegKey key;
  ASSERT_EQ(win::RegCreateKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, 0, KEY_WRITE, nullptr,
                                 key, nullptr),
            ERROR_SUCCESS);
  DWORD number = 7;
  win::RegSetValueExW(key.get(), "Language", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), 4);
  Load();  // from "vi_VN" in memory
  EXPECT_EQ(LanguageCode(), "en_US");
}

// An executable without the table of the language to switch to: the load ends without a word,
// and the table, the flag and the captions stay in the language shown before.
TEST_F(LanguageTest, ALoadWithoutItsTableResourceChangesNothingShown) {
  auto console = std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE);
  emu::SetStandardOutput(console);
  Store("vi_VN");
  Load();
  ASSERT_EQ(view_.captions["TabSheetInstall"], "Install");
  const auto picture = view_.picture;
  const auto captions = view_.captions;
  view_.order.clear();

  emu::ReplaceResource("VI_VN", std::nullopt);
  StoreLanguageChoice();
  Load();
  EXPECT_EQ(LookupText("Done"), "done");
  EXPECT_EQ(LanguageTable().size(), 46u);
  EXPECT_EQ(view_.picture, picture);
  EXPECT_TRUE(view_.order.empty());
  EXPECT_EQ(view_.captions, captions);
  EXPECT_EQ(console->Contents(), "");
}

// A table that lacks keys: their lookups and the captions set from them are empty.
TEST_F(LanguageTest, KeysTheTableLacksGiveEmptyTextsAndCaptions) {
  emu::ReplaceResource("VI_VN", "[Strings]\r\nInstall=C\xC3\xA0i \xC4\x91\xE1\xBA\xB7t\r\nexFATSize=");
  Load();
  ASSERT_EQ(LanguageCode(), "vi_VN");
  EXPECT_EQ(view_.captions["TabSheetInstall"], "Cài đặt");
  EXPECT_EQ(view_.captions["TabSheetCreate"], "");
  EXPECT_EQ(view_.captions["NTFSSizeOptions"], " (MB)");
  EXPECT_EQ(view_.captions["FAT32SizeOptions"], " (MB)");
  EXPECT_EQ(view_.captions["AutoRunOption"], "");
  EXPECT_EQ(view_.hints["AutoRunOption"], "");
  EXPECT_EQ(view_.order.size(), 15u);
  EXPECT_EQ(LookupText("Done"), "");
}

TEST_F(LanguageTest, LookupsRacingAReloadSeeOneWholeTable) {
  Load();
  std::atomic<bool> stop{false};
  std::atomic<int> mixed{0};
  std::thread reader([&] {
    while (!stop) {
      // Both keys come from the same table, whichever it is.
      auto lines = LanguageTable();
      if (lines.size() != 46) ++mixed;
      std::string text = LookupText("Done");
      if (text != "done" && text != "xong") ++mixed;
    }
  });
  for (int i = 0; i < 20; ++i) {
    StoreLanguageChoice();
    Load();
  }
  stop = true;
  reader.join();
  EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
