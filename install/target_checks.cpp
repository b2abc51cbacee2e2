#include "install/target_checks.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <vector>

#include "app/console_log.h"
#include "app/decimal_text.h"
#include "disk/disk_queries.h"
#include "platform/seam.h"
#include "ui/language.h"

namespace {

constexpr GUID kBiosBootType = *ParseGuidText("{21686148-6449-6E6F-744E-656564454649}");
constexpr GUID kEspType = *ParseGuidText("{c12a7328-f81f-11d2-ba4b-00a0c93ec93b}");
constexpr GUID kBasicDataType = *ParseGuidText("{ebd0a0a2-b9e5-4433-87c0-68b6b72699c7}");

constexpr DWORD kRawMbrSize = 2048;
constexpr std::size_t kStatusOffsets[4] = {446, 462, 478, 494};
constexpr std::size_t kStartOffsets[4] = {454, 470, 486, 502};

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

// The entries the header announces, but never more than the buffer holds.
std::size_t EntryCount(LayoutBuffer& layout) {
  return std::min<std::size_t>(layout.get()->PartitionCount, kLayoutMaxPartitions);
}

bool WriteStatusAndEnd() {
  WriteStatusLine(win::GetLastError());
  return false;
}

bool SeekToStart(HANDLE disk) {
  return win::SetFilePointer(disk, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER ||
         win::GetLastError() == ERROR_SUCCESS;
}

// The primary entry (0 to 3) that starts at the FAT32 partition, looked for from the fourth to
// the first; none for a logical partition or an offset that is no whole sector.
std::optional<std::size_t> Fat32PrimaryEntry(const std::vector<BYTE>& sector, LONGLONG fat32Offset,
                                             DWORD sectorSize) {
  if (sectorSize == 0 || fat32Offset % sectorSize != 0) return std::nullopt;
  const auto wanted = static_cast<ULONGLONG>(fat32Offset / sectorSize);
  for (std::size_t i = 4; i-- > 0;) {
    DWORD start = 0;
    std::memcpy(&start, sector.data() + kStartOffsets[i], sizeof start);
    if (start == wanted) return i;
  }
  return std::nullopt;
}

// On MBR the boot indicators are status bytes of the master boot record, written directly.
bool MarkActiveOnMbr(InstallRun& run) {
  LayoutBuffer& layout = run.layout;
  bool needed = false;
  for (std::size_t i = 0; i < EntryCount(layout); ++i) {
    const PARTITION_INFORMATION_EX& entry = *layout.entry(i);
    const bool isFat32 = entry.StartingOffset.QuadPart == run.fat32Offset;
    if (isFat32 ? !entry.Mbr.BootIndicator : entry.Mbr.BootIndicator != FALSE) needed = true;
  }
  if (!needed) return true;

  // A disk handle moves whole sectors only: on disks of sectors larger than 2048 bytes the raw
  // area is one whole sector.
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  if (!win::DeviceIoControl(run.disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                            sizeof geometry, &returned, nullptr)) {
    return WriteStatusAndEnd();
  }
  const DWORD sectorSize = geometry.BytesPerSector;
  std::vector<BYTE> sector(std::max(kRawMbrSize, sectorSize), 0);
  const auto size = static_cast<DWORD>(sector.size());
  DWORD done = 0;
  if (!SeekToStart(run.disk.get()) ||
      !win::ReadFile(run.disk.get(), sector.data(), size, &done, nullptr)) {
    return WriteStatusAndEnd();
  }
  for (std::size_t at : kStatusOffsets) sector[at] = 0x00;
  const std::optional<std::size_t> marked = Fat32PrimaryEntry(sector, run.fat32Offset, sectorSize);
  if (marked) sector[kStatusOffsets[*marked]] = 0x80;
  if (!SeekToStart(run.disk.get()) ||
      !win::WriteFile(run.disk.get(), sector.data(), size, &done, nullptr)) {
    return WriteStatusAndEnd();
  }
  // The layout buffer follows the disk, so that a later write of it keeps the marking.
  for (std::size_t i = 0; i < EntryCount(layout); ++i) {
    PARTITION_INFORMATION_EX& entry = *layout.entry(i);
    entry.Mbr.BootIndicator = marked && entry.StartingOffset.QuadPart == run.fat32Offset;
  }
  return true;
}

// On GPT the FAT32 partition becomes the only EFI system partition, in one layout request.
bool MarkEspOnGpt(InstallRun& run) {
  LayoutBuffer& layout = run.layout;
  bool changed = false;
  for (std::size_t i = 0; i < EntryCount(layout); ++i) {
    PARTITION_INFORMATION_EX& entry = *layout.entry(i);
    const bool isFat32 = entry.StartingOffset.QuadPart == run.fat32Offset;
    if (isFat32 && !SameGuid(entry.Gpt.PartitionType, kEspType)) {
      entry.Gpt.PartitionType = kEspType;
      changed = true;
    } else if (!isFat32 && SameGuid(entry.Gpt.PartitionType, kEspType)) {
      entry.Gpt.PartitionType = kBasicDataType;
      changed = true;
    }
  }
  if (!changed) return true;
  DWORD returned = 0;
  if (!win::DeviceIoControl(run.disk.get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(),
                            static_cast<DWORD>(layout.size()), nullptr, 0, &returned, nullptr) ||
      !win::DeviceIoControl(run.disk.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                            &returned, nullptr)) {
    return WriteStatusAndEnd();
  }
  return true;
}

}  // namespace

bool RunTargetChecks(InstallRun& run) {
  VolumeExtent extent;
  if (!run.partitionMode) {
    if (!QueryVolumeExtent(VolumePath(run.FAT32Drive + ":"), extent)) return false;
    run.fat32Offset = extent.StartingOffset;
  }
  if (!QueryVolumeExtent(VolumePath(run.Drive + ":"), extent)) return false;
  run.diskNumber = extent.DiskNumber;
  run.ntfsOffset = extent.StartingOffset;

  WriteText(LookupText("Disk") + ": " + std::to_string(run.diskNumber));
  run.progress(5);

  run.disk.reset(win::CreateFileW(PhysicalDrivePath(run.diskNumber), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!run.disk) return WriteStatusAndEnd();
  std::memset(run.layout.data(), 0, run.layout.size());
  DWORD returned = 0;
  if (!win::DeviceIoControl(run.disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                            run.layout.data(), static_cast<DWORD>(run.layout.size()), &returned,
                            nullptr)) {
    return WriteStatusAndEnd();
  }

  const DWORD style = run.layout.get()->PartitionStyle;
  if (style == PARTITION_STYLE_MBR) {
    WriteLine(" (MBR)");
    WriteEmptyLine();
    std::optional<LONGLONG> first;
    for (std::size_t i = 0; i < EntryCount(run.layout); ++i) {
      const LONGLONG offset = run.layout.entry(i)->StartingOffset.QuadPart;
      if (offset > 0 && (!first || offset < *first)) first = offset;
    }
    if (!first || *first < kGrubMbrGap) {
      WriteLine(FormatText(LookupText("BIOSPartitionMsg"), {"\r\n", "\r\n"}));
      return false;
    }
  } else if (style == PARTITION_STYLE_GPT) {
    WriteLine(" (GPT)");
    if (!run.Bootsector) {
      WriteEmptyLine();
      WriteText(LookupText("CheckBIOSPartition"));
      bool found = false;
      for (std::size_t i = 0; i < EntryCount(run.layout) && !found; ++i) {
        const PARTITION_INFORMATION_EX& entry = *run.layout.entry(i);
        found = entry.StartingOffset.QuadPart > 0 && SameGuid(entry.Gpt.PartitionType, kBiosBootType);
      }
      if (!found) {
        WriteLine(LookupText("NotFound"));
        return false;
      }
      WriteLine(LookupText("Found"));
    }
  } else if (style == PARTITION_STYLE_RAW) {
    WriteLine(" (Unknown format)");
    WriteEmptyLine();
    WriteLine("Partition table not found.");
    return false;
  }
  WriteEmptyLine();

  if (run.partitionMode) {
    const LONGLONG number = ParseDecimal(run.FAT32Drive);
    std::optional<std::size_t> index;
    for (std::size_t i = 0; i < EntryCount(run.layout) && !index; ++i) {
      if (run.layout.entry(i)->PartitionNumber == number) index = i;
    }
    if (!index || *index == 0) return false;
    run.fat32EntryIndex = *index;
    run.fat32Offset = run.layout.entry(*index)->StartingOffset.QuadPart;
  }

  if (style == PARTITION_STYLE_MBR) return MarkActiveOnMbr(run);
  if (style == PARTITION_STYLE_GPT) return MarkEspOnGpt(run);
  return true;
}
