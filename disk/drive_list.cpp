// The Install tab's drive lists: the NTFS/exFAT drives of disks other than disk 0, and the FAT32
// drives (or, on a removable disk, FAT32 partitions without a letter) of the chosen drive's disk.
#include <algorithm>
#include <cstring>
#include <vector>

#include "app/console_log.h"
#include "disk/disk_queries.h"
#include "disk/partition_layout.h"
#include "platform/seam.h"
#include "ui/setup_form.h"

namespace {

constexpr DWORD kFullSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::size_t kLabelOffset = 71, kLabelLength = 11;
constexpr std::size_t kFileSystemOffset = 82;

// What the system tells of one drive root.
struct RootInfo {
  UINT type = DRIVE_UNKNOWN;
  bool haveExtent = false;
  VolumeExtent extent;
  bool haveInformation = false;
  std::string label, fileSystem;
};

bool FixedOrRemovable(UINT type) { return type == DRIVE_FIXED || type == DRIVE_REMOVABLE; }

std::string VolumePathOfRoot(const std::string& root) { return VolumePath(root.substr(0, 2)); }

// The root's type, extent and volume information, asked in the order the lists test them; the
// later questions are not asked once one answer disqualifies the root.
RootInfo Inspect(const std::string& root) {
  RootInfo info;
  info.type = win::GetDriveTypeW(root);
  if (!FixedOrRemovable(info.type)) return info;
  info.haveExtent = QueryVolumeExtent(VolumePathOfRoot(root), info.extent);
  if (!info.haveExtent) return info;
  info.haveInformation = win::GetVolumeInformationW(root, &info.label, nullptr, nullptr, nullptr,
                                                    &info.fileSystem) != FALSE;
  return info;
}

bool TotalBytes(const std::string& root, LONGLONG& total) {
  ULARGE_INTEGER bytes{};
  if (!win::GetDiskFreeSpaceExW(root, nullptr, &bytes, nullptr)) return false;
  total = static_cast<LONGLONG>(bytes.QuadPart);
  return true;
}

std::string DriveEntry(const std::string& root, const std::string& size,
                       const std::string& fileSystem, const std::string& label) {
  return root + " - " + size + " - " + fileSystem + " - " +
         (label.empty() ? std::string("No Name") : label);
}

// The 11 bytes of a FAT32 boot sector's label field, in the ANSI code page, blanks and all.
std::string LabelField(const BYTE* sector) {
  const std::string_view bytes(reinterpret_cast<const char*>(sector + kLabelOffset), kLabelLength);
  std::string label;
  if (win::MultiByteToWideChar(CP_ACP, 0, bytes, label) == 0) return std::string(bytes);
  return label;
}

}  // namespace

