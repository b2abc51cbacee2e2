#include "install/finish_stage.h"

#include <stdexcept>

#include "app/console_log.h"
#include "bcd/store_builders.h"
#include "install/info_ini.h"
#include "platform/seam.h"
#include "sys/command_runner.h"
#include "sys/folder_operations.h"
#include "sys/whole_file.h"
#include "ui/language.h"

namespace {

bool Exists(const std::string& path) {
  return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = win::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool FailWithStatus(DWORD code) {
  WriteLine(LookupText("Fail"));
  WriteStatusLine(code);
  return false;
}

}  // namespace

std::string GrubInstallCommand(const std::string& drive, DWORD diskNumber, bool bootsector) {
  return "tools\\grub-install.exe -d grub\\i386-pc --boot-directory=" + drive +
         ":\\KYR --locales=none --fonts=none " + (bootsector ? "--no-bootsector " : "") +
         "//./PHYSICALDRIVE" + std::to_string(diskNumber);
}

std::string StartScriptCommand(const std::string& drive) {
  return "cmd.exe /C cd /d " + drive + ":\\ & start " + drive + ":\\Velund_Orrin.cmd";
}

bool RunFinishingStage(InstallRun& run, bool autoRun) {
  const std::string root = run.Drive + ":";

  // A splash image the user put on the target stays: the payload's own is dropped before the copy.
  if (Exists(root + "\\KYR\\grub\\themes\\splash.png")) {
    win::DeleteFileW("files\\KYR\\grub\\themes\\splash.png");
  }

  WriteText(LookupText("CopyingKYR"));
  if (!CopyFolder("files\\KYR", root)) return FailWithStatus(win::GetLastError());
  WriteLine(LookupText("Done"));
  run.progress(57);
  WriteEmptyLine();
  run.progress(60);

  WriteLine(LookupText("InstallingGrub2"));
  WriteEmptyLine();
  const std::string command = GrubInstallCommand(run.Drive, run.diskNumber, run.Bootsector);
  WriteText(LookupText("Executing"));
  DWORD exitCode = 0;
  const bool started = RunCommand(command, true, SW_SHOWNORMAL, exitCode, true);
  run.installer.reset();  // held unchanged from its extraction until it ran
  if (!started || exitCode != 0) return FailWithStatus(exitCode);
  WriteLine(LookupText("Done"));
  WriteEmptyLine();
  run.progress(87);

  WriteText(LookupText("CopyAddition"));
  if (!win::CopyFileW("7z.dll", root + "\\KYR\\Tools\\7-Zip\\7z.dll", FALSE) ||
      !win::CopyFileW("files\\Velund_Orrin.cmd", root + "\\Velund_Orrin.cmd", FALSE)) {
    return FailWithStatus(win::GetLastError());
  }
  WriteLine(LookupText("Done"));
  WriteEmptyLine();

  const std::string info = root + "\\KYR\\Tools\\Velund\\Info.ini";
  if (!Exists(info)) WriteWholeFile(info, "");
  if (!RecordPayloadBuild(info)) {
    const DWORD error = win::GetLastError();
    throw std::runtime_error("Cannot write " + info + ": " + SystemErrorText(error));
  }

  const std::string menu = root + "\\KYR\\Menu";
  if (!IsFolder(menu) && !win::CreateDirectoryW(menu, nullptr)) return false;
  if (!(Exists(menu + "\\BCD_efi") && Exists(menu + "\\BCD_pc")) && !BuildMenuBcd(root)) {
    return false;
  }

  if (autoRun) {
    run.progress(95);
    DWORD ignored = 0;
    RunCommand(StartScriptCommand(run.Drive), false, SW_SHOWNORMAL, ignored, false);
  }
  run.progress(100);
  return true;
}
