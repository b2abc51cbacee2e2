#include "benchmarks/fault_sweep/machine.h"

#include <fstream>
#include <functional>
#include <sstream>

#include "benchmarks/fault_sweep/process.h"

namespace sweep {
namespace fs = std::filesystem;
namespace {

constexpr const char* kSpareDiskSize = "67108864";
constexpr std::size_t kSpareDiskPattern = 1 << 20;

std::string ReadBytes(const fs::path& file, std::size_t limit) {
  std::ifstream in(file, std::ios::binary);
  std::string bytes(limit, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(limit));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
}

std::string Digest(const std::string& bytes) {
  return std::to_string(std::hash<std::string>{}(bytes)) + ":" + std::to_string(bytes.size());
}

nlohmann::json ReadJson(const fs::path& file) {
  std::ifstream in(file);
  return nlohmann::json::parse(in);
}

void WriteJson(const fs::path& file, const nlohmann::json& json) {
  std::ofstream(file) << json.dump(2) << '\n';
}

bool Run(const std::vector<std::string>& argv, const fs::path& logs) {
  ProcessResult result = RunProcess(argv, {}, logs / "prepare.out", logs / "prepare.err",
                                    std::chrono::seconds(120));
  return !result.timedOut && !result.signalled && result.status == 0;
}

// The volume folders of disk 0, from the keys storage.json remembers ("MBR:0:...").
std::vector<fs::path> SystemVolumeFolders(const fs::path& machine) {
  std::vector<fs::path> folders;
  const nlohmann::json storage = ReadJson(machine / "storage.json");
  for (const nlohmann::json& device : storage.value("mounted_devices", nlohmann::json::array())) {
    const std::string key = device.value("key", "");
    if (key.find(":0:") == std::string::npos) continue;
    std::string guid = device.value("guid", "");
    std::erase(guid, '{');
    std::erase(guid, '}');
    folders.push_back(machine / "volumes" / guid);
  }
  return folders;
}

}  // namespace

std::string PrepareTemplate(const Tools& tools, const Scenario& scenario,
                            const fs::path& directory) {
  fs::remove_all(directory);
  const fs::path logs = directory.parent_path();
  const std::string dir = directory.string();
  if (!Run({tools.machine, "new", dir}, logs) ||
      !Run({tools.machine, "code-pages", dir, "65001", "65001"}, logs) ||
      !Run({tools.machine, "add-disk", dir, "--number", "2", "--size", kSpareDiskSize,
                   "--removable", "--name", "Spare Flash Disk"},
           logs)) {
    return "velund-machine failed, see " + (logs / "prepare.err").string();
  }
  {
    std::fstream image(directory / "disks" / "disk2.img", std::ios::in | std::ios::out |
                                                              std::ios::binary);
    const std::string pattern(kSpareDiskPattern, '\xA5');
    image.write(pattern.data(), static_cast<std::streamsize>(pattern.size()));
  }
  if (scenario.partitionMode) {
    nlohmann::json config = ReadJson(directory / "machine.json");
    config["mount_policy"] = {{"auto_letters", false}};
    WriteJson(directory / "machine.json", config);
  }
  // One run that switches the language to English, which the program remembers, and makes the
  // stick once, so that the swept create finds volumes with letters to take offline.
  const fs::path autopilot = logs / "language.autopilot";
  std::ofstream(autopilot) << "click LanguageImage\nwait-idle 60\n"
                              "tab Create\npick DiskLists 0\nclick ButtonCreate\nwait-idle 120\n"
                              "close\n";
  const ProcessResult result =
      RunProcess({tools.setup}, {{"VELUND_MACHINE", dir}, {"VELUND_AUTOPILOT", autopilot}},
                 logs / "language.out", logs / "language.err", std::chrono::seconds(120));
  if (result.timedOut || result.signalled || result.status != 0) {
    return "the language run failed, see " + (logs / "language.err").string();
  }
  return {};
}

bool CopyMachine(const fs::path& from, const fs::path& to) {
  fs::remove_all(to);
  const ProcessResult result =
      RunProcess({"/bin/cp", "-a", "--reflink=auto", "--sparse=always", from.string(),
                  to.string()},
                 {}, "/dev/null", "/dev/null", std::chrono::seconds(120));
  return !result.timedOut && !result.signalled && result.status == 0;
}

void SetFaults(const fs::path& machine, const nlohmann::json& faults) {
  nlohmann::json config = ReadJson(machine / "machine.json");
  config["faults"] = faults;
  WriteJson(machine / "machine.json", config);
}

DiskSnapshot TakeSnapshot(const fs::path& machine) {
  DiskSnapshot snapshot;
  const fs::path spare = machine / "disks" / "disk2.img";
  snapshot.spareDisk = Digest(ReadBytes(spare, fs::file_size(spare)));
  snapshot.systemDiskStart = Digest(ReadBytes(machine / "disks" / "disk0.img", 1 << 20));
  const fs::path volumes = machine / "volumes";
  for (const fs::path& folder : SystemVolumeFolders(machine)) {
    if (!fs::exists(folder)) continue;
    for (const auto& entry : fs::recursive_directory_iterator(folder)) {
      const std::string key = fs::relative(entry.path(), volumes).generic_string();
      snapshot.systemFiles[key] =
          entry.is_directory() ? "folder" : Digest(ReadBytes(entry.path(), entry.file_size()));
    }
  }
  return snapshot;
}

std::string TempFolderKey(const fs::path& machine) {
  const std::vector<fs::path> folders = SystemVolumeFolders(machine);
  if (folders.empty()) return {};
  return fs::relative(folders.front() / "Users/Setup/AppData/Local/Temp/kyrextract",
                      machine / "volumes")
      .generic_string();
}

}  // namespace sweep
