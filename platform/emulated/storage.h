// The emulated machine's storage: physical disks backed by sparse image files, and the volumes
// that Windows would mount on their partitions, with drive letters and a folder for their files.
//
// Disks come from machine.json ("disks"). Volumes are found by reading each disk's partition table,
// as the partition manager does when a disk arrives or its layout changes. What Windows keeps about
// volumes between boots (volume GUIDs and drive letters per partition, the MountedDevices of the
// registry) is kept in <machine>/storage.json, so a partition that comes back after a rewrite of
// its table finds its volume name again.
//
// One lock guards all of it; Storage::Lock() hands it out together with the current machine's
// storage, reloaded when Machine::Use() names another folder.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/partition_table.h"
#include "platform/win32_device_types.h"

namespace emu {

struct DiskDevice {
  DWORD number = 0;
  std::filesystem::path image;
  DISK_GEOMETRY geometry{};
  ULONGLONG length = 0;  // the image's true length; the geometry covers whole cylinders only
  std::string name;      // the display name the disk enumeration reports
  std::string instance;  // the device instance path under SYSTEM\CurrentControlSet\Enum
  // The partition table as the partition manager last read it: raw writes to the table's sectors
  // show only after IOCTL_DISK_UPDATE_PROPERTIES or a new layout, as on Windows.
  PartitionTable table;
  // Letters and labels machine.json gives the volumes of partitions at these offsets when they
  // are first mounted.
  std::map<LONGLONG, char> declaredLetters;
  std::map<LONGLONG, std::string> declaredLabels;
  bool removable() const { return geometry.MediaType == RemovableMedia; }
};

struct VolumeExtent {
  DWORD disk = 0;
  LONGLONG offset = 0;
  LONGLONG length = 0;
};

struct Volume {
  std::string guid;  // "{xxxxxxxx-...}", lower case
  std::string key;   // what identifies its partition across table rewrites
  std::vector<VolumeExtent> extents;  // one for a partition; more for a declared spanned volume
  char letter = 0;                    // 0: none
  std::string label;                  // for file systems whose label is not in the boot sector
  bool held = false;                  // another program holds it open (exclusive opens fail)
  const void* lockedBy = nullptr;     // the handle object that holds FSCTL_LOCK_VOLUME
  bool dismounted = false;
  bool cdrom = false;

  std::string Name() const { return "Volume" + guid; }  // Volume{...}
  LONGLONG Length() const;
  DWORD Disk() const { return extents.empty() ? 0 : extents.front().disk; }
  LONGLONG Offset() const { return extents.empty() ? 0 : extents.front().offset; }
};

// A drive letter that is not a local volume (network shares, declared in machine.json).
struct ForeignLetter {
  char letter = 0;
  UINT driveType = DRIVE_REMOTE;
};

class Storage {
 public:
  // The storage of the current machine and the lock that guards it.
  struct Locked {
    std::unique_lock<std::mutex> lock;
    Storage& storage;
  };
  static Locked Lock();

  // Drops everything loaded; the next Lock() reads the machine again (tests, machine tool).
  static void Reset();

  std::vector<DiskDevice>& Disks() { return disks_; }
  // Disks of the machine that are not plugged in (machine.json "attached": false, or unplugged
  // while the program runs).
  std::vector<DiskDevice>& DetachedDisks() { return detached_; }
  std::vector<std::shared_ptr<Volume>>& Volumes() { return volumes_; }
  const std::vector<ForeignLetter>& ForeignLetters() const { return foreignLetters_; }

  DiskDevice* FindDisk(DWORD number);
  std::shared_ptr<Volume> FindVolumeByGuid(std::string_view guid);
  std::shared_ptr<Volume> FindVolumeByLetter(char letter);
  // The volume whose partition lies on `disk` at `offset`, if mounted.
  std::shared_ptr<Volume> FindVolumeAt(DWORD disk, LONGLONG offset);
  bool LetterInUse(char letter) const;

  // The folder that holds a volume's files.
  std::filesystem::path VolumeFolder(const Volume& volume) const;

  // Re-reads a disk's partition table: volumes whose partitions are gone depart, new ones arrive
  // (with the letter the machine's mount policy gives them) and device notifications go out.
  void RescanDisk(DWORD number);

  // Gives a volume a letter (0 removes it), remembering it for the partition.
  void AssignLetter(Volume& volume, char letter);

  // Writes storage.json. Every change that Windows would remember across a restart calls it.
  void Save();

  // Rewrites the disk enumeration of the registry from the plugged-in disks.
  void WriteDiskEnumeration();

  const std::filesystem::path& Directory() const { return directory_; }

 private:
  explicit Storage(std::filesystem::path directory);
  void Load();
  void LoadDisk(DiskDevice& disk, bool announce);
  // Whether the partition gets a volume at all under the mount policy.
  bool Mountable(const DiskDevice& disk, const PartitionRecord& partition) const;
  std::shared_ptr<Volume> MountPartition(const DiskDevice& disk, const PartitionTable& table,
                                         const PartitionRecord& partition);
  char FirstFreeLetter() const;
  void CreateDeclaredFolders();

  struct Remembered {
    std::string guid;
    char letter = 0;
    std::string label;
    bool held = false;
  };

  std::filesystem::path directory_;
  std::vector<DiskDevice> disks_;
  std::vector<DiskDevice> detached_;
  std::vector<std::shared_ptr<Volume>> volumes_;
  std::vector<ForeignLetter> foreignLetters_;
  std::map<std::string, Remembered> remembered_;  // by partition key
  bool autoLetters_ = true;
  // Windows before 10 version 1703 mounts only the first partition of a removable disk.
  bool removableFirstPartitionOnly_ = false;
};

// Loads the storage of the machine that has just started.
void StartStorage();

// The device instance path a disk gets when machine.json names none.
std::string DefaultInstancePath(DWORD number, bool removable);

// Announces a volume's arrival or departure (DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE) or a
// change of device nodes (DBT_DEVNODES_CHANGED) to the process's top-level windows.
void AnnounceVolume(WPARAM event, char letter);
void AnnounceDeviceNodesChanged();

// Fault injection for arrivals: while set, volumes that arrive are not mounted (they never show up,
// as when the partition manager is slow or refuses them); with `onlyAt`, only the arrival of the
// partition at that byte offset.
void HideVolumeArrivals(bool hide, std::optional<LONGLONG> onlyAt = std::nullopt);

}  // namespace emu
