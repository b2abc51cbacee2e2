// A fresh emulated machine for one test, in its own folder, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

class MachineTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  std::filesystem::path directory_;
};
