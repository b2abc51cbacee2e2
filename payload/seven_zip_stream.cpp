// File streams over the seam and their adapter for the archive library.
#include "payload/seven_zip_stream.h"

#include "app/console_log.h"
#include "platform/seam.h"

namespace sevenzip {

TFileStream::TFileStream(std::string_view path, Mode mode) {
  const bool create = mode == Mode::Create;
  FHandle.reset(win::CreateFileW(
      path, create ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ,
      create ? 0 : FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
      create ? CREATE_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!FHandle) {
    const DWORD error = win::GetLastError();
    throw EFileStreamError(FormatText(create ? "Cannot create file \"%s\". %s"
                                             : "Cannot open file \"%s\". %s",
                                      {path, SystemErrorText(error)}),
                           error);
  }
}

DWORD TFileStream::Read(void* buffer, UInt32 size, UInt32& read) {
  DWORD done = 0;
  const BOOL ok = win::ReadFile(FHandle.get(), buffer, size, &done, nullptr);
  read = done;
  return ok ? ERROR_SUCCESS : win::GetLastError();
}

DWORD TFileStream::Write(const void* buffer, UInt32 size, UInt32& written) {
  DWORD done = 0;
  const BOOL ok = win::WriteFile(FHandle.get(), buffer, size, &done, nullptr);
  written = done;
  return ok ? ERROR_SUCCESS : win::GetLastError();
}

DWORD TFileStream::Seek(Int64 offset, UInt32 origin, UInt64& position) {
  if (origin > FILE_END) return ERROR_INVALID_PARAMETER;
  LARGE_INTEGER distance{};
  distance.QuadPart = offset;
  LARGE_INTEGER moved{};
  if (!win::SetFilePointerEx(FHandle.get(), distance, &moved, origin)) return win::GetLastError();
  position = static_cast<UInt64>(moved.QuadPart);
  return ERROR_SUCCESS;
}

DWORD TFileStream::GetSize(UInt64& size) {
  UInt64 current = 0;
  if (DWORD error = Seek(0, FILE_CURRENT, current); error != ERROR_SUCCESS) return error;
  if (DWORD error = Seek(0, FILE_END, size); error != ERROR_SUCCESS) return error;
  UInt64 back = 0;
  return Seek(static_cast<Int64>(current), FILE_BEGIN, back);
}

DWORD TFileStream::SetSize(UInt64 size) {
  // The seam has no SetEndOfFile: a file can grow (by its last byte) but not shrink.
  UInt64 current = 0;
  UInt64 length = 0;
  if (DWORD error = GetSize(length); error != ERROR_SUCCESS) return error;
  if (size == length) return ERROR_SUCCESS;
  if (size < length) return ERROR_NOT_SUPPORTED;
  if (DWORD error = Seek(0, FILE_CURRENT, current); error != ERROR_SUCCESS) return error;
  UInt64 ignored = 0;
  if (DWORD error = Seek(static_cast<Int64>(size - 1), FILE_BEGIN, ignored);
      error != ERROR_SUCCESS) {
    return error;
  }
  const Byte zero = 0;
  UInt32 written = 0;
  DWORD error = Write(&zero, 1, written);
  if (error == ERROR_SUCCESS && written != 1) error = ERROR_WRITE_FAULT;
  const DWORD restored = Seek(static_cast<Int64>(current), FILE_BEGIN, ignored);
  return error != ERROR_SUCCESS ? error : restored;
}

T7zStream::T7zStream(TStream* stream, TStreamOwnership ownership)
    : FStream(stream), FOwnership(ownership) {}

T7zStream::~T7zStream() {
  if (FOwnership == TStreamOwnership::soOwned) delete FStream;
}

HRESULT T7zStream::QueryInterface(const GUID& iid, void** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (SameId(iid, IID_IUnknown) || SameId(iid, IID_ISequentialInStream) ||
      SameId(iid, IID_IInStream)) {
    *object = static_cast<IInStream*>(this);
  } else if (SameId(iid, IID_ISequentialOutStream) || SameId(iid, IID_IOutStream)) {
    *object = static_cast<IOutStream*>(this);
  } else if (SameId(iid, IID_IStreamGetSize)) {
    *object = static_cast<IStreamGetSize*>(this);
  } else if (SameId(iid, IID_IOutStreamFinish)) {
    *object = static_cast<IOutStreamFinish*>(this);
  } else {
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG T7zStream::AddRef() { return ++FRefCount; }

ULONG T7zStream::Release() {
  const ULONG left = --FRefCount;
  if (left == 0) delete this;
  return left;
}

// A failing wrapped stream is reported to the library, which then ends the operation with that
// code: a full disk must not pass for a complete file.
HRESULT T7zStream::Read(void* data, UInt32 size, UInt32* processedSize) {
  UInt32 read = 0;
  const DWORD error = FStream->Read(data, size, read);
  if (processedSize != nullptr) *processedSize = read;
  return HResultFromWin32(error);
}

HRESULT T7zStream::Write(const void* data, UInt32 size, UInt32* processedSize) {
  UInt32 written = 0;
  DWORD error = FStream->Write(data, size, written);
  if (error == ERROR_SUCCESS && written == 0 && size != 0) error = ERROR_WRITE_FAULT;
  if (processedSize != nullptr) *processedSize = written;
  return HResultFromWin32(error);
}

HRESULT T7zStream::Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) {
  UInt64 position = 0;
  const DWORD error = FStream->Seek(offset, seekOrigin, position);
  if (error == ERROR_SUCCESS && newPosition != nullptr) *newPosition = position;
  return HResultFromWin32(error);
}

HRESULT T7zStream::SetSize(UInt64 newSize) { return HResultFromWin32(FStream->SetSize(newSize)); }

HRESULT T7zStream::GetSize(UInt64* size) {
  UInt64 length = 0;
  const DWORD error = FStream->GetSize(length);
  if (error == ERROR_SUCCESS && size != nullptr) *size = length;
  return HResultFromWin32(error);
}

HRESULT T7zStream::OutStreamFinish() { return S_OK; }

}  // namespace sevenzip
