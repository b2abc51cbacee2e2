// What a program run did to the machine, for the fault sweep (docs/fault-sweep.md).
//
// With VELUND_SEAM_REPORT=FILE in the environment, every seam call that can be failed is noted,
// in the order the fault list counts them, and when the program ends the report is written to
// FILE (a path of the Linux host) as JSON: the calls, the handles still open, the volumes still
// locked and whether the boot store builders' work key is still in the registry.
#pragma once

#include <string_view>

namespace emu {

// Called by TakeFault for each seam call (programs excluded, as a "*" fault excludes them).
void NoteSeamCall(std::string_view call, std::string_view path);

// Writes the report when VELUND_SEAM_REPORT is set; false when it could not be written.
bool WriteSeamReport();

}  // namespace emu
