// The process token and the security calls of the emulated machine, as Windows answers them.
#include <gtest/gtest.h>

#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/emulated/machine.h"
#include "platform/emulated/token.h"
#include "platform/seam.h"
#include "tests/test_machine.h"

namespace {

class SecurityTest : public MachineTest {
 protected:
  static win::Handle Token(DWORD access) {
    HANDLE raw = nullptr;
    EXPECT_TRUE(win::OpenProcessToken(win::GetCurrentProcess(), access, &raw));
    return win::Handle(raw);
  }

  static TOKEN_PRIVILEGES Privilege(const char* name, DWORD attributes) {
    TOKEN_PRIVILEGES state{};
    state.PrivilegeCount = 1;
    EXPECT_TRUE(win::LookupPrivilegeValueW("", name, &state.Privileges[0].Luid));
    state.Privileges[0].Attributes = attributes;
    return state;
  }
};

TEST_F(SecurityTest, AnAdministratorEnablesHeldPrivilegesAndLearnsTheirFormerState) {
  win::Handle token = Token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  EXPECT_FALSE(emu::PrivilegeEnabled(emu::kSeBackupPrivilege));  // held, but disabled

  const TOKEN_PRIVILEGES backup = Privilege("SeBackupPrivilege", SE_PRIVILEGE_ENABLED);
  TOKEN_PRIVILEGES previous{};
  DWORD length = 0;
  ASSERT_TRUE(win::AdjustTokenPrivileges(token.get(), FALSE, &backup, sizeof(previous), &previous,
                                         &length));
  EXPECT_EQ(win::GetLastError(), ERROR_SUCCESS);
  EXPECT_EQ(length, 16u);
  EXPECT_EQ(previous.PrivilegeCount, 1u);
  EXPECT_EQ(previous.Privileges[0].Luid.LowPart, emu::kSeBackupPrivilege);
  EXPECT_EQ(previous.Privileges[0].Attributes, 0u);
  EXPECT_TRUE(emu::PrivilegeEnabled(emu::kSeBackupPrivilege));

  // Enabled already: nothing changes, and the previous state is empty.
  ASSERT_TRUE(win::AdjustTokenPrivileges(token.get(), FALSE, &backup, sizeof(previous), &previous,
                                         &length));
  EXPECT_EQ(previous.PrivilegeCount, 0u);

  // Privilege names are checked; a token opened without the right to adjust is refused.
  LUID luid{};
  EXPECT_FALSE(win::LookupPrivilegeValueW("", "SeMadeUpPrivilege", &luid));
  EXPECT_EQ(win::GetLastError(), ERROR_NO_SUCH_PRIVILEGE);
  win::Handle queryOnly = Token(TOKEN_QUERY);
  EXPECT_FALSE(win::AdjustTokenPrivileges(queryOnly.get(), FALSE, &backup, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(SecurityTest, AStandardUserHoldsNoBackupPrivilege) {
  nlohmann::json config = emu::Machine::Get().Config();
  config["elevated"] = false;
  std::ofstream(directory_ / "machine.json") << config.dump(2);
  emu::Machine::Use(directory_);

  win::Handle token = Token(TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY);
  const TOKEN_PRIVILEGES backup = Privilege("SeBackupPrivilege", SE_PRIVILEGE_ENABLED);
  // Succeeds, yet says that not all were assigned, as Windows does.
  EXPECT_TRUE(win::AdjustTokenPrivileges(token.get(), FALSE, &backup, 0, nullptr, nullptr));
  EXPECT_EQ(win::GetLastError(), ERROR_NOT_ALL_ASSIGNED);
  EXPECT_FALSE(emu::PrivilegeEnabled(emu::kSeBackupPrivilege));
}

TEST_F(SecurityTest, AccountNamesComeInTwoCallsAndUnknownTrusteesAreRefused) {
  SID_IDENTIFIER_AUTHORITY world = {SECURITY_WORLD_SID_AUTHORITY};
  PSID everyone = nullptr;
  ASSERT_TRUE(win::AllocateAndInitializeSid(&world, 1, 0, 0, 0, 0, 0, 0, 0, 0, &everyone));

  DWORD nameLength = 0, domainLength = 0;
  SID_NAME_USE use{};
  EXPECT_FALSE(win::LookupAccountSidW("", everyone, nullptr, &nameLength, nullptr, &domainLength,
                                      &use));
  EXPECT_EQ(win::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(nameLength, 9u);  // "Everyone" and its terminator
  EXPECT_EQ(domainLength, 1u);
  std::string name, domain;
  ASSERT_TRUE(win::LookupAccountSidW("", everyone, &name, &nameLength, &domain, &domainLength,
                                     &use));
  EXPECT_EQ(name, "Everyone");
  EXPECT_EQ(nameLength, 8u);
  EXPECT_EQ(use, SidTypeWellKnownGroup);
  EXPECT_EQ(win::FreeSid(everyone), nullptr);

  win::ExplicitAccess access;
  win::BuildExplicitAccessWithNameW(&access, "Nobody In Particular", GENERIC_ALL, GRANT_ACCESS,
                                    SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  PACL acl = nullptr;
  EXPECT_EQ(win::SetEntriesInAclW(1, &access, nullptr, &acl), ERROR_NONE_MAPPED);

  win::BuildExplicitAccessWithNameW(&access, "Everyone", GENERIC_ALL, GRANT_ACCESS,
                                    SUB_CONTAINERS_AND_OBJECTS_INHERIT);
  ASSERT_EQ(win::SetEntriesInAclW(1, &access, nullptr, &acl), ERROR_SUCCESS);
  EXPECT_EQ(acl->AceCount, 1);
  EXPECT_EQ(acl->AclSize, 8 + 8 + 12);
  EXPECT_EQ(win::SetNamedSecurityInfoW("CURRENT_USER\\SOFTWARE\\Missing", SE_REGISTRY_KEY,
                                       DACL_SECURITY_INFORMATION, nullptr, nullptr, acl, nullptr),
            ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(win::LocalFree(acl), nullptr);
  EXPECT_EQ(win::LocalFree(acl), acl);  // freed already
}

}  // namespace
