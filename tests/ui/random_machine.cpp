#include "tests/ui/random_machine.h"

#include <fstream>
#include <random>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "disk/partition_layout.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/partition_table.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_format.h"

namespace {

constexpr long long kCylinderBytes = 255LL * 63 * 512;
constexpr GUID kBasicData = *ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");
constexpr GUID kEfiSystem = *ParseGuidText("{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}");

class Dice {
 public:
  explicit Dice(std::uint32_t seed) : engine_(seed) {}
  int Between(int low, int high) { return std::uniform_int_distribution<int>(low, high)(engine_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(engine_); }
  std::uint32_t Word() { return static_cast<std::uint32_t>(engine_()); }

 private:
  std::mt19937 engine_;
};

long long CylindersFor(long long megabytes) {
  return (megabytes * kMiB + kCylinderBytes - 1) / kCylinderBytes;
}

long long UsedMB(const RandomDisk& disk) {
  long long total = 0;
  for (const RandomPartition& p : disk.partitions) total += p.sizeMB;
  return total;
}

char TakeLetter(Dice& dice, std::set<char>& used) {
  std::vector<char> free;
  for (char letter = 'D'; letter <= 'Z'; ++letter) {
    if (!used.count(letter)) free.push_back(letter);
  }
  if (free.empty()) return 0;
  const char letter = free[static_cast<std::size_t>(dice.Between(0, int(free.size()) - 1))];
  used.insert(letter);
  return letter;
}

RandomPartition SmallPartition(Dice& dice, std::set<char>& letters, bool gpt) {
  RandomPartition p;
  switch (dice.Between(0, 2)) {
    case 0: p.fileSystem = "NTFS"; p.sizeMB = dice.Between(3, 10); break;
    case 1: p.fileSystem = "exFAT"; p.sizeMB = dice.Between(2, 10); break;
    default: p.fileSystem = "FAT32"; p.sizeMB = dice.Between(33, 40); break;
  }
  p.label = "VOL" + std::to_string(dice.Between(1, 99));
  p.esp = gpt && p.fileSystem == "FAT32" && dice.Chance(0.5);
  if (dice.Chance(0.6)) p.letter = TakeLetter(dice, letters);
  p.held = dice.Chance(0.25);
  return p;
}

// A disk with whatever another owner left on it.
RandomDisk OtherDisk(Dice& dice, unsigned number, std::set<char>& letters) {
  RandomDisk disk;
  disk.number = number;
  disk.removable = dice.Chance(0.5);
  disk.table = static_cast<TableKind>(dice.Between(0, 2));
  if (disk.table != TableKind::Empty) {
    const int count = dice.Between(0, 3);
    for (int i = 0; i < count; ++i) {
      disk.partitions.push_back(SmallPartition(dice, letters, disk.table == TableKind::Gpt));
    }
  }
  disk.cylinders = CylindersFor(UsedMB(disk) + 3) + dice.Between(0, 2);
  return disk;
}

// A stick as a user prepares it by hand for the install: an NTFS or exFAT partition with a letter
// and a FAT32 partition with or without one, sometimes a third partition after them.
RandomDisk PreparedStick(Dice& dice, unsigned number, std::set<char>& letters) {
  RandomDisk disk;
  disk.number = number;
  disk.table = TableKind::Mbr;
  RandomPartition data;
  data.fileSystem = dice.Chance(0.5) ? "NTFS" : "exFAT";
  data.sizeMB = dice.Between(48, 64);
  data.label = "DATA";
  data.letter = TakeLetter(dice, letters);
  data.held = dice.Chance(0.1);
  RandomPartition efi;
  efi.fileSystem = "FAT32";
  efi.sizeMB = dice.Between(33, 40);
  efi.label = "EFI";
  if (dice.Chance(0.5)) efi.letter = TakeLetter(dice, letters);
  efi.held = dice.Chance(0.1);
  disk.partitions = {data, efi};
  if (dice.Chance(0.3)) disk.partitions.push_back(SmallPartition(dice, letters, false));
  disk.cylinders = CylindersFor(UsedMB(disk) + 3) + dice.Between(0, 2);
  return disk;
}

// Sometimes %TEMP% lies on a drive of another disk, where the install writes its temporary folder.
char TempLetter(Dice& dice, const RandomCase& c) {
  std::vector<char> letters;
  for (const RandomDisk& disk : c.disks) {
    if (disk.number == c.chosen) continue;
    for (const RandomPartition& p : disk.partitions) {
      if (p.letter != 0) letters.push_back(p.letter);
    }
  }
  if (letters.empty() || !dice.Chance(0.25)) return 0;
  return letters[static_cast<std::size_t>(dice.Between(0, int(letters.size()) - 1))];
}

}  // namespace

RandomCase MakeRandomCase(std::uint32_t seed) {
  Dice dice(seed);
  RandomCase c;
  c.seed = seed;
  // An install takes ten times as long as a create: most cases create.
  const int roll = dice.Between(0, 99);
  c.job = roll < 92 ? JobKind::Create : roll < 96 ? JobKind::Install : JobKind::CreateThenInstall;
  const int count = dice.Between(1, 4);
  c.chosen = static_cast<unsigned>(dice.Between(1, count));
  std::set<char> letters;
  for (int n = 1; n <= count; ++n) {
    const unsigned number = static_cast<unsigned>(n);
    if (number == c.chosen && c.job == JobKind::Install) {
      c.disks.push_back(PreparedStick(dice, number, letters));
      continue;
    }
    c.disks.push_back(OtherDisk(dice, number, letters));
    if (number != c.chosen) continue;
    // The create job needs 100 MB of FAT32 and as much again.
    RandomDisk& chosen = c.disks.back();
    chosen.removable = true;
    for (RandomPartition& p : chosen.partitions) p.held = p.held && dice.Chance(0.4);
    chosen.cylinders = std::max(chosen.cylinders, 27LL) + dice.Between(0, 6);
  }
  c.mbr = dice.Chance(0.5);
  const long long diskMB = c.disks[c.chosen - 1].cylinders * kCylinderBytes / kMiB;
  // What the window would take: from 100 MB up to the disk's size less 104 MB.
  c.fat32MB = dice.Between(100, std::max(100, static_cast<int>(diskMB - 104)));
  c.fat32Entry = dice.Between(0, 3);
  c.bootsector = dice.Chance(0.3);
  c.autoLetters = dice.Chance(0.3);
  c.tempLetter = TempLetter(dice, c);
  return c;
}

std::string DescribeCase(const RandomCase& c) {
  static const char* const jobs[] = {"create", "install", "create, then install"};
  static const char* const tables[] = {"empty", "MBR", "GPT"};
  std::ostringstream out;
  out << "seed " << c.seed << ": " << jobs[static_cast<int>(c.job)] << " on disk " << c.chosen
      << " (" << (c.mbr ? "MBR" : "GPT") << ", FAT32 " << c.fat32MB << " MB, FAT32 entry "
      << c.fat32Entry << (c.bootsector ? ", keep boot loader" : "")
      << (c.autoLetters ? ", letters for new volumes" : "");
  if (c.tempLetter != 0) out << ", %TEMP% on " << c.tempLetter << ":";
  out << ")\n";
  for (const RandomDisk& disk : c.disks) {
    out << "  disk " << disk.number << (disk.removable ? " removable " : " fixed ")
        << disk.cylinders << " cyl, " << tables[static_cast<int>(disk.table)] << ":";
    for (const RandomPartition& p : disk.partitions) {
      out << " [" << p.fileSystem << " " << p.sizeMB << " MB" << (p.esp ? " ESP" : "");
      if (p.letter) out << " " << p.letter << ":";
      out << (p.held ? " held" : "") << "]";
    }
    out << "\n";
  }
  return out.str();
}

namespace {

void FillLayout(const RandomDisk& disk, Dice& dice, LayoutBuffer& buffer) {
  std::fill(std::begin(buffer.bytes), std::end(buffer.bytes), 0);
  DRIVE_LAYOUT_INFORMATION_EX& layout = *buffer.get();
  const bool gpt = disk.table == TableKind::Gpt;
  layout.PartitionStyle = gpt ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
  layout.PartitionCount = gpt ? static_cast<DWORD>(disk.partitions.size()) : 4;
  if (gpt) {
    layout.Gpt.DiskId.Data1 = dice.Word();
    layout.Gpt.DiskId.Data2 = static_cast<WORD>(dice.Word());
    layout.Gpt.MaxPartitionCount = 128;
  } else {
    layout.Mbr.Signature = dice.Word() | 1;
  }
  long long offset = kMiB;
  for (std::size_t i = 0; i < disk.partitions.size(); ++i) {
    const RandomPartition& wanted = disk.partitions[i];
    PARTITION_INFORMATION_EX& p = *buffer.entry(i);
    p.PartitionStyle = gpt ? PARTITION_STYLE_GPT : PARTITION_STYLE_MBR;
    p.StartingOffset.QuadPart = offset;
    p.PartitionLength.QuadPart = wanted.sizeMB * kMiB;
    p.PartitionNumber = static_cast<DWORD>(i + 1);
    p.RewritePartition = TRUE;
    if (gpt) {
      p.Gpt.PartitionType = wanted.esp ? kEfiSystem : kBasicData;
      p.Gpt.PartitionId.Data1 = dice.Word();
      p.Gpt.PartitionId.Data2 = static_cast<WORD>(dice.Word());
      p.Gpt.PartitionId.Data3 = static_cast<WORD>(i + 1);
    } else {
      p.Mbr.PartitionType = wanted.fileSystem == "FAT32" ? PARTITION_FAT32_XINT13 : PARTITION_IFS;
      p.Mbr.RecognizedPartition = TRUE;
      p.Mbr.HiddenSectors = static_cast<DWORD>(offset / 512);
    }
    offset += wanted.sizeMB * kMiB;
  }
}

bool WriteDisk(const std::filesystem::path& directory, const RandomDisk& disk, Dice& dice,
               nlohmann::json& entry, std::string& error) {
  const std::filesystem::path image = directory / entry["image"].get<std::string>();
  const ULONGLONG length = entry["length"].get<ULONGLONG>();
  if (disk.table == TableKind::Empty) return true;
  DISK_GEOMETRY geometry{};
  geometry.Cylinders.QuadPart = disk.cylinders;
  geometry.MediaType = disk.removable ? RemovableMedia : FixedMedia;
  geometry.TracksPerCylinder = 255;
  geometry.SectorsPerTrack = 63;
  geometry.BytesPerSector = 512;
  LayoutBuffer buffer{};
  FillLayout(disk, dice, buffer);
  {
    emu::DiskImage file(image, length, 512);
    const DWORD status =
        emu::WriteDriveLayout(file, geometry, buffer.bytes, static_cast<DWORD>(buffer.size()));
    if (status != ERROR_SUCCESS) {
      error = "disk " + std::to_string(disk.number) + ": layout refused, " + std::to_string(status);
      return false;
    }
  }
  long long offset = kMiB;
  nlohmann::json letters = nlohmann::json::object();
  nlohmann::json labels = nlohmann::json::object();
  for (const RandomPartition& wanted : disk.partitions) {
    emu::FormatRequest request;
    request.image = image;
    request.offset = static_cast<ULONGLONG>(offset);
    request.length = static_cast<ULONGLONG>(wanted.sizeMB * kMiB);
    request.fileSystem = wanted.fileSystem;
    request.label = wanted.label;
    if (!emu::FormatVolume(request, error)) return false;
    if (wanted.letter != 0) letters[std::to_string(offset)] = std::string(1, wanted.letter);
    // NTFS labels live in the machine's storage, not in the boot sector.
    if (wanted.fileSystem == "NTFS") labels[std::to_string(offset)] = wanted.label;
    offset += wanted.sizeMB * kMiB;
  }
  entry["letters"] = letters;
  entry["labels"] = labels;
  return true;
}

void HoldVolumes(const RandomCase& c) {
  auto locked = emu::Storage::Lock();
  for (const RandomDisk& disk : c.disks) {
    long long offset = kMiB;
    for (const RandomPartition& p : disk.partitions) {
      if (auto volume = locked.storage.FindVolumeAt(disk.number, offset); volume && p.held) {
        volume->held = true;
      }
      offset += p.sizeMB * kMiB;
    }
  }
  locked.storage.Save();
}

}  // namespace

bool BuildRandomMachine(const std::filesystem::path& directory, const RandomCase& c,
                        std::string& error) {
  for (const RandomDisk& disk : c.disks) {
    emu::NewDisk made;
    made.number = disk.number;
    made.cylinders = disk.cylinders;
    made.removable = disk.removable;
    made.name = disk.removable ? "Generic Flash Disk USB Device" : "Fixed Data Disk";
    if (!emu::AddDisk(directory, made, error)) return false;
  }
  nlohmann::json config;
  {
    std::ifstream in(directory / "machine.json");
    config = nlohmann::json::parse(in);
  }
  Dice dice(c.seed ^ 0x5eed5eedu);
  for (auto& entry : config["disks"]) {
    const unsigned number = entry["number"].get<unsigned>();
    if (number == 0 || number > c.disks.size()) continue;
    if (!WriteDisk(directory, c.disks[number - 1], dice, entry, error)) return false;
  }
  config["mount_policy"] = {{"auto_letters", c.autoLetters}};
  if (c.tempLetter != 0) {
    const std::string temp = std::string(1, c.tempLetter) + ":\\Temp";
    config["environment"]["TEMP"] = temp;
    config["environment"]["TMP"] = temp;
    config["folders"].push_back(temp);
  }
  std::ofstream(directory / "machine.json") << config.dump(2);
  emu::Machine::Use(directory);
  HoldVolumes(c);
  return true;
}
