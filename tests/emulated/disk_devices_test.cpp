// Physical disks and volumes of the emulated machine through the seam, as the system uses them:
// raw access, share modes, layout requests, volumes arriving and departing, letters, locks.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/emulated/faults.h"
#include "platform/emulated/guid_text.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/messages.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_machine.h"

namespace {

constexpr LONGLONG kMiB = 1048576;
constexpr DWORD kLayoutSize = 48 + 128 * 144;

class DiskDevicesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddStick(1, 64 * 8, 512);
  }

  static win::Handle OpenDisk(DWORD number, DWORD access = GENERIC_READ | GENERIC_WRITE,
                              DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE) {
    return win::Handle(win::CreateFileW("\\\\.\\PHYSICALDRIVE" + std::to_string(number), access,
                                        share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
  }

  // One MBR partition per (offset, length, type) pair, written through the layout request.
  static bool WriteMbr(HANDLE disk, std::vector<std::tuple<LONGLONG, LONGLONG, BYTE>> parts) {
    std::vector<BYTE> buffer(kLayoutSize, 0);
    auto* layout = reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
    layout->PartitionStyle = PARTITION_STYLE_MBR;
    layout->PartitionCount = 4;
    for (std::size_t i = 0; i < parts.size(); ++i) {
      PARTITION_INFORMATION_EX& p = layout->PartitionEntry[i];
      p.PartitionStyle = PARTITION_STYLE_MBR;
      p.StartingOffset.QuadPart = std::get<0>(parts[i]);
      p.PartitionLength.QuadPart = std::get<1>(parts[i]);
      p.PartitionNumber = static_cast<DWORD>(i + 1);
      p.RewritePartition = TRUE;
      p.Mbr.PartitionType = std::get<2>(parts[i]);
      p.Mbr.RecognizedPartition = TRUE;
      p.Mbr.HiddenSectors = static_cast<DWORD>(std::get<0>(parts[i]) / 512);
    }
    DWORD returned = 0;
    return win::DeviceIoControl(disk, IOCTL_DISK_SET_DRIVE_LAYOUT_EX, buffer.data(), kLayoutSize,
                                nullptr, 0, &returned, nullptr) != FALSE;
  }

  static std::vector<std::string> VolumeNames() {
    std::vector<std::string> names;
    std::string name;
    win::VolumeFind find(win::FindFirstVolumeW(name, 1024));
    if (!find) return names;
    do {
      names.push_back(name);
    } while (win::FindNextVolumeW(find.get(), name, 1024));
    EXPECT_EQ(win::GetLastError(), ERROR_NO_MORE_FILES);
    return names;
  }

  static bool Format(const std::string& volumeName, const char* fileSystem) {
    std::string command = "format.com " + volumeName.substr(0, volumeName.size() - 1) + " /FS:" +
                          fileSystem + " /Q /Y";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!win::CreateProcessW("", command, nullptr, nullptr, FALSE, 0x8000220, nullptr, "",
                             &startup, &process)) {
      return false;
    }
    win::Handle processHandle(process.hProcess), thread(process.hThread);
    EXPECT_EQ(win::WaitForSingleObject(process.hProcess, INFINITE), WAIT_OBJECT_0);
    DWORD code = 99;
    win::GetExitCodeProcess(process.hProcess, &code);
    return code == 0;
  }
};

