// Saved hives against hivex (an independent reader) and against the format's own rules, which
// CheckHive walks cell by cell.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>

#include <nlohmann/json.hpp>

#include "platform/emulated/hive_file.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_machine.h"

namespace {

// Saving needs SeBackupPrivilege enabled in the process token, as on Windows.
class HiveFileTest : public MachineTest {
 protected:
  void SetUp() override {
    MachineTest::SetUp();
    SetBackupPrivilege(true);
  }

  static void SetBackupPrivilege(bool enabled) {
    HANDLE raw = nullptr;
    ASSERT_TRUE(win::OpenProcessToken(win::GetCurrentProcess(),
                                      TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw));
    win::Handle token(raw);
    TOKEN_PRIVILEGES state{};
    state.PrivilegeCount = 1;
    ASSERT_TRUE(win::LookupPrivilegeValueW("", "SeBackupPrivilege", &state.Privileges[0].Luid));
    state.Privileges[0].Attributes = enabled ? SE_PRIVILEGE_ENABLED : 0;
    ASSERT_TRUE(win::AdjustTokenPrivileges(token.get(), FALSE, &state, 0, nullptr, nullptr));
  }
};
using nlohmann::json;

// Dumps a hive as JSON through python3-hivex: names, timestamps, values and subkeys.
constexpr char kDumpScript[] = R"(import hivex, json, sys
h = hivex.Hivex(sys.argv[1])
def node(n):
    values = [[h.value_key(v), *h.value_value(v)] for v in h.node_values(n)]
    return {"name": h.node_name(n), "time": h.node_timestamp(n),
            "values": [[k, t, d.hex()] for k, t, d in values],
            "subkeys": sorted((node(c) for c in h.node_children(n)), key=lambda k: k["name"])}
print(json.dumps(node(h.root())))
)";

std::string Run(const std::string& command, int& status) {
  std::string out;
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) out.append(buffer, n);
  status = pclose(pipe);
  return out;
}

json HivexDump(const std::filesystem::path& file) {
  const auto script = file.parent_path() / "dump_hive.py";
  std::ofstream(script) << kDumpScript;
  int status = 0;
  const std::string out = Run("/usr/bin/python3 '" + script.string() + "' '" + file.string() + "'",
                              status);
  EXPECT_EQ(status, 0) << "python3-hivex (tools/install-deps.sh) failed: " << out;
  return json::parse(out, nullptr, false);
}

std::string Hex(const std::vector<BYTE>& data) {
  std::string hex;
  for (BYTE b : data) hex += "0123456789abcdef"[b >> 4], hex += "0123456789abcdef"[b & 15];
  return hex;
}

json Expected(const emu::RegistryKeyTree& key) {
  json values = json::array();
  for (const auto& value : key.values) values.push_back({value.name, value.type, Hex(value.data)});
  std::vector<json> subkeys;
  for (const auto& child : key.subkeys) {
    if (!child.isVolatile) subkeys.push_back(Expected(child));
  }
  std::sort(subkeys.begin(), subkeys.end(),
            [](const json& a, const json& b) { return a["name"] < b["name"]; });
  return {{"name", key.name}, {"time", key.lastWrite}, {"values", values}, {"subkeys", subkeys}};
}

// The first differences between hivex's view and the expected tree, or "" when they agree.
std::string Differences(const json& actual, const json& expected) {
  std::string out;
  for (const json& change : json::diff(expected, actual)) {
    out += change["op"].get<std::string>() + " " + change["path"].get<std::string>() + "; ";
  }
  return out.substr(0, 1000);
}

std::vector<BYTE> ReadHost(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::vector<BYTE>(std::istreambuf_iterator<char>(in), {});
}

