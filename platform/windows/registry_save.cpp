// RegSaveKeyW on the real API. The caller must have enabled SeBackupPrivilege.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {

LSTATUS RegSaveKeyW(HKEY key, std::string_view file, const SECURITY_ATTRIBUTES* security) {
  return ::RegSaveKeyW(key, detail::Wide(file).c_str(),
                       const_cast<SECURITY_ATTRIBUTES*>(security));
}

}  // namespace win
