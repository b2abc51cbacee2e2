// Physical disks and volumes opened as devices: raw sector access to the image and the disk and
// volume control requests the system sends.
#include "platform/emulated/devices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/sharing.h"
#include "platform/emulated/volume_sync.h"
#include "platform/emulated/volume_touches.h"
#include "platform/seam.h"

namespace emu {
namespace {

// What a device handle reads and writes: a window onto the disk image.
class DeviceObject : public KernelObject {
 public:
  DeviceObject(std::string path, DWORD access, std::unique_ptr<ShareToken> token)
      : path_(std::move(path)), access_(access), token_(std::move(token)) {}

  DWORD FileType() const override { return FILE_TYPE_DISK; }

  DWORD Seek(LONGLONG distance, DWORD method, LONGLONG* newPosition) override {
    return MovePosition(position_, distance, method, [this](LONGLONG& length) {
      auto locked = Storage::Lock();
      length = DeviceLength(locked.storage);
      return DWORD(ERROR_SUCCESS);
    }, newPosition);
  }

  DWORD Read(void* data, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    if (auto fault = TakeFault("ReadFile", path_)) return *fault;
    if (!(access_ & (GENERIC_READ | GENERIC_ALL))) return ERROR_ACCESS_DENIED;
    auto locked = Storage::Lock();
    Storage& storage = locked.storage;
    if (DWORD status = Usable(storage); status != ERROR_SUCCESS) return status;
    // A device opened without buffering moves whole sectors only: Windows refuses a read that
    // starts or ends inside a sector with ERROR_INVALID_PARAMETER.
    const DWORD sector = SectorSize(storage);
    if (position_ % sector != 0 || size % sector != 0) return ERROR_INVALID_PARAMETER;
    const LONGLONG length = DeviceLength(storage);
    if (position_ >= length) return ERROR_SUCCESS;  // end of the device: nothing more to read
    const auto count = static_cast<DWORD>(std::min<LONGLONG>(size, length - position_));
    if (!Transfer(storage, position_, data, count, false)) return ERROR_CRC;
    position_ += count;
    if (read) *read = count;
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (auto fault = TakeFault("WriteFile", path_)) return *fault;
    if (!(access_ & (GENERIC_WRITE | GENERIC_ALL))) return ERROR_ACCESS_DENIED;
    auto locked = Storage::Lock();
    Storage& storage = locked.storage;
    if (DWORD status = Usable(storage); status != ERROR_SUCCESS) return status;
    // Whole sectors only, as for reads: a partial-sector write is ERROR_INVALID_PARAMETER.
    const DWORD sector = SectorSize(storage);
    if (position_ % sector != 0 || size % sector != 0) return ERROR_INVALID_PARAMETER;
    if (position_ + LONGLONG(size) > DeviceLength(storage)) return ERROR_SECTOR_NOT_FOUND;
    if (DWORD status = WriteAllowed(storage, position_, size); status != ERROR_SUCCESS) {
      return status;
    }
    if (!Transfer(storage, position_, const_cast<void*>(data), size, true)) return ERROR_WRITE_FAULT;
    position_ += size;
    if (written) *written = size;
    return ERROR_SUCCESS;
  }

  DWORD Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                DWORD* returned) override {
    if (returned) *returned = 0;
    if (auto fault = TakeFault("DeviceIoControl", path_, code)) return *fault;
    BeforeRequest(code);
    auto locked = Storage::Lock();
    if (DWORD status = Usable(locked.storage); status != ERROR_SUCCESS) return status;
    return Request(locked.storage, code, in, inSize, out, outSize, returned);
  }

