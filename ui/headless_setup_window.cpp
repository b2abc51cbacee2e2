// The setup window on the headless toolkit. Driven by the autopilot when VELUND_AUTOPILOT names
// a file of actions; without one there is no one to press its buttons, so it closes as soon as
// its creation is complete and describes itself on standard error.
#include <cstdio>
#include <cstdlib>

#include "ui/autopilot.h"
#include "ui/headless_toolkit.h"
#include "ui/language.h"
#include "ui/setup_form.h"
#include "ui/toolkit_setup_window.h"

namespace {

class CloseWhenCreated final : public WindowDriver {
 public:
  bool Act(TSetupForm1& form, ui::HeadlessToolkit&) override {
    if (form.Closed()) return false;
    std::fprintf(stderr, "[window] Velund Orrin Setup, client %d x %d, language %s, flag %zu bytes\n",
                 form.ClientWidth(), form.ClientHeight(), LanguageCode().c_str(),
                 form.LanguageImage->Picture().size());
    for (const CaptionRow& row : kCaptionTable) {
      const ui::Control* control = form.FindControl(row.control);
      std::fprintf(stderr, "[window] %s: %s\n", row.control,
                   control != nullptr ? control->Caption().c_str() : "");
    }
    form.Close();
    return true;
  }
  bool Stopped() const override { return false; }
  int ExitCode() const override { return 0; }
};

class HeadlessSetupWindow final : public ToolkitSetupWindow<ui::HeadlessToolkit> {
 public:
  explicit HeadlessSetupWindow(WindowThread& windowThread)
      : ToolkitSetupWindow(windowThread), driver_(AutopilotFromEnvironment()) {
    if (!driver_) driver_ = std::make_unique<CloseWhenCreated>();
    toolkit_.OnIdle = [this] {
      return form_.CreationComplete() && driver_->Act(form_, toolkit_);
    };
  }

  void ShowModal() override {
    form_.Handle();
    while (!form_.Closed() && !driver_->Stopped()) toolkit_.Turn(std::chrono::milliseconds(10));
    if (driver_->Stopped() && TSetupForm1::JobRuns()) {
      // A job's worker still runs and nothing will wait for it: the run ends here.
      std::fflush(stdout);
      std::fflush(stderr);
      std::_Exit(driver_->ExitCode());
    }
  }

  int ExitCode() const override { return driver_->ExitCode(); }

 private:
  std::unique_ptr<WindowDriver> driver_;
};

}  // namespace

std::unique_ptr<SetupWindow> CreateSetupWindow(WindowThread& windowThread) {
  return std::make_unique<HeadlessSetupWindow>(windowThread);
}
