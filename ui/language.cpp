#include "ui/language.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/seam.h"
#include "platform/text.h"
#include "ui/ini_text.h"
#include "ui/window_thread.h"

namespace {

constexpr const char* kLanguageKey = "SOFTWARE\\VELUND";
constexpr const char* kLanguageValue = "Language";

// The table is replaced whole, so a lookup sees either the old or the new one.
std::mutex tableMutex;
std::shared_ptr<const IniLines> table = std::make_shared<IniLines>();
std::string languageCode;

// Loads run one at a time; `running` counts the threads not yet ended.
std::mutex loadMutex;
std::mutex runningMutex;
std::condition_variable runningChanged;
int running = 0;

std::shared_ptr<const IniLines> CurrentTable() {
  std::lock_guard lock(tableMutex);
  return table;
}

// Step 1: the stored choice, when there is one.
void ReadStoredChoice(std::string& code) {
  win::RegKey key;
  if (win::RegOpenKeyExW(HKEY_CURRENT_USER, kLanguageKey, 0, KEY_READ, key) != ERROR_SUCCESS)
    return;
  DWORD type = 0, size = 0;
  if (win::RegQueryValueExW(key.get(), kLanguageValue, &type, nullptr, &size) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ))
    return;
  std::vector<BYTE> data(size);
  if (win::RegQueryValueExW(key.get(), kLanguageValue, &type, data.data(), &size) !=
      ERROR_SUCCESS)
    return;
  code = win::RegStringFromData(data.data(), size);
}

// A resource of the executable, released when this goes out of scope.
class ResourceData {
 public:
  explicit ResourceData(const std::string& name) {
    HRSRC found = win::FindResourceW(nullptr, name, RT_RCDATA);
    if (!found) return;
    loaded_ = win::LoadResource(nullptr, found);
    if (!loaded_) return;
    data_ = win::LockResource(loaded_);
    size_ = win::SizeofResource(nullptr, found);
  }
  ~ResourceData() {
    if (loaded_) win::FreeResource(loaded_);
  }
  ResourceData(const ResourceData&) = delete;
  ResourceData& operator=(const ResourceData&) = delete;

  bool valid() const { return data_ != nullptr; }
  const void* data() const { return data_; }
  std::size_t size() const { return size_; }
  std::string_view text() const { return {static_cast<const char*>(data_), size_}; }

 private:
  HGLOBAL loaded_ = nullptr;
  const void* data_ = nullptr;
  std::size_t size_ = 0;
};

}  // namespace

const CaptionRow kCaptionTable[15] = {
    {"TabSheetInstall", "Install", "", false},
    {"TabSheetCreate", "AutoParition", "", false},
    {"SetupButton", "Install", "", false},
    {"ButtonCreate", "Create", "", false},
    {"DriveList", "SelectDrives", "", false},
    {"Options", "Options", "", false},
    {"NTFSLabel", "NTFSexFATDrive", "", false},
    {"FAT32Label", "FAT32Drive", "", false},
    {"BootloaderOption", "Option1", "", true},
    {"AutoRunOption", "Option2", "", true},
    {"ESPActiveOption", "Option3", "", true},
    {"DiskList", "ChooseADisk", "", false},
    {"DiskStyle", "Style", "", false},
    {"NTFSSizeOptions", "exFATSize", " (MB)", false},
    {"FAT32SizeOptions", "FAT32Size", " (MB)", false},
};

std::string LookupText(std::string_view key) {
  std::shared_ptr<const IniLines> lines = CurrentTable();
  for (const auto& [k, text] : *lines) {
    if (SameTextIgnoringCase(k, key)) return text;
  }
  return {};
}

std::string LanguageCode() {
  std::lock_guard lock(tableMutex);
  return languageCode;
}

std::vector<std::pair<std::string, std::string>> LanguageTable() { return *CurrentTable(); }

void TLanguageThread::Start(LanguageView& view, WindowThread& windowThread, From from) {
  {
    std::lock_guard lock(runningMutex);
    ++running;
  }
  std::thread([thread = new TLanguageThread(view, windowThread, from), &windowThread] {
    std::unique_ptr<TLanguageThread> self(thread);
    self->Execute();
    self.reset();
    // The window thread is woken under the lock, so that WaitForAll cannot return (and the
    // process end) while this thread still touches it.
    std::lock_guard lock(runningMutex);
    --running;
    runningChanged.notify_all();
    windowThread.Wake();
  }).detach();
}

int TLanguageThread::Running() {
  std::lock_guard lock(runningMutex);
  return running;
}

void TLanguageThread::WaitForAll() {
  std::unique_lock lock(runningMutex);
  runningChanged.wait(lock, [] { return running == 0; });
}

void TLanguageThread::Execute() {
  std::lock_guard load(loadMutex);

  // Steps 1 and 2: start from the stored choice and take the other language.
  std::string code = LanguageCode();
  if (from_ == From::StoredChoice) ReadStoredChoice(code);
  code = code == "vi_VN" ? "en_US" : "vi_VN";
  {
    std::lock_guard lock(tableMutex);
    languageCode = code;
  }

  // Steps 3 to 5: the table resource, read as INI text.
  ResourceData resource(code);
  if (!resource.valid()) {
    // Table, flag and captions stay as they were; the window still learns that the load ended.
    windowThread_.Synchronize([&] { view_.LanguageLoaded(); });
    return;
  }
  auto lines = std::make_shared<IniLines>(ReadIniSection(resource.text(), "Strings"));
  {
    std::lock_guard lock(tableMutex);
    table = std::move(lines);
  }

  // Step 6: the flag, shown by the window thread; the resource is released after that.
  {
    ResourceData picture(code + "_bmp");
    if (picture.valid()) {
      windowThread_.Synchronize([&] { view_.LoadLanguagePicture(picture.data(), picture.size()); });
    }
  }

  // Step 7: the captions, in the order of the caption table.
  windowThread_.Synchronize([&] {
    for (const CaptionRow& row : kCaptionTable) {
      std::string text = LookupText(row.key) + row.suffix;
      view_.SetControlCaption(row.control, text);
      if (row.alsoHint) view_.SetControlHint(row.control, text);
    }
    view_.LanguageLoaded();
  });
}

bool StoreLanguageChoice() {
  win::RegKey key;
  if (win::RegCreateKeyExW(HKEY_CURRENT_USER, kLanguageKey, 0, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                           nullptr, key, nullptr) != ERROR_SUCCESS)
    return false;
  std::vector<BYTE> data = win::RegStringData(LanguageCode());
  return win::RegSetValueExW(key.get(), kLanguageValue, 0, REG_SZ, data.data(),
                             static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

void ResetLanguage() {
  std::lock_guard lock(tableMutex);
  table = std::make_shared<IniLines>();
  languageCode.clear();
}
