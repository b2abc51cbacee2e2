#include "install/extract_payload.h"

#include <stdexcept>

#include "app/console_log.h"
#include "platform/seam.h"
#include "sys/folder_operations.h"
#include "ui/language.h"

namespace {

bool FolderExists(const std::string& path) {
  const DWORD attributes = win::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Creates `path` and every missing folder above it.
bool CreateFolders(const std::string& path) {
  if (FolderExists(path)) return true;
  const std::size_t slash = path.find_last_of('\\');
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      !CreateFolders(path.substr(0, slash))) {
    return false;
  }
  if (win::CreateDirectoryW(path, nullptr)) return true;
  const DWORD error = win::GetLastError();
  if (FolderExists(path)) return true;  // made meanwhile by someone else
  win::SetLastError(error);
  return false;
}

// The bytes of one of the executable's RCDATA resources, written to `file` (created or replaced).
void WriteResourceFile(const char* name, const std::string& file) {
  HRSRC found = win::FindResourceW(nullptr, name, RT_RCDATA);
  HGLOBAL loaded = found ? win::LoadResource(nullptr, found) : nullptr;
  const void* data = loaded ? win::LockResource(loaded) : nullptr;
  if (data == nullptr) throw std::runtime_error(std::string("Resource ") + name + " not found");
  const DWORD size = win::SizeofResource(nullptr, found);
  win::Handle out(win::CreateFileW(file, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out) {
    throw std::runtime_error("Cannot create file \"" + file + "\". " +
                             SystemErrorText(win::GetLastError()));
  }
  DWORD written = 0;
  if (!win::WriteFile(out.get(), data, size, &written, nullptr) || written != size) {
    throw std::runtime_error("Cannot write file \"" + file + "\". " +
                             SystemErrorText(win::GetLastError()));
  }
}

}  // namespace

bool ExtractPayload(std::string& tempdir, const std::function<void(int)>& progress,
                    sevenzip::ComPtr<sevenzip::I7zInArchive>& archive) {
  std::string temp;
  win::GetEnvironmentVariableW("TEMP", temp);
  tempdir = temp + kPayloadFolder;

  if (FolderExists(tempdir) && !DeleteFolder(tempdir)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  progress(15);
  if (!CreateFolders(tempdir)) {
    WriteStatusLine(win::GetLastError());
    return false;
  }
  win::SetCurrentDirectoryW(tempdir);  // on failure the files land in the current folder
  progress(3);

  WriteText(LookupText("ExtractTemp"));
  WriteResourceFile("7zDLL", "7z.dll");
  progress(4);
  WriteResourceFile("KYR7z", "Velund.7z");
  progress(10);

  archive = sevenzip::CreateInArchive(sevenzip::CLSID_CFormat7z, "7z.dll");
  std::exception_ptr raised;
  try {
    win::SetLastError(ERROR_SUCCESS);
    archive->OpenArchiveFile("Velund.7z");
    archive->SetPassword(kPayloadPassword);
    archive->ExtractToFolder(tempdir + "\\");
  } catch (...) {
    raised = std::current_exception();
  }
  // An extraction that raised has failed, whatever the last error says: a damaged payload is
  // never reported as extracted.
  const bool failed = raised != nullptr || win::GetLastError() != ERROR_SUCCESS;
  WriteLine(LookupText(failed ? "Fail" : "Done"));
  archive->CloseArchive();
  if (raised) std::rethrow_exception(raised);
  WriteEmptyLine();
  progress(30);
  return true;
}
