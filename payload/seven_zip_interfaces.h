// The archive library's side of the binding: its COM-style interfaces, their identifiers and the
// value types that cross the boundary, laid out as the library expects them on each platform.
//
// 32-bit Windows (7z.dll): every method and export is __stdcall; wide strings are 2-byte WCHAR;
// BSTRs are the system's (oleaut32).
// Linux (the same library built as 7z.so): no calling convention of its own; wide strings are
// 4-byte wchar_t holding UTF-16 units (characters outside the BMP come as two surrogate units);
// a BSTR is a malloc block with a 32-bit byte length in front of the characters, which the
// library frees with its own SysFreeString (free of the block).
//
// IUnknown has no virtual destructor on either platform: the library's "GetModuleProp" answers
// interface type 0 (checked when the library is loaded). A destructor slot would shift every
// method by one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "platform/win32_device_types.h"

#if defined(_WIN32)
#define SZ_STDCALL __stdcall
#else
#define SZ_STDCALL
#endif

namespace sevenzip {

using Byte = std::uint8_t;
using Int32 = std::int32_t;
using UInt32 = std::uint32_t;
using Int64 = std::int64_t;
using UInt64 = std::uint64_t;
// 32-bit on both platforms (Linux `long` would be 64-bit).
using HRESULT = std::int32_t;
using ULONG = std::uint32_t;
using PROPID = std::uint32_t;
using VARTYPE = std::uint16_t;
using VARIANT_BOOL = std::int16_t;
using OLECHAR = wchar_t;  // 2 bytes on Windows, 4 on Linux: the library's own width either way
using BSTR = OLECHAR*;

#ifndef _WIN32  // winerror.h has them as macros
constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = static_cast<HRESULT>(0x80004001);
constexpr HRESULT E_NOINTERFACE = static_cast<HRESULT>(0x80004002);
constexpr HRESULT E_POINTER = static_cast<HRESULT>(0x80004003);
constexpr HRESULT E_ABORT = static_cast<HRESULT>(0x80004004);
constexpr HRESULT E_FAIL = static_cast<HRESULT>(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = static_cast<HRESULT>(0x8007000E);
constexpr HRESULT E_INVALIDARG = static_cast<HRESULT>(0x80070057);
#endif
#ifdef _WIN32
static_assert(sizeof(OLECHAR) == 2);
#else
static_assert(sizeof(OLECHAR) == 4);
#endif

constexpr HRESULT HResultFromWin32(DWORD error) {
  return error == 0 ? S_OK : static_cast<HRESULT>((error & 0xFFFF) | 0x80070000u);
}

// ---- Identifiers ------------------------------------------------------------------------------

// Not operator==: the Windows SDK has its own for GUID.
constexpr bool SameId(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i) {
    if (a.Data4[i] != b.Data4[i]) return false;
  }
  return true;
}

// {23170F69-40C1-278A-0000-000yy0xx0000}: the library's interface identifiers.
constexpr GUID LibraryInterfaceId(Byte group, Byte id) {
  return GUID{0x23170F69, 0x40C1, 0x278A, {0, 0, 0, group, 0, id, 0, 0}};
}

inline constexpr GUID IID_IUnknown{0x00000000, 0x0000, 0x0000,
                                   {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr GUID IID_IProgress = LibraryInterfaceId(0x00, 0x05);
inline constexpr GUID IID_ICryptoGetTextPassword = LibraryInterfaceId(0x05, 0x10);
inline constexpr GUID IID_ISequentialInStream = LibraryInterfaceId(0x03, 0x01);
inline constexpr GUID IID_ISequentialOutStream = LibraryInterfaceId(0x03, 0x02);
inline constexpr GUID IID_IInStream = LibraryInterfaceId(0x03, 0x03);
inline constexpr GUID IID_IOutStream = LibraryInterfaceId(0x03, 0x04);
inline constexpr GUID IID_IStreamGetSize = LibraryInterfaceId(0x03, 0x06);
inline constexpr GUID IID_IOutStreamFinish = LibraryInterfaceId(0x03, 0x07);
inline constexpr GUID IID_IArchiveOpenCallback = LibraryInterfaceId(0x06, 0x10);
inline constexpr GUID IID_IArchiveExtractCallback = LibraryInterfaceId(0x06, 0x20);
inline constexpr GUID IID_IArchiveOpenVolumeCallback = LibraryInterfaceId(0x06, 0x30);
inline constexpr GUID IID_IArchiveOpenSetSubArchiveName = LibraryInterfaceId(0x06, 0x50);
inline constexpr GUID IID_IInArchive = LibraryInterfaceId(0x06, 0x60);
// The binding's own interface.
inline constexpr GUID IID_I7zInArchive{0x022CF785, 0x3ECE, 0x46EF,
                                       {0x97, 0x55, 0x29, 0x1F, 0xA8, 0x4C, 0xC6, 0xC9}};

// Format class of the 7z handler.
inline constexpr GUID CLSID_CFormat7z{0x23170F69, 0x40C1, 0x278A,
                                      {0x10, 0x00, 0x00, 0x01, 0x10, 0x07, 0x00, 0x00}};

// ---- Property values --------------------------------------------------------------------------

enum VarType : VARTYPE {
  VT_EMPTY = 0,
  VT_I2 = 2,
  VT_I4 = 3,
  VT_BSTR = 8,
  VT_BOOL = 11,
  VT_I1 = 16,
  VT_UI1 = 17,
  VT_UI2 = 18,
  VT_UI4 = 19,
  VT_I8 = 20,
  VT_UI8 = 21,
  VT_INT = 22,
  VT_UINT = 23,
  VT_FILETIME = 64,
};

// PROPVARIANT: the type at offset 0, the value at offset 8, 16 bytes in all.
struct PROPVARIANT {
  VARTYPE vt;
  std::uint16_t wReserved1;
  std::uint16_t wReserved2;
  std::uint16_t wReserved3;
  union {
    std::int8_t cVal;
    Byte bVal;
    std::int16_t iVal;
    std::uint16_t uiVal;
    Int32 lVal;
    UInt32 ulVal;
    Int64 hVal;
    UInt64 uhVal;
    VARIANT_BOOL boolVal;
    BSTR bstrVal;
  };
};
static_assert(sizeof(PROPVARIANT) == 16 && offsetof(PROPVARIANT, hVal) == 8);

// Handler properties (GetHandlerProperty).
namespace NHandlerPropID {
enum : PROPID {
  kName = 0,
  kClassID,
  kExtension,
  kAddExtension,
  kUpdate,
  kKeepName,
  kSignature,
  kMultiSignature,
  kSignatureOffset,
  kAltStreams,
  kNtSecure,
  kFlags,
};
}

// Item properties the binding asks for (IInArchive::GetProperty).
namespace ItemProp {
enum : PROPID { kPath = 3, kName = 4, kIsDir = 6, kSize = 7 };
}

// Module properties ("GetModuleProp").
namespace NModulePropID {
enum : PROPID { kInterfaceType = 0, kVersion = 1 };
}
constexpr UInt32 kInterfaceWithoutVirtualDestructor = 0;

// Per-item results of IArchiveExtractCallback::SetOperationResult.
namespace NOperationResult {
enum : Int32 {
  kOK = 0,
  kUnsupportedMethod,
  kDataError,
  kCRCError,
  kUnavailable,
  kUnexpectedEnd,
  kDataAfterEnd,
  kIsNotArc,
  kHeadersError,
  kWrongPassword,
};
}

namespace NAskMode {
enum : Int32 { kExtract = 0, kTest, kSkip };
}

// ---- Interfaces -------------------------------------------------------------------------------
// Slot order is declaration order. The destructors are protected and not virtual: objects go
// through Release, and a virtual one would add a slot the library does not have.

struct IUnknown {
  virtual HRESULT SZ_STDCALL QueryInterface(const GUID& iid, void** object) = 0;
  virtual ULONG SZ_STDCALL AddRef() = 0;
  virtual ULONG SZ_STDCALL Release() = 0;

 protected:
  ~IUnknown() = default;
};

struct ISequentialInStream : IUnknown {
  virtual HRESULT SZ_STDCALL Read(void* data, UInt32 size, UInt32* processedSize) = 0;

 protected:
  ~ISequentialInStream() = default;
};

struct ISequentialOutStream : IUnknown {
  virtual HRESULT SZ_STDCALL Write(const void* data, UInt32 size, UInt32* processedSize) = 0;

 protected:
  ~ISequentialOutStream() = default;
};

struct IInStream : ISequentialInStream {
  virtual HRESULT SZ_STDCALL Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;

 protected:
  ~IInStream() = default;
};

struct IOutStream : ISequentialOutStream {
  virtual HRESULT SZ_STDCALL Seek(Int64 offset, UInt32 seekOrigin, UInt64* newPosition) = 0;
  virtual HRESULT SZ_STDCALL SetSize(UInt64 newSize) = 0;

 protected:
  ~IOutStream() = default;
};

struct IStreamGetSize : IUnknown {
  virtual HRESULT SZ_STDCALL GetSize(UInt64* size) = 0;

 protected:
  ~IStreamGetSize() = default;
};

struct IOutStreamFinish : IUnknown {
  virtual HRESULT SZ_STDCALL OutStreamFinish() = 0;

 protected:
  ~IOutStreamFinish() = default;
};

struct IProgress : IUnknown {
  virtual HRESULT SZ_STDCALL SetTotal(UInt64 total) = 0;
  virtual HRESULT SZ_STDCALL SetCompleted(const UInt64* completeValue) = 0;

 protected:
  ~IProgress() = default;
};

struct IArchiveOpenCallback : IUnknown {
  virtual HRESULT SZ_STDCALL SetTotal(const UInt64* files, const UInt64* bytes) = 0;
  virtual HRESULT SZ_STDCALL SetCompleted(const UInt64* files, const UInt64* bytes) = 0;

 protected:
  ~IArchiveOpenCallback() = default;
};

struct IArchiveExtractCallback : IProgress {
  virtual HRESULT SZ_STDCALL GetStream(UInt32 index, ISequentialOutStream** outStream,
                                       Int32 askExtractMode) = 0;
  virtual HRESULT SZ_STDCALL PrepareOperation(Int32 askExtractMode) = 0;
  virtual HRESULT SZ_STDCALL SetOperationResult(Int32 opRes) = 0;

 protected:
  ~IArchiveExtractCallback() = default;
};

struct ICryptoGetTextPassword : IUnknown {
  virtual HRESULT SZ_STDCALL CryptoGetTextPassword(BSTR* password) = 0;

 protected:
  ~ICryptoGetTextPassword() = default;
};

struct IArchiveOpenVolumeCallback : IUnknown {
  virtual HRESULT SZ_STDCALL GetProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT SZ_STDCALL GetStream(const OLECHAR* name, IInStream** inStream) = 0;

 protected:
  ~IArchiveOpenVolumeCallback() = default;
};

struct IArchiveOpenSetSubArchiveName : IUnknown {
  virtual HRESULT SZ_STDCALL SetSubArchiveName(const OLECHAR* name) = 0;

 protected:
  ~IArchiveOpenSetSubArchiveName() = default;
};

struct IInArchive : IUnknown {
  virtual HRESULT SZ_STDCALL Open(IInStream* stream, const UInt64* maxCheckStartPosition,
                                  IArchiveOpenCallback* openCallback) = 0;
  virtual HRESULT SZ_STDCALL Close() = 0;
  virtual HRESULT SZ_STDCALL GetNumberOfItems(UInt32* numItems) = 0;
  virtual HRESULT SZ_STDCALL GetProperty(UInt32 index, PROPID propID, PROPVARIANT* value) = 0;
  // numItems 0xFFFFFFFF with no indices: every item.
  virtual HRESULT SZ_STDCALL Extract(const UInt32* indices, UInt32 numItems, Int32 testMode,
                                     IArchiveExtractCallback* extractCallback) = 0;
  virtual HRESULT SZ_STDCALL GetArchiveProperty(PROPID propID, PROPVARIANT* value) = 0;
  virtual HRESULT SZ_STDCALL GetNumberOfProperties(UInt32* numProps) = 0;
  virtual HRESULT SZ_STDCALL GetPropertyInfo(UInt32 index, BSTR* name, PROPID* propID,
                                             VARTYPE* varType) = 0;
  virtual HRESULT SZ_STDCALL GetNumberOfArchiveProperties(UInt32* numProps) = 0;
  virtual HRESULT SZ_STDCALL GetArchivePropertyInfo(UInt32 index, BSTR* name, PROPID* propID,
                                                    VARTYPE* varType) = 0;

 protected:
  ~IInArchive() = default;
};

// Exports of the library.
using CreateObjectFunc = HRESULT(SZ_STDCALL*)(const GUID* classId, const GUID* interfaceId,
                                              void** object);
using GetHandlerPropertyFunc = HRESULT(SZ_STDCALL*)(PROPID propId, PROPVARIANT* value);
using GetModulePropFunc = HRESULT(SZ_STDCALL*)(PROPID propId, PROPVARIANT* value);

// ---- Ownership helpers ------------------------------------------------------------------------

// One counted reference to an interface.
template <class T>
class ComPtr {
 public:
  ComPtr() = default;
  ComPtr(T* object) : object_(object) {  // NOLINT: takes a new reference, like a COM smart pointer
    if (object_ != nullptr) object_->AddRef();
  }
  ComPtr(const ComPtr& other) : ComPtr(other.object_) {}
  ComPtr(ComPtr&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  ComPtr& operator=(ComPtr other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~ComPtr() { reset(); }

  // Adopts a reference the caller already holds (an out parameter of the library).
  static ComPtr Adopt(T* object) {
    ComPtr result;
    result.object_ = object;
    return result;
  }

  T* get() const { return object_; }
  T* operator->() const { return object_; }
  explicit operator bool() const { return object_ != nullptr; }
  void reset() {
    if (T* old = std::exchange(object_, nullptr)) old->Release();
  }
  // Hands the reference over (to an out parameter).
  T* Detach() { return std::exchange(object_, nullptr); }
  // For out parameters: empties the pointer and gives its address.
  T** Receive() {
    reset();
    return &object_;
  }

 private:
  T* object_ = nullptr;
};

// ---- Strings and values -------------------------------------------------------------------------

// A system string (BSTR) for `utf8`, in the layout the library frees; null when out of memory.
BSTR AllocSystemString(std::string_view utf8);
void FreeSystemString(BSTR text);
// The byte length a BSTR records (its binary data may hold zeros).
UInt32 SystemStringByteLength(BSTR text);

// The library's wide strings (UTF-16 units in OLECHAR) and UTF-8.
std::string WideToUtf8(const OLECHAR* text, std::size_t length);
std::string WideToUtf8(const OLECHAR* text);

// A PROPVARIANT the library fills, cleared when it goes.
class PropVariant {
 public:
  PropVariant() { value_.vt = VT_EMPTY; }
  PropVariant(PropVariant&& other) noexcept;
  PropVariant(const PropVariant&) = delete;
  PropVariant& operator=(const PropVariant&) = delete;
  ~PropVariant() { Clear(); }

  PROPVARIANT* Receive() {
    Clear();
    return &value_;
  }
  const PROPVARIANT& get() const { return value_; }
  void Clear();

  // Conversions as a variant converts: empty gives "", 0 and false.
  std::string Text() const;
  Int64 Integer() const;
  bool Boolean() const;

 private:
  PROPVARIANT value_{};
};

}  // namespace sevenzip
