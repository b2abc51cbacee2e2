// The setup window on the Win32 toolkit: a person drives it.
#include "ui/setup_form.h"
#include "ui/setup_window.h"
#include "ui/win32_toolkit.h"
#include "ui/window_thread.h"

namespace {

class NativeSetupWindow final : public SetupWindow {
 public:
  explicit NativeSetupWindow(WindowThread& windowThread)
      : toolkit_((windowThread.Attach(), windowThread)), form_(toolkit_, windowThread) {}

  HWND Handle() override { return form_.Handle(); }
  int PageControlLeft() const override { return form_.MainPageControl->Left(); }
  int PageControlTop() const override { return form_.MainPageControl->Top(); }
  int PageControlWidth() const override { return form_.MainPageControl->Width(); }
  int PageControlHeight() const override { return form_.MainPageControl->Height(); }
  void SetClientHeight(int height) override { form_.SetClientHeight(height); }
  void SetClientWidth(int width) override { form_.SetClientWidth(width); }
  void ShowModal() override { toolkit_.RunModal(form_); }

 private:
  ui::Win32Toolkit toolkit_;
  TSetupForm1 form_;
};

}  // namespace

std::unique_ptr<SetupWindow> CreateSetupWindow(WindowThread& windowThread) {
  return std::make_unique<NativeSetupWindow>(windowThread);
}
