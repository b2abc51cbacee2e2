// What a program run did to the machine, for the fault sweep (docs/fault-sweep.md).
//
// With VELUND_SEAM_REPORT=FILE in the environment, every seam call that can be failed is noted,
// in the order the fault list counts them, and when the program ends the report is written to
// FILE (a path of the Linux host) as JSON: the calls (name, path, and the thread that made it,
// numbered from 0 in the order threads first call), the indices of the calls a fault failed, the
// handles still open, the volumes still
// locked and whether the boot store builders' work key is still in the registry.
#pragma once

#include <string_view>

namespace emu {

// Called when the machine's faults are put in place: the calls from here on are the ones a
// machine's "*" fault counts.
void StartNotingSeamCalls();
// Called by TakeFault for each seam call (programs excluded, as a "*" fault excludes them), with
// whether a machine fault failed it.
void NoteSeamCall(std::string_view call, std::string_view path, bool failed);

// Writes the report when VELUND_SEAM_REPORT is set; false when it could not be written.
bool WriteSeamReport();

}  // namespace emu
