#include "ui/setup_form.h"

#include <chrono>

#include "app/console_log.h"
#include "disk/create_disk_thread.h"
#include "install/install_thread.h"
#include "platform/win32_device_types.h"
#include "ui/window_thread.h"

using ui::Bounds;
using ui::CheckControl;
using ui::ComboBox;
using ui::Control;
using ui::EditBox;
using ui::Font;
using ui::Kind;

namespace {

const Font kSegoe12{"Segoe UI", 12, false, ""};
const Font kSegoe13{"Segoe UI", 13, false, ""};
const Font kSegoe17{"Segoe UI", 17, false, ""};
const Font kSegoe20{"Segoe UI", 20, false, ""};
const Font kArial17{"Arial", 17, false, ""};
const Font kLinkFont{"Segoe UI", 17, true, "blue"};

// How often a device notification looks again whether the drive-list rebuild has ended.
constexpr std::chrono::milliseconds kNoticeRetry{100};

}  // namespace

TSetupForm1::TSetupForm1(ui::Toolkit& toolkit, WindowThread& windowThread)
    : ui::Form(toolkit, "SetupForm1"), windowThread_(windowThread) {
  BuildComponentTree();
  SetJobHost(this);
  OnClose = [this](ui::CloseAction& action) { FormClose(action); };
  FormCreate();
}

TSetupForm1::~TSetupForm1() { SetJobHost(nullptr); }

