// The jobs the sweep runs: a create followed by an install, one way per scenario.
#pragma once

#include <string>
#include <vector>

namespace sweep {

struct Scenario {
  std::string name;
  std::string autopilot;  // the user's actions, docs/autopilot.md
  bool partitionMode;     // new volumes get no letter, so the FAT32 partition is picked by number
};

const std::vector<Scenario>& Scenarios();

// The disk the jobs are pointed at; every other disk must come out as it went in.
constexpr unsigned kChosenDisk = 1;

}  // namespace sweep
