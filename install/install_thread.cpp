#include "install/install_thread.h"

#include "app/console_log.h"
#include "disk/disk_queries.h"
#include "install/efi_stage.h"
#include "install/extract_payload.h"
#include "install/finish_stage.h"
#include "install/target_checks.h"
#include "platform/seam.h"
#include "sys/folder_operations.h"
#include "ui/job_host.h"
#include "ui/language.h"

TInstallThread::TInstallThread(std::string _Drive, std::string _FAT32Drive, bool _Bootsector,
                               bool _AutoRun)
    : WorkerThread(WindowThread::Main()),
      Drive(std::move(_Drive)),
      FAT32Drive(std::move(_FAT32Drive)),
      Bootsector(_Bootsector),
      AutoRun(_AutoRun) {}

TInstallThread::~TInstallThread() {
  // A run that raised skipped the releases at the end of Execute. The held installer must be
  // closed before its folder can be deleted, and every handle before the window hears the job end.
  run_.disk.reset();
  run_.installer.reset();
  archive_ = nullptr;
  if (!tempdir.empty()) {
    // Windows does not remove a folder that is a process's current directory: leave it first.
    win::SetCurrentDirectoryW(startDirectory_);
    DeleteFolder(tempdir);
  }
  TInstallThread* self = this;
  ActiveInstallThread.compare_exchange_strong(self, nullptr);
  Synchronize([] { TheJobHost().RebuildDriveListsAfterJob(); });
}

void TInstallThread::Progress(int position) {
  Synchronize([position] { TheJobHost().SetProgressPosition(position); });
}

void TInstallThread::Execute() {
  const bool done = Run();
  run_.disk.reset();
  run_.installer.reset();
  if (done) Err = false;
}

bool TInstallThread::Run() {
  // 1. The FAT32 entry: "F: ..." names a drive, "Partition #2 ..." a partition without one.
  run_.partitionMode = !(FAT32Drive.size() >= 2 && FAT32Drive[1] == ':');
  if (!run_.partitionMode) {
    FAT32Drive = FAT32Drive.substr(0, 1);
  } else {
    const std::string marker = LookupText("Partition") + " #";
    std::string rest = FAT32Drive;
    for (std::size_t at; !marker.empty() && (at = rest.find(marker)) != std::string::npos;) {
      rest.erase(at, marker.size());
    }
    const std::size_t space = rest.find(' ');
    FAT32Drive = space == std::string::npos ? std::string() : rest.substr(0, space);
    if (FAT32Drive == "0") return false;
  }
  Progress(2);

  const std::string fat32Text = run_.partitionMode ? LookupText("Partition") + " #" + FAT32Drive
                                                   : FAT32Drive + ":";
  WriteLine(FormatText(LookupText("InstallTo"), {Drive + ":", fat32Text}));

  // 4. The target disk.
  run_.Drive = Drive;
  run_.FAT32Drive = FAT32Drive;
  run_.Bootsector = Bootsector;
  run_.progress = [this](int position) { Progress(position); };
  if (!RunTargetChecks(run_)) return false;

  // 5. What GRUB searches for to find the NTFS/exFAT volume.
  if (!ReadVolumeUuid(Drive + ":", volumeUuid_)) return false;
  Progress(10);

  // 7. The payload, into the temporary folder that becomes the current directory until the
  // teardown goes back.
  win::GetCurrentDirectoryW(startDirectory_);
  if (!ExtractPayload(tempdir, run_.progress, archive_, run_.installer)) return false;

  // 8. The UEFI loaders and the boot manager's stores onto the FAT32 partition.
  if (!RunEfiStage(run_, volumeUuid_)) return false;

  // 9. The payload folder, GRUB for BIOS and the rest onto the NTFS/exFAT volume.
  return RunFinishingStage(run_, AutoRun);
}
