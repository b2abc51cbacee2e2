// The finishing stage of an install: the payload folder onto the NTFS/exFAT volume, GRUB for BIOS
// onto the disk, the additional files, Info.ini, the menu's boot manager stores, and the start
// script when asked for.
#pragma once

#include <string>

#include "install/install_run.h"

// The GRUB installer's command line for drive `drive` (a letter) on disk `diskNumber`.
std::string GrubInstallCommand(const std::string& drive, DWORD diskNumber, bool bootsector);

// The command that starts the environment's start script on `drive`.
std::string StartScriptCommand(const std::string& drive);

// Runs with the extracted payload as current directory. True when everything was installed;
// false ends the run, with the console lines the failure calls for.
bool RunFinishingStage(InstallRun& run, bool autoRun);
