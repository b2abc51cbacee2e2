// Resources of a module (by default the running executable) on the real API.
#include "platform/seam.h"
#include "platform/windows/wide.h"

namespace win {
namespace {

HMODULE ModuleOrExecutable(HMODULE module) {
  return module != nullptr ? module : ::GetModuleHandleW(nullptr);
}

}  // namespace

// Windows itself compares resource names without regard to letter case.
HRSRC FindResourceW(HMODULE module, std::string_view name, LPCWSTR type) {
  return ::FindResourceW(ModuleOrExecutable(module), detail::Wide(name).c_str(), type);
}

HGLOBAL LoadResource(HMODULE module, HRSRC resource) {
  return ::LoadResource(ModuleOrExecutable(module), resource);
}

DWORD SizeofResource(HMODULE module, HRSRC resource) {
  return ::SizeofResource(ModuleOrExecutable(module), resource);
}

const void* LockResource(HGLOBAL loaded) { return ::LockResource(loaded); }

BOOL FreeResource(HGLOBAL loaded) { return ::FreeResource(loaded); }

}  // namespace win
