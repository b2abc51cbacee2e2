// Building and changing emulated machines from outside (the machine tool, the default machine,
// tests): disks plugged in and out, a system disk with its C: volume, volumes marked as held.
// These work on the machine directory's files; a running program sees the change the next time
// it loads the machine.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/emulated/faults.h"
#include "platform/win32_types.h"

namespace emu {

struct NewDisk {
  DWORD number = 0;
  ULONGLONG size = 0;                  // true length in bytes (whole sectors); or:
  std::optional<LONGLONG> cylinders;   // whole cylinders of 255 × 63 sectors
  DWORD sectorSize = 512;
  bool removable = true;
  std::string name;
  bool attached = true;  // false: the machine has it, but it is not plugged in (emu::PlugDisk)
  bool replaceImage = false;  // an image left under disks/ (by RemoveDisk) may be replaced
};

// Adds a disk to machine.json with a new, empty sparse image under disks/. The geometry has 255
// tracks per cylinder and 63 sectors per track and counts the whole cylinders of the size.
// Everything is checked before a file is touched; an image already under disks/ is kept (and the
// disk refused) unless `replaceImage` is set, and a failure leaves the machine as it was.
bool AddDisk(const std::filesystem::path& directory, const NewDisk& disk, std::string& error);

// Unplugs a disk: it leaves machine.json (its image stays under disks/).
bool RemoveDisk(const std::filesystem::path& directory, DWORD number, std::string& error);

// Sets the ANSI and OEM code pages the machine's Windows runs with (GetACP, GetOEMCP). 65001 for
// both is a Windows set to use UTF-8 for non-Unicode programs.
bool SetCodePages(const std::filesystem::path& directory, UINT ansi, UINT oem, std::string& error);

// Partitions a disk of the machine as a system disk: MBR, one NTFS partition from 1 MiB to the
// end of the last whole MiB, formatted, with the drive letter `letter`.
bool MakeSystemDisk(const std::filesystem::path& directory, DWORD number, char letter,
                    std::string& error);

// Creates `directory` holding a machine: the embedded default (a 500 GB system disk 0 with C:, and
// an empty removable disk 1), or, for tests, a small system disk only.
enum class MachineKind { Default, SmallSystemDiskOnly };
bool CreateMachine(const std::filesystem::path& directory, MachineKind kind, std::string& error);

// Marks the volume with drive letter `letter` as held open by another program, or releases it.
bool SetVolumeHeld(const std::filesystem::path& directory, char letter, bool held,
                   std::string& error);

// Adds a fault to machine.json's `faults` list, which every program started on the machine meets.
// A fault the machine would refuse when it loads is refused here, and the file left as it was.
bool AddMachineFault(const std::filesystem::path& directory, const Fault& fault,
                     std::string& error);

// Empties the `faults` list.
bool RemoveMachineFaults(const std::filesystem::path& directory, std::string& error);

// machine.json's `faults` list (an empty list when it has none).
nlohmann::json MachineFaults(const std::filesystem::path& directory);

// The machine as `velund-machine show` prints it.
nlohmann::json DescribeMachine(const std::filesystem::path& directory);

}  // namespace emu