void WriteHost(const std::filesystem::path& file, const std::vector<BYTE>& bytes) {
  std::ofstream(file, std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

std::filesystem::path HostFileOnC(std::string_view name) {
  auto locked = emu::Storage::Lock();
  return locked.storage.VolumeFolder(*locked.storage.FindVolumeByLetter('C')) / name;
}

// What CheckHive saw, by key path ("" the root, "A\B" below) and "path:value".
struct HiveFacts {
  std::map<std::string, WORD> keyFlags;
  std::map<std::string, DWORD> valueSizeFields;
  std::map<std::string, std::string> classes;
  std::size_t leavesUnderIndexRoots = 0;
};

void CheckHive(const std::vector<BYTE>& f, HiveFacts& facts) {
  auto u16 = [&](std::size_t at) { return static_cast<WORD>(f.at(at) | f.at(at + 1) << 8); };
  auto u32 = [&](std::size_t at) { return static_cast<DWORD>(u16(at) | u16(at + 2) << 16); };
  ASSERT_GE(f.size(), 8192u);
  ASSERT_EQ(std::memcmp(f.data(), "regf", 4), 0);
  EXPECT_EQ(u32(4), u32(8));
  EXPECT_EQ(std::vector<DWORD>({u32(20), u32(24), u32(28), u32(32), u32(44)}),
            std::vector<DWORD>({1, 5, 0, 1, 1}));
  DWORD checksum = 0;
  for (std::size_t at = 0; at < 508; at += 4) checksum ^= u32(at);
  EXPECT_EQ(u32(508), checksum);
  EXPECT_EQ(u32(40), f.size() - 4096);

  std::set<DWORD> allocated;
  for (std::size_t bin = 4096; bin < f.size();) {
    ASSERT_EQ(std::memcmp(f.data() + bin, "hbin", 4), 0) << bin;
    EXPECT_EQ(u32(bin + 4), bin - 4096);
    const DWORD size = u32(bin + 8);
    ASSERT_TRUE(size > 0 && size % 4096 == 0 && bin + size <= f.size()) << size;
    std::size_t cell = bin + 32;
    while (cell < bin + size) {
      const auto cellSize = static_cast<LONG>(u32(cell));
      const DWORD length = static_cast<DWORD>(cellSize < 0 ? -cellSize : cellSize);
      ASSERT_TRUE(length >= 8 && length % 8 == 0 && cell + length <= bin + size) << cell;
      if (cellSize < 0) allocated.insert(static_cast<DWORD>(cell - 4096));
      cell += length;
    }
    bin += size;
  }

  auto data = [&](DWORD cell, const char* signature) {
    EXPECT_TRUE(allocated.count(cell)) << cell;
    if (signature != nullptr) {
      EXPECT_EQ(std::memcmp(&f.at(4096 + cell + 4), signature, 2), 0) << cell;
    }
    return std::size_t{4096} + cell + 4;
  };
  auto name = [&](std::size_t at, std::size_t length, bool compressed) {
    std::u16string units;
    for (std::size_t i = 0; i < length; i += compressed ? 1 : 2) {
      units += compressed ? f.at(at + i) : static_cast<char16_t>(u16(at + i));
    }
    return units;
  };
  auto asciiUpper = [](std::u16string s) {
    for (char16_t& c : s) c = (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 32) : c;
    return s;
  };
  auto isAscii = [](const std::u16string& s) {
    return std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; });
  };

  std::map<DWORD, DWORD> securityUses;
  std::function<void(DWORD, DWORD, const std::string&)> key = [&](DWORD nk, DWORD parent,
                                                                  const std::string& path) {
    const std::size_t at = data(nk, "nk");
    const WORD flags = u16(at + 2);
    facts.keyFlags[path] = flags;
    if (parent == 0xFFFFFFFF) {
      EXPECT_EQ(flags & 0xC, 0xC);  // hive entry, no delete
    } else {
      EXPECT_EQ(u32(at + 16), parent) << path;
    }
    ++securityUses[u32(at + 44)];
    if (u16(at + 74) > 0) {
      const std::size_t classAt = data(u32(at + 48), nullptr);
      facts.classes[path] = win::Utf16ToUtf8(name(classAt, u16(at + 74), false));
    }
    const DWORD valueCount = u32(at + 36);
    for (DWORD i = 0; i < valueCount; ++i) {
      const std::size_t vk = data(u32(data(u32(at + 40), nullptr) + 4 * i), "vk");
      const auto valueName = win::Utf16ToUtf8(name(vk + 20, u16(vk + 2), u16(vk + 16) & 1));
      facts.valueSizeFields[path + ":" + valueName] = u32(vk + 4);
    }
    // Subkeys: one "lh" leaf, or an "ri" of leaves; in upper-case order with matching hashes.
    std::vector<DWORD> leaves{u32(at + 28)};
    const DWORD subkeyCount = u32(at + 20);
    if (subkeyCount == 0) return;
    if (std::memcmp(&f.at(data(leaves[0], nullptr)), "ri", 2) == 0) {
      const std::size_t ri = data(leaves[0], "ri");
      leaves.clear();
      for (WORD i = 0; i < u16(ri + 2); ++i) leaves.push_back(u32(ri + 4 + 4 * i));
      facts.leavesUnderIndexRoots += leaves.size();
    }
    std::u16string previous;
    DWORD seen = 0;
    for (DWORD leaf : leaves) {
      const std::size_t lh = data(leaf, "lh");
      for (WORD i = 0; i < u16(lh + 2); ++i, ++seen) {
        const DWORD child = u32(lh + 4 + 8 * i);
        const std::size_t childAt = data(child, "nk");
        const std::u16string childName =
            name(childAt + 76, u16(childAt + 72), u16(childAt + 2) & 0x20);
        const std::string childPath =
            (path.empty() ? "" : path + "\\") + win::Utf16ToUtf8(childName);
        if (isAscii(childName)) {
          DWORD hash = 0;
          for (char16_t c : asciiUpper(childName)) hash = hash * 37 + c;
          EXPECT_EQ(u32(lh + 8 + 8 * i), hash) << childPath;
          if (isAscii(previous)) {
            EXPECT_LT(asciiUpper(previous), asciiUpper(childName)) << childPath;
          }
        }
        previous = childName;
        key(child, nk, childPath);
      }
    }
    EXPECT_EQ(seen, subkeyCount) << path;
  };
  key(u32(36), 0xFFFFFFFF, "");

  // One circular list through every sk cell, each counting the keys that use it.
  ASSERT_FALSE(securityUses.empty());
  DWORD sk = securityUses.begin()->first;
  for (std::size_t i = 0; i < securityUses.size(); ++i) {
    const std::size_t at = data(sk, "sk");
    ASSERT_TRUE(securityUses.count(sk)) << sk;
    EXPECT_EQ(u32(at + 12), securityUses[sk]);
    EXPECT_EQ(u32(at + 16) + 20 + 4 <= static_cast<DWORD>(-static_cast<LONG>(u32(at - 4))), true);
    const DWORD next = u32(at + 4);
    EXPECT_EQ(u32(data(next, "sk") + 8), sk);
    sk = next;
  }
  EXPECT_EQ(sk, securityUses.begin()->first) << "the sk list does not close";
}

