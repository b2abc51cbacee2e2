// The emulated registry against the rules Windows applies to the same calls.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/emulated/registry_store.h"
#include "platform/seam.h"
#include "platform/text.h"
#include "tests/test_machine.h"

namespace {

using RegistryTest = MachineTest;

win::RegKey Create(HKEY root, std::string_view path, REGSAM access = KEY_ALL_ACCESS,
                   DWORD options = REG_OPTION_NON_VOLATILE, DWORD* disposition = nullptr) {
  win::RegKey key;
  EXPECT_EQ(win::RegCreateKeyExW(root, path, 0, options, access, nullptr, key, disposition),
            ERROR_SUCCESS)
      << path;
  return key;
}

void SetString(HKEY key, std::string_view name, std::string_view text) {
  auto data = win::RegStringData(text);
  ASSERT_EQ(win::RegSetValueExW(key, name, 0, REG_SZ, data.data(), static_cast<DWORD>(data.size())),
            ERROR_SUCCESS);
}

void SetDword(HKEY key, std::string_view name, DWORD number) {
  ASSERT_EQ(win::RegSetValueExW(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number),
                                sizeof number),
            ERROR_SUCCESS);
}

std::vector<std::string> SubkeyNames(HKEY key) {
  std::vector<std::string> names;
  std::string name;
  for (DWORD i = 0; win::RegEnumKeyExW(key, i, name) == ERROR_SUCCESS; ++i) names.push_back(name);
  return names;
}

TEST_F(RegistryTest, CreateOpenAndDispositions) {
  DWORD disposition = 0;
  win::RegKey created = Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\Deep", KEY_ALL_ACCESS,
                               REG_OPTION_NON_VOLATILE, &disposition);
  EXPECT_EQ(disposition, REG_CREATED_NEW_KEY);
  win::RegKey again = Create(HKEY_CURRENT_USER, "software\\VELUND\\deep", KEY_ALL_ACCESS,
                             REG_OPTION_NON_VOLATILE, &disposition);
  EXPECT_EQ(disposition, REG_OPENED_EXISTING_KEY);

  win::RegKey opened;
  EXPECT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "Software\\Velund\\", 0, KEY_READ, opened),
            ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(opened.get()), std::vector<std::string>{"Deep"});  // case as first made
  EXPECT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "Software\\Nothing", 0, KEY_READ, opened),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(opened.get(), nullptr);
  EXPECT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "\\Software", 0, KEY_READ, opened),
            ERROR_BAD_PATHNAME);
  EXPECT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "Software\\\\Velund", 0, KEY_READ, opened),
            ERROR_BAD_PATHNAME);
  // A key opened relative to another.
  EXPECT_EQ(win::RegOpenKeyExW(created.get(), "", 0, KEY_READ, opened), ERROR_SUCCESS);
  EXPECT_NE(opened.get(), created.get());
  // An empty path on a root hands back the root, which closing leaves open.
  EXPECT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, "", 0, KEY_READ, opened), ERROR_SUCCESS);
  EXPECT_EQ(opened.get(), HKEY_LOCAL_MACHINE);
  EXPECT_EQ(win::RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
  EXPECT_EQ(win::RegCloseKey(reinterpret_cast<HKEY>(0x123)), ERROR_INVALID_HANDLE);
}

