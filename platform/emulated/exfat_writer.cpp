#include "platform/emulated/exfat_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <vector>

#include "platform/emulated/host_tools.h"

namespace emu {
namespace {

namespace fs = std::filesystem;

constexpr BYTE kBitmapEntry = 0x81, kUpcaseEntry = 0x82, kLabelEntry = 0x83, kGuidEntry = 0xA0;
constexpr BYTE kFileEntry = 0x85, kStreamEntry = 0xC0, kNameEntry = 0xC1;
constexpr std::size_t kEntry = 32;

ULONGLONG Get(const BYTE* p, int bytes) {
  ULONGLONG value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

void Put(BYTE* p, ULONGLONG value, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<BYTE>(value >> (8 * i));
}

std::u16string Utf16(const std::string& text) {
  std::u16string out;
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    char32_t code = c;
    std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra) code = c & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra && i + k < text.size(); ++k)
      code = (code << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
    i += extra + 1;
    if (code >= 0x10000) {
      code -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (code >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (code & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(code));
    }
  }
  return out;
}

// exFAT's time stamps: local date and time in the FAT bit layout, here UTC with its offset marked.
DWORD Timestamp(std::time_t when) {
  std::tm t{};
  gmtime_r(&when, &t);
  if (t.tm_year < 80) return (1 << 21) | (1 << 16);  // 1980-01-01
  return static_cast<DWORD>(((t.tm_year - 80) << 25) | ((t.tm_mon + 1) << 21) | (t.tm_mday << 16) |
                            (t.tm_hour << 11) | (t.tm_min << 5) | (t.tm_sec / 2));
}

class Volume {
 public:
  Volume(int fd, ULONGLONG offset) : fd_(fd), offset_(offset) {}

  bool Open(ULONGLONG length, std::string& error) {
    BYTE boot[512];
    if (!ReadAll(fd_, boot, sizeof boot, offset_)) return error = "cannot read the boot sector", false;
    if (std::memcmp(boot + 3, "EXFAT   ", 8) != 0) return error = "not an exFAT volume", false;
    sectorBytes_ = 1ULL << boot[0x6C];
    clusterBytes_ = sectorBytes_ << boot[0x6D];
    fatOffset_ = Get(boot + 0x50, 4) * sectorBytes_;
    fatLength_ = Get(boot + 0x54, 4) * sectorBytes_;
    heapOffset_ = Get(boot + 0x58, 4) * sectorBytes_;
    clusterCount_ = static_cast<DWORD>(Get(boot + 0x5C, 4));
    rootCluster_ = static_cast<DWORD>(Get(boot + 0x60, 4));
    if (heapOffset_ + ULONGLONG(clusterCount_) * clusterBytes_ > length || rootCluster_ < 2)
      return error = "the boot sector does not fit the partition", false;
    used_.assign(clusterCount_ + 2, false);
    fat_.assign(clusterCount_ + 2, 0);
    fat_[0] = 0xFFFFFFF8;
    fat_[1] = 0xFFFFFFFF;
    return ReadRoot(error);
  }

  // Writes the folder's tree as the root's contents.
  bool Write(const fs::path& folder, std::string& error) {
    std::vector<BYTE> entries = kept_;
    DWORD first = 0;
    ULONGLONG size = 0;
    if (!WriteDirectory(folder, entries, &first, &size, rootCluster_, error)) return false;
    // The allocation bitmap and the FAT last: they describe everything above.
    std::vector<BYTE> bitmap(static_cast<std::size_t>(bitmapLength_), 0);
    for (DWORD cluster = 2; cluster < clusterCount_ + 2; ++cluster)
      if (used_[cluster]) bitmap[(cluster - 2) / 8] |= static_cast<BYTE>(1 << ((cluster - 2) % 8));
    if (!WriteClusters(bitmapClusters_, bitmap, error)) return false;
    std::vector<BYTE> fat(static_cast<std::size_t>(fatLength_), 0);
    for (std::size_t i = 0; i < fat_.size() && i * 4 + 4 <= fat.size(); ++i)
      Put(fat.data() + i * 4, fat_[i], 4);
    if (!WriteAll(fd_, fat.data(), fat.size(), offset_ + fatOffset_))
      return error = std::string("writing the FAT: ") + std::strerror(errno), false;
    return true;
  }

