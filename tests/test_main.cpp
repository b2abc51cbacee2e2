// Every test runs against a machine of its own in a fresh folder, never the user's ./machine.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "platform/emulated/machine.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  char pattern[] = "/tmp/velund-tests-XXXXXX";
  const char* base = mkdtemp(pattern);
  if (!base) return 1;
  emu::Machine::Use(std::filesystem::path(base) / "machine");
  int result = RUN_ALL_TESTS();
  std::error_code ec;
  std::filesystem::remove_all(base, ec);
  return result;
}
