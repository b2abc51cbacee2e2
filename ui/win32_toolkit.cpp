#include "ui/win32_toolkit.h"

#include <commctrl.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "ui/win32_visual_styles.h"
#include "ui/window_thread.h"

namespace ui {
namespace {

constexpr wchar_t kFormClass[] = L"VelundOrrinSetupForm";
constexpr wchar_t kPageClass[] = L"VelundOrrinSetupPage";

// How often the window thread looks for hand-offs from other threads.
constexpr UINT kHandOffInterval = USER_TIMER_MINIMUM;
// The height of a combo box's drop-down list, design value.
constexpr int kDropDownHeight = 200;

// The one toolkit of the window thread, for the timer procedure.
Win32Toolkit* gToolkit = nullptr;

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                                       nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

std::string WindowText(HWND window) {
  const int length = GetWindowTextLengthW(window);
  std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
  const int got = GetWindowTextW(window, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(std::max(got, 0)));
  return Narrow(text);
}

// "blue", "#0000FF" and the other names a font colour is given by; the window text colour for
// anything else.
COLORREF ColourOf(const std::string& name) {
  struct Named {
    const char* name;
    COLORREF colour;
  };
  static const Named kNames[] = {
      {"black", RGB(0, 0, 0)},     {"white", RGB(255, 255, 255)}, {"red", RGB(255, 0, 0)},
      {"green", RGB(0, 128, 0)},   {"blue", RGB(0, 0, 255)},      {"navy", RGB(0, 0, 128)},
      {"gray", RGB(128, 128, 128)}, {"maroon", RGB(128, 0, 0)},
  };
  for (const Named& named : kNames) {
    if (lstrcmpiA(named.name, name.c_str()) == 0) return named.colour;
  }
  if (name.size() == 7 && name[0] == '#') {
    const unsigned long value = std::strtoul(name.c_str() + 1, nullptr, 16);
    return RGB((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF);
  }
  return GetSysColor(COLOR_WINDOWTEXT);
}

bool IsContainer(Kind kind) {
  return kind == Kind::Form || kind == Kind::PageControl || kind == Kind::TabPage;
}

// The control's children in tab order (creation order among equals), which is the order their
// windows are made in and so the order the keyboard visits them.
std::vector<Control*> InTabOrder(const Control& control) {
  std::vector<Control*> children = control.Children();
  std::stable_sort(children.begin(), children.end(),
                   [](const Control* a, const Control* b) { return a->TabOrder() < b->TabOrder(); });
  return children;
}

LRESULT CALLBACK FormProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* kit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (kit == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return kit->FormMessage(window, message, wParam, lParam);
}

LRESULT CALLBACK PageProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  auto* kit = reinterpret_cast<Win32Toolkit*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (kit == nullptr) return DefWindowProcW(window, message, wParam, lParam);
  return kit->PageMessage(window, message, wParam, lParam);
}

void CALLBACK TimerProcedure(HWND, UINT, UINT_PTR id, DWORD) {
  if (gToolkit != nullptr) gToolkit->TimerFired(id);
}

}  // namespace

// ---- Set-up ---------------------------------------------------------------------------------

Win32Toolkit::Win32Toolkit(WindowThread& windowThread) : windowThread_(windowThread) {
  const bool themed = AppThemed();  // before the common controls may look for UxTheme themselves
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_TAB_CLASSES | ICC_BAR_CLASSES |
                                                      ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  HDC screen = GetDC(nullptr);
  if (screen != nullptr) {
    dpi_ = GetDeviceCaps(screen, LOGPIXELSY);
    ReleaseDC(nullptr, screen);
  }
  if (dpi_ <= 0) dpi_ = 96;

  // The form in the system's menu colour; the tab pages as the tab control's body is drawn.
  formBrush_ = GetSysColorBrush(COLOR_MENU);
  pageBrush_ = GetSysColorBrush(themed ? COLOR_WINDOW : COLOR_BTNFACE);

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW form{};
  form.cbSize = sizeof form;
  form.lpfnWndProc = &FormProcedure;
  form.hInstance = instance;
  form.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
  form.hIcon = LoadIconW(nullptr, reinterpret_cast<LPCWSTR>(IDI_APPLICATION));
  form.hbrBackground = formBrush_;
  form.lpszClassName = kFormClass;
  RegisterClassExW(&form);

  WNDCLASSEXW page{};
  page.cbSize = sizeof page;
  page.lpfnWndProc = &PageProcedure;
  page.hInstance = instance;
  page.hCursor = form.hCursor;
  page.hbrBackground = pageBrush_;
  page.lpszClassName = kPageClass;
  RegisterClassExW(&page);

  gToolkit = this;
}

Win32Toolkit::~Win32Toolkit() {
  for (const auto& [id, tick] : timers_) ::KillTimer(nullptr, id);
  if (handOffTimer_ != 0) ::KillTimer(nullptr, handOffTimer_);
  if (scratch_ != nullptr) DestroyWindow(scratch_);
  for (const auto& [key, font] : fonts_) DeleteObject(font);
  if (gToolkit == this) gToolkit = nullptr;
}

int Win32Toolkit::Scale(int value) const { return MulDiv(value, dpi_, 96); }
int Win32Toolkit::Unscale(int value) const { return MulDiv(value, 96, dpi_); }

HFONT Win32Toolkit::FontFor(const Font& font) const {
  const auto key = std::make_tuple(font.face, font.pixelHeight, font.underline);
  auto it = fonts_.find(key);
  if (it != fonts_.end()) return it->second;
  HFONT made = nullptr;
  if (font.pixelHeight > 0 || !font.face.empty()) {
    // A negative height asks for the character height, which is what the form's sizes are.
    made = CreateFontW(-Scale(font.pixelHeight > 0 ? font.pixelHeight : 12), 0, 0, 0, FW_NORMAL,
                       FALSE, font.underline ? TRUE : FALSE, FALSE, DEFAULT_CHARSET,
                       OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                       DEFAULT_PITCH | FF_DONTCARE, Wide(font.face).c_str());
  }
  if (made == nullptr) made = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
  fonts_[key] = made;
  return made;
}

// A hidden window for the controls that are made only to be measured.
HWND Win32Toolkit::ScratchParent() const {
  if (scratch_ == nullptr) {
    scratch_ = CreateWindowExW(0, kPageClass, L"", WS_POPUP, 0, 0, Scale(600), Scale(400), nullptr,
                               nullptr, GetModuleHandleW(nullptr), nullptr);
  }
  return scratch_;
}

// ---- Metrics --------------------------------------------------------------------------------

int Win32Toolkit::CaptionFontPoints(const Control& groupBox) const {
  HDC screen = GetDC(nullptr);
  if (screen == nullptr) return MulDiv(groupBox.GetFont().pixelHeight, 72, 96);
  HGDIOBJ old = SelectObject(screen, FontFor(groupBox.GetFont()));
  TEXTMETRICW metrics{};
  GetTextMetricsW(screen, &metrics);
  SelectObject(screen, old);
  ReleaseDC(nullptr, screen);
  // The character height without the internal leading, in points.
  return MulDiv(metrics.tmHeight - metrics.tmInternalLeading, 72, dpi_);
}

int Win32Toolkit::ComboBoxClientHeight(const Control& comboBox) const {
  HFONT font = FontFor(comboBox.GetFont());
  auto it = comboHeights_.find(font);
  if (it != comboHeights_.end()) return it->second;
  HWND probe = CreateWindowExW(0, WC_COMBOBOXW, L"", WS_CHILD | CBS_DROPDOWNLIST | WS_VSCROLL, 0,
                               0, Scale(200), Scale(kDropDownHeight), ScratchParent(), nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  int height = comboBox.GetFont().pixelHeight + 14;
  if (probe != nullptr) {
    SendMessageW(probe, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    RECT rect{};
    // A drop-down list's window is its closed field.
    GetWindowRect(probe, &rect);
    height = Unscale(rect.bottom - rect.top);
    DestroyWindow(probe);
  }
  comboHeights_[font] = height;
  return height;
}

Bounds Win32Toolkit::TabPageBounds(const PageControl& pages) const {
  const int width = Scale(std::max(pages.Width(), 100));
  const int height = Scale(std::max(pages.Height(), 200));
  HWND probe = CreateWindowExW(0, WC_TABCONTROLW, L"", WS_CHILD, 0, 0, width, height,
                               ScratchParent(), nullptr, GetModuleHandleW(nullptr), nullptr);
  Bounds bounds{4, pages.GetFont().pixelHeight + 12, pages.Width() - 8,
                pages.Height() - pages.GetFont().pixelHeight - 16};
  if (probe == nullptr) return bounds;
  SendMessageW(probe, WM_SETFONT, reinterpret_cast<WPARAM>(FontFor(pages.GetFont())), FALSE);
  int index = 0;
  for (const TabPage* page : pages.Pages()) {
    std::wstring caption = Wide(page->Caption().empty() ? std::string("X") : page->Caption());
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(probe, TCM_INSERTITEMW, static_cast<WPARAM>(index++),
                 reinterpret_cast<LPARAM>(&item));
  }
  if (index == 0) {
    wchar_t caption[] = L"X";
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption;
    SendMessageW(probe, TCM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&item));
  }
  RECT display{0, 0, width, height};
  SendMessageW(probe, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&display));
  DestroyWindow(probe);
  const int left = Unscale(display.left), top = Unscale(display.top);
  const int right = Unscale(width - display.right), bottom = Unscale(height - display.bottom);
  return Bounds{left, top, pages.Width() - left - right, pages.Height() - top - bottom};
}

// ---- The native tree ------------------------------------------------------------------------

Control* Win32Toolkit::Container(const Control& control, int& dx, int& dy) const {
  dx = dy = 0;
  for (Control* parent = control.Parent(); parent != nullptr; parent = parent->Parent()) {
    if (IsContainer(parent->kind())) return parent;
    dx += parent->Left();
    dy += parent->Top();
  }
  return nullptr;
}

Win32Toolkit::Native* Win32Toolkit::NativeOf(const Control& control) {
  auto it = natives_.find(&control);
  return it != natives_.end() && it->second.window != nullptr ? &it->second : nullptr;
}

Control* Win32Toolkit::ControlOf(HWND window) const {
  auto it = controls_.find(window);
  return it != controls_.end() ? it->second : nullptr;
}

HWND Win32Toolkit::CreateNativeWindow(Form& form) {
  form_ = &form;
  const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
  const DWORD exStyle = WS_EX_CONTROLPARENT;
  RECT rect{0, 0, Scale(form.ClientWidth()), Scale(form.ClientHeight())};
  AdjustWindowRectEx(&rect, style, FALSE, exStyle);
  formWindow_ = CreateWindowExW(exStyle, kFormClass, Wide(form.Caption()).c_str(), style,
                                CW_USEDEFAULT, CW_USEDEFAULT, rect.right - rect.left,
                                rect.bottom - rect.top, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
  if (formWindow_ == nullptr) {
    form_ = nullptr;
    return nullptr;
  }
  SetWindowLongPtrW(formWindow_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
  Native& native = natives_[&form];
  native.window = formWindow_;
  native.caption = form.Caption();
  controls_[formWindow_] = &form;

  tooltip_ = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr,
                             WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX, CW_USEDEFAULT,
                             CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, formWindow_, nullptr,
                             GetModuleHandleW(nullptr), nullptr);
  if (tooltip_ != nullptr) {
    // Hints of several lines keep their line breaks.
    SendMessageW(tooltip_, TTM_SETMAXTIPWIDTH, 0, Scale(400));
  }

  for (Control* child : InTabOrder(form)) CreateTree(*child);
  SyncTree(form);
  return formWindow_;
}

void Win32Toolkit::CreateTree(Control& control) {
  CreateOne(control);
  for (Control* child : InTabOrder(control)) CreateTree(*child);
  // A group box lies below what it frames (it paints no background of its own).
  if (control.kind() == Kind::GroupBox) {
    if (Native* native = NativeOf(control)) {
      SetWindowPos(native->window, HWND_BOTTOM, 0, 0, 0, 0,
                   SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
    }
  }
}

void Win32Toolkit::CreateOne(Control& control) {
  if (NativeOf(control) != nullptr || formWindow_ == nullptr) return;
  int dx = 0, dy = 0;
  Control* container = Container(control, dx, dy);
  if (container == nullptr) return;
  if (NativeOf(*container) == nullptr) CreateOne(*container);
  Native* parent = NativeOf(*container);
  if (parent == nullptr) return;

  const wchar_t* windowClass = WC_STATICW;
  DWORD style = WS_CHILD;
  DWORD exStyle = 0;
  const bool radioAfterRadio = [&] {
    if (control.kind() != Kind::RadioButton || control.Parent() == nullptr) return false;
    const auto& siblings = InTabOrder(*control.Parent());
    auto it = std::find(siblings.begin(), siblings.end(), &control);
    return it != siblings.begin() && (*(it - 1))->kind() == Kind::RadioButton;
  }();
  if (!radioAfterRadio) style |= WS_GROUP;
  if (control.TabStop()) style |= WS_TABSTOP;

  switch (control.kind()) {
    case Kind::Form: return;
    case Kind::PageControl:
      windowClass = WC_TABCONTROLW;
      style |= WS_CLIPSIBLINGS | WS_CLIPCHILDREN;
      exStyle |= WS_EX_CONTROLPARENT;
      break;
    case Kind::TabPage:
      windowClass = kPageClass;
      style = WS_CHILD | WS_CLIPCHILDREN;
      exStyle |= WS_EX_CONTROLPARENT;
      break;
    case Kind::GroupBox:
      windowClass = WC_BUTTONW;
      style = WS_CHILD | WS_GROUP | BS_GROUPBOX;  // ends the radio buttons' group before it
      // A group box paints only its frame and caption. Its parent clips its children out of what
      // it erases, so the box's inside would stay unpainted; a transparent child is not clipped.
      exStyle |= WS_EX_TRANSPARENT;
      break;
    case Kind::Label: {
      const auto& label = static_cast<const Label&>(control);
      style |= SS_NOPREFIX | SS_NOTIFY | (label.RightToLeft() ? SS_RIGHT : SS_LEFT);
      // A static control centres one line of text vertically with the image flag.
      if (label.CentredVertically()) style |= SS_CENTERIMAGE;
      if (label.RightToLeft()) exStyle |= WS_EX_RTLREADING | WS_EX_RIGHT;
      break;
    }
    case Kind::ComboBox:
      windowClass = WC_COMBOBOXW;
      style |= CBS_DROPDOWNLIST | WS_VSCROLL;
      break;
    case Kind::CheckBox:
      windowClass = WC_BUTTONW;
      style |= BS_CHECKBOX;  // the form decides what a click does
      break;
    case Kind::RadioButton:
      windowClass = WC_BUTTONW;
      style |= BS_RADIOBUTTON;
      break;
    case Kind::EditBox: {
      const auto& edit = static_cast<const EditBox&>(control);
      windowClass = WC_EDITW;
      style |= ES_AUTOHSCROLL;
      if (edit.DigitsOnly()) style |= ES_NUMBER;
      if (edit.RightAligned()) style |= ES_RIGHT;
      exStyle |= WS_EX_CLIENTEDGE;
      break;
    }
    case Kind::PushButton:
      windowClass = WC_BUTTONW;
      style |= BS_PUSHBUTTON;
      break;
    case Kind::Image:
      style |= SS_BITMAP | SS_NOTIFY |
               (static_cast<const Image&>(control).Stretch() ? SS_REALSIZECONTROL : SS_CENTERIMAGE);
      break;
    case Kind::ProgressBar:
      windowClass = PROGRESS_CLASSW;
      break;
  }

  Native& native = natives_[&control];
  native.id = nextId_++;
  native.parent = parent->window;
  native.window = CreateWindowExW(exStyle, windowClass, L"", style, 0, 0, 0, 0, parent->window,
                                  reinterpret_cast<HMENU>(static_cast<UINT_PTR>(native.id)),
                                  GetModuleHandleW(nullptr), nullptr);
  if (native.window == nullptr) return;
  // Siblings lie in the order they are made, the first on top: the keyboard's order, and the
  // form's own controls above the page control's tab row.
  SetWindowPos(native.window, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  controls_[native.window] = &control;
  if (control.kind() == Kind::TabPage) {
    SetWindowLongPtrW(native.window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    // The tab control gets its tab for the page.
    auto& pages = static_cast<PageControl&>(*control.Parent());
    const auto all = pages.Pages();
    const int index = static_cast<int>(std::find(all.begin(), all.end(), &control) - all.begin());
    std::wstring caption = Wide(control.Caption());
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = caption.data();
    SendMessageW(parent->window, TCM_INSERTITEMW, static_cast<WPARAM>(index),
                 reinterpret_cast<LPARAM>(&item));
    native.caption = control.Caption();
  }
}

void Win32Toolkit::SyncTree(Control& control) {
  Sync(control);
  for (Control* child : control.Children()) SyncTree(*child);
}

void Win32Toolkit::SyncForm(Form& form) {
  Native* native = NativeOf(form);
  if (native == nullptr) return;
  if (native->caption != form.Caption()) {
    native->caption = form.Caption();
    SetWindowTextW(native->window, Wide(form.Caption()).c_str());
  }
  RECT client{};
  GetClientRect(native->window, &client);
  const int width = Scale(form.ClientWidth()), height = Scale(form.ClientHeight());
  if (client.right != width || client.bottom != height) {
    RECT rect{0, 0, width, height};
    AdjustWindowRectEx(&rect, static_cast<DWORD>(GetWindowLongW(native->window, GWL_STYLE)), FALSE,
                       static_cast<DWORD>(GetWindowLongW(native->window, GWL_EXSTYLE)));
    SetWindowPos(native->window, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (native->fresh || native->enabled != form.Enabled()) {
    native->enabled = form.Enabled();
    EnableWindow(native->window, form.Enabled() ? TRUE : FALSE);
  }
  native->fresh = false;
}

void Win32Toolkit::Sync(Control& control) {
  if (control.kind() == Kind::Form) {
    SyncForm(static_cast<Form&>(control));
    return;
  }
  Native* found = NativeOf(control);
  if (found == nullptr) return;
  Native& native = *found;
  HWND window = native.window;
  const bool fresh = native.fresh;
  native.fresh = false;

  // Visible and enabled with every parent up to the native parent; a tab page only while it is
  // the active one.
  bool visible = control.Visible(), enabled = control.Enabled();
  int dx = 0, dy = 0;
  Container(control, dx, dy);
  for (const Control* parent = control.Parent(); parent != nullptr && !IsContainer(parent->kind());
       parent = parent->Parent()) {
    visible = visible && parent->Visible();
    enabled = enabled && parent->Enabled();
  }
  if (control.kind() == Kind::TabPage) {
    visible = visible && static_cast<PageControl*>(control.Parent())->ActivePage() == &control;
  }

  RECT rect{Scale(dx + control.Left()), Scale(dy + control.Top()),
            Scale(dx + control.Left() + control.Width()),
            Scale(dy + control.Top() + control.Height())};
  if (control.kind() == Kind::ComboBox) {
    // A combo box's window reaches down to the bottom of its drop-down list.
    rect.bottom = rect.top + Scale(ComboBoxClientHeight(control) + kDropDownHeight);
  }
  if (fresh || !EqualRect(&rect, &native.rect)) {
    native.rect = rect;
    SetWindowPos(window, nullptr, rect.left, rect.top, rect.right - rect.left,
                 rect.bottom - rect.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }

  HFONT font = FontFor(control.GetFont());
  if (fresh || font != native.font) {
    native.font = font;
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
  }

  switch (control.kind()) {
    case Kind::TabPage:
      if (fresh || native.caption != control.Caption()) {
        native.caption = control.Caption();
        auto& pages = static_cast<PageControl&>(*control.Parent());
        const auto all = pages.Pages();
        const int index = static_cast<int>(std::find(all.begin(), all.end(), &control) - all.begin());
        std::wstring caption = Wide(control.Caption());
        TCITEMW item{};
        item.mask = TCIF_TEXT;
        item.pszText = caption.data();
        SendMessageW(native.parent, TCM_SETITEMW, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item));
      }
      break;
    case Kind::PageControl: {
      auto& pages = static_cast<PageControl&>(control);
      const auto all = pages.Pages();
      const auto at = std::find(all.begin(), all.end(), pages.ActivePage());
      const int active = at == all.end() ? -1 : static_cast<int>(at - all.begin());
      if (fresh || native.activePage != active) {
        native.activePage = active;
        SendMessageW(window, TCM_SETCURSEL, static_cast<WPARAM>(active), 0);
      }
      break;
    }
    case Kind::GroupBox:
    case Kind::Label:
    case Kind::CheckBox:
    case Kind::RadioButton:
    case Kind::PushButton:
      if (fresh || native.caption != control.Caption()) {
        native.caption = control.Caption();
        SetWindowTextW(window, Wide(control.Caption()).c_str());
      }
      if (control.kind() == Kind::CheckBox || control.kind() == Kind::RadioButton) {
        const bool checked = static_cast<CheckControl&>(control).Checked();
        if (fresh || native.checked != checked) {
          native.checked = checked;
          SendMessageW(window, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
        }
      }
      break;
    case Kind::ComboBox: {
      auto& combo = static_cast<ComboBox&>(control);
      bool rebuilt = false;
      if (fresh || native.items != combo.Items()) {
        native.items = combo.Items();
        SendMessageW(window, CB_RESETCONTENT, 0, 0);
        for (const std::string& item : combo.Items()) {
          SendMessageW(window, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(item).c_str()));
        }
        rebuilt = true;
      }
      if (rebuilt || native.index != combo.ItemIndex()) {
        native.index = combo.ItemIndex();
        SendMessageW(window, CB_SETCURSEL, static_cast<WPARAM>(combo.ItemIndex()), 0);
      }
      break;
    }
    case Kind::EditBox: {
      auto& edit = static_cast<EditBox&>(control);
      if (fresh || native.maxLength != edit.MaxLength()) {
        native.maxLength = edit.MaxLength();
        SendMessageW(window, EM_LIMITTEXT, edit.MaxLength(), 0);
      }
      if (fresh || native.readOnly != edit.ReadOnly()) {
        native.readOnly = edit.ReadOnly();
        SendMessageW(window, EM_SETREADONLY, edit.ReadOnly() ? TRUE : FALSE, 0);
      }
      if (fresh || native.text != edit.Text()) {
        native.text = edit.Text();  // before the text goes in: EN_CHANGE then finds it equal
        SetWindowTextW(window, Wide(edit.Text()).c_str());
      }
      break;
    }
    case Kind::Image: ApplyPicture(static_cast<Image&>(control), native); break;
    case Kind::ProgressBar: {
      auto& bar = static_cast<ProgressBar&>(control);
      if (fresh || native.min != bar.Min() || native.max != bar.Max()) {
        native.min = bar.Min();
        native.max = bar.Max();
        SendMessageW(window, PBM_SETRANGE32, static_cast<WPARAM>(bar.Min()), bar.Max());
      }
      if (fresh || native.position != bar.Position()) {
        native.position = bar.Position();
        SendMessageW(window, PBM_SETPOS, static_cast<WPARAM>(bar.Position()), 0);
      }
      const int state = bar.State() == ProgressState::Paused ? PBST_PAUSED : PBST_NORMAL;
      if (fresh || native.state != state) {
        native.state = state;
        SendMessageW(window, PBM_SETSTATE, static_cast<WPARAM>(state), 0);
      }
      break;
    }
    case Kind::Form: break;
  }

  if (fresh || native.enabled != enabled) {
    native.enabled = enabled;
    if (!enabled && GetFocus() == window) {
      // Disabling the focused window would leave the keyboard nowhere: it moves on as the Tab
      // key would take it.
      HWND next = GetNextDlgTabItem(formWindow_, window, FALSE);
      SetFocus(next != nullptr && next != window ? next : formWindow_);
    }
    EnableWindow(window, enabled ? TRUE : FALSE);
  }
  if (fresh || native.visible != visible) {
    native.visible = visible;
    ShowWindow(window, visible ? SW_SHOWNA : SW_HIDE);
  }
  SyncTip(control, native);
}

void Win32Toolkit::ApplyPicture(Image& image, Native& native) {
  if (native.picture == image.Picture()) return;
  native.picture = image.Picture();
  const auto& bytes = image.Picture();
  HBITMAP bitmap = nullptr;
  // A bitmap file: the file header, then the bitmap's header, colour table and bits.
  if (bytes.size() > sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER) && bytes[0] == 'B' &&
      bytes[1] == 'M') {
    BITMAPFILEHEADER file{};
    std::memcpy(&file, bytes.data(), sizeof file);
    const auto* info = reinterpret_cast<const BITMAPINFO*>(bytes.data() + sizeof file);
    const BITMAPINFOHEADER& header = info->bmiHeader;
    // Uncompressed rows are padded to four bytes; a file too short for its bits is refused.
    const unsigned long long stride =
        (static_cast<unsigned long long>(header.biWidth > 0 ? header.biWidth : 0) *
             header.biBitCount + 31) / 32 * 4;
    const unsigned long long rows = header.biHeight < 0 ? -static_cast<long long>(header.biHeight)
                                                        : header.biHeight;
    const bool whole = header.biCompression != BI_RGB ||
                       file.bfOffBits + stride * rows <= bytes.size();
    if (header.biSize >= sizeof(BITMAPINFOHEADER) &&
        sizeof file + header.biSize <= file.bfOffBits && file.bfOffBits < bytes.size() && whole) {
      HDC screen = GetDC(nullptr);
      bitmap = CreateDIBitmap(screen, &info->bmiHeader, CBM_INIT, bytes.data() + file.bfOffBits,
                              info, DIB_RGB_COLORS);
      ReleaseDC(nullptr, screen);
    }
  }
  auto old = reinterpret_cast<HBITMAP>(
      SendMessageW(native.window, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap)));
  // The control may hand back a copy it made of the previous picture; both are ours to free.
  if (old != nullptr && old != native.bitmap) DeleteObject(old);
  if (native.bitmap != nullptr) DeleteObject(native.bitmap);
  native.bitmap = bitmap;
  // The static control takes the bitmap's size; the form's bounds win.
  SetWindowPos(native.window, nullptr, native.rect.left, native.rect.top,
               native.rect.right - native.rect.left, native.rect.bottom - native.rect.top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

void Win32Toolkit::SyncTip(Control& control, Native& native) {
  if (tooltip_ == nullptr) return;
  const std::string hint = control.ShowHint() ? control.Hint() : std::string();
  std::wstring text = Wide(hint);
  // Two tools: the control's own window while it takes the mouse, and its rectangle on the
  // parent while it is disabled (the mouse then reaches the parent).
  TTTOOLINFOW own{};
  own.cbSize = TTTOOLINFOW_V2_SIZE;
  own.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
  own.hwnd = native.parent;
  own.uId = reinterpret_cast<UINT_PTR>(native.window);
  own.lpszText = text.data();
  TTTOOLINFOW area{};
  area.cbSize = TTTOOLINFOW_V2_SIZE;
  area.uFlags = TTF_SUBCLASS;
  area.hwnd = native.parent;
  area.uId = native.id;
  area.rect = native.rect;
  area.lpszText = text.data();
  if (hint.empty()) {
    if (native.tip) {
      SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&own));
      SendMessageW(tooltip_, TTM_DELTOOLW, 0, reinterpret_cast<LPARAM>(&area));
      native.tip = false;
    }
  } else if (!native.tip) {
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&own));
    SendMessageW(tooltip_, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&area));
    native.tip = true;
  } else if (hint != native.hint) {
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&own));
    SendMessageW(tooltip_, TTM_UPDATETIPTEXTW, 0, reinterpret_cast<LPARAM>(&area));
  }
  if (native.tip) SendMessageW(tooltip_, TTM_NEWTOOLRECTW, 0, reinterpret_cast<LPARAM>(&area));
  native.hint = hint;
}

