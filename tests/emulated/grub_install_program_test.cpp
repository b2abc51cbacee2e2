// tools\grub-install.exe on the emulated machine, run the way the finishing stage runs it: from
// an extracted payload, on sticks the create job made. What it leaves is read back from the disk
// image and the volume, and the partition tables are checked with sfdisk and sgdisk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "disk/create_disk_thread.h"
#include "disk/disk_queries.h"
#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/paths.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "sys/command_runner.h"
#include "tests/test_language.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"
#include "ui/job_host.h"
#include "ui/window_thread.h"

namespace {

namespace fs = std::filesystem;

using Bytes = std::vector<unsigned char>;

constexpr char kPayload[] = "C:\\Users\\Setup\\AppData\\Local\\Temp\\kyrextract";
constexpr long long kOneMiB = 1048576;
// The create job's GPT layout on this stick: NTFS 800 MB, FAT32 100 MB, then the BIOS boot
// partition after a gap of 1 MiB.
constexpr long long kBiosBootSector = (800 + 100 + 3) * 2048;

// The GRUB platform folder the payload carries, or Debian's, which the payload is built from.
fs::path PlatformSource() {
  const fs::path payloadTree =
      fs::path(VELUND_PAYLOAD_ARCHIVE).parent_path() / "tree" / "grub" / "i386-pc";
  std::error_code ec;
  if (fs::exists(payloadTree / "kernel.img", ec)) return payloadTree;
  if (fs::exists("/usr/lib/grub/i386-pc/kernel.img", ec)) return "/usr/lib/grub/i386-pc";
  return {};
}

std::string ReadHostFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::uint64_t Little(const Bytes& bytes, std::size_t at, std::size_t size) {
  std::uint64_t value = 0;
  for (std::size_t i = size; i-- > 0;) value = value << 8 | bytes.at(at + i);
  return value;
}

Bytes Slice(const Bytes& bytes, std::size_t from, std::size_t to) {
  return Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(from),
               bytes.begin() + static_cast<std::ptrdiff_t>(to));
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

class GrubInstallTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    platformSource_ = PlatformSource();
    if (platformSource_.empty()) GTEST_SKIP() << "no GRUB platform files (package grub-pc-bin)";
    if (RunShell("command -v grub-mkimage >/dev/null") != 0) {
      GTEST_SKIP() << "no grub-mkimage (package grub-common)";
    }
    AddStick(1, 130);  // 1 GB
    AddStick(2, 2);    // 16 MB, for tables made by hand
    AddStick(3, 33, 4096);  // 1 GB of 4096-byte sectors
    LoadLanguageForTest("en_US");
    console_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_CHAR);
    emu::SetStandardOutput(console_);
    SetJobHost(&host_);
    MakePayload();
  }
  void TearDown() override {
    SetJobHost(nullptr);
    MachineTest::TearDown();
  }

  // The stick as the create job leaves it; the letter of its NTFS volume.
  char CreateStick(bool mbr, DWORD disk = 1) {
    host_ = RecordingHost();
    auto* create = new TThreadCreate("RM" + std::to_string(disk) + " - Generic Flash Disk USB - 1 GB",
                                     100, 800, mbr);
    ActiveCreateThread = create;
    create->Start();
    WindowThread::Main().RunUntil([&] { return host_.rebuilt; });
    console_->Clear();
    auto locked = emu::Storage::Lock();
    auto ntfs = locked.storage.FindVolumeAt(disk, kOneMiB);
    return ntfs ? ntfs->letter : 0;
  }

  // The parts of the extracted payload the installer uses, and the payload as current directory.
  void MakePayload() {
    for (const std::string& folder :
         {std::string(kPayload), std::string(kPayload) + "\\grub",
          std::string(kPayload) + "\\grub\\i386-pc", std::string(kPayload) + "\\tools"}) {
      ASSERT_TRUE(win::CreateDirectoryW(folder, nullptr)) << folder;
    }
    const fs::path platform = HostPath(std::string(kPayload) + "\\grub\\i386-pc");
    for (const auto& entry : fs::directory_iterator(platformSource_)) {
      const std::string name = entry.path().filename().string();
      if (name == "grub-bios-setup" || name == "grub-ntldr-img") continue;  // host programs
      fs::copy_file(entry.path(), platform / name);
    }
    WriteVolumeFile(std::string(kPayload) + "\\tools\\grub-install.exe",
                    "VELUND PAYLOAD STAND-IN\r\n");
    ASSERT_TRUE(win::SetCurrentDirectoryW(kPayload));
  }

  fs::path HostPath(const std::string& path) {
    emu::FilePath parsed;
    EXPECT_EQ(emu::ParseFilePath(path, parsed), ERROR_SUCCESS) << path;
    auto locked = emu::Storage::Lock();
    emu::HostPath resolved;
    EXPECT_EQ(emu::ResolveFilePath(locked.storage, parsed, resolved), ERROR_SUCCESS) << path;
    return resolved.host;
  }

  bool Exists(const std::string& path) {
    return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
  }

  std::string ReadVolumeFile(const std::string& path) {
    win::Handle file(win::CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                      0, nullptr));
    EXPECT_TRUE(file) << path;
    std::string data;
    char buffer[65536];
    DWORD read = 0;
    while (file && win::ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0) {
      data.append(buffer, read);
    }
    return data;
  }

  void WriteVolumeFile(const std::string& path, const std::string& data) {
    win::Handle file(win::CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    ASSERT_TRUE(file) << path;
    DWORD written = 0;
    ASSERT_TRUE(win::WriteFile(file.get(), data.data(), static_cast<DWORD>(data.size()), &written,
                               nullptr));
  }

  std::string Image(int disk = 1) {
    return (directory_ / "disks" / ("disk" + std::to_string(disk) + ".img")).string();
  }

  Bytes ReadImage(long long offset, std::size_t size, int disk = 1) {
    Bytes bytes(size, 0);  // past a sparse image's end: zeros
    std::ifstream in(Image(disk), std::ios::binary);
    in.seekg(offset);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    return bytes;
  }

  static std::string Command(char letter, bool bootsector, int disk = 1) {
    return std::string("tools\\grub-install.exe -d grub\\i386-pc --boot-directory=") + letter +
           ":\\KYR --locales=none --fonts=none " + (bootsector ? "" : "--no-bootsector ") +
           "//./PHYSICALDRIVE" + std::to_string(disk);
  }

  // Starts a command line sharing the test's console, waits, and gives its exit code.
  DWORD Run(const std::string& line) {
    std::string commandLine = line;
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!win::CreateProcessW({}, commandLine, nullptr, nullptr, FALSE, 0, nullptr, {}, &startup,
                             &process)) {
      ADD_FAILURE() << line << ": CreateProcessW failed with " << win::GetLastError();
      return 0xFFFFFFFF;
    }
    win::Handle processHandle(process.hProcess), threadHandle(process.hThread);
    EXPECT_EQ(win::WaitForSingleObject(processHandle.get(), INFINITE), WAIT_OBJECT_0);
    DWORD exitCode = 0;
    EXPECT_TRUE(win::GetExitCodeProcess(processHandle.get(), &exitCode));
    return exitCode;
  }

  std::string Console() {
    std::string text = console_->Contents();
    console_->Clear();
    return text;
  }

  Bytes BootImage() {
    const std::string text = ReadHostFile(platformSource_ / "boot.img");
    return Bytes(text.begin(), text.end());
  }

  // Sector 0 after the install: GRUB's boot code around the BPB and the partition table that
  // were there, pointing at core.img.
  void ExpectBootSector(const Bytes& before, const Bytes& after, std::uint64_t coreStart) {
    const Bytes boot = BootImage();
    ASSERT_EQ(boot.size(), 512u);
    ASSERT_EQ(after.size(), 512u);
    EXPECT_EQ(Slice(after, 0x00, 0x03), Slice(boot, 0x00, 0x03));
    EXPECT_EQ(Slice(after, 0x03, 0x5A), Slice(before, 0x03, 0x5A)) << "the BPB is kept";
    EXPECT_EQ(Slice(after, 0x5A, 0x5C), Slice(boot, 0x5A, 0x5C));
    EXPECT_EQ(Little(after, 0x5C, 8), coreStart);
    EXPECT_EQ(after[0x64], 0xFF) << "the boot drive comes from the BIOS";
    EXPECT_EQ(after[0x65], boot[0x65]);
    EXPECT_EQ(after[0x66], 0x90);
    EXPECT_EQ(after[0x67], 0x90);
    EXPECT_EQ(Slice(after, 0x68, 0x1B8), Slice(boot, 0x68, 0x1B8));
    EXPECT_EQ(Slice(after, 0x1B8, 0x1FE), Slice(before, 0x1B8, 0x1FE)) << "the table is kept";
    EXPECT_EQ(after[0x1FE], 0x55);
    EXPECT_EQ(after[0x1FF], 0xAA);
  }

  // The core image in the disk's sectors from `first`: the file under the boot directory, with
  // the blocklist of its first sector naming the sectors that follow it.
  void ExpectEmbeddedCore(const std::string& coreFile, long long first, int disk = 1) {
    ASSERT_GT(coreFile.size(), 512u);
    const std::size_t sectors = (coreFile.size() + 511) / 512;
    const Bytes core(coreFile.begin(), coreFile.end());
    const Bytes embedded = ReadImage(first * 512, sectors * 512, disk);
    EXPECT_EQ(Slice(embedded, 0, 0x1F4), Slice(core, 0, 0x1F4));
    EXPECT_EQ(Little(embedded, 0x1F4, 8), static_cast<std::uint64_t>(first + 1));
    EXPECT_EQ(Little(embedded, 0x1FC, 2), sectors - 1);
    EXPECT_EQ(Slice(embedded, 0x1FE, core.size()), Slice(core, 0x1FE, core.size()));
    EXPECT_EQ(Slice(embedded, core.size(), embedded.size()), Bytes(embedded.size() - core.size(), 0));
  }

  fs::path platformSource_;
  RecordingHost host_;
  std::shared_ptr<emu::CapturedOutput> console_;
};