// The component tree with its design values (96 pixels per inch).
void TSetupForm1::BuildComponentTree() {
  SetCaption("Velund Orrin Setup");
  SetFont(kSegoe12);
  SetClientWidth(455);
  SetClientHeight(365);

  auto group = [this](Control* parent, const char* name, Bounds bounds, const char* caption,
                      int tabOrder) {
    Control& box = Make<Control>(parent, Kind::GroupBox, name);
    box.SetBounds(bounds);
    box.SetCaption(caption);
    box.SetFont(kSegoe17);
    box.SetTabOrder(tabOrder);
    return &box;
  };
  auto label = [this](Control* parent, const char* name, Bounds bounds, const char* caption) {
    ui::Label& text = Make<ui::Label>(parent, name);
    text.SetBounds(bounds);
    text.SetCaption(caption);
    text.SetFont(kSegoe13);
    return &text;
  };
  auto combo = [this](Control* parent, const char* name, Bounds bounds, bool tabStop,
                      int tabOrder) {
    ComboBox& list = Make<ComboBox>(parent, Kind::ComboBox, name);
    list.SetBounds(bounds);
    list.SetTabStop(tabStop);
    list.SetTabOrder(tabOrder);
    return &list;
  };
  auto option = [this](Control* parent, const char* name, Bounds bounds, const char* caption,
                       bool checked, int tabOrder) {
    CheckControl& box = Make<CheckControl>(parent, Kind::CheckBox, name);
    box.SetBounds(bounds);
    box.SetCaption(caption);
    box.SetChecked(checked);
    box.SetShowHint(true);
    box.SetFont(kSegoe17);
    box.SetTabOrder(tabOrder);
    return &box;
  };
  auto button = [this](Control* parent, const char* name, Bounds bounds, const char* caption,
                       bool tabStop, int tabOrder) {
    Control& push = Make<Control>(parent, Kind::PushButton, name);
    push.SetBounds(bounds);
    push.SetCaption(caption);
    push.SetFont(kSegoe20);
    push.SetTabStop(tabStop);
    push.SetTabOrder(tabOrder);
    return &push;
  };
  auto sizeBox = [this](Control* parent, const char* name) {
    EditBox& edit = Make<EditBox>(parent, Kind::EditBox, name);
    edit.SetBounds({8, 25, 174, 31});
    edit.SetRightAligned(true);
    edit.SetDigitsOnly(true);
    return &edit;
  };

  LanguageImage = &Make<ui::Image>(this, Kind::Image, "LanguageImage");
  LanguageImage->SetBounds({360, 8, 32, 24});
  LanguageImage->SetHandCursor(true);
  LanguageImage->SetStretch(true);
  LanguageImage->OnClick = [this] { ChangeLanguage(); };

  LanguageLabel = &Make<ui::Label>(this, "LanguageLabel");
  LanguageLabel->SetBounds({235, 8, 75, 23});
  LanguageLabel->SetRightToLeft(true);
  LanguageLabel->SetCentredVertically(true);
  LanguageLabel->SetCaption("Language");
  LanguageLabel->SetHandCursor(true);
  LanguageLabel->SetFont(kLinkFont);
  LanguageLabel->OnClick = [this] { ChangeLanguage(); };

  MainPageControl = &Make<ui::PageControl>(this, "MainPageControl");
  MainPageControl->SetBounds({8, 8, 434, 0});
  MainPageControl->SetFont(kArial17);
  MainPageControl->SetTabOrder(0);

  TabSheetInstall = &Make<ui::TabPage>(MainPageControl, "TabSheetInstall");
  TabSheetInstall->SetCaption("Install");
  TabSheetInstall->SetFont(kArial17);
  DriveList = group(TabSheetInstall, "DriveList", {8, 4, 410, 169}, "Select the drives", 0);
  NTFSLabel = label(DriveList, "NTFSLabel", {8, 27, 104, 17}, "NTFS/exFAT Drive:");
  FAT32Label = label(DriveList, "FAT32Label", {8, 93, 70, 17}, "FAT32 Drive:");
  NTFSDriveLists = combo(DriveList, "NTFSDriveLists", {8, 56, 393, 31}, true, 0);
  NTFSDriveLists->OnChange = [this] { NTFSDriveListsChange(); };
  FAT32DriveLists = combo(DriveList, "FAT32DriveLists", {8, 122, 393, 31}, true, 1);
  Options = group(TabSheetInstall, "Options", {8, 183, 410, 74}, "Options", 1);
  BootloaderOption = option(Options, "BootloaderOption", {8, 24, 393, 25},
                            "Don't overwrite the current bootloader", false, 0);
  AutoRunOption = option(Options, "AutoRunOption", {8, 32, 393, 25},
                         "Run Velund_Orrin.exe after the installation is done", true, 1);
  ESPActiveOption = option(Options, "ESPActiveOption", {16, 40, 393, 25},
                           "Mark FAT32 as EFI/Active Partition", true, 2);
  ESPActiveOption->SetEnabled(false);  // for show only
  SetupButton = button(TabSheetInstall, "SetupButton", {8, 263, 410, 49}, "Install", true, 2);
  SetupButton->OnClick = [this] { SetupButtonClick(); };

  TabSheetCreate = &Make<ui::TabPage>(MainPageControl, "TabSheetCreate");
  TabSheetCreate->SetCaption("Create disk");
  DiskList = group(TabSheetCreate, "DiskList", {8, 8, 409, 73}, "Choose a disk", 0);
  DiskLists = combo(DiskList, "DiskLists", {8, 27, 398, 31}, false, 0);
  DiskLists->OnChange = [this] { DiskListsChange(); };
  DiskStyle = group(TabSheetCreate, "DiskStyle", {8, 87, 409, 89}, "Style", 1);
  MBRItem = &Make<CheckControl>(DiskStyle, Kind::RadioButton, "MBRItem");
  MBRItem->SetBounds({8, 32, 393, 17});
  MBRItem->SetCaption("MBR (Master Boot Record)");
  MBRItem->SetTabStop(true);
  GPTItem = &Make<CheckControl>(DiskStyle, Kind::RadioButton, "GPTItem");
  GPTItem->SetBounds({8, 55, 393, 17});
  GPTItem->SetCaption("GPT (GUID Partition Table)");
  MBRItem->SetChecked(true);
  FAT32SizeOptions = group(TabSheetCreate, "FAT32SizeOptions", {8, 182, 193, 67},
                           "FAT32 Size (MB)", 2);
  FAT32SizeBox = sizeBox(FAT32SizeOptions, "FAT32SizeBox");
  FAT32SizeBox->SetMaxLength(6);
  FAT32SizeBox->SetText("100");
  FAT32SizeBox->OnChange = [this] { FAT32SizeBoxChange(); };  // after the design text
  NTFSSizeOptions = group(TabSheetCreate, "NTFSSizeOptions", {216, 182, 193, 67},
                          "exFAT Size (MB)", 3);
  NTFSSizeBox = sizeBox(NTFSSizeOptions, "NTFSSizeBox");
  NTFSSizeBox->SetText("100");
  NTFSSizeBox->SetReadOnly(true);
  NTFSSizeBox->SetEnabled(false);
  ButtonCreate = button(TabSheetCreate, "ButtonCreate", {8, 264, 401, 49}, "Create", false, 4);
  ButtonCreate->OnClick = [this] { ButtonCreateClick(); };

  const Bounds pages = GetToolkit().TabPageBounds(*MainPageControl);
  TabSheetInstall->SetBounds(pages);
  TabSheetCreate->SetBounds(pages);
  MainPageControl->SetActivePage(TabSheetInstall);
}

