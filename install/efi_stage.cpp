#include "install/efi_stage.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <thread>

#include "app/console_log.h"
#include "bcd/store_builders.h"
#include "disk/disk_queries.h"
#include "disk/volume_offline.h"
#include "disk/volume_search.h"
#include "platform/seam.h"
#include "ui/language.h"

std::chrono::milliseconds PartitionModeArrivalLimit{10000};

namespace {

constexpr std::chrono::milliseconds kArrivalPoll{100};

struct EfiFile {
  const char* source;  // relative to the extracted payload; null: the GRUB configuration
  const char* destination;
};

constexpr EfiFile kLoaderFiles[] = {
    {nullptr, "\\EFI\\velund\\grub.cfg"},
    {"files\\EFI\\ENROLL_THIS_KEY_IN_MOKMANAGER.cer", "\\EFI\\ENROLL_THIS_KEY_IN_MOKMANAGER.cer"},
    {"files\\EFI\\velund\\grubx64.efi", "\\EFI\\velund\\grubx64.efi"},
    {"files\\EFI\\velund\\grubia32.efi", "\\EFI\\velund\\grubia32.efi"},
    {"files\\EFI\\velund\\mmx64.efi", "\\EFI\\velund\\mmx64.efi"},
    {"files\\EFI\\velund\\shimx64.efi", "\\EFI\\velund\\shimx64.efi"},
    {"files\\EFI\\velund\\grubaa64.efi", "\\EFI\\velund\\grubaa64.efi"},
    {"files\\EFI\\velund\\mmaa64.efi", "\\EFI\\velund\\mmaa64.efi"},
    {"files\\EFI\\velund\\shimaa64.efi", "\\EFI\\velund\\shimaa64.efi"},
};

// The firmware's fallback loaders: shim on x64 and aa64, GRUB itself on ia32.
constexpr EfiFile kFallbackFiles[] = {
    {nullptr, "\\EFI\\Boot\\grub.cfg"},
    {"files\\EFI\\velund\\grubx64.efi", "\\EFI\\Boot\\grubx64.efi"},
    {"files\\EFI\\velund\\grubia32.efi", "\\EFI\\Boot\\bootia32.efi"},
    {"files\\EFI\\velund\\mmx64.efi", "\\EFI\\Boot\\mmx64.efi"},
    {"files\\EFI\\velund\\shimx64.efi", "\\EFI\\Boot\\bootx64.efi"},
    {"files\\EFI\\velund\\grubaa64.efi", "\\EFI\\Boot\\grubaa64.efi"},
    {"files\\EFI\\velund\\mmaa64.efi", "\\EFI\\Boot\\mmaa64.efi"},
    {"files\\EFI\\velund\\shimaa64.efi", "\\EFI\\Boot\\bootaa64.efi"},
};

bool Exists(const std::string& path) {
  return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = win::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The configuration file, created (or replaced) and written; it stays open while the loaders
// beside it are copied.
win::Handle WriteGrubConfig(const std::string& path, const std::string& text) {
  win::Handle file(win::CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
  DWORD written = 0;
  if (!file ||
      !win::WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) ||
      written != text.size()) {
    const DWORD error = win::GetLastError();
    throw std::runtime_error("Cannot write " + path + ": " + SystemErrorText(error));
  }
  return file;
}

// One table: its configuration file first, then its copies in order.
bool WriteTable(const std::string& target, const std::string& config, const EfiFile* files,
                std::size_t count) {
  win::Handle configFile = WriteGrubConfig(target + files[0].destination, config);
  for (std::size_t i = 1; i < count; ++i) {
    if (!win::CopyFileW(files[i].source, target + files[i].destination, FALSE)) {
      WriteStatusLine(win::GetLastError());
      return false;
    }
  }
  return true;
}

bool BothStoresPresent(const std::string& root) {
  return Exists(root + "\\EFI\\Microsoft\\Boot\\BCD") && Exists(root + "\\Boot\\BCD");
}

void BroadcastChange() {
  win::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, 0x17, 0, SMTO_NORMAL, 500, nullptr);
}

bool SetLayout(InstallRun& run, LayoutBuffer& layout) {
  DWORD returned = 0;
  return win::DeviceIoControl(run.disk.get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout.data(),
                              static_cast<DWORD>(layout.size()), nullptr, 0, &returned, nullptr);
}

bool UpdateProperties(InstallRun& run) {
  DWORD returned = 0;
  return win::DeviceIoControl(run.disk.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                              &returned, nullptr);
}

// Partition mode: the FAT32 partition alone in a temporary table, the NTFS/exFAT volume's letter
// taken away meanwhile. `applied` is the stage flag: whether the temporary layout is in place, and
// afterwards whether the write-back and the give-back succeeded.
class PartitionModeStage {
 public:
  PartitionModeStage(InstallRun& run, const std::string& identifier)
      : run_(run), identifier_(identifier) {}

  bool Run() {
    if (!TakeVolumeOffline()) return false;
    run_.progress(35);
    // From here on every way out writes the real layout back and gives the letter back.
    bool done = false;
    try {
      done = OnTemporaryLayout();
    } catch (...) {
      LeaveEarly();
      throw;
    }
    if (!done) {
      LeaveEarly();
      return false;
    }
    run_.progress(42);
    WriteBack();
    if (!applied_) {
      working_.reset();
      GiveBack();
      return false;
    }
    run_.progress(47);
    working_.reset();
    GiveBack();
    run_.progress(45);
    return applied_;
  }

