// The boot configuration stores read back with hivex, an independent reader of hive files, and
// compared with the tables of objects, elements and encodings they must hold.
#include "bcd/store_builders.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>

#include <nlohmann/json.hpp>

#include "bcd/partition_device.h"
#include "bcd/store_writer.h"
#include "platform/emulated/faults.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/registry_store.h"
#include "platform/emulated/security_descriptor.h"
#include "platform/emulated/storage.h"
#include "platform/emulated/volume_format.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_machine.h"
#include "tests/test_support.h"

namespace {

using nlohmann::json;

// Every key of a hive by its path below the root ("" for the root), with its values as
// [name, type, hex data].
constexpr char kFlatDumpScript[] = R"(import hivex, json, sys
h = hivex.Hivex(sys.argv[1])
keys = {}
def walk(n, path):
    keys[path] = sorted([h.value_key(v), *h.value_value(v)] for v in h.node_values(n))
    keys[path] = [[k, t, d.hex()] for k, t, d in keys[path]]
    for c in h.node_children(n):
        walk(c, (path + "\\" if path else "") + h.node_name(c))
walk(h.root(), "")
print(json.dumps(keys))
)";

using Values = std::vector<std::tuple<std::string, int, std::string>>;
using Store = std::map<std::string, Values>;

std::string Hex(const std::vector<BYTE>& bytes) {
  std::string hex;
  for (BYTE b : bytes) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  return hex;
}

// A registry string as UTF-16LE with its terminating NUL, spelled out here rather than by the
// encoder the stores are written with. Every text of the stores is ASCII.
std::string StringHex(std::string_view ascii) {
  std::string hex;
  for (char c : ascii) hex += Hex({static_cast<BYTE>(c), 0});
  return hex + "0000";
}
std::string DwordHex(DWORD value) {
  return Hex({BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)});
}

constexpr char kBootMgr[] = "Objects\\{9dea862c-5cdd-4e70-acc1-f32b344d4795}";
constexpr char kGlobal[] = "Objects\\{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}";
constexpr char kLoader[] = "Objects\\{6efb52bf-1766-41db-a6b3-0ee5eff72bd7}";
constexpr char kRamdisk[] = "Objects\\{ae5534e0-a924-466c-b836-758539a3ee3a}";
constexpr char kVhd[] = "Objects\\{19260817-6666-8888-abcd-000000000000}";

// The object list of {globalsettings}: 38 characters, the string's NUL and the list's NUL, 80
// bytes.
std::string GlobalSettingsList() {
  const std::string list = StringHex("{7ea2e1ac-2e61-4728-aaa3-896d9d0a9f0e}") + "0000";
  EXPECT_EQ(list.size(), 2 * 80u);
  EXPECT_EQ(list.substr(0, 8), "7b003700");  // "{7"
  return list;
}

// Adds an object's keys: Description with Type, Elements, and one key per element.
void AddObject(Store& store, const std::string& object, DWORD type,
               const std::vector<std::pair<std::string, std::pair<int, std::string>>>& elements) {
  store[object] = {};
  store[object + "\\Description"] = {{"Type", REG_DWORD, DwordHex(type)}};
  store[object + "\\Elements"] = {};
  for (const auto& [id, value] : elements) {
    store[object + "\\Elements\\" + id] = {{"Element", value.first, value.second}};
  }
}

Store CommonStore(DWORD system) {
  Store store;
  store[""] = {};
  store["Description"] = {{"System", REG_DWORD, DwordHex(system)},
                          {"TreatAsSystem", REG_DWORD, DwordHex(system)}};
  store["Objects"] = {};
  AddObject(store, kGlobal, 0x20100000, {});
  AddObject(store, kLoader, 0x20200003, {{"14000006", {REG_MULTI_SZ, GlobalSettingsList()}}});
  return store;
}

