// A setup window on the headless toolkit over a fresh emulated machine, with the console log
// captured, and helpers that lay out and format the disks the window is to find.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/emulated/console.h"
#include "tests/test_machine.h"
#include "ui/headless_toolkit.h"
#include "ui/setup_form.h"
#include "ui/window_thread.h"

struct PartitionSpec {
  std::string fileSystem;  // "NTFS", "FAT32", "exFAT"
  long long sizeMB = 0;
  std::string label;
  char letter = 0;  // 0: no drive letter
};

class SetupFormTest : public MachineTest {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Changes machine.json and starts the machine again from it.
  void EditMachine(const std::function<void(nlohmann::json&)>& edit);
  // An MBR on disk `number` with the partitions from 1 MiB on, each formatted, with the declared
  // letters only (the machine gives no letters of its own).
  void PrepareDisk(unsigned number, const std::vector<PartitionSpec>& partitions);
  void AddFixedDisk(unsigned number, long long cylinders);

  // The window, created as the entry creates it, once its creation is complete.
  TSetupForm1& Open();
  // Turns the window's loop until nothing is under way.
  bool WaitIdle(std::chrono::seconds timeout = std::chrono::seconds(120));
  // Turns the loop for a while (notifications, timers).
  void Pump(std::chrono::milliseconds time);

  std::string Log() const { return log_->Contents(); }
  void ClearLog() { log_->Clear(); }

  ui::HeadlessToolkit toolkit_{WindowThread::Main()};
  std::unique_ptr<TSetupForm1> form_;
  std::shared_ptr<emu::CapturedOutput> log_;
};
