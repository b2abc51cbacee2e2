// Image files: what Windows does with the file of a library it loads or of a program it starts.
#pragma once

#include <filesystem>
#include <memory>
#include <string_view>

#include "platform/emulated/sharing.h"
#include "platform/win32_types.h"

namespace emu {

// Maps the host file `host` as an image. Windows' loader first opens the file for execution
// (which sharing counts as reading), shared for reading and deleting only: an existing open that
// writes to the file, or that does not share reading, refuses it with ERROR_SHARING_VIOLATION.
// While `image` lives the file stays mapped, and Windows lets nobody write or delete it.
DWORD MapImage(const std::filesystem::path& host, std::unique_ptr<ShareToken>& image);

// The same for the file at the emulated path `path`: ERROR_FILE_NOT_FOUND when there is none.
DWORD MapImageAt(std::string_view path, std::unique_ptr<ShareToken>& image);

}  // namespace emu