Store ExpectedMenuStore(const std::string& deviceHex) {
  Store store = CommonStore(0);
  AddObject(store, kRamdisk, 0x30000000,
            {{"32000004", {REG_SZ, StringHex("\\KYR\\PXE\\MS\\boot.sdi")}},
             {"31000003", {REG_BINARY, deviceHex}}});
  AddObject(store, kBootMgr, 0x10100002,
            {{"12000004", {REG_SZ, StringHex("Windows Boot Manager")}},
             {"12000030", {REG_SZ, StringHex("DDISABLE_INTEGRITY_CHECKS")}},
             {"14000006", {REG_MULTI_SZ, GlobalSettingsList()}},
             {"25000004", {REG_BINARY, "1e00000000000000"}},
             {"16000048", {REG_BINARY, "01"}},
             {"26000020", {REG_BINARY, "01"}},
             {"12000005", {REG_SZ, StringHex("en-US")}}});
  return store;
}

Store ExpectedEspStore() {
  Store store = CommonStore(1);
  AddObject(store, kBootMgr, 0x10100002,
            {{"12000004", {REG_SZ, StringHex("Windows Boot Manager")}},
             {"14000006", {REG_MULTI_SZ, GlobalSettingsList()}},
             {"25000004", {REG_BINARY, "1e00000000000000"}},
             {"16000048", {REG_BINARY, "01"}},
             {"12000005", {REG_SZ, StringHex("en-US")}}});
  AddObject(store, kVhd, 0x10200003, {{"12000004", {REG_SZ, StringHex("NT6+ VHD")}}});
  return store;
}

std::string Describe(const Store& store) {
  std::string text;
  for (const auto& [path, values] : store) {
    text += "[" + path + "]\n";
    for (const auto& [name, type, data] : values) {
      text += "  " + name + " " + std::to_string(type) + " " + data + "\n";
    }
  }
  return text;
}

class StoreBuildersTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    AddStick(1, 261);
  }

  std::string Image() { return DiskImage(1); }

  // The partitions at sectors 2048 (409600 sectors, NTFS) and 411648 (204800 sectors, FAT32), if
  // the script has them, are formatted.
  void Partition(const std::string& script) {
    ShellOutput("(printf '" + script + "' | sfdisk --no-reread --no-tell-kernel " + Image() + ")");
    std::string error;
    const std::pair<ULONGLONG, const char*> volumes[] = {{2048, "NTFS"}, {411648, "FAT32"}};
    for (const auto& [start, fileSystem] : volumes) {
      const ULONGLONG length = (start == 2048 ? 409600ULL : 204800ULL) * 512;
      if (script.find("start=" + std::to_string(start)) == std::string::npos) continue;
      ASSERT_TRUE(emu::FormatVolume({Image(), start * 512, length, 512, 63, 255, fileSystem, ""},
                                    error))
          << error;
    }
    emu::Machine::Use(directory_);
  }

  json Table() {
    return json::parse(ShellOutput("sfdisk --json " + Image()))["partitiontable"];
  }

  Store Dump(const std::filesystem::path& file) {
    const auto script = directory_ / "dump_store.py";
    std::ofstream(script) << kFlatDumpScript;
    const std::string out = ShellOutput("/usr/bin/python3 '" + script.string() + "' '" +
                                        file.string() + "'");
    Store store;
    const json keys = json::parse(out);
    for (const auto& [path, values] : keys.items()) {
      Values& list = store[path];
      for (const auto& value : values) {
        list.emplace_back(value[0].get<std::string>(), value[1].get<int>(),
                          value[2].get<std::string>());
      }
      std::sort(list.begin(), list.end());
    }
    return store;
  }

  static Store Sorted(Store store) {
    for (auto& [path, values] : store) std::sort(values.begin(), values.end());
    return store;
  }

  static std::string ReadFile(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // The same saved tree: byte for byte, apart from the file name the base block records (bytes
  // 48 to 111) and its checksum.
  static bool SameHive(const std::filesystem::path& a, const std::filesystem::path& b) {
    std::string first = ReadFile(a), second = ReadFile(b);
    if (first.size() != second.size() || first.size() < 4096) return false;
    for (std::string* bytes : {&first, &second}) {
      std::fill(bytes->begin() + 48, bytes->begin() + 112, '\0');
      std::fill(bytes->begin() + 508, bytes->begin() + 512, '\0');
    }
    return first == second;
  }

  static bool WorkKeyExists() {
    win::RegKey key;
    return win::RegOpenKeyExW(HKEY_CURRENT_USER, kBcdWorkKey, 0, KEY_READ, key) == ERROR_SUCCESS;
  }
};

