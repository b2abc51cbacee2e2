// Files and folders on the emulated volumes. A volume's files live in its folder of the machine
// directory; names match without regard to letter case, and no path leaves its volume's folder
// (names never hold separators, and ".." stops at the root).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <map>
#include <system_error>

#include "platform/emulated/devices.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/sharing.h"
#include "platform/seam.h"

namespace emu {
namespace {

std::mutex gOpenFilesMutex;
std::map<const Volume*, std::size_t> gOpenFiles;

class FileObject : public KernelObject {
 public:
  FileObject(int fd, std::string_view path, DWORD access, std::unique_ptr<ShareToken> token,
             std::shared_ptr<Volume> volume)
      : fd_(fd), path_(path), access_(access), token_(std::move(token)),
        volume_(std::move(volume)) {
    std::lock_guard lock(gOpenFilesMutex);
    ++gOpenFiles[volume_.get()];
  }
  ~FileObject() override {
    ::close(fd_);
    std::lock_guard lock(gOpenFilesMutex);
    if (--gOpenFiles[volume_.get()] == 0) gOpenFiles.erase(volume_.get());
  }

  DWORD FileType() const override { return FILE_TYPE_DISK; }

  DWORD Read(void* data, DWORD size, DWORD* read) override {
    if (read) *read = 0;
    if (auto fault = TakeFault("ReadFile", path_)) return *fault;
    if (!(access_ & (GENERIC_READ | GENERIC_ALL))) return ERROR_ACCESS_DENIED;
    const ssize_t got = ::pread(fd_, data, size, position_);
    if (got < 0) return ERROR_READ_FAULT;
    position_ += got;
    if (read) *read = static_cast<DWORD>(got);
    return ERROR_SUCCESS;
  }

  DWORD Write(const void* data, DWORD size, DWORD* written) override {
    if (written) *written = 0;
    if (auto fault = TakeFault("WriteFile", path_)) return *fault;
    if (!(access_ & (GENERIC_WRITE | GENERIC_ALL))) return ERROR_ACCESS_DENIED;
    const ssize_t put = ::pwrite(fd_, data, size, position_);
    if (put < 0) return errno == ENOSPC ? ERROR_DISK_FULL : ERROR_WRITE_FAULT;
    position_ += put;
    if (written) *written = static_cast<DWORD>(put);
    return ERROR_SUCCESS;
  }

  DWORD Seek(LONGLONG distance, DWORD method, LONGLONG* newPosition) override {
    return MovePosition(position_, distance, method, [this](LONGLONG& length) {
      struct stat info {};
      if (::fstat(fd_, &info) != 0) return DWORD(ERROR_GEN_FAILURE);
      length = info.st_size;
      return DWORD(ERROR_SUCCESS);
    }, newPosition);
  }

