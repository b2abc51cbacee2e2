// Stateless queries on physical disks and volumes, shared by the window and the workers. Each
// opens its own handle and closes it before returning, so any thread may call them.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "platform/win32_device_types.h"
#include "platform/win32_types.h"

// "\\.\PHYSICALDRIVE" + the disk number in decimal.
std::string PhysicalDrivePath(DWORD diskNumber);
// "\\.\" + name, for a drive ("E:") or a volume GUID name ("Volume{...}").
std::string VolumePath(std::string_view name);
// The volume GUID name of an enumerated volume name: \\?\Volume{GUID}\ without its leading
// "\\?\" and its trailing backslash.
std::string VolumeGuidName(std::string_view enumeratedName);

// Opens `path` (a physical drive path) and fills `geometry`. On failure writes one status line
// with the reason and returns false.
bool QueryDiskGeometry(std::string_view path, DISK_GEOMETRY& geometry);

// The same query, telling a disk that could not be opened (unplugged, or never there) from one
// that was opened but gave no geometry.
enum class GeometryAnswer { Answered, NotOpened, NoGeometry };
GeometryAnswer AskDiskGeometry(std::string_view path, DISK_GEOMETRY& geometry);

// Opens `path` (a physical drive path) and gives the disk's true length in bytes, which may
// exceed its whole cylinders. On failure writes one status line and returns false.
bool QueryDiskLength(std::string_view path, LONGLONG& length);

// Where a volume lies: its first extent.
struct VolumeExtent {
  DWORD DiskNumber = 0;
  LONGLONG StartingOffset = 0;
};

// The first extent of the volume at `path`. False, silently, when the volume cannot be opened or
// reports no extent, or more extents than one (it spans disks).
bool QueryVolumeExtent(std::string_view path, VolumeExtent& extent);

// Bytes read from the start of a volume to find its file system.
constexpr std::size_t kBootSectorReadSize = 4096;

// The identifier GRUB's search.fs_uuid expects, for an NTFS, exFAT or FAT32 boot sector; false
// for any other file system.
bool VolumeUuidFromBootSector(std::span<const BYTE, kBootSectorReadSize> sector, std::string& uuid);

// Reads the boot sector of the volume `name` ("E:") and gives its identifier. False, silently,
// when the volume cannot be read or holds none of the three file systems.
bool ReadVolumeUuid(std::string_view name, std::string& uuid);

// A byte count as "1.5 GB", "512 KB", "100 bytes", with the user's decimal separator.
std::string FormatByteSize(LONGLONG bytes);
// The same with a given decimal separator.
std::string FormatByteSize(LONGLONG bytes, std::string_view decimalSeparator);

// Cylinders x tracks per cylinder x sectors per track x bytes per sector: whole cylinders only.
LONGLONG GeometryDiskSize(const DISK_GEOMETRY& geometry);
