// tools\grub-install.exe on the emulated machine: GRUB 2 for i386-pc, installed for real.
//
// What it does, in grub-install's order:
//   1. the command line, read the way grub-install's option parser reads it;
//   2. the platform folder (-d): its modinfo.sh names the platform, which must be i386-pc;
//   3. the install device //./PHYSICALDRIVEn, opened through the machine's devices so that share
//      modes and held disks count as they do for any program;
//   4. the boot directory's volume and its identifier for search.fs_uuid, from its boot sector;
//   5. GRUB's files into <boot directory>\grub\i386-pc, grubenv when missing;
//   6. core.img from Debian's grub-mkimage, with an early configuration that finds the volume by
//      its identifier and sets the prefix; written beside the modules;
//   7. unless --no-bootsector: core.img into the MBR gap or the BIOS boot partition, then boot.img
//      into sector 0 around the existing BPB and partition table.
// Files on volumes are written through the seam, like any program's; grub-mkimage reads the
// platform folder on the host, where the volume keeps it.
#include "platform/emulated/grub_install_program.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/emulated/boot_sector.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/guid_text.h"
#include "platform/emulated/partition_table.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"

extern char** environ;

namespace emu {
namespace {

constexpr DWORD kDone = 0;
constexpr DWORD kFailed = 1;     // what grub-install's errors exit with
constexpr DWORD kBadUsage = 64;  // its option parser's usage errors (EX_USAGE)
constexpr DWORD kDetachedProcess = 0x00000008;

// GRUB counts disk positions in 512-byte sectors, whatever the disk's own sector size.
constexpr ULONGLONG kGrubSector = 512;

// boot.img, the code of sector 0.
constexpr std::size_t kBpbStart = 0x03;
constexpr std::size_t kBpbEnd = 0x5A;
constexpr std::size_t kKernelSector = 0x5C;  // u64: where core.img starts
constexpr std::size_t kBootDrive = 0x64;     // 0xFF: the drive the BIOS booted from
constexpr std::size_t kDriveCheck = 0x66;    // a jump over the check for a floppy drive number
constexpr std::size_t kWindowsNtMagic = 0x1B8;
constexpr std::size_t kPartitionEnd = 0x1FE;

// diskboot.img, the first sector of core.img: its blocklist entry names the sectors after it.
constexpr std::size_t kBlocklistStart = 0x1F4;   // u64
constexpr std::size_t kBlocklistLength = 0x1FC;  // u16; the load segment follows

// What the kernel of the i386-pc platform can hold (GRUB_KERNEL_I386_PC_LINK_ADDR's limit).
constexpr std::size_t kCoreImageLimit = 0x78000;

constexpr char kBiosBootType[] = "{21686148-6449-6e6f-744e-656564454649}";
constexpr char kEnvironmentBlockHeader[] = "# GRUB Environment Block\n";
constexpr std::size_t kEnvironmentBlockSize = 1024;

// The core image must reach the boot directory's volume before it can load a module from it:
// BIOS disks, both partition maps, the three file systems the volume may have, and the search.
const char* const kCoreModules[] = {"biosdisk", "part_msdos", "part_gpt", "fat",
                                    "exfat",    "ntfs",       "search",   "search_fs_uuid"};

// ---- Ending with a message ------------------------------------------------------------------------

struct Failure {
  std::vector<std::string> lines;
  DWORD exitCode = kFailed;
};

[[noreturn]] void Fail(const std::string& text) {
  throw Failure{{"grub-install: error: " + text + "."}, kFailed};
}

[[noreturn]] void UsageError(const std::string& text) {
  throw Failure{{"grub-install: " + text,
                 "Try 'grub-install --help' or 'grub-install --usage' for more information."},
                kBadUsage};
}

// A console process started without CREATE_NO_WINDOW shares its parent's console, where its
// standard output and error appear; without a console they would go nowhere, so here they go to
// the host's standard error, for whoever runs the machine.
class Output {
 public:
  explicit Output(DWORD creationFlags)
      : console_((creationFlags & (CREATE_NO_WINDOW | kDetachedProcess | CREATE_NEW_CONSOLE)) ==
                 0) {}

