// Processes on the emulated machine: CreateProcessW, waiting, exit codes, and the system's own
// programs (format.com, cmd.exe).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <map>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>

#include "platform/emulated/devices.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/grub_install_program.h"
#include "platform/emulated/images.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/programs.h"
#include "platform/emulated/sharing.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"

namespace emu {
namespace {

struct Registered {
  Program program;
  bool systemProgram = false;
};

std::mutex gProgramsMutex;
std::map<std::string, Registered, CaseInsensitiveLess>& Programs();

// What a process and its thread handle share: the run's end and its exit code.
struct RunState {
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false;
  DWORD exitCode = STILL_ACTIVE;
};

class ProcessObject : public KernelObject {
 public:
  explicit ProcessObject(std::shared_ptr<RunState> state) : state_(std::move(state)) {}
  DWORD Wait(DWORD milliseconds) override {
    std::unique_lock lock(state_->mutex);
    auto isDone = [&] { return state_->done; };
    if (milliseconds == INFINITE) {
      state_->ended.wait(lock, isDone);
      return WAIT_OBJECT_0;
    }
    return state_->ended.wait_for(lock, std::chrono::milliseconds(milliseconds), isDone)
               ? WAIT_OBJECT_0
               : WAIT_TIMEOUT;
  }
  DWORD ExitCode() {
    std::lock_guard lock(state_->mutex);
    return state_->exitCode;
  }

