// The machines the sweep runs on: a template per scenario, a copy of it per case, and what the
// disks the jobs were not pointed at hold.
#pragma once

#include <filesystem>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "benchmarks/fault_sweep/scenario.h"

namespace sweep {

struct Tools {
  std::filesystem::path setup;    // velund-setup
  std::filesystem::path machine;  // velund-machine
};

// Makes the scenario's template machine in `directory`: the default machine, a UTF-8 console,
// a second stick the jobs must leave alone (disk 2, its start filled with a pattern), English as
// the program's language, and the stick (disk 1) made once already. Empty on success, else what
// went wrong.
std::string PrepareTemplate(const Tools& tools, const Scenario& scenario,
                            const std::filesystem::path& directory);

// A sparse copy of a machine folder (reflinked where the file system can).
bool CopyMachine(const std::filesystem::path& from, const std::filesystem::path& to);

// Puts `faults` into the machine's machine.json.
void SetFaults(const std::filesystem::path& machine, const nlohmann::json& faults);

// What the unchosen disks hold: the bytes of disk 2, the first MiB (the partition table and the
// boot code) of disk 0, and every file and folder of disk 0's volumes, which hold %TEMP%.
struct DiskSnapshot {
  std::string spareDisk;
  std::string systemDiskStart;
  std::map<std::string, std::string> systemFiles;  // path below volumes/ -> content digest
};
DiskSnapshot TakeSnapshot(const std::filesystem::path& machine);

// The temporary extraction folder as a path below volumes/ (prefix of systemFiles' keys).
std::string TempFolderKey(const std::filesystem::path& machine);

}  // namespace sweep