  void Line(const std::string& text) const {
    if (console_) {
      const std::string line = text + "\r\n";  // the C run-time's text mode
      DWORD written = 0;
      win::WriteFile(win::GetStdHandle(STD_OUTPUT_HANDLE), line.data(),
                     static_cast<DWORD>(line.size()), &written, nullptr);
    } else {
      const std::string line = text + "\n";
      if (::write(STDERR_FILENO, line.data(), line.size()) < 0) {
        // Nobody to tell.
      }
    }
  }

 private:
  bool console_;
};

std::string SystemText(DWORD code) {
  std::string text;
  win::FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code,
                      0, text);
  while (!text.empty() && (std::isspace(static_cast<unsigned char>(text.back())) ||
                           text.back() == '.')) {
    text.pop_back();
  }
  return text.empty() ? "error " + std::to_string(code) : text;
}

std::string Quoted(const std::string& text) { return "`" + text + "'"; }

bool SameName(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

bool EndsWith(std::string_view name, std::string_view suffix) {
  return name.size() >= suffix.size() && SameName(name.substr(name.size() - suffix.size()), suffix);
}

// ---- The command line -----------------------------------------------------------------------------

struct Options {
  std::optional<std::string> directory;
  std::string bootDirectory = "\\boot";
  std::optional<std::string> target;
  std::vector<std::string> modules;  // --modules: more for the core image
  bool bootsector = true;
  std::optional<std::string> device;
};

struct LongOption {
  const char* name;
  bool argument;
};

// Locales, fonts and themes come from GRUB's data folder, which the payload does not carry: the
// options are taken and nothing is installed for them. --no-floppy and --no-rs-codes change
// nothing here (no floppy is probed; no Reed-Solomon codes are added).
constexpr LongOption kLongOptions[] = {
    {"directory", true}, {"boot-directory", true}, {"target", true},     {"modules", true},
    {"locales", true},   {"fonts", true},          {"themes", true},     {"no-bootsector", false},
    {"no-floppy", false}, {"no-rs-codes", false},
};

// The option a long name stands for: itself, or the one option it abbreviates.
const LongOption& FindLongOption(const std::string& name, const std::string& argument) {
  std::vector<const LongOption*> matches;
  for (const LongOption& option : kLongOptions) {
    if (name == option.name) return option;
    if (!name.empty() && std::string_view(option.name).starts_with(name)) matches.push_back(&option);
  }
  if (matches.size() == 1) return *matches.front();
  if (matches.empty()) UsageError("unrecognized option '" + argument + "'");
  std::string possibilities;
  for (const LongOption* option : matches) possibilities += " '--" + std::string(option->name) + "'";
  UsageError("option '--" + name + "' is ambiguous; possibilities:" + possibilities);
}

void Apply(Options& options, std::string_view name, const std::string& value) {
  if (name == "directory") {
    options.directory = value;
  } else if (name == "boot-directory") {
    options.bootDirectory = value;
  } else if (name == "target") {
    options.target = value;
  } else if (name == "modules") {
    std::string module;
    for (char c : value + " ") {
      if (c == ' ' || c == ',') {
        if (!module.empty()) options.modules.push_back(module);
        module.clear();
      } else {
        module.push_back(c);
      }
    }
  } else if (name == "no-bootsector") {
    options.bootsector = false;
  }
}

Options ParseOptions(const std::vector<std::string>& arguments) {
  Options options;
  bool optionsEnded = false;
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument.starts_with("--")) {
      const std::size_t equals = argument.find('=');
      const std::string name =
          argument.substr(2, equals == std::string::npos ? std::string::npos : equals - 2);
      const LongOption& option = FindLongOption(name, argument);
      std::string value;
      if (equals != std::string::npos) {
        if (!option.argument) {
          UsageError("option '--" + std::string(option.name) + "' doesn't allow an argument");
        }
        value = argument.substr(equals + 1);
      } else if (option.argument) {
        if (i + 1 >= arguments.size()) {
          UsageError("option '--" + std::string(option.name) + "' requires an argument");
        }
        value = arguments[++i];
      }
      Apply(options, option.name, value);
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      // The one short option: -d DIR or -dDIR.
      if (argument[1] != 'd') UsageError("invalid option -- '" + std::string(1, argument[1]) + "'");
      if (argument.size() > 2) {
        options.directory = argument.substr(2);
      } else if (i + 1 < arguments.size()) {
        options.directory = arguments[++i];
      } else {
        UsageError("option requires an argument -- 'd'");
      }
    } else {
      if (options.device) UsageError("More than one install device?");
      options.device = argument;
    }
  }
  return options;
}