void Win32Toolkit::ControlChanged(Control& control) {
  if (formWindow_ == nullptr || &control.OwnerForm() != form_) return;
  if (control.kind() == Kind::Form) {
    SyncForm(static_cast<Form&>(control));
    return;
  }
  if (NativeOf(control) == nullptr) {
    // Made after the window (the progress bar at the first job start).
    CreateTree(control);
  }
  SyncTree(control);
}

void Win32Toolkit::DestroyNativeWindow(Form& form, HWND window) {
  if (&form != form_) {
    DestroyWindow(window);
    return;
  }
  SetWindowLongPtrW(window, GWLP_USERDATA, 0);
  // No message of the going windows reaches the form or its controls any more.
  for (auto& [control, native] : natives_) {
    if (control->kind() == Kind::TabPage && native.window != nullptr) {
      SetWindowLongPtrW(native.window, GWLP_USERDATA, 0);
    }
  }
  DestroyWindow(window);  // its children and the tooltip go with it
  for (auto& [control, native] : natives_) {
    if (native.bitmap != nullptr) DeleteObject(native.bitmap);
  }
  natives_.clear();
  controls_.clear();
  form_ = nullptr;
  formWindow_ = nullptr;
  tooltip_ = nullptr;
  lastFocus_ = nullptr;
}

