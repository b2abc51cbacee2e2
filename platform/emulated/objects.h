// Kernel objects of the emulated machine and the process's handle table.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32_types.h"

namespace emu {

// Something a HANDLE can refer to. Operations an object does not support fail the way Windows
// fails them for such an object.
class KernelObject {
 public:
  virtual ~KernelObject() = default;

  virtual DWORD FileType() const { return FILE_TYPE_UNKNOWN; }

  // WriteFile / ReadFile. On failure return the error code; on success ERROR_SUCCESS.
  virtual DWORD Write(const void* data, DWORD size, DWORD* written);
  virtual DWORD Read(void* data, DWORD size, DWORD* read);
  // SetFilePointerEx.
  virtual DWORD Seek(LONGLONG distance, DWORD moveMethod, LONGLONG* newPosition);
  // DeviceIoControl.
  virtual DWORD Control(DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize,
                        DWORD* returned);
  // WaitForSingleObject: WAIT_OBJECT_0, WAIT_TIMEOUT, or WAIT_FAILED for objects one cannot wait on.
  virtual DWORD Wait(DWORD milliseconds);
};

// SetFilePointerEx's arithmetic for objects with a position: `end` gives the length for FILE_END
// (an error code when it cannot be had).
DWORD MovePosition(LONGLONG& position, LONGLONG distance, DWORD moveMethod,
                   const std::function<DWORD(LONGLONG&)>& end, LONGLONG* newPosition);

// Handle values are multiples of 4, never null or INVALID_HANDLE_VALUE, as on Windows.
HANDLE InsertHandle(std::shared_ptr<KernelObject> object);
std::shared_ptr<KernelObject> LookupHandle(HANDLE handle);
template <class T>
std::shared_ptr<T> LookupHandleAs(HANDLE handle) {
  return std::dynamic_pointer_cast<T>(LookupHandle(handle));
}
// Removes the handle; false when it was not open.
bool RemoveHandle(HANDLE handle);
// The kinds (class names) of the objects behind the handles still open, for the fault sweep's
// report of handles a run left open.
std::vector<std::string> OpenHandleKinds();

}  // namespace emu
