#include "platform/emulated/storage.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "platform/emulated/guid_text.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_check.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/volume_sync.h"
#include "platform/seam.h"
#include "platform/text.h"

namespace emu {
namespace {

std::mutex gMutex;
std::unique_ptr<Storage> gStorage;
// Bumped by Reset(): a storage loaded before it is stale. Atomic, so that Reset() takes no lock
// (it is called while a machine is being made, under the machine's own lock).
std::atomic<unsigned> gGeneration{0};
unsigned gLoadedGeneration = 0;
std::atomic<bool> gHideArrivals{false};
std::atomic<LONGLONG> gHideArrivalsAt{-1};  // -1: every arrival

// GPT partition types that Windows mounts as volumes.
constexpr char kBasicDataType[] = "{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}";
constexpr char kEspType[] = "{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}";
constexpr DWORD64 kGptHidden = 0x4000000000000000ULL;
constexpr DWORD64 kGptNoDriveLetter = 0x8000000000000000ULL;

bool MountableMbrType(BYTE type) {
  switch (type) {
    case PARTITION_FAT_12:
    case PARTITION_FAT_16:
    case PARTITION_HUGE:
    case PARTITION_IFS:
    case PARTITION_FAT32:
    case PARTITION_FAT32_XINT13:
    case PARTITION_XINT13:
      return true;
    default:
      return false;
  }
}

std::string PartitionKey(const DiskDevice& disk, const PartitionTable& table,
                         const PartitionRecord& partition) {
  if (table.style == PARTITION_STYLE_GPT) return "GPT:" + GuidText(partition.gptId);
  char key[64];
  std::snprintf(key, sizeof key, "MBR:%u:%08X:%lld", disk.number, table.signature,
                static_cast<long long>(partition.offset));
  return key;
}

char LetterFromJson(const nlohmann::json& json);

MEDIA_TYPE MediaFromText(const std::string& text) {
  if (text == "removable") return RemovableMedia;
  if (text == "fixed") return FixedMedia;
  throw std::runtime_error("machine.json: disk media must be \"removable\" or \"fixed\"");
}

DiskDevice DiskFromJson(const nlohmann::json& json, const std::filesystem::path& directory) {
  DiskDevice disk;
  disk.number = json.at("number").get<DWORD>();
  disk.image = json.at("image").get<std::string>();
  if (disk.image.is_relative()) disk.image = directory / disk.image;
  disk.name = json.value("name", std::string());
  disk.instance = json.value("instance", std::string());
  const auto& g = json.at("geometry");
  disk.geometry.Cylinders.QuadPart = g.at("cylinders").get<LONGLONG>();
  disk.geometry.MediaType = MediaFromText(json.value("media", std::string("fixed")));
  disk.geometry.TracksPerCylinder = g.at("tracks_per_cylinder").get<DWORD>();
  disk.geometry.SectorsPerTrack = g.at("sectors_per_track").get<DWORD>();
  disk.geometry.BytesPerSector = g.at("bytes_per_sector").get<DWORD>();
  const ULONGLONG cylinderBytes = ULONGLONG(disk.geometry.TracksPerCylinder) *
                                  disk.geometry.SectorsPerTrack * disk.geometry.BytesPerSector;
  disk.length = json.value("length", ULONGLONG(disk.geometry.Cylinders.QuadPart) * cylinderBytes);
  if (disk.instance.empty()) disk.instance = DefaultInstancePath(disk.number, disk.removable());
  const nlohmann::json letters = json.value("letters", nlohmann::json::object());
  for (const auto& [offset, letter] : letters.items()) {
    disk.declaredLetters[std::stoll(offset)] = LetterFromJson(letter);
  }
  const nlohmann::json labels = json.value("labels", nlohmann::json::object());
  for (const auto& [offset, label] : labels.items()) {
    disk.declaredLabels[std::stoll(offset)] = label.get<std::string>();
  }
  return disk;
}

// What the disk class driver's enumeration holds at boot: one device per disk, in disk order.
void FillDiskEnumeration(const std::vector<DiskDevice>& disks) {
  win::RegKey enumKey;
  if (win::RegCreateKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum",
                           0, 0, KEY_ALL_ACCESS, nullptr, enumKey, nullptr) != ERROR_SUCCESS) {
    return;
  }
  win::RegDeleteTreeW(enumKey.get(), "");
  const DWORD count = static_cast<DWORD>(disks.size());
  win::RegSetValueExW(enumKey.get(), "Count", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count),
                      sizeof count);
  win::RegSetValueExW(enumKey.get(), "NextInstance", 0, REG_DWORD,
                      reinterpret_cast<const BYTE*>(&count), sizeof count);
  for (DWORD i = 0; i < count; ++i) {
    const DiskDevice& disk = disks[i];
    auto instance = win::RegStringData(disk.instance);
    win::RegSetValueExW(enumKey.get(), std::to_string(i), 0, REG_SZ, instance.data(),
                        static_cast<DWORD>(instance.size()));
    win::RegKey device;
    if (win::RegCreateKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + disk.instance,
                             0, 0, KEY_ALL_ACCESS, nullptr, device, nullptr) != ERROR_SUCCESS) {
      continue;
    }
    auto name = win::RegStringData(disk.name);
    win::RegSetValueExW(device.get(), "FriendlyName", 0, REG_SZ, name.data(),
                        static_cast<DWORD>(name.size()));
    auto description = win::RegStringData("Disk drive");
    win::RegSetValueExW(device.get(), "DeviceDesc", 0, REG_SZ, description.data(),
                        static_cast<DWORD>(description.size()));
  }
}

