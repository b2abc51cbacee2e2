#include "tests/disk_snapshot.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

#include "platform/emulated/storage.h"

namespace {

constexpr std::uint64_t kFnvOffset = 1469598103934665603ull;
constexpr std::uint64_t kFnvPrime = 1099511628211ull;

void Mix(std::uint64_t& hash, const char* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    hash ^= static_cast<unsigned char>(data[i]);
    hash *= kFnvPrime;
  }
}

void MixNumber(std::uint64_t& hash, LONGLONG number) {
  Mix(hash, reinterpret_cast<const char*>(&number), sizeof number);
}

bool Skipped(LONGLONG at, const std::vector<ByteRange>& skipped, LONGLONG& skipTo) {
  for (const ByteRange& range : skipped) {
    if (at >= range.offset && at < range.offset + range.length) {
      skipTo = range.offset + range.length;
      return true;
    }
  }
  return false;
}

// Hashes the data extents of a sparse file (SEEK_DATA / SEEK_HOLE), with their offsets, so that a
// hole filled with zeros counts as a change too.
std::uint64_t HashImage(const std::filesystem::path& file, const std::vector<ByteRange>& skipped) {
  std::uint64_t hash = kFnvOffset;
  const int fd = open(file.c_str(), O_RDONLY);
  if (fd < 0) return 0;
  const off_t end = lseek(fd, 0, SEEK_END);
  MixNumber(hash, end);
  std::vector<char> block(1 << 16);
  off_t at = lseek(fd, 0, SEEK_DATA);
  while (at >= 0 && at < end) {
    const off_t hole = lseek(fd, at, SEEK_HOLE);
    MixNumber(hash, at);
    while (at < hole) {
      LONGLONG skipTo = 0;
      if (Skipped(at, skipped, skipTo)) {
        at = std::min<off_t>(hole, skipTo);
        continue;
      }
      LONGLONG count = std::min<LONGLONG>(static_cast<LONGLONG>(block.size()), hole - at);
      for (const ByteRange& range : skipped) {  // stop short of a skipped range
        if (range.offset > at) count = std::min<LONGLONG>(count, range.offset - at);
      }
      const ssize_t got = pread(fd, block.data(), static_cast<size_t>(count), at);
      if (got <= 0) break;
      Mix(hash, block.data(), static_cast<std::size_t>(got));
      at += got;
    }
    at = lseek(fd, hole, SEEK_DATA);
  }
  close(fd);
  return hash;
}

std::string Lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

bool SkippedFile(const std::string& relative, const std::vector<std::string>& skippedFiles) {
  const std::string lower = Lower(relative);
  for (const std::string& prefix : skippedFiles) {
    const std::string wanted = Lower(prefix);
    if (lower == wanted || lower.rfind(wanted + "/", 0) == 0) return true;
  }
  return false;
}

std::uint64_t HashFile(const std::filesystem::path& file) {
  std::uint64_t hash = kFnvOffset;
  std::ifstream in(file, std::ios::binary);
  std::vector<char> block(1 << 16);
  while (in.read(block.data(), static_cast<std::streamsize>(block.size())) || in.gcount() > 0) {
    Mix(hash, block.data(), static_cast<std::size_t>(in.gcount()));
  }
  return hash;
}

std::map<std::string, std::uint64_t> FolderFiles(const std::filesystem::path& folder,
                                                 const std::vector<std::string>& skippedFiles) {
  std::map<std::string, std::uint64_t> files;
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) return files;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(folder, ec)) {
    const std::string relative = entry.path().lexically_relative(folder).generic_string();
    if (SkippedFile(relative, skippedFiles)) continue;
    files[entry.is_directory() ? relative + "/" : relative] =
        entry.is_directory() ? 0 : HashFile(entry.path());
  }
  return files;
}

std::string LetterText(char letter) { return letter ? std::string(1, letter) + ":" : "none"; }

}  // namespace

DiskSnapshot TakeDiskSnapshot(DWORD disk, const std::vector<ByteRange>& skipped,
                              const std::vector<std::string>& skippedFiles) {
  DiskSnapshot snapshot;
  auto locked = emu::Storage::Lock();
  if (emu::DiskDevice* device = locked.storage.FindDisk(disk)) {
    snapshot.imageHash = HashImage(device->image, skipped);
  }
  for (const auto& volume : locked.storage.Volumes()) {
    if (volume->Disk() != disk) continue;
    VolumeSnapshot& taken = snapshot.volumes[volume->guid];
    taken.letter = volume->letter;
    taken.held = volume->held;
    taken.files = FolderFiles(locked.storage.VolumeFolder(*volume), skippedFiles);
  }
  return snapshot;
}

std::vector<std::string> DiskDifferences(const DiskSnapshot& before, const DiskSnapshot& after) {
  std::vector<std::string> differences;
  if (before.imageHash != after.imageHash) differences.push_back("the image's bytes changed");
  for (const auto& [guid, was] : before.volumes) {
    auto now = after.volumes.find(guid);
    if (now == after.volumes.end()) {
      differences.push_back("volume " + guid + " is gone");
      continue;
    }
    if (now->second.letter != was.letter) {
      differences.push_back("volume " + guid + " had drive letter " + LetterText(was.letter) +
                            ", now " + LetterText(now->second.letter));
    }
    if (now->second.held != was.held) differences.push_back("volume " + guid + " held changed");
    for (const auto& [path, hash] : was.files) {
      auto file = now->second.files.find(path);
      if (file == now->second.files.end()) differences.push_back(guid + ": " + path + " is gone");
      else if (file->second != hash) differences.push_back(guid + ": " + path + " changed");
    }
    for (const auto& [path, hash] : now->second.files) {
      if (!was.files.count(path)) differences.push_back(guid + ": " + path + " is new");
    }
  }
  for (const auto& [guid, volume] : after.volumes) {
    if (!before.volumes.count(guid)) differences.push_back("volume " + guid + " is new");
  }
  return differences;
}
