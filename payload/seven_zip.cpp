// The archive library binding.
#include "payload/seven_zip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <system_error>
#include <utility>

#include "app/console_log.h"
#include "platform/seam.h"

namespace sevenzip {
namespace {

// Runs `action` when the scope ends, however it ends.
template <class Action>
class Finally {
 public:
  explicit Finally(Action action) : action_(std::move(action)) {}
  Finally(const Finally&) = delete;
  Finally& operator=(const Finally&) = delete;
  ~Finally() { action_(); }

 private:
  Action action_;
};

bool IsSeparator(char c) { return c == '\\' || c == '/'; }

bool DirectoryExists(const std::string& path) {
  const DWORD attributes = win::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates `folder` and every missing parent.
void ForceDirectories(std::string folder) {
  while (!folder.empty() && IsSeparator(folder.back())) folder.pop_back();
  if (folder.empty() || folder.back() == ':' || DirectoryExists(folder)) return;
  const std::size_t cut = folder.find_last_of("\\/");
  if (cut != std::string::npos) ForceDirectories(folder.substr(0, cut));
  if (!win::CreateDirectoryW(folder, nullptr)) {
    const DWORD error = win::GetLastError();
    if (error != ERROR_ALREADY_EXISTS || !DirectoryExists(folder)) {
      throw EFileStreamError(
          FormatText("Cannot create folder \"%s\". %s", {folder, SystemErrorText(error)}), error);
    }
  }
}

// GetModuleProp's interface type must match ours. A library without the export is an older
// build: on Windows those never had a destructor slot; elsewhere they did.
bool SameInterfaceConvention(void* getModuleProp) {
#ifdef _WIN32
  constexpr bool kWithoutExport = true;
#else
  constexpr bool kWithoutExport = false;
#endif
  if (getModuleProp == nullptr) return kWithoutExport;
  PropVariant value;
  const auto query = reinterpret_cast<GetModulePropFunc>(getModuleProp);
  if (query(NModulePropID::kInterfaceType, value.Receive()) != S_OK) return kWithoutExport;
  if (value.get().vt == VT_EMPTY) return kWithoutExport;
  return value.get().vt == VT_UI4 && value.get().ulVal == kInterfaceWithoutVirtualDestructor;
}

std::string OperationResultText(Int32 result, bool encrypted) {
  std::string text;
  switch (result) {
    case NOperationResult::kUnsupportedMethod: text = "Unsupported compression method"; break;
    case NOperationResult::kDataError: text = "Data error"; break;
    case NOperationResult::kCRCError: text = "CRC failed"; break;
    case NOperationResult::kUnavailable: text = "Unavailable data"; break;
    case NOperationResult::kUnexpectedEnd: text = "Unexpected end of data"; break;
    case NOperationResult::kDataAfterEnd: text = "There are some data after the end of the data"; break;
    case NOperationResult::kIsNotArc: text = "Is not archive"; break;
    case NOperationResult::kHeadersError: text = "Headers error"; break;
    case NOperationResult::kWrongPassword: return "Wrong password";
    default: text = "Error " + std::to_string(result); break;
  }
  // Encrypted data decoded with a wrong key looks like damaged data.
  if (encrypted && (result == NOperationResult::kDataError ||
                    result == NOperationResult::kCRCError)) {
    text += " in encrypted file. Wrong password?";
  }
  return text;
}

constexpr PROPID kpidEncrypted = 15;

}  // namespace

std::string ResultText(HRESULT code) {
  const auto value = static_cast<DWORD>(code);
#ifndef _WIN32
  // The library's own results for errno values.
  if ((value & 0xFFFF0000u) == 0x88000000u) {
    return std::generic_category().message(static_cast<int>(value & 0xFFFF));
  }
#endif
  std::string text = SystemErrorText(value);
  if (!text.empty()) return text;
  char fallback[32];
  std::snprintf(fallback, sizeof fallback, "Error 0x%08X", static_cast<unsigned>(value));
  return fallback;
}

void CheckArchiveResult(HRESULT code) {
  if (code != S_OK) throw E7zError(ResultText(code), code);
}

bool SafeItemPath(std::string_view stored, std::vector<std::string>& names) {
  names.clear();
  // Rooted ("\x", "\\server\share", "/x") or with a drive or stream name ("C:x", "a:b").
  if (stored.empty() || IsSeparator(stored.front())) return false;
  if (stored.find(':') != std::string_view::npos) return false;
  std::size_t start = 0;
  while (start <= stored.size()) {
    std::size_t end = stored.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = stored.size();
    const std::string_view name = stored.substr(start, end - start);
    if (name == "..") {
      if (names.empty()) return false;
      names.pop_back();
    } else if (name.empty() || name == ".") {
      // nothing
    } else if (name.find_first_not_of(". ") == std::string_view::npos) {
      return false;  // Windows trims such names to nothing, or to ".."
    } else {
      names.emplace_back(name);
    }
    start = end + 1;
  }
  return !names.empty();
}

// ---- T7zPlugin ----------------------------------------------------------------------------------

namespace {

// `file` with the current directory in front when it is relative: the loader searches for a
// bare name, and the file meant is the one in the current directory.
std::string FullPath(std::string_view file) {
  const bool qualified = (file.size() >= 3 && file[1] == ':' && IsSeparator(file[2])) ||
                         (file.size() >= 2 && IsSeparator(file[0]) && IsSeparator(file[1]));
  if (qualified) return std::string(file);
  std::string current;
  win::GetCurrentDirectoryW(current);
  if (!current.empty() && !IsSeparator(current.back())) current += '\\';
  return current + std::string(file);
}

// The library by its full path; the libraries it needs come from its own folder and the system
// folder only, never from the program's folder or the current directory. A Windows without the
// search flags (Vista, 7 without its loader update) refuses them as an invalid parameter and
// takes the altered search path, which starts in the library's folder too.
HMODULE LoadLibraryFile(std::string_view file) {
  const std::string path = FullPath(file);
  HMODULE module = win::LoadLibraryExW(
      path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && win::GetLastError() == ERROR_INVALID_PARAMETER) {
    module = win::LoadLibraryExW(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return module;
}

}  // namespace

T7zPlugin::T7zPlugin(std::string_view libraryFile) : FLibraryFile(libraryFile) {
  FHandle.reset(LoadLibraryFile(libraryFile));
  if (!FHandle) {
    throw E7zError(FormatText("Error loading library %s", {libraryFile}),
                   HResultFromWin32(win::GetLastError()));
  }
  FCreateObject = reinterpret_cast<CreateObjectFunc>(Export("CreateObject"));
  if (FCreateObject == nullptr || !SameInterfaceConvention(Export("GetModuleProp"))) {
    FHandle.reset();
    throw E7zError(FormatText("%s is not a 7z library", {libraryFile}));
  }
}

T7zPlugin::~T7zPlugin() = default;

void* T7zPlugin::Export(const char* name) const {
  return win::GetProcAddress(FHandle.get(), name);
}

HRESULT T7zPlugin::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (!SameId(iid, IID_IUnknown)) return E_NOINTERFACE;
  *object = static_cast<IUnknown*>(this);
  AddRef();
  return S_OK;
}

ULONG T7zPlugin::AddRef() { return ++FRefCount; }

ULONG T7zPlugin::Release() {
  const ULONG left = --FRefCount;
  if (left == 0) delete this;
  return left;
}

void T7zPlugin::CreateObject(const GUID& classId, const GUID& interfaceId, void** object) {
  const HRESULT result = FCreateObject(&classId, &interfaceId, object);
  if (result < 0) throw E7zError(ResultText(result), result);
}

// ---- T7zArchive ---------------------------------------------------------------------------------

T7zArchive::T7zArchive(std::string_view libraryFile) : T7zPlugin(libraryFile) {
  FGetHandlerProperty = reinterpret_cast<GetHandlerPropertyFunc>(Export("GetHandlerProperty"));
  if (FGetHandlerProperty == nullptr) {
    FHandle.reset();
    throw E7zError(FormatText("%s is not a Format library", {libraryFile}));
  }
  FClassId = GUID{};
}

PropVariant T7zArchive::GetHandlerProperty(PROPID id) {
  PropVariant value;
  const HRESULT result = FGetHandlerProperty(id, value.Receive());
  if (result < 0) throw E7zError(ResultText(result), result);
  return value;
}

std::string T7zArchive::GetLibStringProperty(PROPID id) { return GetHandlerProperty(id).Text(); }

GUID T7zArchive::GetLibGUIDProperty(PROPID id) {
  const PropVariant value = GetHandlerProperty(id);
  GUID guid{};
  if (value.get().vt == VT_BSTR && value.get().bstrVal != nullptr) {
    // Binary data: the recorded byte length counts, not a terminator.
    const std::size_t bytes =
        std::min<std::size_t>(sizeof guid, SystemStringByteLength(value.get().bstrVal));
    std::memcpy(&guid, value.get().bstrVal, bytes);
  }
  return guid;
}

// ---- T7zInArchive -------------------------------------------------------------------------------

T7zInArchive::T7zInArchive(std::string_view libraryFile) : T7zArchive(libraryFile) {
  FPasswordCallback = nullptr;
  FPasswordSender = nullptr;
  FExtractCallBack = nullptr;
  FExtractSender = nullptr;
  FPasswordIsDefined = false;
  FSubArchiveMode = false;
}

T7zInArchive::~T7zInArchive() {
  FInArchive.reset();  // before the library goes with the base
}

HRESULT T7zInArchive::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (SameId(iid, IID_IUnknown) || SameId(iid, IID_I7zInArchive)) {
    *object = static_cast<I7zInArchive*>(this);
  } else if (SameId(iid, IID_IArchiveOpenCallback)) {
    *object = static_cast<IArchiveOpenCallback*>(this);
  } else if (SameId(iid, IID_IArchiveExtractCallback) || SameId(iid, IID_IProgress)) {
    *object = static_cast<IArchiveExtractCallback*>(this);
  } else if (SameId(iid, IID_ICryptoGetTextPassword)) {
    *object = static_cast<ICryptoGetTextPassword*>(this);
  } else if (SameId(iid, IID_IArchiveOpenVolumeCallback)) {
    *object = static_cast<IArchiveOpenVolumeCallback*>(this);
  } else if (SameId(iid, IID_IArchiveOpenSetSubArchiveName)) {
    *object = static_cast<IArchiveOpenSetSubArchiveName*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG T7zInArchive::AddRef() { return T7zPlugin::AddRef(); }
ULONG T7zInArchive::Release() { return T7zPlugin::Release(); }

IInArchive* T7zInArchive::InArchive() {
  if (!FInArchive) {
    void* object = nullptr;
    CreateObject(FClassId, IID_IInArchive, &object);
    if (object == nullptr) throw E7zError(ResultText(E_NOINTERFACE), E_NOINTERFACE);
    FInArchive = ComPtr<IInArchive>::Adopt(static_cast<IInArchive*>(object));
  }
  return FInArchive.get();
}

IInArchive* T7zInArchive::OpenedArchive() {
  if (!FInArchive) throw E7zError("No archive is open");
  return FInArchive.get();
}

HRESULT T7zInArchive::KeepError(std::exception_ptr error) {
  std::lock_guard lock(FExtractMutex);
  if (!FCallbackError) FCallbackError = std::move(error);
  return E_ABORT;
}

void T7zInArchive::Open(IInStream* stream) {
  IInArchive* archive = InArchive();
  {
    std::lock_guard lock(FExtractMutex);
    FCallbackError = nullptr;
  }
  const UInt64 maxCheckStartPosition = kMaxCheckStartPosition;
  const HRESULT result =
      archive->Open(stream, &maxCheckStartPosition, static_cast<IArchiveOpenCallback*>(this));
  std::exception_ptr error;
  {
    std::lock_guard lock(FExtractMutex);
    error = std::exchange(FCallbackError, nullptr);
  }
  if (error) std::rethrow_exception(error);
  CheckArchiveResult(result);
}

void T7zInArchive::OpenArchiveFile(std::string_view fileName) {
  auto file = std::make_unique<TFileStream>(fileName, TFileStream::Mode::OpenRead);
  ComPtr<IInStream> stream(new T7zStream(file.get(), TStreamOwnership::soOwned));
  file.release();  // the adapter owns it now
  Open(stream.get());
}

void T7zInArchive::OpenArchiveStream(IInStream* stream) { Open(stream); }

void T7zInArchive::CloseArchive() {
  FPasswordIsDefined = false;
  FSubArchiveMode = false;
  if (FInArchive) {
    FInArchive->Close();
    FInArchive.reset();
  }
}

UInt32 T7zInArchive::GetItemCount() {
  UInt32 count = 0;
  CheckArchiveResult(OpenedArchive()->GetNumberOfItems(&count));
  return count;
}

PropVariant T7zInArchive::ItemProperty(UInt32 index, PROPID id) {
  PropVariant value;
  if (FInArchive) FInArchive->GetProperty(index, id, value.Receive());
  return value;
}

std::string T7zInArchive::GetItemPath(UInt32 index) {
  return ItemProperty(index, ItemProp::kPath).Text();
}

std::string T7zInArchive::GetItemName(UInt32 index) {
  return ItemProperty(index, ItemProp::kName).Text();
}

Int64 T7zInArchive::GetItemSize(UInt32 index) {
  return ItemProperty(index, ItemProp::kSize).Integer();
}

bool T7zInArchive::GetItemIsFolder(UInt32 index) {
  return ItemProperty(index, ItemProp::kIsDir).Boolean();
}

ComPtr<IInArchive> T7zInArchive::GetInArchive() {
  InArchive();
  return FInArchive;
}

void T7zInArchive::Extract(const UInt32* indices, UInt32 count, bool test) {
  IInArchive* archive = OpenedArchive();
  {
    std::lock_guard lock(FExtractMutex);
    FCallbackError = nullptr;
    FCurrentTarget.clear();
    FFailedTargets.clear();
  }
  const HRESULT result =
      archive->Extract(indices, count, test ? 1 : 0, static_cast<IArchiveExtractCallback*>(this));
  std::exception_ptr error;
  std::vector<std::string> leftovers;
  {
    std::lock_guard lock(FExtractMutex);
    error = std::exchange(FCallbackError, nullptr);
    leftovers = std::move(FFailedTargets);
    FFailedTargets.clear();
    // A file cut short by the failure is no file of the archive either.
    if ((error || result != S_OK) && !FCurrentTarget.empty()) leftovers.push_back(FCurrentTarget);
    FCurrentTarget.clear();
  }
  // The library has let go of every stream by now, so the files are closed.
  const DWORD lastError = win::GetLastError();
  for (const std::string& target : leftovers) win::DeleteFileW(target);
  win::SetLastError(lastError);
  if (error) std::rethrow_exception(error);
  CheckArchiveResult(result);
}

void T7zInArchive::ExtractItemToStream(UInt32 index, TStream& stream, bool test) {
  FStream = &stream;
  Finally clear([this] { FStream = nullptr; });
  Extract(&index, 1, test);
}

void T7zInArchive::ExtractItemsToCallback(const UInt32* indices, UInt32 count, bool test,
                                          void* sender, T7zGetStreamCallBack callback) {
  FExtractCallBack = callback;
  FExtractSender = sender;
  Finally clear([this] {
    FExtractCallBack = nullptr;
    FExtractSender = nullptr;
  });
  Extract(indices, count, test);
}

void T7zInArchive::ExtractAllToCallback(bool test, void* sender, T7zGetStreamCallBack callback) {
  ExtractItemsToCallback(nullptr, 0xFFFFFFFF, test, sender, callback);
}

void T7zInArchive::ExtractToFolder(std::string_view folder) {
  FExtractPath.assign(folder);
  if (FExtractPath.empty() || !IsSeparator(FExtractPath.back())) FExtractPath += '\\';
  Finally clear([this] { FExtractPath.clear(); });
  Extract(nullptr, 0xFFFFFFFF, false);
}

void T7zInArchive::SetPasswordCallback(void* sender, T7zPasswordCallback callback) {
  FPasswordSender = sender;
  FPasswordCallback = callback;
}

void T7zInArchive::SetPassword(std::string_view password) {
  FPassword.assign(password);
  FPasswordIsDefined = !FPassword.empty();
}

void T7zInArchive::SetProgressCallback(void* sender, T7zProgressCallback callback) {
  FProgressSender = sender;
  FProgressCallback = callback;
}

void T7zInArchive::SetClassID(const GUID& classId) { FClassId = classId; }

GUID T7zInArchive::GetClassID() { return FClassId; }

// ---- Callbacks of the library -------------------------------------------------------------------
// No exception may cross into the library: each is kept and raised again once the library's call
// has returned, and the library is told to stop.

HRESULT T7zInArchive::SetTotal(const UInt64*, const UInt64*) { return S_OK; }
HRESULT T7zInArchive::SetCompleted(const UInt64*, const UInt64*) { return S_OK; }

HRESULT T7zInArchive::SetTotal(UInt64 total) {
  if (FProgressCallback == nullptr) return S_OK;
  try {
    return FProgressCallback(FProgressSender, true, static_cast<Int64>(total));
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

HRESULT T7zInArchive::SetCompleted(const UInt64* completeValue) {
  if (FProgressCallback == nullptr || completeValue == nullptr) return S_OK;
  try {
    return FProgressCallback(FProgressSender, false, static_cast<Int64>(*completeValue));
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

ComPtr<ISequentialOutStream> T7zInArchive::FolderTarget(UInt32 index) {
  const std::string stored = GetItemPath(index);
  std::vector<std::string> names;
  if (!SafeItemPath(stored, names)) {
    throw E7zError(FormatText("Unsafe archive item path \"%s\"", {stored}), E_ABORT);
  }
  std::string folder = FExtractPath;
  for (std::size_t i = 0; i + 1 < names.size(); ++i) folder += names[i] + "\\";
  const std::string target = folder + names.back();
  ForceDirectories(folder);
  auto file = std::make_unique<TFileStream>(target, TFileStream::Mode::Create);
  ComPtr<ISequentialOutStream> stream(
      static_cast<IOutStream*>(new T7zStream(file.get(), TStreamOwnership::soOwned)));
  file.release();
  std::lock_guard lock(FExtractMutex);
  FCurrentTarget = target;
  return stream;
}

HRESULT T7zInArchive::GetStream(UInt32 index, ISequentialOutStream** outStream,
                                Int32 askExtractMode) {
  if (outStream == nullptr) return E_POINTER;
  *outStream = nullptr;
  try {
    {
      std::lock_guard lock(FExtractMutex);
      FCurrentIndex = index;
      FCurrentTarget.clear();
    }
    if (askExtractMode != NAskMode::kExtract) return S_OK;
    if (FStream != nullptr) {
      ComPtr<ISequentialOutStream> stream(
          static_cast<IOutStream*>(new T7zStream(FStream, TStreamOwnership::soReference)));
      *outStream = stream.Detach();
      return S_OK;
    }
    if (FExtractCallBack != nullptr) {
      ComPtr<ISequentialOutStream> stream;
      const HRESULT result = FExtractCallBack(FExtractSender, index, stream);
      *outStream = stream.Detach();
      return result;
    }
    if (!FExtractPath.empty() && !GetItemIsFolder(index)) {
      *outStream = FolderTarget(index).Detach();
    }
    return S_OK;
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

HRESULT T7zInArchive::PrepareOperation(Int32) { return S_OK; }

HRESULT T7zInArchive::SetOperationResult(Int32 opRes) {
  UInt32 index = 0;
  {
    std::lock_guard lock(FExtractMutex);
    if (opRes == NOperationResult::kOK) {
      FCurrentTarget.clear();  // complete: it stays
      return S_OK;
    }
    if (!FCurrentTarget.empty()) FFailedTargets.push_back(std::exchange(FCurrentTarget, {}));
    index = FCurrentIndex;
  }
  // A damaged item, or one decrypted with a wrong password, fails the whole extraction.
  try {
    const bool encrypted = ItemProperty(index, kpidEncrypted).Boolean();
    throw E7zError(FormatText("Cannot extract \"%s\". %s",
                              {GetItemPath(index), OperationResultText(opRes, encrypted)}));
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

HRESULT T7zInArchive::CryptoGetTextPassword(BSTR* password) {
  if (password == nullptr) return E_POINTER;
  *password = nullptr;
  try {
    if (FPasswordIsDefined) {
      *password = AllocSystemString(FPassword);
      return *password != nullptr ? S_OK : E_OUTOFMEMORY;
    }
    if (FPasswordCallback != nullptr) {
      std::string answer;
      const HRESULT result = FPasswordCallback(FPasswordSender, answer);
      if (result == S_OK) {
        *password = AllocSystemString(answer);
        if (*password == nullptr) return E_OUTOFMEMORY;
        FPassword = std::move(answer);
        FPasswordIsDefined = true;
      }
      return result;
    }
    return S_FALSE;
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

HRESULT T7zInArchive::GetProperty(PROPID, PROPVARIANT*) { return S_OK; }

HRESULT T7zInArchive::GetStream(const OLECHAR*, IInStream** inStream) {
  if (inStream != nullptr) *inStream = nullptr;
  return S_OK;
}

HRESULT T7zInArchive::SetSubArchiveName(const OLECHAR* name) {
  try {
    FSubArchiveMode = true;
    FSubArchiveName = WideToUtf8(name);
    return S_OK;
  } catch (...) {
    return KeepError(std::current_exception());
  }
}

// ---- Factory ------------------------------------------------------------------------------------

ComPtr<I7zInArchive> CreateInArchive(const GUID& classId, std::string_view libraryFile) {
  ComPtr<I7zInArchive> archive(static_cast<I7zInArchive*>(new T7zInArchive(libraryFile)));
  archive->SetClassID(classId);
  return archive;
}

}  // namespace sevenzip