// Bytes 32 to 71 as the layout says they must be; the rest fixed.
std::string MbrDeviceHex(ULONGLONG offset, DWORD signature) {
  std::vector<BYTE> data(88, 0);
  data[16] = 6, data[24] = 0x48, data[52] = 1;
  for (int i = 0; i < 8; ++i) data[32 + i] = BYTE(offset >> (8 * i));
  for (int i = 0; i < 4; ++i) data[56 + i] = BYTE(signature >> (8 * i));
  return Hex(data);
}

// A GUID's text as Windows keeps it in memory: the first three groups little-endian.
std::string GuidBytesHex(std::string text) {
  std::erase(text, '-');
  std::string hex;
  for (int i : {6, 4, 2, 0, 10, 8, 14, 12}) hex += text.substr(i, 2);
  hex += text.substr(16);
  for (char& c : hex) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return hex;
}

TEST_F(StoreBuildersTest, MenuStoresOnMbrDescribeTheNtfsPartition) {
  Partition("label: dos\\nlabel-id: 0x1a2b3c4d\\nstart=2048, size=409600, type=7\\n"
            "start=411648, size=204800, type=c\\n");
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR\\Menu", nullptr));

  ASSERT_TRUE(BuildMenuBcd("D:"));
  const auto pc = HostPath('D', "KYR/Menu/BCD_pc");
  const auto efi = HostPath('D', "KYR/Menu/BCD_efi");
  const Store expected = Sorted(ExpectedMenuStore(MbrDeviceHex(2048 * 512, 0x1a2b3c4d)));
  EXPECT_EQ(Describe(Dump(pc)), Describe(expected));
  EXPECT_TRUE(SameHive(pc, efi));  // one tree, saved twice
  EXPECT_FALSE(WorkKeyExists());

  // Both stores exist: a second build replaces them.
  ASSERT_TRUE(BuildMenuBcd("D:"));
  EXPECT_EQ(Describe(Dump(efi)), Describe(expected));
}

TEST_F(StoreBuildersTest, MenuStoresOnGptCarryThePartitionAndDiskGuids) {
  Partition("label: gpt\\nstart=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n"
            "start=411648, size=204800, type=C12A7328-F81F-11D2-BA4B-00A0C93EC93B\\n");
  const json table = Table();
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR\\Menu", nullptr));

  ASSERT_TRUE(BuildMenuBcd("D:"));
  std::vector<BYTE> device(88, 0);
  device[16] = 6, device[24] = 0x48;
  std::string hex = Hex(device);
  hex.replace(64, 32, GuidBytesHex(table["partitions"][0]["uuid"].get<std::string>()));
  hex.replace(112, 32, GuidBytesHex(table["id"].get<std::string>()));
  EXPECT_EQ(Describe(Dump(HostPath('D', "KYR/Menu/BCD_efi"))),
            Describe(Sorted(ExpectedMenuStore(hex))));
}

TEST_F(StoreBuildersTest, EspStoresCreateTheirFoldersAndReplaceOldStores) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));

  ASSERT_TRUE(BuildEspBcd("E:"));
  const Store expected = Sorted(ExpectedEspStore());
  const auto bios = HostPath('E', "Boot/BCD");
  const auto uefi = HostPath('E', "EFI/Microsoft/Boot/BCD");
  EXPECT_EQ(Describe(Dump(bios)), Describe(expected));
  EXPECT_TRUE(SameHive(bios, uefi));
  EXPECT_FALSE(WorkKeyExists());

  // Only the UEFI store, and not a store at all: both are written anew.
  std::filesystem::remove(bios);
  std::ofstream(uefi, std::ios::trunc) << "not a hive";
  ASSERT_TRUE(BuildEspBcd("E:"));
  EXPECT_EQ(Describe(Dump(uefi)), Describe(expected));
  EXPECT_EQ(Describe(Dump(bios)), Describe(expected));

  // Through the volume's name, as partition mode calls it.
  std::string guidPath;
  {
    auto locked = emu::Storage::Lock();
    guidPath = "\\\\?\\Volume" + locked.storage.FindVolumeByLetter('E')->guid;
  }
  ASSERT_TRUE(BuildEspBcd(guidPath));
  EXPECT_EQ(Describe(Dump(uefi)), Describe(expected));
}

