// What one run of the install worker carries from stage to stage.
#pragma once

#include <functional>
#include <string>

#include "disk/partition_layout.h"
#include "platform/handles.h"
#include "platform/win32_types.h"

struct InstallRun {
  std::string Drive;       // the NTFS/exFAT drive letter, without colon
  std::string FAT32Drive;  // the FAT32 drive letter (letter mode) or partition number
  bool Bootsector = false;
  bool partitionMode = false;

  DWORD diskNumber = 0;
  LONGLONG ntfsOffset = 0;
  LONGLONG fat32Offset = 0;
  std::size_t fat32EntryIndex = 0;  // partition mode: the FAT32 entry in the layout buffer
  win::Handle disk;                 // open from the target checks to the end of the EFI stage
  LayoutBuffer layout;
  win::Handle installer;            // the GRUB installer, held unchanged until it is started

  // Hands a progress position to the window thread and waits for it.
  std::function<void(int)> progress = [](int) {};
};