TEST_F(DiskDevicesTest, GeometryRawSectorsAndTheirRules) {
  win::Handle disk = OpenDisk(1, GENERIC_READ);
  ASSERT_TRUE(disk) << win::GetLastError();
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &geometry,
                                   sizeof geometry, &returned, nullptr));
  EXPECT_EQ(returned, 24u);
  EXPECT_EQ(geometry.MediaType, RemovableMedia);
  EXPECT_EQ(geometry.Cylinders.QuadPart, 512);
  EXPECT_EQ(geometry.TracksPerCylinder * geometry.SectorsPerTrack, 255u * 63u);
  BYTE small[8];
  EXPECT_FALSE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, small,
                                    sizeof small, &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);

  // Reading works; writing needs write access; transfers are whole sectors.
  std::vector<BYTE> sector(512, 0xAB);
  DWORD done = 0;
  EXPECT_TRUE(win::ReadFile(disk.get(), sector.data(), 512, &done, nullptr));
  EXPECT_EQ(done, 512u);
  EXPECT_FALSE(win::WriteFile(disk.get(), sector.data(), 512, &done, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);

  win::Handle writer = OpenDisk(1);
  ASSERT_TRUE(writer);
  EXPECT_FALSE(win::ReadFile(writer.get(), sector.data(), 100, &done, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
  LARGE_INTEGER at;
  at.QuadPart = 4096;
  ASSERT_TRUE(win::SetFilePointerEx(writer.get(), at, nullptr, FILE_BEGIN));
  std::fill(sector.begin(), sector.end(), 0x5A);
  ASSERT_TRUE(win::WriteFile(writer.get(), sector.data(), 512, &done, nullptr));
  EXPECT_EQ(win::SetFilePointer(writer.get(), 4096, nullptr, FILE_BEGIN), 4096u);
  std::vector<BYTE> back(512);
  ASSERT_TRUE(win::ReadFile(writer.get(), back.data(), 512, &done, nullptr));
  EXPECT_EQ(back, sector);

  // A disk that does not exist.
  win::Handle missing = OpenDisk(7, GENERIC_READ);
  EXPECT_FALSE(missing);
  EXPECT_EQ(win::GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DiskDevicesTest, ShareModesRefuseWhatWindowsRefuses) {
  win::Handle reader = OpenDisk(1, GENERIC_READ);
  ASSERT_TRUE(reader);
  // An exclusive open fails while another handle is open.
  win::Handle exclusive = OpenDisk(1, GENERIC_READ | GENERIC_WRITE, 0);
  EXPECT_FALSE(exclusive);
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);
  // A reader that does not share writing keeps writers out.
  win::Handle strict = OpenDisk(1, GENERIC_READ, FILE_SHARE_READ);
  ASSERT_TRUE(strict);
  EXPECT_FALSE(OpenDisk(1));
  strict.reset();
  EXPECT_TRUE(OpenDisk(1));
  reader.reset();
  EXPECT_TRUE(OpenDisk(1, GENERIC_READ | GENERIC_WRITE, 0));
}

TEST_F(DiskDevicesTest, ALayoutMakesVolumesThatArriveWithLettersAndDepartWithTheirPartitions) {
  const std::size_t before = VolumeNames().size();  // C: of the system disk
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(disk);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS},
                                    {42 * kMiB, 20 * kMiB, PARTITION_FAT32_XINT13}}));
  std::vector<std::string> names = VolumeNames();
  ASSERT_EQ(names.size(), before + 2);

  // The layout reads back as Windows reports it: four slots, numbered partitions.
  std::vector<BYTE> buffer(kLayoutSize);
  DWORD returned = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                   buffer.data(), kLayoutSize, &returned, nullptr));
  const auto* layout = reinterpret_cast<const DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data());
  EXPECT_EQ(layout->PartitionCount, 4u);
  EXPECT_EQ(layout->PartitionEntry[1].PartitionNumber, 2u);
  EXPECT_EQ(layout->PartitionEntry[1].StartingOffset.QuadPart, 42 * kMiB);

  // New volumes take the first free letters, one each; their extents name the disk.
  std::vector<std::string> roots;
  win::GetLogicalDriveStringsW(roots);
  ASSERT_EQ(roots, (std::vector<std::string>{"C:\\", "D:\\", "E:\\"}));
  EXPECT_EQ(win::GetDriveTypeW("D:\\"), DRIVE_REMOVABLE);
  EXPECT_EQ(win::GetDriveTypeW("C:\\"), DRIVE_FIXED);
  EXPECT_EQ(win::GetDriveTypeW("Q:\\"), DRIVE_NO_ROOT_DIR);
  win::Handle volume(win::CreateFileW("\\\\.\\E:", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  ASSERT_TRUE(volume);
  VOLUME_DISK_EXTENTS extents{};
  ASSERT_TRUE(win::DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                   &extents, sizeof extents, &returned, nullptr));
  EXPECT_EQ(extents.NumberOfDiskExtents, 1u);
  EXPECT_EQ(extents.Extents[0].DiskNumber, 1u);
  EXPECT_EQ(extents.Extents[0].StartingOffset.QuadPart, 42 * kMiB);

  // Unformatted volumes have no file system to report.
  std::string fileSystem;
  EXPECT_FALSE(win::GetVolumeInformationW("D:\\", nullptr, nullptr, nullptr, nullptr, &fileSystem));
  EXPECT_EQ(win::GetLastError(), ERROR_UNRECOGNIZED_VOLUME);

  // A new table without the second partition: its volume departs, its handle goes stale.
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}}));
  EXPECT_EQ(VolumeNames().size(), before + 1);
  EXPECT_EQ(win::GetDriveTypeW("E:\\"), DRIVE_NO_ROOT_DIR);
  EXPECT_FALSE(win::DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                    &extents, sizeof extents, &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_DEVICE_NOT_CONNECTED);

  // The partition that stayed kept its volume name.
  EXPECT_EQ(VolumeNames().back(), names[before]);
}

