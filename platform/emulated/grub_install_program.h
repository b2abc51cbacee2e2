// tools\grub-install.exe, the GRUB installer that the payload carries, as a program of the
// emulated machine. It takes grub-install's command line and installs GRUB for i386-pc for real:
// the core image comes from Debian's grub-mkimage and the payload's platform folder (-d), goes
// into the disk image (MBR gap or BIOS boot partition) with GRUB's boot code in sector 0, and
// GRUB's files go under the boot directory on the emulated volume. See docs/machine.md.
#pragma once

#include "platform/emulated/programs.h"

namespace emu {

// The program's body: its exit code (0 done, 1 an error, 64 a bad command line). Messages go to
// the console the process shares with its parent, or to the host's standard error when it runs
// without one (CREATE_NO_WINDOW, DETACHED_PROCESS, CREATE_NEW_CONSOLE).
DWORD RunGrubInstall(const ProgramRun& run);

}  // namespace emu
