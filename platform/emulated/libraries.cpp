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
#include <vector>

#include "platform/emulated/faults.h"
#include "platform/emulated/images.h"
#include "platform/emulated/machine.h"
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

// Loads the library file at `path` (relative paths from the current directory).
HMODULE LoadFile(std::string_view path) {
  FilePath parsed;
  if (DWORD status = ParseFilePath(path, parsed); status != ERROR_SUCCESS) {
    return Fail(status == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : status);
  }
  std::filesystem::path host;
  std::unique_ptr<ShareToken> token;
  {
    auto locked = Storage::Lock();
    HostPath resolved;
    if (ResolveFilePath(locked.storage, parsed, resolved) != ERROR_SUCCESS) {
      return Fail(ERROR_MOD_NOT_FOUND);
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(resolved.host, ec)) return Fail(ERROR_MOD_NOT_FOUND);
    host = resolved.host;
    if (DWORD status = MapImage(host, token); status != ERROR_SUCCESS) return Fail(status);
  }
  // The host path is absolute, so the loader takes it as it is and never searches.
  void* handle = ::dlopen(host.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    // A dependency the loader cannot find is a missing module on Windows too.
    const char* error = ::dlerror();
    const bool missingDependency =
        error != nullptr && std::string_view(error).find("cannot open shared object file") !=
                                std::string_view::npos;
    return Fail(missingDependency ? ERROR_MOD_NOT_FOUND : ERROR_BAD_EXE_FORMAT);
  }
  {
    std::lock_guard lock(gModulesMutex);
    LoadedModule& module = gModules[handle];
    if (module.count++ == 0) module.token = std::move(token);
  }
  win::SetLastError(ERROR_SUCCESS);
  return reinterpret_cast<HMODULE>(handle);
}

constexpr DWORD kSearchFlags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR |
                               LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                               LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
constexpr char kSystemFolder[] = "C:\\Windows\\System32";
constexpr char kWindowsFolder[] = "C:\\Windows";

// "X:\..." or "\\server\..." (and the \\?\ forms): a path Windows takes as it is.
bool FullyQualified(std::string_view path) {
  return (path.size() >= 3 && path[1] == ':' && (path[2] == '\\' || path[2] == '/')) ||
         path.rfind("\\\\", 0) == 0;
}

bool BareName(std::string_view path) {
  return path.find_first_of("\\/:") == std::string_view::npos;
}

// The folders searched for a bare library name, in order. The program itself has no file on this
// machine, so the application's folder holds no library and is left out.
std::vector<std::string> SearchFolders(DWORD flags) {
  ProcessState& process = Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  DWORD search = flags & (kSearchFlags & ~LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR);
  if (search == 0) search = process.defaultDllDirectories;
  std::vector<std::string> folders;
  if (search != 0) {
    // The folders the flags name: the user's folder before the system's.
    const bool all = (search & LOAD_LIBRARY_SEARCH_DEFAULT_DIRS) != 0;
    if ((all || (search & LOAD_LIBRARY_SEARCH_USER_DIRS)) && process.dllDirectory &&
        !process.dllDirectory->empty()) {
      folders.push_back(*process.dllDirectory);
    }
    if (all || (search & LOAD_LIBRARY_SEARCH_SYSTEM32)) folders.push_back(kSystemFolder);
    return folders;
  }
  // The standard order: the system folders, then the current directory, which SetDllDirectoryW
  // replaces by its folder (or leaves out, for an empty one).
  folders = {kSystemFolder, kWindowsFolder};
  if (!process.dllDirectory) {
    folders.push_back(process.currentDirectory);
  } else if (!process.dllDirectory->empty()) {
    folders.push_back(*process.dllDirectory);
  }
  return folders;
}

}  // namespace
}  // namespace emu

namespace win {

HMODULE LoadLibraryW(std::string_view path) { return emu::LoadFile(path); }

HMODULE LoadLibraryExW(std::string_view path, HANDLE file, DWORD flags) {
  emu::RunInterleaves("LoadLibraryExW", path);
  // Windows refuses a file handle, the search flags together with the altered search path, and
  // the library's own folder without a fully qualified path to take it from.
  const bool searchFlags = (flags & emu::kSearchFlags) != 0;
  if (file != nullptr || (searchFlags && (flags & LOAD_WITH_ALTERED_SEARCH_PATH)) ||
      ((flags & LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR) && !emu::FullyQualified(path))) {
    return emu::Fail(ERROR_INVALID_PARAMETER);
  }
  if (!emu::BareName(path)) return emu::LoadFile(path);
  for (const std::string& folder : emu::SearchFolders(flags)) {
    std::string candidate = folder;
    if (!candidate.empty() && candidate.back() != '\\') candidate += '\\';
    candidate += path;
    const DWORD attributes = GetFileAttributesW(candidate);
    if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      return emu::LoadFile(candidate);
    }
  }
  return emu::Fail(ERROR_MOD_NOT_FOUND);
}

BOOL SetDefaultDllDirectories(DWORD flags) {
  constexpr DWORD allowed = LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_USER_DIRS |
                            LOAD_LIBRARY_SEARCH_SYSTEM32 | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS;
  // Windows accepts only a non-empty combination of these four.
  if (flags == 0 || (flags & ~allowed) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  process.defaultDllDirectories = flags;
  return TRUE;
}

BOOL SetDllDirectoryW(std::string_view path) {
  emu::ProcessState& process = emu::Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  process.dllDirectory = std::string(path);
  return TRUE;
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
