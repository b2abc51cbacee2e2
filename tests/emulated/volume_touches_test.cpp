// The machine's record of the volumes taken away from their users: locks, dismounts and removed
// drive letters are recorded once they succeed, refused requests are not.
#include "platform/emulated/volume_touches.h"

#include <gtest/gtest.h>

#include "platform/emulated/machine_setup.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "tests/ui/setup_form_fixture.h"

namespace {

using VolumeTouchesTest = SetupFormTest;

std::string GuidOf(char letter) {
  auto locked = emu::Storage::Lock();
  auto volume = locked.storage.FindVolumeByLetter(letter);
  return volume ? volume->guid : std::string();
}

win::Handle OpenExclusive(char letter) {
  return win::Handle(win::CreateFileW(std::string("\\\\.\\") + letter + ":",
                                      GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr));
}

bool Control(HANDLE volume, DWORD code) {
  DWORD returned = 0;
  return win::DeviceIoControl(volume, code, nullptr, 0, nullptr, 0, &returned, nullptr) != FALSE;
}

TEST_F(VolumeTouchesTest, SucceededLocksDismountsAndLetterRemovalsAreRecordedRefusalsAreNot) {
  AddStick(1, 20);
  PrepareDisk(1, {{"NTFS", 40, "DATA", 'E'}, {"FAT32", 40, "EFI", 'F'}});
  std::string error;
  ASSERT_TRUE(emu::SetVolumeHeld(directory_, 'F', true, error)) << error;
  emu::ClearVolumeTouches();

  {
    win::Handle held = OpenExclusive('F');  // another program has it: refused, nothing recorded
    EXPECT_FALSE(held);
  }
  EXPECT_TRUE(emu::VolumeTouches().empty());

  {
    win::Handle volume = OpenExclusive('E');
    ASSERT_TRUE(volume);
    ASSERT_TRUE(Control(volume.get(), FSCTL_LOCK_VOLUME));
    ASSERT_TRUE(Control(volume.get(), FSCTL_DISMOUNT_VOLUME));
    ASSERT_TRUE(Control(volume.get(), FSCTL_UNLOCK_VOLUME));
  }
  EXPECT_FALSE(win::DeleteVolumeMountPointW("G:\\"));  // no such letter
  const std::string guid = GuidOf('E');
  ASSERT_TRUE(win::DeleteVolumeMountPointW("E:\\"));

  const auto touches = emu::VolumeTouches();
  ASSERT_EQ(touches.size(), 3u);
  EXPECT_EQ(touches[0].touch, emu::VolumeTouch::Locked);
  EXPECT_EQ(touches[1].touch, emu::VolumeTouch::Dismounted);
  EXPECT_EQ(touches[2].touch, emu::VolumeTouch::LetterRemoved);
  for (const auto& touched : touches) {
    EXPECT_EQ(touched.guid, guid);
    EXPECT_EQ(touched.disk, 1u);
  }
  emu::ClearVolumeTouches();
  EXPECT_TRUE(emu::VolumeTouches().empty());
}

}  // namespace
