// The window toolkit as the setup window sees it: a tree of controls with their properties and
// events, owned by a form, and the services only a real toolkit can give (metrics, message boxes,
// the modal loop, timers, the native window). The controls are plain state; a toolkit backend
// mirrors them on screen (or, headless, keeps them for whoever drives the window).
//
// Everything here is used on the window thread only.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/win32_types.h"

namespace ui {

enum class Kind {
  Form,
  PageControl,
  TabPage,
  GroupBox,
  Label,
  ComboBox,
  CheckBox,
  RadioButton,
  EditBox,
  PushButton,
  Image,
  ProgressBar,
};
const char* KindName(Kind kind);

struct Font {
  std::string face;
  int pixelHeight = 0;
  bool underline = false;
  std::string colour;  // empty: the system's window text colour
  bool operator==(const Font&) const = default;
};

struct Bounds {
  int left = 0, top = 0, width = 0, height = 0;
  bool operator==(const Bounds&) const = default;
};

enum class ProgressState { Normal, Paused };

// Message box styles (the values of MB_OK, MB_ICONERROR, ...). Own names, since windows.h makes
// the Win32 ones macros.
constexpr UINT kBoxOk = 0x00;
constexpr UINT kBoxIconError = 0x10;
constexpr UINT kBoxIconWarning = 0x30;
constexpr UINT kBoxIconInformation = 0x40;
constexpr int kBoxResultOk = 1;  // IDOK

class Form;
class Toolkit;

class Control {
 public:
  Control(Form& form, Control* parent, Kind kind, std::string name);
  virtual ~Control() = default;
  Control(const Control&) = delete;
  Control& operator=(const Control&) = delete;

  const std::string& Name() const { return name_; }
  Kind kind() const { return kind_; }
  Control* Parent() const { return parent_; }
  const std::vector<Control*>& Children() const { return children_; }
  Form& OwnerForm() const { return form_; }

  // Bounds relative to the parent's client area.
  const Bounds& GetBounds() const { return bounds_; }
  int Left() const { return bounds_.left; }
  int Top() const { return bounds_.top; }
  int Width() const { return bounds_.width; }
  int Height() const { return bounds_.height; }
  int Bottom() const { return bounds_.top + bounds_.height; }
  void SetBounds(Bounds bounds);
  void SetLeft(int value);
  void SetTop(int value);
  void SetWidth(int value);
  void SetHeight(int value);

  const std::string& Caption() const { return caption_; }
  void SetCaption(std::string caption);
  const std::string& Hint() const { return hint_; }
  void SetHint(std::string hint);
  bool ShowHint() const { return showHint_; }
  void SetShowHint(bool show) { showHint_ = show; }

  // The control's own font, or its parent's when it has none.
  const Font& GetFont() const;
  bool HasOwnFont() const { return ownFont_; }
  void SetFont(Font font);

  bool Enabled() const { return enabled_; }
  void SetEnabled(bool enabled);
  bool Visible() const { return visible_; }
  void SetVisible(bool visible);
  // Visible, with every parent visible and, inside a page control, on the active page.
  bool Showing() const;

  bool TabStop() const { return tabStop_; }
  void SetTabStop(bool tabStop) { tabStop_ = tabStop; }
  int TabOrder() const { return tabOrder_; }
  void SetTabOrder(int order) { tabOrder_ = order; }
  bool HandCursor() const { return handCursor_; }
  void SetHandCursor(bool hand) { handCursor_ = hand; }

  // What a person's click does (buttons, check and radio buttons, labels, images): nothing when
  // the control is disabled.
  void Click();
  std::function<void()> OnClick;
  std::function<void()> OnChange;

 protected:
  void Changed();

 private:
  Form& form_;
  Control* parent_;
  Kind kind_;
  std::string name_;
  std::vector<Control*> children_;
  Bounds bounds_;
  std::string caption_, hint_;
  bool showHint_ = false;
  Font font_;
  bool ownFont_ = false;
  bool enabled_ = true, visible_ = true, tabStop_ = false, handCursor_ = false;
  int tabOrder_ = 0;
};

class PageControl;

class TabPage : public Control {
 public:
  TabPage(Form& form, PageControl* parent, std::string name);
};

class PageControl : public Control {
 public:
  PageControl(Form& form, Control* parent, std::string name);
  TabPage* ActivePage() const { return active_; }
  void SetActivePage(TabPage* page);
  std::vector<TabPage*> Pages() const;

 private:
  TabPage* active_ = nullptr;
};

// A pick-only combo box: its text is the selected entry or empty.
class ComboBox : public Control {
 public:
  using Control::Control;
  const std::vector<std::string>& Items() const { return items_; }
  // Replaces the entries as one update; nothing is selected afterwards.
  void SetItems(std::vector<std::string> items);
  void AddItem(std::string item);
  void Clear();
  int ItemIndex() const { return index_; }
  // Program selection: fires no OnChange.
  void SetItemIndex(int index);
  // The index of the entry equal to `text` with letter case ignored, as the platform's search
  // does; -1 when there is none.
  int IndexOfIgnoringCase(std::string_view text) const;
  std::string Text() const;
  // A person picks an entry: the selection changes and OnChange fires.
  void Pick(int index);

