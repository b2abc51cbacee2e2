#include "disk/volume_offline.h"

#include "app/console_log.h"
#include "disk/disk_queries.h"
#include "platform/seam.h"
#include "ui/language.h"

win::Handle OpenVolumeToTakeOffline(const std::string& drive, DWORD shareMode) {
  win::Handle volume(win::CreateFileW(VolumePath(drive), GENERIC_READ | GENERIC_WRITE, shareMode,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!volume) {
    const DWORD error = win::GetLastError();
    if (error == ERROR_SHARING_VIOLATION) {
      WriteLine(FormatText(LookupText("CloseAppsMsg"), {drive}));
      WriteEmptyLine();
    }
    WriteStatusLine(error);
  }
  return volume;
}

bool DismountVolume(HANDLE volume) {
  DWORD returned = 0;
  if (!win::DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned,
                            nullptr)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  const bool dismounted = win::DeviceIoControl(volume, FSCTL_DISMOUNT_VOLUME, nullptr, 0, nullptr,
                                               0, &returned, nullptr);
  if (!dismounted) WriteStatusLine(win::GetLastError());
  win::DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
  return dismounted;
}