char LetterFromJson(const nlohmann::json& json) {
  if (json.is_null()) return 0;
  const std::string text = json.get<std::string>();
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
  return static_cast<char>(std::toupper(static_cast<unsigned char>(text[0])));
}

nlohmann::json LetterToJson(char letter) {
  if (letter == 0) return nullptr;
  return std::string(1, letter);
}

}  // namespace

std::string DefaultInstancePath(DWORD number, bool removable) {
  char path[160];
  if (removable) {
    std::snprintf(path, sizeof path,
                  "USBSTOR\\Disk&Ven_Generic&Prod_Flash_Disk&Rev_8.07\\%08X%04X&0", 0x6C3B5A10u,
                  number);
  } else {
    std::snprintf(path, sizeof path, "SCSI\\Disk&Ven_NVMe&Prod_Virtual_Disk\\5&1f4d3a2b&0&%06X",
                  number);
  }
  return path;
}

LONGLONG Volume::Length() const {
  LONGLONG total = 0;
  for (const VolumeExtent& extent : extents) total += extent.length;
  return total;
}

Storage::Locked Storage::Lock() {
  // The machine first: loading it may create it, which resets the storage.
  const std::filesystem::path directory = Machine::Get().Directory();
  std::unique_lock lock(gMutex);
  const unsigned generation = gGeneration;
  if (!gStorage || gStorage->directory_ != directory || gLoadedGeneration != generation) {
    gStorage.reset(new Storage(directory));
    gLoadedGeneration = generation;
    gStorage->Load();
    NoteStorageLoaded(*gStorage);
  }
  return Locked{std::move(lock), *gStorage};
}

void StartStorage() { Storage::Lock(); }

void Storage::Reset() { ++gGeneration; }

Storage::Storage(std::filesystem::path directory) : directory_(std::move(directory)) {}

void Storage::Load() {
  const nlohmann::json& config = Machine::Get().Config();
  if (config.contains("mount_policy")) {
    autoLetters_ = config["mount_policy"].value("auto_letters", true);
    removableFirstPartitionOnly_ =
        config["mount_policy"].value("removable_first_partition_only", false);
  }
  for (const auto& json : config.value("foreign_letters", nlohmann::json::array())) {
    ForeignLetter foreign;
    foreign.letter = LetterFromJson(json.at("letter"));
    const std::string type = json.value("type", std::string("network"));
    foreign.driveType = type == "ramdisk" ? DRIVE_RAMDISK : type == "cdrom" ? DRIVE_CDROM
                                                                            : DRIVE_REMOTE;
    if (foreign.letter != 0) foreignLetters_.push_back(foreign);
  }

  // What the machine remembers of earlier boots.
  std::ifstream in(directory_ / "storage.json");
  if (in) {
    const auto saved = nlohmann::json::parse(in, nullptr, false);
    if (std::string fault; saved.is_object() && !CheckStorageFile(saved, fault)) {
      throw std::runtime_error("machine: " + (directory_ / "storage.json").string() + ": " + fault);
    }
    if (saved.is_object()) {
      for (const auto& entry : saved.value("mounted_devices", nlohmann::json::array())) {
        Remembered remembered;
        remembered.guid = entry.value("guid", std::string());
        remembered.letter = LetterFromJson(entry.value("letter", nlohmann::json()));
        remembered.label = entry.value("label", std::string());
        remembered.held = entry.value("held", false);
        remembered_[entry.value("key", std::string())] = remembered;
      }
    }
  }

  for (const auto& json : config.value("disks", nlohmann::json::array())) {
    (json.value("attached", true) ? disks_ : detached_).push_back(DiskFromJson(json, directory_));
  }
  std::sort(disks_.begin(), disks_.end(),
            [](const DiskDevice& a, const DiskDevice& b) { return a.number < b.number; });
  for (DiskDevice& disk : disks_) LoadDisk(disk, false);

  // Declared volumes that span disks (dynamic disks): they exist as declared.
  for (const auto& json : config.value("spanned_volumes", nlohmann::json::array())) {
    auto volume = std::make_shared<Volume>();
    for (const auto& e : json.at("extents")) {
      volume->extents.push_back(VolumeExtent{e.at("disk").get<DWORD>(),
                                             e.at("offset").get<LONGLONG>(),
                                             e.at("length").get<LONGLONG>()});
    }
    volume->key = "SPANNED:" + json.value("name", std::to_string(volumes_.size()));
    auto remembered = remembered_.find(volume->key);
    volume->guid = remembered != remembered_.end() ? remembered->second.guid : NewGuidText();
    volume->letter = LetterFromJson(json.value("letter", nlohmann::json()));
    volume->label = json.value("label", std::string());
    volumes_.push_back(volume);
    remembered_[volume->key] = Remembered{volume->guid, volume->letter, volume->label, false};
  }
  WriteDiskEnumeration();
  Save();
  CreateDeclaredFolders();
}