TEST_F(DiskDevicesTest, FormatAndVolumeInformationForEachFileSystem) {
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 100 * kMiB, PARTITION_IFS},
                                    {102 * kMiB, 64 * kMiB, PARTITION_FAT32_XINT13},
                                    {167 * kMiB, 64 * kMiB, PARTITION_IFS}}));
  disk.reset();
  std::vector<std::string> names = VolumeNames();
  ASSERT_EQ(names.size(), 4u);
  ASSERT_TRUE(Format(names[1], "NTFS"));
  ASSERT_TRUE(Format(names[2], "FAT32"));
  ASSERT_TRUE(Format(names[3], "exFAT"));
  for (const auto& [root, expected] :
       std::vector<std::pair<std::string, std::string>>{{"D:\\", "NTFS"}, {"E:\\", "FAT32"},
                                                        {"F:\\", "exFAT"}}) {
    std::string label, fileSystem;
    DWORD serial = 0;
    ASSERT_TRUE(win::GetVolumeInformationW(root, &label, &serial, nullptr, nullptr, &fileSystem))
        << root << " " << win::GetLastError();
    EXPECT_EQ(fileSystem, expected);
    EXPECT_NE(serial, 0u);
    ULARGE_INTEGER total{};
    ASSERT_TRUE(win::GetDiskFreeSpaceExW(root, nullptr, &total, nullptr));
    EXPECT_GT(total.QuadPart, 50ull * kMiB);
    EXPECT_LE(total.QuadPart, 100ull * kMiB);
  }
  // The root path needs its backslash.
  EXPECT_FALSE(win::GetVolumeInformationW("D:", nullptr, nullptr, nullptr, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_NAME);

  // A volume someone holds open cannot be formatted.
  std::string error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'D', true, error)) << error;
  EXPECT_FALSE(Format(names[1], "NTFS"));
}

TEST_F(DiskDevicesTest, MountPointsHoldOneLetterPerVolume) {
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}}));
  const std::string name = VolumeNames().back();
  std::vector<std::string> paths;
  ASSERT_TRUE(win::GetVolumePathNamesForVolumeNameW(name, paths, 260));
  EXPECT_EQ(paths, std::vector<std::string>{"D:\\"});

  EXPECT_FALSE(win::SetVolumeMountPointW("G:\\", name));  // it has D: already
  EXPECT_TRUE(win::DeleteVolumeMountPointW("D:\\"));
  EXPECT_FALSE(win::DeleteVolumeMountPointW("D:\\"));
  ASSERT_TRUE(win::GetVolumePathNamesForVolumeNameW(name, paths, 260));
  EXPECT_TRUE(paths.empty());
  EXPECT_FALSE(win::SetVolumeMountPointW("C:\\", name));  // taken by the system volume
  EXPECT_EQ(win::GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_FALSE(win::SetVolumeMountPointW("G:\\", name.substr(0, name.size() - 1)));
  ASSERT_TRUE(win::SetVolumeMountPointW("G:\\", name));
  EXPECT_EQ(win::GetDriveTypeW("G:\\"), DRIVE_REMOVABLE);

  // Letters are remembered: a restart of the machine finds G: again.
  emu::Storage::Reset();
  EXPECT_EQ(win::GetDriveTypeW("G:\\"), DRIVE_REMOVABLE);
}

