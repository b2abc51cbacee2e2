#include "disk/disk_queries.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "app/console_log.h"
#include "platform/seam.h"

namespace {

// Reading a disk or volume must never need exclusive access: others may have it open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

win::Handle OpenForReading(std::string_view path, DWORD attributes) {
  return win::Handle(
      win::CreateFileW(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, attributes, nullptr));
}

using BootSector = std::span<const BYTE, kBootSectorReadSize>;

// Byte-for-byte, so "exfat" is not "EXFAT".
bool HasText(BootSector sector, std::size_t offset, std::string_view text) {
  return std::equal(text.begin(), text.end(), sector.begin() + offset,
                    [](char c, BYTE b) { return static_cast<BYTE>(c) == b; });
}

std::uint64_t LittleEndian(BootSector sector, std::size_t offset, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = value << 8 | sector[offset + i];
  return value;
}

std::string Hex(std::uint64_t value, int digits) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) text += kDigits[value >> shift & 0xF];
  return text;
}

// The FAT and exFAT form: high half, "-", low half.
std::string SerialText(std::uint64_t serial) {
  return Hex(serial >> 16 & 0xFFFF, 4) + "-" + Hex(serial & 0xFFFF, 4);
}

std::string UserDecimalSeparator() {
  const DWORD savedError = win::GetLastError();  // a size text must not disturb the caller's error
  std::string separator;
  const bool found = win::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, separator) != 0 &&
                     !separator.empty();
  win::SetLastError(savedError);
  return found ? separator : std::string(".");
}

}  // namespace

std::string PhysicalDrivePath(DWORD diskNumber) {
  return "\\\\.\\PHYSICALDRIVE" + std::to_string(diskNumber);
}

std::string VolumePath(std::string_view name) { return "\\\\.\\" + std::string(name); }

std::string VolumeGuidName(std::string_view enumeratedName) {
  if (enumeratedName.starts_with("\\\\?\\")) enumeratedName.remove_prefix(4);
  if (enumeratedName.ends_with('\\')) enumeratedName.remove_suffix(1);
  return std::string(enumeratedName);
}

bool QueryDiskGeometry(std::string_view path, DISK_GEOMETRY& geometry) {
  return AskDiskGeometry(path, geometry) == GeometryAnswer::Answered;
}

GeometryAnswer AskDiskGeometry(std::string_view path, DISK_GEOMETRY& geometry) {
  win::Handle disk = OpenForReading(path, FILE_ATTRIBUTE_NORMAL);
  if (!disk) {
    WriteStatusLine(win::GetLastError());
    return GeometryAnswer::NotOpened;
  }
  DWORD returned = 0;
  if (!win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                            sizeof(DISK_GEOMETRY), &returned, nullptr)) {
    WriteStatusLine(win::GetLastError());
    return GeometryAnswer::NoGeometry;
  }
  return GeometryAnswer::Answered;
}

bool QueryDiskLength(std::string_view path, LONGLONG& length) {
  win::Handle disk = OpenForReading(path, FILE_ATTRIBUTE_NORMAL);
  GET_LENGTH_INFORMATION info{};
  DWORD returned = 0;
  if (!disk || !win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_LENGTH_INFO, nullptr, 0, &info,
                                     sizeof info, &returned, nullptr)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  length = info.Length.QuadPart;
  return true;
}

bool QueryVolumeExtent(std::string_view path, VolumeExtent& extent) {
  win::Handle volume = OpenForReading(path, 0);
  if (!volume) return false;
  // Room for one extent only: a volume spanning disks fails the request.
  VOLUME_DISK_EXTENTS extents{};
  DWORD returned = 0;
  if (!win::DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                            &extents, sizeof(VOLUME_DISK_EXTENTS), &returned, nullptr) ||
      extents.NumberOfDiskExtents < 1) {
    return false;
  }
  extent.DiskNumber = extents.Extents[0].DiskNumber;
  extent.StartingOffset = extents.Extents[0].StartingOffset.QuadPart;
  return true;
}

bool VolumeUuidFromBootSector(BootSector sector, std::string& uuid) {
  if (HasText(sector, 3, "NTFS")) {
    uuid = Hex(LittleEndian(sector, 72, 8), 16);
  } else if (HasText(sector, 3, "EXFAT")) {
    uuid = SerialText(LittleEndian(sector, 100, 4));
  } else if (HasText(sector, 82, "FAT32")) {
    uuid = SerialText(LittleEndian(sector, 67, 4));
  } else {
    return false;
  }
  return true;
}

bool ReadVolumeUuid(std::string_view name, std::string& uuid) {
  win::Handle volume = OpenForReading(VolumePath(name), FILE_ATTRIBUTE_NORMAL);
  if (!volume) return false;
  std::vector<BYTE> sector(kBootSectorReadSize);
  DWORD read = 0;
  // A short read would leave the decision to bytes that were never read.
  if (!win::ReadFile(volume.get(), sector.data(), static_cast<DWORD>(sector.size()), &read,
                     nullptr) ||
      read != sector.size()) {
    return false;
  }
  return VolumeUuidFromBootSector(BootSector(sector.data(), sector.size()), uuid);
}

std::string FormatByteSize(LONGLONG bytes) { return FormatByteSize(bytes, UserDecimalSeparator()); }

std::string FormatByteSize(LONGLONG bytes, std::string_view decimalSeparator) {
  int shift = 0;
  const char* unit = "bytes";
  if (bytes > LONGLONG{1} << 30) {
    shift = 30;
    unit = "GB";
  } else if (bytes > LONGLONG{1} << 20) {
    shift = 20;
    unit = "MB";
  } else if (bytes > LONGLONG{1} << 10) {
    shift = 10;
    unit = "KB";
  }
  // "#.##": no digit for a zero integer part, two fraction digits at most, trailing zeros and
  // a bare separator dropped.
  std::string text;
  if (shift == 0) {
    if (bytes != 0) text = std::to_string(bytes);
  } else {
    // The divisors are powers of two, so the value is exact in integers; round half up.
    const auto value = static_cast<std::uint64_t>(bytes);
    std::uint64_t whole = value >> shift;
    const std::uint64_t rest = value & ((std::uint64_t{1} << shift) - 1);
    std::uint64_t hundredths = (rest * 100 + (std::uint64_t{1} << (shift - 1))) >> shift;
    if (hundredths == 100) {
      ++whole;
      hundredths = 0;
    }
    text = std::to_string(whole);  // at least 1: the value exceeds its unit
    if (hundredths != 0) {
      std::string fraction{static_cast<char>('0' + hundredths / 10),
                           static_cast<char>('0' + hundredths % 10)};
      if (fraction.back() == '0') fraction.pop_back();
      text += decimalSeparator;
      text += fraction;
    }
  }
  return text + " " + unit;
}

LONGLONG GeometryDiskSize(const DISK_GEOMETRY& geometry) {
  // In 64 bits from the first factor on; unsigned, so a nonsensical geometry wraps rather than
  // overflowing.
  const std::uint64_t size = static_cast<std::uint64_t>(geometry.Cylinders.QuadPart) *
                             geometry.TracksPerCylinder * geometry.SectorsPerTrack *
                             geometry.BytesPerSector;
  return static_cast<LONGLONG>(size);
}
