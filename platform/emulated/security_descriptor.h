// Security identifiers, access lists and self-relative security descriptors as bytes, and the
// inheritance rule that gives a new registry key its descriptor.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/win32_security_types.h"

namespace emu {

// A SID's bytes: revision 1, count, 6-byte authority, sub-authorities (little-endian).
std::vector<BYTE> MakeSid(const BYTE (&authority)[6], const std::vector<DWORD>& subAuthorities);
// The length of the SID at `sid` when it is well formed within `size` bytes, else 0.
std::size_t SidLength(const BYTE* sid, std::size_t size);

std::vector<BYTE> EveryoneSid();        // S-1-1-0
std::vector<BYTE> LocalSystemSid();     // S-1-5-18
std::vector<BYTE> AdministratorsSid();  // S-1-5-32-544

struct Ace {
  BYTE type = ACCESS_ALLOWED_ACE_TYPE;
  BYTE flags = 0;
  ACCESS_MASK mask = 0;
  std::vector<BYTE> sid;
};

std::vector<BYTE> MakeAcl(const std::vector<Ace>& aces);
// False when the bytes are not a revision-2 list of allowed and denied entries.
bool ParseAcl(const BYTE* acl, std::size_t size, std::vector<Ace>& aces);
// The size an ACL header claims, 0 when it is no ACL.
std::size_t AclSize(const void* acl);

struct SecurityDescriptor {
  WORD control = 0;  // without SE_SELF_RELATIVE, which the bytes always carry
  std::vector<BYTE> owner;
  std::vector<BYTE> group;
  std::optional<std::vector<Ace>> dacl;  // empty: no DACL (SE_DACL_PRESENT clear)
};

std::vector<BYTE> SerializeDescriptor(const SecurityDescriptor& descriptor);
bool ParseDescriptor(const std::vector<BYTE>& bytes, SecurityDescriptor& descriptor);

// Generic rights in terms of a registry key's own rights.
ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask);

// The descriptor a subkey created under a key with `parent` receives: the parent's owner and
// group, and of its DACL the entries that containers inherit, marked inherited. An entry with
// generic rights becomes two, one effective with the rights mapped and one that only passes the
// generic rights on, as Windows does.
std::vector<BYTE> InheritedKeySecurity(const std::vector<BYTE>& parent);

// The descriptor a key holds after its DACL was set to `explicitAces` (not protected): those
// entries, then what it inherits from `parent`.
std::vector<BYTE> KeySecurityWithDacl(const std::vector<BYTE>& current,
                                      const std::vector<BYTE>* parent,
                                      const std::vector<Ace>& explicitAces);

}  // namespace emu
