// Writing a boot configuration store without the boot configuration interfaces: the store's key
// tree is built in a work key of the current user's registry, saved as a hive file at each
// target, and the work key is deleted again.
#pragma once

#include <array>
#include <stdexcept>
#include <string>
#include <string_view>

#include "platform/win32_types.h"

// The store tree is built here; "SOFTWARE\VELUND" itself belongs to the whole program.
inline constexpr char kBcdWorkKey[] = "SOFTWARE\\VELUND\\BCD";
inline constexpr char kBcdWorkKeyObjectName[] = "CURRENT_USER\\SOFTWARE\\VELUND\\BCD";

// Partition device data of a device element: 88 bytes.
using BcdDeviceData = std::array<BYTE, 88>;

// All zero but the device kind (6, a partition) at byte 16 and the length 72 at byte 24.
BcdDeviceData NewPartitionDevice();

// Enables one privilege in the process token; failures are silent.
void EnablePrivilege(std::string_view privilegeName);

// Replaces the DACL of the named registry key with one entry giving Everyone full access,
// inherited by all subkeys; failures are silent.
void GrantEveryoneFullAccess(std::string_view objectName);

// Raised when a value of the store cannot be set; it ends the install worker.
class BcdWriteError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// One store under construction in the work key. Object GUIDs are given in braces, lower case;
// element ids as eight hexadecimal digits.
class BcdStoreWriter {
 public:
  // The frame's first steps: the privileges, the Description values ("System" and
  // "TreatAsSystem" both `system`), the access rule on the work key. A work key left behind by
  // an earlier failed build is deleted first, so that none of its objects reaches this store.
  explicit BcdStoreWriter(bool system);

  void SetObjectType(std::string_view object, DWORD type);
  void CreateElementsKey(std::string_view object);  // an object with no element yet
  void CreateElementKey(std::string_view object, std::string_view element);
  void SetString(std::string_view object, std::string_view element, std::string_view text);
  // Like every value of the store, a list that cannot be set raises: a store without its
  // inheritance would load without the global settings.
  void SetObjectList(std::string_view object, std::string_view element, std::string_view guid);
  void SetInteger(std::string_view object, std::string_view element, ULONGLONG value);
  void SetBoolean(std::string_view object, std::string_view element, bool value);
  void SetDevice(std::string_view object, std::string_view element, const BcdDeviceData& data);

  // Saves the work key with everything below it as a hive file that must not exist yet.
  bool SaveTo(const std::string& path);

  // Deletes the work key with all its subkeys.
  void DeleteWorkKey();

 private:
  // Opens or creates the key, sets the value, closes the key: one value per open and close.
  LSTATUS WriteValue(std::string_view keyPath, std::string_view name, DWORD type,
                     const BYTE* data, DWORD size);
  void WriteValueOrRaise(std::string_view keyPath, std::string_view name, DWORD type,
                         const BYTE* data, DWORD size);
  void CreateKey(std::string_view keyPath);
};
