// Times one rebuild of the Install tab's drive lists (RefreshDriveLists) on a machine with 24
// drive letters over 6 disks: every letter is asked for its type, extent, volume information and
// size, as each rebuild does with nothing cached.
//   velund-bench-drives [ROUNDS]     (default: 200)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "disk/partition_layout.h"
#include "platform/emulated/console.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/partition_table.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"
#include "ui/headless_toolkit.h"
#include "ui/language.h"
#include "ui/setup_form.h"
#include "ui/window_thread.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr long long kMiB = 1048576;

struct Part {
  const char* fileSystem;
  long long sizeMB;
};

// Four primary partitions from 1 MiB on, each formatted.
bool Partition(const std::filesystem::path& machine, unsigned number, const std::vector<Part>& parts) {
  nlohmann::json config = nlohmann::json::parse(std::ifstream(machine / "machine.json"));
  for (auto& disk : config["disks"]) {
    if (disk["number"] != number) continue;
    disk.erase("letters");
    disk.erase("labels");
    const auto image = machine / disk["image"].get<std::string>();
    DISK_GEOMETRY geometry{};
    geometry.Cylinders.QuadPart = disk["geometry"]["cylinders"].get<LONGLONG>();
    geometry.TracksPerCylinder = 255;
    geometry.SectorsPerTrack = 63;
    geometry.BytesPerSector = 512;
    LayoutBuffer buffer{};
    std::fill(std::begin(buffer.bytes), std::end(buffer.bytes), 0);
    buffer.get()->PartitionStyle = PARTITION_STYLE_MBR;
    buffer.get()->PartitionCount = 4;
    buffer.get()->Mbr.Signature = 0xBE4C0000u + number;
    long long offset = kMiB;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      PARTITION_INFORMATION_EX& p = *buffer.entry(i);
      p.PartitionStyle = PARTITION_STYLE_MBR;
      p.StartingOffset.QuadPart = offset;
      p.PartitionLength.QuadPart = parts[i].sizeMB * kMiB;
      p.PartitionNumber = static_cast<DWORD>(i + 1);
      p.RewritePartition = TRUE;
      p.Mbr.PartitionType = std::string(parts[i].fileSystem) == "FAT32" ? PARTITION_FAT32_XINT13
                                                                        : PARTITION_IFS;
      p.Mbr.RecognizedPartition = TRUE;
      p.Mbr.HiddenSectors = static_cast<DWORD>(offset / 512);
      offset += parts[i].sizeMB * kMiB;
    }
    emu::DiskImage diskImage(image, disk["length"].get<ULONGLONG>(), 512);
    if (emu::WriteDriveLayout(diskImage, geometry, buffer.bytes, sizeof buffer.bytes) != 0) return false;
    offset = kMiB;
    for (const Part& part : parts) {
      emu::FormatRequest request;
      request.image = image;
      request.offset = static_cast<ULONGLONG>(offset);
      request.length = static_cast<ULONGLONG>(part.sizeMB * kMiB);
      request.fileSystem = part.fileSystem;
      std::string error;
      if (!emu::FormatVolume(request, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
      }
      offset += part.sizeMB * kMiB;
    }
  }
  std::ofstream(machine / "machine.json") << config.dump(2);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 200;
  char pattern[] = "/tmp/velund-bench-drives-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::filesystem::path machine = std::filesystem::path(pattern) / "machine";
  std::string error;
  if (!emu::CreateMachine(machine, emu::MachineKind::SmallSystemDiskOnly, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  if (!Partition(machine, 0, {{"NTFS", 400}, {"FAT32", 100}, {"exFAT", 100}, {"NTFS", 100}})) return 1;
  for (unsigned number = 1; number <= 5; ++number) {
    emu::NewDisk disk;
    disk.number = number;
    disk.cylinders = 30;
    disk.removable = number % 2 == 1;
    disk.name = "Benchmark Disk";
    if (!emu::AddDisk(machine, disk, error) ||
        !Partition(machine, number, {{"NTFS", 60}, {"FAT32", 40}, {"exFAT", 40}, {"FAT32", 40}})) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
  }
  emu::Machine::Use(machine);
  emu::SetStandardOutput(std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE));

  std::vector<std::string> roots;
  win::GetLogicalDriveStringsW(roots);

  WindowThread& windowThread = WindowThread::Main();
  windowThread.Attach();
  ui::HeadlessToolkit toolkit(windowThread);
  toolkit.SetEchoBoxes(false);
  double best = 1e30, total = 0;
  std::size_t ntfs = 0, fat32 = 0;
  {
    TSetupForm1 form(toolkit, windowThread);
    toolkit.RunUntil([&] { return form.CreationComplete(); });
    for (int round = 0; round < rounds; ++round) {
      form.CurrentDriveIndex.clear();
      const auto start = Clock::now();
      form.RefreshDriveLists();
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
      best = std::min(best, ms);
      total += ms;
    }
    ntfs = form.NTFSDriveLists->Items().size();
    fat32 = form.FAT32DriveLists->Items().size();
  }
  TLanguageThread::WaitForAll();
  std::printf("RefreshDriveLists, %zu drive letters over 6 disks (%zu NTFS/exFAT entries, %zu FAT32 "
              "entries): mean %.3f ms, best %.3f ms over %d rounds\n",
              roots.size(), ntfs, fat32, total / rounds, best, rounds);
  std::filesystem::remove_all(pattern);
  return 0;
}