// ---- Paths ---------------------------------------------------------------------------------------

bool IsSlash(char c) { return c == '\\' || c == '/'; }

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (name.empty()) return folder;
  return IsSlash(folder.back()) ? folder + name : folder + "\\" + name;
}

// A path of the command line made absolute against the process's current directory, so that it
// no longer depends on the caller's.
std::string AbsolutePath(const std::string& path, const std::string& current) {
  const bool drive = path.size() >= 2 && path[1] == ':' &&
                     std::isalpha(static_cast<unsigned char>(path[0]));
  if (drive) {
    if (path.size() >= 3 && IsSlash(path[2])) return path;
    const std::string rest = path.substr(2);
    if (current.size() >= 2 && std::toupper(static_cast<unsigned char>(current[0])) ==
                                   std::toupper(static_cast<unsigned char>(path[0]))) {
      return JoinPath(current, rest);
    }
    return path.substr(0, 2) + "\\" + rest;
  }
  if (path.size() >= 2 && IsSlash(path[0]) && IsSlash(path[1])) return path;
  if (!path.empty() && IsSlash(path[0])) return current.substr(0, 2) + path;
  return JoinPath(current, path);
}

FilePath ParsedPath(const std::string& path) {
  FilePath parsed;
  if (ParseFilePath(path, parsed) != ERROR_SUCCESS) Fail("failed to get canonical path of " + Quoted(path));
  return parsed;
}

// Where a folder of a volume lives on the host, and the volume.
HostPath HostFolder(const FilePath& path) {
  auto locked = Storage::Lock();
  HostPath resolved;
  if (ResolveFilePath(locked.storage, path, resolved) != ERROR_SUCCESS) {
    Fail("failed to get canonical path of " + Quoted(path.Text()));
  }
  return resolved;
}

std::string ChildPath(const FilePath& folder, const std::string& name) {
  FilePath child = folder;
  child.names.push_back(name);
  return child.Text();
}

// ---- Files through the seam ---------------------------------------------------------------------

DWORD ReadWholeFile(const std::string& path, std::string& data) {
  win::Handle file(win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) return win::GetLastError();
  data.clear();
  std::array<char, 65536> buffer;
  for (;;) {
    DWORD read = 0;
    if (!win::ReadFile(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &read,
                       nullptr)) {
      return win::GetLastError();
    }
    if (read == 0) return ERROR_SUCCESS;
    data.append(buffer.data(), read);
  }
}

void WriteWholeFile(const std::string& path, std::string_view data) {
  win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file || !win::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written,
                               nullptr)) {
    Fail("cannot write to " + Quoted(path) + ": " + SystemText(win::GetLastError()));
  }
}

std::string ReadPlatformFile(const FilePath& folder, const std::string& name) {
  const std::string path = ChildPath(folder, name);
  std::string data;
  if (DWORD status = ReadWholeFile(path, data); status != ERROR_SUCCESS) {
    Fail("cannot open " + Quoted(path) + ": " + SystemText(status));
  }
  return data;
}

// mkdir -p, one level at a time as Windows creates folders.
void CreateFolders(const FilePath& folder) {
  FilePath level = folder;
  level.names.clear();
  for (const std::string& name : folder.names) {
    level.names.push_back(name);
    if (!win::CreateDirectoryW(level.Text(), nullptr) &&
        win::GetLastError() != ERROR_ALREADY_EXISTS) {
      Fail("cannot mkdir " + Quoted(level.Text()) + ": " + SystemText(win::GetLastError()));
    }
  }
}

