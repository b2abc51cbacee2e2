// Resources of the running executable: the files that cmake/Resources.cmake built into it.
#include <cctype>

#include "platform/emulated/embedded_resources.h"
#include "platform/seam.h"

namespace {

bool SameName(std::string_view a, const char* b) {
  std::string_view other(b);
  if (a.size() != other.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::toupper(static_cast<unsigned char>(a[i])) !=
        std::toupper(static_cast<unsigned char>(other[i])))
      return false;
  }
  return true;
}

const emu::EmbeddedResource* AsResource(const void* handle) {
  return static_cast<const emu::EmbeddedResource*>(handle);
}

}  // namespace

namespace win {

HRSRC FindResourceW(HMODULE module, std::string_view name, LPCWSTR type) {
  if (module != nullptr) {
    SetLastError(ERROR_RESOURCE_DATA_NOT_FOUND);  // loaded libraries carry no resources here
    return nullptr;
  }
  if (!IS_INTRESOURCE(type)) {
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return nullptr;
  }
  int typeId = static_cast<int>(reinterpret_cast<ULONG_PTR>(type));
  bool typeSeen = false;
  for (const emu::EmbeddedResource* r = emu::kEmbeddedResources; r->name; ++r) {
    if (r->type != typeId) continue;
    typeSeen = true;
    if (SameName(name, r->name)) {
      return reinterpret_cast<HRSRC>(const_cast<emu::EmbeddedResource*>(r));
    }
  }
  SetLastError(typeSeen ? ERROR_RESOURCE_NAME_NOT_FOUND : ERROR_RESOURCE_TYPE_NOT_FOUND);
  return nullptr;
}

HGLOBAL LoadResource(HMODULE, HRSRC resource) {
  if (!resource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  return static_cast<HGLOBAL>(resource);
}

DWORD SizeofResource(HMODULE, HRSRC resource) {
  if (!resource) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  const emu::EmbeddedResource* r = AsResource(resource);
  return static_cast<DWORD>(r->end - r->begin);
}

const void* LockResource(HGLOBAL loaded) {
  return loaded ? AsResource(loaded)->begin : nullptr;
}

BOOL FreeResource(HGLOBAL) { return FALSE; }  // a no-op on 32-bit Windows too

}  // namespace win