void TSetupForm1::RefreshDriveLists() {
  if (JobRuns()) return;  // the lists stay as they were at the job start

  std::vector<std::string> roots;
  win::GetLogicalDriveStringsW(roots);

  std::vector<std::string> entries;
  for (const std::string& root : roots) {
    const RootInfo info = Inspect(root);
    if (!info.haveInformation || info.extent.DiskNumber == 0) continue;
    if (info.fileSystem != "NTFS" && info.fileSystem != "exFAT") continue;
    LONGLONG size = 0;
    if (!TotalBytes(root, size)) continue;
    entries.push_back(DriveEntry(root, FormatByteSize(size), info.fileSystem, info.label));
    if (CurrentDriveIndex.empty() && info.type == DRIVE_REMOVABLE) CurrentDriveIndex = entries.back();
  }
  if (entries.empty()) {
    NTFSDriveLists->Clear();
    return;
  }
  NTFSDriveLists->SetItems(std::move(entries));
  NTFSDriveLists->SetItemIndex(
      CurrentDriveIndex.empty() ? -1 : NTFSDriveLists->IndexOfIgnoringCase(CurrentDriveIndex));
  if (NTFSDriveLists->ItemIndex() < 0) return;

  const std::string selected = NTFSDriveLists->Text();
  const char letter = selected[0];
  VolumeExtent chosen;
  if (!QueryVolumeExtent(VolumePath(std::string(1, letter) + ":"), chosen)) return;

  FAT32DriveLists->Clear();
  for (const std::string& root : roots) {
    if (root[0] == letter) continue;
    const RootInfo info = Inspect(root);
    if (!info.haveInformation || info.extent.DiskNumber != chosen.DiskNumber) continue;
    if (info.fileSystem != "FAT32") continue;
    LONGLONG size = 0;
    // This list does not leave out a drive whose size cannot be read; it shows 0 bytes.
    const std::string sizeText = TotalBytes(root, size) ? FormatByteSize(size) : "0 bytes";
    FAT32DriveLists->AddItem(DriveEntry(root, sizeText, "FAT32", info.label));
  }
  if (!FAT32DriveLists->Items().empty()) {
    FAT32DriveLists->SetItemIndex(static_cast<int>(FAT32DriveLists->Items().size()) - 1);
    return;
  }
  if (win::GetDriveTypeW(std::string(1, letter) + ":\\") != DRIVE_REMOVABLE) return;

  // A removable disk whose FAT32 partition has no letter: the partitions' boot sectors tell.
  win::Handle disk(win::CreateFileW(PhysicalDrivePath(chosen.DiskNumber), GENERIC_READ,
                                    kFullSharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
  if (!disk) {
    WriteStatusLine(win::GetLastError());
    return;
  }
  LayoutBuffer layout{};
  std::memset(layout.bytes, 0, 4);
  DWORD returned = 0;
  if (!win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0, layout.bytes,
                            static_cast<DWORD>(layout.size()), &returned, nullptr)) {
    WriteStatusLine(win::GetLastError());
    return;
  }
  const DRIVE_LAYOUT_INFORMATION_EX& header = *layout.get();
  if (header.PartitionStyle == PARTITION_STYLE_GPT && header.PartitionCount > kLayoutMaxPartitions) {
    return;
  }
  // The buffer holds 128 entries, whatever count the header claims.
  const DWORD count = std::min<DWORD>(header.PartitionCount, kLayoutMaxPartitions);
  FAT32DriveLists->Clear();
  std::vector<BYTE> sector(kBootSectorReadSize);
  for (DWORD i = 0; i < count; ++i) {
    const PARTITION_INFORMATION_EX& partition = *layout.entry(i);
    if (partition.PartitionNumber == 0) continue;
    std::fill(sector.begin(), sector.end(), 0);
    DWORD read = 0;
    if (!win::SetFilePointerEx(disk.get(), partition.StartingOffset, nullptr, FILE_BEGIN) ||
        !win::ReadFile(disk.get(), sector.data(), static_cast<DWORD>(sector.size()), &read,
                       nullptr)) {
      WriteStatusLine(win::GetLastError());
      return;
    }
    if (std::memcmp(sector.data() + kFileSystemOffset, "FAT32", 5) != 0) continue;
    FAT32DriveLists->AddItem(LookupText("Partition") + " #" +
                             std::to_string(partition.PartitionNumber) + " - " +
                             FormatByteSize(partition.PartitionLength.QuadPart) + " - FAT32 - " +
                             LabelField(sector.data()));
  }
  if (!FAT32DriveLists->Items().empty()) {
    FAT32DriveLists->SetItemIndex(static_cast<int>(FAT32DriveLists->Items().size()) - 1);
  }
}

void TSetupForm1::NTFSDriveListsChange() {
  const std::string selected = NTFSDriveLists->Text();
  if (selected == CurrentDriveIndex) return;
  CurrentDriveIndex = selected;
  FAT32DriveLists->Clear();
  RefreshDrive = true;
  RefreshDriveLists();
  RefreshDrive = false;
}
