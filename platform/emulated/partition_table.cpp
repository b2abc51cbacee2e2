#include "platform/emulated/partition_table.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstring>
#include <limits>
#include <set>

namespace emu {

// GUIDs, LBAs and names go between the Win32 structures and the disk by memcpy: both are
// little-endian with the same GUID field order.
static_assert(std::endian::native == std::endian::little);

namespace {

constexpr std::size_t kLayoutHeader = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
constexpr std::size_t kLayoutEntry = sizeof(PARTITION_INFORMATION_EX);
constexpr std::size_t kMbrEntries = 446;
constexpr std::size_t kMbrSignature = 440;
constexpr BYTE kProtectiveType = 0xEE;
// Logical chains longer than this are damaged (or loop); Windows stops reading them too.
constexpr int kMaxLogicalDrives = 128;
constexpr DWORD kGptEntries = 128;
constexpr DWORD kGptEntrySize = 128;
constexpr std::size_t kGptHeaderSize = 92;
constexpr char kGptSignature[8] = {'E', 'F', 'I', ' ', 'P', 'A', 'R', 'T'};
constexpr std::size_t kGptNameUnits = 36;
// Larger entry arrays than this are not read: no real table comes near it.
constexpr ULONGLONG kMaxGptArrayBytes = 1 << 20;

template <typename T>
T Get(const BYTE* p) {
  T value;
  std::memcpy(&value, p, sizeof value);
  return value;
}

template <typename T>
void Put(BYTE* p, T value) {
  std::memcpy(p, &value, sizeof value);
}

bool IsNullGuid(const GUID& guid) {
  static constexpr BYTE zero[sizeof(GUID)] = {};
  return std::memcmp(&guid, zero, sizeof guid) == 0;
}

bool HasBootSignature(const std::vector<BYTE>& sector) {
  return sector.size() >= 512 && sector[510] == 0x55 && sector[511] == 0xAA;
}

struct MbrEntry {
  BYTE status = 0;
  BYTE type = 0;
  DWORD start = 0;  // relative sectors
  DWORD count = 0;
  bool Empty() const { return type == PARTITION_ENTRY_UNUSED || count == 0; }
};

MbrEntry ParseMbrEntry(const std::vector<BYTE>& sector, int index) {
  const BYTE* p = sector.data() + kMbrEntries + 16 * index;
  return MbrEntry{p[0], p[4], Get<DWORD>(p + 8), Get<DWORD>(p + 12)};
}

DWORD MbrChecksum(const std::vector<BYTE>& sector) {
  DWORD sum = 0;
  for (std::size_t i = 0; i < 512; i += 4) sum += Get<DWORD>(sector.data() + i);
  return ~sum + 1;
}

void ReadMbr(DiskImage& disk, const std::vector<BYTE>& mbr, PartitionTable& table) {
  const LONGLONG sector = disk.SectorSize();
  table.style = PARTITION_STYLE_MBR;
  table.signature = Get<DWORD>(mbr.data() + kMbrSignature);
  table.checksum = MbrChecksum(mbr);
  DWORD number = 1;
  auto add = [&](const MbrEntry& entry, LONGLONG base, DWORD slot) {
    PartitionRecord record;
    record.number = ContainerMbrType(entry.type) ? 0 : number++;
    record.offset = (base + entry.start) * sector;
    record.length = static_cast<LONGLONG>(entry.count) * sector;
    record.slot = slot;
    record.mbrType = entry.type;
    record.boot = (entry.status & 0x80) != 0;
    record.hiddenSectors = entry.start;
    table.partitions.push_back(std::move(record));
  };

  LONGLONG extended = -1;
  for (int i = 0; i < 4; ++i) {
    const MbrEntry entry = ParseMbrEntry(mbr, i);
    if (entry.Empty()) continue;
    add(entry, 0, i);
    if (extended < 0 && ContainerMbrType(entry.type)) extended = entry.start;
  }
  if (extended < 0) return;

  // Each EBR holds a logical drive (relative to the EBR) and a link to the next EBR (relative to
  // the extended partition); Windows shows all four of its slots.
  std::set<LONGLONG> seen;
  LONGLONG ebr = extended;
  std::vector<BYTE> buffer(disk.SectorSize());
  for (int k = 0; k < kMaxLogicalDrives && seen.insert(ebr).second; ++k) {
    if (!disk.Read(static_cast<ULONGLONG>(ebr * sector), buffer.data(), buffer.size()) ||
        !HasBootSignature(buffer)) {
      break;
    }
    LONGLONG next = -1;
    for (int i = 0; i < 4; ++i) {
      const MbrEntry entry = ParseMbrEntry(buffer, i);
      if (entry.Empty()) continue;
      const bool link = ContainerMbrType(entry.type);
      add(entry, link ? extended : ebr, 4 + 4 * k + i);
      if (link && next < 0) next = extended + entry.start;
    }
    if (next < 0) break;
    ebr = next;
  }
}

struct GptHeader {
  ULONGLONG firstUsable = 0;
  ULONGLONG lastUsable = 0;
  GUID diskId{};
  ULONGLONG entryLba = 0;
  DWORD count = 0;
  DWORD entrySize = 0;
  std::vector<BYTE> entries;
};

// The header at `lba` with its entry array, when both CRCs hold and it points where it should.
bool ReadGptHeader(DiskImage& disk, ULONGLONG lba, GptHeader& header) {
  const DWORD sector = disk.SectorSize();
  const ULONGLONG sectors = disk.SectorCount();
  std::vector<BYTE> buffer(sector);
  if (!disk.Read(lba * sector, buffer.data(), sector)) return false;
  const BYTE* p = buffer.data();
  if (std::memcmp(p, kGptSignature, sizeof kGptSignature) != 0) return false;
  const DWORD size = Get<DWORD>(p + 12);
  if (size < kGptHeaderSize || size > sector) return false;
  const DWORD crc = Get<DWORD>(p + 16);
  Put<DWORD>(buffer.data() + 16, 0);
  if (crc32(0, buffer.data(), size) != crc) return false;
  if (Get<ULONGLONG>(p + 24) != lba) return false;

  header.firstUsable = Get<ULONGLONG>(p + 40);
  header.lastUsable = Get<ULONGLONG>(p + 48);
  std::memcpy(&header.diskId, p + 56, sizeof header.diskId);
  header.entryLba = Get<ULONGLONG>(p + 72);
  header.count = Get<DWORD>(p + 80);
  header.entrySize = Get<DWORD>(p + 84);
  const DWORD entriesCrc = Get<DWORD>(p + 88);
  if (header.entrySize < kGptEntrySize || header.entrySize % 8 != 0) return false;
  if (header.firstUsable > header.lastUsable || header.lastUsable >= sectors) return false;
  const ULONGLONG arrayBytes = static_cast<ULONGLONG>(header.count) * header.entrySize;
  if (arrayBytes > kMaxGptArrayBytes || header.entryLba >= sectors) return false;
  header.entries.resize(arrayBytes);
  if (!disk.Read(header.entryLba * sector, header.entries.data(), arrayBytes)) return false;
  return crc32(0, header.entries.data(), static_cast<uInt>(arrayBytes)) == entriesCrc;
}

bool ReadGpt(DiskImage& disk, PartitionTable& table) {
  const ULONGLONG sectors = disk.SectorCount();
  if (sectors < 3) return false;
  GptHeader header;
  bool backup = false;
  if (!ReadGptHeader(disk, 1, header)) {
    header = GptHeader{};
    if (!ReadGptHeader(disk, sectors - 1, header)) return false;
    backup = true;
  }

  const LONGLONG sector = disk.SectorSize();
  table.style = PARTITION_STYLE_GPT;
  table.diskId = header.diskId;
  table.usableOffset = static_cast<LONGLONG>(header.firstUsable) * sector;
  table.usableLength = static_cast<LONGLONG>(header.lastUsable - header.firstUsable + 1) * sector;
  table.maxPartitionCount = header.count;
  table.backupGpt = backup;
  DWORD number = 1;
  for (DWORD i = 0; i < header.count; ++i) {
    const BYTE* p = header.entries.data() + static_cast<std::size_t>(i) * header.entrySize;
    PartitionRecord record;
    std::memcpy(&record.gptType, p, sizeof(GUID));
    if (IsNullGuid(record.gptType)) continue;
    const auto first = Get<ULONGLONG>(p + 32);
    const auto last = Get<ULONGLONG>(p + 40);
    if (last < first || last >= sectors) continue;  // a broken entry, not a partition
    std::memcpy(&record.gptId, p + 16, sizeof(GUID));
    record.number = number++;
    record.offset = static_cast<LONGLONG>(first) * sector;
    record.length = static_cast<LONGLONG>(last - first + 1) * sector;
    record.attributes = Get<DWORD64>(p + 48);
    for (std::size_t u = 0; u < kGptNameUnits; ++u) {
      const auto unit = Get<char16_t>(p + 56 + 2 * u);
      if (unit == 0) break;
      record.name.push_back(unit);
    }
    table.partitions.push_back(std::move(record));
  }
  return true;
}

// Where each MBR record goes in the layout; records that claim an earlier place than the one
// before them follow it instead.
std::vector<DWORD> MbrPositions(const PartitionTable& table, DWORD& count) {
  std::vector<DWORD> positions;
  DWORD next = 0;
  for (const PartitionRecord& record : table.partitions) {
    const DWORD at = std::max(next, record.slot);
    positions.push_back(at);
    next = at + 1;
  }
  count = std::max<DWORD>(4, (next + 3) / 4 * 4);
  return positions;
}

// CHS as BIOS tools read it; addresses past cylinder 1023 (or without a usable geometry) get the
// customary 1023/254/63.
std::array<BYTE, 3> ChsAddress(ULONGLONG lba, const DISK_GEOMETRY& geometry) {
  const ULONGLONG heads = geometry.TracksPerCylinder;
  const ULONGLONG perTrack = geometry.SectorsPerTrack;
  if (heads == 0 || heads > 255 || perTrack == 0 || perTrack > 63) return {0xFE, 0xFF, 0xFF};
  const ULONGLONG cylinder = lba / (heads * perTrack);
  if (cylinder > 1023) return {0xFE, 0xFF, 0xFF};
  const auto head = static_cast<BYTE>((lba / perTrack) % heads);
  const auto sector = static_cast<BYTE>(lba % perTrack + 1);
  return {head, static_cast<BYTE>(sector | ((cylinder >> 2) & 0xC0)),
          static_cast<BYTE>(cylinder & 0xFF)};
}

void PutMbrEntry(std::vector<BYTE>& sector, int index, bool boot, BYTE type, ULONGLONG start,
                 ULONGLONG count, const std::array<BYTE, 3>& first,
                 const std::array<BYTE, 3>& last) {
  BYTE* p = sector.data() + kMbrEntries + 16 * index;
  p[0] = boot ? 0x80 : 0x00;
  std::copy(first.begin(), first.end(), p + 1);
  p[4] = type;
  std::copy(last.begin(), last.end(), p + 5);
  Put<DWORD>(p + 8, static_cast<DWORD>(start));
  Put<DWORD>(p + 12, static_cast<DWORD>(count));
}

struct Extent {
  LONGLONG offset;
  LONGLONG length;
};

// Sector-aligned, non-empty, inside [low, high) and not overlapping one another.
bool ValidExtents(std::vector<Extent> extents, LONGLONG sector, LONGLONG low, LONGLONG high) {
  for (const Extent& e : extents) {
    if (e.offset < 0 || e.length <= 0) return false;
    if (e.offset % sector != 0 || e.length % sector != 0) return false;
    if (e.offset < low || e.offset > high || e.length > high - e.offset) return false;
  }
  std::sort(extents.begin(), extents.end(),
            [](const Extent& a, const Extent& b) { return a.offset < b.offset; });
  for (std::size_t i = 1; i < extents.size(); ++i) {
    if (extents[i - 1].offset + extents[i - 1].length > extents[i].offset) return false;
  }
  return true;
}

struct Layout {
  DRIVE_LAYOUT_INFORMATION_EX header;
  std::vector<PARTITION_INFORMATION_EX> entries;
};

bool ParseLayout(const void* in, DWORD inSize, Layout& layout) {
  if (in == nullptr || inSize < kLayoutHeader) return false;
  std::memset(&layout.header, 0, sizeof layout.header);
  std::memcpy(&layout.header, in, kLayoutHeader);
  const DWORD count = layout.header.PartitionCount;
  if (inSize < kLayoutHeader + static_cast<ULONGLONG>(count) * kLayoutEntry) return false;
  layout.entries.resize(count);
  const auto* bytes = static_cast<const BYTE*>(in) + kLayoutHeader;
  for (DWORD i = 0; i < count; ++i) {
    std::memcpy(&layout.entries[i], bytes + static_cast<std::size_t>(i) * kLayoutEntry,
                kLayoutEntry);
  }
  return true;
}

bool WriteSectors(DiskImage& disk, ULONGLONG lba, const std::vector<BYTE>& data) {
  return disk.Write(lba * disk.SectorSize(), data.data(), data.size());
}

// Zeroes a GPT header left at `lba`, so that the MBR written now is the disk's only table.
bool WipeGptHeader(DiskImage& disk, ULONGLONG lba) {
  std::vector<BYTE> buffer(disk.SectorSize());
  if (!disk.Read(lba * disk.SectorSize(), buffer.data(), buffer.size())) return false;
  if (std::memcmp(buffer.data(), kGptSignature, sizeof kGptSignature) != 0) return true;
  std::fill(buffer.begin(), buffer.end(), 0);
  return WriteSectors(disk, lba, buffer);
}

// Only the four MBR slots are written: a used entry past them would need an EBR chain, which
// this driver does not write, so such a layout is refused rather than silently cut short.
DWORD WriteMbr(DiskImage& disk, const DISK_GEOMETRY& geometry, const Layout& layout) {
  const LONGLONG sector = disk.SectorSize();
  const ULONGLONG sectors = disk.SectorCount();
  std::vector<Extent> extents;
  for (std::size_t i = 0; i < layout.entries.size(); ++i) {
    const PARTITION_INFORMATION_EX& entry = layout.entries[i];
    if (entry.Mbr.PartitionType == PARTITION_ENTRY_UNUSED) continue;
    if (i >= 4) return ERROR_INVALID_PARAMETER;
    extents.push_back({entry.StartingOffset.QuadPart, entry.PartitionLength.QuadPart});
  }
  // The MBR's own sector belongs to no partition, and LBAs must fit the entries' 32 bits.
  const LONGLONG diskEnd = static_cast<LONGLONG>(sectors) * sector;
  if (!ValidExtents(extents, sector, sector, diskEnd)) return ERROR_INVALID_PARAMETER;
  for (const Extent& e : extents) {
    if (e.offset / sector > 0xFFFFFFFF || e.length / sector > 0xFFFFFFFF) {
      return ERROR_INVALID_PARAMETER;
    }
  }

  std::vector<BYTE> mbr(sector);
  if (!disk.Read(0, mbr.data(), mbr.size())) return ERROR_IO_DEVICE;
  Put<DWORD>(mbr.data() + kMbrSignature, layout.header.Mbr.Signature);
  Put<WORD>(mbr.data() + kMbrSignature + 4, 0);
  std::fill(mbr.begin() + kMbrEntries, mbr.begin() + 510, 0);
  for (std::size_t i = 0; i < std::min<std::size_t>(4, layout.entries.size()); ++i) {
    const PARTITION_INFORMATION_EX& entry = layout.entries[i];
    if (entry.Mbr.PartitionType == PARTITION_ENTRY_UNUSED) continue;
    const auto start = static_cast<ULONGLONG>(entry.StartingOffset.QuadPart / sector);
    const auto count = static_cast<ULONGLONG>(entry.PartitionLength.QuadPart / sector);
    PutMbrEntry(mbr, static_cast<int>(i), entry.Mbr.BootIndicator != 0, entry.Mbr.PartitionType,
                start, count, ChsAddress(start, geometry), ChsAddress(start + count - 1, geometry));
  }
  mbr[510] = 0x55;
  mbr[511] = 0xAA;
  if (!WriteSectors(disk, 0, mbr)) return ERROR_IO_DEVICE;
  // Windows drops both GPT headers when a disk becomes MBR, or the backup would bring it back.
  if (sectors > 1 && (!WipeGptHeader(disk, 1) || !WipeGptHeader(disk, sectors - 1))) {
    return ERROR_IO_DEVICE;
  }
  return ERROR_SUCCESS;
}

std::vector<BYTE> GptHeaderSector(DWORD sector, ULONGLONG self, ULONGLONG alternate,
                                  ULONGLONG firstUsable, ULONGLONG lastUsable, const GUID& diskId,
                                  ULONGLONG entryLba, DWORD entriesCrc) {
  std::vector<BYTE> buffer(sector);
  BYTE* p = buffer.data();
  std::memcpy(p, kGptSignature, sizeof kGptSignature);
  Put<DWORD>(p + 8, 0x00010000);  // revision 1.0
  Put<DWORD>(p + 12, kGptHeaderSize);
  Put<ULONGLONG>(p + 24, self);
  Put<ULONGLONG>(p + 32, alternate);
  Put<ULONGLONG>(p + 40, firstUsable);
  Put<ULONGLONG>(p + 48, lastUsable);
  std::memcpy(p + 56, &diskId, sizeof diskId);
  Put<ULONGLONG>(p + 72, entryLba);
  Put<DWORD>(p + 80, kGptEntries);
  Put<DWORD>(p + 84, kGptEntrySize);
  Put<DWORD>(p + 88, entriesCrc);
  Put<DWORD>(p + 16, crc32(0, p, kGptHeaderSize));
  return buffer;
}

// Windows computes the usable area itself; the caller's StartingUsableOffset and UsableLength
// are ignored, as they are on Windows. The tables cover the image's true length.
DWORD WriteGpt(DiskImage& disk, const DISK_GEOMETRY& geometry, const Layout& layout) {
  const DWORD sector = disk.SectorSize();
  const ULONGLONG sectors = disk.SectorCount();
  const std::size_t arrayBytes = std::size_t{kGptEntries} * kGptEntrySize;
  const ULONGLONG arraySectors = (arrayBytes + sector - 1) / sector;
  const ULONGLONG firstUsable = 2 + arraySectors;
  if (sectors < 2 * firstUsable + 1) return ERROR_INVALID_PARAMETER;  // no room for the tables
  const ULONGLONG last = sectors - 1;
  const ULONGLONG lastUsable = last - 1 - arraySectors;

  std::vector<const PARTITION_INFORMATION_EX*> used;
  std::vector<Extent> extents;
  for (const PARTITION_INFORMATION_EX& entry : layout.entries) {
    if (IsNullGuid(entry.Gpt.PartitionType)) continue;
    used.push_back(&entry);
    extents.push_back({entry.StartingOffset.QuadPart, entry.PartitionLength.QuadPart});
  }
  if (used.size() > kGptEntries || used.size() > layout.header.Gpt.MaxPartitionCount) {
    return ERROR_INVALID_PARAMETER;
  }
  const LONGLONG low = static_cast<LONGLONG>(firstUsable * sector);
  const LONGLONG high = static_cast<LONGLONG>((lastUsable + 1) * sector);
  if (!ValidExtents(extents, sector, low, high)) return ERROR_INVALID_PARAMETER;

  std::vector<BYTE> entries(arraySectors * sector);
  for (std::size_t i = 0; i < used.size(); ++i) {
    const PARTITION_INFORMATION_EX& entry = *used[i];
    BYTE* p = entries.data() + i * kGptEntrySize;
    std::memcpy(p, &entry.Gpt.PartitionType, sizeof(GUID));
    std::memcpy(p + 16, &entry.Gpt.PartitionId, sizeof(GUID));
    const auto first = static_cast<ULONGLONG>(entry.StartingOffset.QuadPart / sector);
    Put<ULONGLONG>(p + 32, first);
    Put<ULONGLONG>(p + 40, first + entry.PartitionLength.QuadPart / sector - 1);
    Put<DWORD64>(p + 48, entry.Gpt.Attributes);
    // The name ends at its first zero; what the caller left after it is not written.
    for (std::size_t u = 0; u < kGptNameUnits && entry.Gpt.Name[u] != 0; ++u) {
      Put<char16_t>(p + 56 + 2 * u, entry.Gpt.Name[u]);
    }
  }
  const DWORD entriesCrc = crc32(0, entries.data(), static_cast<uInt>(arrayBytes));
  const GUID& diskId = layout.header.Gpt.DiskId;
  const auto primary = GptHeaderSector(sector, 1, last, firstUsable, lastUsable, diskId, 2,
                                       entriesCrc);
  const auto backup = GptHeaderSector(sector, last, 1, firstUsable, lastUsable, diskId,
                                      last - arraySectors, entriesCrc);

  // The protective MBR keeps the boot code; its one entry covers the disk as far as 32 bits go.
  std::vector<BYTE> mbr(sector);
  if (!disk.Read(0, mbr.data(), mbr.size())) return ERROR_IO_DEVICE;
  std::fill(mbr.begin() + kMbrSignature, mbr.begin() + 510, 0);
  const ULONGLONG covered = std::min<ULONGLONG>(sectors - 1, 0xFFFFFFFF);
  std::array<BYTE, 3> end = ChsAddress(covered, geometry);
  if (end == std::array<BYTE, 3>{0xFE, 0xFF, 0xFF}) end = {0xFF, 0xFF, 0xFF};
  PutMbrEntry(mbr, 0, false, kProtectiveType, 1, covered, {0x00, 0x02, 0x00}, end);
  mbr[510] = 0x55;
  mbr[511] = 0xAA;

  if (!WriteSectors(disk, 0, mbr) || !WriteSectors(disk, 1, primary) ||
      !WriteSectors(disk, 2, entries) || !WriteSectors(disk, last - arraySectors, entries) ||
      !WriteSectors(disk, last, backup)) {
    return ERROR_IO_DEVICE;
  }
  return ERROR_SUCCESS;
}

}  // namespace

DiskImage::DiskImage(std::filesystem::path file, ULONGLONG length, DWORD bytesPerSector)
    : file_(std::move(file)), length_(length), sectorSize_(bytesPerSector ? bytesPerSector : 512) {}

DiskImage::~DiskImage() {
  if (fd_ >= 0) ::close(fd_);
}

bool DiskImage::Open(bool write) {
  if (fd_ >= 0 && (writable_ || !write)) return true;
  if (fd_ >= 0) ::close(fd_);
  fd_ = ::open(file_.c_str(), O_RDWR | O_CLOEXEC);
  writable_ = fd_ >= 0;
  if (fd_ < 0 && !write) fd_ = ::open(file_.c_str(), O_RDONLY | O_CLOEXEC);
  return fd_ >= 0;
}

bool DiskImage::Read(ULONGLONG offset, void* data, std::size_t size) {
  if (offset > length_ || size > length_ - offset) return false;
  if (size == 0) return true;
  if (!Open(false)) return false;
  auto* bytes = static_cast<BYTE*>(data);
  while (size > 0) {
    const ssize_t n = ::pread(fd_, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) {  // past the file's end: a sparse image not yet grown to its length
      std::memset(bytes, 0, size);
      return true;
    }
    bytes += n;
    offset += static_cast<ULONGLONG>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool DiskImage::Write(ULONGLONG offset, const void* data, std::size_t size) {
  if (offset > length_ || size > length_ - offset) return false;
  if (size == 0) return true;
  if (!Open(true)) return false;
  const auto* bytes = static_cast<const BYTE*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd_, bytes, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    offset += static_cast<ULONGLONG>(n);
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ContainerMbrType(BYTE type) {
  return type == PARTITION_EXTENDED || type == PARTITION_XINT13_EXTENDED;
}

bool RecognizedMbrType(BYTE type) {
  switch (type) {
    case PARTITION_FAT_12:
    case PARTITION_FAT_16:
    case PARTITION_EXTENDED:
    case PARTITION_XINT13_EXTENDED:
      return true;
    default:
      break;
  }
  // The rest count also with the NTFT bits of fault-tolerant sets (IsFTPartition).
  switch (type & ~0xC0) {
    case PARTITION_HUGE:
    case PARTITION_IFS:
    case PARTITION_FAT32:
    case PARTITION_FAT32_XINT13:
    case PARTITION_XINT13:
      return type < 0x40 || (type & 0x80) != 0;
    default:
      return false;
  }
}

PartitionTable ReadPartitionTable(DiskImage& disk) {
  PartitionTable table;
  if (disk.SectorSize() < 512 || disk.SectorCount() == 0) return table;
  std::vector<BYTE> mbr(disk.SectorSize());
  if (!disk.Read(0, mbr.data(), mbr.size()) || !HasBootSignature(mbr)) return table;
  for (int i = 0; i < 4; ++i) {
    if (ParseMbrEntry(mbr, i).type != kProtectiveType) continue;
    if (ReadGpt(disk, table)) return table;
    table = PartitionTable{};
    break;
  }
  ReadMbr(disk, mbr, table);
  return table;
}

DWORD FillDriveLayout(const PartitionTable& table, void* out, DWORD outSize, DWORD* returned) {
  if (returned != nullptr) *returned = 0;
  DWORD count = 0;
  std::vector<DWORD> positions;
  if (table.style == PARTITION_STYLE_MBR) {
    positions = MbrPositions(table, count);
  } else if (table.style == PARTITION_STYLE_GPT) {
    count = static_cast<DWORD>(table.partitions.size());
  }
  const ULONGLONG required = kLayoutHeader + static_cast<ULONGLONG>(count) * kLayoutEntry;
  if (out == nullptr || outSize < required) return ERROR_INSUFFICIENT_BUFFER;

  std::vector<BYTE> buffer(required);
  DRIVE_LAYOUT_INFORMATION_EX header;
  std::memset(&header, 0, sizeof header);
  header.PartitionStyle = static_cast<DWORD>(table.style);
  header.PartitionCount = count;
  if (table.style == PARTITION_STYLE_MBR) {
    header.Mbr.Signature = table.signature;
    header.Mbr.CheckSum = table.checksum;
  } else if (table.style == PARTITION_STYLE_GPT) {
    header.Gpt.DiskId = table.diskId;
    header.Gpt.StartingUsableOffset.QuadPart = table.usableOffset;
    header.Gpt.UsableLength.QuadPart = table.usableLength;
    header.Gpt.MaxPartitionCount = table.maxPartitionCount;
  }
  std::memcpy(buffer.data(), &header, kLayoutHeader);

  for (std::size_t i = 0; i < table.partitions.size() && table.style != PARTITION_STYLE_RAW;
       ++i) {
    const PartitionRecord& record = table.partitions[i];
    PARTITION_INFORMATION_EX entry;
    std::memset(&entry, 0, sizeof entry);
    entry.PartitionStyle = table.style;
    entry.StartingOffset.QuadPart = record.offset;
    entry.PartitionLength.QuadPart = record.length;
    entry.PartitionNumber = record.number;
    std::size_t at = i;
    if (table.style == PARTITION_STYLE_MBR) {
      entry.Mbr.PartitionType = record.mbrType;
      entry.Mbr.BootIndicator = record.boot;
      entry.Mbr.RecognizedPartition = RecognizedMbrType(record.mbrType);
      entry.Mbr.HiddenSectors = record.hiddenSectors;
      at = positions[i];
    } else {
      entry.Gpt.PartitionType = record.gptType;
      entry.Gpt.PartitionId = record.gptId;
      entry.Gpt.Attributes = record.attributes;
      std::copy_n(record.name.begin(), std::min(record.name.size(), kGptNameUnits),
                  entry.Gpt.Name);
    }
    std::memcpy(buffer.data() + kLayoutHeader + at * kLayoutEntry, &entry, kLayoutEntry);
  }
  std::memcpy(out, buffer.data(), buffer.size());
  if (returned != nullptr) *returned = static_cast<DWORD>(required);
  return ERROR_SUCCESS;
}

DWORD WriteDriveLayout(DiskImage& disk, const DISK_GEOMETRY& geometry, const void* in,
                       DWORD inSize) {
  Layout layout;
  if (!ParseLayout(in, inSize, layout)) return ERROR_INVALID_PARAMETER;
  if (disk.SectorSize() < 512 || disk.SectorCount() < 2) return ERROR_INVALID_PARAMETER;
  switch (layout.header.PartitionStyle) {
    case PARTITION_STYLE_MBR:
      return WriteMbr(disk, geometry, layout);
    case PARTITION_STYLE_GPT:
      return WriteGpt(disk, geometry, layout);
    default:
      return ERROR_INVALID_PARAMETER;
  }
}

}  // namespace emu
