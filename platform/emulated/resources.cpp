// Resources of the running executable: the files that cmake/Resources.cmake built into it.
#include <cctype>
#include <map>
#include <mutex>

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

constexpr int kRcData = 10;  // RT_RCDATA, the only type tests stand in for

// A stand-in resource: its bytes and the entry that points at them (missing: no bytes).
struct Replacement {
  bool active = false;
  std::optional<std::string> bytes;
  emu::EmbeddedResource entry{};
};

std::mutex gReplacementsMutex;
std::map<std::string, Replacement> gReplacements;  // by upper-case name; never shrinks in a run

std::string UpperCase(std::string_view name) {
  std::string upper(name);
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return upper;
}

// The stand-in for `name`, when a test put one in place.
const Replacement* FindReplacement(std::string_view name) {
  std::lock_guard lock(gReplacementsMutex);
  auto found = gReplacements.find(UpperCase(name));
  if (found == gReplacements.end() || !found->second.active) return nullptr;
  return &found->second;
}

}  // namespace

namespace emu {

void ReplaceResource(const std::string& name, std::optional<std::string> bytes) {
  std::lock_guard lock(gReplacementsMutex);
  Replacement& replacement = gReplacements[UpperCase(name)];
  replacement.active = true;
  replacement.bytes = std::move(bytes);
  const auto* begin = replacement.bytes
                          ? reinterpret_cast<const unsigned char*>(replacement.bytes->data())
                          : nullptr;
  const auto* end = begin ? begin + replacement.bytes->size() : nullptr;
  replacement.entry = {"stand-in", kRcData, begin, end};
}

void RestoreResources() {
  std::lock_guard lock(gReplacementsMutex);
  for (auto& [name, replacement] : gReplacements) replacement.active = false;
}

}  // namespace emu

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
  if (const Replacement* replacement = FindReplacement(name); replacement && typeId == kRcData) {
    if (!replacement->bytes) {
      SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
      return nullptr;
    }
    return reinterpret_cast<HRSRC>(const_cast<emu::EmbeddedResource*>(&replacement->entry));
  }
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
