// The hive writer. Offsets in cells count from the start of the hive bins data (just past the
// 4096-byte base block) and point at a cell's size field. Cells are laid out in the order they are
// made, each key followed by its class, values and subkeys, so a saved store reads front to back.
#include "platform/emulated/hive_file.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <stdexcept>

#include "platform/text.h"

namespace emu {
namespace {

constexpr std::size_t kBaseBlockSize = 4096;
constexpr std::size_t kBinAlignment = 4096;
constexpr std::size_t kBinHeaderSize = 32;
constexpr DWORD kNoCell = 0xFFFFFFFF;

constexpr WORD kKeyHiveEntry = 0x0004;
constexpr WORD kKeyNoDelete = 0x0008;
constexpr WORD kKeyCompName = 0x0020;
constexpr WORD kValueCompName = 0x0001;
constexpr DWORD kDataInline = 0x80000000;

// Data beyond this goes into "db" segments of this size (format 1.4 and later).
constexpr std::size_t kBigDataSegment = 16344;
constexpr std::size_t kMaxDataSize = 0x3FFFFFFF;
// Windows starts an index root once a leaf would pass this many entries.
constexpr std::size_t kMaxLeafEntries = 1012;
constexpr std::size_t kMaxKeyNameUnits = 255;
constexpr std::size_t kMaxValueNameUnits = 16383;

struct HiveError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Upper case as the registry compares names: the simple mappings of the scripts that key names
// realistically use. Anything else compares as it is.
char16_t UpcaseUnit(char16_t c) {
  if (c < 0x80) return (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - 0x20) : c;
  if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return static_cast<char16_t>(c - 0x20);
  if (c == 0xFF) return 0x178;
  if (c >= 0x100 && c <= 0x17E) {
    if (c == 0x130 || c == 0x131 || c == 0x138 || c == 0x149 || c == 0x178) return c;
    // Two stretches pair an odd capital with the even small letter after it.
    const bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    const bool isSmall = oddCapitals ? (c % 2 == 0) : (c % 2 == 1);
    return isSmall ? static_cast<char16_t>(c - 1) : c;
  }
  if (c == 0x3C2) return 0x3A3;  // final sigma
  if (c >= 0x3B1 && c <= 0x3CB) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x430 && c <= 0x44F) return static_cast<char16_t>(c - 0x20);
  if (c >= 0x450 && c <= 0x45F) return static_cast<char16_t>(c - 0x50);
  return c;
}

std::u16string Upcase(std::u16string_view name) {
  std::u16string upper(name);
  for (char16_t& c : upper) c = UpcaseUnit(c);
  return upper;
}

std::size_t Align(std::size_t size, std::size_t alignment) {
  return (size + alignment - 1) / alignment * alignment;
}

void Put16(std::vector<BYTE>& bytes, std::size_t at, WORD value) {
  bytes[at] = static_cast<BYTE>(value);
  bytes[at + 1] = static_cast<BYTE>(value >> 8);
}

void Put32(std::vector<BYTE>& bytes, std::size_t at, DWORD value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

void Put64(std::vector<BYTE>& bytes, std::size_t at, ULONGLONG value) {
  for (int i = 0; i < 8; ++i) bytes[at + i] = static_cast<BYTE>(value >> (8 * i));
}

DWORD Get32(const std::vector<BYTE>& bytes, std::size_t at) {
  DWORD value = 0;
  for (int i = 0; i < 4; ++i) value |= static_cast<DWORD>(bytes[at + i]) << (8 * i);
  return value;
}

// A name as the format stores it: one byte per unit when every unit fits (the "compressed"
// form Windows uses whenever it can), UTF-16LE otherwise.
struct StoredName {
  std::vector<BYTE> bytes;
  bool compressed = true;
};

StoredName StoreName(std::u16string_view units) {
  StoredName name;
  name.compressed = std::all_of(units.begin(), units.end(), [](char16_t c) { return c <= 0xFF; });
  for (char16_t c : units) {
    name.bytes.push_back(static_cast<BYTE>(c));
    if (!name.compressed) name.bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  return name;
}

std::vector<BYTE> Utf16Bytes(std::u16string_view units) {
  std::vector<BYTE> bytes;
  for (char16_t c : units) {
    bytes.push_back(static_cast<BYTE>(c));
    bytes.push_back(static_cast<BYTE>(c >> 8));
  }
  return bytes;
}

void CheckDescriptor(const std::vector<BYTE>& descriptor) {
  constexpr WORD kSelfRelative = 0x8000;
  if (descriptor.size() < 20 || descriptor[0] != 1) {
    throw HiveError("a key's security descriptor is not a valid descriptor");
  }
  const WORD control = static_cast<WORD>(descriptor[2] | descriptor[3] << 8);
  if ((control & kSelfRelative) == 0) {
    throw HiveError("a key's security descriptor is not self-relative");
  }
  for (std::size_t field = 4; field < 20; field += 4) {
    if (Get32(descriptor, field) >= descriptor.size()) {
      throw HiveError("a key's security descriptor points outside itself");
    }
  }
}

class HiveBuilder {
 public:
  DWORD Build(const RegistryKeyTree& root) {
    const DWORD rootCell = WriteKey(root, kNoCell, true);
    LinkSecurityCells();
    CloseBin();
    if (data_.size() > 0x7FFFF000) throw HiveError("the hive would pass 2 GB");
    return rootCell;
  }

  std::vector<BYTE>& Data() { return data_; }

 private:
  struct SecurityCell {
    DWORD cell = 0;
    DWORD references = 0;
  };

  struct Subkey {
    const RegistryKeyTree* tree = nullptr;
    std::u16string name;
    std::u16string upper;
    DWORD cell = 0;
  };

  // An allocated cell with room for `size` bytes after its size field. A cell never crosses a bin,
  // so one that does not fit starts a new bin, as large as it needs.
  DWORD Allocate(std::size_t size) {
    const std::size_t need = Align(size + 4, 8);
    if (data_.size() + need > binEnd_) {
      CloseBin();
      const std::size_t start = data_.size();
      const std::size_t binSize = Align(kBinHeaderSize + need, kBinAlignment);
      data_.resize(start + kBinHeaderSize, 0);
      std::memcpy(data_.data() + start, "hbin", 4);
      Put32(data_, start + 4, static_cast<DWORD>(start));
      Put32(data_, start + 8, static_cast<DWORD>(binSize));
      binEnd_ = start + binSize;
    }
    const std::size_t cell = data_.size();
    data_.resize(cell + need, 0);
    Put32(data_, cell, static_cast<DWORD>(-static_cast<LONG>(need)));
    return static_cast<DWORD>(cell);
  }

  // The rest of the current bin becomes one free cell (positive size).
  void CloseBin() {
    if (data_.size() >= binEnd_) return;
    const std::size_t freeCell = data_.size();
    data_.resize(binEnd_, 0);
    Put32(data_, freeCell, static_cast<DWORD>(binEnd_ - freeCell));
  }

  DWORD Cell(const std::vector<BYTE>& content) {
    const DWORD cell = Allocate(content.size());
    std::copy(content.begin(), content.end(), data_.begin() + cell + 4);
    return cell;
  }

  DWORD OffsetList(const std::vector<DWORD>& offsets) {
    const DWORD cell = Allocate(offsets.size() * 4);
    for (std::size_t i = 0; i < offsets.size(); ++i) Put32(data_, cell + 4 + 4 * i, offsets[i]);
    return cell;
  }

  DWORD Security(const std::optional<std::vector<BYTE>>& own) {
    const std::vector<BYTE>& descriptor = own ? *own : defaultSecurity_;
    if (own) CheckDescriptor(descriptor);
    auto [entry, added] = security_.try_emplace(descriptor);
    if (added) {
      entry->second.cell = Allocate(20 + descriptor.size());
      const std::size_t at = entry->second.cell + 4;
      std::memcpy(data_.data() + at, "sk", 2);
      Put32(data_, at + 16, static_cast<DWORD>(descriptor.size()));
      std::copy(descriptor.begin(), descriptor.end(), data_.begin() + at + 20);
      securityOrder_.push_back(entry->second.cell);
    }
    ++entry->second.references;
    return entry->second.cell;
  }

  // The sk cells form one circular list in the order they were made; each counts its keys.
  void LinkSecurityCells() {
    const std::size_t count = securityOrder_.size();
    for (std::size_t i = 0; i < count; ++i) {
      const std::size_t at = securityOrder_[i] + 4;
      Put32(data_, at + 4, securityOrder_[(i + 1) % count]);
      Put32(data_, at + 8, securityOrder_[(i + count - 1) % count]);
    }
    for (const auto& [descriptor, entry] : security_) {
      Put32(data_, entry.cell + 4 + 12, entry.references);
    }
  }

  DWORD WriteData(const std::vector<BYTE>& data) {
    if (data.size() <= kBigDataSegment) return Cell(data);
    const std::size_t segments = (data.size() + kBigDataSegment - 1) / kBigDataSegment;
    const DWORD header = Allocate(8);
    std::vector<DWORD> offsets;
    for (std::size_t at = 0; at < data.size(); at += kBigDataSegment) {
      const std::size_t length = std::min(kBigDataSegment, data.size() - at);
      // Readers take a segment's length from its cell, less 8 bytes: a full segment's cell has
      // exactly that, and four bytes of slack give the last one the same.
      const DWORD segment = Allocate(length + 4);
      std::copy(data.begin() + at, data.begin() + at + length, data_.begin() + segment + 4);
      offsets.push_back(segment);
    }
    const DWORD list = OffsetList(offsets);
    std::memcpy(data_.data() + header + 4, "db", 2);
    Put16(data_, header + 4 + 2, static_cast<WORD>(segments));
    Put32(data_, header + 4 + 4, list);
    return header;
  }

  DWORD WriteValue(const RegistryValue& value, std::u16string& units) {
    units = win::Utf8ToUtf16(value.name);
    if (units.size() > kMaxValueNameUnits) throw HiveError("a value name is too long");
    if (value.data.size() > kMaxDataSize) throw HiveError("value data of over 1 GB");
    const StoredName name = StoreName(units);
    const DWORD vk = Allocate(20 + name.bytes.size());
    const std::size_t at = vk + 4;
    std::memcpy(data_.data() + at, "vk", 2);
    Put16(data_, at + 2, static_cast<WORD>(name.bytes.size()));
    const auto size = static_cast<DWORD>(value.data.size());
    if (size <= 4) {
      // Up to four bytes live in the offset field itself.
      Put32(data_, at + 4, size | kDataInline);
      std::copy(value.data.begin(), value.data.end(), data_.begin() + at + 8);
    } else {
      const DWORD data = WriteData(value.data);
      Put32(data_, at + 4, size);
      Put32(data_, at + 8, data);
    }
    Put32(data_, at + 12, value.type);
    Put16(data_, at + 16, name.compressed ? kValueCompName : 0);
    std::copy(name.bytes.begin(), name.bytes.end(), data_.begin() + at + 20);
    return vk;
  }

  DWORD HashLeaf(const std::vector<Subkey>& subkeys, std::size_t first, std::size_t count) {
    const DWORD leaf = Allocate(4 + 8 * count);
    const std::size_t at = leaf + 4;
    std::memcpy(data_.data() + at, "lh", 2);
    Put16(data_, at + 2, static_cast<WORD>(count));
    for (std::size_t i = 0; i < count; ++i) {
      const Subkey& subkey = subkeys[first + i];
      DWORD hash = 0;
      for (char16_t c : subkey.upper) hash = hash * 37 + c;
      Put32(data_, at + 4 + 8 * i, subkey.cell);
      Put32(data_, at + 8 + 8 * i, hash);
    }
    return leaf;
  }

  DWORD SubkeyList(const std::vector<Subkey>& subkeys) {
    if (subkeys.size() <= kMaxLeafEntries) return HashLeaf(subkeys, 0, subkeys.size());
    std::vector<DWORD> leaves;
    for (std::size_t first = 0; first < subkeys.size(); first += kMaxLeafEntries) {
      leaves.push_back(HashLeaf(subkeys, first, std::min(kMaxLeafEntries, subkeys.size() - first)));
    }
    if (leaves.size() > 0xFFFF) throw HiveError("a key has too many subkeys");
    const DWORD root = Allocate(4 + 4 * leaves.size());
    std::memcpy(data_.data() + root + 4, "ri", 2);
    Put16(data_, root + 4 + 2, static_cast<WORD>(leaves.size()));
    for (std::size_t i = 0; i < leaves.size(); ++i) Put32(data_, root + 8 + 4 * i, leaves[i]);
    return root;
  }

  DWORD WriteKey(const RegistryKeyTree& key, DWORD parent, bool isRoot) {
    const std::u16string units = win::Utf8ToUtf16(key.name);
    if (units.size() > kMaxKeyNameUnits) throw HiveError("a key name is too long");
    if (units.empty() && !isRoot) throw HiveError("a subkey without a name");
    const StoredName name = StoreName(units);
    const DWORD nk = Allocate(76 + name.bytes.size());
    const std::size_t at = nk + 4;
    std::memcpy(data_.data() + at, "nk", 2);
    WORD flags = name.compressed ? kKeyCompName : 0;
    if (isRoot) flags |= kKeyHiveEntry | kKeyNoDelete;
    Put16(data_, at + 2, flags);
    Put64(data_, at + 4, key.lastWrite);
    Put32(data_, at + 16, parent);
    Put32(data_, at + 32, kNoCell);  // volatile subkeys are not saved
    Put16(data_, at + 72, static_cast<WORD>(name.bytes.size()));
    std::copy(name.bytes.begin(), name.bytes.end(), data_.begin() + at + 76);

    DWORD classCell = kNoCell;
    const std::vector<BYTE> className = Utf16Bytes(win::Utf8ToUtf16(key.className));
    if (className.size() > 0xFFFF) throw HiveError("a class name is too long");
    if (!className.empty()) classCell = Cell(className);
    Put32(data_, at + 48, classCell);
    Put16(data_, at + 74, static_cast<WORD>(className.size()));
    Put32(data_, at + 44, Security(key.security));

    DWORD valueList = kNoCell;
    DWORD maxValueName = 0;
    DWORD maxValueData = 0;
    if (!key.values.empty()) {
      std::vector<DWORD> offsets;
      std::u16string valueName;
      for (const RegistryValue& value : key.values) {
        offsets.push_back(WriteValue(value, valueName));
        maxValueName = std::max<DWORD>(maxValueName, static_cast<DWORD>(valueName.size() * 2));
        maxValueData = std::max<DWORD>(maxValueData, static_cast<DWORD>(value.data.size()));
      }
      valueList = OffsetList(offsets);
    }
    Put32(data_, at + 36, static_cast<DWORD>(key.values.size()));
    Put32(data_, at + 40, valueList);
    Put32(data_, at + 60, maxValueName);
    Put32(data_, at + 64, maxValueData);

    // Lookups search the lists by upper-case name, so they are kept in that order.
    std::vector<Subkey> subkeys;
    for (const RegistryKeyTree& child : key.subkeys) {
      if (child.isVolatile) continue;
      Subkey subkey{&child, win::Utf8ToUtf16(child.name), {}, 0};
      subkey.upper = Upcase(subkey.name);
      subkeys.push_back(std::move(subkey));
    }
    std::sort(subkeys.begin(), subkeys.end(),
              [](const Subkey& a, const Subkey& b) { return a.upper < b.upper; });
    DWORD maxName = 0;
    DWORD maxClass = 0;
    for (std::size_t i = 0; i < subkeys.size(); ++i) {
      if (i > 0 && subkeys[i].upper == subkeys[i - 1].upper) {
        throw HiveError("two subkeys named \"" + subkeys[i].tree->name + "\"");
      }
      subkeys[i].cell = WriteKey(*subkeys[i].tree, nk, false);
      maxName = std::max<DWORD>(maxName, static_cast<DWORD>(subkeys[i].name.size() * 2));
      maxClass = std::max<DWORD>(
          maxClass, static_cast<DWORD>(win::Utf8ToUtf16(subkeys[i].tree->className).size() * 2));
    }
    Put32(data_, at + 20, static_cast<DWORD>(subkeys.size()));
    Put32(data_, at + 28, subkeys.empty() ? kNoCell : SubkeyList(subkeys));
    Put32(data_, at + 52, maxName);
    Put32(data_, at + 56, maxClass);
    return nk;
  }

  std::vector<BYTE> data_;
  std::size_t binEnd_ = 0;
  const std::vector<BYTE> defaultSecurity_ = DefaultKeySecurity();
  std::map<std::vector<BYTE>, SecurityCell> security_;
  std::vector<DWORD> securityOrder_;
};

}  // namespace

std::vector<BYTE> DefaultKeySecurity() {
  const std::vector<BYTE> everyone = {1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0};
  const std::vector<BYTE> system = {1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0};
  const std::vector<BYTE> administrators = {1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 0x20, 2, 0, 0};
  constexpr BYTE kInherit = 0x01 | 0x02;  // OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE

  std::vector<BYTE> acl(8, 0);
  WORD aces = 0;
  for (const std::vector<BYTE>* sid : {&everyone, &system, &administrators}) {
    const std::size_t at = acl.size();
    acl.resize(at + 8, 0);
    acl[at] = 0;  // ACCESS_ALLOWED_ACE_TYPE
    acl[at + 1] = kInherit;
    Put16(acl, at + 2, static_cast<WORD>(8 + sid->size()));
    Put32(acl, at + 4, KEY_ALL_ACCESS);
    acl.insert(acl.end(), sid->begin(), sid->end());
    ++aces;
  }
  acl[0] = 2;  // ACL_REVISION
  Put16(acl, 2, static_cast<WORD>(acl.size()));
  Put16(acl, 4, aces);

  std::vector<BYTE> descriptor(20, 0);
  descriptor[0] = 1;                   // SECURITY_DESCRIPTOR_REVISION
  Put16(descriptor, 2, 0x8000 | 0x4);  // SE_SELF_RELATIVE | SE_DACL_PRESENT
  Put32(descriptor, 16, static_cast<DWORD>(descriptor.size()));
  descriptor.insert(descriptor.end(), acl.begin(), acl.end());
  Put32(descriptor, 4, static_cast<DWORD>(descriptor.size()));
  descriptor.insert(descriptor.end(), administrators.begin(), administrators.end());
  Put32(descriptor, 8, static_cast<DWORD>(descriptor.size()));
  descriptor.insert(descriptor.end(), system.begin(), system.end());
  return descriptor;
}

DWORD HiveNameHash(std::string_view name) {
  DWORD hash = 0;
  for (char16_t c : Upcase(win::Utf8ToUtf16(name))) hash = hash * 37 + c;
  return hash;
}

bool WriteHiveFile(const RegistryKeyTree& root, std::vector<BYTE>& bytes, std::string& error,
                   const HiveFileInfo& info) {
  bytes.clear();
  HiveBuilder builder;
  DWORD rootCell = 0;
  try {
    rootCell = builder.Build(root);
  } catch (const HiveError& failure) {
    error = failure.what();
    return false;
  }
  std::vector<BYTE>& bins = builder.Data();
  const ULONGLONG written = info.written != 0 ? info.written : root.lastWrite;
  Put64(bins, 20, written);  // the first bin keeps a copy of the base block's timestamp

  bytes.assign(kBaseBlockSize, 0);
  std::memcpy(bytes.data(), "regf", 4);
  Put32(bytes, 4, 1);  // primary and secondary sequence numbers equal: a clean hive
  Put32(bytes, 8, 1);
  Put64(bytes, 12, written);
  Put32(bytes, 20, 1);  // version 1.5
  Put32(bytes, 24, 5);
  Put32(bytes, 28, 0);  // primary file
  Put32(bytes, 32, 1);  // direct memory load
  Put32(bytes, 36, rootCell);
  Put32(bytes, 40, static_cast<DWORD>(bins.size()));
  Put32(bytes, 44, 1);  // clustering factor: 512-byte sectors
  std::u16string fileName = win::Utf8ToUtf16(info.fileName);
  if (fileName.size() > 31) fileName.erase(0, fileName.size() - 31);
  for (std::size_t i = 0; i < fileName.size(); ++i) Put16(bytes, 48 + 2 * i, fileName[i]);

  DWORD checksum = 0;
  for (std::size_t at = 0; at < 508; at += 4) checksum ^= Get32(bytes, at);
  // The format reserves 0 and -1.
  if (checksum == 0) checksum = 1;
  if (checksum == 0xFFFFFFFF) checksum = 0xFFFFFFFE;
  Put32(bytes, 508, checksum);

  bytes.insert(bytes.end(), bins.begin(), bins.end());
  return true;
}

}  // namespace emu
