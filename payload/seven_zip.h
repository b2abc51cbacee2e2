// The archive library binding (unit sevenzip): the library loaded from its file (T7zPlugin), a
// format handler chosen by class ID (T7zArchive), and a reading handler that is at the same time
// the callback object the library talks to (T7zInArchive, used through I7zInArchive).
//
// Wide strings of the binding are UTF-8 std::string, as everywhere at the seam; they cross to the
// library in its own width (see seven_zip_interfaces.h). Failures raise E7zError, or
// EFileStreamError for a file that cannot be opened or created.
//
// Beyond the plain library calls, a folder extraction refuses item paths that would land outside
// the folder, and an item the library reports as failed (wrong password, data or CRC error) fails
// the extraction and leaves no file behind.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "payload/seven_zip_interfaces.h"
#include "payload/seven_zip_stream.h"
#include "platform/handles.h"

namespace sevenzip {

class E7zError : public std::runtime_error {
 public:
  explicit E7zError(const std::string& message, HRESULT code = E_FAIL)
      : std::runtime_error(message), code_(code) {}
  HRESULT Code() const { return code_; }

 private:
  HRESULT code_;
};

// The system's message text for a result code (the library's Linux errno codes 0x8800xxxx get
// the C library's text); "Error 0x........" when there is none.
std::string ResultText(HRESULT code);

// 0 passes; any other code, S_FALSE included, raises E7zError with ResultText(code).
void CheckArchiveResult(HRESULT code);

// The library's answer for a password request; 0 gives the password.
using T7zPasswordCallback = HRESULT (*)(void* sender, std::string& password);
// A stream for item `index` of an extraction; leaving it empty skips the item's data.
using T7zGetStreamCallBack = HRESULT (*)(void* sender, UInt32 index,
                                         ComPtr<ISequentialOutStream>& outStream);
// total: the whole size (true) or the amount done so far (false).
using T7zProgressCallback = HRESULT (*)(void* sender, bool total, Int64 value);

// The largest offset at which Open looks for an archive signature.
inline constexpr UInt64 kMaxCheckStartPosition = 1 << 20;

// The loaded library. Counted: freed by the last Release.
class T7zPlugin : public IUnknown {
 public:
  // Loads `libraryFile` and resolves "CreateObject"; raises "Error loading library %s" or
  // "%s is not a 7z library" (also for a library of another interface convention).
  explicit T7zPlugin(std::string_view libraryFile);
  T7zPlugin(const T7zPlugin&) = delete;
  T7zPlugin& operator=(const T7zPlugin&) = delete;

  HRESULT SZ_STDCALL QueryInterface(const GUID& iid, void** object) override;
  ULONG SZ_STDCALL AddRef() override;
  ULONG SZ_STDCALL Release() override;

  // Raises when the factory answers a negative code.
  void CreateObject(const GUID& classId, const GUID& interfaceId, void** object);

 protected:
  virtual ~T7zPlugin();
  // Resolves an export; null when missing.
  void* Export(const char* name) const;

  std::string FLibraryFile;
  win::Library FHandle;
  CreateObjectFunc FCreateObject = nullptr;

 private:
  std::atomic<ULONG> FRefCount{0};
};

// A format handler of the library.
class T7zArchive : public T7zPlugin {
 public:
  // T7zPlugin's loading, then "GetHandlerProperty" ("%s is not a Format library" when missing).
  explicit T7zArchive(std::string_view libraryFile);

  // Raises when the library answers a negative code.
  PropVariant GetHandlerProperty(PROPID id);
  PropVariant HandlerProperty(PROPID id) { return GetHandlerProperty(id); }
  std::string GetLibStringProperty(PROPID id);
  // The first 16 bytes of the value's binary string.
  GUID GetLibGUIDProperty(PROPID id);

  std::string Name() { return GetLibStringProperty(NHandlerPropID::kName); }
  std::string Extension() { return GetLibStringProperty(NHandlerPropID::kExtension); }
  const GUID& ClassID() const { return FClassId; }
  void SetClassID(const GUID& classId) { FClassId = classId; }

