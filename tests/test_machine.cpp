#include "tests/test_machine.h"

#include <cstdlib>

#include "app/console_log.h"
#include "platform/emulated/console.h"
#include "platform/emulated/embedded_resources.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/storage.h"

void MachineTest::SetUp() {
  char pattern[] = "/tmp/velund-machine-XXXXXX";
  const char* made = mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  directory_ = std::filesystem::path(made) / "machine";
  std::string error;
  ASSERT_TRUE(emu::CreateMachine(directory_, emu::MachineKind::SmallSystemDiskOnly, error)) << error;
  emu::Machine::Use(directory_);
  ResetLogStream();
}

void MachineTest::TearDown() {
  emu::ClearFaults();
  emu::RestoreResources();
  emu::SetStandardOutput(nullptr);
  ResetLogStream();
  std::error_code ec;
  std::filesystem::remove_all(directory_.parent_path(), ec);
}

void MachineTest::AddStick(unsigned number, long long cylinders, unsigned sectorSize) {
  emu::NewDisk stick;
  stick.number = number;
  stick.cylinders = cylinders;
  stick.sectorSize = sectorSize;
  stick.removable = true;
  stick.name = "Generic Flash Disk USB Device";
  std::string error;
  ASSERT_TRUE(emu::AddDisk(directory_, stick, error)) << error;
}

std::string MachineTest::DiskImage(unsigned number) const {
  return (directory_ / "disks" / ("disk" + std::to_string(number) + ".img")).string();
}

std::filesystem::path MachineTest::HostPath(char letter, const std::string& relative) {
  auto locked = emu::Storage::Lock();
  auto volume = locked.storage.FindVolumeByLetter(letter);
  if (!volume) return {};
  return locked.storage.VolumeFolder(*volume) / relative;
}