 protected:
  virtual LONGLONG DeviceLength(Storage& storage) = 0;
  virtual DWORD SectorSize(Storage& storage) = 0;
  // Is the device still there (a disk unplugged, a volume gone with its partition)?
  virtual DWORD Usable(Storage& storage) = 0;
  virtual DWORD WriteAllowed(Storage& storage, LONGLONG offset, DWORD size) = 0;
  virtual bool Transfer(Storage& storage, LONGLONG offset, void* data, DWORD size, bool write) = 0;
  virtual DWORD Request(Storage& storage, DWORD code, const void* in, DWORD inSize, void* out,
                        DWORD outSize, DWORD* returned) = 0;
  // Runs before the request, without the storage lock: requests after which the volumes' file
  // systems may change under their files have those files written through first.
  virtual void BeforeRequest(DWORD) {}
  static void ReportSync(bool written, const std::string& error) {
    if (!written) std::fprintf(stderr, "writing files into the disk image: %s\n", error.c_str());
  }

  bool CanWrite() const { return (access_ & (GENERIC_WRITE | GENERIC_ALL)) != 0; }
  bool CanRead() const { return (access_ & (GENERIC_READ | GENERIC_ALL)) != 0; }

  std::string path_;
  DWORD access_;
  LONGLONG position_ = 0;
  std::unique_ptr<ShareToken> token_;
};

DWORD CopyGeometry(const DiskDevice& disk, void* out, DWORD outSize, DWORD* returned) {
  if (out == nullptr || outSize < sizeof(DISK_GEOMETRY)) return ERROR_INSUFFICIENT_BUFFER;
  std::memcpy(out, &disk.geometry, sizeof(DISK_GEOMETRY));
  if (returned) *returned = sizeof(DISK_GEOMETRY);
  return ERROR_SUCCESS;
}

// The true length of the device, which may exceed its whole cylinders. Windows declares this
// request with FILE_READ_ACCESS and refuses it on a handle opened without read access.
DWORD CopyLength(const DiskDevice& disk, bool canRead, void* out, DWORD outSize, DWORD* returned) {
  if (!canRead) return ERROR_ACCESS_DENIED;
  if (out == nullptr || outSize < sizeof(GET_LENGTH_INFORMATION)) return ERROR_INSUFFICIENT_BUFFER;
  GET_LENGTH_INFORMATION length{};
  length.Length.QuadPart = static_cast<LONGLONG>(disk.length);
  std::memcpy(out, &length, sizeof length);
  if (returned) *returned = sizeof length;
  return ERROR_SUCCESS;
}

// Writes through a disk handle may not touch a mounted file system unless its volume is locked
// or dismounted (the rule Windows has enforced since Vista).
DWORD DiskWriteAllowed(Storage& storage, DWORD disk, LONGLONG offset, LONGLONG size,
                       const Volume* except) {
  for (const auto& volume : storage.Volumes()) {
    if (volume.get() == except || volume->lockedBy != nullptr || volume->dismounted) continue;
    for (const VolumeExtent& extent : volume->extents) {
      if (extent.disk != disk) continue;
      const bool overlaps = offset < extent.offset + extent.length && extent.offset < offset + size;
      if (overlaps && !VolumeFileSystem(storage, *volume).empty()) return ERROR_ACCESS_DENIED;
    }
  }
  return ERROR_SUCCESS;
}

class DiskObject : public DeviceObject {
 public:
  DiskObject(std::string path, DWORD access, std::unique_ptr<ShareToken> token, DWORD number)
      : DeviceObject(std::move(path), access, std::move(token)), number_(number) {}

 protected:
  LONGLONG DeviceLength(Storage& storage) override {
    DiskDevice* disk = storage.FindDisk(number_);
    return disk ? static_cast<LONGLONG>(disk->length) : 0;
  }
  DWORD SectorSize(Storage& storage) override {
    DiskDevice* disk = storage.FindDisk(number_);
    return disk ? disk->geometry.BytesPerSector : 512;
  }
  DWORD Usable(Storage& storage) override {
    return storage.FindDisk(number_) ? ERROR_SUCCESS : ERROR_DEVICE_NOT_CONNECTED;
  }
  DWORD WriteAllowed(Storage& storage, LONGLONG offset, DWORD size) override {
    return DiskWriteAllowed(storage, number_, offset, size, nullptr);
  }
  bool Transfer(Storage& storage, LONGLONG offset, void* data, DWORD size, bool write) override {
    DiskDevice* disk = storage.FindDisk(number_);
    DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
    return write ? image.Write(offset, data, size) : image.Read(offset, data, size);
  }