 private:
  ULONGLONG ClusterAt(DWORD cluster) const {
    return offset_ + heapOffset_ + ULONGLONG(cluster - 2) * clusterBytes_;
  }

  // The clusters of a chain as the FAT has it; a chain the FAT does not record is contiguous.
  std::vector<DWORD> Chain(DWORD first, ULONGLONG length, const std::vector<DWORD>& fat) const {
    std::vector<DWORD> chain;
    const ULONGLONG count = std::max<ULONGLONG>(1, (length + clusterBytes_ - 1) / clusterBytes_);
    DWORD cluster = first;
    for (ULONGLONG i = 0; i < count && cluster >= 2 && cluster < clusterCount_ + 2; ++i) {
      chain.push_back(cluster);
      const DWORD next = fat[cluster];
      cluster = (next >= 2 && next < clusterCount_ + 2) ? next : cluster + 1;
    }
    return chain;
  }

  void Claim(const std::vector<DWORD>& chain) {
    for (std::size_t i = 0; i < chain.size(); ++i) {
      used_[chain[i]] = true;
      fat_[chain[i]] = i + 1 < chain.size() ? chain[i + 1] : 0xFFFFFFFF;
    }
  }

  bool ReadRoot(std::string& error) {
    std::vector<BYTE> fatBytes(static_cast<std::size_t>(fatLength_));
    if (!ReadAll(fd_, fatBytes.data(), fatBytes.size(), offset_ + fatOffset_))
      return error = "cannot read the FAT", false;
    std::vector<DWORD> fat(clusterCount_ + 2, 0);
    for (std::size_t i = 0; i < fat.size() && i * 4 + 4 <= fatBytes.size(); ++i)
      fat[i] = static_cast<DWORD>(Get(fatBytes.data() + i * 4, 4));
    // The root's first cluster is in the boot sector, which stays; its length ends at the first
    // unused entry.
    std::vector<BYTE> cluster(static_cast<std::size_t>(clusterBytes_));
    DWORD current = rootCluster_;
    bool end = false;
    for (int guard = 0; !end && guard < 4096 && current >= 2 && current < clusterCount_ + 2; ++guard) {
      if (!ReadAll(fd_, cluster.data(), cluster.size(), ClusterAt(current)))
        return error = "cannot read the root folder", false;
      for (std::size_t at = 0; at < cluster.size(); at += kEntry) {
        const BYTE type = cluster[at];
        if (type == 0) {
          end = true;
          break;
        }
        if (type == kBitmapEntry || type == kUpcaseEntry || type == kLabelEntry ||
            type == kGuidEntry)
          kept_.insert(kept_.end(), cluster.begin() + at, cluster.begin() + at + kEntry);
        if (type == kBitmapEntry) {
          bitmapLength_ = Get(&cluster[at + 24], 8);
          bitmapClusters_ = Chain(static_cast<DWORD>(Get(&cluster[at + 20], 4)), bitmapLength_, fat);
        } else if (type == kUpcaseEntry) {
          const ULONGLONG length = Get(&cluster[at + 24], 8);
          upcaseClusters_ = Chain(static_cast<DWORD>(Get(&cluster[at + 20], 4)), length, fat);
          if (!ReadUpcase(length, error)) return false;
        }
      }
      const DWORD next = fat[current];
      current = (next >= 2 && next < clusterCount_ + 2) ? next : 0;
    }
    if (bitmapClusters_.empty() || upcaseClusters_.empty())
      return error = "the root folder lacks the allocation bitmap or the up-case table", false;
    Claim(bitmapClusters_);
    Claim(upcaseClusters_);
    used_[rootCluster_] = true;
    return true;
  }

