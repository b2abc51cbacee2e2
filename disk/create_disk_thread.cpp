#include "disk/create_disk_thread.h"

#include <thread>
#include <vector>

#include "app/console_log.h"
#include "app/decimal_text.h"
#include "disk/disk_queries.h"
#include "disk/volume_offline.h"
#include "disk/volume_search.h"
#include "platform/seam.h"
#include "sys/command_runner.h"
#include "ui/job_host.h"
#include "ui/language.h"

namespace {

constexpr DWORD kFullSharing = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr std::chrono::milliseconds kArrivalPoll{100};

bool IsOfflineCandidate(UINT type) {
  return type == DRIVE_REMOVABLE || type == DRIVE_FIXED || type == DRIVE_REMOTE ||
         type == DRIVE_RAMDISK;
}

}  // namespace

std::chrono::milliseconds TThreadCreate::VolumeArrivalLimit{10000};

TThreadCreate::TThreadCreate(std::string _Disk, LONGLONG _FAT32Size, LONGLONG _NTFSSize,
                             bool _MBRStyle)
    : WorkerThread(WindowThread::Main()),
      Disk(std::move(_Disk)),
      FAT32Size(_FAT32Size),
      NTFSSize(_NTFSSize),
      MBRStyle(_MBRStyle) {}

TThreadCreate::~TThreadCreate() {
  disk_.reset();
  TThreadCreate* self = this;
  ActiveCreateThread.compare_exchange_strong(self, nullptr);
  Synchronize([] { TheJobHost().RebuildDriveListsAfterJob(); });
}

void TThreadCreate::Progress(int position) {
  Synchronize([position] { TheJobHost().SetProgressPosition(position); });
}

void TThreadCreate::BroadcastChange() {
  win::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, 0x17, 0, SMTO_NORMAL, 500, nullptr);
}

void TThreadCreate::Execute() {
  if (Run()) Err = false;
  disk_.reset();
}

