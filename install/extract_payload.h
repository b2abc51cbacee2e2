// The payload step of an install: the archive library and the payload archive, which the
// executable carries as resources, written into a fresh %TEMP%\kyrextract, which becomes the
// current directory, and the archive extracted there.
#pragma once

#include <functional>
#include <string>

#include "payload/seven_zip.h"

// The archive's password and the folder it goes to.
inline constexpr char kPayloadPassword[] = "qolvast";
inline constexpr char kPayloadFolder[] = "\\kyrextract";

// Sets `tempdir`. False, with a status line written, when the folder cannot be replaced; an error
// raised by the resources, the files or the archive library leaves the function. `archive`
// receives the binding, which keeps the library loaded for the rest of the run.
bool ExtractPayload(std::string& tempdir, const std::function<void(int)>& progress,
                    sevenzip::ComPtr<sevenzip::I7zInArchive>& archive);
