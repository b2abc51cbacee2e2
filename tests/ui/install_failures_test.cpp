// Every way an install started from the window can end early, one case each: the console from
// the click on, the completion line and box, and what the disk, its letters and the volumes keep.
// The stick: NTFS on E:, FAT32 on F: (letter mode) or without a letter (partition mode).
#include <gtest/gtest.h>

#include <fstream>
#include <functional>
#include <tuple>

#include "platform/emulated/faults.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/programs.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"
#include "tests/test_support.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

using Lines = std::vector<std::string>;

Lines Join(std::initializer_list<Lines> parts) {
  Lines all;
  for (const Lines& part : parts) all.insert(all.end(), part.begin(), part.end());
  return all;
}

const Lines kLetterOpening = {"Install to drive: E: & F:", "Disk: 1 (MBR)", "", ""};
const Lines kPartitionOpening = {"Install to drive: E: & Partition #2", "Disk: 1 (MBR)", "", ""};
const Lines kExtracted = {"Extracting files to temp directory...done", ""};
const Lines kEfiDone = {"Copying EFI folder to FAT32 drive...done"};
const Lines kKyrCopied = {"Copying KYR folder to NTFS/exFAT drive...done", "",
                          "Installing Grub2 (i386-pc):", ""};
const Lines kGrubDone = {"Executing, please wait...done", ""};
const Lines kAdditionsDone = {"Copying additional files...done", ""};

