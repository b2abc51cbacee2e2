#include "platform/emulated/volume_format.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "platform/emulated/host_tools.h"

extern char** environ;

namespace emu {
namespace {

constexpr ULONGLONG kMiB = 1024 * 1024;

std::string SystemError(const std::string& what) { return what + ": " + std::strerror(errno); }

std::string Upper(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

// The length in UTF-16 units, which is how Windows counts label characters.
std::size_t Utf16Length(const std::string& text) {
  std::size_t units = 0;
  for (unsigned char c : text) {
    if ((c & 0xC0) == 0x80) continue;
    units += c >= 0xF0 ? 2 : 1;
  }
  return units;
}

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

// Next to the image, so that it is on a file system with room for the image anyway. Removed on
// every path out.
class ScratchFile {
 public:
  explicit ScratchFile(const std::filesystem::path& image) {
    std::string pattern =
        (image.parent_path() / ("." + image.filename().string() + ".format-XXXXXX")).string();
    fd_ = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd_ >= 0) path_ = pattern;
  }
  ScratchFile(const ScratchFile&) = delete;
  ScratchFile& operator=(const ScratchFile&) = delete;
  ~ScratchFile() {
    if (fd_ >= 0) close(fd_);
    if (!path_.empty()) unlink(path_.c_str());
  }
  int fd() const { return fd_; }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

}  // namespace

bool ReadAll(int fd, void* buffer, std::size_t size, ULONGLONG at) {
  auto* p = static_cast<char*>(buffer);
  while (size > 0) {
    const ssize_t got = pread(fd, p, size, static_cast<off_t>(at));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    p += got;
    size -= static_cast<std::size_t>(got);
    at += static_cast<ULONGLONG>(got);
  }
  return true;
}

bool WriteAll(int fd, const void* buffer, std::size_t size, ULONGLONG at) {
  const auto* p = static_cast<const char*>(buffer);
  while (size > 0) {
    const ssize_t put = pwrite(fd, p, size, static_cast<off_t>(at));
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    p += put;
    size -= static_cast<std::size_t>(put);
    at += static_cast<ULONGLONG>(put);
  }
  return true;
}

// The data extents of [from, to), in order; a file system that cannot tell reports one extent.
std::vector<std::pair<ULONGLONG, ULONGLONG>> DataExtents(int fd, ULONGLONG from, ULONGLONG to) {
  std::vector<std::pair<ULONGLONG, ULONGLONG>> extents;
  ULONGLONG at = from;
  while (at < to) {
    const off_t data = lseek(fd, static_cast<off_t>(at), SEEK_DATA);
    if (data < 0) {
      if (errno != ENXIO) extents.emplace_back(at, to);  // ENXIO: only a hole remains
      break;
    }
    if (static_cast<ULONGLONG>(data) >= to) break;
    off_t hole = lseek(fd, data, SEEK_HOLE);
    if (hole < 0) hole = static_cast<off_t>(to);
    const ULONGLONG end = std::min(static_cast<ULONGLONG>(hole), to);
    extents.emplace_back(static_cast<ULONGLONG>(data), end);
    at = end;
  }
  return extents;
}

// Makes [from, to) of the image read as zeros, leaving holes where it can.
bool ZeroRange(int fd, ULONGLONG from, ULONGLONG to, std::string& error) {
  if (fallocate(fd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(from),
                static_cast<off_t>(to - from)) == 0)
    return true;
  if (errno != EOPNOTSUPP && errno != ENOSYS)
    return error = SystemError("zeroing the partition"), false;
  // No hole punching here: write zeros, but only over what is not a hole already.
  static const std::vector<char> zeros(kMiB);
  for (auto [start, end] : DataExtents(fd, from, to)) {
    for (ULONGLONG at = start; at < end; at += kMiB) {
      const std::size_t chunk = static_cast<std::size_t>(std::min(kMiB, end - at));
      if (!WriteAll(fd, zeros.data(), chunk, at))
        return error = SystemError("zeroing the partition"), false;
    }
  }
  return true;
}

// Replaces [offset, offset + length) of the image by the scratch file, keeping both sparse: holes
// and all-zero chunks of the scratch file are not written.
bool CopyIntoImage(int scratch, int image, ULONGLONG offset, ULONGLONG length, std::string& error) {
  if (!ZeroRange(image, offset, offset + length, error)) return false;
  std::vector<char> buffer(kMiB);
  for (auto [start, end] : DataExtents(scratch, 0, length)) {
    for (ULONGLONG at = start; at < end; at += kMiB) {
      const std::size_t chunk = static_cast<std::size_t>(std::min(kMiB, end - at));
      if (!ReadAll(scratch, buffer.data(), chunk, at))
        return error = SystemError("reading the new file system"), false;
      if (std::all_of(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(chunk),
                      [](char c) { return c == 0; }))
        continue;
      if (!WriteAll(image, buffer.data(), chunk, offset + at))
        return error = SystemError("writing the disk image"), false;
    }
  }
  if (fdatasync(image) != 0) return error = SystemError("writing the disk image"), false;
  return true;
}

// root's PATH lacks the sbin folders in some shells, and these tools live there.
std::optional<std::string> FindTool(const std::string& name) {
  std::vector<std::string> folders;
  if (const char* path = std::getenv("PATH")) {
    std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
      const std::size_t colon = std::min(list.find(':', start), list.size());
      if (colon > start) folders.push_back(list.substr(start, colon - start));
      start = colon + 1;
    }
  }
  for (const char* folder : {"/usr/local/sbin", "/usr/sbin", "/sbin", "/usr/bin", "/bin"})
    folders.emplace_back(folder);
  for (const std::string& folder : folders) {
    const std::string candidate = folder + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

// The C locale keeps the messages in the words the retries below look for.
ToolResult RunTool(const std::string& tool, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& variables) {
  ToolResult result;
  std::vector<std::string> environment = variables;
  environment.emplace_back("LC_ALL=C");
  for (char** e = environ; e != nullptr && *e != nullptr; ++e)
    if (std::strncmp(*e, "LC_ALL=", 7) != 0) environment.emplace_back(*e);
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = {tool};
  args.insert(args.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) {
    result.output = SystemError("pipe");
    return result;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, tool.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  close(pipeFds[1]);
  if (spawned != 0) {
    close(pipeFds[0]);
    result.output = "cannot run " + tool + ": " + std::strerror(spawned);
    return result;
  }
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = read(pipeFds[0], buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    result.output.append(buffer.data(), static_cast<std::size_t>(got));
  }
  close(pipeFds[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.ran = true;
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}

namespace {

// The tool's words without the banner lines that say nothing about what went wrong.
std::string ToolWords(const ToolResult& result) {
  std::string words;
  std::size_t start = 0;
  const std::string& text = result.output;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line.starts_with("mkfs.fat ") || line.starts_with("exfatprogs version") ||
        line.find("is not a block device") != std::string::npos ||
        line.find("forced anyway") != std::string::npos)
      continue;
    if (!words.empty()) words += "; ";
    words += line;
  }
  return words;
}

std::string Failure(const std::string& tool, const ToolResult& result) {
  if (!result.ran) return result.output;
  std::string words = ToolWords(result);
  return tool + " failed (exit " + std::to_string(result.exitCode) + ")" +
         (words.empty() ? std::string() : ": " + words);
}

std::string Hex32(DWORD value) {
  char text[9];
  std::snprintf(text, sizeof text, "%08x", value);
  return text;
}

// format.com's FAT32 cluster sizes by volume size; the sector is the least a cluster can be.
DWORD Fat32ClusterBytes(ULONGLONG length, DWORD sectorSize) {
  const ULONGLONG GiB = 1024 * kMiB;
  DWORD cluster = length < 64 * kMiB    ? 512
                  : length < 128 * kMiB ? 1024
                  : length < 256 * kMiB ? 2048
                  : length < 8 * GiB    ? 4096
                  : length < 16 * GiB   ? 8192
                  : length < 32 * GiB   ? 16384
                                        : 32768;
  return std::max(cluster, sectorSize);
}

void PutLittle(BYTE* p, ULONGLONG value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}

ULONGLONG GetLittle(const BYTE* p, int bytes) {
  ULONGLONG value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// mkntfs seeds its serial from the clock in seconds, so two formats in one second would share it.
// The serial lives only in the boot sector and its copy in the volume's last sector.
bool SetNtfsSerial(int fd, const FormatRequest& request, ULONGLONG serial, std::string& error) {
  std::vector<BYTE> sector(request.sectorSize);
  for (ULONGLONG at : {ULONGLONG{0}, request.length - request.sectorSize}) {
    if (!ReadAll(fd, sector.data(), sector.size(), at))
      return error = SystemError("reading the NTFS boot sector"), false;
    if (std::memcmp(sector.data() + 3, "NTFS    ", 8) != 0) {
      if (at == 0) return error = "mkntfs wrote no NTFS boot sector", false;
      continue;  // the copy sits at the end of the declared size only
    }
    PutLittle(sector.data() + 72, serial, 8);
    if (!WriteAll(fd, sector.data(), sector.size(), at))
      return error = SystemError("writing the NTFS boot sector"), false;
  }
  return true;
}

// The BPB's sectors per track and heads, in the boot sector and in its FAT32 backup copy.
bool SetFatGeometry(int fd, const FormatRequest& request, std::string& error) {
  std::vector<BYTE> sector(request.sectorSize);
  if (!ReadAll(fd, sector.data(), sector.size(), 0))
    return error = SystemError("reading the FAT boot sector"), false;
  const ULONGLONG backup = GetLittle(sector.data() + 50, 2);
  for (ULONGLONG index : {ULONGLONG{0}, backup}) {
    if (index != 0 && (index == 0xFFFF || index >= GetLittle(sector.data() + 14, 2))) break;
    const ULONGLONG at = index * request.sectorSize;
    if (!ReadAll(fd, sector.data(), sector.size(), at))
      return error = SystemError("reading the FAT boot sector"), false;
    PutLittle(sector.data() + 24, request.sectorsPerTrack, 2);
    PutLittle(sector.data() + 26, request.tracksPerCylinder, 2);
    if (!WriteAll(fd, sector.data(), sector.size(), at))
      return error = SystemError("writing the FAT boot sector"), false;
  }
  return true;
}

// The exFAT boot checksum: every byte of the first eleven sectors but VolumeFlags and
// PercentInUse, which change without the region being rewritten.
DWORD ExfatChecksum(const BYTE* region, std::size_t sectorBytes) {
  DWORD sum = 0;
  for (std::size_t i = 0; i < 11 * sectorBytes; ++i) {
    if (i == 106 || i == 107 || i == 112) continue;
    sum = ((sum & 1) ? 0x80000000u : 0) + (sum >> 1) + region[i];
  }
  return sum;
}

// Rebuilds the exFAT main and backup boot regions: a fresh serial (mkfs.exfat takes one from the
// clock), the partition offset Windows' format records, and for sectors above 512 bytes the
// region laid out in the disk's sector size. mkfs.exfat in Debian 12 (exfatprogs 1.2.0) has no
// sector size option and always writes 512-byte sectors to a file; everything past the boot
// region is addressed in bytes or clusters, so only the boot sector's sector counts change.
bool RewriteExfatBootRegion(int fd, const FormatRequest& request, DWORD serial,
                            std::string& error) {
  constexpr std::size_t kOld = 512;
  std::vector<BYTE> old(12 * kOld);
  if (!ReadAll(fd, old.data(), old.size(), 0))
    return error = SystemError("reading the exFAT boot region"), false;
  BYTE* boot = old.data();
  if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0 || boot[108] != 9)
    return error = "mkfs.exfat wrote no exFAT boot sector", false;

  const std::size_t size = request.sectorSize;
  const int shift = std::countr_zero(request.sectorSize);
  const ULONGLONG ratio = size / kOld;
  ULONGLONG fatOffset = GetLittle(boot + 80, 4);
  ULONGLONG fatLength = GetLittle(boot + 84, 4);
  ULONGLONG heapOffset = GetLittle(boot + 88, 4);
  const int clusterShift = boot[109] + 9;
  if (ratio > 1) {
    if (fatOffset % ratio != 0 || heapOffset % ratio != 0 || fatOffset / ratio < 24 ||
        clusterShift < shift)
      return error = "the exFAT layout mkfs.exfat chose does not fit " + std::to_string(size) +
                     "-byte sectors",
             false;
    fatOffset /= ratio;
    fatLength = (fatLength + ratio - 1) / ratio;
    heapOffset /= ratio;
    if (fatOffset + fatLength * boot[110] > heapOffset)
      return error = "the exFAT allocation table does not fit " + std::to_string(size) +
                     "-byte sectors",
             false;
  }

  // Sector 0: the boot sector, then zeros; 1-8: extended boot sectors, empty but signed;
  // 9: OEM parameters; 10: reserved; 11: the checksum over and over. Then the backup copy.
  std::vector<BYTE> region(12 * size, 0);
  std::memcpy(region.data(), boot, kOld);
  BYTE* sector0 = region.data();
  PutLittle(sector0 + 64, request.offset / size, 8);
  PutLittle(sector0 + 72, request.length / size, 8);
  PutLittle(sector0 + 80, fatOffset, 4);
  PutLittle(sector0 + 84, fatLength, 4);
  PutLittle(sector0 + 88, heapOffset, 4);
  PutLittle(sector0 + 100, serial, 4);
  sector0[108] = static_cast<BYTE>(shift);
  sector0[109] = static_cast<BYTE>(clusterShift - shift);
  for (std::size_t s = 1; s <= 8; ++s) PutLittle(region.data() + (s + 1) * size - 4, 0xAA550000, 4);
  std::memcpy(region.data() + 9 * size, old.data() + 9 * kOld, kOld);
  const DWORD checksum = ExfatChecksum(region.data(), size);
  for (std::size_t at = 11 * size; at < 12 * size; at += 4)
    PutLittle(region.data() + at, checksum, 4);

  // Old boot sectors past the new regions would sit in the gap before the FAT: clear them first.
  std::vector<BYTE> clear(24 * size, 0);
  if (!WriteAll(fd, clear.data(), clear.size(), 0) ||
      !WriteAll(fd, region.data(), region.size(), 0) ||
      !WriteAll(fd, region.data(), region.size(), region.size()))
    return error = SystemError("writing the exFAT boot region"), false;
  return true;
}

struct Plan {
  std::string tool;
  std::vector<std::vector<std::string>> attempts;  // tried in turn...
  std::string retryWhen;                           // ...while the tool's words say this
};

}  // namespace

bool FormatVolume(const FormatRequest& request, std::string& error) {
  error.clear();
  const std::string fs = Upper(request.fileSystem);
  const DWORD sector = request.sectorSize;
  if (fs != "NTFS" && fs != "FAT32" && fs != "EXFAT")
    return error = "cannot format as \"" + request.fileSystem + "\": NTFS, FAT32 or exFAT only",
           false;
  if (sector < 512 || sector > 4096 || !std::has_single_bit(sector))
    return error = "unsupported sector size " + std::to_string(sector), false;
  if (request.offset % sector != 0 || request.length % sector != 0)
    return error = "the partition is not aligned to " + std::to_string(sector) + "-byte sectors",
           false;
  // FAT and NTFS record the start in 32 bits; exFAT in 64.
  if (fs != "EXFAT" && request.offset / sector > 0xFFFFFFFF)
    return error = "the partition starts beyond what a " + fs + " boot sector can record", false;
  if (request.sectorsPerTrack == 0 || request.sectorsPerTrack > 63 ||
      request.tracksPerCylinder == 0 || request.tracksPerCylinder > 255)
    return error = "unusable disk geometry: " + std::to_string(request.sectorsPerTrack) +
                   " sectors per track, " + std::to_string(request.tracksPerCylinder) + " heads",
           false;

  struct stat imageStat {};
  if (stat(request.image.c_str(), &imageStat) != 0)
    return error = SystemError("cannot open the disk image " + request.image.string()), false;
  if (!S_ISREG(imageStat.st_mode)) return error = "the disk image is not a file", false;
  if (request.offset + request.length > static_cast<ULONGLONG>(imageStat.st_size) ||
      request.offset + request.length < request.offset)
    return error = "the partition extends past the end of the disk", false;

  const ULONGLONG sectors = request.length / sector;
  const std::size_t labelLength = Utf16Length(request.label);
  std::random_device random;
  const ULONGLONG serial = (ULONGLONG{random()} << 32) | random();
  const std::string hidden = std::to_string(request.offset / sector);
  Plan plan;
  if (fs == "FAT32") {
    // format.com's smallest FAT32; the largest is what the BPB's 32-bit sector count holds
    // (mkfs.fat would quietly leave the rest unused).
    if (request.length < 32 * kMiB)
      return error = "the volume is too small for FAT32 (32 MB at least)", false;
    if (sectors > 0xFFFFFFFF) return error = "the volume is too large for FAT32", false;
    if (labelLength > 11) return error = "a FAT32 label holds 11 characters at most", false;
    plan.tool = "mkfs.fat";
    plan.retryWhen = "cluster";
    // Not -g for the geometry: with it mkfs.fat cuts the volume down to whole tracks, which
    // Windows does not. SetFatGeometry writes it afterwards.
    std::vector<std::string> base = {"-F", "32",   "-S", std::to_string(sector),
                                     "-h", hidden, "-i", Hex32(static_cast<DWORD>(serial)),
                                     "-D", "0x80", "-M", "0xF8"};
    // Windows keeps FAT labels in upper case.
    if (!request.label.empty()) base.insert(base.end(), {"-n", Upper(request.label)});
    // The format.com cluster first; should mkfs.fat refuse it, ever smaller ones.
    for (DWORD cluster = Fat32ClusterBytes(request.length, sector); cluster >= sector;
         cluster /= 2) {
      std::vector<std::string> attempt = base;
      attempt.insert(attempt.end(), {"-s", std::to_string(cluster / sector)});
      plan.attempts.push_back(attempt);
    }
  } else if (fs == "NTFS") {
    // mkntfs wants a little over 1 MiB; below, its own message says so.
    if (labelLength > 32) return error = "an NTFS label holds 32 characters at most", false;
    plan.tool = "mkntfs";
    // -F: a file, not a block device. The geometry and the start go into the boot sector, where
    // the NTFS boot code reads them; Windows refuses to boot without them.
    std::vector<std::string> args = {"-F",
                                     "-Q",
                                     "-q",
                                     "-s",
                                     std::to_string(sector),
                                     "-p",
                                     hidden,
                                     "-H",
                                     std::to_string(request.tracksPerCylinder),
                                     "-S",
                                     std::to_string(request.sectorsPerTrack)};
    if (!request.label.empty()) args.insert(args.end(), {"-L", request.label});
    plan.attempts.push_back(args);
  } else {
    if (request.length < kMiB)
      return error = "the volume is too small for exFAT (1 MB at least)", false;
    if (labelLength > 11) return error = "an exFAT label holds 11 characters at most", false;
    plan.tool = "mkfs.exfat";
    plan.retryWhen = "boundary alignment";
    // Its default clusters are 4 KiB and up, so they fit every sector size.
    std::vector<std::string> args;
    if (!request.label.empty()) args = {"-L", request.label};
    plan.attempts.push_back(args);
    // Its default 1 MiB alignment of the FAT and the cluster heap does not fit small volumes.
    // Larger sectors need room for the boot region's 24 of them before the FAT.
    args.insert(args.begin(), {"-b", sector > 512 ? "128K" : "4K"});
    plan.attempts.push_back(args);
  }

  const std::optional<std::string> tool = FindTool(plan.tool);
  if (!tool) return error = plan.tool + " is not installed", false;

  ScratchFile scratch(request.image);
  if (scratch.fd() < 0) return error = SystemError("cannot make a scratch file"), false;
  ToolResult result;
  for (const auto& attempt : plan.attempts) {
    // A fresh file each time: a failed run may have written part of a file system.
    if (ftruncate(scratch.fd(), 0) != 0 ||
        ftruncate(scratch.fd(), static_cast<off_t>(request.length)) != 0)
      return error = SystemError("cannot size the scratch file"), false;
    std::vector<std::string> args = attempt;
    args.push_back(scratch.path());
    result = RunTool(*tool, args);
    if (!result.ran || result.exitCode == 0 || plan.retryWhen.empty() ||
        result.output.find(plan.retryWhen) == std::string::npos)
      break;
  }
  if (!result.ran || result.exitCode != 0) return error = Failure(plan.tool, result), false;

  if (fs == "FAT32" && !SetFatGeometry(scratch.fd(), request, error)) return false;
  if (fs == "NTFS" && !SetNtfsSerial(scratch.fd(), request, serial, error)) return false;
  if (fs == "EXFAT" &&
      !RewriteExfatBootRegion(scratch.fd(), request, static_cast<DWORD>(serial), error))
    return false;

  Fd image(open(request.image.c_str(), O_WRONLY | O_CLOEXEC));
  if (image.get() < 0) return error = SystemError("cannot open the disk image"), false;
  return CopyIntoImage(scratch.fd(), image.get(), request.offset, request.length, error);
}

}  // namespace emu