TEST_F(DiskDevicesTest, ALetterGivenToAnotherVolumeIsForgottenByTheAbsentOne) {
  // What the partition-mode install does: D: of the first partition is taken away, a table with
  // only the second partition mounts that one as D:, the old table comes back and D: is given back
  // to the first. Afterwards, with both present again, only the first may answer to D:.
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}}));
  const std::string first = VolumeNames().back();
  ASSERT_TRUE(win::DeleteVolumeMountPointW("D:\\"));
  ASSERT_TRUE(WriteMbr(disk.get(), {{42 * kMiB, 20 * kMiB, PARTITION_FAT32_XINT13}}));
  const std::string second = VolumeNames().back();
  std::vector<std::string> paths;
  ASSERT_TRUE(win::GetVolumePathNamesForVolumeNameW(second, paths, 260));
  ASSERT_EQ(paths, std::vector<std::string>{"D:\\"});

  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}}));
  ASSERT_TRUE(win::SetVolumeMountPointW("D:\\", first));
  // The machine's memory of its volumes, as the table of mounted devices: D: names one volume.
  const nlohmann::json saved = nlohmann::json::parse(std::ifstream(directory_ / "storage.json"));
  int holders = 0;
  for (const auto& device : saved["mounted_devices"]) {
    if (device["letter"] == "D") ++holders;
  }
  EXPECT_EQ(holders, 1) << saved.dump(2);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS},
                                    {42 * kMiB, 20 * kMiB, PARTITION_FAT32_XINT13}}));
  emu::Storage::Reset();
  ASSERT_TRUE(win::GetVolumePathNamesForVolumeNameW(first, paths, 260));
  EXPECT_EQ(paths, std::vector<std::string>{"D:\\"});
}

TEST_F(DiskDevicesTest, LockingAndDismountingAVolume) {
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 64 * kMiB, PARTITION_FAT32_XINT13}}));
  disk.reset();
  ASSERT_TRUE(Format(VolumeNames().back(), "FAT32"));

  win::Handle volume(win::CreateFileW("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 5, nullptr,
                                      OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  ASSERT_TRUE(volume);
  DWORD returned = 0;
  std::vector<BYTE> sector(512);
  DWORD done = 0;
  // Writing into a mounted file system is refused until the volume is locked.
  EXPECT_FALSE(win::WriteFile(volume.get(), sector.data(), 512, &done, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);
  {
    // Another handle keeps the lock from being taken.
    win::Handle other(win::CreateFileW("\\\\.\\D:", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0,
                                       nullptr));
    ASSERT_TRUE(other);
    EXPECT_FALSE(win::DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0,
                                      &returned, nullptr));
    EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);
  }
  ASSERT_TRUE(win::DeviceIoControl(volume.get(), FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0,
                                   &returned, nullptr));
  ASSERT_TRUE(win::DeviceIoControl(volume.get(), FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr, 0,
                                   &returned, nullptr));
  // While locked nobody else gets in, not even to its files.
  EXPECT_FALSE(win::CreateFileW("\\\\.\\D:", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0, nullptr) !=
               INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetFileAttributesW("D:\\"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);
  ASSERT_TRUE(win::ReadFile(volume.get(), sector.data(), 512, &done, nullptr));
  EXPECT_EQ(std::memcmp(sector.data() + 82, "FAT32", 5), 0);
  ASSERT_TRUE(win::DeviceIoControl(volume.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0,
                                   &returned, nullptr));
  EXPECT_FALSE(win::DeviceIoControl(volume.get(), FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0,
                                    &returned, nullptr));
  volume.reset();
  EXPECT_NE(win::GetFileAttributesW("D:\\"), INVALID_FILE_ATTRIBUTES);

  // A held volume refuses exclusive opens but lets full sharers in.
  std::string error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'D', true, error)) << error;
  EXPECT_EQ(win::CreateFileW("\\\\.\\D:", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), ERROR_SHARING_VIOLATION);
  win::Handle sharer(win::CreateFileW("\\\\.\\D:", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  EXPECT_TRUE(sharer);
}

TEST_F(DiskDevicesTest, DiskWritesMayNotTouchAMountedFileSystem) {
  win::Handle disk = OpenDisk(1);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 64 * kMiB, PARTITION_FAT32_XINT13}}));
  ASSERT_TRUE(Format(VolumeNames().back(), "FAT32"));
  std::vector<BYTE> zeros(4096, 0);
  DWORD done = 0;
  LARGE_INTEGER at;
  at.QuadPart = kMiB;
  ASSERT_TRUE(win::SetFilePointerEx(disk.get(), at, nullptr, FILE_BEGIN));
  EXPECT_FALSE(win::WriteFile(disk.get(), zeros.data(), 4096, &done, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);
  // The sectors before the first partition are free to write (the MBR among them).
  at.QuadPart = 0;
  ASSERT_TRUE(win::SetFilePointerEx(disk.get(), at, nullptr, FILE_BEGIN));
  EXPECT_TRUE(win::WriteFile(disk.get(), zeros.data(), 4096, &done, nullptr));
  // The partition manager still has the old table until it is told to read it again.
  std::vector<BYTE> buffer(kLayoutSize);
  DWORD returned = 0;
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                   buffer.data(), kLayoutSize, &returned, nullptr));
  EXPECT_EQ(reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data())->PartitionStyle,
            static_cast<DWORD>(PARTITION_STYLE_MBR));
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                                   &returned, nullptr));
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_LAYOUT_EX, nullptr, 0,
                                   buffer.data(), kLayoutSize, &returned, nullptr));
  EXPECT_EQ(reinterpret_cast<DRIVE_LAYOUT_INFORMATION_EX*>(buffer.data())->PartitionStyle,
            static_cast<DWORD>(PARTITION_STYLE_RAW));
  EXPECT_EQ(win::GetDriveTypeW("D:\\"), DRIVE_NO_ROOT_DIR);
}