TEST_F(StoreBuildersTest, EspStoresFailWhenAFolderCannotBeMadeOrASaveFails) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  // No \EFI: the UEFI store's folders cannot be made below it.
  EXPECT_FALSE(BuildEspBcd("E:"));
  EXPECT_TRUE(WorkKeyExists());  // left behind, as a failed preparation leaves it

  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
  emu::InjectFault({"CreateFileW", "E:\\EFI\\Microsoft\\Boot\\BCD", std::nullopt, ERROR_DISK_FULL});
  EXPECT_FALSE(BuildEspBcd("E:"));
  EXPECT_TRUE(std::filesystem::exists(HostPath('E', "Boot/BCD")));  // the first save went through
  EXPECT_FALSE(WorkKeyExists());  // deleted whether the saves succeeded or not
}

TEST_F(StoreBuildersTest, ASpannedVolumeFailsBeforeAnyFileIsTouched) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  json config = emu::Machine::Get().Config();
  config["spanned_volumes"] = json::array({json{
      {"name", "span"}, {"letter", "S"},
      {"extents", json::array({json{{"disk", 1}, {"offset", 2048 * 512}, {"length", 1 << 20}},
                               json{{"disk", 0}, {"offset", 1 << 20}, {"length", 1 << 20}}})}}});
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  emu::Machine::Use(directory_);

  BcdDeviceData device = NewPartitionDevice();
  EXPECT_FALSE(FillPartitionDevice("S:", device));
  emu::InjectFault({"CreateFileW", "S:\\KYR\\Menu\\BCD_pc", std::nullopt, ERROR_ACCESS_DENIED});
  EXPECT_FALSE(BuildMenuBcd("S:"));
  EXPECT_TRUE(WorkKeyExists());
  // No save was tried: the fault on the first target is still armed.
  EXPECT_EQ(win::CreateFileW("S:\\KYR\\Menu\\BCD_pc", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             0, nullptr),
            INVALID_HANDLE_VALUE);
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);

  // The next build starts from an empty work key: no ramdisk object of the failed menu build
  // reaches the FAT32 stores.
  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
  ASSERT_TRUE(BuildEspBcd("E:"));
  EXPECT_EQ(Describe(Dump(HostPath('E', "Boot/BCD"))), Describe(Sorted(ExpectedEspStore())));
}

TEST_F(StoreBuildersTest, PartitionDeviceOfAVolumeOutsideTheGptEntriesIsZero) {
  Partition("label: gpt\\nstart=2048, size=409600, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\\n");
  json config = emu::Machine::Get().Config();
  config["spanned_volumes"] = json::array({json{
      {"name", "stray"}, {"letter", "T"},
      {"extents", json::array({json{{"disk", 1}, {"offset", 500000 * 512LL},
                                    {"length", 1 << 20}}})}}});
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  emu::Machine::Use(directory_);

  BcdDeviceData device = NewPartitionDevice();
  EXPECT_TRUE(FillPartitionDevice("T:", device));
  EXPECT_EQ(device, NewPartitionDevice());

  // A layout that cannot be read leaves the identity zero too; a missing volume is false.
  emu::InjectFault({"DeviceIoControl", "", IOCTL_DISK_GET_DRIVE_LAYOUT_EX, ERROR_IO_DEVICE});
  device = NewPartitionDevice();
  EXPECT_TRUE(FillPartitionDevice("D:", device));
  EXPECT_EQ(device, NewPartitionDevice());
  EXPECT_FALSE(FillPartitionDevice("Q:", device));

  // A volume whose extents cannot be asked for, or whose disk cannot be opened, is false.
  emu::InjectFault({"DeviceIoControl", "\\\\.\\D:", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                    ERROR_IO_DEVICE});
  EXPECT_FALSE(FillPartitionDevice("D:", device));
  emu::InjectFault({"CreateFileW", "\\\\.\\PHYSICALDRIVE1", std::nullopt, ERROR_ACCESS_DENIED});
  EXPECT_FALSE(FillPartitionDevice("D:", device));
  EXPECT_EQ(device, NewPartitionDevice());
  EXPECT_TRUE(FillPartitionDevice("D:", device));
}

