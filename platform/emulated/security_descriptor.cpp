#include "platform/emulated/security_descriptor.h"

namespace emu {
namespace {

void Put16(std::vector<BYTE>& bytes, std::size_t at, WORD value) {
  bytes[at] = static_cast<BYTE>(value);
  bytes[at + 1] = static_cast<BYTE>(value >> 8);
}

void Put32(std::vector<BYTE>& bytes, std::size_t at, DWORD value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

WORD Get16(const BYTE* bytes) { return static_cast<WORD>(bytes[0] | bytes[1] << 8); }

DWORD Get32(const BYTE* bytes) {
  return static_cast<DWORD>(bytes[0]) | static_cast<DWORD>(bytes[1]) << 8 |
         static_cast<DWORD>(bytes[2]) << 16 | static_cast<DWORD>(bytes[3]) << 24;
}

constexpr BYTE kWorldAuthority[6] = SECURITY_WORLD_SID_AUTHORITY;
constexpr BYTE kNtAuthority[6] = SECURITY_NT_AUTHORITY;
constexpr ACCESS_MASK kGenericRights = GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL;

}  // namespace

std::vector<BYTE> MakeSid(const BYTE (&authority)[6], const std::vector<DWORD>& subAuthorities) {
  std::vector<BYTE> sid(8 + 4 * subAuthorities.size(), 0);
  sid[0] = 1;
  sid[1] = static_cast<BYTE>(subAuthorities.size());
  for (int i = 0; i < 6; ++i) sid[2 + i] = authority[i];
  for (std::size_t i = 0; i < subAuthorities.size(); ++i) Put32(sid, 8 + 4 * i, subAuthorities[i]);
  return sid;
}

std::size_t SidLength(const BYTE* sid, std::size_t size) {
  if (sid == nullptr || size < 8 || sid[0] != 1 || sid[1] > 15) return 0;
  const std::size_t length = 8 + 4 * static_cast<std::size_t>(sid[1]);
  return length <= size ? length : 0;
}

std::vector<BYTE> EveryoneSid() { return MakeSid(kWorldAuthority, {SECURITY_WORLD_RID}); }
std::vector<BYTE> LocalSystemSid() { return MakeSid(kNtAuthority, {SECURITY_LOCAL_SYSTEM_RID}); }
std::vector<BYTE> AdministratorsSid() {
  return MakeSid(kNtAuthority, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS});
}

std::vector<BYTE> MakeAcl(const std::vector<Ace>& aces) {
  std::vector<BYTE> acl(8, 0);
  for (const Ace& ace : aces) {
    const std::size_t at = acl.size();
    acl.resize(at + 8, 0);
    acl[at] = ace.type;
    acl[at + 1] = ace.flags;
    Put16(acl, at + 2, static_cast<WORD>(8 + ace.sid.size()));
    Put32(acl, at + 4, ace.mask);
    acl.insert(acl.end(), ace.sid.begin(), ace.sid.end());
  }
  acl[0] = ACL_REVISION;
  Put16(acl, 2, static_cast<WORD>(acl.size()));
  Put16(acl, 4, static_cast<WORD>(aces.size()));
  return acl;
}

std::size_t AclSize(const void* acl) {
  if (acl == nullptr) return 0;
  const auto* bytes = static_cast<const BYTE*>(acl);
  if (bytes[0] != ACL_REVISION && bytes[0] != 4) return 0;
  return Get16(bytes + 2);
}

bool ParseAcl(const BYTE* acl, std::size_t size, std::vector<Ace>& aces) {
  aces.clear();
  if (size < 8 || (acl[0] != ACL_REVISION && acl[0] != 4) || Get16(acl + 2) > size) return false;
  const std::size_t end = Get16(acl + 2);
  std::size_t at = 8;
  for (WORD i = 0; i < Get16(acl + 4); ++i) {
    if (at + 8 > end) return false;
    const std::size_t length = Get16(acl + at + 2);
    if (length < 8 || at + length > end) return false;
    Ace ace;
    ace.type = acl[at];
    ace.flags = acl[at + 1];
    ace.mask = Get32(acl + at + 4);
    if (ace.type != ACCESS_ALLOWED_ACE_TYPE && ace.type != ACCESS_DENIED_ACE_TYPE) return false;
    const std::size_t sidLength = SidLength(acl + at + 8, length - 8);
    if (sidLength == 0) return false;
    ace.sid.assign(acl + at + 8, acl + at + 8 + sidLength);
    aces.push_back(std::move(ace));
    at += length;
  }
  return true;
}

std::vector<BYTE> SerializeDescriptor(const SecurityDescriptor& descriptor) {
  std::vector<BYTE> bytes(20, 0);
  bytes[0] = 1;  // SECURITY_DESCRIPTOR_REVISION
  WORD control = static_cast<WORD>((descriptor.control & ~SE_DACL_PRESENT) | SE_SELF_RELATIVE);
  if (descriptor.dacl) {
    control |= SE_DACL_PRESENT;
    const std::vector<BYTE> acl = MakeAcl(*descriptor.dacl);
    Put32(bytes, 16, static_cast<DWORD>(bytes.size()));
    bytes.insert(bytes.end(), acl.begin(), acl.end());
  }
  Put16(bytes, 2, control);
  if (!descriptor.owner.empty()) {
    Put32(bytes, 4, static_cast<DWORD>(bytes.size()));
    bytes.insert(bytes.end(), descriptor.owner.begin(), descriptor.owner.end());
  }
  if (!descriptor.group.empty()) {
    Put32(bytes, 8, static_cast<DWORD>(bytes.size()));
    bytes.insert(bytes.end(), descriptor.group.begin(), descriptor.group.end());
  }
  return bytes;
}

bool ParseDescriptor(const std::vector<BYTE>& bytes, SecurityDescriptor& descriptor) {
  descriptor = {};
  if (bytes.size() < 20 || bytes[0] != 1) return false;
  const WORD control = Get16(bytes.data() + 2);
  if ((control & SE_SELF_RELATIVE) == 0) return false;
  descriptor.control = static_cast<WORD>(control & ~SE_SELF_RELATIVE);
  auto sidAt = [&](std::size_t field, std::vector<BYTE>& sid) {
    const DWORD at = Get32(bytes.data() + field);
    if (at == 0) return true;
    if (at >= bytes.size()) return false;
    const std::size_t length = SidLength(bytes.data() + at, bytes.size() - at);
    if (length == 0) return false;
    sid.assign(bytes.begin() + at, bytes.begin() + at + length);
    return true;
  };
  if (!sidAt(4, descriptor.owner) || !sidAt(8, descriptor.group)) return false;
  const DWORD daclAt = Get32(bytes.data() + 16);
  if ((control & SE_DACL_PRESENT) != 0 && daclAt != 0) {
    if (daclAt >= bytes.size()) return false;
    std::vector<Ace> aces;
    if (!ParseAcl(bytes.data() + daclAt, bytes.size() - daclAt, aces)) return false;
    descriptor.dacl = std::move(aces);
  }
  return true;
}

ACCESS_MASK MapGenericKeyRights(ACCESS_MASK mask) {
  ACCESS_MASK mapped = mask & ~kGenericRights;
  if (mask & GENERIC_READ) mapped |= KEY_READ;
  if (mask & GENERIC_WRITE) mapped |= KEY_WRITE;
  if (mask & GENERIC_EXECUTE) mapped |= KEY_EXECUTE;
  if (mask & GENERIC_ALL) mapped |= KEY_ALL_ACCESS;
  return mapped;
}

namespace {

std::vector<Ace> InheritedAces(const SecurityDescriptor& parent) {
  std::vector<Ace> inherited;
  if (!parent.dacl) return inherited;
  constexpr BYTE kInheritFlags = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  for (const Ace& ace : *parent.dacl) {
    if ((ace.flags & CONTAINER_INHERIT_ACE) == 0) continue;  // keys are containers
    const bool propagates = (ace.flags & NO_PROPAGATE_INHERIT_ACE) == 0;
    if ((ace.mask & kGenericRights) == 0) {
      Ace copy = ace;
      copy.flags = static_cast<BYTE>((propagates ? ace.flags & kInheritFlags : 0) | INHERITED_ACE);
      inherited.push_back(std::move(copy));
      continue;
    }
    Ace effective = ace;
    effective.mask = MapGenericKeyRights(ace.mask);
    effective.flags = INHERITED_ACE;
    inherited.push_back(std::move(effective));
    if (propagates) {
      Ace passOn = ace;
      passOn.flags = static_cast<BYTE>((ace.flags & kInheritFlags) | INHERIT_ONLY_ACE |
                                       INHERITED_ACE);
      inherited.push_back(std::move(passOn));
    }
  }
  return inherited;
}

}  // namespace

std::vector<BYTE> InheritedKeySecurity(const std::vector<BYTE>& parentBytes) {
  SecurityDescriptor parent;
  if (!ParseDescriptor(parentBytes, parent)) return parentBytes;
  SecurityDescriptor child;
  child.control = SE_DACL_AUTO_INHERITED;
  child.owner = parent.owner;
  child.group = parent.group;
  child.dacl = InheritedAces(parent);
  return SerializeDescriptor(child);
}

std::vector<BYTE> KeySecurityWithDacl(const std::vector<BYTE>& currentBytes,
                                      const std::vector<BYTE>* parentBytes,
                                      const std::vector<Ace>& explicitAces) {
  SecurityDescriptor current;
  ParseDescriptor(currentBytes, current);
  SecurityDescriptor updated;
  updated.control = SE_DACL_AUTO_INHERITED;
  updated.owner = current.owner;
  updated.group = current.group;
  updated.dacl = explicitAces;
  SecurityDescriptor parent;
  if (parentBytes && ParseDescriptor(*parentBytes, parent)) {
    for (Ace& ace : InheritedAces(parent)) updated.dacl->push_back(std::move(ace));
  }
  return SerializeDescriptor(updated);
}

}  // namespace emu
