#include "ui/toolkit.h"

#include <algorithm>

#include "ui/ini_text.h"

namespace ui {

const char* KindName(Kind kind) {
  switch (kind) {
    case Kind::Form: return "form";
    case Kind::PageControl: return "page control";
    case Kind::TabPage: return "tab page";
    case Kind::GroupBox: return "group box";
    case Kind::Label: return "label";
    case Kind::ComboBox: return "combo box";
    case Kind::CheckBox: return "check box";
    case Kind::RadioButton: return "radio button";
    case Kind::EditBox: return "edit box";
    case Kind::PushButton: return "push button";
    case Kind::Image: return "image";
    case Kind::ProgressBar: return "progress bar";
  }
  return "control";
}

// ---- Control --------------------------------------------------------------------------------

Control::Control(Form& form, Control* parent, Kind kind, std::string name)
    : form_(form), parent_(parent), kind_(kind), name_(std::move(name)) {
  if (parent_ != nullptr) parent_->children_.push_back(this);
  if (kind_ != Kind::Form) form_.Adopt(this);
}

void Control::Changed() {
  if (kind_ == Kind::Form) return;  // the form's toolkit may not be there yet while it is made
  form_.GetToolkit().ControlChanged(*this);
}

void Control::SetBounds(Bounds bounds) {
  if (bounds_ == bounds) return;
  bounds_ = bounds;
  Changed();
}
void Control::SetLeft(int value) { SetBounds({value, bounds_.top, bounds_.width, bounds_.height}); }
void Control::SetTop(int value) { SetBounds({bounds_.left, value, bounds_.width, bounds_.height}); }
void Control::SetWidth(int value) { SetBounds({bounds_.left, bounds_.top, value, bounds_.height}); }
void Control::SetHeight(int value) { SetBounds({bounds_.left, bounds_.top, bounds_.width, value}); }

void Control::SetCaption(std::string caption) {
  if (caption_ == caption) return;
  caption_ = std::move(caption);
  Changed();
}

void Control::SetHint(std::string hint) {
  hint_ = std::move(hint);
  Changed();
}

const Font& Control::GetFont() const {
  if (ownFont_ || parent_ == nullptr) return font_;
  return parent_->GetFont();
}

void Control::SetFont(Font font) {
  font_ = std::move(font);
  ownFont_ = true;
  Changed();
}

void Control::SetEnabled(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  Changed();
}

void Control::SetVisible(bool visible) {
  if (visible_ == visible) return;
  visible_ = visible;
  Changed();
}

bool Control::Showing() const {
  for (const Control* c = this; c != nullptr; c = c->parent_) {
    if (!c->visible_) return false;
    if (c->kind_ == Kind::TabPage && c->parent_ != nullptr &&
        static_cast<const PageControl*>(c->parent_)->ActivePage() != c) {
      return false;
    }
  }
  return true;
}

void Control::Click() {
  if (!enabled_) return;
  if (kind_ == Kind::CheckBox) {
    auto& box = static_cast<CheckControl&>(*this);
    box.SetChecked(!box.Checked());
  } else if (kind_ == Kind::RadioButton) {
    static_cast<CheckControl&>(*this).SetChecked(true);
  }
  if (OnClick) OnClick();
}

// ---- Pages ----------------------------------------------------------------------------------

TabPage::TabPage(Form& form, PageControl* parent, std::string name)
    : Control(form, parent, Kind::TabPage, std::move(name)) {
  if (parent->ActivePage() == nullptr) parent->SetActivePage(this);
}

PageControl::PageControl(Form& form, Control* parent, std::string name)
    : Control(form, parent, Kind::PageControl, std::move(name)) {}

void PageControl::SetActivePage(TabPage* page) {
  if (active_ == page) return;
  active_ = page;
  Changed();
}

std::vector<TabPage*> PageControl::Pages() const {
  std::vector<TabPage*> pages;
  for (Control* child : Children()) {
    if (child->kind() == Kind::TabPage) pages.push_back(static_cast<TabPage*>(child));
  }
  return pages;
}

// ---- Combo box ------------------------------------------------------------------------------

void ComboBox::SetItems(std::vector<std::string> items) {
  items_ = std::move(items);
  index_ = -1;
  Changed();
}

void ComboBox::AddItem(std::string item) {
  items_.push_back(std::move(item));
  Changed();
}

void ComboBox::Clear() { SetItems({}); }

void ComboBox::SetItemIndex(int index) {
  if (index < -1 || index >= static_cast<int>(items_.size())) index = -1;
  if (index_ == index) return;
  index_ = index;
  Changed();
}

int ComboBox::IndexOfIgnoringCase(std::string_view text) const {
  for (std::size_t i = 0; i < items_.size(); ++i) {
    if (SameTextIgnoringCase(items_[i], text)) return static_cast<int>(i);
  }
  return -1;
}

std::string ComboBox::Text() const {
  return index_ >= 0 && index_ < static_cast<int>(items_.size()) ? items_[index_] : std::string();
}

void ComboBox::Pick(int index) {
  if (!Enabled()) return;
  SetItemIndex(index);
  if (OnChange) OnChange();
}

// ---- Edit box -------------------------------------------------------------------------------

void EditBox::SetText(std::string text) {
  if (text_ == text) return;
  text_ = std::move(text);
  Changed();
  if (OnChange) OnChange();
}

bool EditBox::Type(std::string_view text) {
  if (readOnly_ || !Enabled()) return false;
  std::string typed;
  for (char c : text) {
    if (digitsOnly_ && (c < '0' || c > '9')) continue;
    if (maxLength_ != 0 && typed.size() >= maxLength_) break;
    typed += c;
  }
  SetText(std::move(typed));
  return true;
}

// ---- Check boxes, radio buttons, images, progress bars ---------------------------------------

void CheckControl::SetChecked(bool checked) {
  if (checked && kind() == Kind::RadioButton && Parent() != nullptr) {
    for (Control* sibling : Parent()->Children()) {
      if (sibling != this && sibling->kind() == Kind::RadioButton) {
        static_cast<CheckControl*>(sibling)->SetChecked(false);
      }
    }
  }
  if (checked_ == checked) return;
  checked_ = checked;
  Changed();
}

void Image::LoadPicture(const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  picture_.assign(bytes, bytes + size);
  Changed();
}

void ProgressBar::SetRange(int min, int max) {
  min_ = min;
  max_ = max;
  position_ = std::clamp(position_, min_, max_);
  Changed();
}

void ProgressBar::SetPosition(int position) {
  position_ = std::clamp(position, min_, max_);
  Changed();
}

void ProgressBar::SetState(ProgressState state) {
  state_ = state;
  Changed();
}

// ---- Form -----------------------------------------------------------------------------------

Form::Form(Toolkit& toolkit, std::string name)
    : Control(*this, nullptr, Kind::Form, std::move(name)), toolkit_(toolkit) {
  all_.push_back(this);
}

Form::~Form() {
  if (handle_ != nullptr) toolkit_.DestroyNativeWindow(*this, handle_);
}

void Form::Adopt(Control* control) { all_.push_back(control); }

Control* Form::FindControl(std::string_view name) const {
  for (Control* control : all_) {
    if (control->Name() == name) return control;
  }
  return nullptr;
}

std::vector<Control*> Form::AllControls() const { return all_; }

void Form::SetClientWidth(int width) {
  clientWidth_ = width;
  toolkit_.ControlChanged(*this);
}

void Form::SetClientHeight(int height) {
  clientHeight_ = height;
  toolkit_.ControlChanged(*this);
}

HWND Form::Handle() {
  if (handle_ == nullptr) handle_ = toolkit_.CreateNativeWindow(*this);
  return handle_;
}

int Form::ShowMessageBox(const std::string& text, const std::string& caption, UINT style) {
  return toolkit_.ShowMessageBox(*this, text, caption, style);
}

void Form::Close() {
  CloseAction action = CloseAction::Free;
  if (OnClose) OnClose(action);
  if (action != CloseAction::None) closed_ = true;
}

LRESULT Form::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  return DefaultWndProc(message, wParam, lParam);
}

LRESULT Form::DefaultWndProc(UINT, WPARAM, LPARAM) { return 0; }

}  // namespace ui