TEST_F(DiskDevicesTest, FaultsAndHiddenArrivals) {
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_GEOMETRY, ERROR_IO_DEVICE, true});
  win::Handle disk = OpenDisk(1);
  DISK_GEOMETRY geometry{};
  DWORD returned = 0;
  EXPECT_FALSE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                    &geometry, sizeof geometry, &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_IO_DEVICE);
  EXPECT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0,
                                   &geometry, sizeof geometry, &returned, nullptr));

  emu::InjectFault({"CreateFileW", "\\\\.\\PHYSICALDRIVE1", std::nullopt, ERROR_ACCESS_DENIED, true});
  EXPECT_FALSE(OpenDisk(1));
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);

  emu::HideVolumeArrivals(true);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}}));
  EXPECT_EQ(VolumeNames().size(), 1u);
  emu::HideVolumeArrivals(false);
  ASSERT_TRUE(win::DeviceIoControl(disk.get(), IOCTL_DISK_UPDATE_PROPERTIES, nullptr, 0, nullptr, 0,
                                   &returned, nullptr));
  EXPECT_EQ(VolumeNames().size(), 2u);
}

// Device notifications reach the window procedures of top-level windows on their own threads.
std::vector<std::pair<WPARAM, DWORD>> gNotices;
LRESULT RecordNotice(HWND, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_DEVICECHANGE) {
    DWORD mask = 0;
    if (lParam != 0) mask = reinterpret_cast<const DEV_BROADCAST_VOLUME*>(lParam)->dbcv_unitmask;
    gNotices.emplace_back(wParam, mask);
  }
  return TRUE;
}

TEST_F(DiskDevicesTest, VolumeChangesAreAnnouncedToTheWindow) {
  gNotices.clear();
  HWND window = win::CreateWindowExW(0, "VelundSetup", "Setup", 0, 0, 0, 100, 100, nullptr, nullptr,
                                     nullptr, nullptr);
  win::SetWindowLongW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&RecordNotice));
  std::thread worker([] {
    win::Handle disk = OpenDisk(1);
    WriteMbr(disk.get(), {{kMiB, 40 * kMiB, PARTITION_IFS}});
    win::SendMessageTimeoutW(HWND_BROADCAST, WM_DEVICECHANGE, 0x17, 0, SMTO_NORMAL, 500, nullptr);
    win::DeleteVolumeMountPointW("D:\\");
  });
  // The broadcast waits for this thread to take its messages.
  MSG message;
  for (int i = 0; i < 200 && gNotices.size() < 5; ++i) {
    while (win::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) win::DispatchMessageW(&message);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  worker.join();
  while (win::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) win::DispatchMessageW(&message);
  const DWORD d = 1u << ('D' - 'A');
  EXPECT_EQ(gNotices, (std::vector<std::pair<WPARAM, DWORD>>{{DBT_DEVICEARRIVAL, d},
                                                             {DBT_DEVNODES_CHANGED, 0},
                                                             {0x17, 0},
                                                             {DBT_DEVICEREMOVECOMPLETE, d},
                                                             {DBT_DEVNODES_CHANGED, 0}}));
  win::DestroyWindow(window);
}

