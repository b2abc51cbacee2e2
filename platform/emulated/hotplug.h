// Plugging disks of the machine in and out while a program runs, with the device notifications
// Windows sends its top-level windows: for each volume that arrives or departs a
// DBT_DEVICEARRIVAL / DBT_DEVICEREMOVECOMPLETE of type DBT_DEVTYP_VOLUME followed by
// DBT_DEVNODES_CHANGED, and a DBT_DEVNODES_CHANGED for the disk device itself.
#pragma once

#include <string>

#include "platform/win32_types.h"

namespace emu {

// Plugs in disk `number`, one of the machine's disks that is not attached: declared with
// "attached": false in machine.json or unplugged earlier. Its partitions' volumes mount.
bool PlugDisk(DWORD number, std::string& error);

// Unplugs disk `number`: its volumes depart, handles open on it fail from now on with
// ERROR_DEVICE_NOT_CONNECTED, and it leaves the disk enumeration.
bool UnplugDisk(DWORD number, std::string& error);

}  // namespace emu
