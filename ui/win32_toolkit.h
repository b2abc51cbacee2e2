// The toolkit on the real Win32 API: the form becomes a top-level window with the common controls
// (version 6, through the executable's manifest) as its children, and the controls' properties
// are mirrored onto them whenever they change. Windows only.
//
// The form's coordinates are design values at 96 pixels per inch; on screen they are scaled by
// the system's pixels per inch (the process is DPI aware). The metrics the layout asks for are
// measured on the system's own controls and fonts and given back in design values.
//
// The native tree is flatter than the form's: group boxes are siblings of what they contain, so
// that every control's notifications reach a window of this toolkit (the form or a tab page).
//
// Hand-offs from other threads are served by a thread timer on the window thread, so they also
// run while a message box or a move of the window has a message loop of its own.
#pragma once

#include <functional>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "ui/toolkit.h"

class WindowThread;

namespace ui {

class Win32Toolkit : public Toolkit {
 public:
  explicit Win32Toolkit(WindowThread& windowThread);
  ~Win32Toolkit() override;
  Win32Toolkit(const Win32Toolkit&) = delete;
  Win32Toolkit& operator=(const Win32Toolkit&) = delete;

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

  void ControlChanged(Control& control) override;

  // For the window procedures and the timer procedure.
  LRESULT FormMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT PageMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void TimerFired(UINT_PTR id);

 private:
  // What was last put on a control's native window, so that only changes reach it.
  struct Native {
    HWND window = nullptr;
    HWND parent = nullptr;  // the form, a tab control or a tab page
    UINT id = 0;
    bool fresh = true;  // nothing applied yet
    RECT rect{};
    std::string caption, hint, text;
    HFONT font = nullptr;
    bool enabled = true, visible = true, checked = false, readOnly = false;
    bool tip = false;
    std::vector<std::string> items;
    int index = -1;
    std::vector<unsigned char> picture;
    HBITMAP bitmap = nullptr;
    int min = 0, max = 100, position = 0, state = 0;
    std::size_t maxLength = 0;
    int activePage = -1;
  };

  int Scale(int value) const;
  int Unscale(int value) const;
  HFONT FontFor(const Font& font) const;
  HWND ScratchParent() const;

  // The window a control's native window is a child of, and where its parent's origin lies there
  // (design values).
  Control* Container(const Control& control, int& dx, int& dy) const;
  void CreateTree(Control& control);
  void CreateOne(Control& control);
  void Sync(Control& control);
  void SyncTree(Control& control);
  void SyncForm(Form& form);
  void SyncTip(Control& control, Native& native);
  void ApplyPicture(Image& image, Native& native);
  Control* ControlOf(HWND window) const;
  Native* NativeOf(const Control& control);

  // Messages that the form and the tab pages handle alike; false when `message` is not one.
  bool CommonMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result);
  void Command(Control& control, UINT code);
  bool TurnPage(Form& form, bool backwards);

  WindowThread& windowThread_;
  int dpi_ = 96;
  Form* form_ = nullptr;
  HWND formWindow_ = nullptr;
  HWND tooltip_ = nullptr;
  HWND lastFocus_ = nullptr;
  HBRUSH formBrush_ = nullptr, pageBrush_ = nullptr;
  UINT nextId_ = 100;
  std::map<const Control*, Native> natives_;
  std::map<HWND, Control*> controls_;
  mutable std::map<std::tuple<std::string, int, bool>, HFONT> fonts_;
  mutable std::map<HFONT, int> comboHeights_;
  mutable HWND scratch_ = nullptr;
  std::map<UINT_PTR, std::function<void()>> timers_;
  UINT_PTR handOffTimer_ = 0;
};

}  // namespace ui
