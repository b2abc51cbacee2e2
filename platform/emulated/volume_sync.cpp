#include "platform/emulated/volume_sync.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/exfat_writer.h"
#include "platform/emulated/host_tools.h"
#include "platform/emulated/storage.h"

extern char** environ;

namespace emu {
namespace {

namespace fs = std::filesystem;

constexpr ULONGLONG kMiB = 1024 * 1024;

// What a write-through needs of a volume, copied under the storage lock.
struct SyncJob {
  std::string guid;
  fs::path image;
  ULONGLONG offset = 0;
  ULONGLONG length = 0;
  fs::path folder;
};

// How a volume looked after its last write-through (or when the storage was loaded): its place,
// the file system's identity and every entry of its folder. Equal states need no write-through.
struct VolumeState {
  std::string fileSystem;
  ULONGLONG serial = 0;
  std::size_t tree = 0;
  bool operator==(const VolumeState&) const = default;
};

std::mutex gStateMutex;  // taken after the storage lock, never the other way round
std::map<std::string, VolumeState> gStates;  // by image, offset and GUID
fs::path gMachineDirectory;
// One write-through at a time: two of the same partition must not interleave.
std::mutex gRunMutex;

std::string StateKey(const SyncJob& job) {
  return job.image.string() + "@" + std::to_string(job.offset) + ":" + std::to_string(job.length) +
         job.guid;
}

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

BootSectorInfo ReadVolumeBootSector(const SyncJob& job) {
  std::vector<BYTE> sector(4096);
  const int fd = open(job.image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  const std::size_t size = static_cast<std::size_t>(std::min<ULONGLONG>(sector.size(), job.length));
  const bool read = ReadAll(fd, sector.data(), size, job.offset);
  close(fd);
  return read ? ReadBootSector(sector.data(), size) : BootSectorInfo{};
}

// The names, kinds, sizes and modification times of everything below the folder.
std::size_t TreeFingerprint(const fs::path& folder) {
  std::size_t hash = 0;
  auto mix = [&hash](std::size_t value) { hash ^= value + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2); };
  std::error_code ec;
  std::vector<std::string> lines;
  for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st{};
    if (lstat(it->path().c_str(), &st) != 0) continue;
    lines.push_back(it->path().lexically_relative(folder).string() + "|" +
                    std::to_string(st.st_mode) + "|" + std::to_string(st.st_size) + "|" +
                    std::to_string(st.st_mtim.tv_sec) + "." + std::to_string(st.st_mtim.tv_nsec));
  }
  std::sort(lines.begin(), lines.end());
  for (const std::string& line : lines) mix(std::hash<std::string>{}(line));
  mix(lines.size());
  return hash;
}

VolumeState CurrentState(const SyncJob& job) {
  const BootSectorInfo info = ReadVolumeBootSector(job);
  return {info.fileSystem, info.serial, TreeFingerprint(job.folder)};
}

template <typename Wanted>
std::vector<SyncJob> CollectJobs(Storage& storage, Wanted wanted) {
  std::vector<SyncJob> jobs;
  for (const auto& volume : storage.Volumes()) {
    if (volume->cdrom || volume->extents.size() != 1 || !wanted(*volume)) continue;
    const DiskDevice* disk = storage.FindDisk(volume->Disk());
    if (disk == nullptr) continue;
    jobs.push_back({volume->guid, disk->image, static_cast<ULONGLONG>(volume->Offset()),
                    static_cast<ULONGLONG>(volume->Length()), storage.VolumeFolder(*volume)});
  }
  return jobs;
}

// ---- FAT through mtools, in place ----

// The images have no drive geometry mtools would accept as it stands; host names are UTF-8, which
// mtools turns into the long names' UTF-16 only under a UTF-8 locale.
std::vector<std::string> MtoolsVariables() { return {"MTOOLS_SKIP_CHECK=1", "LC_ALL=C.UTF-8"}; }

bool RunMtool(const std::string& name, std::vector<std::string> arguments, std::string& error,
              std::string* output = nullptr) {
  const std::optional<std::string> tool = FindTool(name);
  if (!tool) return error = name + " is missing (Debian package mtools)", false;
  const ToolResult result = RunTool(*tool, arguments, MtoolsVariables());
  if (output) *output = result.output;
  if (!result.ran || result.exitCode != 0) {
    error = name + " failed (exit " + std::to_string(result.exitCode) + "): " + result.output;
    return false;
  }
  return true;
}

// The clusters of a FAT32 volume by its BPB; 0 when it is no FAT32 one.
ULONGLONG Fat32Clusters(const SyncJob& job) {
  BYTE bpb[512];
  const int fd = open(job.image.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  const bool read = ReadAll(fd, bpb, sizeof bpb, job.offset);
  close(fd);
  const auto word = [&](int at) { return ULONGLONG(bpb[at]) | ULONGLONG(bpb[at + 1]) << 8; };
  const auto dword = [&](int at) { return word(at) | word(at + 2) << 16; };
  if (!read || word(0x16) != 0 || bpb[0x0D] == 0) return 0;
  const ULONGLONG total = word(0x13) ? word(0x13) : dword(0x20);
  const ULONGLONG system = word(0x0E) + ULONGLONG(bpb[0x10]) * dword(0x24);
  return total > system ? (total - system) / bpb[0x0D] : 0;
}

// Empties the root folder (the volume label stays: it is no file) and copies the folder in.
bool WriteFat(const SyncJob& job, std::string& error) {
  // Windows goes by the BPB; mtools before 4.0.41 by the cluster count alone, and would take
  // such a volume for FAT16 and fail half-way.
  if (const ULONGLONG clusters = Fat32Clusters(job); clusters != 0 && clusters < 65525) {
    error = "FAT32 with " + std::to_string(clusters) +
            " clusters, fewer than the 65525 mtools needs to take it for FAT32";
    return false;
  }
  const std::string target = job.image.string() + "@@" + std::to_string(job.offset);
  std::string listing;
  std::string ignored;
  // mdir ends with 1 on an empty root; what it lists is what there is.
  RunMtool("mdir", {"-a", "-b", "-i", target, "::/"}, ignored, &listing);
  std::vector<std::string> removals = {"-i", target};
  std::size_t start = 0;
  while (start < listing.size()) {
    std::size_t end = listing.find('\n', start);
    if (end == std::string::npos) end = listing.size();
    std::string line = listing.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("::/", 0) != 0) continue;
    while (line.size() > 3 && line.back() == '/') line.pop_back();
    if (line.size() > 3) removals.push_back(line);
  }
  if (removals.size() > 2 && !RunMtool("mdeltree", removals, error)) return false;

  std::vector<std::string> copies = {"-s", "-m", "-Q", "-i", target};
  std::error_code ec;
  std::vector<std::string> entries;
  for (const fs::directory_entry& entry : fs::directory_iterator(job.folder, ec))
    if (entry.is_directory() || entry.is_regular_file()) entries.push_back(entry.path().string());
  if (ec) return error = "reading " + job.folder.string() + ": " + ec.message(), false;
  if (entries.empty()) return true;
  std::sort(entries.begin(), entries.end());
  copies.insert(copies.end(), entries.begin(), entries.end());
  copies.push_back("::/");
  return RunMtool("mcopy", copies, error);
}

// ---- NTFS through ntfs-3g on a scratch copy of the partition ----

class Descriptor {
 public:
  explicit Descriptor(int fd = -1) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Scratch files and the mount point lie next to the image, on a file system with room for it.
struct Scratch {
  explicit Scratch(const fs::path& image) {
    const std::string base = (image.parent_path() / ("." + image.filename().string())).string();
    std::string pattern = base + ".sync-XXXXXX";
    fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) file = pattern;
    std::string logPattern = base + ".sync-log-XXXXXX";
    logFd = mkostemp(logPattern.data(), O_CLOEXEC);
    if (logFd >= 0) log = logPattern;
    std::string mountPattern = base + ".mount-XXXXXX";
    if (mkdtemp(mountPattern.data()) != nullptr) mountPoint = mountPattern;
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if (fd >= 0) close(fd);
    if (logFd >= 0) close(logFd);
    if (!file.empty()) unlink(file.c_str());
    if (!log.empty()) unlink(log.c_str());
    if (!mountPoint.empty()) rmdir(mountPoint.c_str());
  }
  bool Ready() const { return fd >= 0 && logFd >= 0 && !mountPoint.empty(); }
  std::string Log() const {
    std::ifstream in(log, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  int fd = -1;
  int logFd = -1;
  std::string file, log, mountPoint;
};

bool CopyOutOfImage(int image, int scratch, ULONGLONG offset, ULONGLONG length, std::string& error) {
  if (ftruncate(scratch, static_cast<off_t>(length)) != 0)
    return error = SystemError("making the scratch file"), false;
  std::vector<char> buffer(kMiB);
  for (auto [start, end] : DataExtents(image, offset, offset + length)) {
    for (ULONGLONG at = start; at < end; at += kMiB) {
      const std::size_t chunk = static_cast<std::size_t>(std::min(kMiB, end - at));
      if (!ReadAll(image, buffer.data(), chunk, at))
        return error = SystemError("reading the disk image"), false;
      if (std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(chunk),
                      [](char c) { return c == 0; }))
        continue;
      if (!WriteAll(scratch, buffer.data(), chunk, at - offset))
        return error = SystemError("writing the scratch file"), false;
    }
  }
  return true;
}

bool IsMountPoint(const std::string& path) {
  struct stat inside{}, parent{};
  if (stat(path.c_str(), &inside) != 0) return false;
  if (stat((path + "/..").c_str(), &parent) != 0) return false;
  return inside.st_dev != parent.st_dev;
}

bool SameContent(const fs::path& a, const fs::path& b) {
  std::error_code ec;
  if (fs::file_size(a, ec) != fs::file_size(b, ec) || ec) return false;
  std::ifstream left(a, std::ios::binary), right(b, std::ios::binary);
  std::vector<char> one(256 * 1024), two(256 * 1024);
  while (left && right) {
    left.read(one.data(), static_cast<std::streamsize>(one.size()));
    right.read(two.data(), static_cast<std::streamsize>(two.size()));
    if (left.gcount() != right.gcount()) return false;
    if (!std::equal(one.begin(), one.begin() + left.gcount(), two.begin())) return false;
  }
  return left.eof() && right.eof();
}

// Makes `to` hold exactly what `from` holds: folders and regular files, contents byte for byte.
void Mirror(const fs::path& from, const fs::path& to) {
  for (const fs::directory_entry& entry : fs::directory_iterator(to)) {
    const fs::file_status source = fs::symlink_status(from / entry.path().filename());
    const bool keep = (fs::is_directory(source) && entry.is_directory()) ||
                      (fs::is_regular_file(source) && entry.is_regular_file());
    if (!keep) fs::remove_all(entry.path());
  }
  for (const fs::directory_entry& entry : fs::directory_iterator(from)) {
    const fs::path target = to / entry.path().filename();
    if (entry.is_symlink()) continue;
    if (entry.is_directory()) {
      fs::create_directory(target);
      Mirror(entry.path(), target);
    } else if (entry.is_regular_file()) {
      if (!fs::exists(target) || !SameContent(entry.path(), target))
        fs::copy_file(entry.path(), target, fs::copy_options::overwrite_existing);
    }
  }
}

bool Unmount(const std::string& mountPoint, std::string& error) {
  std::optional<std::string> tool = FindTool("fusermount3");
  if (!tool) tool = FindTool("fusermount");
  if (!tool) return error = "fusermount is missing (Debian package fuse3)", false;
  ToolResult result;
  for (int attempt = 0; attempt < 50; ++attempt) {
    result = RunTool(*tool, {"-u", mountPoint});
    if (result.ran && result.exitCode == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  RunTool(*tool, {"-u", "-z", mountPoint});
  error = "cannot unmount " + mountPoint + ": " + result.output;
  return false;
}

// Waits for the driver to end; it writes the last of the file system as it goes.
int WaitForExit(pid_t pid, std::chrono::seconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (done < 0 && errno != EINTR) return -1;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool WriteNtfs(const SyncJob& job, std::string& error) {
  const std::optional<std::string> driver = FindTool("ntfs-3g");
  if (!driver) return error = "ntfs-3g is missing (Debian package ntfs-3g)", false;
  Scratch scratch(job.image);
  if (!scratch.Ready()) return error = SystemError("making scratch files"), false;
  Descriptor image(open(job.image.c_str(), O_RDWR | O_CLOEXEC));
  if (image.get() < 0) return error = SystemError("opening " + job.image.string()), false;
  if (!CopyOutOfImage(image.get(), scratch.fd, job.offset, job.length, error)) return false;

  // In the foreground, so that its end tells when the scratch file is complete.
  std::vector<std::string> args = {*driver, "-o", "no_detach", scratch.file, scratch.mountPoint};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, scratch.logFd, 1);
  posix_spawn_file_actions_adddup2(&actions, scratch.logFd, 2);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, driver->c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return error = "cannot run ntfs-3g: " + std::string(std::strerror(spawned)), false;

  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!IsMountPoint(scratch.mountPoint)) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid)
      return error = "ntfs-3g could not mount the volume: " + scratch.Log(), false;
    if (std::chrono::steady_clock::now() > deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return error = "ntfs-3g did not mount the volume in time: " + scratch.Log(), false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  bool mirrored = true;
  try {
    Mirror(job.folder, scratch.mountPoint);
  } catch (const fs::filesystem_error& failure) {
    mirrored = false;
    error = std::string("copying the files: ") + failure.what();
  }
  std::string unmountError;
  if (!Unmount(scratch.mountPoint, unmountError)) {
    WaitForExit(pid, std::chrono::seconds(5));
    return error = unmountError, false;
  }
  const int exitCode = WaitForExit(pid, std::chrono::seconds(120));
  if (!mirrored) return false;
  if (exitCode != 0)
    return error = "ntfs-3g ended with exit " + std::to_string(exitCode) + ": " + scratch.Log(),
           false;
  return CopyIntoImage(scratch.fd, image.get(), job.offset, job.length, error);
}

// ---- the write-through ----

bool Sync(const SyncJob& job, bool onlyChanged, std::string& error) {
  std::lock_guard run(gRunMutex);
  const std::string key = StateKey(job);
  const VolumeState before = CurrentState(job);
  if (before.fileSystem.empty()) return true;  // nothing the machine could write into
  if (onlyChanged) {
    std::lock_guard lock(gStateMutex);
    auto known = gStates.find(key);
    if (known != gStates.end() && known->second == before) return true;
  }
  std::error_code ec;
  fs::create_directories(job.folder, ec);
  bool written = false;
  if (before.fileSystem == "FAT32" || before.fileSystem == "FAT") {
    written = WriteFat(job, error);
  } else if (before.fileSystem == "NTFS") {
    written = WriteNtfs(job, error);
  } else if (before.fileSystem == "exFAT") {
    written = WriteExfatTree(job.image, job.offset, job.length, job.folder, error);
  } else {
    error = before.fileSystem + " volumes are not written through";
  }
  if (!written) {
    error = "volume " + job.guid + " (" + before.fileSystem + "): " + error;
    return false;
  }
  std::lock_guard lock(gStateMutex);
  gStates[key] = CurrentState(job);
  return true;
}

bool SyncJobs(const std::vector<SyncJob>& jobs, bool onlyChanged, std::string& error) {
  bool ok = true;
  for (const SyncJob& job : jobs) {
    std::string reason;
    if (!Sync(job, onlyChanged, reason)) {
      if (!error.empty()) error += "\n";
      error += reason;
      ok = false;
    }
  }
  return ok;
}

// The process ends: what it changed goes into the images.
void SyncAtExit() {
  fs::path directory;
  {
    std::lock_guard lock(gStateMutex);
    directory = gMachineDirectory;
  }
  std::error_code ec;
  if (directory.empty() || !fs::exists(directory / "machine.json", ec)) return;
  std::string error;
  if (!SyncAllVolumes(true, error))
    std::fprintf(stderr, "writing the volumes' files into the disk images: %s\n", error.c_str());
}

}  // namespace

bool SyncDiskVolumes(DWORD number, bool onlyChanged, std::string& error) {
  std::vector<SyncJob> jobs;
  {
    auto locked = Storage::Lock();
    jobs = CollectJobs(locked.storage, [number](const Volume& v) { return v.Disk() == number; });
  }
  return SyncJobs(jobs, onlyChanged, error);
}

bool SyncVolume(const std::string& guid, bool onlyChanged, std::string& error) {
  std::vector<SyncJob> jobs;
  {
    auto locked = Storage::Lock();
    jobs = CollectJobs(locked.storage, [&guid](const Volume& v) { return v.guid == guid; });
  }
  return SyncJobs(jobs, onlyChanged, error);
}

bool SyncAllVolumes(bool onlyChanged, std::string& error) {
  std::vector<SyncJob> jobs;
  {
    auto locked = Storage::Lock();
    jobs = CollectJobs(locked.storage, [](const Volume&) { return true; });
  }
  return SyncJobs(jobs, onlyChanged, error);
}

void NoteStorageLoaded(Storage& storage) {
  const std::vector<SyncJob> jobs = CollectJobs(storage, [](const Volume&) { return true; });
  std::vector<std::pair<std::string, VolumeState>> states;
  for (const SyncJob& job : jobs) states.emplace_back(StateKey(job), CurrentState(job));
  static std::once_flag registered;
  std::call_once(registered, [] { std::atexit(SyncAtExit); });
  std::lock_guard lock(gStateMutex);
  gMachineDirectory = storage.Directory();
  for (auto& [key, state] : states) gStates.emplace(key, state);
}

}  // namespace emu