 private:
  std::vector<std::string> items_;
  int index_ = -1;
};

class EditBox : public Control {
 public:
  using Control::Control;
  const std::string& Text() const { return text_; }
  // The text changes; OnChange fires when it differs from the old one, as with a native edit box.
  void SetText(std::string text);
  // A person types `text` over the box's content: characters the box refuses (non-digits in a
  // digits-only box, anything beyond the length limit) are dropped. False when the box takes no
  // typing (read-only or disabled).
  bool Type(std::string_view text);
  bool DigitsOnly() const { return digitsOnly_; }
  void SetDigitsOnly(bool digits) { digitsOnly_ = digits; }
  std::size_t MaxLength() const { return maxLength_; }  // 0: no limit
  void SetMaxLength(std::size_t length) { maxLength_ = length; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool readOnly) { readOnly_ = readOnly; }
  bool RightAligned() const { return rightAligned_; }
  void SetRightAligned(bool right) { rightAligned_ = right; }

 private:
  std::string text_;
  bool digitsOnly_ = false, readOnly_ = false, rightAligned_ = false;
  std::size_t maxLength_ = 0;
};

// Static text. Text runs left to right from the left edge and sits at the top unless told otherwise.
class Label : public Control {
 public:
  Label(Form& form, Control* parent, std::string name)
      : Control(form, parent, Kind::Label, std::move(name)) {}
  // Right-to-left reading order: the text lies flush against the right edge.
  bool RightToLeft() const { return rightToLeft_; }
  void SetRightToLeft(bool rightToLeft) { rightToLeft_ = rightToLeft; }
  // One line of text, centred between the top and bottom edges.
  bool CentredVertically() const { return centredVertically_; }
  void SetCentredVertically(bool centred) { centredVertically_ = centred; }

 private:
  bool rightToLeft_ = false, centredVertically_ = false;
};

// Check boxes and radio buttons. Checking a radio button unchecks the radio buttons beside it.
class CheckControl : public Control {
 public:
  using Control::Control;
  bool Checked() const { return checked_; }
  void SetChecked(bool checked);

 private:
  bool checked_ = false;
};

class Image : public Control {
 public:
  using Control::Control;
  const std::vector<unsigned char>& Picture() const { return picture_; }
  void LoadPicture(const void* data, std::size_t size);
  bool Stretch() const { return stretch_; }
  void SetStretch(bool stretch) { stretch_ = stretch; }

 private:
  std::vector<unsigned char> picture_;
  bool stretch_ = false;
};

class ProgressBar : public Control {
 public:
  using Control::Control;
  int Min() const { return min_; }
  int Max() const { return max_; }
  int Position() const { return position_; }
  void SetRange(int min, int max);
  void SetPosition(int position);
  ProgressState State() const { return state_; }
  void SetState(ProgressState state);

 private:
  int min_ = 0, max_ = 100, position_ = 0;
  ProgressState state_ = ProgressState::Normal;
};

// What the form's owner does when a close is asked for.
enum class CloseAction { None, Free };

class Form : public Control {
 public:
  Form(Toolkit& toolkit, std::string name);
  ~Form() override;

  Toolkit& GetToolkit() const { return toolkit_; }

  // Controls are created by the form and live as long as it does.
  template <class T, class Parent, class... Args>
  T& Make(Parent* parent, Args&&... args) {
    auto control = std::make_unique<T>(*this, parent, std::forward<Args>(args)...);
    T& made = *control;
    owned_.push_back(std::move(control));
    return made;
  }
  Control* FindControl(std::string_view name) const;
  // Every control in creation order, the form first.
  std::vector<Control*> AllControls() const;

  int ClientWidth() const { return clientWidth_; }
  int ClientHeight() const { return clientHeight_; }
  void SetClientWidth(int width);
  void SetClientHeight(int height);

  // The native window, created on first use.
  HWND Handle();
  bool HandleAllocated() const { return handle_ != nullptr; }

  // A message box owned by the form; returns the button pressed.
  int ShowMessageBox(const std::string& text, const std::string& caption, UINT style);

  // The close button: asks OnClose, then closes unless it refused.
  void Close();
  bool Closed() const { return closed_; }
  std::function<void(CloseAction&)> OnClose;

  // Every message of the native window. The default does the toolkit's own processing only.
  virtual LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT DefaultWndProc(UINT message, WPARAM wParam, LPARAM lParam);

  // Registers a control made after Make() (used by Control's constructor).
  void Adopt(Control* control);

 private:
  Toolkit& toolkit_;
  std::vector<std::unique_ptr<Control>> owned_;
  std::vector<Control*> all_;
  int clientWidth_ = 0, clientHeight_ = 0;
  HWND handle_ = nullptr;
  bool closed_ = false;
};

// What a toolkit backend gives the form.
class Toolkit {
 public:
  virtual ~Toolkit() = default;

  // Header(g): the size in points of a group box's caption font.
  virtual int CaptionFontPoints(const Control& groupBox) const = 0;
  // The height of a combo box's closed field.
  virtual int ComboBoxClientHeight(const Control& comboBox) const = 0;
  // Where a page control puts its tab pages (the display area below the tab row).
  virtual Bounds TabPageBounds(const PageControl& pages) const = 0;

  virtual HWND CreateNativeWindow(Form& form) = 0;
  virtual void DestroyNativeWindow(Form& form, HWND window) = 0;

  virtual int ShowMessageBox(Form& owner, const std::string& text, const std::string& caption,
                             UINT style) = 0;

  // Shows `form` and runs the window thread's loop until the form has closed.
  virtual void RunModal(Form& form) = 0;

  // Calls `tick` on the window thread every `interval` until the timer is killed.
  using TimerId = unsigned;
  virtual TimerId SetTimer(std::chrono::milliseconds interval, std::function<void()> tick) = 0;
  virtual void KillTimer(TimerId id) = 0;

  // A control's property changed (a native toolkit mirrors it on screen).
  virtual void ControlChanged(Control&) {}
};

}  // namespace ui