// The names of the files in a folder, sorted.
std::vector<std::string> FilesIn(const std::filesystem::path& host) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(host, ec)) {
    if (entry.is_regular_file(ec)) names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// What grub-install copies from the platform folder: modules, their lists and the boot image.
bool IsPlatformFile(const std::string& name) {
  return EndsWith(name, ".mod") || EndsWith(name, ".lst") || SameName(name, "modinfo.sh") ||
         SameName(name, "efiemu32.o") || SameName(name, "efiemu64.o") ||
         SameName(name, "boot.img");
}

// What an earlier install left that this one replaces; a module of an older GRUB must not be
// loaded by this one's kernel.
bool IsInstalledFile(const std::string& name) {
  return EndsWith(name, ".mod") || EndsWith(name, ".lst") || EndsWith(name, ".img") ||
         SameName(name, "efiemu32.o") || SameName(name, "efiemu64.o");
}

// ---- The platform and the volume ------------------------------------------------------------------

// "i386-pc" from modinfo.sh's grub_modinfo_target_cpu and grub_modinfo_platform.
std::string PlatformOf(const std::string& modinfo) {
  std::string cpu, platform;
  std::size_t start = 0;
  while (start < modinfo.size()) {
    std::size_t end = modinfo.find('\n', start);
    if (end == std::string::npos) end = modinfo.size();
    std::string line = modinfo.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto value = [&](std::string_view key) -> std::optional<std::string> {
      if (!line.starts_with(key)) return std::nullopt;
      std::string text = line.substr(key.size());
      text.erase(std::remove(text.begin(), text.end(), '\''), text.end());
      text.erase(std::remove(text.begin(), text.end(), '"'), text.end());
      return text;
    };
    if (auto v = value("grub_modinfo_target_cpu=")) cpu = *v;
    if (auto v = value("grub_modinfo_platform=")) platform = *v;
  }
  return cpu.empty() || platform.empty() ? std::string() : cpu + "-" + platform;
}

struct DiskInfo {
  DWORD number = 0;
  std::filesystem::path image;
  ULONGLONG length = 0;
  DWORD sectorSize = 512;
};

DiskInfo DiskOf(Storage& storage, DWORD number) {
  DiskDevice* disk = storage.FindDisk(number);
  DiskInfo info;
  if (disk == nullptr) return info;
  info.number = number;
  info.image = disk->image;
  info.length = disk->length;
  info.sectorSize = disk->geometry.BytesPerSector;
  return info;
}

// The identifier GRUB's file-system drivers give a volume: NTFS its 64-bit serial in 16 hex
// digits, FAT and exFAT their 32-bit serial as XXXX-XXXX.
std::string GrubVolumeId(const BootSectorInfo& info) {
  char text[24] = {};
  if (info.fileSystem == "NTFS") {
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(info.serial));
  } else if (info.fileSystem == "exFAT" || info.fileSystem == "FAT32" || info.fileSystem == "FAT") {
    std::snprintf(text, sizeof text, "%04x-%04x", static_cast<unsigned>(info.serial >> 16 & 0xFFFF),
                  static_cast<unsigned>(info.serial & 0xFFFF));
  }
  return text;
}

// Reads the boot sector of the volume from the disk image, as GRUB's drivers would read it.
std::string VolumeIdOf(const Volume& volume) {
  auto locked = Storage::Lock();
  if (volume.extents.size() != 1) Fail("unknown filesystem");  // spanned: no driver reads it
  const VolumeExtent& extent = volume.extents.front();
  DiskDevice* disk = locked.storage.FindDisk(extent.disk);
  if (disk == nullptr) Fail("unknown filesystem");
  std::array<BYTE, 4096> sector{};
  const std::size_t size = static_cast<std::size_t>(
      std::min<LONGLONG>(static_cast<LONGLONG>(sector.size()), extent.length));
  DiskImage image(disk->image, disk->length, disk->geometry.BytesPerSector);
  if (!image.Read(static_cast<ULONGLONG>(extent.offset), sector.data(), size)) {
    Fail("cannot read the boot directory's volume");
  }
  const std::string id = GrubVolumeId(ReadBootSector(sector.data(), size));
  if (id.empty()) Fail("unknown filesystem");
  return id;
}

// A word of GRUB's script language: quoted when it holds anything but plain path characters.
std::string ScriptWord(const std::string& text) {
  const bool plain = std::all_of(text.begin(), text.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) ||
           std::string_view("/._-+,:@%~").find(c) != std::string_view::npos;
  });
  if (plain && !text.empty()) return text;
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// ---- grub-mkimage on the host ---------------------------------------------------------------------