constexpr char kTempFolder[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";
constexpr char kDenied[] = "Status: Access is denied";
constexpr char kDeviceError[] =
    "Status: The request could not be performed because of an I/O device error";
constexpr char kNotFunctioning[] = "Status: A device attached to the system is not functioning";

class InstallFailures;

struct FailureRow {
  const char* name;
  bool partitionMode;
  std::function<void(InstallFailures&)> arrange;  // faults and other programs' doings
  Lines console;                                  // from the click to the completion lines
  std::function<void(InstallFailures&)> left;     // what the disk and the volumes keep
  bool succeeds = false;
  bool autoRun = false;
  bool vietnamese = false;  // switched to in the window before the click
  bool gpt = false;         // the same two partitions in a GPT, the FAT32 one on F:
};

void PrintTo(const FailureRow& row, std::ostream* out) { *out << row.name; }

class InstallFailures : public SetupFormTest, public testing::WithParamInterface<FailureRow> {
 public:
  using MachineTest::directory_;
  using MachineTest::HostPath;

  void SetUp() override {
    SetupFormTest::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NE(win::FindResourceW(nullptr, "KYR7z", RT_RCDATA), nullptr)
        << "no payload in this build";
    AddStick(1, 20);
    if (GetParam().gpt) {
      PrepareGptDisk();
    } else {
      PrepareDisk(1, {{"NTFS", 60, "DATA", 'E'},
                      {"FAT32", 64, "", GetParam().partitionMode ? '\0' : 'F'}});
    }
    table_ = Table();
    bootCode_ = BootCode();
    fat32Offset_ = 61LL * 1048576;
  }

  // NTFS on E: and FAT32 on F:, both basic data partitions, without a BIOS boot partition.
  void PrepareGptDisk() {
    ASSERT_EQ(RunShell("sgdisk -o -n 1:2048:+60M -t 1:0700 -n 2:124928:+64M -t 2:0700 " +
                       DiskImage(1)), 0);
    for (const auto& [offset, length, fileSystem] :
         {std::tuple{2048ULL * 512, 60ULL << 20, "NTFS"}, {124928ULL * 512, 64ULL << 20, "FAT32"}}) {
      emu::FormatRequest request;
      request.image = DiskImage(1);
      request.offset = offset;
      request.length = length;
      request.fileSystem = fileSystem;
      std::string error;
      ASSERT_TRUE(emu::FormatVolume(request, error)) << error;
    }
    EditMachine([](nlohmann::json& config) {
      for (auto& disk : config["disks"]) {
        if (disk["number"] != 1) continue;
        disk["letters"] = {{std::to_string(2048 * 512), "E"}, {std::to_string(124928 * 512), "F"}};
      }
      config["mount_policy"] = {{"auto_letters", false}};
    });
  }

  std::string Table() const { return ShellOutput("sfdisk -d " + DiskImage(1)); }
  // The table as it was with the FAT32 partition marked active, as the target checks leave it.
  std::string MarkedTable() const {
    std::string table = table_;
    const std::size_t fat32 = table.find("type=c\n");
    return fat32 == std::string::npos ? "" : table.insert(fat32 + 6, ", bootable");
  }

  // Whether the FAT32 partition is the only active one.
  bool Fat32Active() const {
    const std::string table = Table();
    const std::size_t fat32 = table.find("start=      124928");
    return fat32 != std::string::npos &&
           table.find("bootable", fat32) != std::string::npos &&
           table.find("bootable") == table.find("bootable", fat32);
  }

  // The boot code of the disk's first sector.
  std::string BootCode() const {
    std::ifstream image(DiskImage(1), std::ios::binary);
    std::string code(440, '\0');
    image.read(code.data(), 440);
    return code;
  }

  // Whether the store builders' work key is still in the user's registry.
  static bool WorkKeyLeft() {
    win::RegKey key;
    return win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD", 0, KEY_READ, key) ==
           ERROR_SUCCESS;
  }

  static bool HasLetter(char letter) {
    return win::GetDriveTypeW(std::string(1, letter) + ":\\") == DRIVE_REMOVABLE;
  }

  // A file of the FAT32 volume, found by its place on the disk whether it has a letter or not.
  std::filesystem::path Fat32File(const std::string& relative) const {
    auto locked = emu::Storage::Lock();
    for (const auto& volume : locked.storage.Volumes()) {
      if (volume->Disk() == 1 && volume->Offset() == fat32Offset_) {
        return locked.storage.VolumeFolder(*volume) / relative;
      }
    }
    return {};
  }

  bool OnNtfs(const std::string& relative) const {
    const auto path = HostPath('E', relative);
    return !path.empty() && std::filesystem::exists(path);
  }

  std::string table_;
  std::string bootCode_;
  LONGLONG fat32Offset_ = 0;
};

TEST_P(InstallFailures, ConsoleCompletionAndWhatIsLeft) {
  const FailureRow& row = GetParam();
  TSetupForm1& form = Open();
  win::SetConsoleOutputCP(CP_UTF8);  // as the entry does, in the process the machine started
  if (row.vietnamese) {
    form.LanguageImage->Click();
    ASSERT_TRUE(WaitIdle());
    ASSERT_EQ(form.TabSheetInstall->Caption(), "Cài đặt");
  }
  const std::string partition = row.vietnamese ? "Phân vùng #2" : "Partition #2";
  ASSERT_EQ(form.FAT32DriveLists->Text().substr(0, row.partitionMode ? partition.size() : 3),
            row.partitionMode ? partition : "F:\\");
  ASSERT_EQ(form.NTFSDriveLists->Text().substr(0, 3), "E:\\");
  form.AutoRunOption->SetChecked(row.autoRun);
  if (row.arrange) row.arrange(*this);
  ClearLog();
  form.SetupButton->Click();
  ASSERT_TRUE(WaitIdle());
  emu::ClearFaults();

  Lines expected = row.console;
  expected.push_back("");
  const std::string end = row.succeeds ? "Installation is done." : row.vietnamese ? "Lỗi!" : "Error!";
  expected.push_back(end);
  EXPECT_EQ(LogLines(Log()), expected);
  ASSERT_EQ(toolkit_.Boxes().size(), 1u);
  EXPECT_EQ(toolkit_.Boxes()[0].text, end);
  // The teardown removed the temporary folder, whatever the run reached.
  EXPECT_EQ(win::GetFileAttributesW(kTempFolder), INVALID_FILE_ATTRIBUTES);
  if (row.left) row.left(*this);
}

// The disk as it was, both letters where they were.
void Untouched(InstallFailures& t) {
  EXPECT_EQ(t.Table(), t.table_);
  EXPECT_TRUE(InstallFailures::HasLetter('E'));
  EXPECT_TRUE(InstallFailures::HasLetter('F'));
}

// The FAT32 partition was marked active before the run ended; the rest is as it was.
void MarkedOnly(InstallFailures& t) {
  EXPECT_TRUE(t.Fat32Active()) << t.Table();
  EXPECT_TRUE(InstallFailures::HasLetter('E'));
}

emu::Fault FaultOn(const char* call, const std::string& path, DWORD error,
                   std::optional<DWORD> code = std::nullopt) {
  emu::Fault fault;
  fault.call = call;
  fault.path = path;
  fault.controlCode = code;
  fault.error = error;
  return fault;
}

std::function<void(InstallFailures&)> Inject(emu::Fault fault) {
  return [fault](InstallFailures&) { emu::InjectFault(fault); };
}

// ---- target checks ----

// Another program changes the disk's first sector between the volume queries and the disk's
// opening, and has the table read again.
std::function<void(InstallFailures&)> ChangeSectorZeroBeforeTheDiskOpens(
    std::function<void(std::vector<char>&)> change) {
  return [change](InstallFailures&) {
    emu::InjectInterleave({"CreateFileW", "\\\\.\\PHYSICALDRIVE1", 0, [change] {
                             win::Handle disk(win::CreateFileW(
                                 "\\\\.\\PHYSICALDRIVE1", GENERIC_READ | GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
                             std::vector<char> sector(512, 0);
                             DWORD done = 0;
                             win::ReadFile(disk.get(), sector.data(), 512, &done, nullptr);
                             change(sector);
                             win::SetFilePointer(disk.get(), 0, nullptr, FILE_BEGIN);
                             win::WriteFile(disk.get(), sector.data(), 512, &done, nullptr);
                             win::DeviceIoControl(disk.get(), IOCTL_DISK_UPDATE_PROPERTIES,
                                                  nullptr, 0, nullptr, 0, &done, nullptr);
                           }});
  };
}

const FailureRow kTargetRows[] = {
    {"NtfsVolumeNotResolved", false,
     Inject(FaultOn("DeviceIoControl", "\\\\.\\E:", ERROR_IO_DEVICE,
                    IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)),
     {"Install to drive: E: & F:"}, Untouched},
    {"Fat32VolumeNotResolved", false,
     Inject(FaultOn("DeviceIoControl", "\\\\.\\F:", ERROR_IO_DEVICE,
                    IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)),
     {"Install to drive: E: & F:"}, Untouched},
    {"DiskCannotBeOpened", false,
     Inject(FaultOn("CreateFileW", "\\\\.\\PHYSICALDRIVE1", ERROR_ACCESS_DENIED)),
     {"Install to drive: E: & F:", std::string("Disk: 1") + kDenied}, Untouched},
    {"LayoutCannotBeRead", false,
     Inject(FaultOn("DeviceIoControl", "\\\\.\\PHYSICALDRIVE1", ERROR_IO_DEVICE,
                    IOCTL_DISK_GET_DRIVE_LAYOUT_EX)),
     {"Install to drive: E: & F:", std::string("Disk: 1") + kDeviceError}, Untouched},
    {"NoPartitionTable", false,
     ChangeSectorZeroBeforeTheDiskOpens([](std::vector<char>& sector) {
       std::fill(sector.begin(), sector.end(), 0);
     }),
     {"Install to drive: E: & F:", "Disk: 1 (Unknown format)", "", "Partition table not found."},
     [](InstallFailures& t) {
       EXPECT_NE(t.Table().find("does not contain a recognized partition table"), std::string::npos);
     }},
    {"MbrWithoutPartitions", false,
     ChangeSectorZeroBeforeTheDiskOpens([](std::vector<char>& sector) {
       std::fill(sector.begin() + 446, sector.begin() + 510, 0);
     }),
     {"Install to drive: E: & F:", "Disk: 1 (MBR)", "",
      "Grub2 i386-pc cannot be installed on this disk.",
      "Request at least 65 Kb unallocated before the first partition.",
      "Move or resize the partition first then try again."},
     [](InstallFailures& t) { EXPECT_EQ(t.Table().find("start="), std::string::npos); }},
    {"MbrSectorCannotBeRead", false,
     Inject(FaultOn("ReadFile", "\\\\.\\PHYSICALDRIVE1", ERROR_IO_DEVICE)),
     Join({kLetterOpening, {kDeviceError}}), Untouched},
    {"MbrGeometryCannotBeRead", false,
     Inject(FaultOn("DeviceIoControl", "\\\\.\\PHYSICALDRIVE1", ERROR_IO_DEVICE,
                    IOCTL_DISK_GET_DRIVE_GEOMETRY)),
     Join({kLetterOpening, {kDeviceError}}), Untouched},
    {"MbrSectorCannotBeWritten", false,
     Inject(FaultOn("WriteFile", "\\\\.\\PHYSICALDRIVE1", ERROR_IO_DEVICE)),
     Join({kLetterOpening, {kDeviceError}}), Untouched},
    // The marking stays: nothing is rolled back.
    {"VolumeIdentifierUnreadable", false,
     Inject(FaultOn("ReadFile", "\\\\.\\E:", ERROR_IO_DEVICE)), kLetterOpening, MarkedOnly},
    {"GptWithoutBiosBootPartition", false, nullptr,
     {"Install to drive: E: & F:", "Disk: 1 (GPT)", "",
      "Checking if BIOS boot partition exists...not found"},
     [](InstallFailures& t) {
       EXPECT_EQ(t.Table(), t.table_);
       EXPECT_EQ(t.table_.find("C12A7328"), std::string::npos) << t.table_;  // no ESP made
     },
     false, false, false, true},
};
INSTANTIATE_TEST_SUITE_P(TargetChecks, InstallFailures, testing::ValuesIn(kTargetRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- extraction ----

const FailureRow kExtractionRows[] = {
    {"TempFolderCannotBeCreated", false,
     Inject(FaultOn("CreateDirectoryW", kTempFolder, ERROR_ACCESS_DENIED)),
     Join({kLetterOpening, {kDenied}}), MarkedOnly},
    {"OldTempFolderCannotBeDeleted", false,
     [](InstallFailures&) {
       ASSERT_TRUE(win::CreateDirectoryW(kTempFolder, nullptr));  // left by an earlier run
       emu::InjectFault(FaultOn("SHFileOperationW", kTempFolder, ERROR_ACCESS_DENIED));
     },
     Join({kLetterOpening, {kDenied}}), MarkedOnly},
};
INSTANTIATE_TEST_SUITE_P(Extraction, InstallFailures, testing::ValuesIn(kExtractionRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- EFI stage, letter mode ----

void NoEfiStores(InstallFailures& t) {
  EXPECT_FALSE(std::filesystem::exists(InstallFailures::HostPath('F', "Boot/BCD")));
  EXPECT_FALSE(std::filesystem::exists(InstallFailures::HostPath('F', "EFI/Microsoft/Boot/BCD")));
  EXPECT_FALSE(t.OnNtfs("KYR"));  // the finishing never began
  MarkedOnly(t);
}

const FailureRow kEfiLetterRows[] = {
    {"EfiFolderCannotBeCreated", false,
     Inject(FaultOn("CreateDirectoryW", "F:\\EFI\\velund", ERROR_ACCESS_DENIED)),
     Join({kLetterOpening, kExtracted, {std::string("Copying EFI folder to FAT32 drive...") + kDenied}}),
     NoEfiStores},
    {"EfiConfigCannotBeCreated", false,
     Inject(FaultOn("CreateFileW", "F:\\EFI\\velund\\grub.cfg", ERROR_ACCESS_DENIED)),
     Join({kLetterOpening, kExtracted,
           {"Copying EFI folder to FAT32 drive...",
            "Cannot write F:\\EFI\\velund\\grub.cfg: Access is denied"}}),
     NoEfiStores},
    {"EfiLoaderCannotBeCopied", false,
     Inject(FaultOn("CopyFileW", "F:\\EFI\\velund\\shimx64.efi", ERROR_DISK_FULL)),
     Join({kLetterOpening, kExtracted,
           {"Copying EFI folder to FAT32 drive...Status: There is not enough space on the disk"}}),
     [](InstallFailures& t) {
       // The copies before the failed one stay; none after it is made.
       EXPECT_TRUE(std::filesystem::exists(InstallFailures::HostPath('F', "EFI/velund/mmx64.efi")));
       EXPECT_FALSE(std::filesystem::exists(InstallFailures::HostPath('F', "EFI/velund/shimx64.efi")));
       EXPECT_FALSE(std::filesystem::exists(InstallFailures::HostPath('F', "EFI/Boot/bootx64.efi")));
       NoEfiStores(t);
     }},
    {"EfiFallbackLoaderCannotBeCopied", false,
     Inject(FaultOn("CopyFileW", "F:\\EFI\\Boot\\bootx64.efi", ERROR_DISK_FULL)),
     Join({kLetterOpening, kExtracted,
           {"Copying EFI folder to FAT32 drive...Status: There is not enough space on the disk"}}),
     NoEfiStores},
    {"EfiStoresCannotBeSaved", false,
     Inject(FaultOn("RegSaveKeyW", "F:\\Boot\\BCD", ERROR_ACCESS_DENIED)),
     Join({kLetterOpening, kExtracted, kEfiDone}),
     [](InstallFailures& t) {
       NoEfiStores(t);
       EXPECT_FALSE(InstallFailures::WorkKeyLeft());  // a failed save still deletes it
     }},
};
INSTANTIATE_TEST_SUITE_P(EfiLetterMode, InstallFailures, testing::ValuesIn(kEfiLetterRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- EFI stage, partition mode ----

// E: kept its letter and the disk its (marked) table: the stage changed nothing.
void NothingChanged(InstallFailures& t) {
  EXPECT_EQ(t.Table(), t.MarkedTable());
  EXPECT_TRUE(InstallFailures::HasLetter('E'));
  EXPECT_FALSE(t.OnNtfs("KYR"));
}

// The real table is back and E: has its letter again; the FAT32 volume has no store.
void WrittenBackAndGivenBack(InstallFailures& t) {
  NothingChanged(t);
  ASSERT_FALSE(t.Fat32File("").empty());
  EXPECT_TRUE(std::filesystem::exists(t.Fat32File("EFI/velund/grub.cfg")));  // it was reached
  EXPECT_FALSE(std::filesystem::exists(t.Fat32File("Boot/BCD")));
}

const std::string kOpenE = "\\\\.\\E:";

const FailureRow kEfiPartitionRows[] = {
    {"VolumeInUse", true,
     [](InstallFailures& t) {
       std::string error;
       ASSERT_TRUE(emu::SetVolumeHeld(t.directory_, 'E', true, error)) << error;
     },
     Join({kPartitionOpening, kExtracted,
           {"Please close all applications that are accessing the E: drive first.", "",
            "Status: The process cannot access the file because it is being used by another "
            "process"}}),
     NothingChanged},
    {"VolumeCannotBeOpened", true,
     [](InstallFailures&) {
       emu::Fault fault = FaultOn("CreateFileW", kOpenE, ERROR_ACCESS_DENIED);
       fault.after = 2;  // the volume's query and its identifier's reading pass
       emu::InjectFault(fault);
     },
     Join({kPartitionOpening, kExtracted, {kDenied}}), NothingChanged},
    {"VolumeCannotBeLocked", true,
     Inject(FaultOn("DeviceIoControl", kOpenE, ERROR_ACCESS_DENIED, FSCTL_LOCK_VOLUME)),
     Join({kPartitionOpening, kExtracted, {kDenied}}), NothingChanged},
    {"VolumeCannotBeDismounted", true,
     Inject(FaultOn("DeviceIoControl", kOpenE, ERROR_ACCESS_DENIED, FSCTL_DISMOUNT_VOLUME)),
     Join({kPartitionOpening, kExtracted, {kDenied}}), NothingChanged},
    {"LetterCannotBeRemoved", true,
     Inject(FaultOn("DeleteVolumeMountPointW", "E:\\", ERROR_ACCESS_DENIED)),
     Join({kPartitionOpening, kExtracted, {kDenied}}), NothingChanged},
    {"TemporaryLayoutCannotBeWritten", true,
     Inject(FaultOn("DeviceIoControl", "\\\\.\\PHYSICALDRIVE1", ERROR_GEN_FAILURE,
                    IOCTL_DISK_SET_DRIVE_LAYOUT_EX)),
     Join({kPartitionOpening, kExtracted, {kNotFunctioning}}), NothingChanged},
    {"LoaderCannotBeCopiedToThePartition", true,
     Inject(FaultOn("CopyFileW", "", ERROR_DISK_FULL)),
     Join({kPartitionOpening, kExtracted,
           {"Copying EFI folder to FAT32 drive...Status: There is not enough space on the disk"}}),
     WrittenBackAndGivenBack},
    {"StoresCannotBeSavedOnThePartition", true,
     Inject(FaultOn("RegSaveKeyW", "", ERROR_ACCESS_DENIED)),
     Join({kPartitionOpening, kExtracted, kEfiDone}),
     [](InstallFailures& t) {
       WrittenBackAndGivenBack(t);
       EXPECT_FALSE(InstallFailures::WorkKeyLeft());
     }},
    {"LayoutCannotBeWrittenBack", true,
     [](InstallFailures&) {
       emu::Fault fault = FaultOn("DeviceIoControl", "\\\\.\\PHYSICALDRIVE1", ERROR_GEN_FAILURE,
                                  IOCTL_DISK_SET_DRIVE_LAYOUT_EX);
       fault.after = 1;  // the temporary layout passes
       emu::InjectFault(fault);
     },
     Join({kPartitionOpening, kExtracted, kEfiDone, {kNotFunctioning}}),
     [](InstallFailures& t) {
       // The temporary table stays: the FAT32 partition alone, and E: without its letter.
       const std::string table = t.Table();
       EXPECT_NE(table.find("start=      124928"), std::string::npos) << table;
       EXPECT_EQ(table.find("start=        2048"), std::string::npos) << table;
       EXPECT_FALSE(InstallFailures::HasLetter('E'));
     }},
    {"LetterCannotBeGivenBack", true,
     Inject(FaultOn("SetVolumeMountPointW", "E:\\", ERROR_ACCESS_DENIED)),
     Join({kPartitionOpening, kExtracted, kEfiDone, {kDenied}}),
     [](InstallFailures& t) {
       EXPECT_EQ(t.Table(), t.MarkedTable());
       EXPECT_FALSE(InstallFailures::HasLetter('E'));
       EXPECT_TRUE(std::filesystem::exists(t.Fat32File("Boot/BCD")));
     }},
};
INSTANTIATE_TEST_SUITE_P(EfiPartitionMode, InstallFailures, testing::ValuesIn(kEfiPartitionRows),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- finishing stage ----

const Lines kBeforeFinishing = Join({kLetterOpening, kExtracted, kEfiDone});

// An installer that did not run left the boot code alone, and the run went no further.
void BootCodeAsItWas(InstallFailures& t) {
  EXPECT_EQ(t.BootCode(), t.bootCode_);
  EXPECT_FALSE(t.OnNtfs("Velund_Orrin.cmd"));
}

const FailureRow kFinishingRows[] = {
    {"PayloadFolderCannotBeCopied", false,
     Inject(FaultOn("SHFileOperationW", "files\\KYR", ERROR_DISK_FULL)),
     Join({kBeforeFinishing,
           {"Copying KYR folder to NTFS/exFAT drive...fail",
            "Status: There is not enough space on the disk"}}),
     nullptr},
    {"InstallerCannotBeStarted", false,
     Inject(FaultOn("CreateProcessW", "tools\\grub-install.exe", ERROR_ACCESS_DENIED)),
     Join({kBeforeFinishing, kKyrCopied, {"Executing, please wait...fail", kDenied}}),
     BootCodeAsItWas},
    {"InstallerEndsWithAnError", false, Inject(FaultOn("grub-install.exe", "", 1)),
     Join({kBeforeFinishing, kKyrCopied,
           {"Executing, please wait...fail", "Status: Incorrect function"}}),
     BootCodeAsItWas},
    {"LibraryCannotBeCopied", false,
     Inject(FaultOn("CopyFileW", "E:\\KYR\\Tools\\7-Zip\\7z.dll", ERROR_DISK_FULL)),
     Join({kBeforeFinishing, kKyrCopied, kGrubDone,
           {"Copying additional files...fail", "Status: There is not enough space on the disk"}}),
     [](InstallFailures& t) { EXPECT_FALSE(t.OnNtfs("Velund_Orrin.cmd")); }},
    {"StartScriptCannotBeCopied", false,
     Inject(FaultOn("CopyFileW", "E:\\Velund_Orrin.cmd", ERROR_DISK_FULL)),
     Join({kBeforeFinishing, kKyrCopied, kGrubDone,
           {"Copying additional files...fail", "Status: There is not enough space on the disk"}}),
     [](InstallFailures& t) {
       EXPECT_TRUE(t.OnNtfs("KYR/Tools/7-Zip/7z.dll"));
       EXPECT_FALSE(t.OnNtfs("Velund_Orrin.cmd"));
     }},
    {"InfoIniCannotBeWritten", false,
     [](InstallFailures&) {
       emu::Fault fault = FaultOn("CreateFileW", "E:\\KYR\\Tools\\Velund\\Info.ini", ERROR_ACCESS_DENIED);
       fault.once = false;
       emu::InjectFault(fault);
     },
     Join({kBeforeFinishing, kKyrCopied, kGrubDone, kAdditionsDone,
           {"Cannot write E:\\KYR\\Tools\\Velund\\Info.ini: Access is denied"}}),
     [](InstallFailures& t) { EXPECT_FALSE(t.OnNtfs("KYR/Menu/BCD_pc")); }},
    {"MenuFolderCannotBeCreated", false,
     Inject(FaultOn("CreateDirectoryW", "E:\\KYR\\Menu", ERROR_ACCESS_DENIED)),
     Join({kBeforeFinishing, kKyrCopied, kGrubDone, kAdditionsDone}),
     [](InstallFailures& t) { EXPECT_FALSE(t.OnNtfs("KYR/Menu/BCD_pc")); }},
    {"MenuStoresCannotBeSaved", false,
     Inject(FaultOn("RegSaveKeyW", "E:\\KYR\\Menu\\BCD_pc", ERROR_ACCESS_DENIED)),
     Join({kBeforeFinishing, kKyrCopied, kGrubDone, kAdditionsDone}),
     [](InstallFailures& t) {
       EXPECT_FALSE(t.OnNtfs("KYR/Menu/BCD_pc"));
       EXPECT_FALSE(t.OnNtfs("KYR/Menu/BCD_efi"));
       EXPECT_TRUE(InstallFailures::WorkKeyLeft());  // for the next build to extend
     }},
    // In Vietnamese, in partition mode: the partition's label of that language is understood.
    {"PayloadFolderCannotBeCopiedInVietnamese", true,
     Inject(FaultOn("SHFileOperationW", "files\\KYR", ERROR_DISK_FULL)),
     {"Cài đặt vào Ổ: E: và Phân vùng #2", "Đĩa: 1 (MBR)", "", "",
      "Đang trích xuất các tệp tin vào thư mục tạm...xong", "",
      "Đang chép thư mục EFI vào ổ đĩa FAT32...xong",
      "Đang chép thư mục KYR vào ổ đĩa NTFS/exFAT...lỗi",
      "Status: There is not enough space on the disk"},  // the system's language
     [](InstallFailures& t) { EXPECT_TRUE(std::filesystem::exists(t.Fat32File("Boot/BCD"))); },
     false, false, true},
    {"StartCommandCannotBeStarted", false,
     Inject(FaultOn("CreateProcessW", "cmd.exe", ERROR_FILE_NOT_FOUND)),
     Join({kBeforeFinishing, kKyrCopied, kGrubDone, kAdditionsDone}),
     [](InstallFailures& t) {
       EXPECT_TRUE(t.OnNtfs("KYR/Menu/BCD_efi"));
       for (const std::string& line : emu::StartedCommandLines()) {
         EXPECT_EQ(line.find("cmd.exe"), std::string::npos) << line;
       }
     },
     true, true},
};
INSTANTIATE_TEST_SUITE_P(Finishing, InstallFailures, testing::ValuesIn(kFinishingRows),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
