// Info.ini rewritten with the payload's build number.
#include "install/info_ini.h"

#include <gtest/gtest.h>

namespace {

constexpr char kBom[] = "\xEF\xBB\xBF";

TEST(InfoIni, ANewFileHoldsOnlyTheBuild) {
  EXPECT_EQ(SetIniValue("", "Info", "Build", "23021500"),
            std::string(kBom) + "[Info]\r\nBuild=23021500\r\n\r\n");
}

TEST(InfoIni, SectionsKeepTheirOrderAndCommentsAndBlankLinesGo) {
  const std::string text = std::string(kBom) +
                           "stray=before any section\n; a comment\n[First]\nA = 1\n\n"
                           "[info]\r\nName=x\r\nbuild=7\r\n[Last]\rB\r";
  EXPECT_EQ(SetIniValue(text, "Info", "Build", "23021500"),
            std::string(kBom) + "[First]\r\nA=1\r\n\r\n[info]\r\nName=x\r\nbuild=23021500\r\n\r\n"
                                "[Last]\r\nB=\r\n\r\n");
}

TEST(InfoIni, AMissingKeyJoinsItsSectionAndAMissingSectionComesLast) {
  EXPECT_EQ(SetIniValue("[Info]\nName=x\n[Other]\nC=3\n", "Info", "Build", "1"),
            std::string(kBom) + "[Info]\r\nName=x\r\nBuild=1\r\n\r\n[Other]\r\nC=3\r\n\r\n");
  EXPECT_EQ(SetIniValue("[Other]\nC=3\n[Other]\nD=4\n", "Info", "Build", "1"),
            std::string(kBom) + "[Other]\r\nC=3\r\nD=4\r\n\r\n[Info]\r\nBuild=1\r\n\r\n");
}

}  // namespace
