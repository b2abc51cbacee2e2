#include "install/extract_payload.h"

#include <cctype>
#include <stdexcept>
#include <string_view>

#include "app/console_log.h"
#include "platform/seam.h"
#include "sys/folder_operations.h"
#include "sys/held_file.h"
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
// Returns the bytes written.
std::string_view WriteResourceFile(const char* name, const std::string& file) {
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
  return std::string_view(static_cast<const char*>(data), size);
}

using sevenzip::Int64;
using sevenzip::UInt32;
using sevenzip::UInt64;

// Collects what the library extracts into it.
class BytesStream final : public sevenzip::TStream {
 public:
  DWORD Read(void*, UInt32, UInt32& read) override {
    read = 0;
    return ERROR_SUCCESS;
  }
  DWORD Write(const void* buffer, UInt32 size, UInt32& written) override {
    bytes.append(static_cast<const char*>(buffer), size);
    written = size;
    return ERROR_SUCCESS;
  }
  DWORD Seek(Int64, UInt32, UInt64& position) override {
    position = bytes.size();
    return ERROR_SUCCESS;
  }
  DWORD SetSize(UInt64) override { return ERROR_SUCCESS; }
  DWORD GetSize(UInt64& size) override {
    size = bytes.size();
    return ERROR_SUCCESS;
  }
  std::string bytes;
};

bool SamePath(std::string a, std::string b) {
  for (std::string* text : {&a, &b}) {
    for (char& c : *text) {
      c = c == '/' ? '\\' : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  return a == b;
}

// The contents of the item stored as `path`, extracted again from the open archive.
std::string ItemBytes(sevenzip::I7zInArchive& archive, const std::string& path) {
  const UInt32 count = archive.GetItemCount();
  for (UInt32 index = 0; index < count; ++index) {
    if (!SamePath(archive.GetItemPath(index), path)) continue;
    BytesStream stream;
    archive.ExtractItemToStream(index, stream, false);
    return stream.bytes;
  }
  throw std::runtime_error("The payload holds no " + path);
}

// `path` held unchanged (held_file.h); a status line when it cannot be.
bool Hold(const std::string& path, std::string_view expected, win::Handle& held) {
  held = HoldUnchanged(path, expected);
  if (!held) WriteStatusLine(win::GetLastError());
  return held.valid();
}

}  // namespace

bool ExtractPayload(std::string& tempdir, const std::function<void(int)>& progress,
                    sevenzip::ComPtr<sevenzip::I7zInArchive>& archive, win::Handle& installer) {
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

  // The library is held unchanged from right after its writing until it is loaded, the archive
  // until everything is extracted from it: the installer is checked against the archive's copy.
  WriteText(LookupText("ExtractTemp"));
  win::Handle library, payload;
  if (!Hold("7z.dll", WriteResourceFile("7zDLL", "7z.dll"), library)) return false;
  progress(4);
  if (!Hold("Velund.7z", WriteResourceFile("KYR7z", "Velund.7z"), payload)) return false;
  progress(10);

  archive = sevenzip::CreateInArchive(sevenzip::CLSID_CFormat7z, "7z.dll");
  library.reset();  // loaded: Windows now keeps the mapped file from being written or deleted
  std::exception_ptr raised;
  DWORD lastError = ERROR_SUCCESS;
  std::string installerBytes;
  try {
    win::SetLastError(ERROR_SUCCESS);
    archive->OpenArchiveFile("Velund.7z");
    archive->SetPassword(kPayloadPassword);
    archive->ExtractToFolder(tempdir + "\\");
    lastError = win::GetLastError();
    installerBytes = ItemBytes(*archive.get(), kPayloadInstaller);
  } catch (...) {
    raised = std::current_exception();
  }
  // An extraction that raised has failed, whatever the last error says: a damaged payload is
  // never reported as extracted.
  const bool failed = raised != nullptr || lastError != ERROR_SUCCESS;
  WriteLine(LookupText(failed ? "Fail" : "Done"));
  archive->CloseArchive();
  if (raised) std::rethrow_exception(raised);
  payload.reset();
  if (!Hold(kPayloadInstaller, installerBytes, installer)) return false;
  WriteEmptyLine();
  progress(30);
  return true;
}
