#include "benchmarks/fault_sweep/picks.h"

#include <map>

namespace sweep {

std::vector<std::size_t> ChooseIndices(const std::vector<SeamCall>& calls, std::size_t sample) {
  std::vector<std::size_t> all;
  for (std::size_t first = 0; first < calls.size();) {
    std::size_t last = first;
    while (last + 1 < calls.size() && calls[last + 1].name == calls[first].name) ++last;
    if (last - first < 3) {
      for (std::size_t i = first; i <= last; ++i) all.push_back(i);
    } else {
      all.insert(all.end(), {first, first + (last - first) / 2, last});
    }
    first = last + 1;
  }
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