// The creation layout, rule by rule.
void TSetupForm1::LayOut() {
  const ui::Toolkit& kit = GetToolkit();
  auto header = [&kit](const Control* group) { return kit.CaptionFontPoints(*group); };
  auto fieldHeight = [&kit](const Control* list) { return kit.ComboBoxClientHeight(*list); };

  NTFSLabel->SetLeft(8);                                                         // 1
  NTFSLabel->SetTop(header(DriveList) + 16);
  NTFSDriveLists->SetLeft(NTFSLabel->Left());                                    // 2
  NTFSDriveLists->SetTop(NTFSLabel->Bottom() + 4);
  NTFSDriveLists->SetWidth(DriveList->Width() - 16);
  FAT32DriveLists->SetWidth(NTFSDriveLists->Width());
  FAT32Label->SetLeft(NTFSLabel->Left());                                        // 3
  FAT32Label->SetTop(NTFSDriveLists->Top() + fieldHeight(NTFSDriveLists) + 8);
  FAT32DriveLists->SetLeft(NTFSLabel->Left());                                   // 4
  FAT32DriveLists->SetTop(FAT32Label->Bottom() + 4);
  NTFSLabel->SetWidth(NTFSDriveLists->Width());                                  // 5
  FAT32Label->SetWidth(NTFSDriveLists->Width());
  DriveList->SetHeight(FAT32DriveLists->Top() + fieldHeight(FAT32DriveLists) + 8);  // 6
  Options->SetTop(DriveList->Bottom() + 8);                                      // 7
  Options->SetWidth(DriveList->Width());
  ESPActiveOption->SetTop(header(Options) + 16);                                 // 8
  ESPActiveOption->SetWidth(NTFSDriveLists->Width());
  ESPActiveOption->SetLeft(NTFSLabel->Left());
  BootloaderOption->SetTop(ESPActiveOption->Bottom() + 4);                       // 9
  BootloaderOption->SetWidth(NTFSDriveLists->Width());
  BootloaderOption->SetLeft(NTFSLabel->Left());
  AutoRunOption->SetTop(BootloaderOption->Bottom() + 4);                         // 10
  AutoRunOption->SetLeft(BootloaderOption->Left());
  Options->SetHeight(AutoRunOption->Bottom() + 8);                               // 11
  SetupButton->SetTop(Options->Bottom() + 8);
  DiskList->SetTop(DriveList->Top());                                            // 12
  DiskLists->SetTop(header(DiskList) + 16);
  DiskLists->SetLeft(8);
  DiskLists->SetWidth(DiskList->Width() - 16);
  DiskList->SetHeight(DiskLists->Top() + fieldHeight(DiskLists) + 8);
  TabSheetInstall->SetWidth(2 * DiskList->Left() + DiskList->Width());           // 13
  TabSheetCreate->SetWidth(TabSheetInstall->Width());
  MainPageControl->SetWidth(TabSheetInstall->Width() + 2 * TabSheetInstall->Left());
  DiskStyle->SetTop(DiskList->Bottom() + 8);                                     // 14
  MBRItem->SetTop(header(DiskStyle) + 16);
  GPTItem->SetTop(MBRItem->Bottom() + 4);
  DiskStyle->SetHeight(GPTItem->Bottom() + 8);
  FAT32SizeOptions->SetTop(DiskStyle->Bottom() + 8);                             // 15
  NTFSSizeOptions->SetTop(FAT32SizeOptions->Top());
  FAT32SizeBox->SetLeft(8);                                                      // 16
  FAT32SizeBox->SetTop(header(FAT32SizeOptions) + 16);
  NTFSSizeBox->SetLeft(8);
  NTFSSizeBox->SetTop(FAT32SizeBox->Top());
  FAT32SizeOptions->SetHeight(FAT32SizeBox->Bottom() + 8);                       // 17
  NTFSSizeOptions->SetHeight(FAT32SizeOptions->Height());
  FAT32SizeOptions->SetWidth(MainPageControl->Width() / 2 - 20);                 // 18
  FAT32SizeBox->SetWidth(FAT32SizeOptions->Width() - 16);
  NTFSSizeOptions->SetWidth(FAT32SizeOptions->Width());
  NTFSSizeBox->SetWidth(FAT32SizeBox->Width());
  NTFSSizeOptions->SetLeft(MainPageControl->Width() - NTFSSizeOptions->Width() - 20);  // 19
  ButtonCreate->SetWidth(SetupButton->Width());                                  // 20
  ButtonCreate->SetTop(FAT32SizeOptions->Bottom() + 8);
  LanguageLabel->SetTop(MainPageControl->Top());                                 // 21
  LanguageImage->SetTop(MainPageControl->Top());
  // 22: the page control's right margin is 3 pixels.
  LanguageImage->SetLeft(ClientWidth() - 2 * MainPageControl->Left() - LanguageImage->Width() + 3);
  LanguageLabel->SetLeft(LanguageImage->Left() - LanguageLabel->Width() - 4);    // 23
  const int pageHeight = SetupButton->Top() < ButtonCreate->Top()                // 24
                             ? ButtonCreate->Bottom() + 8
                             : SetupButton->Bottom() + 8;
  TabSheetInstall->SetHeight(pageHeight);
  TabSheetCreate->SetHeight(pageHeight);
  MainPageControl->SetHeight(TabSheetInstall->Top() + TabSheetInstall->Height() + 8);
}