// ---- Messages -------------------------------------------------------------------------------

void Win32Toolkit::Command(Control& control, UINT code) {
  switch (control.kind()) {
    case Kind::PushButton:
    case Kind::CheckBox:
    case Kind::RadioButton:
      if (code == BN_CLICKED) control.Click();
      break;
    case Kind::Label:
    case Kind::Image:
      if (code == STN_CLICKED) control.Click();
      break;
    case Kind::ComboBox:
      if (code == CBN_SELCHANGE) {
        Native* native = NativeOf(control);
        if (native == nullptr) break;
        const int index = static_cast<int>(SendMessageW(native->window, CB_GETCURSEL, 0, 0));
        native->index = index;
        static_cast<ComboBox&>(control).Pick(index);
      }
      break;
    case Kind::EditBox:
      if (code == EN_CHANGE) {
        Native* native = NativeOf(control);
        if (native == nullptr) break;
        std::string text = WindowText(native->window);
        if (text == native->text) break;  // the form's own text arriving
        auto& edit = static_cast<EditBox&>(control);
        if (edit.DigitsOnly()) {
          // ES_NUMBER stops typed letters but not pasted ones.
          std::string digits;
          for (char c : text) {
            if (c >= '0' && c <= '9') digits += c;
          }
          if (digits != text) {
            text = digits;
            native->text = digits;
            SetWindowTextW(native->window, Wide(digits).c_str());
          }
        }
        native->text = text;
        edit.SetText(std::move(text));
      }
      break;
    default: break;
  }
}