 private:
  bool TakeVolumeOffline() {
    win::Handle volume =
        OpenVolumeToTakeOffline(run_.Drive + ":", FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (!volume) return false;
    run_.progress(32);
    if (!DismountVolume(volume.get())) return false;
    volume.reset();
    run_.progress(34);
    if (!win::DeleteVolumeMountPointW(run_.Drive + ":\\")) {
      WriteStatusLine(win::GetLastError());
      return false;
    }
    return true;
  }

  bool OnTemporaryLayout() {
    working_ = std::make_unique<LayoutBuffer>();
    std::memcpy(working_->data(), run_.layout.data(), working_->size());
    run_.progress(37);
    std::memset(working_->data() + kLayoutHeaderSize, 0, working_->size() - kLayoutHeaderSize);
    *working_->entry(0) = *run_.layout.entry(run_.fat32EntryIndex);
    working_->get()->PartitionCount = 1;
    // Once the layout request has passed, the temporary table is on the disk, even when the
    // properties request then fails: from there on it must be written back.
    temporaryOnDisk_ = SetLayout(run_, *working_);
    if (!temporaryOnDisk_ || !UpdateProperties(run_)) {
      WriteStatusLine(win::GetLastError());
      applied_ = false;
      return false;
    }
    BroadcastChange();
    applied_ = true;
    run_.progress(40);

    std::string name;
    if (!AwaitVolumeAt(run_.fat32Offset, name)) return false;
    const std::string root = "\\\\?\\" + VolumeGuidName(name);
    if (!SetupEfiPartition(root, identifier_, run_.Bootsector)) return false;
    return BothStoresPresent(root) || BuildEspBcd(root);
  }

  void WriteBack() {
    if (!temporaryOnDisk_) return;
    if (SetLayout(run_, run_.layout) && UpdateProperties(run_)) {
      BroadcastChange();
      temporaryOnDisk_ = false;
    } else {
      WriteStatusLine(win::GetLastError());
      applied_ = false;
    }
  }

  // The system mounts a partition in its own time after a new layout; it is waited for, within a
  // limit. False, with a status line, when it never arrives.
  bool AwaitVolumeAt(LONGLONG offset, std::string& name) {
    const auto deadline = std::chrono::steady_clock::now() + PartitionModeArrivalLimit;
    while (!FindVolumeAt(run_.diskNumber, offset, name)) {
      if (std::chrono::steady_clock::now() >= deadline) {
        WriteStatusLine(ERROR_TIMEOUT);
        return false;
      }
      std::this_thread::sleep_for(kArrivalPoll);
    }
    return true;
  }

  // A volume that does not come back leaves the drive without its letter: that ends the run too.
  // While the temporary layout is still on the disk the volume cannot come back, so nothing is
  // waited for and the write-back's status line stays the only one.
  void GiveBack() {
    if (temporaryOnDisk_) {
      applied_ = false;
      return;
    }
    std::string name;
    if (!AwaitVolumeAt(run_.ntfsOffset, name)) {
      applied_ = false;
      return;
    }
    if (win::SetVolumeMountPointW(run_.Drive + ":\\", name)) {
      applied_ = true;
    } else {
      WriteStatusLine(win::GetLastError());
      applied_ = false;
    }
  }

  void LeaveEarly() {
    WriteBack();
    working_.reset();
    GiveBack();
  }

  InstallRun& run_;
  const std::string& identifier_;
  std::unique_ptr<LayoutBuffer> working_;
  bool applied_ = false;
  bool temporaryOnDisk_ = false;  // the temporary layout was sent and not yet written back
};

}  // namespace

std::string EfiGrubConfig(const std::string& identifier) {
  return "search.fs_uuid " + identifier + " root\nset prefix=($root)/KYR/grub\n"
         "configfile $prefix/grub.cfg";
}

bool SetupEfiPartition(const std::string& target, const std::string& identifier, bool keep) {
  WriteText(LookupText("CopyingEFI"));
  std::vector<std::string> folders = {target + "\\EFI", target + "\\EFI\\velund"};
  if (!keep) folders.push_back(target + "\\EFI\\Boot");
  for (const std::string& folder : folders) {
    if (!IsFolder(folder) && !win::CreateDirectoryW(folder, nullptr)) {
      WriteStatusLine(win::GetLastError());
      return false;
    }
  }
  const std::string config = EfiGrubConfig(identifier);
  if (!WriteTable(target, config, kLoaderFiles, std::size(kLoaderFiles))) return false;
  if (!keep && !WriteTable(target, config, kFallbackFiles, std::size(kFallbackFiles))) {
    return false;
  }
  WriteLine(LookupText("Done"));
  return true;
}

bool RunEfiStage(InstallRun& run, const std::string& identifier) {
  bool done = false;
  if (!run.partitionMode) {
    const std::string root = run.FAT32Drive + ":";
    done = SetupEfiPartition(root, identifier, run.Bootsector) &&
           (BothStoresPresent(root) || BuildEspBcd(root));
  } else {
    done = PartitionModeStage(run, identifier).Run();
  }
  if (!done) return false;
  run.progress(55);
  run.disk.reset();
  return true;
}
