#include "platform/emulated/machine_setup.h"

#include <fcntl.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>
#include <optional>
#include <stdexcept>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/codepages.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/guid_text.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_check.h"
#include "platform/emulated/partition_table.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_format.h"
#include "platform/text.h"

namespace emu {
namespace {

constexpr ULONGLONG kMiB = 1048576;
constexpr DWORD kTracks = 255, kSectorsPerTrack = 63;

bool ReadConfig(const std::filesystem::path& directory, nlohmann::json& config,
                std::string& error) {
  std::ifstream in(directory / "machine.json");
  if (!in) {
    error = (directory / "machine.json").string() + ": cannot read";
    return false;
  }
  config = nlohmann::json::parse(in, nullptr, false);
  if (config.is_discarded() || !config.is_object()) {
    error = (directory / "machine.json").string() + ": not a JSON object";
    return false;
  }
  return true;
}

bool WriteConfig(const std::filesystem::path& directory, const nlohmann::json& config,
                 std::string& error) {
  const std::filesystem::path temporary = directory / "machine.json.tmp";
  const std::string text = config.dump(2) + "\n";  // before the file: dump may throw
  std::error_code ec;
  {
    std::ofstream out(temporary);
    out << text;
    out.close();
    if (!out) {
      error = temporary.string() + ": cannot write";
      std::filesystem::remove(temporary, ec);
      return false;
    }
  }
  std::filesystem::rename(temporary, directory / "machine.json", ec);
  if (ec) {
    error = ec.message();
    std::filesystem::remove(temporary, ec);
    return false;
  }
  Storage::Reset();  // a program of this process reads the machine again
  return true;
}

// The image's true length: whole sectors, and whole cylinders plus a little when given so. Empty,
// with `error` set, when the disk would be smaller than one cylinder or its length would not fit
// a signed 64-bit byte count.
std::optional<ULONGLONG> ImageLength(const NewDisk& disk, std::string& error) {
  constexpr ULONGLONG kMaxLength = 0x7FFFFFFFFFFFFFFFull;
  const ULONGLONG cylinderBytes = ULONGLONG(kTracks) * kSectorsPerTrack * disk.sectorSize;
  const ULONGLONG tail = 1016 * ULONGLONG(disk.sectorSize);
  ULONGLONG size = disk.size;
  if (disk.cylinders) {
    if (*disk.cylinders < 0 || ULONGLONG(*disk.cylinders) > (kMaxLength - tail) / cylinderBytes) {
      error = "too many cylinders: " + std::to_string(*disk.cylinders);
      return std::nullopt;
    }
    // A device is a little larger than its whole cylinders, as real ones are.
    size = ULONGLONG(*disk.cylinders) * cylinderBytes + tail;
  }
  if (size > kMaxLength) {
    error = "a disk holds at most " + std::to_string(kMaxLength) + " bytes";
    return std::nullopt;
  }
  size -= size % disk.sectorSize;
  if (size < cylinderBytes) {
    error = "a disk needs at least one whole cylinder (" + std::to_string(cylinderBytes) + " bytes)";
    return std::nullopt;
  }
  return size;
}

// A new sparse file of `length` bytes, made whole under a temporary name and then renamed to
// `image`, so that a failure never leaves a half-made image nor harms one that is there.
bool MakeImage(const std::filesystem::path& image, ULONGLONG length, std::string& error) {
  std::filesystem::path temporary = image;
  temporary += ".tmp";
  const int fd = ::open(temporary.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
  bool made = fd >= 0 && ::ftruncate(fd, static_cast<off_t>(length)) == 0;
  if (!made) error = image.string() + ": " + std::strerror(errno);
  if (fd >= 0) ::close(fd);
  std::error_code ec;
  if (made) {
    std::filesystem::rename(temporary, image, ec);
    if (ec) error = image.string() + ": " + ec.message();
    made = !ec;
  }
  if (!made) std::filesystem::remove(temporary, ec);
  return made;
}

bool ValidUtf8(const std::string& text) {
  return win::Utf16ToUtf8(win::Utf8ToUtf16(text)) == text;
}

nlohmann::json* FindDiskEntry(nlohmann::json& config, DWORD number) {
  for (auto& disk : config["disks"]) {
    if (disk.value("number", 0xFFFFFFFFu) == number) return &disk;
  }
  return nullptr;
}

}  // namespace

bool AddDisk(const std::filesystem::path& directory, const NewDisk& disk, std::string& error) {
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  if (!config.contains("disks")) config["disks"] = nlohmann::json::array();
  if (FindDiskEntry(config, disk.number)) {
    error = "disk " + std::to_string(disk.number) + " exists already";
    return false;
  }
  if (disk.sectorSize != 512 && disk.sectorSize != 4096) {
    error = "the sector size must be 512 or 4096";
    return false;
  }
  if (!ValidUtf8(disk.name)) {
    error = "the disk's name must be UTF-8 text";
    return false;
  }
  const std::optional<ULONGLONG> size = ImageLength(disk, error);
  if (!size) return false;
  const ULONGLONG cylinderBytes = ULONGLONG(kTracks) * kSectorsPerTrack * disk.sectorSize;
  const LONGLONG cylinders = static_cast<LONGLONG>(*size / cylinderBytes);
  const std::string imageName = "disks/disk" + std::to_string(disk.number) + ".img";
  const std::filesystem::path image = directory / imageName;
  std::error_code ec;
  if (!disk.replaceImage && std::filesystem::exists(image, ec)) {
    // A removed disk leaves its image: its data stays until someone asks to replace it.
    error = image.string() + " exists already (--replace-image replaces it)";
    return false;
  }
  config["disks"].push_back({
      {"number", disk.number},
      {"image", imageName},
      {"media", disk.removable ? "removable" : "fixed"},
      {"name", disk.name},
      {"length", *size},
      {"geometry",
       {{"cylinders", cylinders},
        {"tracks_per_cylinder", kTracks},
        {"sectors_per_track", kSectorsPerTrack},
        {"bytes_per_sector", disk.sectorSize}}},
  });
  if (!disk.attached) config["disks"].back()["attached"] = false;
  std::filesystem::create_directories(directory / "disks", ec);
  if (!MakeImage(image, *size, error)) return false;
  if (WriteConfig(directory, config, error)) return true;
  std::filesystem::remove(image, ec);  // no disk names it
  return false;
}

bool RemoveDisk(const std::filesystem::path& directory, DWORD number, std::string& error) {
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  auto& disks = config["disks"];
  for (auto it = disks.begin(); it != disks.end(); ++it) {
    if (it->value("number", 0xFFFFFFFFu) == number) {
      disks.erase(it);
      return WriteConfig(directory, config, error);
    }
  }
  error = "there is no disk " + std::to_string(number);
  return false;
}

bool SetCodePages(const std::filesystem::path& directory, UINT ansi, UINT oem,
                  std::string& error) {
  for (UINT codePage : {ansi, oem}) {
    if (!IsKnownCodePage(codePage)) {
      error = "the machine knows no code page " + std::to_string(codePage);
      return false;
    }
  }
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  config["ansi_code_page"] = ansi;
  config["oem_code_page"] = oem;
  return WriteConfig(directory, config, error);
}

bool MakeSystemDisk(const std::filesystem::path& directory, DWORD number, char letter,
                    std::string& error) {
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  nlohmann::json* entry = FindDiskEntry(config, number);
  if (entry == nullptr) {
    error = "there is no disk " + std::to_string(number);
    return false;
  }
  const auto sector = (*entry)["geometry"]["bytes_per_sector"].get<DWORD>();
  const auto length = (*entry)["length"].get<ULONGLONG>();
  std::filesystem::path image = (*entry)["image"].get<std::string>();
  if (image.is_relative()) image = directory / image;

  DISK_GEOMETRY geometry{};
  geometry.Cylinders.QuadPart = (*entry)["geometry"]["cylinders"].get<LONGLONG>();
  geometry.MediaType = FixedMedia;
  geometry.TracksPerCylinder = kTracks;
  geometry.SectorsPerTrack = kSectorsPerTrack;
  geometry.BytesPerSector = sector;

  const ULONGLONG partitionLength = (length / kMiB) * kMiB - kMiB;
  std::vector<BYTE> buffer(48 + 4 * 144, 0);
  auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
  layout->PartitionStyle = PARTITION_STYLE_MBR;
  layout->PartitionCount = 4;
  layout->Mbr.Signature = 0x5EED0001u + number;
  PARTITION_INFORMATION_EX& partition = layout->PartitionEntry[0];
  partition.PartitionStyle = PARTITION_STYLE_MBR;
  partition.StartingOffset.QuadPart = static_cast<LONGLONG>(kMiB);
  partition.PartitionLength.QuadPart = static_cast<LONGLONG>(partitionLength);
  partition.PartitionNumber = 1;
  partition.RewritePartition = TRUE;
  partition.Mbr.PartitionType = PARTITION_IFS;
  partition.Mbr.BootIndicator = TRUE;
  partition.Mbr.RecognizedPartition = TRUE;
  partition.Mbr.HiddenSectors = static_cast<DWORD>(kMiB / sector);

  DiskImage disk(image, length, sector);
  if (DWORD status = WriteDriveLayout(disk, geometry, buffer.data(),
                                      static_cast<DWORD>(buffer.size()));
      status != ERROR_SUCCESS) {
    error = "writing the partition table failed with error " + std::to_string(status);
    return false;
  }
  FormatRequest request;
  request.image = image;
  request.offset = kMiB;
  request.length = partitionLength;
  request.sectorSize = sector;
  request.fileSystem = "NTFS";
  request.label = "Windows";
  if (!FormatVolume(request, error)) return false;
  (*entry)["letters"] = {{std::to_string(kMiB), std::string(1, letter)}};
  (*entry)["labels"] = {{std::to_string(kMiB), "Windows"}};
  return WriteConfig(directory, config, error);
}

bool CreateMachine(const std::filesystem::path& directory, MachineKind kind, std::string& error) {
  std::error_code ec;
  if (std::filesystem::exists(directory, ec)) {
    error = directory.string() + " already exists";
    return false;
  }
  std::filesystem::create_directories(directory, ec);
  if (ec) {
    error = directory.string() + ": " + ec.message();
    return false;
  }
  if (!WriteConfig(directory, Machine::DefaultConfig(), error)) return false;
  NewDisk system;
  system.number = 0;
  system.removable = false;
  if (kind == MachineKind::Default) {
    system.cylinders = 60801;  // 500 GB
    system.name = "NVMe Virtual Disk";
  } else {
    system.cylinders = 131;  // 1 GB, enough for a system volume in tests
    system.name = "NVMe Virtual Disk";
  }
  if (!AddDisk(directory, system, error) || !MakeSystemDisk(directory, 0, 'C', error)) {
    return false;
  }
  if (kind == MachineKind::Default) {
    NewDisk stick;
    stick.number = 1;
    stick.cylinders = 1869;  // 14.32 GB by its geometry
    stick.removable = true;
    stick.name = "Generic Flash Disk USB Device";
    if (!AddDisk(directory, stick, error)) return false;
  }
  return true;
}

bool SetVolumeHeld(const std::filesystem::path& directory, char letter, bool held,
                   std::string& error) {
  Machine::Use(directory);
  auto locked = Storage::Lock();
  auto volume = locked.storage.FindVolumeByLetter(letter);
  if (!volume) {
    error = std::string("there is no volume ") + letter + ":";
    return false;
  }
  volume->held = held;
  locked.storage.Save();
  return true;
}

bool AddMachineFault(const std::filesystem::path& directory, const Fault& fault,
                     std::string& error) {
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  if (!config.contains("faults")) config["faults"] = nlohmann::json::array();
  config["faults"].push_back(FaultToJson(fault));
  // Refused as the machine would refuse it when a program starts.
  if (std::string reason; !CheckMachineConfig(config, reason)) {
    error = reason;
    return false;
  }
  return WriteConfig(directory, config, error);
}

bool RemoveMachineFaults(const std::filesystem::path& directory, std::string& error) {
  nlohmann::json config;
  if (!ReadConfig(directory, config, error)) return false;
  config.erase("faults");
  return WriteConfig(directory, config, error);
}

nlohmann::json MachineFaults(const std::filesystem::path& directory) {
  nlohmann::json config;
  std::string error;
  if (!ReadConfig(directory, config, error)) throw std::runtime_error(error);
  return config.value("faults", nlohmann::json::array());
}

nlohmann::json DescribeMachine(const std::filesystem::path& directory) {
  Machine::Use(directory);
  auto locked = Storage::Lock();
  Storage& storage = locked.storage;
  nlohmann::json disks = nlohmann::json::array();
  for (DiskDevice& disk : storage.Disks()) {
    const DISK_GEOMETRY& g = disk.geometry;
    const LONGLONG size = g.Cylinders.QuadPart * g.TracksPerCylinder * g.SectorsPerTrack *
                          LONGLONG(g.BytesPerSector);
    DiskImage image(disk.image, disk.length, g.BytesPerSector);
    const PartitionTable table = ReadPartitionTable(image);
    nlohmann::json partitions = nlohmann::json::array();
    for (const PartitionRecord& p : table.partitions) {
      nlohmann::json entry = {{"number", p.number}, {"offset", p.offset}, {"length", p.length}};
      if (table.style == PARTITION_STYLE_GPT) {
        entry["type"] = GuidText(p.gptType);
        entry["id"] = GuidText(p.gptId);
        entry["attributes"] = p.attributes;
        entry["name"] = win::Utf16ToUtf8(p.name);
        entry["boot"] = false;
      } else {
        char type[8];
        std::snprintf(type, sizeof type, "0x%02X", p.mbrType);
        entry["type"] = type;
        entry["boot"] = p.boot;
      }
      partitions.push_back(entry);
    }
    nlohmann::json layout = {
        {"style", table.style == PARTITION_STYLE_MBR   ? "MBR"
                  : table.style == PARTITION_STYLE_GPT ? "GPT"
                                                       : "RAW"},
        {"partitions", partitions}};
    if (table.style == PARTITION_STYLE_MBR) layout["signature"] = table.signature;
    if (table.style == PARTITION_STYLE_GPT) layout["disk_id"] = GuidText(table.diskId);
    disks.push_back({{"number", disk.number},
                     {"media", disk.removable() ? "removable" : "fixed"},
                     {"name", disk.name},
                     {"image", std::filesystem::absolute(disk.image).string()},
                     {"length", disk.length},
                     {"size", size},
                     {"geometry",
                      {{"cylinders", g.Cylinders.QuadPart},
                       {"tracks_per_cylinder", g.TracksPerCylinder},
                       {"sectors_per_track", g.SectorsPerTrack},
                       {"bytes_per_sector", g.BytesPerSector}}},
                     {"layout", layout}});
  }
  nlohmann::json volumes = nlohmann::json::array();
  for (const auto& volume : storage.Volumes()) {
    BootSectorInfo info;
    if (DiskDevice* disk = storage.FindDisk(volume->Disk())) {
      BYTE sector[4096] = {};
      DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
      if (image.Read(static_cast<ULONGLONG>(volume->Offset()), sector, sizeof sector)) {
        info = ReadBootSector(sector, sizeof sector);
      }
    }
    char serial[24];
    if (info.fileSystem == "NTFS") {
      std::snprintf(serial, sizeof serial, "%016llX", static_cast<unsigned long long>(info.serial));
    } else {
      std::snprintf(serial, sizeof serial, "%04X-%04X", unsigned(info.serial >> 16) & 0xFFFF,
                    unsigned(info.serial & 0xFFFF));
    }
    volumes.push_back(
        {{"name", volume->Name()},
         {"disk", volume->Disk()},
         {"offset", volume->Offset()},
         {"length", volume->Length()},
         {"letter", volume->letter ? nlohmann::json(std::string(1, volume->letter)) : nullptr},
         {"fs", info.fileSystem.empty() ? nlohmann::json(nullptr) : nlohmann::json(info.fileSystem)},
         {"label", volume->label.empty() ? info.label : volume->label},
         {"serial", info.fileSystem.empty() ? nlohmann::json(nullptr) : nlohmann::json(serial)},
         {"held", volume->held},
         {"folder", std::filesystem::absolute(storage.VolumeFolder(*volume)).string()}});
  }
  return {{"directory", std::filesystem::absolute(directory).string()},
          {"disks", disks},
          {"volumes", volumes}};
}

}  // namespace emu
