// Checks of a machine's files before a program starts on them. A damaged machine is a PC that does
// not boot, not something a program could handle: the program stops with one message that names
// the file and the fault, before it has written anything.
#pragma once

#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

namespace emu {

// machine.json's content: every member the machine reads has the type and range it needs.
// False with the fault (without the file's name) in `fault`.
bool CheckMachineConfig(const nlohmann::json& config, std::string& fault);

// storage.json's content.
bool CheckStorageFile(const nlohmann::json& saved, std::string& fault);

// Every file of the machine in `directory` that a program reads when it starts: machine.json,
// storage.json and the registry hives. Reads only. False with "FILE: fault" in `error`.
bool CheckMachine(const std::filesystem::path& directory, std::string& error);

}  // namespace emu
