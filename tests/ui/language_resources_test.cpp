// The language resources as the executable carries them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/seam.h"
#include "ui/ini_text.h"

namespace {

std::string Resource(const char* name) {
  HRSRC found = win::FindResourceW(nullptr, name, RT_RCDATA);
  if (!found) return {};
  HGLOBAL loaded = win::LoadResource(nullptr, found);
  return std::string(static_cast<const char*>(win::LockResource(loaded)),
                     win::SizeofResource(nullptr, found));
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(LanguageResourcesTest, TablesHoldTheSameKeysInTheSameOrderWithCrLfAndNoFinalLineEnd) {
  std::string en = Resource("EN_US"), vi = Resource("vi_vn");  // names ignore letter case
  ASSERT_FALSE(en.empty());
  ASSERT_FALSE(vi.empty());
  for (const std::string* table : {&en, &vi}) {
    EXPECT_EQ(table->rfind("[Strings]\r\n", 0), 0u);  // first line, no byte-order mark
    EXPECT_NE(table->back(), '\n');
    EXPECT_EQ(table->find('\n'), table->find("\r\n") + 1);
    std::size_t bareLf = 0;
    for (std::size_t i = 0; i < table->size(); ++i)
      bareLf += (*table)[i] == '\n' && (i == 0 || (*table)[i - 1] != '\r');
    EXPECT_EQ(bareLf, 0u);
  }
  IniLines enLines = ReadIniSection(en, "Strings"), viLines = ReadIniSection(vi, "Strings");
  ASSERT_EQ(enLines.size(), 46u);
  ASSERT_EQ(viLines.size(), 46u);
  for (std::size_t i = 0; i < enLines.size(); ++i) EXPECT_EQ(enLines[i].first, viLines[i].first);
  // The lines that end with the one space the loader drops.
  EXPECT_NE(en.find("ExtractTemp=Extracting files to temp directory... \r\n"), std::string::npos);
  EXPECT_NE(en.find("CopyAddition=Copying additional files... \r\n"), std::string::npos);
  EXPECT_NE(en.find("FormatPart=Formatting %s partition...\r\n"), std::string::npos);
  EXPECT_NE(vi.find("FormatPart=Đang định dạng phân vùng %s... \r\n"), std::string::npos);
  EXPECT_NE(vi.find("UnmountingDrives=Đang bỏ gắn các ổ đĩa...\r\n"), std::string::npos);
}

TEST(LanguageResourcesTest, FlagsAre8BitPaletteBitmapsMadeByTheFlagTool) {
  std::string us = Resource("EN_US_BMP"), vn = Resource("VI_VN_BMP");
  ASSERT_EQ(us.size(), 1782u);
  ASSERT_EQ(vn.size(), 1846u);
  auto u32 = [](const std::string& b, int at) {
    return static_cast<unsigned>(static_cast<unsigned char>(b[at])) |
           static_cast<unsigned>(static_cast<unsigned char>(b[at + 1])) << 8 |
           static_cast<unsigned>(static_cast<unsigned char>(b[at + 2])) << 16 |
           static_cast<unsigned>(static_cast<unsigned char>(b[at + 3])) << 24;
  };
  for (const auto& [bmp, height] : {std::pair{&us, 22u}, std::pair{&vn, 24u}}) {
    EXPECT_EQ(bmp->substr(0, 2), "BM");
    EXPECT_EQ(u32(*bmp, 2), bmp->size());
    EXPECT_EQ(u32(*bmp, 18), 32u);
    EXPECT_EQ(u32(*bmp, 22), height);
    EXPECT_EQ(static_cast<unsigned char>((*bmp)[28]), 8);  // bits per pixel
    EXPECT_EQ(u32(*bmp, 46), 256u);                       // palette entries
  }
  // The committed bitmaps are exactly what the tool draws.
  std::string dir = testing::TempDir();
  std::string command = std::string(VELUND_MAKE_FLAGS) + " " + dir + "us.bmp " + dir + "vn.bmp";
  ASSERT_EQ(std::system(command.c_str()), 0);
  EXPECT_EQ(ReadFile(dir + "us.bmp"), us);
  EXPECT_EQ(ReadFile(dir + "vn.bmp"), vn);
}

TEST(LanguageResourcesTest, MissingResourcesReportTheirErrors) {
  EXPECT_EQ(win::FindResourceW(nullptr, "FR_FR", RT_RCDATA), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_RESOURCE_NAME_NOT_FOUND);
  EXPECT_EQ(win::FindResourceW(nullptr, "EN_US", MAKEINTRESOURCEW(2)), nullptr);
  EXPECT_EQ(win::GetLastError(), ERROR_RESOURCE_TYPE_NOT_FOUND);
}

}  // namespace