// The folders a Windows installation has (the user's profile, its temporary folder).
void Storage::CreateDeclaredFolders() {
  for (const auto& json : Machine::Get().Config().value("folders", nlohmann::json::array())) {
    FilePath path;
    if (ParseFilePath(json.get<std::string>(), path) != ERROR_SUCCESS) continue;
    HostPath resolved;
    if (ResolveFilePath(*this, path, resolved) != ERROR_SUCCESS) continue;
    std::error_code ec;
    std::filesystem::create_directories(resolved.host, ec);
  }
}

void Storage::LoadDisk(DiskDevice& disk, bool announce) {
  DiskImage image(disk.image, disk.length, disk.geometry.BytesPerSector);
  disk.table = ReadPartitionTable(image);
  const PartitionTable& table = disk.table;
  for (const PartitionRecord& partition : table.partitions) {
    if (partition.number == 0 || !Mountable(disk, partition)) continue;
    if (FindVolumeAt(disk.number, partition.offset)) continue;
    if (announce && gHideArrivals &&
        (gHideArrivalsAt < 0 || gHideArrivalsAt == partition.offset)) {
      continue;
    }
    if (auto volume = MountPartition(disk, table, partition)) {
      if (announce && volume->letter != 0) AnnounceVolume(DBT_DEVICEARRIVAL, volume->letter);
    }
  }
}

bool Storage::Mountable(const DiskDevice& disk, const PartitionRecord& partition) const {
  if (!removableFirstPartitionOnly_ || !disk.removable()) return true;
  for (const PartitionRecord& first : disk.table.partitions) {
    if (first.number != 0) return &first == &partition || first.offset == partition.offset;
  }
  return false;
}

std::shared_ptr<Volume> Storage::MountPartition(const DiskDevice& disk, const PartitionTable& table,
                                                const PartitionRecord& partition) {
  bool letterByPolicy = autoLetters_;
  if (table.style == PARTITION_STYLE_GPT) {
    const std::string type = GuidText(partition.gptType);
    if (type == kEspType) {
      letterByPolicy = false;  // the system partition gets a volume but never a letter
    } else if (type != kBasicDataType) {
      return nullptr;  // BIOS boot, reserved and unknown partitions get no volume
    }
    if (partition.attributes & (kGptHidden | kGptNoDriveLetter)) letterByPolicy = false;
  } else if (!MountableMbrType(partition.mbrType)) {
    return nullptr;
  }

  auto volume = std::make_shared<Volume>();
  volume->key = PartitionKey(disk, table, partition);
  volume->extents.push_back(VolumeExtent{disk.number, partition.offset, partition.length});
  auto remembered = remembered_.find(volume->key);
  if (remembered != remembered_.end() && !remembered->second.guid.empty()) {
    volume->guid = remembered->second.guid;
    volume->label = remembered->second.label;
    volume->held = remembered->second.held;
    if (remembered->second.letter != 0 && !LetterInUse(remembered->second.letter)) {
      volume->letter = remembered->second.letter;
    }
  } else {
    volume->guid = NewGuidText();
    auto declared = disk.declaredLetters.find(partition.offset);
    if (declared != disk.declaredLetters.end() && !LetterInUse(declared->second)) {
      volume->letter = declared->second;
    } else if (letterByPolicy) {
      volume->letter = FirstFreeLetter();
    }
    auto label = disk.declaredLabels.find(partition.offset);
    if (label != disk.declaredLabels.end()) volume->label = label->second;
  }
  volumes_.push_back(volume);
  remembered_[volume->key] = Remembered{volume->guid, volume->letter, volume->label, volume->held};
  return volume;
}