  bool ReadUpcase(ULONGLONG length, std::string& error) {
    std::vector<BYTE> data;
    std::vector<BYTE> cluster(static_cast<std::size_t>(clusterBytes_));
    for (DWORD c : upcaseClusters_) {
      if (!ReadAll(fd_, cluster.data(), cluster.size(), ClusterAt(c)))
        return error = "cannot read the up-case table", false;
      data.insert(data.end(), cluster.begin(), cluster.end());
    }
    data.resize(static_cast<std::size_t>(std::min<ULONGLONG>(length, data.size())));
    upcase_.resize(0x10000);
    for (std::size_t i = 0; i < upcase_.size(); ++i) upcase_[i] = static_cast<char16_t>(i);
    std::size_t index = 0;
    for (std::size_t at = 0; at + 1 < data.size() && index < upcase_.size(); at += 2) {
      const auto value = static_cast<char16_t>(Get(&data[at], 2));
      if (value == 0xFFFF && at + 3 < data.size()) {  // a run of characters that map to themselves
        at += 2;
        index += static_cast<std::size_t>(Get(&data[at], 2));
        continue;
      }
      upcase_[index++] = value;
    }
    return true;
  }

  std::vector<DWORD> Allocate(ULONGLONG bytes, DWORD first = 0) {
    const ULONGLONG count = std::max<ULONGLONG>(1, (bytes + clusterBytes_ - 1) / clusterBytes_);
    std::vector<DWORD> chain;
    if (first) chain.push_back(first);
    while (chain.size() < count && next_ < clusterCount_ + 2) {
      if (!used_[next_]) chain.push_back(next_);
      ++next_;
    }
    if (chain.size() < count) return {};
    Claim(chain);
    return chain;
  }

  bool WriteClusters(const std::vector<DWORD>& chain, const std::vector<BYTE>& data,
                     std::string& error) {
    std::vector<BYTE> cluster(static_cast<std::size_t>(clusterBytes_));
    for (std::size_t i = 0; i < chain.size(); ++i) {
      std::fill(cluster.begin(), cluster.end(), 0);
      const std::size_t from = i * cluster.size();
      if (from < data.size())
        std::copy(data.begin() + from, data.begin() + std::min(data.size(), from + cluster.size()),
                  cluster.begin());
      if (!WriteAll(fd_, cluster.data(), cluster.size(), ClusterAt(chain[i])))
        return error = std::string("writing the volume: ") + std::strerror(errno), false;
    }
    return true;
  }

  bool WriteFile(const fs::path& file, ULONGLONG size, DWORD* first, std::string& error) {
    *first = 0;
    if (size == 0) return true;
    const std::vector<DWORD> chain = Allocate(size);
    if (chain.empty()) return error = "the volume is full", false;
    std::ifstream in(file, std::ios::binary);
    std::vector<BYTE> cluster(static_cast<std::size_t>(clusterBytes_));
    for (DWORD c : chain) {
      std::fill(cluster.begin(), cluster.end(), 0);
      in.read(reinterpret_cast<char*>(cluster.data()), static_cast<std::streamsize>(cluster.size()));
      if (!WriteAll(fd_, cluster.data(), cluster.size(), ClusterAt(c)))
        return error = std::string("writing the volume: ") + std::strerror(errno), false;
    }
    if (in.bad()) return error = "reading " + file.string(), false;
    *first = chain.front();
    return true;
  }

  // The entry set of one file or folder: file, stream extension and name entries.
  std::vector<BYTE> EntrySet(const std::u16string& name, bool folder, const struct stat& st,
                             DWORD first, ULONGLONG size) const {
    const std::size_t nameEntries = (name.size() + 14) / 15;
    std::vector<BYTE> set((2 + nameEntries) * kEntry, 0);
    BYTE* file = set.data();
    file[0] = kFileEntry;
    file[1] = static_cast<BYTE>(1 + nameEntries);
    Put(file + 4, folder ? 0x10 : 0x20, 2);
    const DWORD stamp = Timestamp(st.st_mtime);
    Put(file + 8, stamp, 4);
    Put(file + 12, stamp, 4);
    Put(file + 16, stamp, 4);
    file[22] = file[23] = file[24] = 0x80;  // UTC
    BYTE* stream = file + kEntry;
    stream[0] = kStreamEntry;
    stream[1] = 0x01;  // allocation possible; the FAT records every chain
    stream[3] = static_cast<BYTE>(name.size());
    WORD hash = 0;
    for (char16_t c : name) {
      const char16_t up = upcase_[c];
      for (BYTE b : {static_cast<BYTE>(up), static_cast<BYTE>(up >> 8)})
        hash = static_cast<WORD>(((hash & 1) ? 0x8000 : 0) + (hash >> 1) + b);
    }
    Put(stream + 4, hash, 2);
    Put(stream + 8, size, 8);
    Put(stream + 20, first, 4);
    Put(stream + 24, size, 8);
    for (std::size_t i = 0; i < nameEntries; ++i) {
      BYTE* entry = stream + kEntry * (i + 1);
      entry[0] = kNameEntry;
      for (std::size_t k = 0; k < 15 && i * 15 + k < name.size(); ++k)
        Put(entry + 2 + 2 * k, name[i * 15 + k], 2);
    }
    WORD checksum = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
      if (i == 2 || i == 3) continue;
      checksum = static_cast<WORD>(((checksum & 1) ? 0x8000 : 0) + (checksum >> 1) + set[i]);
    }
    Put(file + 2, checksum, 2);
    return set;
  }

