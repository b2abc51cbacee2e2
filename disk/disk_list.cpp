// The Create tab: the list of removable disks, the proposed partition sizes and the Create button.
#include <algorithm>
#include <optional>
#include <stdexcept>
#include <vector>

#include "app/console_log.h"
#include "app/decimal_text.h"
#include "disk/disk_queries.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "ui/setup_form.h"

namespace {

constexpr const char* kDiskEnumKey = "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum";
constexpr const char* kDeviceKeyPrefix = "SYSTEM\\CurrentControlSet\\Enum\\";
constexpr LONGLONG kMiB = 1048576;
constexpr LONGLONG kFat32Floor = 100;
constexpr LONGLONG kFat32Ceiling = 32768;
// How many disk numbers that cannot be opened the list looks past: enough for the sticks of one
// machine, and a bound when the enumeration counts more disks than answer.
constexpr DWORD kMaxDiskNumberGaps = 16;

std::optional<std::string> ReadStringValue(HKEY key, std::string_view name) {
  DWORD type = 0, size = 0;
  if (win::RegQueryValueExW(key, name, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  std::vector<BYTE> data(size);
  if (win::RegQueryValueExW(key, name, &type, data.data(), &size) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  return win::RegStringFromData(data.data(), size);
}

std::optional<DWORD> ReadDwordValue(HKEY key, std::string_view name) {
  DWORD type = 0, value = 0, size = sizeof value;
  if (win::RegQueryValueExW(key, name, &type, reinterpret_cast<BYTE*>(&value), &size) !=
          ERROR_SUCCESS ||
      type != REG_DWORD) {
    return std::nullopt;
  }
  return value;
}

std::string WithoutDeviceWord(std::string name) {
  static constexpr std::string_view kDevice = " Device";
  for (std::size_t at; (at = name.find(kDevice)) != std::string::npos;) name.erase(at, kDevice.size());
  return name;
}

// A size box's text as a number. Text that is no number at all (pasted, or beyond 64 bits) counts
// as an empty box rather than an error nobody catches.
std::optional<LONGLONG> SizeBoxValue(const std::string& text) {
  if (text.empty()) return std::nullopt;
  try {
    return ParseDecimal(text);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
}

// "RM1 - Generic Flash Disk USB - 14.32 GB" -> "1".
std::string DiskNumberOfEntry(const std::string& entry) {
  std::string rest = entry.size() > 2 ? entry.substr(2) : std::string();
  return rest.substr(0, rest.find(" - "));
}

}  // namespace

void TSetupForm1::RefreshDiskLists() {
  win::RegKey enumKey;
  if (win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDiskEnumKey, 0, KEY_READ, enumKey) != ERROR_SUCCESS) {
    return;
  }
  const std::optional<DWORD> count = ReadDwordValue(enumKey.get(), "Count");
  if (!count) return;

  // Disk numbers may have gaps: an unplugged disk's number stays free while later disks keep
  // theirs, and the enumeration then lists the present disks only. So numbers are tried until
  // every enumerated disk has answered, and the k-th disk that answers takes the k-th entry.
  std::vector<std::string> entries;
  DWORD present = 0;
  DWORD gaps = 0;
  for (DWORD n = 0; present < *count && gaps < kMaxDiskNumberGaps; ++n) {
    DISK_GEOMETRY geometry{};
    switch (AskDiskGeometry(PhysicalDrivePath(n), geometry)) {
      case GeometryAnswer::Answered: break;
      case GeometryAnswer::NotOpened: ++gaps; continue;  // not there (any more): its line stays
      case GeometryAnswer::NoGeometry: return;           // the list stays as it was
    }
    const std::string instance =
        ReadStringValue(enumKey.get(), std::to_string(present++)).value_or("");
    win::RegKey device;
    // A device key that is missing or cannot be opened yields no entry; the next one is read.
    if (win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, kDeviceKeyPrefix + instance, 0, KEY_READ, device) !=
        ERROR_SUCCESS) {
      continue;
    }
    if (geometry.MediaType != RemovableMedia) continue;
    std::string name = ReadStringValue(device.get(), "FriendlyName")
                           .value_or(ReadStringValue(device.get(), "DeviceDesc").value_or("Unknow"));
    entries.push_back("RM" + std::to_string(n) + " - " + WithoutDeviceWord(std::move(name)) +
                      " - " + FormatByteSize(GeometryDiskSize(geometry)));
  }

  if (entries.empty()) {
    DiskLists->Clear();
    return;
  }
  DiskLists->SetItems(std::move(entries));
  if (!CurrentDiskIndex.empty()) {
    DiskLists->SetItemIndex(DiskLists->IndexOfIgnoringCase(CurrentDiskIndex));
  } else {
    DiskLists->SetItemIndex(0);
    DiskListsCalculate();
  }
}

void TSetupForm1::DiskListsChange() {
  if (DiskLists->Text() == CurrentDiskIndex) return;
  DiskListsCalculate();
  CurrentDiskIndex = DiskLists->Text();
  RefreshDrive = true;
  RefreshDiskLists();
  RefreshDrive = false;
}

void TSetupForm1::DiskListsCalculate() {
  if (DiskLists->Text().empty() || FAT32SizeBox->Text().empty()) return;
  DISK_GEOMETRY geometry{};
  if (!QueryDiskGeometry(PhysicalDrivePath(static_cast<DWORD>(
                             SizeBoxValue(DiskNumberOfEntry(DiskLists->Text())).value_or(-1))),
                         geometry)) {
    return;
  }
  const LONGLONG diskSize = GeometryDiskSize(geometry);
  // On a disk below 204 MB the room left for FAT32 (size - 104 MB) is under the floor of 100 MB.
  // The floor wins there, so that the box settles; the create job's size check has the last word.
  const LONGLONG maximum = std::max(diskSize / kMiB - 104, kFat32Floor);
  std::optional<LONGLONG> fat32 = SizeBoxValue(FAT32SizeBox->Text());
  if (!fat32) return;
  if (*fat32 > maximum) {
    FAT32SizeBox->SetText(std::to_string(maximum));  // runs FAT32SizeBoxChange first
    fat32 = SizeBoxValue(FAT32SizeBox->Text());
    if (!fat32) return;
  }
  // What remains for NTFS; nothing at all rather than a negative size on the smallest disks.
  const LONGLONG ntfs = std::max<LONGLONG>((diskSize - *fat32 * kMiB - 4194304) / kMiB, 0);
  NTFSSizeBox->SetText(std::to_string(ntfs));
}

void TSetupForm1::FAT32SizeBoxChange() {
  if (DiskLists->Text().empty()) {
    FAT32SizeBox->SetText("100");
    return;
  }
  const std::string text = FAT32SizeBox->Text();
  if (!SizeBoxValue(text)) {
    FAT32SizeBox->SetText("100");
  } else if (text.front() == '0') {
    FAT32SizeBox->SetText(text.substr(1));
  }
  const std::optional<LONGLONG> value = SizeBoxValue(FAT32SizeBox->Text());
  if (!value || *value < kFat32Floor) {
    FAT32SizeBox->SetText("100");
  } else if (*value > kFat32Ceiling) {
    FAT32SizeBox->SetText("32768");
  }
  DiskListsCalculate();
}

void TSetupForm1::ButtonCreateClick() {
  if (JobRuns()) {
    WriteLine(LookupText("WaitTasksMsg"));
    return;
  }
  if (DiskLists->ItemIndex() < 0) {
    WriteLine(LookupText("ChooseDiskMsg"));
    return;
  }
  const std::optional<LONGLONG> fat32 = SizeBoxValue(FAT32SizeBox->Text());
  const std::optional<LONGLONG> ntfs = SizeBoxValue(NTFSSizeBox->Text());
  if (!fat32 || !ntfs) {
    WriteLine(LookupText("EnterSizeMsg"));
    return;
  }
  StartCreateJob(DiskLists->Text(), *fat32, *ntfs, MBRItem->Checked());
}