 protected:
  GetHandlerPropertyFunc FGetHandlerProperty = nullptr;
  GUID FClassId{};
};

// The binding's reading handler, in slot order after IUnknown.
struct I7zInArchive : IUnknown {
  virtual void SZ_STDCALL OpenArchiveFile(std::string_view fileName) = 0;         // 3
  virtual void SZ_STDCALL OpenArchiveStream(IInStream* stream) = 0;              // 4
  virtual void SZ_STDCALL CloseArchive() = 0;                                    // 5
  virtual UInt32 SZ_STDCALL GetItemCount() = 0;                                  // 6
  virtual std::string SZ_STDCALL GetItemPath(UInt32 index) = 0;                  // 7
  virtual std::string SZ_STDCALL GetItemName(UInt32 index) = 0;                  // 8
  virtual Int64 SZ_STDCALL GetItemSize(UInt32 index) = 0;                        // 9
  virtual bool SZ_STDCALL GetItemIsFolder(UInt32 index) = 0;                     // 10
  virtual ComPtr<IInArchive> SZ_STDCALL GetInArchive() = 0;                      // 11
  virtual void SZ_STDCALL ExtractItemToStream(UInt32 index, TStream& stream,     // 12
                                              bool test) = 0;
  virtual void SZ_STDCALL ExtractItemsToCallback(const UInt32* indices,         // 13
                                                 UInt32 count, bool test, void* sender,
                                                 T7zGetStreamCallBack callback) = 0;
  virtual void SZ_STDCALL ExtractAllToCallback(bool test, void* sender,         // 14
                                               T7zGetStreamCallBack callback) = 0;
  virtual void SZ_STDCALL ExtractToFolder(std::string_view folder) = 0;         // 15
  virtual void SZ_STDCALL SetPasswordCallback(void* sender,                     // 16
                                              T7zPasswordCallback callback) = 0;
  virtual void SZ_STDCALL SetPassword(std::string_view password) = 0;           // 17
  virtual void SZ_STDCALL SetProgressCallback(void* sender,                     // 18
                                              T7zProgressCallback callback) = 0;
  virtual void SZ_STDCALL SetClassID(const GUID& classId) = 0;                  // 19
  virtual GUID SZ_STDCALL GetClassID() = 0;                                      // 20