TEST_F(GrubInstallTest, InstallsIntoTheMbrGapAndPlacesItsFilesUnderTheBootDirectory) {
  const char drive = CreateStick(true);
  ASSERT_EQ(drive, 'E');
  const std::string table = ShellOutput("sfdisk -d " + Image());
  // What an earlier boot loader may have left in the BPB's place, which GRUB keeps.
  {
    win::Handle disk(win::CreateFileW("\\\\.\\PHYSICALDRIVE1", GENERIC_READ | GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
    ASSERT_TRUE(disk);
    Bytes sector(512);
    DWORD done = 0;
    ASSERT_TRUE(win::ReadFile(disk.get(), sector.data(), 512, &done, nullptr));
    for (std::size_t i = 0x03; i < 0x5A; ++i) sector[i] = static_cast<unsigned char>(i);
    ASSERT_TRUE(win::SetFilePointerEx(disk.get(), LARGE_INTEGER{}, nullptr, FILE_BEGIN));
    ASSERT_TRUE(win::WriteFile(disk.get(), sector.data(), 512, &done, nullptr));
  }
  const Bytes before = ReadImage(0, 512);

  // As the finishing stage runs it: no console window, so nothing reaches the setup's console.
  DWORD exitCode = 0;
  ASSERT_TRUE(RunCommand(Command('E', true), true, SW_SHOWNORMAL, exitCode, true));
  EXPECT_EQ(exitCode, 0u);
  EXPECT_EQ(Console(), "");

  ExpectBootSector(before, ReadImage(0, 512), 1);
  const std::string core = ReadVolumeFile("E:\\KYR\\grub\\i386-pc\\core.img");
  ExpectEmbeddedCore(core, 1);
  EXPECT_LE((core.size() + 511) / 512, 2047u) << "fits before the NTFS partition at 1 MiB";
  EXPECT_EQ(ShellOutput("sfdisk -d " + Image()), table);

  // GRUB's own files for the prefix (E:)/KYR/grub, without locales and fonts.
  for (const char* name : {"normal.mod", "ntfs.mod", "moddep.lst", "command.lst", "modinfo.sh",
                           "boot.img", "core.img", "load.cfg"}) {
    EXPECT_TRUE(Exists(std::string("E:\\KYR\\grub\\i386-pc\\") + name)) << name;
  }
  EXPECT_EQ(ReadVolumeFile("E:\\KYR\\grub\\i386-pc\\normal.mod"),
            ReadHostFile(platformSource_ / "normal.mod"));
  EXPECT_FALSE(Exists("E:\\KYR\\grub\\i386-pc\\kernel.img")) << "built into core.img";
  EXPECT_FALSE(Exists("E:\\KYR\\grub\\locale"));
  EXPECT_FALSE(Exists("E:\\KYR\\grub\\fonts"));
  const std::string environment = ReadVolumeFile("E:\\KYR\\grub\\grubenv");
  EXPECT_EQ(environment.size(), 1024u);
  EXPECT_EQ(environment.rfind("# GRUB Environment Block\n", 0), 0u);

  // The early configuration finds the NTFS volume by the identifier the install worker reads.
  std::string uuid;
  ASSERT_TRUE(ReadVolumeUuid("E:", uuid));
  EXPECT_EQ(uuid.size(), 16u);
  EXPECT_EQ(ReadVolumeFile("E:\\KYR\\grub\\i386-pc\\load.cfg"),
            "search.fs_uuid " + Lower(uuid) + " root\nset prefix=($root)/KYR/grub\n");
}

TEST_F(GrubInstallTest, AnotherInstallReplacesTheModulesAndKeepsTheEnvironmentBlock) {
  ASSERT_EQ(CreateStick(true), 'E');
  ASSERT_EQ(Run(Command('E', true)), 0u);
  const Bytes firstSector = ReadImage(0, 512);
  WriteVolumeFile("E:\\KYR\\grub\\i386-pc\\old_grub.mod", "a module of another GRUB");
  WriteVolumeFile("E:\\KYR\\grub\\i386-pc\\custom.cfg", "set timeout=3\n");
  std::string environment = ReadVolumeFile("E:\\KYR\\grub\\grubenv");
  environment.replace(25, 11, "saved=entry");
  WriteVolumeFile("E:\\KYR\\grub\\grubenv", environment);

  EXPECT_EQ(Run(Command('E', true)), 0u);
  EXPECT_EQ(ReadImage(0, 512), firstSector);
  EXPECT_FALSE(Exists("E:\\KYR\\grub\\i386-pc\\old_grub.mod"));
  EXPECT_TRUE(Exists("E:\\KYR\\grub\\i386-pc\\custom.cfg")) << "only GRUB's own kinds of file go";
  EXPECT_EQ(ReadVolumeFile("E:\\KYR\\grub\\grubenv"), environment);
  ExpectEmbeddedCore(ReadVolumeFile("E:\\KYR\\grub\\i386-pc\\core.img"), 1);
}

TEST_F(GrubInstallTest, InstallsIntoTheBiosBootPartitionOfAGptStick) {
  const char drive = CreateStick(false);
  ASSERT_EQ(drive, 'D');
  const std::string table = ShellOutput("sfdisk -d " + Image());
  const auto partitions =
      nlohmann::json::parse(ShellOutput("sfdisk --json " + Image()))["partitiontable"]["partitions"];
  ASSERT_EQ(partitions.size(), 3u);
  ASSERT_EQ(partitions[2]["type"], "21686148-6449-6E6F-744E-656564454649");
  ASSERT_EQ(partitions[2]["start"], kBiosBootSector);
  const Bytes before = ReadImage(0, 512);

  EXPECT_EQ(Run(Command('D', true)), 0u);
  EXPECT_EQ(Console(),
            "Installing for i386-pc platform.\r\nInstallation finished. No error reported.\r\n");

  ExpectBootSector(before, ReadImage(0, 512), kBiosBootSector);
  ExpectEmbeddedCore(ReadVolumeFile("D:\\KYR\\grub\\i386-pc\\core.img"), kBiosBootSector);
  // The gap after the protective MBR holds the GPT itself: nothing was written there.
  EXPECT_EQ(ShellOutput("sfdisk -d " + Image()), table);
  EXPECT_NE(ShellOutput("sgdisk -v " + Image()).find("No problems found"), std::string::npos);
}

TEST_F(GrubInstallTest, CountsInGrubSectorsOnADiskOf4096ByteSectors) {
  const char drive = CreateStick(true, 3);
  ASSERT_NE(drive, 0);
  const std::string table = ShellOutput("sfdisk -d " + Image(3));
  const Bytes before = ReadImage(0, 512, 3);

  EXPECT_EQ(Run(Command(drive, true, 3)), 0u);
  // core.img from byte 512, inside the disk's first sector, which sector 0's code shares.
  ExpectBootSector(before, ReadImage(0, 512, 3), 1);
  const std::string core = ReadVolumeFile(std::string(1, drive) + ":\\KYR\\grub\\i386-pc\\core.img");
  ExpectEmbeddedCore(core, 1, 3);
  EXPECT_EQ(ShellOutput("sfdisk -d " + Image(3)), table);
}

TEST_F(GrubInstallTest, WithoutTheBootSectorOptionTheDiskStaysAsItWas) {
  ASSERT_EQ(CreateStick(true), 'E');
  const Bytes start = ReadImage(0, kOneMiB);

  EXPECT_EQ(Run(Command('E', false)), 0u);
  EXPECT_EQ(ReadImage(0, kOneMiB), start) << "neither boot code nor core image";
  EXPECT_TRUE(Exists("E:\\KYR\\grub\\i386-pc\\core.img"));
  EXPECT_TRUE(Exists("E:\\KYR\\grub\\i386-pc\\boot.img"));
}

TEST_F(GrubInstallTest, FindsAnExfatVolumeByItsSerial) {
  ASSERT_EQ(CreateStick(true), 'E');
  ASSERT_EQ(Run("format.com E: /FS:exFAT /Q /Y"), 0u);
  std::string uuid;
  ASSERT_TRUE(ReadVolumeUuid("E:", uuid));
  ASSERT_EQ(uuid.size(), 9u);

  // A boot directory deeper down, with a blank in its name.
  EXPECT_EQ(Run("tools\\grub-install.exe -d grub\\i386-pc \"--boot-directory=E:\\Multi Boot\\KYR\" "
                "//./PHYSICALDRIVE1"),
            0u);
  EXPECT_EQ(ReadVolumeFile("E:\\Multi Boot\\KYR\\grub\\i386-pc\\load.cfg"),
            "search.fs_uuid " + Lower(uuid) + " root\nset prefix=($root)'/Multi Boot/KYR/grub'\n");
  ExpectEmbeddedCore(ReadVolumeFile("E:\\Multi Boot\\KYR\\grub\\i386-pc\\core.img"), 1);
}

TEST_F(GrubInstallTest, ABadCommandLineEndsItBeforeAnythingIsWritten) {
  ASSERT_EQ(CreateStick(true), 'E');
  const Bytes start = ReadImage(0, kOneMiB);

  EXPECT_EQ(Run("tools\\grub-install.exe --frobnicate -d grub\\i386-pc //./PHYSICALDRIVE1"), 64u);
  EXPECT_EQ(Console(),
            "grub-install: unrecognized option '--frobnicate'\r\n"
            "Try 'grub-install --help' or 'grub-install --usage' for more information.\r\n");
  EXPECT_EQ(Run("tools\\grub-install.exe -d grub\\i386-pc //./PHYSICALDRIVE1 //./PHYSICALDRIVE2"),
            64u);
  EXPECT_EQ(Console().rfind("grub-install: More than one install device?\r\n", 0), 0u);
  EXPECT_EQ(Run("tools\\grub-install.exe --boot-directory=E:\\KYR --no-bootsector=yes "
                "//./PHYSICALDRIVE1"),
            64u);
  EXPECT_EQ(Console().rfind("grub-install: option '--no-bootsector' doesn't allow an argument\r\n", 0),
            0u);
  EXPECT_EQ(Run("tools\\grub-install.exe -d grub\\i386-pc --boot-directory=E:\\KYR"), 1u);
  EXPECT_EQ(Console(),
            "Installing for i386-pc platform.\r\n"
            "grub-install: error: install device isn't specified.\r\n");

  for (const char* device : {"//./PHYSICALDRIVE7", "E:", "//./PHYSICALDRIVEX", "/dev/sdb"}) {
    EXPECT_EQ(Run(std::string("tools\\grub-install.exe -d grub\\i386-pc --boot-directory=E:\\KYR ") +
                  device),
              1u)
        << device;
    EXPECT_EQ(Console(), "Installing for i386-pc platform.\r\ngrub-install: error: cannot find a GRUB "
                         "drive for " + std::string(device) + ".  Check your device.map.\r\n");
  }
  EXPECT_EQ(ReadImage(0, kOneMiB), start);
  EXPECT_FALSE(Exists("E:\\KYR"));
}

TEST_F(GrubInstallTest, APlatformFolderThatIsMissingOrIncompleteFailsTheInstall) {
  ASSERT_EQ(CreateStick(true), 'E');
  const Bytes start = ReadImage(0, kOneMiB);

  EXPECT_EQ(Run("tools\\grub-install.exe -d grub\\nowhere --boot-directory=E:\\KYR //./PHYSICALDRIVE1"),
            1u);
  EXPECT_EQ(Console(), "grub-install: error: " + std::string(kPayload) +
                           "\\grub\\nowhere\\modinfo.sh doesn't exist. Please specify --target or "
                           "--directory.\r\n");
  EXPECT_FALSE(Exists("E:\\KYR"));

  // Without its kernel no core image can be made; the message names the folder as the machine
  // knows it.
  ASSERT_TRUE(win::DeleteFileW(std::string(kPayload) + "\\grub\\i386-pc\\kernel.img"));
  EXPECT_EQ(Run(Command('E', true)), 1u);
  const std::string said = Console();
  EXPECT_NE(said.find("grub-install: error: "), std::string::npos) << said;
  EXPECT_NE(said.find(std::string(kPayload) + "\\grub\\i386-pc"), std::string::npos) << said;
  EXPECT_NE(said.find("kernel.img"), std::string::npos) << said;
  EXPECT_EQ(said.find(HostPath(kPayload).string()), std::string::npos) << said;
  EXPECT_EQ(ReadImage(0, kOneMiB), start);
}

TEST_F(GrubInstallTest, ADiskThatAnotherProgramHoldsExclusivelyIsNotTouched) {
  ASSERT_EQ(CreateStick(true), 'E');
  const Bytes start = ReadImage(0, kOneMiB);
  {
    win::Handle held(win::CreateFileW("\\\\.\\PHYSICALDRIVE1", GENERIC_READ | GENERIC_WRITE, 0,
                                      nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held);
    EXPECT_EQ(Run(Command('E', true)), 1u);
    const std::string said = Console();
    EXPECT_NE(said.find("grub-install: error: cannot open `//./PHYSICALDRIVE1': "), std::string::npos)
        << said;
    EXPECT_EQ(ReadImage(0, kOneMiB), start);
    EXPECT_FALSE(Exists("E:\\KYR\\grub\\i386-pc\\core.img"));
  }
  // Others may share it for reading and writing, as the machine's own handles do.
  win::Handle shared(win::CreateFileW("\\\\.\\PHYSICALDRIVE1", GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  ASSERT_TRUE(shared);
  EXPECT_EQ(Run(Command('E', true)), 0u);
}

TEST_F(GrubInstallTest, DisksWithoutRoomForTheCoreImageKeepTheirBootCode) {
  struct Case {
    const char* what;
    const char* table;  // sfdisk input; empty: no partition table at all
    const char* error;
  };
  const Case cases[] = {
      {"MBR gap of 15 sectors", "label: dos\nstart=16, size=8192, type=7\n",
       "your core.img is unusually large.  It won't fit in the embedding area."},
      {"no MBR gap", "label: dos\nstart=1, size=8192, type=7\n",
       "this msdos-style partition label has no post-MBR gap; embedding won't be possible."},
      {"GPT without a BIOS boot partition", "label: gpt\nstart=2048, size=8192, type=L\n",
       "this GPT partition label contains no BIOS Boot Partition; embedding won't be possible."},
      {"GPT with a small BIOS boot partition",
       "label: gpt\nstart=2048, size=16, type=21686148-6449-6E6F-744E-656564454649\n"
       "start=4096, size=8192, type=L\n",
       "your BIOS Boot Partition is too small; embedding won't be possible."},
      {"no partition table", "",
       "unable to identify a partition table on the install device; embedding won't be "
       "possible."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(RunShell("dd if=/dev/zero of=" + Image(2) + " bs=1M count=16 status=none"), 0);
    RunShell("dd if=/dev/urandom of=" + Image(2) + " bs=440 count=1 conv=notrunc status=none");
    if (*c.table) {
      std::string out;
      ASSERT_EQ(RunShell("(printf '" + std::string(c.table) +
                             "' | sfdisk --no-reread --no-tell-kernel " + Image(2) + ")",
                         &out),
                0)
          << out;
    }
    const Bytes start = ReadImage(0, kOneMiB, 2);
    // The boot directory on the system disk: GRUB finds it by its identifier from any disk.
    EXPECT_EQ(Run(Command('C', true, 2)), 1u);
    EXPECT_EQ(Console(), "Installing for i386-pc platform.\r\ngrub-install: error: " +
                             std::string(c.error) + "\r\n");
    EXPECT_EQ(ReadImage(0, kOneMiB, 2), start);
  }
}

TEST_F(GrubInstallTest, RunsOnlyWhereThePayloadHoldsItsFile) {
  std::string commandLine = "tools\\grub-install.exe --no-bootsector //./PHYSICALDRIVE1";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  // With the file in place the program runs (and ends on its own terms).
  EXPECT_EQ(Run(commandLine), 1u);
  // Tests of the finishing stage make it fail as they need.
  emu::InjectFault({"grub-install.exe", {}, std::nullopt, 5});
  EXPECT_EQ(Run(commandLine), 5u);

  ASSERT_TRUE(win::DeleteFileW(std::string(kPayload) + "\\tools\\grub-install.exe"));
  EXPECT_FALSE(win::CreateProcessW({}, commandLine, nullptr, nullptr, FALSE, 0, nullptr, {},
                                   &startup, &process));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  std::string bare = "grub-install.exe --no-bootsector //./PHYSICALDRIVE1";
  EXPECT_FALSE(win::CreateProcessW({}, bare, nullptr, nullptr, FALSE, 0, nullptr, {}, &startup,
                                   &process))
      << "not a program of the system folder";
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  // As the finishing stage reports it.
  DWORD exitCode = 0;
  EXPECT_FALSE(RunCommand(Command('E', true), true, SW_SHOWNORMAL, exitCode, true));
  EXPECT_EQ(exitCode, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  ASSERT_TRUE(win::RemoveDirectoryW(std::string(kPayload) + "\\tools"));
  EXPECT_FALSE(win::CreateProcessW({}, commandLine, nullptr, nullptr, FALSE, 0, nullptr, {},
                                   &startup, &process));
  EXPECT_EQ(win::GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
}

}  // namespace