TEST_F(DiskDevicesTest, FourKibibyteSectorDisks) {
  AddStick(2, 64, 4096);
  win::Handle disk = OpenDisk(2);
  ASSERT_TRUE(disk);
  ASSERT_TRUE(WriteMbr(disk.get(), {{kMiB, 256 * kMiB, PARTITION_IFS}}));
  ASSERT_TRUE(Format(VolumeNames().back(), "NTFS"));
  std::string fileSystem;
  EXPECT_TRUE(win::GetVolumeInformationW("D:\\", nullptr, nullptr, nullptr, nullptr, &fileSystem));
  EXPECT_EQ(fileSystem, "NTFS");
  std::vector<BYTE> half(2048);
  DWORD done = 0;
  EXPECT_FALSE(win::ReadFile(disk.get(), half.data(), 2048, &done, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(DiskDevicesTest, TheDiskEnumerationInTheRegistryFollowsTheDisks) {
  win::RegKey key;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Services\\disk\\Enum",
                               0, KEY_READ, key),
            ERROR_SUCCESS);
  DWORD count = 0, size = sizeof count;
  ASSERT_EQ(win::RegQueryValueExW(key.get(), "Count", nullptr, reinterpret_cast<BYTE*>(&count),
                                  &size),
            ERROR_SUCCESS);
  EXPECT_EQ(count, 2u);
  BYTE data[512];
  size = sizeof data;
  ASSERT_EQ(win::RegQueryValueExW(key.get(), "1", nullptr, data, &size), ERROR_SUCCESS);
  const std::string instance = win::RegStringFromData(data, size);
  win::RegKey device;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum\\" + instance,
                               0, KEY_READ, device),
            ERROR_SUCCESS);
  size = sizeof data;
  ASSERT_EQ(win::RegQueryValueExW(device.get(), "FriendlyName", nullptr, data, &size),
            ERROR_SUCCESS);
  EXPECT_EQ(win::RegStringFromData(data, size), "Generic Flash Disk USB Device");
}

}  // namespace

namespace {

// Volumes the machine declares: one spanning two disks, a network letter and a CD-ROM letter.
TEST_F(DiskDevicesTest, DeclaredSpannedVolumesAndForeignLetters) {
  AddStick(2, 64, 512);
  {
    std::ifstream in(directory_ / "machine.json");
    nlohmann::json config = nlohmann::json::parse(in);
    config["spanned_volumes"] = {{{"name", "span"},
                                  {"letter", "S"},
                                  {"extents",
                                   {{{"disk", 1}, {"offset", kMiB}, {"length", 8 * kMiB}},
                                    {{"disk", 2}, {"offset", kMiB}, {"length", 8 * kMiB}}}}}};
    config["foreign_letters"] = {{{"letter", "Z"}, {"type", "network"}},
                                 {{"letter", "R"}, {"type", "cdrom"}}};
    std::ofstream(directory_ / "machine.json") << config.dump();
  }
  emu::Machine::Use(directory_);  // the machine starts again with the new description
  EXPECT_EQ(win::GetDriveTypeW("Z:\\"), DRIVE_REMOTE);
  EXPECT_EQ(win::GetDriveTypeW("R:\\"), DRIVE_CDROM);
  std::vector<std::string> roots;
  win::GetLogicalDriveStringsW(roots);
  EXPECT_EQ(roots, (std::vector<std::string>{"C:\\", "R:\\", "S:\\", "Z:\\"}));

  win::Handle volume(win::CreateFileW("\\\\.\\S:", GENERIC_READ, 7, nullptr, OPEN_EXISTING, 0,
                                      nullptr));
  ASSERT_TRUE(volume);
  // Room for one extent is not enough for two.
  VOLUME_DISK_EXTENTS one{};
  DWORD returned = 0;
  EXPECT_FALSE(win::DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                    &one, sizeof one, &returned, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_MORE_DATA);
  EXPECT_EQ(one.NumberOfDiskExtents, 2u);
  std::vector<BYTE> two(8 + 2 * sizeof(DISK_EXTENT));
  ASSERT_TRUE(win::DeviceIoControl(volume.get(), IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0,
                                   two.data(), static_cast<DWORD>(two.size()), &returned, nullptr));
  EXPECT_EQ(reinterpret_cast<VOLUME_DISK_EXTENTS*>(two.data())->Extents[1].DiskNumber, 2u);
  // Its bytes run on from the first disk's extent into the second's.
  LARGE_INTEGER at;
  at.QuadPart = 8 * kMiB - 512;
  ASSERT_TRUE(win::SetFilePointerEx(volume.get(), at, nullptr, FILE_BEGIN));
  std::vector<BYTE> sectors(1024);
  DWORD done = 0;
  EXPECT_TRUE(win::ReadFile(volume.get(), sectors.data(), 1024, &done, nullptr));
  EXPECT_EQ(done, 1024u);
}

}  // namespace