 private:
  int fd_;
  std::string path_;  // as the program named it, for faults
  DWORD access_;
  LONGLONG position_ = 0;
  std::unique_ptr<ShareToken> token_;
  std::shared_ptr<Volume> volume_;
};

// Resolves `path` under the storage lock; sets nothing.
DWORD Resolve(std::string_view path, Storage& storage, HostPath& resolved) {
  FilePath parsed;
  if (DWORD status = ParseFilePath(path, parsed); status != ERROR_SUCCESS) return status;
  return ResolveFilePath(storage, parsed, resolved);
}

// The error Windows gives for a missing file: its folder missing is a missing path.
DWORD MissingError(const std::filesystem::path& host) {
  std::error_code ec;
  return std::filesystem::is_directory(host.parent_path(), ec) ? ERROR_FILE_NOT_FOUND
                                                               : ERROR_PATH_NOT_FOUND;
}

BOOL Fail(DWORD error) {
  win::SetLastError(error);
  return FALSE;
}

DWORD CopyOneFile(const std::filesystem::path& from, const std::filesystem::path& to,
                  bool failIfExists) {
  std::error_code ec;
  if (!std::filesystem::is_regular_file(from, ec)) return MissingError(from);
  if (std::filesystem::is_directory(to, ec)) return ERROR_ACCESS_DENIED;
  if (failIfExists && std::filesystem::exists(to, ec)) return ERROR_FILE_EXISTS;
  if (!std::filesystem::is_directory(to.parent_path(), ec)) return ERROR_PATH_NOT_FOUND;
  if (std::filesystem::equivalent(from, to, ec)) return ERROR_SHARING_VIOLATION;
  std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing, ec);
  if (ec) return ec == std::errc::no_space_on_device ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED;
  return ERROR_SUCCESS;
}

// The entry of `folder` named `name` without regard to letter case, or folder / name.
std::filesystem::path ChildIgnoringCase(const std::filesystem::path& folder,
                                        const std::filesystem::path& name) {
  std::error_code ec;
  const std::string wanted = name.string();
  for (const auto& existing : std::filesystem::directory_iterator(folder, ec)) {
    const std::string have = existing.path().filename().string();
    if (!CaseInsensitiveLess{}(have, wanted) && !CaseInsensitiveLess{}(wanted, have)) {
      return existing.path();
    }
  }
  return folder / name;
}

// The shell copies a folder into the destination folder and merges with what is there: files
// of the same name are replaced, others stay.
DWORD MergeFolder(const std::filesystem::path& from, const std::filesystem::path& to) {
  std::error_code ec;
  std::filesystem::create_directories(to, ec);
  if (ec) return ERROR_ACCESS_DENIED;
  for (const auto& entry : std::filesystem::directory_iterator(from, ec)) {
    const std::filesystem::path target = ChildIgnoringCase(to, entry.path().filename());
    if (entry.is_directory(ec)) {
      if (std::filesystem::exists(target, ec) && !std::filesystem::is_directory(target, ec)) {
        return ERROR_ALREADY_EXISTS;
      }
      if (DWORD status = MergeFolder(entry.path(), target); status != ERROR_SUCCESS) return status;
    } else if (DWORD status = CopyOneFile(entry.path(), target, false); status != ERROR_SUCCESS) {
      return status;
    }
  }
  return ec ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

// The host folder of the process's current directory, empty when it cannot be told.
std::filesystem::path CurrentFolder(Storage& storage) {
  std::string current;
  win::GetCurrentDirectoryW(current);
  HostPath resolved;
  if (Resolve(current, storage, resolved) != ERROR_SUCCESS) return {};
  return resolved.host.lexically_normal();
}

// Whether `inner` is `folder` itself or lies somewhere below it.
bool WithinFolder(const std::filesystem::path& inner, const std::filesystem::path& folder) {
  if (inner.empty()) return false;
  const std::string in = inner.lexically_normal().string();
  std::string out = folder.lexically_normal().string();
  while (out.size() > 1 && out.back() == '/') out.pop_back();
  return in == out || in.rfind(out + "/", 0) == 0;
}

// Deletes the tree `root` except the folders on the way down to `kept`, which a process holds
// open as its current directory: ERROR_SHARING_VIOLATION when those had to stay.
DWORD RemoveTreeAround(const std::filesystem::path& root, const std::filesystem::path& kept) {
  std::error_code ec;
  if (!WithinFolder(kept, root)) {
    std::filesystem::remove_all(root, ec);
    return ec ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
  }
  for (const auto& entry : std::filesystem::directory_iterator(root, ec)) {
    const DWORD status = RemoveTreeAround(entry.path(), kept);
    if (status == ERROR_ACCESS_DENIED) return status;
  }
  return ec ? ERROR_ACCESS_DENIED : ERROR_SHARING_VIOLATION;
}

std::vector<std::string> SplitList(const char* list) {
  std::vector<std::string> paths;
  if (list == nullptr) return paths;
  while (*list != '\0') {
    paths.emplace_back(list);
    list += paths.back().size() + 1;
  }
  return paths;
}

}  // namespace

std::size_t OpenFilesOnVolume(const Volume& volume) {
  std::lock_guard lock(gOpenFilesMutex);
  auto it = gOpenFiles.find(&volume);
  return it == gOpenFiles.end() ? 0 : it->second;
}

}  // namespace emu

