// Before anything is written: both volumes resolved to their disk, the disk's table read and
// checked for room for GRUB's BIOS core image, and the FAT32 partition marked as the partition
// the firmware starts from (the active partition on MBR, the EFI system partition on GPT).
#pragma once

#include "install/install_run.h"

// False when the run ends here (what the console shows is written). On success the disk stays
// open and the layout buffer holds the disk's layout.
bool RunTargetChecks(InstallRun& run);

// The smallest gap GRUB's core image needs before the first partition of an MBR disk.
constexpr LONGLONG kGrubMbrGap = 66048;