bool Win32Toolkit::CommonMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam,
                                 LRESULT& result) {
  switch (message) {
    case WM_COMMAND: {
      Control* control = lParam != 0 ? ControlOf(reinterpret_cast<HWND>(lParam)) : nullptr;
      if (control == nullptr) return false;
      Command(*control, HIWORD(wParam));
      result = 0;
      return true;
    }
    case WM_NOTIFY: {
      const auto* header = reinterpret_cast<const NMHDR*>(lParam);
      Control* control = header != nullptr ? ControlOf(header->hwndFrom) : nullptr;
      if (control == nullptr || control->kind() != Kind::PageControl) return false;
      if (header->code == TCN_SELCHANGE) {
        auto& pages = static_cast<PageControl&>(*control);
        const int index = static_cast<int>(SendMessageW(header->hwndFrom, TCM_GETCURSEL, 0, 0));
        const auto all = pages.Pages();
        if (index >= 0 && index < static_cast<int>(all.size())) {
          if (Native* native = NativeOf(pages)) native->activePage = index;
          pages.SetActivePage(all[static_cast<std::size_t>(index)]);
          if (pages.OnChange) pages.OnChange();
        }
      }
      result = 0;
      return true;
    }
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLORBTN: {
      Control* control = ControlOf(reinterpret_cast<HWND>(lParam));
      if (control == nullptr || control->kind() == Kind::EditBox) return false;
      HDC dc = reinterpret_cast<HDC>(wParam);
      if (!control->GetFont().colour.empty()) SetTextColor(dc, ColourOf(control->GetFont().colour));
      SetBkMode(dc, TRANSPARENT);
      result = reinterpret_cast<LRESULT>(window == formWindow_ ? formBrush_ : pageBrush_);
      return true;
    }
    case WM_SETCURSOR: {
      Control* control = ControlOf(reinterpret_cast<HWND>(wParam));
      if (control == nullptr || !control->HandCursor() || LOWORD(lParam) != HTCLIENT) return false;
      SetCursor(LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_HAND)));
      result = TRUE;
      return true;
    }
    default: return false;
  }
}