namespace win {

HANDLE CreateFileW(std::string_view path, DWORD access, DWORD shareMode,
                   const SECURITY_ATTRIBUTES*, DWORD creationDisposition, DWORD flags, HANDLE) {
  emu::RunInterleaves("CreateFileW", path);
  if (auto fault = emu::TakeFault("CreateFileW", path)) {
    SetLastError(*fault);
    return INVALID_HANDLE_VALUE;
  }
  if (auto device = emu::ParseDevicePath(path)) {
    if (device->kind == emu::DevicePath::Kind::Disk && device->disk == 0xFFFFFFFF) {
      SetLastError(ERROR_FILE_NOT_FOUND);
      return INVALID_HANDLE_VALUE;
    }
    return emu::OpenDevice(*device, path, access, shareMode, creationDisposition);
  }

  auto locked = emu::Storage::Lock();
  emu::HostPath resolved;
  if (DWORD status = emu::Resolve(path, locked.storage, resolved); status != ERROR_SUCCESS) {
    SetLastError(status);
    return INVALID_HANDLE_VALUE;
  }
  std::error_code ec;
  const bool exists = std::filesystem::exists(resolved.host, ec);
  if (resolved.isRoot || (exists && std::filesystem::is_directory(resolved.host, ec))) {
    // Folders open only with FILE_FLAG_BACKUP_SEMANTICS, which nothing here asks for.
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  int openFlags = 0;
  switch (creationDisposition) {
    case CREATE_NEW:
      if (exists) return SetLastError(ERROR_FILE_EXISTS), INVALID_HANDLE_VALUE;
      openFlags = O_CREAT | O_EXCL;
      break;
    case CREATE_ALWAYS: openFlags = O_CREAT | O_TRUNC; break;
    case OPEN_EXISTING:
      if (!exists) return SetLastError(emu::MissingError(resolved.host)), INVALID_HANDLE_VALUE;
      break;
    case OPEN_ALWAYS: openFlags = O_CREAT; break;
    case TRUNCATE_EXISTING:
      if (!exists) return SetLastError(emu::MissingError(resolved.host)), INVALID_HANDLE_VALUE;
      if (!(access & (GENERIC_WRITE | GENERIC_ALL))) {
        return SetLastError(ERROR_INVALID_PARAMETER), INVALID_HANDLE_VALUE;
      }
      openFlags = O_TRUNC;
      break;
    default:
      SetLastError(ERROR_INVALID_PARAMETER);
      return INVALID_HANDLE_VALUE;
  }
  if (!std::filesystem::is_directory(resolved.host.parent_path(), ec)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  std::unique_ptr<emu::ShareToken> token;
  const std::string shareName = "file:" + resolved.host.string();
  if (DWORD status = emu::OpenShared(shareName, access, shareMode, token); status != ERROR_SUCCESS) {
    SetLastError(status);
    return INVALID_HANDLE_VALUE;
  }
  // A file replaced while others have it open keeps their data: truncation needs write sharing,
  // which OpenShared has checked.
  const int fd = ::open(resolved.host.c_str(), O_RDWR | O_CLOEXEC | openFlags, 0644);
  if (fd < 0) {
    SetLastError(errno == ENOSPC ? ERROR_DISK_FULL : ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  (void)flags;
  auto object = std::make_shared<emu::FileObject>(fd, path, access, std::move(token), resolved.volume);
  locked.lock.unlock();
  // Opening an existing file with CREATE_ALWAYS or OPEN_ALWAYS reports ERROR_ALREADY_EXISTS.
  const bool reportsExisting =
      exists && (creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS);
  SetLastError(reportsExisting ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
  return emu::InsertHandle(std::move(object));
}

DWORD GetFileAttributesW(std::string_view path) {
  auto locked = emu::Storage::Lock();
  emu::HostPath resolved;
  if (DWORD status = emu::Resolve(path, locked.storage, resolved); status != ERROR_SUCCESS) {
    SetLastError(status);
    return INVALID_FILE_ATTRIBUTES;
  }
  std::error_code ec;
  if (std::filesystem::is_directory(resolved.host, ec)) return FILE_ATTRIBUTE_DIRECTORY;
  if (std::filesystem::is_regular_file(resolved.host, ec)) return FILE_ATTRIBUTE_ARCHIVE;
  SetLastError(emu::MissingError(resolved.host));
  return INVALID_FILE_ATTRIBUTES;
}

BOOL CreateDirectoryW(std::string_view path, const SECURITY_ATTRIBUTES*) {
  if (auto fault = emu::TakeFault("CreateDirectoryW", path)) return emu::Fail(*fault);
  auto locked = emu::Storage::Lock();
  emu::HostPath resolved;
  if (DWORD status = emu::Resolve(path, locked.storage, resolved); status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  std::error_code ec;
  if (resolved.isRoot || std::filesystem::exists(resolved.host, ec)) {
    return emu::Fail(ERROR_ALREADY_EXISTS);
  }
  if (!std::filesystem::is_directory(resolved.host.parent_path(), ec)) {
    return emu::Fail(ERROR_PATH_NOT_FOUND);  // one level at a time, as on Windows
  }
  if (!std::filesystem::create_directory(resolved.host, ec)) return emu::Fail(ERROR_ACCESS_DENIED);
  return TRUE;
}

BOOL RemoveDirectoryW(std::string_view path) {
  auto locked = emu::Storage::Lock();
  emu::HostPath resolved;
  if (DWORD status = emu::Resolve(path, locked.storage, resolved); status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  std::error_code ec;
  if (resolved.isRoot) return emu::Fail(ERROR_ACCESS_DENIED);
  if (!std::filesystem::is_directory(resolved.host, ec)) {
    return emu::Fail(std::filesystem::exists(resolved.host, ec) ? ERROR_DIRECTORY
                                                                : emu::MissingError(resolved.host));
  }
  if (!std::filesystem::is_empty(resolved.host, ec)) return emu::Fail(ERROR_DIR_NOT_EMPTY);
  // A process holds its current directory open without delete sharing: Windows refuses to
  // remove that folder with a sharing violation.
  if (emu::WithinFolder(emu::CurrentFolder(locked.storage), resolved.host)) {
    return emu::Fail(ERROR_SHARING_VIOLATION);
  }
  std::filesystem::remove(resolved.host, ec);
  return ec ? emu::Fail(ERROR_ACCESS_DENIED) : TRUE;
}

BOOL DeleteFileW(std::string_view path) {
  if (auto fault = emu::TakeFault("DeleteFileW", path)) return emu::Fail(*fault);
  auto locked = emu::Storage::Lock();
  emu::HostPath resolved;
  if (DWORD status = emu::Resolve(path, locked.storage, resolved); status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  std::error_code ec;
  if (std::filesystem::is_directory(resolved.host, ec)) return emu::Fail(ERROR_ACCESS_DENIED);
  if (!std::filesystem::is_regular_file(resolved.host, ec)) {
    return emu::Fail(emu::MissingError(resolved.host));
  }
  // A file open without FILE_SHARE_DELETE cannot be deleted.
  std::unique_ptr<emu::ShareToken> token;
  if (DWORD status = emu::OpenShared("file:" + resolved.host.string(), DELETE,
                                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, token);
      status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  std::filesystem::remove(resolved.host, ec);
  return ec ? emu::Fail(ERROR_ACCESS_DENIED) : TRUE;
}

BOOL CopyFileW(std::string_view source, std::string_view destination, BOOL failIfExists) {
  if (auto fault = emu::TakeFault("CopyFileW", destination)) return emu::Fail(*fault);
  auto locked = emu::Storage::Lock();
  emu::HostPath from, to;
  if (DWORD status = emu::Resolve(source, locked.storage, from); status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  if (DWORD status = emu::Resolve(destination, locked.storage, to); status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  if (DWORD status = emu::CopyOneFile(from.host, to.host, failIfExists != FALSE);
      status != ERROR_SUCCESS) {
    return emu::Fail(status);
  }
  return TRUE;
}

int SHFileOperationW(ShellFileOperation* operation) {
  if (operation == nullptr) return ERROR_INVALID_PARAMETER;
  operation->fAnyOperationsAborted = FALSE;
  const std::vector<std::string> sources = emu::SplitList(operation->pFrom);
  if (sources.empty()) return DE_INVALIDFILES;
  emu::RunInterleaves("SHFileOperationW", sources.front());
  if (auto fault = emu::TakeFault("SHFileOperationW", sources.front())) {
    return static_cast<int>(*fault);
  }
  auto locked = emu::Storage::Lock();
  std::error_code ec;
  if (operation->wFunc == FO_DELETE) {
    for (const std::string& source : sources) {
      emu::HostPath resolved;
      if (DWORD status = emu::Resolve(source, locked.storage, resolved); status != ERROR_SUCCESS) {
        return DE_INVALIDFILES;
      }
      if (resolved.isRoot) return DE_ROOTDIR;
      if (!std::filesystem::exists(resolved.host, ec)) return DE_INVALIDFILES;
      // The shell deletes what it can: the files go, but a folder that is a process's current
      // directory stays (with the folders above it), as RemoveDirectoryW refuses it.
      const DWORD status = emu::RemoveTreeAround(resolved.host, emu::CurrentFolder(locked.storage));
      if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return static_cast<int>(status);
      }
    }
    return 0;
  }
  if (operation->wFunc == FO_COPY) {
    const std::vector<std::string> targets = emu::SplitList(operation->pTo);
    if (targets.size() != 1) return DE_INVALIDFILES;
    emu::HostPath target;
    if (DWORD status = emu::Resolve(targets.front(), locked.storage, target);
        status != ERROR_SUCCESS) {
      return DE_PATHNOTFOUND_OR_ERRORONDEST;
    }
    for (const std::string& source : sources) {
      emu::HostPath from;
      if (DWORD status = emu::Resolve(source, locked.storage, from); status != ERROR_SUCCESS) {
        return DE_INVALIDFILES;
      }
      if (!std::filesystem::exists(from.host, ec)) return DE_INVALIDFILES;
      // A folder is copied with its name into the destination folder (created when missing,
      // FOF_NOCONFIRMMKDIR), merging with what is there.
      if (!(operation->fFlags & FOF_NOCONFIRMMKDIR) &&
          !std::filesystem::is_directory(target.host, ec)) {
        operation->fAnyOperationsAborted = TRUE;  // the question nobody is there to answer
        return ERROR_CANCELLED;
      }
      // Into an existing folder the item keeps its name; a single item copied to a name that
      // does not exist yet is copied as that name.
      const bool targetExists = target.isRoot || std::filesystem::is_directory(target.host, ec);
      const std::filesystem::path into = targetExists || sources.size() > 1
                                             ? emu::ChildIgnoringCase(target.host, from.host.filename())
                                             : target.host;
      if (from.isRoot) return DE_ROOTDIR;
      const std::string fromText = from.host.lexically_normal().string();
      const std::string intoText = into.lexically_normal().string();
      if (intoText.rfind(fromText + "/", 0) == 0 || intoText == fromText) {
        return DE_DESTSUBTREE;
      }
      DWORD status = std::filesystem::is_directory(from.host, ec)
                         ? emu::MergeFolder(from.host, into)
                         : (std::filesystem::create_directories(into.parent_path(), ec),
                            emu::CopyOneFile(from.host, into, false));
      if (status != ERROR_SUCCESS) return static_cast<int>(status);
    }
    return 0;
  }
  return ERROR_INVALID_PARAMETER;  // moves and renames are not needed on this machine
}

}  // namespace win