win::RegKey Create(HKEY root, std::string_view path) {
  win::RegKey key;
  EXPECT_EQ(win::RegCreateKeyExW(root, path, 0, 0, KEY_ALL_ACCESS, nullptr, key, nullptr),
            ERROR_SUCCESS) << path;
  return key;
}

void Set(HKEY key, std::string_view name, DWORD type, const std::vector<BYTE>& data) {
  ASSERT_EQ(win::RegSetValueExW(key, name, 0, type, data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

std::vector<BYTE> Dword(DWORD value) {
  return {BYTE(value), BYTE(value >> 8), BYTE(value >> 16), BYTE(value >> 24)};
}

// Saves `key` to C:\<name> and checks the file with CheckHive, hivex and hivexsh.
HiveFacts SaveAndCompare(HKEY key, const std::string& name) {
  HiveFacts facts;
  EXPECT_EQ(win::RegSaveKeyW(key, "C:\\" + name, nullptr), ERROR_SUCCESS);
  const auto file = HostFileOnC(name);
  CheckHive(ReadHost(file), facts);
  emu::RegistryKeyTree tree;
  EXPECT_EQ(emu::RegistryReadTree(key, tree), ERROR_SUCCESS);
  EXPECT_EQ(Differences(HivexDump(file), Expected(tree)), "");
  int status = 0;
  const std::string out = Run("printf 'ls\\nlsval\\n' | hivexsh '" + file.string() + "'", status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(out.find("hivexsh:"), std::string::npos) << out;
  return facts;
}

TEST_F(HiveFileTest, BootStoreReadsBackInHivex) {
  win::RegKey store = Create(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD");
  const std::string object = "Objects\\{7619dcc9-fafe-11d9-b411-000476eba25f}";
  Set(Create(store.get(), "Description").get(), "KeyName", REG_SZ,
      win::RegStringData("BCD00000001"));
  Set(Create(store.get(), object + "\\Description").get(), "Type", REG_DWORD, Dword(0x10200003));
  Set(Create(store.get(), object + "\\Elements\\12000004").get(), "Element", REG_SZ,
      win::RegStringData("Windows Setup"));
  std::vector<BYTE> device(88);
  for (std::size_t i = 0; i < device.size(); ++i) device[i] = static_cast<BYTE>(i * 7);
  Set(Create(store.get(), object + "\\Elements\\11000001").get(), "Element", REG_BINARY, device);
  std::vector<BYTE> list = win::RegStringData("{a}");
  list.pop_back(), list.pop_back();
  for (BYTE b : win::RegStringData("{b}")) list.push_back(b);
  list.push_back(0), list.push_back(0);
  Set(Create(store.get(), object + "\\Elements\\14000006").get(), "Element", REG_MULTI_SZ, list);

  const HiveFacts facts = SaveAndCompare(store.get(), "BCD");
  EXPECT_EQ(facts.keyFlags.size(), 9u);
  EXPECT_EQ(facts.keyFlags.at(""), 0x2C);  // hive entry, no delete, compressed name
  EXPECT_EQ(facts.valueSizeFields.at(object + "\\Description:Type"), 0x80000004);
  const auto header = ReadHost(HostFileOnC("BCD"));
  EXPECT_EQ(win::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(&header[48]), 3)),
            "BCD");
}

TEST_F(HiveFileTest, SaveRefusesExistingFilesMissingFoldersAndBadHandles) {
  win::RegKey store = Create(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD");
  ASSERT_EQ(win::RegSaveKeyW(store.get(), "C:\\BCD", nullptr), ERROR_SUCCESS);
  const auto first = ReadHost(HostFileOnC("BCD"));
  win::SetLastError(1234);
  EXPECT_EQ(win::RegSaveKeyW(store.get(), "C:\\BCD", nullptr), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(win::RegSaveKeyW(store.get(), "C:\\Missing\\BCD", nullptr), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(win::GetLastError(), 1234u);  // registry calls leave the last error alone
  SetBackupPrivilege(false);
  EXPECT_EQ(win::RegSaveKeyW(store.get(), "C:\\Other", nullptr), ERROR_PRIVILEGE_NOT_HELD);
  SetBackupPrivilege(true);
  EXPECT_EQ(ReadHost(HostFileOnC("BCD")), first);
  EXPECT_EQ(win::RegSaveKeyW(reinterpret_cast<HKEY>(0x4321), "C:\\Other", nullptr),
            ERROR_INVALID_HANDLE);
  EXPECT_FALSE(std::filesystem::exists(HostFileOnC("Other")));
}

TEST_F(HiveFileTest, DataOfEverySizeClassAndManySubkeys) {
  win::RegKey store = Create(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD");
  std::mt19937 random(7);
  for (std::size_t size : {0, 1, 4, 5, 16344, 16345, 20000, 40000}) {
    std::vector<BYTE> data(size);
    for (BYTE& b : data) b = static_cast<BYTE>(random());
    Set(store.get(), "v" + std::to_string(size), REG_BINARY, data);
  }
  for (int i = 0; i < 300; ++i) Create(store.get(), "Key" + std::to_string(i * 7919 % 1000));
  const HiveFacts facts = SaveAndCompare(store.get(), "BCD");
  EXPECT_EQ(facts.valueSizeFields.at(":v0"), 0x80000000);  // inline
  EXPECT_EQ(facts.valueSizeFields.at(":v4"), 0x80000004);
  EXPECT_EQ(facts.valueSizeFields.at(":v5"), 5u);
  EXPECT_EQ(facts.valueSizeFields.at(":v20000"), 20000u);
  EXPECT_EQ(facts.keyFlags.size(), 301u);
}

TEST_F(HiveFileTest, NamesBeyondAsciiAndClasses) {
  win::RegKey store = Create(HKEY_CURRENT_USER, "SOFTWARE\\VELUND\\BCD");
  Set(Create(store.get(), "Résumé").get(), "naïve", REG_DWORD, Dword(1));
  Set(Create(store.get(), "Ключ").get(), "値", REG_SZ, win::RegStringData("данные"));
  Create(store.get(), "ÿ😀");
  const HiveFacts facts = SaveAndCompare(store.get(), "BCD");
  EXPECT_EQ(facts.keyFlags.at("Résumé") & 0x20, 0x20);  // Latin-1 names are stored a byte a unit
  EXPECT_EQ(facts.keyFlags.at("Ключ") & 0x20, 0);
  EXPECT_EQ(facts.keyFlags.at("ÿ😀") & 0x20, 0);
  EXPECT_EQ(emu::HiveNameHash("é"), 0xC9u);
  EXPECT_EQ(emu::HiveNameHash("ÿa"), 0x178u * 37 + 'A');
  EXPECT_EQ(emu::HiveNameHash("ж"), 0x416u);
}

// Random trees, written by the pure writer, read back unchanged; class names and descriptors too.
TEST_F(HiveFileTest, RandomTreesReadBackUnchanged) {
  std::mt19937 random(20240611);
  auto pick = [&](int n) { return static_cast<int>(random() % n); };
  const std::vector<std::string> pieces = {"a", "Z", "7", " ", "{", "é",
                                           "Ä", "ж", "Ω", "値", "_"};
  std::vector<BYTE> other = emu::DefaultKeySecurity();
  other[other.size() - 1] ^= 1;  // the group's last sub-authority
  std::function<void(emu::RegistryKeyTree&, int)> fill = [&](emu::RegistryKeyTree& key, int depth) {
    key.lastWrite = 130000000000000000ULL + random();
    key.isVolatile = depth > 0 && pick(12) == 0;
    if (pick(4) == 0) key.className = pieces[pick(11)] + "class";
    if (pick(5) == 0) key.security = pick(2) ? other : emu::DefaultKeySecurity();
    for (int v = pick(6); v > 0; --v) {
      const int sizes[] = {0, 3, 4, 12, 300, 17000};
      std::vector<BYTE> data(sizes[pick(6)] + pick(3));
      for (BYTE& b : data) b = static_cast<BYTE>(random());
      key.values.push_back({pick(5) ? pieces[pick(11)] + std::to_string(v) : "",
                            static_cast<DWORD>(pick(12)), data});
    }
    const int children = depth >= 3 ? 0 : pick(5);
    for (int c = 0; c < children; ++c) {
      key.subkeys.emplace_back();
      key.subkeys.back().name = pieces[pick(11)] + pieces[pick(11)] + std::to_string(c);
      fill(key.subkeys.back(), depth + 1);
    }
  };
  const auto file = directory_.parent_path() / "random.hiv";
  for (int round = 0; round < 40; ++round) {
    emu::RegistryKeyTree root;
    root.name = "ROOT" + std::to_string(round);
    fill(root, 0);
    std::vector<BYTE> bytes;
    std::string error;
    ASSERT_TRUE(emu::WriteHiveFile(root, bytes, error)) << error;
    WriteHost(file, bytes);
    HiveFacts facts;
    CheckHive(bytes, facts);
    ASSERT_EQ(Differences(HivexDump(file), Expected(root)), "") << "round " << round;
    std::map<std::string, std::string> classes;
    std::function<void(const emu::RegistryKeyTree&, const std::string&)> collect =
        [&](const emu::RegistryKeyTree& key, const std::string& path) {
          if (key.isVolatile) return;
          if (!key.className.empty()) classes[path] = key.className;
          for (const auto& child : key.subkeys) {
            collect(child, (path.empty() ? "" : path + "\\") + child.name);
          }
        };
    collect(root, "");
    EXPECT_EQ(facts.classes, classes) << "round " << round;
  }
}

emu::RegistryKeyTree Named(std::string name) {
  emu::RegistryKeyTree key;
  key.name = std::move(name);
  return key;
}

TEST_F(HiveFileTest, IndexRootsForLargeKeysAndRefusedTrees) {
  emu::RegistryKeyTree root;
  for (int i = 0; i < 2100; ++i) root.subkeys.push_back(Named("k" + std::to_string(i)));
  std::vector<BYTE> bytes;
  std::string error;
  ASSERT_TRUE(
      emu::WriteHiveFile(root, bytes, error, {"C:\\a-rather-long-folder\\and-file-name.hiv", 5}));
  HiveFacts facts;
  CheckHive(bytes, facts);
  EXPECT_EQ(facts.leavesUnderIndexRoots, 3u);
  EXPECT_EQ(facts.keyFlags.size(), 2101u);
  // The last 31 units of the name, then the terminator.
  EXPECT_EQ(win::Utf16ToUtf8(std::u16string(reinterpret_cast<const char16_t*>(&bytes[48]), 32)),
            std::string("r-long-folder\\and-file-name.hiv") + '\0');

  auto refused = [&](emu::RegistryKeyTree tree) {
    return !emu::WriteHiveFile(tree, bytes, error) && !error.empty();
  };
  emu::RegistryKeyTree twins;
  twins.subkeys = {Named("Same"), Named("SAME")};
  EXPECT_TRUE(refused(twins));
  emu::RegistryKeyTree badSecurity;
  badSecurity.security = std::vector<BYTE>(20, 0);
  EXPECT_TRUE(refused(badSecurity));
  emu::RegistryKeyTree longName;
  longName.subkeys = {Named(std::string(256, 'x'))};
  EXPECT_TRUE(refused(longName));
}

TEST(HiveFileSecurity, DefaultDescriptorGrantsEveryoneSystemAndAdministrators) {
  const std::vector<BYTE> sd = emu::DefaultKeySecurity();
  auto u32 = [&](std::size_t at) {
    return DWORD(sd[at] | sd[at + 1] << 8 | sd[at + 2] << 16 | sd[at + 3] << 24);
  };
  ASSERT_GE(sd.size(), 20u);
  EXPECT_EQ(sd[0], 1);
  EXPECT_EQ(sd[2] | sd[3] << 8, 0x8004);  // self-relative, DACL present
  const std::vector<BYTE> administrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  EXPECT_EQ(std::vector<BYTE>(sd.begin() + u32(4), sd.begin() + u32(4) + 16), administrators);
  EXPECT_EQ(std::vector<BYTE>(sd.begin() + u32(8), sd.begin() + u32(8) + 12),
            std::vector<BYTE>({1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0}));
  EXPECT_EQ(u32(12), 0u);  // no SACL
  const std::size_t acl = u32(16);
  ASSERT_EQ(sd[acl + 4], 3);
  std::vector<BYTE> authorities;
  for (std::size_t ace = acl + 8, i = 0; i < 3; ++i, ace += sd[ace + 2]) {
    EXPECT_EQ(sd[ace], 0);     // allowed
    EXPECT_EQ(sd[ace + 1], 3); // object and container inherit
    EXPECT_EQ(u32(ace + 4), 0xF003Fu);
    authorities.push_back(sd[ace + 8 + 7]);
  }
  EXPECT_EQ(authorities, std::vector<BYTE>({1, 5, 5}));  // Everyone first
}

}  // namespace