 private:
  std::shared_ptr<RunState> state_;
};

// The primary thread's handle: waitable like the process.
class ThreadObject : public ProcessObject {
 public:
  using ProcessObject::ProcessObject;
};

std::string FileNameOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool HasExtension(const std::string& name) {
  return FileNameOf(name).find('.') != std::string::npos;
}

// Finds the program of a command line's first token; an error code when there is none. `file`
// receives the path of a program file (empty for the system's own programs).
DWORD FindProgram(const std::string& token, Program& program, std::string& file) {
  std::lock_guard lock(gProgramsMutex);
  auto& programs = Programs();
  const bool hasPath = token.find_first_of("\\/:") != std::string::npos;
  std::vector<std::string> candidates{token};
  if (!HasExtension(token)) candidates.insert(candidates.begin(), token + ".exe");
  if (!hasPath) {
    if (!HasExtension(token)) candidates.push_back(token + ".com");
    for (const std::string& name : candidates) {
      auto it = programs.find(name);
      if (it != programs.end() && it->second.systemProgram) {
        program = it->second.program;
        return ERROR_SUCCESS;
      }
    }
  }
  // A program file: it must exist where the path (or the current folder) says.
  DWORD missing = ERROR_FILE_NOT_FOUND;
  for (const std::string& candidate : candidates) {
    const DWORD attributes = win::GetFileAttributesW(candidate);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      if (win::GetLastError() == ERROR_PATH_NOT_FOUND) missing = ERROR_PATH_NOT_FOUND;
      continue;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return ERROR_ACCESS_DENIED;
    auto it = programs.find(FileNameOf(candidate));
    if (it == programs.end() || it->second.systemProgram) return ERROR_BAD_EXE_FORMAT;
    program = it->second.program;
    file = candidate;
    return ERROR_SUCCESS;
  }
  return missing;
}

void RecordStart(const ProgramRun& run) {
  const nlohmann::json line = {{"command_line", run.commandLine},
                               {"current_directory", run.currentDirectory},
                               {"creation_flags", run.creationFlags},
                               {"show_window", run.showWindow}};
  std::ofstream out(Machine::Get().Directory() / "processes.log", std::ios::app);
  out << line.dump() << "\n";
}

// ---- format.com --------------------------------------------------------------------------------

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// Format's own exit codes: 0 done, 4 a fatal error (volume in use, cannot format).
constexpr DWORD kFormatDone = 0;
constexpr DWORD kFormatFatal = 4;

DWORD RunFormat(const ProgramRun& run) {
  // A fault here is the exit code format ends with.
  if (auto fault = TakeFault("format.com")) return *fault;
  std::string target, fileSystem = "NTFS", label;
  for (const std::string& argument : run.arguments) {
    const std::string upper = Upper(argument);
    if (upper.rfind("/FS:", 0) == 0) {
      fileSystem = argument.substr(4);
    } else if (upper.rfind("/V:", 0) == 0) {
      label = argument.substr(3);
    } else if (upper == "/Q" || upper == "/Y" || upper == "/X") {
    } else if (!argument.empty() && argument[0] != '/') {
      target = argument;
    } else {
      return kFormatFatal;  // an option format does not know
    }
  }
  FormatRequest request;
  std::shared_ptr<Volume> volume;
  {
    auto locked = Storage::Lock();
    Storage& storage = locked.storage;
    std::string guid = VolumeGuidOfName(target).value_or("");
    if (!guid.empty()) {
      volume = storage.FindVolumeByGuid(guid);
    } else if (target.size() >= 2 && target[1] == ':') {
      volume = storage.FindVolumeByLetter(target[0]);
    }
    if (!volume || volume->extents.size() != 1) return kFormatFatal;
    // Format locks the volume first; a volume that another program has open cannot be formatted.
    if (volume->held || volume->lockedBy != nullptr ||
        OpenCount(VolumeShareName(*volume)) > 0 || OpenFilesOnVolume(*volume) > 0) {
      return kFormatFatal;
    }
    DiskDevice* disk = storage.FindDisk(volume->Disk());
    if (disk == nullptr) return kFormatFatal;
    request.image = disk->image;
    request.offset = static_cast<ULONGLONG>(volume->Offset());
    request.length = static_cast<ULONGLONG>(volume->Length());
    request.sectorSize = disk->geometry.BytesPerSector;
    request.sectorsPerTrack = disk->geometry.SectorsPerTrack;
    request.tracksPerCylinder = disk->geometry.TracksPerCylinder;
    request.fileSystem = fileSystem;
    // Windows' format makes FAT32 volumes of at most 32 GiB.
    if (Upper(fileSystem) == "FAT32" && request.length > 32ull * 1024 * 1024 * 1024) {
      return kFormatFatal;
    }
    request.label = label;
    volume->lockedBy = &request;
  }
  std::string error;
  const bool formatted = FormatVolume(request, error);
  auto locked = Storage::Lock();
  volume->lockedBy = nullptr;
  if (!formatted) return kFormatFatal;
  std::error_code ec;
  const std::filesystem::path folder = locked.storage.VolumeFolder(*volume);
  std::filesystem::remove_all(folder, ec);
  std::filesystem::create_directories(folder, ec);
  volume->label = label;
  locked.storage.Save();
  return kFormatDone;
}

// The start command is recorded; nothing to run. A fault here is the exit code cmd ends with.
DWORD RunCmd(const ProgramRun&) { return TakeFault("cmd.exe").value_or(0); }

std::map<std::string, Registered, CaseInsensitiveLess>& Programs() {
  static std::map<std::string, Registered, CaseInsensitiveLess> programs{
      {"format.com", {RunFormat, true}},
      {"cmd.exe", {RunCmd, true}},
      {"grub-install.exe", {RunGrubInstall, false}},
  };
  return programs;
}

}  // namespace

void RegisterProgram(const std::string& fileName, Program program, bool systemProgram) {
  std::lock_guard lock(gProgramsMutex);
  Programs()[fileName] = Registered{std::move(program), systemProgram};
}

Program RegisteredProgram(const std::string& fileName) {
  std::lock_guard lock(gProgramsMutex);
  auto it = Programs().find(fileName);
  return it == Programs().end() ? Program() : it->second.program;
}

std::vector<std::string> SplitCommandLine(std::string_view line) {
  std::vector<std::string> tokens;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) break;
    std::string token;
    bool quoted = false;
    while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
      if (line[i] == '\\') {
        std::size_t slashes = 0;
        while (i < line.size() && line[i] == '\\') ++slashes, ++i;
        if (i < line.size() && line[i] == '"') {
          token.append(slashes / 2, '\\');
          if (slashes % 2 == 1) {
            token.push_back('"');
            ++i;
          }
        } else {
          token.append(slashes, '\\');
        }
      } else if (line[i] == '"') {
        quoted = !quoted;
        ++i;
      } else {
        token.push_back(line[i++]);
      }
    }
    tokens.push_back(token);
  }
  return tokens;
}

