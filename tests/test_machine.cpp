#include "tests/test_machine.h"

#include <cstdlib>

#include "app/console_log.h"
#include "platform/emulated/console.h"
#include "platform/emulated/machine.h"

void MachineTest::SetUp() {
  char pattern[] = "/tmp/velund-machine-XXXXXX";
  const char* made = mkdtemp(pattern);
  ASSERT_NE(made, nullptr);
  directory_ = std::filesystem::path(made) / "machine";
  emu::Machine::Use(directory_);
  ResetLogStream();
}

void MachineTest::TearDown() {
  emu::SetStandardOutput(nullptr);
  ResetLogStream();
  std::error_code ec;
  std::filesystem::remove_all(directory_.parent_path(), ec);
}
