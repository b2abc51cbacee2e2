// The emulated machine: a small Windows PC described by the machine directory.
//
// The directory is named by VELUND_MACHINE (default ./machine). It holds machine.json (see
// docs/machine.md) and the machine's mutable state (registry hives, disk images, volume folders).
// A missing directory is created as the embedded default machine on first use.
#pragma once

#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/win32_device_types.h"
#include "platform/win32_types.h"

namespace emu {

struct ScreenSettings {
  int width = 1920;
  int height = 1080;
};

struct ConsoleSettings {
  RECT rect{0, 0, 993, 519};  // the console window as it opens
};

// Letter case is ignored in environment names, as on Windows.
struct CaseInsensitiveLess {
  bool operator()(const std::string& a, const std::string& b) const;
};

// A top-level window of this process (the console window, the setup window).
struct WindowState {
  RECT rect{};
  bool enabled = true;
  HWND owner = nullptr;
  LONG_PTR style = 0;
  LONG_PTR exStyle = 0;
  WNDPROC procedure = nullptr;  // set through GWLP_WNDPROC; messages go nowhere without one
  std::thread::id thread;       // the thread that created it, which receives its messages
};

// What the running process holds: its environment, current directory, console and windows.
// Starts from machine.json each time a machine is loaded. Guarded by `mutex`.
struct ProcessState {
  std::mutex mutex;
  std::map<std::string, std::string, CaseInsensitiveLess> environment;
  std::string currentDirectory;
  UINT consoleOutputCP = 437;
  HWND consoleWindow = nullptr;
  std::map<HWND, WindowState> windows;
  ULONG_PTR nextWindow = 0x10010;
  // The process token's privileges: LUID (low part) -> SE_PRIVILEGE_* attributes.
  std::map<DWORD, DWORD> privileges;
  // The library search: SetDefaultDllDirectories' folders (0: the standard order), and
  // SetDllDirectoryW's folder (none: never called; empty: the current directory left out).
  DWORD defaultDllDirectories = 0;
  std::optional<std::string> dllDirectory;
};

class Machine {
 public:
  // The machine of this process, loaded (or created) on first use.
  static Machine& Get();

  // Points the process at another machine directory (tests). The next Get() loads it.
  static void Use(const std::filesystem::path& directory);

  const std::filesystem::path& Directory() const { return directory_; }
  UINT AnsiCodePage() const { return ansiCodePage_; }
  UINT OemCodePage() const { return oemCodePage_; }
  ProcessState& Process() { return process_; }
  const ScreenSettings& Screen() const { return screen_; }
  const ConsoleSettings& Console() const { return console_; }
  const nlohmann::json& Config() const { return config_; }

  // Creates `directory` holding the embedded default machine. Fails (false) when it exists.
  static bool CreateDefault(const std::filesystem::path& directory, std::string* error);

  // The default machine.json.
  static nlohmann::json DefaultConfig();

 private:
  explicit Machine(std::filesystem::path directory);
  void Load();

  std::filesystem::path directory_;
  nlohmann::json config_;
  UINT ansiCodePage_ = 1252;
  UINT oemCodePage_ = 437;
  ProcessState process_;
  ScreenSettings screen_;
  ConsoleSettings console_;
};

// The directory VELUND_MACHINE names, or ./machine.
std::filesystem::path DefaultMachineDirectory();

}  // namespace emu
