#include "platform/emulated/machine.h"
#include "platform/emulated/machine_check.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/token.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <vector>

namespace emu {

namespace {

std::mutex machineMutex;
std::unique_ptr<Machine> current;
// Machines replaced by Use() stay alive: threads may still hold references to them.
std::vector<std::unique_ptr<Machine>> retired;
std::filesystem::path chosenDirectory;

}  // namespace

bool CaseInsensitiveLess::operator()(const std::string& a, const std::string& b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::toupper(static_cast<unsigned char>(x)) < std::toupper(static_cast<unsigned char>(y));
  });
}

std::filesystem::path DefaultMachineDirectory() {
  const char* named = std::getenv("VELUND_MACHINE");
  std::filesystem::path directory = (named && *named) ? named : "machine";
  return std::filesystem::absolute(directory);
}

nlohmann::json Machine::DefaultConfig() {
  return {
      {"version", 1},
      {"ansi_code_page", 1252},
      {"oem_code_page", 437},
      {"screen", {{"width", 1920}, {"height", 1080}}},
      {"console", {{"left", 0}, {"top", 0}, {"width", 993}, {"height", 519}}},
      {"environment",
       {{"TEMP", "C:\\Users\\Setup\\AppData\\Local\\Temp"},
        {"TMP", "C:\\Users\\Setup\\AppData\\Local\\Temp"},
        {"USERPROFILE", "C:\\Users\\Setup"},
        {"USERNAME", "Setup"},
        {"SystemRoot", "C:\\Windows"},
        {"windir", "C:\\Windows"},
        {"ComSpec", "C:\\Windows\\system32\\cmd.exe"}}},
      {"current_directory", "C:\\Users\\Setup\\Downloads"},
      {"folders",
       {"C:\\Users\\Setup\\AppData\\Local\\Temp", "C:\\Users\\Setup\\Downloads",
        "C:\\Windows\\system32"}},
      {"disks", nlohmann::json::array()},
  };
}

bool Machine::CreateDefault(const std::filesystem::path& directory, std::string* error) {
  std::string reason;
  if (!CreateMachine(directory, MachineKind::Default, reason)) {
    if (error) *error = reason;
    return false;
  }
  return true;
}

Machine::Machine(std::filesystem::path directory) : directory_(std::move(directory)) { Load(); }

void Machine::Load() {
  std::filesystem::path file = directory_ / "machine.json";
  if (!std::filesystem::exists(directory_)) {
    std::string error;
    if (!CreateDefault(directory_, &error)) throw std::runtime_error("machine: " + error);
  }
  std::ifstream in(file);
  if (!in) throw std::runtime_error("machine: cannot read " + file.string());
  try {
    config_ = nlohmann::json::parse(in);
  } catch (const nlohmann::json::exception& e) {
    throw std::runtime_error("machine: " + file.string() + ": " + e.what());
  }
  if (std::string fault; !CheckMachineConfig(config_, fault)) {
    throw std::runtime_error("machine: " + file.string() + ": " + fault);
  }
  ansiCodePage_ = config_.value("ansi_code_page", 1252u);
  oemCodePage_ = config_.value("oem_code_page", 437u);
  if (config_.contains("screen")) {
    screen_.width = config_["screen"].value("width", screen_.width);
    screen_.height = config_["screen"].value("height", screen_.height);
  }
  if (config_.contains("console")) {
    const auto& c = config_["console"];
    LONG left = c.value("left", 0), top = c.value("top", 0);
    console_.rect = RECT{left, top, left + c.value("width", 993), top + c.value("height", 519)};
  }

  // The process starts with the machine's environment, folder and console.
  if (config_.contains("environment")) {
    for (const auto& [name, value] : config_["environment"].items()) {
      process_.environment[name] = value.get<std::string>();
    }
  }
  process_.currentDirectory = config_.value("current_directory", std::string("C:\\"));
  process_.privileges = TokenPrivileges(config_.value("elevated", true));
  process_.consoleOutputCP = oemCodePage_;
  if (config_.value("console_window", true)) {
    process_.consoleWindow = reinterpret_cast<HWND>(process_.nextWindow);
    process_.nextWindow += 0x10;
    WindowState console;
    console.rect = console_.rect;
    process_.windows[process_.consoleWindow] = console;
  }
}

Machine& Machine::Get() {
  bool started = false;
  Machine* machine = nullptr;
  {
    std::lock_guard lock(machineMutex);
    if (!current) {
      current.reset(new Machine(chosenDirectory.empty() ? DefaultMachineDirectory()
                                                        : chosenDirectory));
      started = true;
    }
    machine = current.get();
  }
  // What Windows does while it boots: find the disks and their volumes, and enumerate them in
  // the registry. Outside the lock, since that work asks for the machine itself.
  if (started) StartStorage();
  return *machine;
}

void Machine::Use(const std::filesystem::path& directory) {
  std::lock_guard lock(machineMutex);
  chosenDirectory = std::filesystem::absolute(directory);
  if (current) retired.push_back(std::move(current));
  // The next machine starts afresh, even in the same folder: its disks are read again.
  Storage::Reset();
}

}  // namespace emu
