#include "benchmarks/fault_sweep/picks.h"

#include <cctype>
#include <map>
#include <set>
#include <tuple>

namespace sweep {

namespace {

// A path of a file or folder on a volume ("C:\\..."), as opposed to a device or a registry name.
bool IsFilePath(const std::string& path) {
  return path.size() > 2 && path[1] == ':' && path[2] == '\\';
}

std::string ParentFolder(const std::string& path) {
  std::string parent = path.substr(0, path.rfind('\\'));
  for (char& c : parent) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return parent;
}

// Of a run longer than three calls the first, the middle and the last; a shorter run whole.
void PickFromRun(const std::vector<std::size_t>& run, std::set<std::size_t>& picked) {
  if (run.size() <= 3) {
    picked.insert(run.begin(), run.end());
  } else {
    picked.insert({run.front(), run[run.size() / 2], run.back()});
  }
}

// Calls on files: like calls have the same name, thread and folder and follow each other with at
// most three other calls between them (a file's creation and its writes alternate).
void PickFileCalls(const std::vector<SeamCall>& calls, std::set<std::size_t>& picked) {
  constexpr std::size_t kMaxGap = 4;
  std::map<std::tuple<std::string, int, std::string>, std::vector<std::size_t>> open;
  for (std::size_t i = 0; i < calls.size(); ++i) {
    if (!IsFilePath(calls[i].path)) continue;
    auto& run = open[{calls[i].name, calls[i].thread, ParentFolder(calls[i].path)}];
    if (!run.empty() && i - run.back() > kMaxGap) {
      PickFromRun(run, picked);
      run.clear();
    }
    run.push_back(i);
  }
  for (const auto& [key, run] : open) PickFromRun(run, picked);
}

// Other calls (devices, registry, volumes): like calls are consecutive calls of the same name.
void PickOtherCalls(const std::vector<SeamCall>& calls, std::set<std::size_t>& picked) {
  for (std::size_t first = 0; first < calls.size();) {
    std::size_t last = first;
    while (last + 1 < calls.size() && calls[last + 1].name == calls[first].name) ++last;
    std::vector<std::size_t> run;
    for (std::size_t i = first; i <= last; ++i) run.push_back(i);
    std::set<std::size_t> fromRun;
    PickFromRun(run, fromRun);
    for (std::size_t i : fromRun) {
      if (!IsFilePath(calls[i].path)) picked.insert(i);
    }
    first = last + 1;
  }
}

}  // namespace

std::vector<std::size_t> ChooseIndices(const std::vector<SeamCall>& calls, std::size_t sample) {
  std::set<std::size_t> picked;
  PickFileCalls(calls, picked);
  PickOtherCalls(calls, picked);
  const std::vector<std::size_t> all(picked.begin(), picked.end());
  std::vector<std::size_t> chosen;
  for (std::size_t i = 0; i < all.size(); i += sample) chosen.push_back(all[i]);
  return chosen;
}

unsigned long ErrorFor(const std::string& call) {
  constexpr unsigned long kAccessDenied = 5, kNotReady = 21, kSharingViolation = 32,
                          kInvalidParameter = 87, kDiskFull = 112, kIoDevice = 1117,
                          kDeviceNotConnected = 1167;
  static const std::map<std::string, unsigned long> errors{
      {"CreateFileW", kSharingViolation},      // another program has the file or volume open
      {"CreateDirectoryW", kAccessDenied},
      {"DeleteFileW", kAccessDenied},
      {"CopyFileW", kDiskFull},
      {"SHFileOperationW", kAccessDenied},
      {"ReadFile", kIoDevice},
      {"WriteFile", kIoDevice},
      {"DeviceIoControl", kNotReady},
      {"SetFilePointerEx", kDeviceNotConnected},  // the stick was pulled
      {"FindFirstVolumeW", kNotReady},
      {"GetVolumeInformationW", kNotReady},
      {"SetVolumeMountPointW", kAccessDenied},
      {"DeleteVolumeMountPointW", kAccessDenied},
      {"CreateProcessW", kAccessDenied},
      {"RegSetValueExW", kAccessDenied},
      {"RegSaveKeyW", kAccessDenied},
      {"GetVersionExW", kInvalidParameter},  // the only way it fails
      {"OpenProcessToken", kAccessDenied},
      {"AdjustTokenPrivileges", kAccessDenied},
      {"LookupPrivilegeValueW", kAccessDenied},
      {"AllocateAndInitializeSid", kAccessDenied},
      {"LookupAccountSidW", kAccessDenied},
      {"SetEntriesInAclW", kAccessDenied},
      {"SetNamedSecurityInfoW", kAccessDenied},
  };
  const auto it = errors.find(call);
  return it == errors.end() ? kAccessDenied : it->second;
}

}  // namespace sweep