  void BeforeRequest(DWORD code) override {
    if (code != IOCTL_DISK_SET_DRIVE_LAYOUT_EX || !CanWrite()) return;
    std::string error;
    ReportSync(SyncDiskVolumes(number_, true, error), error);
  }

  DWORD Request(Storage& storage, DWORD code, const void* in, DWORD inSize, void* out,
                DWORD outSize, DWORD* returned) override {
    DiskDevice& disk = *storage.FindDisk(number_);
    switch (code) {
      case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        return CopyGeometry(disk, out, outSize, returned);
      case IOCTL_DISK_GET_LENGTH_INFO:
        return CopyLength(disk, CanRead(), out, outSize, returned);
      case IOCTL_DISK_GET_DRIVE_LAYOUT_EX:
        return FillDriveLayout(disk.table, out, outSize, returned);
      case IOCTL_DISK_SET_DRIVE_LAYOUT_EX: {
        if (!CanWrite()) return ERROR_ACCESS_DENIED;
        if (in == nullptr) return ERROR_INVALID_PARAMETER;
        DiskImage image(disk.image, disk.length, disk.geometry.BytesPerSector);
        if (DWORD status = WriteDriveLayout(image, disk.geometry, in, inSize);
            status != ERROR_SUCCESS) {
          return status;
        }
        storage.RescanDisk(number_);
        return ERROR_SUCCESS;
      }
      case IOCTL_DISK_UPDATE_PROPERTIES:
        storage.RescanDisk(number_);
        return ERROR_SUCCESS;
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

 private:
  DWORD number_;
};

class VolumeObject : public DeviceObject {
 public:
  VolumeObject(std::string path, DWORD access, std::unique_ptr<ShareToken> token,
               std::shared_ptr<Volume> volume)
      : DeviceObject(std::move(path), access, std::move(token)), volume_(std::move(volume)) {}

  ~VolumeObject() override {
    // Closing the handle ends its lock, and a dismounted volume mounts again on next use.
    auto locked = Storage::Lock();
    if (volume_->lockedBy == this) {
      volume_->lockedBy = nullptr;
      volume_->dismounted = false;
    }
  }

 protected:
  LONGLONG DeviceLength(Storage&) override { return volume_->Length(); }
  DWORD SectorSize(Storage& storage) override {
    DiskDevice* disk = storage.FindDisk(volume_->Disk());
    return disk ? disk->geometry.BytesPerSector : 512;
  }
  DWORD Usable(Storage& storage) override {
    for (const auto& volume : storage.Volumes()) {
      if (volume == volume_) return ERROR_SUCCESS;
    }
    return ERROR_DEVICE_NOT_CONNECTED;  // its partition is gone
  }
  DWORD WriteAllowed(Storage& storage, LONGLONG, DWORD) override {
    const bool mine = volume_->lockedBy == this || volume_->dismounted;
    if (!mine && !VolumeFileSystem(storage, *volume_).empty()) return ERROR_ACCESS_DENIED;
    return ERROR_SUCCESS;
  }
  bool Transfer(Storage& storage, LONGLONG offset, void* data, DWORD size, bool write) override {
    auto* bytes = static_cast<BYTE*>(data);
    for (const VolumeExtent& extent : volume_->extents) {
      if (size == 0) break;
      if (offset >= extent.length) {
        offset -= extent.length;
        continue;
      }
      DiskDevice* disk = storage.FindDisk(extent.disk);
      if (disk == nullptr) return false;
      DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
      const auto part = static_cast<DWORD>(std::min<LONGLONG>(size, extent.length - offset));
      const ULONGLONG at = static_cast<ULONGLONG>(extent.offset + offset);
      if (!(write ? image.Write(at, bytes, part) : image.Read(at, bytes, part))) return false;
      bytes += part;
      size -= part;
      offset = 0;
    }
    return size == 0;
  }

  void BeforeRequest(DWORD code) override {
    if (code != FSCTL_DISMOUNT_VOLUME || !CanWrite()) return;
    {
      auto locked = Storage::Lock();
      if (volume_->dismounted) return;  // written through when it was dismounted
    }
    std::string error;
    ReportSync(SyncVolume(volume_->guid, true, error), error);
  }

  DWORD Request(Storage& storage, DWORD code, const void*, DWORD, void* out, DWORD outSize,
                DWORD* returned) override {
    switch (code) {
      case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: {
        if (out == nullptr || outSize < sizeof(VOLUME_DISK_EXTENTS)) {
          return ERROR_INSUFFICIENT_BUFFER;
        }
        auto* extents = static_cast<VOLUME_DISK_EXTENTS*>(out);
        const std::size_t count = volume_->extents.size();
        extents->NumberOfDiskExtents = static_cast<DWORD>(count);
        const std::size_t needed =
            offsetof(VOLUME_DISK_EXTENTS, Extents) + count * sizeof(DISK_EXTENT);
        if (outSize < needed) {
          if (returned) *returned = sizeof(DWORD);
          return ERROR_MORE_DATA;
        }
        for (std::size_t i = 0; i < count; ++i) {
          DISK_EXTENT& extent = extents->Extents[i];
          extent.DiskNumber = volume_->extents[i].disk;
          extent.StartingOffset.QuadPart = volume_->extents[i].offset;
          extent.ExtentLength.QuadPart = volume_->extents[i].length;
        }
        if (returned) *returned = static_cast<DWORD>(needed);
        return ERROR_SUCCESS;
      }
      case IOCTL_DISK_GET_DRIVE_GEOMETRY: {
        DiskDevice* disk = storage.FindDisk(volume_->Disk());
        if (disk == nullptr || volume_->extents.size() != 1) return ERROR_INVALID_FUNCTION;
        return CopyGeometry(*disk, out, outSize, returned);
      }
      case FSCTL_LOCK_VOLUME:
        // Nobody else may have the volume or a file on it open.
        if (volume_->lockedBy == this) return ERROR_SUCCESS;
        if (volume_->lockedBy != nullptr || volume_->held ||
            OpenCount(VolumeShareName(*volume_)) > 1 || OpenFilesOnVolume(*volume_) > 0) {
          return ERROR_ACCESS_DENIED;
        }
        volume_->lockedBy = this;
        RecordVolumeTouch(*volume_, VolumeTouch::Locked);
        return ERROR_SUCCESS;
      case FSCTL_UNLOCK_VOLUME:
        if (volume_->lockedBy != this) return ERROR_NOT_LOCKED;
        volume_->lockedBy = nullptr;
        volume_->dismounted = false;
        return ERROR_SUCCESS;
      case FSCTL_DISMOUNT_VOLUME:
        if (!CanWrite()) return ERROR_ACCESS_DENIED;
        if (volume_->lockedBy != nullptr && volume_->lockedBy != this) return ERROR_ACCESS_DENIED;
        volume_->dismounted = true;
        RecordVolumeTouch(*volume_, VolumeTouch::Dismounted);
        return ERROR_SUCCESS;
      default:
        return ERROR_INVALID_FUNCTION;
    }
  }

 private:
  std::shared_ptr<Volume> volume_;
};

}  // namespace

std::string VolumeShareName(const Volume& volume) { return "volume:" + volume.guid; }

HANDLE OpenDevice(const DevicePath& device, std::string_view path, DWORD access, DWORD shareMode,
                  DWORD creationDisposition) {
  if (creationDisposition != OPEN_EXISTING && creationDisposition != OPEN_ALWAYS) {
    win::SetLastError(ERROR_ACCESS_DENIED);  // devices cannot be created or truncated
    return INVALID_HANDLE_VALUE;
  }
  auto locked = Storage::Lock();
  Storage& storage = locked.storage;
  std::shared_ptr<KernelObject> object;
  if (device.kind == DevicePath::Kind::Disk) {
    if (storage.FindDisk(device.disk) == nullptr) {
      win::SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<ShareToken> token;
    if (DWORD status = OpenShared("disk:" + std::to_string(device.disk), access, shareMode, token);
        status != ERROR_SUCCESS) {
      win::SetLastError(status);
      return INVALID_HANDLE_VALUE;
    }
    object = std::make_shared<DiskObject>(std::string(path), access, std::move(token), device.disk);
  } else {
    std::shared_ptr<Volume> volume = device.kind == DevicePath::Kind::VolumeLetter
                                         ? storage.FindVolumeByLetter(device.letter)
                                         : storage.FindVolumeByGuid(device.guid);
    if (volume == nullptr) {
      win::SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    if (volume->lockedBy != nullptr) {
      win::SetLastError(ERROR_ACCESS_DENIED);
      return INVALID_HANDLE_VALUE;
    }
    // A program that holds the volume has it open for reading and writing, sharing both.
    const bool wantsData = (access & (GENERIC_READ | GENERIC_WRITE | GENERIC_ALL)) != 0;
    if (volume->held && wantsData &&
        ((shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE)) !=
         (FILE_SHARE_READ | FILE_SHARE_WRITE))) {
      win::SetLastError(ERROR_SHARING_VIOLATION);
      return INVALID_HANDLE_VALUE;
    }
    std::unique_ptr<ShareToken> token;
    if (DWORD status = OpenShared(VolumeShareName(*volume), access, shareMode, token);
        status != ERROR_SUCCESS) {
      win::SetLastError(status);
      return INVALID_HANDLE_VALUE;
    }
    object = std::make_shared<VolumeObject>(std::string(path), access, std::move(token), volume);
  }
  locked.lock.unlock();
  win::SetLastError(ERROR_SUCCESS);
  return InsertHandle(std::move(object));
}

}  // namespace emu

namespace win {

BOOL ReadFile(HANDLE file, void* data, DWORD size, DWORD* read, OVERLAPPED*) {
  if (read) *read = 0;
  auto object = emu::LookupHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD status = object->Read(data, size, read);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  return TRUE;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, LARGE_INTEGER* newPosition,
                      DWORD moveMethod) {
  auto object = emu::LookupHandle(file);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (auto fault = emu::TakeFault("SetFilePointerEx")) {
    SetLastError(*fault);
    return FALSE;
  }
  LONGLONG position = 0;
  DWORD status = object->Seek(distance.QuadPart, moveMethod, &position);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  if (newPosition) newPosition->QuadPart = position;
  return TRUE;
}

DWORD SetFilePointer(HANDLE file, LONG distance, LONG* distanceHigh, DWORD moveMethod) {
  // Without a high part the distance is a signed 32-bit number; with one, the two halves make
  // a 64-bit distance and the new position's high half goes back there.
  LARGE_INTEGER move;
  if (distanceHigh) {
    move.QuadPart = (LONGLONG(*distanceHigh) << 32) | DWORD(distance);
  } else {
    move.QuadPart = distance;
  }
  LARGE_INTEGER position;
  if (!SetFilePointerEx(file, move, &position, moveMethod)) return INVALID_SET_FILE_POINTER;
  if (distanceHigh) *distanceHigh = position.u.HighPart;
  SetLastError(ERROR_SUCCESS);  // callers tell a low part of 0xFFFFFFFF from failure by this
  return position.u.LowPart;
}

BOOL DeviceIoControl(HANDLE device, DWORD controlCode, void* in, DWORD inSize, void* out,
                     DWORD outSize, DWORD* returned, OVERLAPPED*) {
  if (returned) *returned = 0;
  auto object = emu::LookupHandle(device);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  DWORD status = object->Control(controlCode, in, inSize, out, outSize, returned);
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
