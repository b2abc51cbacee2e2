// A library with the archive library's exports that refuses every request, for the binding's
// failure paths that the real library never takes. Built twice: with GetHandlerProperty
// (VELUND_WITH_HANDLER_PROPERTY) and without it.
#include <cstdint>

namespace {

using HRESULT = std::int32_t;

// The layout of PROPVARIANT: the type, three reserved words, then the value.
struct Variant {
  std::uint16_t vt, reserved1, reserved2, reserved3;
  union {
    std::uint32_t ulVal;
    std::uint64_t wide;
  };
};

constexpr std::uint16_t kVtUi4 = 19;
constexpr HRESULT kNoInterface = static_cast<HRESULT>(0x80004002);
constexpr HRESULT kInvalidArgument = static_cast<HRESULT>(0x80070057);

}  // namespace

extern "C" {

__attribute__((visibility("default"))) HRESULT CreateObject(const void*, const void*,
                                                             void** object) {
  *object = nullptr;
  return kNoInterface;
}

// The interface convention of the real library on this platform (0: no virtual destructor).
__attribute__((visibility("default"))) HRESULT GetModuleProp(std::uint32_t id, Variant* value) {
  if (id == 0) {
    value->vt = kVtUi4;
    value->ulVal = 0;
  }
  return 0;
}

#ifdef VELUND_WITH_HANDLER_PROPERTY
__attribute__((visibility("default"))) HRESULT GetHandlerProperty(std::uint32_t, Variant*) {
  return kInvalidArgument;
}
#endif

}  // extern "C"
