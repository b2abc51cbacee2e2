// velund-machine: creates and inspects emulated machines.
//   velund-machine new DIR     creates DIR holding the default machine
//   velund-machine show DIR    prints the machine's description as JSON
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "platform/emulated/machine.h"

namespace {

int Usage() {
  std::fprintf(stderr, "usage: velund-machine new DIR\n       velund-machine show DIR\n");
  return 2;
}

int New(const std::string& directory) {
  std::string error;
  if (!emu::Machine::CreateDefault(directory, &error)) {
    std::fprintf(stderr, "velund-machine: %s\n", error.c_str());
    return 1;
  }
  return 0;
}

int Show(const std::string& directory) {
  std::ifstream in(std::filesystem::path(directory) / "machine.json");
  if (!in) {
    std::fprintf(stderr, "velund-machine: %s holds no machine.json\n", directory.c_str());
    return 1;
  }
  try {
    nlohmann::json config = nlohmann::json::parse(in);
    nlohmann::json shown = {{"directory", std::filesystem::absolute(directory).string()},
                            {"disks", config.value("disks", nlohmann::json::array())},
                            {"volumes", nlohmann::json::array()}};
    std::cout << shown.dump(2) << "\n";
  } catch (const nlohmann::json::exception& e) {
    std::fprintf(stderr, "velund-machine: %s\n", e.what());
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return Usage();
  std::string command = argv[1];
  if (command == "new") return New(argv[2]);
  if (command == "show") return Show(argv[2]);
  return Usage();
}
