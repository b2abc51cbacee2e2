#include "tests/ui/setup_form_fixture.h"

#include <fstream>

#include "disk/partition_layout.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/partition_table.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"
#include "tests/test_language.h"
#include "ui/language.h"

void SetupFormTest::SetUp() {
  MachineTest::SetUp();
  toolkit_.SetEchoBoxes(false);
  win::SetConsoleOutputCP(CP_UTF8);
  log_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_CHAR);
  emu::SetStandardOutput(log_);
  ResetLanguage();
  LoadLanguageForTest("en_US");  // the window's own load keeps English
}

void SetupFormTest::TearDown() {
  if (form_) {
    WaitIdle();
    form_.reset();
  }
  toolkit_.RunUntil([] { return TLanguageThread::Running() == 0; });
  TLanguageThread::WaitForAll();
  MachineTest::TearDown();
}

void SetupFormTest::EditMachine(const std::function<void(nlohmann::json&)>& edit) {
  nlohmann::json config;
  {
    std::ifstream in(directory_ / "machine.json");
    config = nlohmann::json::parse(in);
  }
  edit(config);
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  emu::Machine::Use(directory_);
}

void SetupFormTest::AddFixedDisk(unsigned number, long long cylinders) {
  emu::NewDisk disk;
  disk.number = number;
  disk.cylinders = cylinders;
  disk.removable = false;
  disk.name = "Fixed Data Disk";
  std::string error;
  ASSERT_TRUE(emu::AddDisk(directory_, disk, error)) << error;
}

void SetupFormTest::PrepareDisk(unsigned number, const std::vector<PartitionSpec>& partitions) {
  constexpr long long kMiB = 1048576;
  nlohmann::json config;
  {
    std::ifstream in(directory_ / "machine.json");
    config = nlohmann::json::parse(in);
  }
  nlohmann::json* entry = nullptr;
  for (auto& disk : config["disks"]) {
    if (disk["number"] == number) entry = &disk;
  }
  ASSERT_NE(entry, nullptr);
  const std::filesystem::path image = directory_ / (*entry)["image"].get<std::string>();
  const ULONGLONG length = (*entry)["length"].get<ULONGLONG>();
  DISK_GEOMETRY geometry{};
  geometry.Cylinders.QuadPart = (*entry)["geometry"]["cylinders"].get<LONGLONG>();
  geometry.MediaType = (*entry)["media"] == "removable" ? RemovableMedia : FixedMedia;
  geometry.TracksPerCylinder = 255;
  geometry.SectorsPerTrack = 63;
  geometry.BytesPerSector = 512;

  LayoutBuffer buffer{};
  std::fill(std::begin(buffer.bytes), std::end(buffer.bytes), 0);
  DRIVE_LAYOUT_INFORMATION_EX& layout = *buffer.get();
  layout.PartitionStyle = PARTITION_STYLE_MBR;
  layout.PartitionCount = 4;
  layout.Mbr.Signature = 0x7E570000u + number;
  long long offset = kMiB;
  nlohmann::json letters = nlohmann::json::object();
  nlohmann::json labels = nlohmann::json::object();
  for (std::size_t i = 0; i < partitions.size(); ++i) {
    const PartitionSpec& wanted = partitions[i];
    PARTITION_INFORMATION_EX& p = *buffer.entry(i);
    p.PartitionStyle = PARTITION_STYLE_MBR;
    p.StartingOffset.QuadPart = offset;
    p.PartitionLength.QuadPart = wanted.sizeMB * kMiB;
    p.PartitionNumber = static_cast<DWORD>(i + 1);
    p.RewritePartition = TRUE;
    p.Mbr.PartitionType = wanted.fileSystem == "FAT32" ? PARTITION_FAT32_XINT13 : PARTITION_IFS;
    p.Mbr.RecognizedPartition = TRUE;
    p.Mbr.HiddenSectors = static_cast<DWORD>(offset / 512);
    if (wanted.letter != 0) letters[std::to_string(offset)] = std::string(1, wanted.letter);
    // NTFS labels live in the machine's storage, not in the boot sector.
    if (wanted.fileSystem == "NTFS") labels[std::to_string(offset)] = wanted.label;
    offset += wanted.sizeMB * kMiB;
  }
  {
    emu::DiskImage disk(image, length, 512);
    ASSERT_EQ(emu::WriteDriveLayout(disk, geometry, buffer.bytes, static_cast<DWORD>(buffer.size())),
              static_cast<DWORD>(ERROR_SUCCESS));
  }
  offset = kMiB;
  for (const PartitionSpec& wanted : partitions) {
    emu::FormatRequest request;
    request.image = image;
    request.offset = static_cast<ULONGLONG>(offset);
    request.length = static_cast<ULONGLONG>(wanted.sizeMB * kMiB);
    request.fileSystem = wanted.fileSystem;
    request.label = wanted.label;
    std::string error;
    ASSERT_TRUE(emu::FormatVolume(request, error)) << error;
    offset += wanted.sizeMB * kMiB;
  }
  (*entry)["letters"] = letters;
  (*entry)["labels"] = labels;
  config["mount_policy"] = {{"auto_letters", false}};
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  emu::Machine::Use(directory_);
}

TSetupForm1& SetupFormTest::Open() {
  emu::Machine::Use(directory_);  // the machine as the tests left it
  WindowThread::Main().Reopen();
  WindowThread::Main().Attach();
  form_ = std::make_unique<TSetupForm1>(toolkit_, WindowThread::Main());
  form_->Handle();
  EXPECT_TRUE(toolkit_.RunUntil([&] { return form_->CreationComplete(); },
                                std::chrono::seconds(20)));
  return *form_;
}

bool SetupFormTest::WaitIdle(std::chrono::seconds timeout) {
  return toolkit_.RunUntil([&] { return form_->Idle(); }, timeout);
}

void SetupFormTest::Pump(std::chrono::milliseconds time) {
  const auto end = std::chrono::steady_clock::now() + time;
  toolkit_.RunUntil([&] { return std::chrono::steady_clock::now() >= end; });
}
