// The disk queries on the emulated machine: its 1 GB system disk 0 with the NTFS volume C:.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <memory>
#include <optional>

#include <nlohmann/json.hpp>

#include "disk/disk_queries.h"
#include "platform/emulated/console.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

class DiskQueriesTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    win::SetConsoleOutputCP(CP_UTF8);
    log_ = std::make_shared<emu::CapturedOutput>(FILE_TYPE_CHAR);
    emu::SetStandardOutput(log_);
  }

  static void Fail(const char* call, DWORD error, std::optional<DWORD> controlCode = {}) {
    emu::Fault fault;
    fault.call = call;
    fault.error = error;
    fault.controlCode = controlCode;
    emu::InjectFault(fault);
  }

  // Nothing may stay open: an exclusive open succeeds only when no other open exists.
  static bool NothingLeftOpen(std::string_view path) {
    return win::Handle(win::CreateFileW(path, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr))
        .valid();
  }

  std::shared_ptr<emu::CapturedOutput> log_;
};

TEST_F(DiskQueriesTest, GeometryWritesOneStatusLinePerFailure) {
  DISK_GEOMETRY geometry{};
  ASSERT_TRUE(QueryDiskGeometry(PhysicalDrivePath(0), geometry));
  EXPECT_EQ(GeometryDiskSize(geometry), LONGLONG{131} * 255 * 63 * 512);
  EXPECT_EQ(log_->Contents(), "");

  EXPECT_FALSE(QueryDiskGeometry(PhysicalDrivePath(7), geometry));
  EXPECT_EQ(log_->Contents(), "Status: The system cannot find the file specified\r\n");

  log_->Clear();
  Fail("DeviceIoControl", ERROR_NOT_READY, IOCTL_DISK_GET_DRIVE_GEOMETRY);
  EXPECT_FALSE(QueryDiskGeometry(PhysicalDrivePath(0), geometry));
  EXPECT_EQ(log_->Contents(), "Status: The device is not ready\r\n");
  EXPECT_TRUE(NothingLeftOpen(PhysicalDrivePath(0)));
}

TEST_F(DiskQueriesTest, VolumeExtentByDriveLetterAndByGuidName) {
  VolumeExtent byLetter, byGuid;
  ASSERT_TRUE(QueryVolumeExtent(VolumePath("C:"), byLetter));
  EXPECT_EQ(byLetter.DiskNumber, 0u);
  EXPECT_EQ(byLetter.StartingOffset, 1048576);

  std::string name;
  win::VolumeFind find(win::FindFirstVolumeW(name, MAX_PATH));
  ASSERT_TRUE(QueryVolumeExtent(VolumePath(VolumeGuidName(name)), byGuid));
  EXPECT_EQ(byGuid.StartingOffset, byLetter.StartingOffset);

  EXPECT_FALSE(QueryVolumeExtent(VolumePath("Q:"), byGuid));
  EXPECT_EQ(log_->Contents(), "");
  EXPECT_TRUE(NothingLeftOpen(VolumePath("C:")));
}

TEST_F(DiskQueriesTest, NtfsUuidAgreesWithTheVolumeSerialNumber) {
  std::string uuid;
  ASSERT_TRUE(ReadVolumeUuid("C:", uuid));
  DWORD serial = 0;  // Windows reports the low half of the 64-bit NTFS serial
  ASSERT_TRUE(win::GetVolumeInformationW("C:\\", nullptr, &serial, nullptr, nullptr, nullptr));
  char low[9];
  std::snprintf(low, sizeof low, "%08X", static_cast<unsigned>(serial));
  ASSERT_EQ(uuid.size(), 16u);
  EXPECT_EQ(uuid.substr(8), low);

  std::string unread;
  EXPECT_FALSE(ReadVolumeUuid("Q:", unread));
  Fail("ReadFile", ERROR_CRC);
  EXPECT_FALSE(ReadVolumeUuid("C:", unread));
  EXPECT_EQ(log_->Contents(), "");
  EXPECT_TRUE(NothingLeftOpen(VolumePath("C:")));
}

TEST_F(DiskQueriesTest, SizeTextsFollowTheUserLocale) {
  const LONGLONG oneAndAHalfGiB = 3 * (LONGLONG{1} << 29);
  EXPECT_EQ(FormatByteSize(oneAndAHalfGiB), "1.5 GB");
  const auto config = directory_ / "machine.json";
  nlohmann::json machine = nlohmann::json::parse(std::ifstream(config));
  machine["locale"]["decimal_separator"] = ",";
  std::ofstream(config) << machine.dump(2);
  emu::Machine::Use(directory_);
  EXPECT_EQ(FormatByteSize(oneAndAHalfGiB), "1,5 GB");
}

}  // namespace