void Storage::RescanDisk(DWORD number) {
  DiskDevice* disk = FindDisk(number);
  if (disk == nullptr) return;
  DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
  disk->table = ReadPartitionTable(image);
  const PartitionTable& table = disk->table;

  // Volumes whose partition is gone, moved or resized depart.
  for (auto it = volumes_.begin(); it != volumes_.end();) {
    Volume& volume = **it;
    if (volume.extents.size() != 1 || volume.Disk() != number) {
      ++it;
      continue;
    }
    const bool stays = std::any_of(
        table.partitions.begin(), table.partitions.end(), [&](const PartitionRecord& p) {
          return p.number != 0 && Mountable(*disk, p) && p.offset == volume.Offset() &&
                 p.length == volume.Length() && PartitionKey(*disk, table, p) == volume.key;
        });
    if (stays) {
      ++it;
      continue;
    }
    const char letter = volume.letter;
    it = volumes_.erase(it);
    if (letter != 0) AnnounceVolume(DBT_DEVICEREMOVECOMPLETE, letter);
  }
  LoadDisk(*disk, true);
  Save();
}

void Storage::AssignLetter(Volume& volume, char letter) {
  // As in the system's table of mounted devices, a letter names one volume: a volume that is not
  // present and still remembers it loses it.
  if (letter != 0) {
    for (auto& [key, remembered] : remembered_) {
      if (key != volume.key && remembered.letter == letter) remembered.letter = 0;
    }
  }
  volume.letter = letter;
  remembered_[volume.key] = Remembered{volume.guid, letter, volume.label, volume.held};
  Save();
}

void Storage::Save() {
  nlohmann::json devices = nlohmann::json::array();
  for (auto& volume : volumes_) {
    remembered_[volume->key] = Remembered{volume->guid, volume->letter, volume->label, volume->held};
  }
  for (const auto& [key, remembered] : remembered_) {
    devices.push_back({{"key", key},
                       {"guid", remembered.guid},
                       {"letter", LetterToJson(remembered.letter)},
                       {"label", remembered.label},
                       {"held", remembered.held}});
  }
  const nlohmann::json saved = {{"mounted_devices", devices}};
  const std::filesystem::path file = directory_ / "storage.json";
  const std::filesystem::path temporary = directory_ / "storage.json.tmp";
  {
    std::ofstream out(temporary);
    out << saved.dump(2) << "\n";
    if (!out) return;
  }
  std::error_code ec;
  std::filesystem::rename(temporary, file, ec);
}

void Storage::WriteDiskEnumeration() { FillDiskEnumeration(disks_); }

DiskDevice* Storage::FindDisk(DWORD number) {
  for (DiskDevice& disk : disks_) {
    if (disk.number == number) return &disk;
  }
  return nullptr;
}

std::shared_ptr<Volume> Storage::FindVolumeByGuid(std::string_view guid) {
  for (auto& volume : volumes_) {
    if (SameGuidText(volume->guid, guid)) return volume;
  }
  return nullptr;
}

std::shared_ptr<Volume> Storage::FindVolumeByLetter(char letter) {
  letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (auto& volume : volumes_) {
    if (volume->letter == letter) return volume;
  }
  return nullptr;
}

std::shared_ptr<Volume> Storage::FindVolumeAt(DWORD disk, LONGLONG offset) {
  for (auto& volume : volumes_) {
    if (volume->extents.size() == 1 && volume->Disk() == disk && volume->Offset() == offset) {
      return volume;
    }
  }
  return nullptr;
}

bool Storage::LetterInUse(char letter) const {
  for (const auto& volume : volumes_) {
    if (volume->letter == letter) return true;
  }
  for (const ForeignLetter& foreign : foreignLetters_) {
    if (foreign.letter == letter) return true;
  }
  return false;
}

char Storage::FirstFreeLetter() const {
  // A and B stay reserved for floppy drives, as the mount manager keeps them.
  for (char letter = 'C'; letter <= 'Z'; ++letter) {
    if (!LetterInUse(letter)) return letter;
  }
  return 0;
}

std::filesystem::path Storage::VolumeFolder(const Volume& volume) const {
  std::string name = volume.guid;
  name.erase(std::remove(name.begin(), name.end(), '{'), name.end());
  name.erase(std::remove(name.begin(), name.end(), '}'), name.end());
  return directory_ / "volumes" / name;
}

void HideVolumeArrivals(bool hide, std::optional<LONGLONG> onlyAt) {
  gHideArrivalsAt = onlyAt.value_or(-1);
  gHideArrivals = hide;
}

}  // namespace emu