std::vector<std::string> StartedCommandLines() {
  std::vector<std::string> lines;
  std::ifstream in(Machine::Get().Directory() / "processes.log");
  std::string line;
  while (std::getline(in, line)) {
    const auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_object()) lines.push_back(json.value("command_line", std::string()));
  }
  return lines;
}

}  // namespace emu

namespace win {

BOOL CreateProcessW(std::string_view applicationName, std::string& commandLine,
                    const SECURITY_ATTRIBUTES*, const SECURITY_ATTRIBUTES*, BOOL, DWORD creationFlags,
                    void*, std::string_view currentDirectory, const STARTUPINFOW* startupInfo,
                    PROCESS_INFORMATION* processInformation) {
  if (processInformation) *processInformation = PROCESS_INFORMATION{};
  if (startupInfo == nullptr || startupInfo->cb != sizeof(STARTUPINFOW) ||
      processInformation == nullptr) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  const std::vector<std::string> tokens = emu::SplitCommandLine(commandLine);
  const std::string program = !applicationName.empty() ? std::string(applicationName)
                              : tokens.empty()          ? std::string()
                                                        : tokens.front();
  if (program.empty()) {
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
  }
  emu::RunInterleaves("CreateProcessW", program);
  if (auto fault = emu::TakeFault("CreateProcessW", program)) {
    SetLastError(*fault);
    return FALSE;
  }
  emu::Program run;
  std::string file;
  if (DWORD status = emu::FindProgram(program, run, file); status != ERROR_SUCCESS) {
    SetLastError(status);
    return FALSE;
  }
  // Windows maps the program's file for the life of the process; a file that another open keeps
  // from being read, or that someone has open for writing, does not start.
  std::unique_ptr<emu::ShareToken> image;
  if (!file.empty()) {
    if (DWORD status = emu::MapImageAt(file, image); status != ERROR_SUCCESS) {
      SetLastError(status);
      return FALSE;
    }
  }
  emu::ProgramRun details;
  details.commandLine = commandLine;
  details.arguments.assign(tokens.empty() ? tokens.end() : tokens.begin() + 1, tokens.end());
  if (!currentDirectory.empty()) {
    details.currentDirectory = std::string(currentDirectory);
  } else {
    GetCurrentDirectoryW(details.currentDirectory);
  }
  details.creationFlags = creationFlags;
  details.showWindow =
      (startupInfo->dwFlags & STARTF_USESHOWWINDOW) ? startupInfo->wShowWindow : SW_SHOWNORMAL;
  emu::RecordStart(details);

  auto state = std::make_shared<emu::RunState>();
  std::thread([state, run, details, image = std::move(image)]() mutable {
    DWORD code = 1;
    try {
      code = run(details);
    } catch (...) {
      code = 0xC0000005;  // what a crashed process leaves behind
    }
    image.reset();  // an ended process no longer maps its file
    std::lock_guard lock(state->mutex);
    state->exitCode = code;
    state->done = true;
    state->ended.notify_all();
  }).detach();

  static std::atomic<DWORD> nextId{0x1000};
  processInformation->hProcess = emu::InsertHandle(std::make_shared<emu::ProcessObject>(state));
  processInformation->hThread = emu::InsertHandle(std::make_shared<emu::ThreadObject>(state));
  processInformation->dwProcessId = nextId += 4;
  processInformation->dwThreadId = nextId += 4;
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  auto object = emu::LookupHandle(handle);
  if (!object) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  const DWORD result = object->Wait(milliseconds);
  if (result == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
  return result;
}

BOOL GetExitCodeProcess(HANDLE process, DWORD* exitCode) {
  auto object = emu::LookupHandleAs<emu::ProcessObject>(process);
  if (!object || exitCode == nullptr) {
    SetLastError(object ? ERROR_NOACCESS : ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *exitCode = object->ExitCode();
  return TRUE;
}

}  // namespace win