void TSetupForm1::FormCreate() {
  TLanguageThread::Start(*this, windowThread_);  // 1
  LayOut();                                      // 2
  // 3 to 5 read the table, so they run when this load has ended (LanguageLoaded): a partition
  // entry must begin with the word of the language in effect.
  ++pendingListFills_;
}

void TSetupForm1::FillListsWithoutRememberedChoice() {
  CurrentDriveIndex.clear();
  CurrentDiskIndex.clear();
  RefreshDrive = true;
  RefreshDriveLists();
  RefreshDrive = false;
  RefreshDisk = true;
  RefreshDiskLists();
  RefreshDisk = false;
}

void TSetupForm1::ChangeLanguage() {
  // Unstored, the old choice would bring back the language being left: start from the one shown.
  const bool stored = StoreLanguageChoice();
  TLanguageThread::Start(*this, windowThread_,
                         stored ? TLanguageThread::From::StoredChoice
                                : TLanguageThread::From::CodeInEffect);
  ++pendingListFills_;  // the rebuild follows when the load has refilled the table
}

bool TSetupForm1::JobRuns() {
  return ActiveInstallThread.load() != nullptr || ActiveCreateThread.load() != nullptr;
}

bool TSetupForm1::Idle() const {
  return creationComplete_ && jobsInFlight_ == 0 && waitingNotices_ == 0 && !JobRuns() &&
         TLanguageThread::Running() == 0 && pendingListFills_ == 0 && !windowThread_.HasPending();
}

void TSetupForm1::PrepareJobStart(Control& button) {
  button.SetEnabled(false);
  if (ProgressBar == nullptr) {
    ProgressBar = &Make<ui::ProgressBar>(this, Kind::ProgressBar, "ProgressBar");
    ProgressBar->SetBounds({0, MainPageControl->Bottom() + 8, ClientWidth(), 10});
    ProgressBar->SetRange(0, 100);
    ProgressBar->SetPosition(0);
    SetClientHeight(ProgressBar->Bottom());
  }
  ProgressBar->SetState(ui::ProgressState::Normal);
}

void TSetupForm1::SetupButtonClick() {
  if (JobRuns()) {
    WriteLine(LookupText("WaitTasksMsg"));
    return;
  }
  if (NTFSDriveLists->ItemIndex() < 0 || FAT32DriveLists->ItemIndex() < 0) {
    WriteLine(LookupText("ChooseDriveMsg"));
    return;
  }
  PrepareJobStart(*SetupButton);
  const std::string fat32Drive = FAT32DriveLists->Text();
  const bool bootsector = BootloaderOption->Checked();
  const bool autoRun = AutoRunOption->Checked();
  const std::string drive = NTFSDriveLists->Text().substr(0, 1);

  auto* worker = new TInstallThread(drive, fat32Drive, bootsector, autoRun);
  ActiveInstallThread = worker;
  worker->SetOnTerminate([this](WorkerThread& finished) { InstallFinished(finished); });
  ++jobsInFlight_;
  worker->Start();
}

