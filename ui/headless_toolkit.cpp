#include "ui/headless_toolkit.h"

#include <cstdio>
#include <mutex>

#include "platform/seam.h"

namespace ui {
namespace {

// The forms behind the native windows, for the window procedure.
std::mutex gWindowsMutex;
std::map<HWND, Form*> gWindows;

#ifndef _WIN32
#define CALLBACK
#endif

LRESULT CALLBACK FormWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Form* form = nullptr;
  {
    std::lock_guard lock(gWindowsMutex);
    auto it = gWindows.find(window);
    if (it != gWindows.end()) form = it->second;
  }
  return form != nullptr ? form->WndProc(message, wParam, lParam) : 0;
}

// MulDiv's rounding: halves away from zero.
int RoundedDivision(int numerator, int denominator) {
  return (2 * numerator + (numerator >= 0 ? denominator : -denominator)) / (2 * denominator);
}

}  // namespace

std::string BoxStyleText(UINT style) {
  std::string text = "MB_OK";
  switch (style & 0xF0) {
    case 0x00: break;
    case kBoxIconError: text += "|MB_ICONERROR"; break;
    case 0x20: text += "|MB_ICONQUESTION"; break;
    case kBoxIconWarning: text += "|MB_ICONWARNING"; break;
    case kBoxIconInformation: text += "|MB_ICONINFORMATION"; break;
    default: break;
  }
  const UINT rest = style & ~0xF0u;
  if (rest != 0) {
    char hex[16];
    std::snprintf(hex, sizeof hex, "|0x%X", rest);
    text += hex;
  }
  return text;
}

int HeadlessToolkit::CaptionFontPoints(const Control& groupBox) const {
  return RoundedDivision(groupBox.GetFont().pixelHeight * 72, 96);
}

int HeadlessToolkit::ComboBoxClientHeight(const Control& comboBox) const {
  return comboBox.GetFont().pixelHeight + 14;
}

Bounds HeadlessToolkit::TabPageBounds(const PageControl& pages) const {
  const int top = pages.GetFont().pixelHeight + 8 + 4;
  return Bounds{4, top, pages.Width() - 8, pages.Height() - top - 4};
}

HWND HeadlessToolkit::CreateNativeWindow(Form& form) {
  HWND window = win::CreateWindowExW(0, "STATIC", form.Caption(), 0, 0, 0, form.ClientWidth(),
                                     form.ClientHeight(), nullptr, nullptr, nullptr, nullptr);
  if (window == nullptr) return nullptr;
  {
    std::lock_guard lock(gWindowsMutex);
    gWindows[window] = &form;
  }
  // Device notifications reach windows that have a procedure.
  win::SetWindowLongW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&FormWindowProcedure));
  return window;
}

void HeadlessToolkit::DestroyNativeWindow(Form&, HWND window) {
  {
    std::lock_guard lock(gWindowsMutex);
    gWindows.erase(window);
  }
  win::DestroyWindow(window);
}

int HeadlessToolkit::ShowMessageBox(Form&, const std::string& text, const std::string& caption,
                                    UINT style) {
  boxes_.push_back(RecordedBox{caption, text, style});
  if (echoBoxes_) {
    std::fprintf(stderr, "box: %s | %s | %s\n", caption.c_str(), text.c_str(),
                 BoxStyleText(style).c_str());
    std::fflush(stderr);
  }
  return kBoxResultOk;
}

void HeadlessToolkit::RunModal(Form& form) {
  form.Handle();
  while (!form.Closed()) Turn(std::chrono::milliseconds(10));
}

Toolkit::TimerId HeadlessToolkit::SetTimer(std::chrono::milliseconds interval,
                                           std::function<void()> tick) {
  const TimerId id = nextTimer_++;
  timers_[id] = Timer{interval, std::chrono::steady_clock::now() + interval, std::move(tick)};
  return id;
}

void HeadlessToolkit::KillTimer(TimerId id) { timers_.erase(id); }

bool HeadlessToolkit::PumpMessages() {
  bool any = false;
  MSG message{};
  // Sent messages (device notifications) run inside PeekMessageW; posted ones come out here.
  while (win::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
    win::TranslateMessage(&message);
    win::DispatchMessageW(&message);
    any = true;
  }
  return any;
}

bool HeadlessToolkit::FireDueTimers() {
  const auto now = std::chrono::steady_clock::now();
  std::vector<TimerId> due;
  for (const auto& [id, timer] : timers_) {
    if (timer.due <= now) due.push_back(id);
  }
  for (TimerId id : due) {
    auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // killed by an earlier tick
    it->second.due = now + it->second.interval;
    std::function<void()> tick = it->second.tick;
    tick();
  }
  return !due.empty();
}

void HeadlessToolkit::Turn(std::chrono::milliseconds wait) {
  const bool hadSteps = windowThread_.HasPending();
  windowThread_.ProcessPending();
  const bool hadMessages = PumpMessages();
  const bool hadTimers = FireDueTimers();
  const bool acted = OnIdle && OnIdle();
  if (hadSteps || hadMessages || hadTimers || acted) return;
  auto sleep = wait;
  const auto now = std::chrono::steady_clock::now();
  for (const auto& [id, timer] : timers_) {
    auto untilDue = std::chrono::duration_cast<std::chrono::milliseconds>(timer.due - now);
    if (untilDue < sleep) sleep = untilDue < std::chrono::milliseconds(0) ? std::chrono::milliseconds(0) : untilDue;
  }
  windowThread_.WaitForWork(sleep);
}

bool HeadlessToolkit::RunUntil(const std::function<bool()>& done,
                               std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  // One turn first: what has arrived (a notification, say) is taken before `done` is asked.
  do {
    Turn(std::chrono::milliseconds(5));
    if (done()) return true;
  } while (std::chrono::steady_clock::now() < end);
  return false;
}

}  // namespace ui
