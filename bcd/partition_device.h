// The partition identity inside a device element: which partition of which disk a store means.
#pragma once

#include <string_view>

#include "bcd/store_writer.h"

// `volume` is a drive letter with colon ("D:"); `data` comes from NewPartitionDevice(). Fills
// bytes 32 to 71: on MBR the partition's starting offset and the disk signature, on GPT the
// partition's and the disk's GUIDs. False when the volume or its disk cannot be opened or the
// volume lies in more than one extent; a layout that cannot be read, a GPT partition that is not
// found or another style leave the identity zero and still give true.
bool FillPartitionDevice(std::string_view volume, BcdDeviceData& data);
