#include "bcd/store_builders.h"

#include "bcd/partition_device.h"
#include "bcd/store_writer.h"
#include "platform/seam.h"

namespace {

// Objects, by the names the boot manager knows them by.
constexpr char kBootMgr[] = "{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
constexpr char kGlobalSettings[] = "{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}";
constexpr char kBootLoaderSettings[] = "{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}";
constexpr char kRamdiskOptions[] = "{ae5534e0-a924-466c-b836-758539a3ee3a}";
constexpr char kVhdLoader[] = "{19260817-6666-8888-abcd-000000000000}";

constexpr DWORD kTypeBootMgr = 0x10100002;
constexpr DWORD kTypeGlobalSettings = 0x20100000;
constexpr DWORD kTypeBootLoaderSettings = 0x20200003;
constexpr DWORD kTypeRamdiskOptions = 0x30000000;
constexpr DWORD kTypeOsLoader = 0x10200003;

// Elements.
constexpr char kDescription[] = "12000004";
constexpr char kPreferredLocale[] = "12000005";
constexpr char kLoadOptions[] = "12000030";
constexpr char kInheritedObjects[] = "14000006";
constexpr char kDisableIntegrityChecks[] = "16000048";
constexpr char kTimeout[] = "25000004";
constexpr char kDisplayBootMenu[] = "26000020";
constexpr char kRamdiskSdiDevice[] = "31000003";
constexpr char kRamdiskSdiPath[] = "32000004";

bool Exists(const std::string& path) {
  return win::GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

bool IsFolder(const std::string& path) {
  const DWORD attributes = win::GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureFolder(const std::string& path) {
  return IsFolder(path) || win::CreateDirectoryW(path, nullptr);
}

// {globalsettings}, {bootloadersettings} and the {bootmgr} head that both kinds share.
void WriteSettingsAndBootMgrHead(BcdStoreWriter& store) {
  store.SetObjectType(kGlobalSettings, kTypeGlobalSettings);
  store.CreateElementsKey(kGlobalSettings);
  store.SetObjectType(kBootLoaderSettings, kTypeBootLoaderSettings);
  store.SetObjectList(kBootLoaderSettings, kInheritedObjects, kGlobalSettings);
  store.SetObjectType(kBootMgr, kTypeBootMgr);
  store.SetString(kBootMgr, kDescription, "Windows Boot Manager");
}

}  // namespace

bool BuildMenuBcd(const std::string& drive) {
  BcdStoreWriter store(false);

  store.SetObjectType(kRamdiskOptions, kTypeRamdiskOptions);
  store.SetString(kRamdiskOptions, kRamdiskSdiPath, "\\KYR\\PXE\\MS\\boot.sdi");
  store.CreateElementKey(kRamdiskOptions, kRamdiskSdiDevice);
  BcdDeviceData device = NewPartitionDevice();
  if (!FillPartitionDevice(drive, device)) return false;
  store.SetDevice(kRamdiskOptions, kRamdiskSdiDevice, device);

  WriteSettingsAndBootMgrHead(store);
  store.SetString(kBootMgr, kLoadOptions, "DDISABLE_INTEGRITY_CHECKS");
  store.SetObjectList(kBootMgr, kInheritedObjects, kGlobalSettings);
  store.SetInteger(kBootMgr, kTimeout, 30);
  store.SetBoolean(kBootMgr, kDisableIntegrityChecks, true);
  store.SetBoolean(kBootMgr, kDisplayBootMenu, true);
  store.SetString(kBootMgr, kPreferredLocale, "en-US");

  // One target after the other: prepared, then saved.
  for (const char* name : {"\\KYR\\Menu\\BCD_pc", "\\KYR\\Menu\\BCD_efi"}) {
    const std::string target = drive + name;
    if (Exists(target) && !win::DeleteFileW(target)) return false;
    if (!store.SaveTo(target)) return false;
  }
  store.DeleteWorkKey();
  return true;
}

bool BuildEspBcd(const std::string& root) {
  BcdStoreWriter store(true);

  WriteSettingsAndBootMgrHead(store);
  store.SetObjectList(kBootMgr, kInheritedObjects, kGlobalSettings);
  store.SetInteger(kBootMgr, kTimeout, 30);
  store.SetBoolean(kBootMgr, kDisableIntegrityChecks, true);
  store.SetString(kBootMgr, kPreferredLocale, "en-US");
  store.SetObjectType(kVhdLoader, kTypeOsLoader);
  store.SetString(kVhdLoader, kDescription, "NT6+ VHD");

  // Both targets are prepared before either is saved.
  const std::string biosStore = root + "\\Boot\\BCD";
  if (Exists(biosStore)) {
    if (!win::DeleteFileW(biosStore)) return false;
  } else if (!EnsureFolder(root + "\\Boot")) {
    return false;
  }
  const std::string uefiStore = root + "\\EFI\\Microsoft\\Boot\\BCD";
  if (Exists(uefiStore)) {
    if (!win::DeleteFileW(uefiStore)) return false;
  } else if (!EnsureFolder(root + "\\EFI\\Microsoft") ||
             !EnsureFolder(root + "\\EFI\\Microsoft\\Boot")) {
    return false;
  }

  const bool saved = store.SaveTo(biosStore) && store.SaveTo(uefiStore);
  store.DeleteWorkKey();
  return saved;
}