void TSetupForm1::StartCreateJob(const std::string& disk, LONGLONG fat32Size, LONGLONG ntfsSize,
                                 bool mbrStyle) {
  PrepareJobStart(*ButtonCreate);
  auto* worker = new TThreadCreate(disk, fat32Size, ntfsSize, mbrStyle);
  ActiveCreateThread = worker;
  worker->SetOnTerminate([this](WorkerThread& finished) { CreateFinished(finished); });
  ++jobsInFlight_;
  worker->Start();
}

namespace {

// The end of a job on the console and in a box; true when it failed.
bool ReportJobEnd(TSetupForm1& form, const WorkerThread& worker, const char* doneKey) {
  const bool failed = worker.Err;
  WriteEmptyLine();
  if (failed) {
    if (form.ProgressBar != nullptr) form.ProgressBar->SetState(ui::ProgressState::Paused);
    const std::string error = LookupText("Error");
    WriteLine(error);
    form.ShowMessageBox(error, error, ui::kBoxIconError | ui::kBoxOk);
  } else {
    const std::string done = LookupText(doneKey);
    WriteLine(done);
    form.ShowMessageBox(done, done, ui::kBoxIconInformation | ui::kBoxOk);
  }
  return failed;
}

}  // namespace

void TSetupForm1::CreateFinished(WorkerThread& worker) {
  ReportJobEnd(*this, worker, "CreateDone");
  ButtonCreate->SetEnabled(true);
}

void TSetupForm1::InstallFinished(WorkerThread& worker) {
  ReportJobEnd(*this, worker, "InstallDone");
  SetupButton->SetEnabled(true);
}

void TSetupForm1::SetProgressPosition(int position) {
  if (ProgressBar != nullptr) ProgressBar->SetPosition(position);
}

void TSetupForm1::RebuildDriveListsAfterJob() {
  CurrentDriveIndex.clear();
  RefreshDrive = true;
  RefreshDriveLists();
  RefreshDrive = false;
  if (jobsInFlight_ > 0) --jobsInFlight_;
}

void TSetupForm1::FormClose(ui::CloseAction& action) {
  if (!JobRuns()) return;  // closes and is released
  ShowMessageBox(LookupText("CloseMsg"), LookupText("Warning"), ui::kBoxIconWarning | ui::kBoxOk);
  action = ui::CloseAction::None;
}

void TSetupForm1::ServeNotice(bool waitForDriveRebuild, std::function<void()> rebuild) {
  if (!waitForDriveRebuild || !RefreshDrive) {
    rebuild();
    return;
  }
  // The rebuild that holds the flag runs further down this thread's stack; waiting here would
  // never end, so the notification is served from a timer once the flag is clear.
  ++waitingNotices_;
  auto timer = std::make_shared<ui::Toolkit::TimerId>(0);
  *timer = GetToolkit().SetTimer(kNoticeRetry, [this, timer, rebuild] {
    if (RefreshDrive) return;
    GetToolkit().KillTimer(*timer);
    --waitingNotices_;
    rebuild();
  });
}

LRESULT TSetupForm1::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = ui::Form::WndProc(message, wParam, lParam);
  if (message != WM_DEVICECHANGE) return result;
  if (wParam == DBT_DEVICEARRIVAL || wParam == DBT_DEVICEREMOVECOMPLETE) {
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    const bool volume = header != nullptr && header->dbch_devicetype == DBT_DEVTYP_VOLUME;
    ServeNotice(volume, [this] {
      RefreshDrive = true;
      RefreshDriveLists();
      RefreshDrive = false;
    });
  } else if (wParam == DBT_DEVNODES_CHANGED) {
    ServeNotice(true, [this] {
      RefreshDisk = true;
      RefreshDiskLists();
      RefreshDisk = false;
    });
  }
  return result;
}

void TSetupForm1::LoadLanguagePicture(const void* data, std::size_t size) {
  LanguageImage->LoadPicture(data, size);
}

void TSetupForm1::SetControlCaption(std::string_view control, const std::string& caption) {
  if (Control* found = FindControl(control)) found->SetCaption(caption);
}

void TSetupForm1::SetControlHint(std::string_view control, const std::string& hint) {
  if (Control* found = FindControl(control)) found->SetHint(hint);
}

void TSetupForm1::LanguageLoaded() {
  if (pendingListFills_ > 0) {
    --pendingListFills_;
    FillListsWithoutRememberedChoice();
  }
  creationComplete_ = true;
}