TEST_F(StoreBuildersTest, SavingNeedsTheBackupPrivilegeOfAnAdministrator) {
  json config = emu::Machine::Get().Config();
  config["elevated"] = false;
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
  EXPECT_FALSE(BuildEspBcd("E:"));
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "Boot/BCD")));
  EXPECT_FALSE(WorkKeyExists());
}

TEST_F(StoreBuildersTest, AValueThatCannotBeSetEndsTheBuildWithAnError) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
  emu::InjectFault({"RegSetValueExW", "Type", std::nullopt, ERROR_ACCESS_DENIED});
  EXPECT_THROW(BuildEspBcd("E:"), BcdWriteError);
  EXPECT_TRUE(WorkKeyExists());
  emu::ClearFaults();
  EXPECT_TRUE(BuildEspBcd("E:"));
}

// The object list through which the boot manager inherits {globalsettings}: a store saved
// without it would be reported as built while it lacks its settings.
TEST_F(StoreBuildersTest, AnObjectListThatCannotBeSetEndsTheBuildWithAnError) {
  Partition("label: dos\\nstart=2048, size=409600, type=7\\nstart=411648, size=204800, type=c\\n");
  ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR\\Menu", nullptr));

  // The ESP store's first element value is the list of {bootloadersettings}.
  emu::InjectFault({"RegSetValueExW", "Element", std::nullopt, ERROR_ACCESS_DENIED});
  EXPECT_THROW(BuildEspBcd("E:"), BcdWriteError);
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "Boot/BCD")));
  EXPECT_FALSE(std::filesystem::exists(HostPath('E', "EFI/Microsoft/Boot/BCD")));

  // The menu store writes the ramdisk's path and device first.
  emu::InjectFault({"RegSetValueExW", "Element", std::nullopt, ERROR_ACCESS_DENIED, true, 2});
  EXPECT_THROW(BuildMenuBcd("D:"), BcdWriteError);
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_pc")));
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_efi")));

  // The list of {bootmgr}, the sixth element value of the menu store.
  emu::InjectFault({"RegSetValueExW", "Element", std::nullopt, ERROR_ACCESS_DENIED, true, 5});
  EXPECT_THROW(BuildMenuBcd("D:"), BcdWriteError);
  EXPECT_FALSE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_pc")));
}