TEST_F(RegistryTest, AHandleGrantsOnlyTheAccessItWasOpenedWith) {
  Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund");
  win::RegKey reader;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\Velund", 0, KEY_READ, reader),
            ERROR_SUCCESS);
  const DWORD one = 1;
  EXPECT_EQ(win::RegSetValueExW(reader.get(), "x", 0, REG_DWORD,
                                reinterpret_cast<const BYTE*>(&one), 4),
            ERROR_ACCESS_DENIED);
  win::RegKey child;
  EXPECT_EQ(win::RegCreateKeyExW(reader.get(), "Child", 0, 0, KEY_ALL_ACCESS, nullptr, child,
                                 nullptr),
            ERROR_ACCESS_DENIED);

  win::RegKey writer;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\Velund", 0, KEY_SET_VALUE, writer),
            ERROR_SUCCESS);
  SetDword(writer.get(), "x", 1);
  DWORD size = 4;
  EXPECT_EQ(win::RegQueryValueExW(writer.get(), "x", nullptr, nullptr, &size), ERROR_ACCESS_DENIED);
  std::string name;
  EXPECT_EQ(win::RegEnumKeyExW(writer.get(), 0, name), ERROR_ACCESS_DENIED);

  // GENERIC_READ maps to KEY_READ.
  win::RegKey generic;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\Velund", 0, GENERIC_READ, generic),
            ERROR_SUCCESS);
  EXPECT_EQ(win::RegQueryValueExW(generic.get(), "x", nullptr, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(win::RegDeleteValueW(generic.get(), "x"), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, ValueBuffersFollowTheMoreDataProtocol) {
  win::RegKey key = Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund");
  SetString(key.get(), "Language", "vi_VN");

  DWORD type = 0, size = 0;
  EXPECT_EQ(win::RegQueryValueExW(key.get(), "LANGUAGE", &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, 12u);  // five UTF-16 units and the terminator

  BYTE small[4];
  size = sizeof small;
  EXPECT_EQ(win::RegQueryValueExW(key.get(), "Language", &type, small, &size), ERROR_MORE_DATA);
  EXPECT_EQ(size, 12u);
  std::vector<BYTE> data(size);
  EXPECT_EQ(win::RegQueryValueExW(key.get(), "Language", &type, data.data(), &size), ERROR_SUCCESS);
  EXPECT_EQ(win::RegStringFromData(data.data(), size), "vi_VN");

  EXPECT_EQ(win::RegQueryValueExW(key.get(), "Language", &type, data.data(), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_EQ(win::RegQueryValueExW(key.get(), "Missing", &type, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::RegSetValueExW(key.get(), "bad", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);

  // Setting an existing name replaces type and data and keeps the name's first spelling.
  SetDword(key.get(), "LANGUAGE", 7);
  std::string name;
  size = 0;
  EXPECT_EQ(win::RegEnumValueW(key.get(), 0, name, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(name, "Language");
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(win::RegEnumValueW(key.get(), 1, name, &type, nullptr, &size), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, KeysEnumerateSortedAndValuesInCreationOrder) {
  win::RegKey key = Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund");
  for (const char* name : {"b", "C", "a", "{9dea862c}", "10", "2"}) Create(key.get(), name);
  EXPECT_EQ(SubkeyNames(key.get()),
            (std::vector<std::string>{"10", "2", "a", "b", "C", "{9dea862c}"}));

  for (const char* name : {"zeta", "Alpha", "mid", ""}) SetDword(key.get(), name, 1);
  std::vector<std::string> values;
  std::string name;
  for (DWORD i = 0; win::RegEnumValueW(key.get(), i, name, nullptr, nullptr, nullptr) ==
                    ERROR_SUCCESS;
       ++i) {
    values.push_back(name);
  }
  EXPECT_EQ(values, (std::vector<std::string>{"zeta", "Alpha", "mid", ""}));
}

TEST_F(RegistryTest, DeletingKeysAndWhatOpenHandlesSeeAfterwards) {
  win::RegKey parent = Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\BCD");
  win::RegKey child = Create(parent.get(), "Objects\\{a}\\Elements");
  SetDword(child.get(), "x", 1);

  // A key with subkeys is not deleted by RegDeleteKeyW.
  EXPECT_EQ(win::RegDeleteKeyW(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\BCD"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(win::RegDeleteKeyW(parent.get(), "Objects\\{a}\\Elements"), ERROR_SUCCESS);
  EXPECT_EQ(win::RegSetValueExW(child.get(), "y", 0, REG_NONE, nullptr, 0), ERROR_KEY_DELETED);
  EXPECT_EQ(win::RegDeleteKeyW(parent.get(), "Objects\\{a}\\Elements"), ERROR_FILE_NOT_FOUND);

  // RegDeleteTreeW with a path removes the key; without one, only its contents.
  Create(parent.get(), "Objects\\{b}");
  SetDword(parent.get(), "kept?", 1);
  EXPECT_EQ(win::RegDeleteTreeW(parent.get(), "Objects"), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(parent.get()).empty());
  Create(parent.get(), "Objects\\{c}");
  EXPECT_EQ(win::RegDeleteTreeW(parent.get(), ""), ERROR_SUCCESS);
  EXPECT_TRUE(SubkeyNames(parent.get()).empty());
  DWORD size = 0;
  EXPECT_EQ(win::RegQueryValueExW(parent.get(), "kept?", nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::RegDeleteKeyW(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\BCD"), ERROR_SUCCESS);
  EXPECT_EQ(win::RegQueryValueExW(parent.get(), "kept?", nullptr, nullptr, &size),
            ERROR_KEY_DELETED);
  // A root cannot go.
  EXPECT_EQ(win::RegDeleteKeyW(HKEY_CURRENT_USER, ""), ERROR_ACCESS_DENIED);
}

TEST_F(RegistryTest, HivesPersistAcrossRestartsButVolatileKeysDoNot) {
  {
    win::RegKey key = Create(HKEY_LOCAL_MACHINE, "SYSTEM\\Test");
    SetString(key.get(), "Name", "Đĩa USB");
    const BYTE odd[] = {'a', 0, 'b'};  // not a whole REG_SZ: kept as bytes
    ASSERT_EQ(win::RegSetValueExW(key.get(), "Odd", 0, REG_SZ, odd, sizeof odd), ERROR_SUCCESS);
    win::RegKey gone = Create(key.get(), "Volatile", KEY_ALL_ACCESS, REG_OPTION_VOLATILE);
    win::RegKey refused;
    EXPECT_EQ(win::RegCreateKeyExW(gone.get(), "Lasting", 0, REG_OPTION_NON_VOLATILE,
                                   KEY_ALL_ACCESS, nullptr, refused, nullptr),
              ERROR_CHILD_MUST_BE_VOLATILE);
  }
  std::ifstream file(directory_ / "registry" / "HKLM.json");
  ASSERT_TRUE(file.good());
  const auto saved = nlohmann::json::parse(file);
  EXPECT_EQ(saved["keys"]["SYSTEM"]["keys"]["Test"]["values"][0]["data"], "Đĩa USB");

  emu::ResetRegistry();  // as a new process would find it
  win::RegKey key;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_LOCAL_MACHINE, "SYSTEM\\Test", 0, KEY_READ, key),
            ERROR_SUCCESS);
  BYTE data[16];
  DWORD size = sizeof data, type = 0;
  ASSERT_EQ(win::RegQueryValueExW(key.get(), "Name", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(win::RegStringFromData(data, size), "Đĩa USB");
  size = sizeof data;
  ASSERT_EQ(win::RegQueryValueExW(key.get(), "Odd", &type, data, &size), ERROR_SUCCESS);
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(SubkeyNames(key.get()), std::vector<std::string>{});
}

TEST_F(RegistryTest, TreesAndSecurityForTheHiveWriter) {
  win::RegKey key = Create(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\BCD");
  Create(key.get(), "Objects\\{x}");
  SetDword(key.get(), "v", 3);
  EXPECT_EQ(emu::RegistrySetSecurity(key.get(), {1, 0, 4, 0x80}), ERROR_SUCCESS);

  emu::RegistryKeyTree tree;
  ASSERT_EQ(emu::RegistryReadTree(key.get(), tree), ERROR_SUCCESS);
  EXPECT_EQ(tree.name, "BCD");
  ASSERT_EQ(tree.subkeys.size(), 1u);
  EXPECT_EQ(tree.subkeys[0].subkeys[0].name, "{x}");
  EXPECT_NE(tree.lastWrite, 0u);
  ASSERT_TRUE(tree.security.has_value());
  EXPECT_EQ(tree.security->size(), 4u);

  win::RegKey reader;
  ASSERT_EQ(win::RegOpenKeyExW(HKEY_CURRENT_USER, "SOFTWARE\\Velund\\BCD", 0, KEY_QUERY_VALUE,
                               reader),
            ERROR_SUCCESS);
  EXPECT_EQ(emu::RegistrySetSecurity(reader.get(), {}), ERROR_ACCESS_DENIED);
}

}  // namespace
