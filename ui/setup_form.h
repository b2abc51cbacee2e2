// The setup window: two tabs (install onto a pair of drives, create a fresh disk layout), the
// language switch, and a progress bar once a job has started. It lets one job run at a time,
// reports each job's end, and keeps its drive and disk lists current as devices come and go.
//
// Every method runs on the window thread. The disk list (RefreshDiskLists and the Create tab's
// handlers) is in disk/disk_list.cpp, the drive lists (RefreshDriveLists, NTFSDriveListsChange)
// in disk/drive_list.cpp.
#pragma once

#include <functional>
#include <string>

#include "ui/job_host.h"
#include "ui/language.h"
#include "ui/toolkit.h"

class WindowThread;
class WorkerThread;

class TSetupForm1 : public ui::Form, public LanguageView, public JobHost {
 public:
  // Builds the component tree and runs FormCreate. `windowThread` is the calling thread.
  TSetupForm1(ui::Toolkit& toolkit, WindowThread& windowThread);
  ~TSetupForm1() override;

  // The controls, in declaration order.
  ui::PageControl* MainPageControl = nullptr;
  ui::TabPage* TabSheetInstall = nullptr;
  ui::TabPage* TabSheetCreate = nullptr;
  ui::Control* DriveList = nullptr;
  ui::Label* NTFSLabel = nullptr;
  ui::Label* FAT32Label = nullptr;
  ui::ComboBox* NTFSDriveLists = nullptr;
  ui::ComboBox* FAT32DriveLists = nullptr;
  ui::Control* Options = nullptr;
  ui::CheckControl* BootloaderOption = nullptr;
  ui::Control* SetupButton = nullptr;
  ui::Control* DiskList = nullptr;
  ui::ComboBox* DiskLists = nullptr;
  ui::Control* DiskStyle = nullptr;
  ui::CheckControl* MBRItem = nullptr;
  ui::CheckControl* GPTItem = nullptr;
  ui::Control* FAT32SizeOptions = nullptr;
  ui::EditBox* FAT32SizeBox = nullptr;
  ui::Control* NTFSSizeOptions = nullptr;
  ui::EditBox* NTFSSizeBox = nullptr;
  ui::Control* ButtonCreate = nullptr;
  ui::Image* LanguageImage = nullptr;
  ui::Label* LanguageLabel = nullptr;
  ui::CheckControl* AutoRunOption = nullptr;
  ui::CheckControl* ESPActiveOption = nullptr;

  std::string CurrentDriveIndex;  // the NTFS/exFAT entry to select again after a rebuild
  std::string CurrentDiskIndex;   // the disk-list entry to select again after a rebuild
  bool RefreshDrive = false;      // a drive-list rebuild started by the window runs
  bool RefreshDisk = false;       // a disk-list rebuild started by creation, a switch or a notice
  ui::ProgressBar* ProgressBar = nullptr;  // made at the first job start

  // Handlers.
  void FormCreate();
  void FormClose(ui::CloseAction& action);
  LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
  void SetupButtonClick();
  void CreateFinished(WorkerThread& worker);
  void InstallFinished(WorkerThread& worker);
  void ChangeLanguage();

  // The drive lists (disk/drive_list.cpp).
  void RefreshDriveLists();
  void NTFSDriveListsChange();

  // The disk list and the Create tab (disk/disk_list.cpp).
  void RefreshDiskLists();
  void DiskListsChange();
  void DiskListsCalculate();
  void FAT32SizeBoxChange();
  void ButtonCreateClick();

  // Whether a job runs: a worker reference is set.
  static bool JobRuns();

  // The first language load has ended and the lists have been filled: creation is complete.
  bool CreationComplete() const { return creationComplete_; }
  // Nothing is under way: no job from its start to its drive-list rebuild, no language load, no
  // notification waiting for a rebuild to end, no hand-off queued.
  bool Idle() const;

  // LanguageView
  void LoadLanguagePicture(const void* data, std::size_t size) override;
  void SetControlCaption(std::string_view control, const std::string& caption) override;
  void SetControlHint(std::string_view control, const std::string& hint) override;
  void LanguageLoaded() override;

  // JobHost
  void SetProgressPosition(int position) override;
  void RebuildDriveListsAfterJob() override;

 private:
  void BuildComponentTree();
  void LayOut();
  // Steps 3 to 5 of creation, and the rebuild after a language switch.
  void FillListsWithoutRememberedChoice();
  // Steps 3 to 5 of a job start, shared by both buttons.
  void PrepareJobStart(ui::Control& button);
  // Steps 4 and 5 of the Create button.
  void StartCreateJob(const std::string& disk, LONGLONG fat32Size, LONGLONG ntfsSize,
                      bool mbrStyle);
  // A device notification's rebuild, at once or, while a drive-list rebuild runs, once it ended.
  void ServeNotice(bool waitForDriveRebuild, std::function<void()> rebuild);

  WindowThread& windowThread_;
  bool creationComplete_ = false;
  int pendingListFills_ = 0;  // language loads whose end refills the lists
  int jobsInFlight_ = 0;      // started jobs whose drive-list rebuild has not run yet
  int waitingNotices_ = 0;    // notifications waiting for RefreshDrive to clear
};
