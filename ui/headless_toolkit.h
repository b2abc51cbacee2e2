// The toolkit without a screen. The controls keep their state for whoever drives the window (the
// autopilot, tests); message boxes are answered with OK at once and recorded on standard error as
// "box: CAPTION | TEXT | STYLE"; the modal loop runs the window thread's hand-offs, the native
// window's messages and the timers.
//
// Metrics, at 96 pixels per inch: a caption font of h pixels is round(h × 72 / 96) points; a
// combo box's closed field is its font's height + 14 pixels; a page control puts its tab pages 4
// pixels in from its sides, below a tab row of its font's height + 8 pixels and a 4-pixel gap.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "ui/toolkit.h"
#include "ui/window_thread.h"

namespace ui {

struct RecordedBox {
  std::string caption, text;
  UINT style = 0;
};

// "MB_OK|MB_ICONERROR" and the like.
std::string BoxStyleText(UINT style);

class HeadlessToolkit : public Toolkit {
 public:
  explicit HeadlessToolkit(WindowThread& windowThread) : windowThread_(windowThread) {}

  int CaptionFontPoints(const Control& groupBox) const override;
  int ComboBoxClientHeight(const Control& comboBox) const override;
  Bounds TabPageBounds(const PageControl& pages) const override;

  HWND CreateNativeWindow(Form& form) override;
  void DestroyNativeWindow(Form& form, HWND window) override;

  int ShowMessageBox(Form& owner, const std::string& text, const std::string& caption,
                     UINT style) override;

  void RunModal(Form& form) override;

  TimerId SetTimer(std::chrono::milliseconds interval, std::function<void()> tick) override;
  void KillTimer(TimerId id) override;
  std::size_t ActiveTimers() const { return timers_.size(); }

  // One turn of the loop: hand-offs, messages, due timers, then the idle hook. When none of them
  // had anything to do, sleeps until something arrives or at most `wait`.
  void Turn(std::chrono::milliseconds wait);
  // Turns the loop at least once, then until `done` holds or `timeout` has passed; false on
  // timeout (tests).
  bool RunUntil(const std::function<bool()>& done,
                std::chrono::milliseconds timeout = std::chrono::seconds(600));

  // Called once per turn while the loop runs; returns true when it did something, so that the
  // loop goes on at once instead of sleeping (the autopilot).
  std::function<bool()> OnIdle;

  // Every box shown so far.
  const std::vector<RecordedBox>& Boxes() const { return boxes_; }
  // Whether boxes are also written to standard error (on by default).
  void SetEchoBoxes(bool echo) { echoBoxes_ = echo; }

  WindowThread& GetWindowThread() const { return windowThread_; }

 private:
  bool PumpMessages();
  bool FireDueTimers();

  struct Timer {
    std::chrono::milliseconds interval;
    std::chrono::steady_clock::time_point due;
    std::function<void()> tick;
  };

  WindowThread& windowThread_;
  std::map<TimerId, Timer> timers_;
  TimerId nextTimer_ = 1;
  std::vector<RecordedBox> boxes_;
  bool echoBoxes_ = true;
};

}  // namespace ui
