// Writing the files of the emulated volumes through into the file systems of their partitions.
//
// A volume's files live in its host folder (Storage::VolumeFolder) while programs run; the disk
// image's file system receives a faithful copy of that folder at fixed moments: when the volume is
// dismounted (FSCTL_DISMOUNT_VOLUME), before a new layout is written to its disk
// (IOCTL_DISK_SET_DRIVE_LAYOUT_EX), when the process ends, and on `velund-machine sync`. After a
// write-through the image's file system holds exactly the folder's files and folders (added,
// replaced and removed), with its label, serial and boot code left as they were.
//
//   FAT32  mtools at the partition's offset in the image (mdeltree, mcopy)
//   NTFS   the partition's bytes in a sparse scratch file, mounted with ntfs-3g (FUSE), filled,
//          unmounted, and copied back
//   exFAT  our own writer in place (exfat_writer.h): Debian's only exFAT writer, exfat-fuse,
//          mounts block devices only
//
// No root privileges, loop devices or mounts of the image itself are needed. The storage lock is
// only held to read what a write-through needs; the host tools run without it.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace emu {

class Storage;

// Writes the volumes with a partition on disk `number` through. Volumes whose first sector holds
// no file system are left alone; with `onlyChanged`, so are those whose folder and file system
// are as the last write-through of this process left them. False with the reasons when any
// volume could not be written.
bool SyncDiskVolumes(DWORD number, bool onlyChanged, std::string& error);

// The same for one volume, by its GUID ("{...}").
bool SyncVolume(const std::string& guid, bool onlyChanged, std::string& error);

// The same for every volume of the machine.
bool SyncAllVolumes(bool onlyChanged, std::string& error);

// Called with the storage lock held when the storage of a machine has been loaded: remembers how
// its volumes look now, so that the end of the process writes through only the volumes whose files
// it changed.
void NoteStorageLoaded(Storage& storage);

}  // namespace emu