LRESULT Win32Toolkit::FormMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  Form* form = form_;
  if (form == nullptr || window != formWindow_) return DefWindowProcW(window, message, wParam, lParam);
  // The form sees every message first; what it answers counts for device notifications, which
  // are its own business.
  const LRESULT answer = form->WndProc(message, wParam, lParam);
  LRESULT result = 0;
  switch (message) {
    case WM_DEVICECHANGE: return answer != 0 ? answer : TRUE;
    case WM_CLOSE:
      form->Close();  // the form may refuse
      return 0;
    case WM_ACTIVATE:
      // Like a dialog: the focus goes back where it was when the window is active again.
      if (LOWORD(wParam) == WA_INACTIVE) {
        lastFocus_ = GetFocus();
      } else if (HIWORD(wParam) == 0 && lastFocus_ != nullptr && IsWindow(lastFocus_) &&
                 IsChild(window, lastFocus_) && IsWindowVisible(lastFocus_)) {
        SetFocus(lastFocus_);
        return 0;
      }
      break;
    default:
      if (CommonMessage(window, message, wParam, lParam, result)) return result;
      break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

LRESULT Win32Toolkit::PageMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  LRESULT result = 0;
  if (CommonMessage(window, message, wParam, lParam, result)) return result;
  return DefWindowProcW(window, message, wParam, lParam);
}

