// A fresh emulated machine for one test, in its own folder, removed afterwards.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

class MachineTest : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Plugs in a removable disk "Generic Flash Disk USB Device" of whole cylinders of 255 x 63
  // sectors (8 MiB each at 512 bytes, 32 MiB at 4096).
  void AddStick(unsigned number, long long cylinders, unsigned sectorSize = 512);
  // The image file of disk `number`.
  std::string DiskImage(unsigned number) const;
  // Where the file `relative` ("KYR/Menu/BCD_pc") of the volume with drive letter `letter` lives
  // on the host; empty when no volume has that letter.
  static std::filesystem::path HostPath(char letter, const std::string& relative);
  std::filesystem::path directory_;
};
