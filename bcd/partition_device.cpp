#include "bcd/partition_device.h"

#include <cstring>
#include <memory>

#include "disk/disk_queries.h"
#include "disk/partition_layout.h"
#include "platform/seam.h"

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

win::Handle OpenForReading(const std::string& path) {
  return win::Handle(win::CreateFileW(path, GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

void PutLittleEndian(BcdDeviceData& data, std::size_t at, ULONGLONG value, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) data[at + i] = static_cast<BYTE>(value >> (8 * i));
}

// GUIDs go in the byte order Windows keeps them in memory.
void PutGuid(BcdDeviceData& data, std::size_t at, const GUID& guid) {
  PutLittleEndian(data, at, guid.Data1, 4);
  PutLittleEndian(data, at + 4, guid.Data2, 2);
  PutLittleEndian(data, at + 6, guid.Data3, 2);
  std::memcpy(data.data() + at + 8, guid.Data4, 8);
}

}  // namespace

bool FillPartitionDevice(std::string_view volume, BcdDeviceData& data) {
  DWORD diskNumber = 0;
  LONGLONG startingOffset = 0;
  {
    win::Handle device = OpenForReading("\\\\.\\" + std::string(volume));
    if (!device) return false;
    VOLUME_DISK_EXTENTS extents{};  // room for one extent: a spanned volume fails the request
    DWORD returned = 0;
    if (!win::DeviceIoControl(device.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                              &extents, sizeof(extents), &returned, nullptr) ||
        extents.NumberOfDiskExtents != 1) {
      return false;
    }
    diskNumber = extents.Extents[0].DiskNumber;
    startingOffset = extents.Extents[0].StartingOffset.QuadPart;
  }

  win::Handle disk = OpenForReading(PhysicalDrivePath(diskNumber));
  if (!disk) return false;
  auto layout = std::make_unique<LayoutBuffer>();
  std::memset(layout->data(), 0, layout->size());
  DWORD returned = 0;
  if (!win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                            layout->data(), static_cast<DWORD>(layout->size()), &returned,
                            nullptr)) {
    return true;
  }

  const DRIVE_LAYOUT_INFORMATION_EX& header = *layout->get();
  if (header.PartitionStyle == PARTITION_STYLE_MBR) {
    PutLittleEndian(data, 32, static_cast<ULONGLONG>(startingOffset), 8);
    PutLittleEndian(data, 52, 1, 4);
    PutLittleEndian(data, 56, header.Mbr.Signature, 4);
  } else if (header.PartitionStyle == PARTITION_STYLE_GPT) {
    // Never beyond the buffer's 128 entries, whatever count the layout claims.
    const std::size_t count = std::min<std::size_t>(header.PartitionCount, kLayoutMaxPartitions);
    for (std::size_t i = 0; i < count; ++i) {
      const PARTITION_INFORMATION_EX& entry = *layout->entry(i);
      if (entry.StartingOffset.QuadPart != startingOffset) continue;
      PutGuid(data, 32, entry.Gpt.PartitionId);
      PutGuid(data, 56, header.Gpt.DiskId);
      break;
    }
  }
  return true;
}