// Where each failed preparation or save of a store leaves the targets and the work key. A target
// that was there before holds "old" until it is deleted.
TEST_F(StoreBuildersTest, AFailedDeletionOrSaveOfATargetLeavesTheRestAsItStood) {
  Partition("label: dos\nlabel-id: 0x1a2b3c4d\nstart=2048, size=409600, type=7\nstart=411648, size=204800, type=c\n");
  for (const char* folder : {"D:\\KYR", "D:\\KYR\\Menu", "E:\\EFI", "E:\\Boot", "E:\\EFI\\Microsoft",
                             "E:\\EFI\\Microsoft\\Boot"}) {
    ASSERT_TRUE(win::CreateDirectoryW(folder, nullptr)) << folder;
  }
  enum class Left { Old, Gone, Store };
  struct Row {
    const char* name;
    bool menu;
    emu::Fault fault;
    Left first, second;  // BCD_pc and BCD_efi, or \Boot\BCD and \EFI\Microsoft\Boot\BCD
    bool workKeyLeft;
  };
  const Row rows[] = {
      {"menu: BCD_pc not deleted", true,
       {"DeleteFileW", "D:\\KYR\\Menu\\BCD_pc", std::nullopt, ERROR_ACCESS_DENIED}, Left::Old,
       Left::Old, true},
      {"menu: BCD_pc not saved", true,
       {"RegSaveKeyW", "D:\\KYR\\Menu\\BCD_pc", std::nullopt, ERROR_DISK_FULL}, Left::Gone,
       Left::Old, true},
      {"menu: BCD_efi not deleted", true,
       {"DeleteFileW", "D:\\KYR\\Menu\\BCD_efi", std::nullopt, ERROR_ACCESS_DENIED}, Left::Store,
       Left::Old, true},
      {"menu: BCD_efi not saved", true,
       {"RegSaveKeyW", "D:\\KYR\\Menu\\BCD_efi", std::nullopt, ERROR_DISK_FULL}, Left::Store,
       Left::Gone, true},
      {"esp: \\Boot\\BCD not deleted", false,
       {"DeleteFileW", "E:\\Boot\\BCD", std::nullopt, ERROR_ACCESS_DENIED}, Left::Old, Left::Old,
       true},
      {"esp: UEFI store not deleted", false,
       {"DeleteFileW", "E:\\EFI\\Microsoft\\Boot\\BCD", std::nullopt, ERROR_ACCESS_DENIED},
       Left::Gone, Left::Old, true},
      {"esp: \\Boot\\BCD not saved", false,
       {"RegSaveKeyW", "E:\\Boot\\BCD", std::nullopt, ERROR_DISK_FULL}, Left::Gone, Left::Gone,
       false},
      {"esp: UEFI store not saved", false,
       {"RegSaveKeyW", "E:\\EFI\\Microsoft\\Boot\\BCD", std::nullopt, ERROR_DISK_FULL},
       Left::Store, Left::Gone, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const char letter = row.menu ? 'D' : 'E';
    const std::string first = row.menu ? "KYR/Menu/BCD_pc" : "Boot/BCD";
    const std::string second = row.menu ? "KYR/Menu/BCD_efi" : "EFI/Microsoft/Boot/BCD";
    std::ofstream(HostPath(letter, first), std::ios::trunc) << "old";
    std::ofstream(HostPath(letter, second), std::ios::trunc) << "old";
    emu::InjectFault(row.fault);
    EXPECT_FALSE(row.menu ? BuildMenuBcd("D:") : BuildEspBcd("E:"));
    emu::ClearFaults();
    for (const auto& [relative, left] : {std::pair{first, row.first}, std::pair{second, row.second}}) {
      SCOPED_TRACE(relative);
      const auto path = HostPath(letter, relative);
      if (left == Left::Gone) {
        EXPECT_FALSE(std::filesystem::exists(path));
      } else if (left == Left::Old) {
        std::ifstream in(path);
        std::string text;
        in >> text;
        EXPECT_EQ(text, "old");
      } else {
        const Store expected = Sorted(row.menu ? ExpectedMenuStore(MbrDeviceHex(2048 * 512, 0x1a2b3c4d))
                                               : ExpectedEspStore());
        EXPECT_EQ(Describe(Dump(path)), Describe(expected));
      }
    }
    EXPECT_EQ(WorkKeyExists(), row.workKeyLeft);
  }
}

// A value of each kind that cannot be set raises, before any target is touched, and leaves the
// work key behind.
TEST_F(StoreBuildersTest, AValueOfAnyKindThatCannotBeSetRaisesAndLeavesTheWorkKey) {
  Partition("label: dos\nstart=2048, size=409600, type=7\nstart=411648, size=204800, type=c\n");
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR", nullptr));
  ASSERT_TRUE(win::CreateDirectoryW("D:\\KYR\\Menu", nullptr));
  struct Row {
    const char* kind;
    const char* value;
    unsigned after;  // values of that name set before it
  };
  // The menu store's values in order: the ramdisk's path (string) and device, the settings'
  // object list, two strings, an object list, the timeout (integer), two booleans, a string.
  const Row rows[] = {{"dword", "System", 0},   {"string", "Element", 0}, {"device", "Element", 1},
                      {"integer", "Element", 6}, {"boolean", "Element", 7}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.kind);
    emu::InjectFault({"RegSetValueExW", row.value, std::nullopt, ERROR_ACCESS_DENIED, true,
                      row.after});
    std::string error = "(nothing raised)";
    try {
      BuildMenuBcd("D:");
    } catch (const BcdWriteError& raised) {
      error = raised.what();
    }
    EXPECT_EQ(error, "Failed to set data for '" + std::string(row.value) + "'");
    EXPECT_TRUE(WorkKeyExists());
    EXPECT_FALSE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_pc")));
    EXPECT_FALSE(std::filesystem::exists(HostPath('D', "KYR/Menu/BCD_efi")));
    emu::ClearFaults();
  }
}