 protected:
  ~I7zInArchive() = default;
};

class T7zInArchive final : public T7zArchive,
                           public I7zInArchive,
                           public IArchiveOpenCallback,
                           public IArchiveExtractCallback,
                           public ICryptoGetTextPassword,
                           public IArchiveOpenVolumeCallback,
                           public IArchiveOpenSetSubArchiveName {
 public:
  explicit T7zInArchive(std::string_view libraryFile);

  // The handler object, created on first use.
  IInArchive* InArchive();

  HRESULT SZ_STDCALL QueryInterface(const GUID& iid, void** object) override;
  ULONG SZ_STDCALL AddRef() override;
  ULONG SZ_STDCALL Release() override;

  // I7zInArchive
  void SZ_STDCALL OpenArchiveFile(std::string_view fileName) override;
  void SZ_STDCALL OpenArchiveStream(IInStream* stream) override;
  void SZ_STDCALL CloseArchive() override;
  UInt32 SZ_STDCALL GetItemCount() override;
  std::string SZ_STDCALL GetItemPath(UInt32 index) override;
  std::string SZ_STDCALL GetItemName(UInt32 index) override;
  Int64 SZ_STDCALL GetItemSize(UInt32 index) override;
  bool SZ_STDCALL GetItemIsFolder(UInt32 index) override;
  ComPtr<IInArchive> SZ_STDCALL GetInArchive() override;
  void SZ_STDCALL ExtractItemToStream(UInt32 index, TStream& stream, bool test) override;
  void SZ_STDCALL ExtractItemsToCallback(const UInt32* indices, UInt32 count, bool test,
                                         void* sender, T7zGetStreamCallBack callback) override;
  void SZ_STDCALL ExtractAllToCallback(bool test, void* sender,
                                       T7zGetStreamCallBack callback) override;
  void SZ_STDCALL ExtractToFolder(std::string_view folder) override;
  void SZ_STDCALL SetPasswordCallback(void* sender, T7zPasswordCallback callback) override;
  void SZ_STDCALL SetPassword(std::string_view password) override;
  void SZ_STDCALL SetProgressCallback(void* sender, T7zProgressCallback callback) override;
  void SZ_STDCALL SetClassID(const GUID& classId) override;
  GUID SZ_STDCALL GetClassID() override;

  // IArchiveOpenCallback
  HRESULT SZ_STDCALL SetTotal(const UInt64* files, const UInt64* bytes) override;
  HRESULT SZ_STDCALL SetCompleted(const UInt64* files, const UInt64* bytes) override;
  // IProgress
  HRESULT SZ_STDCALL SetTotal(UInt64 total) override;
  HRESULT SZ_STDCALL SetCompleted(const UInt64* completeValue) override;
  // IArchiveExtractCallback
  HRESULT SZ_STDCALL GetStream(UInt32 index, ISequentialOutStream** outStream,
                               Int32 askExtractMode) override;
  HRESULT SZ_STDCALL PrepareOperation(Int32 askExtractMode) override;
  HRESULT SZ_STDCALL SetOperationResult(Int32 opRes) override;
  // ICryptoGetTextPassword
  HRESULT SZ_STDCALL CryptoGetTextPassword(BSTR* password) override;
  // IArchiveOpenVolumeCallback
  HRESULT SZ_STDCALL GetProperty(PROPID propID, PROPVARIANT* value) override;
  HRESULT SZ_STDCALL GetStream(const OLECHAR* name, IInStream** inStream) override;
  // IArchiveOpenSetSubArchiveName
  HRESULT SZ_STDCALL SetSubArchiveName(const OLECHAR* name) override;

 private:
  ~T7zInArchive() override;

  // The handler of an opened archive; raises when there is none.
  IInArchive* OpenedArchive();
  PropVariant ItemProperty(UInt32 index, PROPID id);
  void Open(IInStream* stream);
  // Runs Extract and raises for its code, a callback's error or a failed item.
  void Extract(const UInt32* indices, UInt32 count, bool test);
  // Keeps the first error raised inside a callback; gives the code to answer the library.
  HRESULT KeepError(std::exception_ptr error);
  ComPtr<ISequentialOutStream> FolderTarget(UInt32 index);

  ComPtr<IInArchive> FInArchive;
  T7zPasswordCallback FPasswordCallback = nullptr;
  void* FPasswordSender = nullptr;
  T7zProgressCallback FProgressCallback = nullptr;
  void* FProgressSender = nullptr;
  TStream* FStream = nullptr;
  bool FPasswordIsDefined = false;
  std::string FPassword;
  bool FSubArchiveMode = false;
  std::string FSubArchiveName;
  T7zGetStreamCallBack FExtractCallBack = nullptr;
  void* FExtractSender = nullptr;
  std::string FExtractPath;

  // One extraction's bookkeeping. The library may call back from its own threads.
  std::mutex FExtractMutex;
  std::exception_ptr FCallbackError;
  UInt32 FCurrentIndex = 0;
  std::string FCurrentTarget;             // the file of the item being written
  std::vector<std::string> FFailedTargets;  // removed once the library has let go of them
};

// A reading handler for format `classId` from the library file `libraryFile`.
ComPtr<I7zInArchive> CreateInArchive(const GUID& classId, std::string_view libraryFile);

// Splits an item's stored path into the names below the target folder; false when the path is
// absolute, has a drive or stream name, or climbs out of the folder through "..".
bool SafeItemPath(std::string_view stored, std::vector<std::string>& names);

}  // namespace sevenzip
