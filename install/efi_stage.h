// The EFI stage of an install: the payload's UEFI loaders and a three-line GRUB configuration onto
// the FAT32 partition, then the Windows boot manager's stores there. The partition is reached by
// its drive letter, or, when it has none, through a temporary partition table that holds nothing
// but the FAT32 partition, so that the system mounts it as a volume.
#pragma once

#include <chrono>
#include <string>

#include "install/install_run.h"

// The three lines on the FAT32 partition that find the NTFS/exFAT volume by its identifier and
// hand over to the configuration stored there: LF between them, none after the last.
std::string EfiGrubConfig(const std::string& identifier);

// Writes the loaders below `target` (a drive "F:" or a volume path \\?\Volume{GUID} without
// trailing backslash); with `keep` the firmware's fallback folder \EFI\Boot is left alone. True
// when every file was written; writes its own console text and status lines. An error is raised
// when the configuration file cannot be written.
bool SetupEfiPartition(const std::string& target, const std::string& identifier, bool keep);

// The stage in the mode the run is in. `identifier` is the NTFS/exFAT volume's. False ends the run;
// on success the disk handle is closed.
bool RunEfiStage(InstallRun& run, const std::string& identifier);

// How long partition mode waits for a volume to arrive after a layout was written: the FAT32
// volume after the temporary layout, the NTFS/exFAT volume after the write-back.
extern std::chrono::milliseconds PartitionModeArrivalLimit;
