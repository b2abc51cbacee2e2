// The setup window without a screen: it keeps the state a person would see (captions, hints, the
// flag picture) and, with no one to press its buttons, closes once its first language load has
// set the captions. On closing it describes itself on standard error.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "platform/seam.h"
#include "ui/language.h"
#include "ui/setup_window.h"
#include "ui/window_thread.h"

namespace {

class HeadlessSetupWindow final : public SetupWindow, public LanguageView {
 public:
  explicit HeadlessSetupWindow(WindowThread& windowThread) : windowThread_(windowThread) {
    windowThread_.Attach();
    TLanguageThread::Start(*this, windowThread_);  // the creation handler's first step
  }

  ~HeadlessSetupWindow() override {
    if (handle_) win::DestroyWindow(handle_);
  }

  HWND Handle() override {
    if (!handle_) {
      handle_ = win::CreateWindowExW(0, "STATIC", "Velund Orrin Setup", 0, 0, 0, clientWidth_,
                                     clientHeight_, nullptr, nullptr, nullptr, nullptr);
    }
    return handle_;
  }

  int PageControlLeft() const override { return 8; }
  int PageControlTop() const override { return 8; }
  int PageControlWidth() const override { return 473; }
  int PageControlHeight() const override { return 329; }
  void SetClientHeight(int height) override { clientHeight_ = height; }
  void SetClientWidth(int width) override { clientWidth_ = width; }

  void ShowModal() override {
    windowThread_.RunUntil([this] { return loaded_; });
    Describe();
  }

  // LanguageView
  void LoadLanguagePicture(const void* data, std::size_t size) override {
    const auto* bytes = static_cast<const unsigned char*>(data);
    picture_.assign(bytes, bytes + size);
  }
  void SetControlCaption(std::string_view control, const std::string& caption) override {
    captions_[std::string(control)] = caption;
  }
  void SetControlHint(std::string_view control, const std::string& hint) override {
    hints_[std::string(control)] = hint;
  }
  void LanguageLoaded() override {
    loaded_ = true;
    windowThread_.Wake();
  }

 private:
  void Describe() const {
    std::fprintf(stderr, "[window] Velund Orrin Setup, client %d x %d, language %s, flag %zu bytes\n",
                 clientWidth_, clientHeight_, LanguageCode().c_str(), picture_.size());
    for (const CaptionRow& row : kCaptionTable) {
      auto it = captions_.find(row.control);
      std::fprintf(stderr, "[window] %s: %s\n", row.control,
                   it == captions_.end() ? "" : it->second.c_str());
    }
  }

  WindowThread& windowThread_;
  HWND handle_ = nullptr;
  int clientWidth_ = 489;
  int clientHeight_ = 345;
  bool loaded_ = false;
  std::vector<unsigned char> picture_;
  std::map<std::string, std::string> captions_;
  std::map<std::string, std::string> hints_;
};

}  // namespace

std::unique_ptr<SetupWindow> CreateSetupWindow(WindowThread& windowThread) {
  return std::make_unique<HeadlessSetupWindow>(windowThread);
}
