#include "tests/test_language.h"

#include "platform/seam.h"
#include "platform/text.h"
#include "ui/language.h"
#include "ui/window_thread.h"

namespace {

class NoView : public LanguageView {
 public:
  void LoadLanguagePicture(const void*, std::size_t) override {}
  void SetControlCaption(std::string_view, const std::string&) override {}
  void SetControlHint(std::string_view, const std::string&) override {}
  void LanguageLoaded() override { loaded = true; }
  bool loaded = false;
};

}  // namespace

void LoadLanguageForTest(const std::string& code) {
  win::RegKey key;
  win::RegCreateKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND", 0, 0, KEY_WRITE, nullptr, key,
                       nullptr);
  const auto left = win::RegStringData(code == "en_US" ? "vi_VN" : "en_US");
  win::RegSetValueExW(key.get(), "Language", 0, REG_SZ, left.data(),
                      static_cast<DWORD>(left.size()));
  NoView view;
  WindowThread& window = WindowThread::Main();
  window.Reopen();
  window.Attach();
  TLanguageThread::Start(view, window);
  window.RunUntil([&] { return view.loaded; });
  TLanguageThread::WaitForAll();
}