bool TThreadCreate::Run() {
  // "RM1 - Generic Flash Disk USB - 14.32 GB" -> "1".
  std::string number = Disk.size() > 2 ? Disk.substr(2) : std::string();
  number = number.substr(0, number.find(" - "));
  Disk = number;
  diskNumber_ = static_cast<DWORD>(ParseDecimal(Disk));
  Progress(1);

  WriteLine(LookupText("Disk") + ": " + Disk);
  WriteLine(LookupText("FAT32Size") + ": " + std::to_string(FAT32Size) + "MB");
  WriteLine(LookupText("exFATSize") + ": " + std::to_string(NTFSSize) + "MB");
  WriteLine(LookupText("Style") + (MBRStyle ? ": MBR" : ": GPT"));
  Progress(2);

  DISK_GEOMETRY geometry{};
  if (!QueryDiskGeometry(PhysicalDrivePath(diskNumber_), geometry)) return false;
  const LONGLONG diskSize = GeometryDiskSize(geometry);
  Progress(5);
  WriteEmptyLine();
  WriteLine(LookupText("DiskSize") + ": " + FormatByteSize(diskSize));

  // The backup GPT sits at the true end, past the whole cylinders that the sizes are checked by.
  LONGLONG deviceLength = 0;
  if (!QueryDiskLength(PhysicalDrivePath(diskNumber_), deviceLength)) return false;
  plan_ = PlanDiskLayout(NTFSSize, FAT32Size, MBRStyle, diskSize, deviceLength,
                         geometry.BytesPerSector);
  if (!plan_.Accepted) {
    WriteLine(LookupText("TotalSizeMsg"));
    return false;
  }
  Progress(7);
  WriteEmptyLine();
  WriteLine(LookupText("UnmountingDrives"));

  disk_.reset(win::CreateFileW(PhysicalDrivePath(diskNumber_), GENERIC_READ | GENERIC_WRITE,
                               kFullSharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                               nullptr));
  if (!disk_) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  Progress(10);
  if (!TakeLettersOffline()) return false;
  Progress(20);

  // The start of the disk goes first, so that no old table survives the new one.
  std::vector<BYTE> zeros(plan_.ClearBeforeStage1.Length, 0);
  if (win::SetFilePointer(disk_.get(), 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER &&
      win::GetLastError() != ERROR_SUCCESS) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  DWORD written = 0;
  if (!win::WriteFile(disk_.get(), zeros.data(), static_cast<DWORD>(zeros.size()), &written,
                      nullptr)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  Progress(25);

  // Stage 1: the NTFS partition alone.
  FillStageLayout(plan_, 1, layout_);
  if (!ApplyLayout(false)) return false;
  BroadcastChange();
  Progress(25);
  if (!FindAndFormatWaiting(plan_.Ntfs.StartingOffset.QuadPart, "NTFS", " /FS:NTFS /Q /Y", 35, 40)) {
    return false;
  }

  // Stage 2: the FAT32 partition alone; the NTFS partition's bytes stay as they are.
  FillStageLayout(plan_, 2, layout_);
  if (!ApplyLayout(false)) return false;
  BroadcastChange();
  Progress(45);
  if (!FindAndFormatWaiting(plan_.Fat32.StartingOffset.QuadPart, "FAT32", " /FS:FAT32 /Q /Y", 55,
                            65)) {
    return false;
  }

  // Stage 3: the final table, after clearing the first MiB (MBR) or the BIOS boot partition.
  zeros.assign(plan_.ClearBeforeStage3.Length, 0);
  if (!MBRStyle) WriteText(LookupText("CreateBIOSPart"));
  FillStageLayout(plan_, 3, layout_);
  LARGE_INTEGER start;
  start.QuadPart = plan_.ClearBeforeStage3.Offset;
  if (!win::SetFilePointerEx(disk_.get(), start, nullptr, FILE_BEGIN)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  if (!win::WriteFile(disk_.get(), zeros.data(), static_cast<DWORD>(zeros.size()), &written,
                      nullptr)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  if (!ApplyLayout(true)) return false;
  BroadcastChange();
  if (!MBRStyle) WriteLine(LookupText("Done"));
  Progress(80);

  if (!MountScan()) return false;
  disk_.reset();
  Progress(100);
  return true;
}

bool TThreadCreate::ApplyLayout(bool finalStage) {
  DWORD returned = 0;
  if (!win::DeviceIoControl(disk_.get(), IOCTL_DISK_SET_DRIVE_LAYOUT_EX, layout_.data(),
                            static_cast<DWORD>(layout_.size()), nullptr, 0, &returned, nullptr) ||
      !win::DeviceIoControl(disk_.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                            &returned, nullptr)) {
    const DWORD error = win::GetLastError();
    if (finalStage && !MBRStyle) WriteLine(LookupText("Fail"));  // completes CreateBIOSPart
    WriteStatusLine(error);
    return false;
  }
  return true;
}

bool TThreadCreate::TakeLettersOffline() {
  std::vector<std::string> roots;
  win::GetLogicalDriveStringsW(roots);
  for (const std::string& root : roots) {
    if (!IsOfflineCandidate(win::GetDriveTypeW(root))) continue;
    const std::string drive = root.substr(0, 2);  // "E:"
    // A letter whose disk cannot be told is not the target's: it is left alone.
    VolumeExtent extent;
    if (!QueryVolumeExtent(VolumePath(drive), extent)) continue;
    if (extent.DiskNumber != diskNumber_) continue;

    win::Handle volume = OpenVolumeToTakeOffline(drive, 0);
    if (!volume || !DismountVolume(volume.get())) return false;
    volume.reset();
    win::DeleteVolumeMountPointW(root);
  }
  return true;
}

TThreadCreate::Found TThreadCreate::FindAndFormat(LONGLONG offset, const char* fileSystem,
                                                  const char* options, int first, int second) {
  std::string name;
  win::VolumeFind find(win::FindFirstVolumeW(name, kVolumeNameLength));
  if (!find) return Found::Missing;
  do {
    const std::string guidName = VolumeGuidName(name);
    VolumeExtent extent;
    if (!QueryVolumeExtent(VolumePath(guidName), extent) || extent.DiskNumber != diskNumber_ ||
        extent.StartingOffset != offset) {
      continue;
    }
    WriteText(FormatText(LookupText("FormatPart"), {fileSystem}));
    DWORD exitCode = 0;
    const bool started =
        RunCommand("format.com \\\\?\\" + guidName + options, true, SW_HIDE, exitCode, true);
    if (started && exitCode == 0) {
      WriteLine(LookupText("Done"));
      Progress(first);
      Progress(second);
      return Found::Formatted;
    }
    WriteLine(LookupText("Fail"));
    WriteStatusLine(exitCode);
    return Found::Failed;
  } while (win::FindNextVolumeW(find.get(), name, kVolumeNameLength));
  return Found::Missing;
}

// The partition manager may take a moment to mount a new partition; a job that went on without
// it would report a disk as made with a partition left unformatted.
bool TThreadCreate::FindAndFormatWaiting(LONGLONG offset, const char* fileSystem,
                                         const char* options, int first, int second) {
  const auto deadline = std::chrono::steady_clock::now() + VolumeArrivalLimit;
  for (;;) {
    switch (FindAndFormat(offset, fileSystem, options, first, second)) {
      case Found::Formatted: return true;
      case Found::Failed: return false;
      case Found::Missing: break;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      WriteStatusLine(ERROR_TIMEOUT);
      return false;
    }
    std::this_thread::sleep_for(kArrivalPoll);
  }
}

bool TThreadCreate::VolumeAtOffsetPresent(LONGLONG offset) {
  std::string name;
  return FindVolumeAt(diskNumber_, offset, name);
}

bool TThreadCreate::MountScan() {
  // The NTFS partition comes back with the final table; give it the same time to arrive. A disk
  // whose NTFS volume never comes has no letter to use: the job has failed.
  const LONGLONG ntfsOffset = plan_.Ntfs.StartingOffset.QuadPart;
  const auto deadline = std::chrono::steady_clock::now() + VolumeArrivalLimit;
  while (!VolumeAtOffsetPresent(ntfsOffset)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      WriteStatusLine(ERROR_TIMEOUT);
      return false;
    }
    std::this_thread::sleep_for(kArrivalPoll);
  }

  std::string name;
  win::VolumeFind find(win::FindFirstVolumeW(name, kVolumeNameLength));
  if (!find) return true;
  do {
    const std::string guidName = VolumeGuidName(name);
    VolumeExtent extent;
    if (!QueryVolumeExtent(VolumePath(guidName), extent) || extent.DiskNumber != diskNumber_) {
      continue;
    }
    const std::string target = "\\\\?\\" + guidName + "\\";
    if (extent.StartingOffset == ntfsOffset) {
      WriteText(LookupText("MountingexFAT"));
      for (char letter = 'D'; letter <= 'Z'; ++letter) {
        const std::string root = std::string(1, letter) + ":\\";
        if (win::GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR) win::SetVolumeMountPointW(root, target);
      }
      WriteLine(LookupText("Done"));
      Progress(90);
    } else if (!MBRStyle && extent.StartingOffset == plan_.BiosBoot.StartingOffset.QuadPart) {
      std::vector<std::string> paths;
      if (!win::GetVolumePathNamesForVolumeNameW(target, paths, MAX_PATH)) {
        WriteStatusLine(win::GetLastError());
        return false;
      }
      win::DeleteVolumeMountPointW(paths.empty() ? std::string() : paths.front());
    }
  } while (win::FindNextVolumeW(find.get(), name, kVolumeNameLength));
  return true;
}