// ---- Boxes, the loop, timers ----------------------------------------------------------------

int Win32Toolkit::ShowMessageBox(Form& owner, const std::string& text, const std::string& caption,
                                 UINT style) {
  HWND window = owner.HandleAllocated() ? owner.Handle() : nullptr;
  return MessageBoxW(window, Wide(text).c_str(), Wide(caption).c_str(), style);
}

void Win32Toolkit::RunModal(Form& form) {
  HWND window = form.Handle();
  if (window == nullptr) return;

  // Centred on the screen its owner (the console) is on, not across the seam of two screens;
  // moved in where that would put it under the task bar.
  RECT rect{};
  GetWindowRect(window, &rect);
  const int width = rect.right - rect.left, height = rect.bottom - rect.top;
  HWND owner = GetWindow(window, GW_OWNER);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(owner != nullptr ? owner : window, MONITOR_DEFAULTTOPRIMARY),
                  &monitor);
  const RECT& screen = monitor.rcMonitor;
  const RECT& work = monitor.rcWork;
  int x = screen.left + ((screen.right - screen.left) - width) / 2;
  int y = screen.top + ((screen.bottom - screen.top) - height) / 2;
  x = std::max(std::min(x, static_cast<int>(work.right) - width), static_cast<int>(work.left));
  y = std::max(std::min(y, static_cast<int>(work.bottom) - height), static_cast<int>(work.top));
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);

  ShowWindow(window, SW_SHOWNORMAL);
  SetForegroundWindow(window);
  if (HWND first = GetNextDlgTabItem(window, nullptr, FALSE)) SetFocus(first);

  handOffTimer_ = ::SetTimer(nullptr, 0, kHandOffInterval, &TimerProcedure);
  windowThread_.ProcessPending();
  MSG message{};
  while (!form.Closed()) {
    const BOOL got = GetMessageW(&message, nullptr, 0, 0);
    if (got == 0) {
      PostQuitMessage(static_cast<int>(message.wParam));  // for whoever runs the outer loop
      break;
    }
    if (got == -1) break;
    if (message.message == WM_KEYDOWN && message.wParam == VK_TAB &&
        GetKeyState(VK_CONTROL) < 0 && TurnPage(form, GetKeyState(VK_SHIFT) < 0)) {
      continue;
    }
    if (!IsDialogMessageW(window, &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  ::KillTimer(nullptr, handOffTimer_);
  handOffTimer_ = 0;
  ShowWindow(window, SW_HIDE);
}

// Ctrl+Tab and Ctrl+Shift+Tab: the next or previous page of the page control on screen.
bool Win32Toolkit::TurnPage(Form& form, bool backwards) {
  for (Control* control : form.AllControls()) {
    if (control->kind() != Kind::PageControl || !control->Showing() || !control->Enabled()) continue;
    auto& pages = static_cast<PageControl&>(*control);
    const auto all = pages.Pages();
    if (all.size() < 2) continue;
    const auto at = std::find(all.begin(), all.end(), pages.ActivePage());
    const int count = static_cast<int>(all.size());
    int index = at == all.end() ? 0 : static_cast<int>(at - all.begin());
    index = (index + (backwards ? count - 1 : 1)) % count;
    pages.SetActivePage(all[static_cast<std::size_t>(index)]);
    if (pages.OnChange) pages.OnChange();
    if (Native* native = NativeOf(pages)) SetFocus(native->window);
    return true;
  }
  return false;
}

Toolkit::TimerId Win32Toolkit::SetTimer(std::chrono::milliseconds interval,
                                        std::function<void()> tick) {
  const UINT_PTR id = ::SetTimer(nullptr, 0, static_cast<UINT>(interval.count()), &TimerProcedure);
  if (id == 0) return 0;
  timers_[id] = std::move(tick);
  return static_cast<TimerId>(id);
}

void Win32Toolkit::KillTimer(TimerId id) {
  ::KillTimer(nullptr, id);
  timers_.erase(id);
}

void Win32Toolkit::TimerFired(UINT_PTR id) {
  if (id == handOffTimer_) {
    windowThread_.ProcessPending();
    return;
  }
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  std::function<void()> tick = it->second;  // the tick may kill its own timer
  tick();
}

}  // namespace ui
