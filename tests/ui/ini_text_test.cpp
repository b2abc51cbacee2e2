#include "ui/ini_text.h"

#include <gtest/gtest.h>

namespace {

TEST(IniTextTest, SectionsCommentsBlanksAndRepeats) {
  const char* text =
      "key=before any section\r\n"
      "  [ strings ]  \r\n"
      "; a comment\r\n"
      "\r\n"
      "  Alpha  =   one two  \r\n"
      "Bare\n"
      "Eq=a=b\r"
      "Empty=\r\n"
      "[Other]\r\n"
      "Alpha=other\r\n"
      "[STRINGS]\r\n"
      "Late=ignored with its section\r\n";
  IniLines lines = ReadIniSection(text, "Strings");
  IniLines expected = {{"Alpha", "one two"}, {"Bare", ""}, {"Eq", "a=b"}, {"Empty", ""}};
  EXPECT_EQ(lines, expected);
  EXPECT_EQ(ReadIniSection(text, "other"), (IniLines{{"Alpha", "other"}}));
  EXPECT_TRUE(ReadIniSection(text, "missing").empty());
}

TEST(IniTextTest, TrimsControlCharactersAndKeepsUnicodeTexts) {
  IniLines lines = ReadIniSection("[S]\r\n\tK\x01=\x02 Tạo\t \r\nX=y", "s");
  EXPECT_EQ(lines, (IniLines{{"K", "Tạo"}, {"X", "y"}}));
}

}  // namespace
