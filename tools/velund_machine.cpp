// velund-machine: creates, changes and inspects emulated machines (see docs/machine.md).
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "platform/emulated/machine.h"
#include "platform/emulated/machine_check.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_sync.h"

namespace {

int Usage() {
  std::fprintf(stderr,
               "usage: velund-machine new DIR\n"
               "       velund-machine show DIR\n"
               "       velund-machine add-disk DIR --number N (--size BYTES | --cylinders C)\n"
               "                      [--sector 512|4096] (--removable | --fixed) --name TEXT\n"
               "                      [--replace-image]\n"
               "       velund-machine remove-disk DIR N\n"
               "       velund-machine hold DIR X:\n"
               "       velund-machine release DIR X:\n"
               "       velund-machine sync DIR N\n"
               "       velund-machine code-pages DIR ANSI OEM\n"
               "       velund-machine fault DIR CALL --error N [--path TEXT] [--code N] [--once]\n"
               "                      [--after N]\n"
               "       velund-machine faults DIR [--clear]\n");
  return 2;
}

int Fail(const std::string& error) {
  std::fprintf(stderr, "velund-machine: %s\n", error.c_str());
  return 1;
}

// A decimal number, or a hexadecimal one after "0x" (control codes are written so), up to `max`.
// False for text that is no number (`error` stays empty) and for a number out of range (`error`
// says so): a number is never cut to fit.
bool ParseNumber(const std::string& text, unsigned long long max, const std::string& what,
                 unsigned long long& number, std::string& error) {
  const bool hex = text.size() > 2 && (text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0);
  const std::string digits = hex ? text.substr(2) : text;
  if (digits.empty() ||
      digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") !=
          std::string::npos) {
    return false;
  }
  errno = 0;
  number = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
  if (errno == ERANGE || number > max) {
    error = what + " " + text + " is out of range (at most " + std::to_string(max) + ")";
    return false;
  }
  return true;
}

constexpr unsigned long long kMaxDword = 0xFFFFFFFFull;
constexpr unsigned long long kMaxBytes = 0x7FFFFFFFFFFFFFFFull;  // lengths are signed 64-bit

int AddDisk(const std::string& directory, const std::vector<std::string>& options) {
  emu::NewDisk disk;
  bool haveNumber = false, haveSize = false, haveMedia = false, haveName = false;
  std::string error;
  for (std::size_t i = 0; i < options.size() && error.empty(); ++i) {
    const std::string& option = options[i];
    const bool hasValue = i + 1 < options.size();
    unsigned long long number = 0;
    if (option == "--removable" || option == "--fixed") {
      disk.removable = option == "--removable";
      haveMedia = true;
    } else if (option == "--replace-image") {
      disk.replaceImage = true;
    } else if (!hasValue) {
      return Usage();
    } else if (option == "--number" &&
               ParseNumber(options[++i], kMaxDword, option, number, error)) {
      disk.number = static_cast<DWORD>(number);
      haveNumber = true;
    } else if (option == "--size" && ParseNumber(options[++i], kMaxBytes, option, number, error)) {
      disk.size = number;
      haveSize = true;
    } else if (option == "--cylinders" &&
               ParseNumber(options[++i], kMaxBytes, option, number, error)) {
      disk.cylinders = static_cast<LONGLONG>(number);
      haveSize = true;
    } else if (option == "--sector" &&
               ParseNumber(options[++i], kMaxDword, option, number, error)) {
      disk.sectorSize = static_cast<DWORD>(number);
    } else if (option == "--name") {
      disk.name = options[++i];
      haveName = true;
    } else if (error.empty()) {
      return Usage();
    }
  }
  if (!error.empty()) return Fail(error);
  if (!haveNumber || !haveSize || !haveMedia || !haveName) return Usage();
  return emu::AddDisk(directory, disk, error) ? 0 : Fail(error);
}

// fault DIR CALL --error N [--path TEXT] [--code N] [--once] [--after N]
int AddFault(const std::string& directory, const std::vector<std::string>& arguments) {
  if (arguments.empty() || arguments[0].rfind("--", 0) == 0) return Usage();
  emu::Fault fault;
  fault.call = arguments[0];
  fault.once = false;
  bool haveError = false;
  std::string error;
  for (std::size_t i = 1; i < arguments.size() && error.empty(); ++i) {
    const std::string& option = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    unsigned long long number = 0;
    if (option == "--once") {
      fault.once = true;
    } else if (!hasValue) {
      return Usage();
    } else if (option == "--error" &&
               ParseNumber(arguments[++i], kMaxDword, option, number, error)) {
      fault.error = static_cast<DWORD>(number);
      haveError = true;
    } else if (option == "--code" &&
               ParseNumber(arguments[++i], kMaxDword, option, number, error)) {
      fault.controlCode = static_cast<DWORD>(number);
    } else if (option == "--after" &&
               ParseNumber(arguments[++i], kMaxDword, option, number, error)) {
      fault.after = static_cast<unsigned>(number);
    } else if (option == "--path") {
      fault.path = arguments[++i];
    } else if (error.empty()) {
      return Usage();
    }
  }
  if (!error.empty()) return Fail(error);
  if (!haveError) return Usage();
  return emu::AddMachineFault(directory, fault, error) ? 0 : Fail(error);
}

// faults DIR [--clear]
int Faults(const std::string& directory, const std::vector<std::string>& arguments) {
  std::string error;
  if (arguments.empty()) {
    std::cout << emu::MachineFaults(directory).dump(2) << "\n";
    return 0;
  }
  if (arguments.size() == 1 && arguments[0] == "--clear") {
    return emu::RemoveMachineFaults(directory, error) ? 0 : Fail(error);
  }
  return Usage();
}

char LetterOf(const std::string& text) {
  if (text.size() != 2 || text[1] != ':' || !std::isalpha(static_cast<unsigned char>(text[0]))) {
    return 0;
  }
  return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return Usage();
  const std::string command = argv[1], directory = argv[2];
  const std::vector<std::string> rest(argv + 3, argv + argc);
  std::string error;
  if (command != "new" && !std::filesystem::exists(std::filesystem::path(directory) / "machine.json")) {
    return Fail(directory + " holds no machine (velund-machine new makes one)");
  }
  // A damaged machine is reported, and left as it is, before any command reads or changes it.
  if (command != "new" && !emu::CheckMachine(directory, error)) return Fail(error);
  try {
    if (command == "new" && rest.empty()) {
      return emu::CreateMachine(directory, emu::MachineKind::Default, error) ? 0 : Fail(error);
    }
    if (command == "show" && rest.empty()) {
      std::cout << emu::DescribeMachine(directory).dump(2) << "\n";
      return 0;
    }
    if (command == "add-disk") return AddDisk(directory, rest);
    if (command == "fault") return AddFault(directory, rest);
    if (command == "faults") return Faults(directory, rest);
    unsigned long long number = 0;
    const bool diskCommand = (command == "remove-disk" || command == "sync") && rest.size() == 1;
    if (diskCommand && !ParseNumber(rest[0], kMaxDword, "disk number", number, error)) {
      return error.empty() ? Usage() : Fail(error);
    }
    if (diskCommand && command == "remove-disk") {
      return emu::RemoveDisk(directory, static_cast<DWORD>(number), error) ? 0 : Fail(error);
    }
    if (diskCommand && command == "sync") {
      // Every volume of the disk, whether or not this process changed its files.
      emu::Machine::Use(directory);
      {
        auto locked = emu::Storage::Lock();
        if (locked.storage.FindDisk(static_cast<DWORD>(number)) == nullptr)
          return Fail("there is no disk " + rest[0]);
      }
      return emu::SyncDiskVolumes(static_cast<DWORD>(number), false, error) ? 0 : Fail(error);
    }
    unsigned long long ansi = 0, oem = 0;
    if (command == "code-pages" && rest.size() == 2) {
      if (!ParseNumber(rest[0], kMaxDword, "ANSI code page", ansi, error) ||
          !ParseNumber(rest[1], kMaxDword, "OEM code page", oem, error)) {
        return error.empty() ? Usage() : Fail(error);
      }
      return emu::SetCodePages(directory, static_cast<UINT>(ansi), static_cast<UINT>(oem), error)
                 ? 0
                 : Fail(error);
    }
    if ((command == "hold" || command == "release") && rest.size() == 1 && LetterOf(rest[0])) {
      return emu::SetVolumeHeld(directory, LetterOf(rest[0]), command == "hold", error)
                 ? 0
                 : Fail(error);
    }
  } catch (const std::exception& e) {
    return Fail(e.what());
  }
  return Usage();
}
