// Closing kernel handles on the real API.
#include "platform/seam.h"

namespace win {

BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }

}  // namespace win
