// Libraries on the emulated machine: a DLL named by an emulated path is the host file in its
// volume's folder, loaded with the host's dynamic loader. The library must be built for the host
// (the archive library is; a Windows PE file is not loadable here and fails as Windows fails for
// a file of another machine type).
//
// No RTLD_DEEPBIND: the sanitizer runtimes refuse it, and nothing of ours exports the names the
// archive library defines (the seam lives in namespace win).
#include <dlfcn.h>
#include <link.h>

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>

#include "platform/emulated/paths.h"
#include "platform/emulated/sharing.h"
#include "platform/seam.h"

namespace emu {
namespace {

// While a module is loaded its file is open for reading, as Windows keeps an image mapped:
// others may read it but not write or delete it.
struct LoadedModule {
  std::size_t count = 0;
  std::unique_ptr<ShareToken> token;
};

std::mutex gModulesMutex;
std::map<void*, LoadedModule> gModules;

HMODULE Fail(DWORD error) {
  win::SetLastError(error);
  return nullptr;
}

bool IsLoaded(void* handle) {
  std::lock_guard lock(gModulesMutex);
  return gModules.count(handle) != 0;
}

}  // namespace
}  // namespace emu

namespace win {

HMODULE LoadLibraryW(std::string_view path) {
  emu::FilePath parsed;
  if (DWORD status = emu::ParseFilePath(path, parsed); status != ERROR_SUCCESS) {
    return emu::Fail(status == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : status);
  }
  std::filesystem::path host;
  std::unique_ptr<emu::ShareToken> token;
  {
    auto locked = emu::Storage::Lock();
    emu::HostPath resolved;
    if (emu::ResolveFilePath(locked.storage, parsed, resolved) != ERROR_SUCCESS) {
      return emu::Fail(ERROR_MOD_NOT_FOUND);
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(resolved.host, ec)) {
      return emu::Fail(ERROR_MOD_NOT_FOUND);
    }
    host = resolved.host;
    if (DWORD status = emu::OpenShared("file:" + host.string(), GENERIC_READ, FILE_SHARE_READ,
                                       token);
        status != ERROR_SUCCESS) {
      return emu::Fail(status);
    }
  }
  // The host path is absolute, so the loader takes it as it is and never searches.
  void* handle = ::dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // A dependency the loader cannot find is a missing module on Windows too.
    const char* error = ::dlerror();
    const bool missingDependency =
        error != nullptr && std::string_view(error).find("cannot open shared object file") !=
                                std::string_view::npos;
    return emu::Fail(missingDependency ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
  }
  {
    std::lock_guard lock(emu::gModulesMutex);
    emu::LoadedModule& module = emu::gModules[handle];
    if (module.count++ == 0) module.token = std::move(token);
  }
  SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HMODULE>(handle);
}

void* GetProcAddress(HMODULE module, const char* name) {
  void* handle = reinterpret_cast<void*>(module);
  if (handle == nullptr || !emu::IsLoaded(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return nullptr;
  }
  if (name == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  void* address = ::dlsym(handle, name);
  // dlsym also searches the module's dependencies (the C library, ...); Windows answers only
  // with the module's own exports.
  struct link_map* own = nullptr;
  struct link_map* found = nullptr;
  Dl_info info{};
  if (address == nullptr || ::dlinfo(handle, RTLD_DI_LINKMAP, &own) != 0 ||
      ::dladdr1(address, &info, reinterpret_cast<void**>(&found), RTLD_DL_LINKMAP) == 0 ||
      found != own) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  return address;
}

BOOL FreeLibrary(HMODULE module) {
  void* handle = reinterpret_cast<void*>(module);
  std::unique_ptr<emu::ShareToken> token;
  {
    std::lock_guard lock(emu::gModulesMutex);
    auto it = emu::gModules.find(handle);
    if (it == emu::gModules.end()) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
    if (--it->second.count == 0) {
      token = std::move(it->second.token);
      emu::gModules.erase(it);
    }
  }
  ::dlclose(handle);
  return TRUE;
}

}  // namespace win
