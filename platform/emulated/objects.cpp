#include "platform/emulated/objects.h"

#include <cxxabi.h>

#include <cstdlib>
#include <mutex>
#include <typeinfo>
#include <unordered_map>

#include "platform/seam.h"

namespace emu {

DWORD KernelObject::Write(const void*, DWORD, DWORD* written) {
  if (written) *written = 0;
  return ERROR_INVALID_HANDLE;
}

DWORD KernelObject::Read(void*, DWORD, DWORD* read) {
  if (read) *read = 0;
  return ERROR_INVALID_HANDLE;
}

DWORD KernelObject::Seek(LONGLONG, DWORD, LONGLONG*) { return ERROR_INVALID_FUNCTION; }

DWORD KernelObject::Control(DWORD, const void*, DWORD, void*, DWORD, DWORD* returned) {
  if (returned) *returned = 0;
  return ERROR_INVALID_FUNCTION;
}

DWORD KernelObject::Wait(DWORD) { return WAIT_FAILED; }

DWORD MovePosition(LONGLONG& position, LONGLONG distance, DWORD moveMethod,
                   const std::function<DWORD(LONGLONG&)>& end, LONGLONG* newPosition) {
  LONGLONG base = 0;
  if (moveMethod == FILE_CURRENT) {
    base = position;
  } else if (moveMethod == FILE_END) {
    if (DWORD status = end(base); status != ERROR_SUCCESS) return status;
  } else if (moveMethod != FILE_BEGIN) {
    return ERROR_INVALID_PARAMETER;
  }
  if (base + distance < 0) return ERROR_NEGATIVE_SEEK;
  position = base + distance;
  if (newPosition) *newPosition = position;
  return ERROR_SUCCESS;
}

namespace {

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<ULONG_PTR, std::shared_ptr<KernelObject>> objects;
  ULONG_PTR next = 0x100;
};

HandleTable& Table() {
  static HandleTable table;
  return table;
}

}  // namespace

HANDLE InsertHandle(std::shared_ptr<KernelObject> object) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  ULONG_PTR value = table.next;
  table.next += 4;
  table.objects.emplace(value, std::move(object));
  return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<KernelObject> LookupHandle(HANDLE handle) {
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<ULONG_PTR>(handle));
  return it == table.objects.end() ? nullptr : it->second;
}

bool RemoveHandle(HANDLE handle) {
  std::shared_ptr<KernelObject> object;  // destroyed outside the lock
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  auto it = table.objects.find(reinterpret_cast<ULONG_PTR>(handle));
  if (it == table.objects.end()) return false;
  object = std::move(it->second);
  table.objects.erase(it);
  return true;
}

std::vector<std::string> OpenHandleKinds() {
  std::vector<std::string> kinds;
  HandleTable& table = Table();
  std::lock_guard lock(table.mutex);
  for (const auto& [value, object] : table.objects) {
    const KernelObject& kernelObject = *object;
    const char* mangled = typeid(kernelObject).name();
    int status = 0;
    char* readable = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    kinds.emplace_back(status == 0 && readable ? readable : mangled);
    std::free(readable);
  }
  return kinds;
}

}  // namespace emu

namespace win {

BOOL CloseHandle(HANDLE handle) {
  if (!emu::RemoveHandle(handle)) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  return TRUE;
}

}  // namespace win
