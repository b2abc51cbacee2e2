// Share modes: whether a new open of a file or device is compatible with the opens that exist,
// by the rules of Win32 (each side's access must be allowed by the other side's share mode).
#pragma once

#include <memory>
#include <string>

#include "platform/win32_types.h"

namespace emu {

// One open of a shared object; it counts until the token is destroyed.
class ShareToken {
 public:
  virtual ~ShareToken() = default;
};

// Registers an open of `object` ("disk:1", "volume:{...}", "file:/host/path") with the access
// (GENERIC_READ / GENERIC_WRITE / DELETE bits) and share mode given. Fails with
// ERROR_SHARING_VIOLATION when an existing open forbids it (an empty token comes back).
DWORD OpenShared(const std::string& object, DWORD access, DWORD shareMode,
                 std::unique_ptr<ShareToken>& token);

// How many opens `object` has now.
std::size_t OpenCount(const std::string& object);

}  // namespace emu
