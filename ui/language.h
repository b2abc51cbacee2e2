// The language table: every text the user reads, in English or Vietnamese, from the executable's
// resources; the remembered choice; the thread that loads a language.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class WindowThread;

// The text of `key` (letter case ignored) in the language in effect; empty when the table lacks
// the key or no language has been loaded yet. Safe from any thread at any time.
std::string LookupText(std::string_view key);

// "en_US" or "vi_VN" once a language has been loaded, empty before.
std::string LanguageCode();

// The table's lines, key and text, in resource order (a copy).
std::vector<std::pair<std::string, std::string>> LanguageTable();

// What a language load needs of the setup window. Called on the window thread only.
class LanguageView {
 public:
  virtual ~LanguageView() = default;
  // The flag picture, its format recognised from the data.
  virtual void LoadLanguagePicture(const void* data, std::size_t size) = 0;
  virtual void SetControlCaption(std::string_view control, const std::string& caption) = 0;
  virtual void SetControlHint(std::string_view control, const std::string& hint) = 0;
  // The load has ended: it has set its captions, or its table could not be read and nothing
  // changed. The window may now fill lists that use the words of the language in effect.
  virtual void LanguageLoaded() {}
};

// One row of the caption table: the control, the key of its text, what follows the text, and
// whether the text also becomes the control's hint.
struct CaptionRow {
  const char* control;
  const char* key;
  const char* suffix;
  bool alsoHint;
};
extern const CaptionRow kCaptionTable[15];

// One language load on its own thread. It starts when created and frees itself at its end; the
// starter keeps no reference. Loads run one after another.
class TLanguageThread {
 public:
  // Where a load starts before it takes the other language: the stored choice (when there is
  // one), or the code in effect, for a switch whose choice could not be stored.
  enum class From { StoredChoice, CodeInEffect };
  static void Start(LanguageView& view, WindowThread& windowThread,
                    From from = From::StoredChoice);

  // Waits until every load started so far has ended (before the process ends, and in tests).
  static void WaitForAll();

  // How many loads have not ended yet. A load that ends wakes its window thread.
  static int Running();

 private:
  TLanguageThread(LanguageView& view, WindowThread& windowThread, From from)
      : view_(view), windowThread_(windowThread), from_(from) {}
  void Execute();

  LanguageView& view_;
  WindowThread& windowThread_;
  From from_;
};

// The registry step of a language switch: stores the code in effect, the one being left, as
// HKEY_CURRENT_USER\SOFTWARE\VELUND "Language". Nothing is reported when it cannot be stored;
// false then, so that the switch's load does not go back to the old stored value.
bool StoreLanguageChoice();

// Empties the table and the code, as at program start (tests).
void ResetLanguage();