class HostScratch {
 public:
  HostScratch() {
    std::string pattern = (std::filesystem::temp_directory_path() / "velund-grub-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a temporary folder on the host");
    path_ = pattern;
  }
  ~HostScratch() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  HostScratch(const HostScratch&) = delete;
  HostScratch& operator=(const HostScratch&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Runs a host program with the C locale; its exit code and what it wrote.
int RunHost(const std::vector<std::string>& command, std::string& output) {
  std::vector<std::string> environment = {"LC_ALL=C"};
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, "LC_ALL=", 7) != 0) environment.emplace_back(*e);
  }
  std::vector<char*> envp, argv;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = command;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, pipeFds[1], 2);
  pid_t pid = 0;
  const int spawned =
      ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(pipeFds[1]);
  if (spawned != 0) {
    ::close(pipeFds[0]);
    output = std::strerror(spawned);
    return -1;
  }
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t got = ::read(pipeFds[0], buffer.data(), buffer.size());
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) break;
    output.append(buffer.data(), static_cast<std::size_t>(got));
  }
  ::close(pipeFds[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string FirstLine(std::string text) {
  const std::size_t end = text.find('\n');
  if (end != std::string::npos) text.resize(end);
  if (text.starts_with("grub-mkimage: error: ")) text.erase(0, 21);
  while (!text.empty() && text.back() == '.') text.pop_back();
  return text;
}

// ---- The disk ----------------------------------------------------------------------------------

template <typename T>
void PutLittle(std::vector<BYTE>& bytes, std::size_t at, T value) {
  for (std::size_t i = 0; i < sizeof(T); ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

// The install device, open through the machine like any program's handle on it. Transfers are
// whole device sectors; byte ranges are read and merged around.
class InstallDevice {
 public:
  InstallDevice(std::string name, const DiskInfo& disk, bool write) : name_(std::move(name)), disk_(disk) {
    const DWORD access = GENERIC_READ | (write ? GENERIC_WRITE : 0);
    handle_.reset(win::CreateFileW("\\\\.\\PHYSICALDRIVE" + std::to_string(disk.number), access,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!handle_) Fail("cannot open " + Quoted(name_) + ": " + SystemText(win::GetLastError()));
  }

  std::vector<BYTE> Read(ULONGLONG offset, std::size_t size) {
    const ULONGLONG start = offset / disk_.sectorSize * disk_.sectorSize;
    const ULONGLONG end = (offset + size + disk_.sectorSize - 1) / disk_.sectorSize * disk_.sectorSize;
    std::vector<BYTE> sectors(static_cast<std::size_t>(end - start));
    DWORD read = 0;
    if (!Seek(start) || !win::ReadFile(handle_.get(), sectors.data(),
                                       static_cast<DWORD>(sectors.size()), &read, nullptr) ||
        read != sectors.size()) {
      Fail("cannot read " + Quoted(name_) + ": " + SystemText(win::GetLastError()));
    }
    const auto from = sectors.begin() + static_cast<std::ptrdiff_t>(offset - start);
    return std::vector<BYTE>(from, from + static_cast<std::ptrdiff_t>(size));
  }

  void Write(ULONGLONG offset, const std::vector<BYTE>& data) {
    const ULONGLONG start = offset / disk_.sectorSize * disk_.sectorSize;
    const ULONGLONG end =
        (offset + data.size() + disk_.sectorSize - 1) / disk_.sectorSize * disk_.sectorSize;
    std::vector<BYTE> sectors = start == offset && end == offset + data.size()
                                    ? data
                                    : Read(start, static_cast<std::size_t>(end - start));
    std::copy(data.begin(), data.end(), sectors.begin() + static_cast<std::ptrdiff_t>(offset - start));
    DWORD written = 0;
    if (!Seek(start) || !win::WriteFile(handle_.get(), sectors.data(),
                                        static_cast<DWORD>(sectors.size()), &written, nullptr)) {
      Fail("cannot write to " + Quoted(name_) + ": " + SystemText(win::GetLastError()));
    }
  }

  // The partition table as it is on the disk now, which is what GRUB reads.
  PartitionTable Table() const {
    auto locked = Storage::Lock();
    DiskImage image(disk_.image, disk_.length, disk_.sectorSize);
    return ReadPartitionTable(image);
  }

 private:
  bool Seek(ULONGLONG offset) {
    LARGE_INTEGER distance{};
    distance.QuadPart = static_cast<LONGLONG>(offset);
    return win::SetFilePointerEx(handle_.get(), distance, nullptr, FILE_BEGIN) != FALSE;
  }

  std::string name_;
  DiskInfo disk_;
  win::Handle handle_;
};

// The first 512-byte sector of the region that receives core.img, checked the way GRUB's
// partition maps offer their embedding area.
ULONGLONG EmbeddingStart(const PartitionTable& table, ULONGLONG coreSectors, ULONGLONG diskSectors) {
  ULONGLONG first = 0, room = 0;
  const PartitionRecord* area = nullptr;
  if (table.style == PARTITION_STYLE_MBR) {
    // The gap between the MBR and the first partition (or extended container).
    ULONGLONG end = diskSectors;
    for (const PartitionRecord& partition : table.partitions) {
      end = std::min(end, static_cast<ULONGLONG>(partition.offset) / kGrubSector);
    }
    if (end <= 1) Fail("this msdos-style partition label has no post-MBR gap; embedding won't be possible");
    first = 1;
    room = end - 1;
    if (coreSectors > room) Fail("your core.img is unusually large.  It won't fit in the embedding area");
  } else if (table.style == PARTITION_STYLE_GPT) {
    for (const PartitionRecord& partition : table.partitions) {
      if (GuidText(partition.gptType) == kBiosBootType) {
        area = &partition;
        break;
      }
    }
    if (area == nullptr) {
      Fail("this GPT partition label contains no BIOS Boot Partition; embedding won't be possible");
    }
    first = static_cast<ULONGLONG>(area->offset) / kGrubSector;
    room = static_cast<ULONGLONG>(area->length) / kGrubSector;
    if (coreSectors > room) Fail("your BIOS Boot Partition is too small; embedding won't be possible");
  } else {
    Fail("unable to identify a partition table on the install device; embedding won't be possible");
  }
  // Nothing else may lie where core.img goes.
  const ULONGLONG startByte = first * kGrubSector, endByte = (first + coreSectors) * kGrubSector;
  for (const PartitionRecord& partition : table.partitions) {
    if (&partition == area) continue;
    const auto offset = static_cast<ULONGLONG>(partition.offset);
    if (offset < endByte && startByte < offset + static_cast<ULONGLONG>(partition.length)) {
      Fail("the embedding area overlaps partition " + std::to_string(partition.number) +
           "; embedding won't be possible");
    }
  }
  return first;
}

// boot.img as it goes into sector 0: the existing BPB and partition table kept, the start of
// core.img set, the boot drive taken from the BIOS, and the jump over the floppy check removed
// so that a BIOS that passes a floppy number for this hard disk still boots it.
std::vector<BYTE> BootSector(const std::string& bootImage, const std::vector<BYTE>& existing,
                             ULONGLONG coreStart) {
  std::vector<BYTE> sector(bootImage.begin(), bootImage.end());
  std::copy(existing.begin() + kBpbStart, existing.begin() + kBpbEnd, sector.begin() + kBpbStart);
  std::copy(existing.begin() + kWindowsNtMagic, existing.begin() + kPartitionEnd,
            sector.begin() + kWindowsNtMagic);
  PutLittle<std::uint64_t>(sector, kKernelSector, coreStart);
  sector[kBootDrive] = 0xFF;
  sector[kDriveCheck] = 0x90;
  sector[kDriveCheck + 1] = 0x90;
  return sector;
}

// ---- The install --------------------------------------------------------------------------------

class Install {
 public:
  Install(const ProgramRun& run, Options options, const Output& output)
      : run_(run), options_(std::move(options)), output_(output) {}

  void Run() {
    CheckPlatform();
    output_.Line("Installing for i386-pc platform.");
    OpenDevice();
    FindBootDirectory();
    CopyPlatformFiles();
    MakeCoreImage();
    if (options_.bootsector) Embed();
    output_.Line("Installation finished. No error reported.");
  }

 private:
  void CheckPlatform() {
    // Without -d, the platform folder that ships beside the program.
    std::string folder = options_.directory.value_or("");
    if (!options_.directory) {
      const std::string& program = run_.commandLine;  // the first token names the program
      const std::vector<std::string> tokens = SplitCommandLine(program);
      std::string self = tokens.empty() ? std::string() : tokens.front();
      const std::size_t slash = self.find_last_of("\\/");
      folder = JoinPath(slash == std::string::npos ? std::string() : self.substr(0, slash),
                        "..\\lib\\grub\\i386-pc");
    }
    platformFolder_ = ParsedPath(AbsolutePath(folder, run_.currentDirectory));
    std::string modinfo;
    const std::string modinfoPath = ChildPath(platformFolder_, "modinfo.sh");
    if (ReadWholeFile(modinfoPath, modinfo) != ERROR_SUCCESS) {
      Fail(modinfoPath + " doesn't exist. Please specify --target or --directory");
    }
    const std::string platform = options_.target.value_or(PlatformOf(modinfo));
    if (platform != "i386-pc") {
      Fail("this installer puts GRUB on i386-pc only, not " +
           (platform.empty() ? Quoted(modinfoPath) : platform));
    }
    platformHost_ = HostFolder(platformFolder_).host;
  }

  void OpenDevice() {
    if (!options_.device) Fail("install device isn't specified");
    std::string path = *options_.device;
    std::replace(path.begin(), path.end(), '/', '\\');
    const std::optional<DevicePath> device = ParseDevicePath(path);
    DiskInfo disk;
    if (device && device->kind == DevicePath::Kind::Disk) {
      auto locked = Storage::Lock();
      disk = DiskOf(locked.storage, device->disk);
    }
    if (disk.image.empty()) {
      Fail("cannot find a GRUB drive for " + *options_.device + ".  Check your device.map");
    }
    // Held open for the whole install, as GRUB holds its disks.
    device_.emplace(*options_.device, disk, options_.bootsector);
    diskSectors_ = disk.length / kGrubSector;
  }

  void FindBootDirectory() {
    bootDirectory_ = ParsedPath(AbsolutePath(options_.bootDirectory, run_.currentDirectory));
    const HostPath resolved = HostFolder(bootDirectory_);
    volumeId_ = VolumeIdOf(*resolved.volume);
    prefix_ = "";
    for (const std::string& name : bootDirectory_.names) prefix_ += "/" + name;
    prefix_ += "/grub";
    grubFolder_ = bootDirectory_;
    grubFolder_.names.push_back("grub");
    installFolder_ = grubFolder_;
    installFolder_.names.push_back("i386-pc");
  }

  void CopyPlatformFiles() {
    CreateFolders(installFolder_);
    for (const std::string& name : FilesIn(HostFolder(installFolder_).host)) {
      if (IsInstalledFile(name) && !win::DeleteFileW(ChildPath(installFolder_, name))) {
        Fail("cannot delete " + Quoted(ChildPath(installFolder_, name)) + ": " +
             SystemText(win::GetLastError()));
      }
    }
    for (const std::string& name : FilesIn(platformHost_)) {
      if (!IsPlatformFile(name)) continue;
      const std::string from = ChildPath(platformFolder_, name);
      const std::string to = ChildPath(installFolder_, name);
      if (!win::CopyFileW(from, to, FALSE)) {
        Fail("cannot copy " + Quoted(from) + " to " + Quoted(to) + ": " +
             SystemText(win::GetLastError()));
      }
    }
    const std::string environmentBlock = ChildPath(grubFolder_, "grubenv");
    if (win::GetFileAttributesW(environmentBlock) == INVALID_FILE_ATTRIBUTES) {
      std::string block = kEnvironmentBlockHeader;
      block.resize(kEnvironmentBlockSize, '#');
      WriteWholeFile(environmentBlock, block);
    }
  }

  void MakeCoreImage() {
    const std::string earlyConfig = "search.fs_uuid " + volumeId_ + " root\nset prefix=($root)" +
                                    ScriptWord(prefix_) + "\n";
    HostScratch scratch;
    const std::filesystem::path configFile = scratch.path() / "load.cfg";
    const std::filesystem::path coreFile = scratch.path() / "core.img";
    {
      FILE* out = std::fopen(configFile.c_str(), "wb");
      if (out == nullptr) Fail("cannot write the early configuration on the host");
      std::fwrite(earlyConfig.data(), 1, earlyConfig.size(), out);
      std::fclose(out);
    }
    std::vector<std::string> command = {"grub-mkimage", "-O", "i386-pc",
                                        "-d", platformHost_.string(),
                                        "-c", configFile.string(),
                                        "-p", prefix_,
                                        "-o", coreFile.string()};
    command.insert(command.end(), std::begin(kCoreModules), std::end(kCoreModules));
    command.insert(command.end(), options_.modules.begin(), options_.modules.end());
    std::string said;
    const int exitCode = RunHost(command, said);
    if (exitCode == -1) Fail("cannot run grub-mkimage (Debian package grub-common): " + said);
    if (exitCode != 0) {
      // Its words name the host folder; the user knows the platform folder by its own name.
      std::string text = FirstLine(said);
      const std::string host = platformHost_.string();
      for (std::size_t at; (at = text.find(host)) != std::string::npos;) {
        text.replace(at, host.size(), platformFolder_.Text());
      }
      Fail(text.empty() ? "grub-mkimage failed" : text);
    }
    std::string core;
    {
      FILE* in = std::fopen(coreFile.c_str(), "rb");
      if (in == nullptr) Fail("grub-mkimage wrote no core image");
      std::array<char, 65536> buffer;
      for (std::size_t got; (got = std::fread(buffer.data(), 1, buffer.size(), in)) > 0;) {
        core.append(buffer.data(), got);
      }
      std::fclose(in);
    }
    if (core.size() < kGrubSector) Fail("the size of " + Quoted("core.img") + " is too small");
    if (core.size() > kCoreImageLimit) Fail("the size of " + Quoted("core.img") + " is too large");
    WriteWholeFile(ChildPath(installFolder_, "load.cfg"), earlyConfig);
    WriteWholeFile(ChildPath(installFolder_, "core.img"), core);
    coreImage_.assign(core.begin(), core.end());
  }

  void Embed() {
    const std::string bootImage = ReadPlatformFile(installFolder_, "boot.img");
    if (bootImage.size() != kGrubSector) {
      Fail("the size of " + Quoted(ChildPath(installFolder_, "boot.img")) + " is not 512");
    }
    const ULONGLONG coreSectors = (coreImage_.size() + kGrubSector - 1) / kGrubSector;
    const ULONGLONG first = EmbeddingStart(device_->Table(), coreSectors, diskSectors_);

    std::vector<BYTE> core = coreImage_;
    core.resize(static_cast<std::size_t>(coreSectors * kGrubSector), 0);
    PutLittle<std::uint64_t>(core, kBlocklistStart, first + 1);
    PutLittle<std::uint16_t>(core, kBlocklistLength, static_cast<std::uint16_t>(coreSectors - 1));
    // core.img first: boot code that points at a core image not yet there would not boot.
    device_->Write(first * kGrubSector, core);
    const std::vector<BYTE> existing = device_->Read(0, kGrubSector);
    device_->Write(0, BootSector(bootImage, existing, first));
  }

  const ProgramRun& run_;
  Options options_;
  const Output& output_;
  FilePath platformFolder_;
  std::filesystem::path platformHost_;
  std::optional<InstallDevice> device_;
  ULONGLONG diskSectors_ = 0;
  FilePath bootDirectory_, grubFolder_, installFolder_;
  std::string volumeId_, prefix_;
  std::vector<BYTE> coreImage_;
};

}  // namespace

DWORD RunGrubInstall(const ProgramRun& run) {
  // A fault here is the exit code the installer ends with.
  if (auto fault = TakeFault("grub-install.exe")) return *fault;
  const Output output(run.creationFlags);
  try {
    Install(run, ParseOptions(run.arguments), output).Run();
    return kDone;
  } catch (const Failure& failure) {
    for (const std::string& line : failure.lines) output.Line(line);
    return failure.exitCode;
  }
}

}  // namespace emu
