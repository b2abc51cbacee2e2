// The two kinds of boot configuration store the installer writes: the menu's stores on the
// NTFS/exFAT drive and the boot manager's own stores on the FAT32 partition.
#pragma once

#include <string>

// Writes drive + "\KYR\Menu\BCD_pc" and drive + "\KYR\Menu\BCD_efi" (identical), whose ramdisk
// options point at \KYR\PXE\MS\boot.sdi on `drive` ("D:"). The folder \KYR\Menu must exist.
// True when both were saved.
bool BuildMenuBcd(const std::string& drive);

// Writes root + "\Boot\BCD" and root + "\EFI\Microsoft\Boot\BCD" (identical); `root` is a drive
// letter with colon or a volume path \\?\Volume{GUID} without trailing backslash, and
// root + "\EFI" must exist. True when both were saved.
bool BuildEspBcd(const std::string& root);
