// Whether the system draws the window with visual styles (Windows only).
#pragma once

namespace ui {

// IsAppThemed of the system's UxTheme.dll, which stays loaded; false when that library or the
// call is missing.
bool AppThemed();

}  // namespace ui