  // Writes the folder's children and then its own entries (`entries` holds those it starts
  // with); `fixedFirst` is the first cluster it must start at (the root's), 0 for any.
  bool WriteDirectory(const fs::path& folder, std::vector<BYTE> entries, DWORD* first,
                      ULONGLONG* size, DWORD fixedFirst, std::string& error) {
    std::vector<fs::path> children;
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec))
      if (!entry.is_symlink() && (entry.is_directory() || entry.is_regular_file()))
        children.push_back(entry.path());
    if (ec) return error = "reading " + folder.string() + ": " + ec.message(), false;
    std::sort(children.begin(), children.end());
    ULONGLONG bytes = entries.size();
    for (const fs::path& child : children) {
      const std::u16string name = Utf16(child.filename().string());
      if (name.empty() || name.size() > 255) return error = "bad name " + child.string(), false;
      bytes += (2 + (name.size() + 14) / 15) * kEntry;
    }
    const std::vector<DWORD> chain = Allocate(bytes, fixedFirst);
    if (chain.empty()) return error = "the volume is full", false;
    for (const fs::path& child : children) {
      struct stat st{};
      if (stat(child.c_str(), &st) != 0) return error = "reading " + child.string(), false;
      const bool isFolder = S_ISDIR(st.st_mode);
      DWORD childFirst = 0;
      ULONGLONG childSize = 0;
      if (isFolder) {
        if (!WriteDirectory(child, {}, &childFirst, &childSize, 0, error)) return false;
      } else {
        childSize = static_cast<ULONGLONG>(st.st_size);
        if (!WriteFile(child, childSize, &childFirst, error)) return false;
      }
      const std::vector<BYTE> set =
          EntrySet(Utf16(child.filename().string()), isFolder, st, childFirst, childSize);
      entries.insert(entries.end(), set.begin(), set.end());
    }
    *first = chain.front();
    *size = ULONGLONG(chain.size()) * clusterBytes_;
    return WriteClusters(chain, entries, error);
  }

  int fd_;
  ULONGLONG offset_;
  ULONGLONG sectorBytes_ = 512, clusterBytes_ = 4096;
  ULONGLONG fatOffset_ = 0, fatLength_ = 0, heapOffset_ = 0;
  DWORD clusterCount_ = 0, rootCluster_ = 0;
  DWORD next_ = 2;
  std::vector<bool> used_;
  std::vector<DWORD> fat_;
  std::vector<BYTE> kept_;
  ULONGLONG bitmapLength_ = 0;
  std::vector<DWORD> bitmapClusters_, upcaseClusters_;
  std::u16string upcase_;
};

}  // namespace

bool WriteExfatTree(const fs::path& image, ULONGLONG offset, ULONGLONG length,
                    const fs::path& folder, std::string& error) {
  const int fd = open(image.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) return error = "opening " + image.string() + ": " + std::strerror(errno), false;
  Volume volume(fd, offset);
  bool ok = volume.Open(length, error) && volume.Write(folder, error);
  if (ok && fdatasync(fd) != 0) ok = false, error = std::string("writing: ") + std::strerror(errno);
  close(fd);
  return ok;
}

}  // namespace emu
