// The setup window on the Win32 toolkit: a person drives it.
#include "ui/toolkit_setup_window.h"
#include "ui/win32_toolkit.h"

namespace {

class NativeSetupWindow final : public ToolkitSetupWindow<ui::Win32Toolkit> {
 public:
  using ToolkitSetupWindow::ToolkitSetupWindow;
  void ShowModal() override { toolkit_.RunModal(form_); }
};

}  // namespace

std::unique_ptr<SetupWindow> CreateSetupWindow(WindowThread& windowThread) {
  return std::make_unique<NativeSetupWindow>(windowThread);
}
