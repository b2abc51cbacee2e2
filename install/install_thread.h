// The worker behind the Install button: checks and prepares the target disk, extracts the
// payload, and installs the boot environment onto an NTFS/exFAT drive and a FAT32 partition of
// the same disk.
#pragma once

#include <string>

#include "install/install_run.h"
#include "payload/seven_zip.h"
#include "ui/worker_thread.h"

class TInstallThread : public WorkerThread {
 public:
  // Created suspended with Err set; the window sets the completion handler and starts it.
  TInstallThread(std::string _Drive, std::string _FAT32Drive, bool _Bootsector, bool _AutoRun);

  std::string Drive;       // the NTFS/exFAT drive letter, without colon
  std::string FAT32Drive;  // the FAT32 entry; the letter or partition number once the run began
  std::string tempdir;     // the extraction folder, empty until the payload step sets it
  bool Bootsector;
  bool AutoRun;

 protected:
  ~TInstallThread() override;
  void Execute() override;

 private:
  bool Run();
  void Progress(int position);

  InstallRun run_;
  std::string volumeUuid_;
  std::string startDirectory_;  // the current directory before the payload step changed it
  sevenzip::ComPtr<sevenzip::I7zInArchive> archive_;  // keeps the library loaded for the run
};
