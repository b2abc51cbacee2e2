// Owning handle types of the seam: each closes its handle when it goes out of scope.
#pragma once

#include <utility>

#include "platform/win32_types.h"

namespace win {

BOOL CloseHandle(HANDLE handle);
BOOL FindVolumeClose(HANDLE find);
LSTATUS RegCloseKey(HKEY key);

// A kernel handle (file, device, process, thread, event). Both null and INVALID_HANDLE_VALUE
// count as "no handle", since Win32 uses one or the other depending on the call.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  Handle(Handle&& other) noexcept : handle_(other.release()) {}
  Handle& operator=(Handle&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Handle() { reset(); }

  HANDLE get() const { return handle_; }
  bool valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

  HANDLE release() { return std::exchange(handle_, INVALID_HANDLE_VALUE); }
  void reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    HANDLE old = std::exchange(handle_, handle);
    if (old != nullptr && old != INVALID_HANDLE_VALUE) CloseHandle(old);
  }

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// An open registry key. The predefined roots (HKEY_CURRENT_USER, ...) are never closed.
class RegKey {
 public:
  RegKey() = default;
  explicit RegKey(HKEY key) : key_(key) {}
  RegKey(const RegKey&) = delete;
  RegKey& operator=(const RegKey&) = delete;
  RegKey(RegKey&& other) noexcept : key_(other.release()) {}
  RegKey& operator=(RegKey&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~RegKey() { reset(); }

  HKEY get() const { return key_; }
  bool valid() const { return key_ != nullptr; }
  explicit operator bool() const { return valid(); }

  HKEY release() { return std::exchange(key_, nullptr); }
  void reset(HKEY key = nullptr) {
    HKEY old = std::exchange(key_, key);
    if (old != nullptr) win::RegCloseKey(old);  // qualified: HKEY would also find ::RegCloseKey
  }

 private:
  HKEY key_ = nullptr;
};

// A volume search of FindFirstVolumeW, ended by FindVolumeClose.
class VolumeFind {
 public:
  VolumeFind() = default;
  explicit VolumeFind(HANDLE find) : find_(find) {}
  VolumeFind(const VolumeFind&) = delete;
  VolumeFind& operator=(const VolumeFind&) = delete;
  VolumeFind(VolumeFind&& other) noexcept : find_(std::exchange(other.find_, INVALID_HANDLE_VALUE)) {}
  VolumeFind& operator=(VolumeFind&& other) noexcept {
    if (this != &other) reset(std::exchange(other.find_, INVALID_HANDLE_VALUE));
    return *this;
  }
  ~VolumeFind() { reset(); }

  HANDLE get() const { return find_; }
  bool valid() const { return find_ != INVALID_HANDLE_VALUE; }
  explicit operator bool() const { return valid(); }

  void reset(HANDLE find = INVALID_HANDLE_VALUE) {
    HANDLE old = std::exchange(find_, find);
    if (old != INVALID_HANDLE_VALUE) win::FindVolumeClose(old);
  }

 private:
  HANDLE find_ = INVALID_HANDLE_VALUE;
};

}  // namespace win

namespace win {

BOOL FreeLibrary(HMODULE module);

// A loaded library, freed when it goes out of scope.
class Library {
 public:
  Library() = default;
  explicit Library(HMODULE module) : module_(module) {}
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  Library(Library&& other) noexcept : module_(other.release()) {}
  Library& operator=(Library&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  ~Library() { reset(); }

  HMODULE get() const { return module_; }
  bool valid() const { return module_ != nullptr; }
  explicit operator bool() const { return valid(); }

  HMODULE release() { return std::exchange(module_, nullptr); }
  void reset(HMODULE module = nullptr) {
    HMODULE old = std::exchange(module_, module);
    if (old != nullptr) win::FreeLibrary(old);
  }

 private:
  HMODULE module_ = nullptr;
};

}  // namespace win
