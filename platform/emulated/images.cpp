#include "platform/emulated/images.h"

#include <system_error>

#include "platform/emulated/paths.h"
#include "platform/emulated/storage.h"

namespace emu {

DWORD MapImage(const std::filesystem::path& host, std::unique_ptr<ShareToken>& image) {
  image.reset();
  const std::string object = "file:" + host.string();
  std::unique_ptr<ShareToken> loaderOpen;
  if (DWORD status =
          OpenShared(object, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, loaderOpen);
      status != ERROR_SUCCESS) {
    return status;
  }
  return OpenShared(object, GENERIC_READ, FILE_SHARE_READ, image);
}

DWORD MapImageAt(std::string_view path, std::unique_ptr<ShareToken>& image) {
  image.reset();
  FilePath parsed;
  if (DWORD status = ParseFilePath(path, parsed); status != ERROR_SUCCESS) return status;
  auto locked = Storage::Lock();
  HostPath resolved;
  if (DWORD status = ResolveFilePath(locked.storage, parsed, resolved); status != ERROR_SUCCESS) {
    return status;
  }
  std::error_code ec;
  if (!std::filesystem::is_regular_file(resolved.host, ec)) return ERROR_FILE_NOT_FOUND;
  return MapImage(resolved.host, image);
}

}  // namespace emu
