// Streams for the archive binding: a plain stream type, file streams over the seam, and the
// adapter (T7zStream) that presents them to the archive library.
#pragma once

#include <atomic>
#include <stdexcept>
#include <string>
#include <string_view>

#include "payload/seven_zip_interfaces.h"
#include "platform/handles.h"

namespace sevenzip {

// A file that cannot be opened or created; the message names it and gives the system's reason.
class EFileStreamError : public std::runtime_error {
 public:
  EFileStreamError(const std::string& message, DWORD error)
      : std::runtime_error(message), error_(error) {}
  DWORD Error() const { return error_; }

 private:
  DWORD error_;
};

// A byte stream. Each operation returns ERROR_SUCCESS or a Win32 error code.
class TStream {
 public:
  virtual ~TStream() = default;
  virtual DWORD Read(void* buffer, UInt32 size, UInt32& read) = 0;
  virtual DWORD Write(const void* buffer, UInt32 size, UInt32& written) = 0;
  // origin: 0 from the start, 1 from the current position, 2 from the end.
  virtual DWORD Seek(Int64 offset, UInt32 origin, UInt64& position) = 0;
  virtual DWORD SetSize(UInt64 size) = 0;
  virtual DWORD GetSize(UInt64& size) = 0;
};

// A file of the machine, through the seam.
class TFileStream final : public TStream {
 public:
  enum class Mode {
    OpenRead,  // read only, shared for reading and writing with other openers
    Create,    // created or replaced, exclusive access
  };
  // Raises EFileStreamError when the file cannot be opened or created.
  TFileStream(std::string_view path, Mode mode);

  DWORD Read(void* buffer, UInt32 size, UInt32& read) override;
  DWORD Write(const void* buffer, UInt32 size, UInt32& written) override;
  DWORD Seek(Int64 offset, UInt32 origin, UInt64& position) override;
  DWORD SetSize(UInt64 size) override;
  DWORD GetSize(UInt64& size) override;

 private:
  win::Handle FHandle;
};

enum class TStreamOwnership { soReference = 0, soOwned = 1 };

// The library's view of a TStream. An owned stream is freed with the adapter, so a file the
// library wrote is complete and closed once the library lets go of the adapter.
class T7zStream final : public IInStream, public IOutStream, public IStreamGetSize,
                        public IOutStreamFinish {
 public:
  T7zStream(TStream* stream, TStreamOwnership ownership);
  T7zStream(const T7zStream&) = delete;
  T7zStream& operator=(const T7zStream&) = delete;

  HRESULT SZ_STDCALL QueryInterface(const GUID& iid, void** object) override;
  ULONG SZ_STDCALL AddRef() override;
  ULONG SZ_STDCALL Release() override;

  HRESULT SZ_STDCALL Read(void* data, UInt32 size, UInt32* processedSize) override;
  HRESULT SZ_STDCALL Write(const void* data, UInt32 size, UInt32* processedSize) override;
  HRESULT SZ_STDCALL Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) override;
  HRESULT SZ_STDCALL SetSize(UInt64 newSize) override;
  HRESULT SZ_STDCALL GetSize(UInt64* size) override;
  HRESULT SZ_STDCALL OutStreamFinish() override;

 private:
  ~T7zStream();

  TStream* FStream;
  TStreamOwnership FOwnership;
  std::atomic<ULONG> FRefCount{0};
};

}  // namespace sevenzip