// Privileges that cannot be enabled and an access rule that cannot be set are not reported. The
// rule is not needed for the save; the backup privilege is, and without it the build is false.
TEST_F(StoreBuildersTest, PrivilegeAndAccessRuleFailuresAreSilent) {
  struct Row {
    emu::Fault fault;
    bool built;
  };
  const Row rows[] = {
      {{"GetVersionExW", "", std::nullopt, ERROR_ACCESS_DENIED, false}, false},
      {{"OpenProcessToken", "", std::nullopt, ERROR_ACCESS_DENIED, false}, false},
      {{"LookupPrivilegeValueW", "SeBackupPrivilege", std::nullopt, ERROR_NO_SUCH_PRIVILEGE,
        false}, false},
      {{"AdjustTokenPrivileges", "", std::nullopt, ERROR_ACCESS_DENIED, false}, false},
      {{"AllocateAndInitializeSid", "", std::nullopt, ERROR_NOT_ENOUGH_MEMORY, false}, true},
      {{"LookupAccountSidW", "", std::nullopt, ERROR_NONE_MAPPED, false}, true},
      {{"SetEntriesInAclW", "", std::nullopt, ERROR_NOT_ENOUGH_MEMORY, false}, true},
      {{"SetNamedSecurityInfoW", "", std::nullopt, ERROR_ACCESS_DENIED, false}, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.fault.call);
    TearDown();  // a fresh process: no privilege enabled by an earlier build
    SetUp();
    Partition("label: dos\nstart=2048, size=409600, type=7\nstart=411648, size=204800, type=c\n");
    ASSERT_TRUE(win::CreateDirectoryW("E:\\EFI", nullptr));
    emu::InjectFault(row.fault);
    EXPECT_EQ(BuildEspBcd("E:"), row.built);
    EXPECT_EQ(std::filesystem::exists(HostPath('E', "Boot/BCD")), row.built);
    EXPECT_FALSE(WorkKeyExists());
  }
}

TEST_F(StoreBuildersTest, TheWorkKeyGivesEveryoneFullInheritedAccess) {
  {
    win::RegKey key;
    ASSERT_EQ(win::RegCreateKeyExW(HKEY_CURRENT_USER, std::string(kBcdWorkKey) + "\\Objects\\x",
                                   0, 0, KEY_ALL_ACCESS, nullptr, key, nullptr),
              ERROR_SUCCESS);
  }
  GrantEveryoneFullAccess(kBcdWorkKeyObjectName);

  auto descriptorOf = [](const std::string& path) {
    win::RegKey key;
    EXPECT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, key), ERROR_SUCCESS);
    emu::RegistryKeyTree tree;
    EXPECT_EQ(emu::RegistryReadTree(key.get(), tree), ERROR_SUCCESS);
    emu::SecurityDescriptor descriptor;
    EXPECT_TRUE(emu::ParseDescriptor(*tree.security, descriptor));
    return descriptor;
  };
  const emu::SecurityDescriptor own = descriptorOf(kBcdWorkKey);
  ASSERT_TRUE(own.dacl && !own.dacl->empty());
  const emu::Ace& granted = own.dacl->front();
  EXPECT_EQ(granted.sid, emu::EveryoneSid());
  EXPECT_EQ(granted.mask, GENERIC_ALL);
  EXPECT_EQ(granted.flags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);

  // A subkey, old or new, has Everyone's full access as an inherited entry.
  const emu::SecurityDescriptor child = descriptorOf(std::string(kBcdWorkKey) + "\\Objects\\x");
  ASSERT_TRUE(child.dacl);
  bool inherited = false;
  for (const emu::Ace& ace : *child.dacl) {
    inherited |= ace.sid == emu::EveryoneSid() && ace.mask == KEY_ALL_ACCESS &&
                 (ace.flags & INHERITED_ACE) != 0 && (ace.flags & INHERIT_ONLY_ACE) == 0;
  }
  EXPECT_TRUE(inherited);
}

}  // namespace
