// The payload step of an install: the archive library and the payload archive, which the
// executable carries as resources, written into a fresh %TEMP%\kyrextract, which becomes the
// current directory, and the archive extracted there.
#pragma once

#include <functional>
#include <string>

#include "payload/seven_zip.h"
#include "platform/handles.h"

// The archive's password and the folder it goes to.
inline constexpr char kPayloadPassword[] = "qolvast";
inline constexpr char kPayloadFolder[] = "\\kyrextract";

// The GRUB installer in the payload, which the finishing stage starts.
inline constexpr char kPayloadInstaller[] = "tools\\grub-install.exe";

// Sets `tempdir`. False, with a status line written, when the folder cannot be replaced, or when
// a file that the process loads or starts from it cannot be kept from change or was changed
// after it was written (held_file.h); an error raised by the resources, the files or the archive
// library leaves the function. `archive` receives the binding, which keeps the library loaded for
// the rest of the run; `installer` the GRUB installer, held unchanged until it is started.
bool ExtractPayload(std::string& tempdir, const std::function<void(int)>& progress,
                    sevenzip::ComPtr<sevenzip::I7zInArchive>& archive, win::Handle& installer);
