// Per-thread last error and the system's English message texts.
#include <string_view>
#include <unordered_map>

#include "platform/seam.h"
#include "platform/text.h"

namespace {

thread_local DWORD lastError = ERROR_SUCCESS;

// Worded as Windows words them; FormatMessageW appends the CR LF that ends every system message.
const std::unordered_map<DWORD, std::string_view>& SystemMessages() {
  static const std::unordered_map<DWORD, std::string_view> messages = {
      {0, "The operation completed successfully."},
      {1, "Incorrect function."},
      {2, "The system cannot find the file specified."},
      {3, "The system cannot find the path specified."},
      {4, "The system cannot open the file."},
      {5, "Access is denied."},
      {6, "The handle is invalid."},
      {8, "Not enough memory resources are available to process this command."},
      {13, "The data is invalid."},
      {14, "Not enough memory resources are available to complete this operation."},
      {15, "The system cannot find the drive specified."},
      {18, "There are no more files."},
      {19, "The media is write protected."},
      {21, "The device is not ready."},
      {23, "Data error (cyclic redundancy check)."},
      {27, "The drive cannot find the sector requested."},
      {29, "The system cannot write to the specified device."},
      {30, "The system cannot read from the specified device."},
      {31, "A device attached to the system is not functioning."},
      {32, "The process cannot access the file because it is being used by another process."},
      {33, "The process cannot access the file because another process has locked a portion of "
           "the file."},
      {38, "Reached the end of the file."},
      {39, "The disk is full."},
      {50, "The request is not supported."},
      {80, "The file exists."},
      {87, "The parameter is incorrect."},
      {109, "The pipe has been ended."},
      {112, "There is not enough space on the disk."},
      {122, "The data area passed to a system call is too small."},
      {123, "The filename, directory name, or volume label syntax is incorrect."},
      {126, "The specified module could not be found."},
      {127, "The specified procedure could not be found."},
      {131, "An attempt was made to move the file pointer before the beginning of the file."},
      {145, "The directory is not empty."},
      {158, "The segment is already unlocked."},
      {161, "The specified path is invalid."},
      {170, "The requested resource is in use."},
      {183, "Cannot create a file when that file already exists."},
      {193, "%1 is not a valid Win32 application."},
      {203, "The system could not find the environment option that was entered."},
      {206, "The filename or extension is too long."},
      {234, "More data is available."},
      {258, "The wait operation timed out."},
      {259, "No more data is available."},
      {267, "The directory name is invalid."},
      {317, "The system cannot find message text for message number 0x%1 in the message file "
            "for %2."},
      {487, "Attempt to access invalid address."},
      {998, "Invalid access to memory location."},
      {1004, "Invalid flags."},
      {1005, "The volume does not contain a recognized file system.\r\nPlease make sure that all "
             "required file system drivers are loaded and that the volume is not corrupted."},
      {1006, "The volume for a file has been externally altered so that the opened file is no "
             "longer valid."},
      {1011, "The configuration registry key could not be opened."},
      {1012, "The configuration registry key could not be read."},
      {1013, "The configuration registry key could not be written."},
      {1015, "The registry is corrupted. The structure of one of the files containing registry "
             "data is corrupted, or the system's memory image of the file is corrupted, or the "
             "file could not be recovered because the alternate copy or log was absent or "
             "corrupted."},
      {1018, "Illegal operation attempted on a registry key that has been marked for deletion."},
      {1021, "Cannot create a stable subkey under a volatile parent key."},
      {1117, "The request could not be performed because of an I/O device error."},
      {1167, "The device is not connected."},
      {1168, "Element not found."},
      {1223, "The operation was canceled by the user."},
      {1224, "The requested operation cannot be performed on a file with a user-mapped section "
             "open."},
      {1300, "Not all privileges or groups referenced are assigned to the caller."},
      {1313, "A specified privilege does not exist."},
      {1314, "A required privilege is not held by the client."},
      {1332, "No mapping between account names and security IDs was done."},
      {1336, "The access control list (ACL) structure is invalid."},
      {1337, "The security ID structure is invalid."},
      {1338, "The security descriptor structure is invalid."},
      {1359, "An internal error occurred."},
      {1392, "The file or directory is corrupted and unreadable."},
      {1450, "Insufficient system resources exist to complete the requested service."},
      {1460, "This operation returned because the timeout period expired."},
      {1785, "The disk media is not recognized. It may not be formatted."},
      {1812, "The specified image file did not contain a resource section."},
      {1813, "The specified resource type cannot be found in the image file."},
      {1814, "The specified resource name cannot be found in the image file."},
      {1816, "Not enough quota is available to process this command."},
      // COM results that carry no Win32 code.
      {0x80004001, "Not implemented"},
      {0x80004002, "No such interface supported"},
      {0x80004003, "Invalid pointer"},
      {0x80004004, "Operation aborted"},
      {0x80004005, "Unspecified error"},
      {0x8000FFFF, "Catastrophic failure"},
      {0x80040111, "ClassFactory cannot supply requested class"},
  };
  return messages;
}

bool IsSystemLanguage(DWORD languageId) {
  // LANG_NEUTRAL with any sublanguage, and US English: the languages this machine has.
  return (languageId & 0x3FF) == 0 || languageId == 0x0409;
}

}  // namespace

namespace win {

DWORD GetLastError() { return lastError; }
void SetLastError(DWORD code) { lastError = code; }

DWORD FormatMessageW(DWORD flags, const void* source, DWORD messageId, DWORD languageId,
                     std::string& buffer) {
  buffer.clear();
  (void)source;
  if ((flags & FORMAT_MESSAGE_FROM_SYSTEM) == 0 || (flags & FORMAT_MESSAGE_FROM_STRING) != 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return 0;
  }
  if (!IsSystemLanguage(languageId)) {
    SetLastError(15100);  // ERROR_RESOURCE_LANG_NOT_FOUND
    return 0;
  }
  // HRESULT_FROM_WIN32 codes carry the Win32 message.
  DWORD id = messageId;
  if ((id & 0xFFFF0000) == 0x80070000) id &= 0xFFFF;
  const auto& messages = SystemMessages();
  auto it = messages.find(id);
  if (it == messages.end()) {
    SetLastError(ERROR_MR_MID_NOT_FOUND);
    return 0;
  }
  buffer.assign(it->second);
  buffer += "\r\n";
  return static_cast<DWORD>(Utf8ToUtf16(buffer).size());
}

}  // namespace win
