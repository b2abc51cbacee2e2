// The payload's extraction through the binding against the 7z command line on the same archive,
// side by side: time, and the peak memory of each.
//   velund-bench-extract ARCHIVE LIBRARY    (defaults: the build's payload/KYR.7z and 7z.dll)
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>

extern char** environ;

#include "payload/seven_zip.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"

namespace {

using Clock = std::chrono::steady_clock;

long PeakKilobytes(int who) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path archive = argc > 1 ? argv[1] : VELUND_PAYLOAD_ARCHIVE;
  const std::filesystem::path library = argc > 2 ? argv[2] : VELUND_PAYLOAD_LIBRARY;
  char pattern[] = "/tmp/velund-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::filesystem::path root = pattern;

  // The binding works on an emulated C: drive, as the install does.
  std::string error;
  if (!emu::CreateMachine(root / "machine", emu::MachineKind::SmallSystemDiskOnly, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  emu::Machine::Use(root / "machine");
  std::filesystem::path folder;
  {
    auto locked = emu::Storage::Lock();
    folder = locked.storage.VolumeFolder(*locked.storage.FindVolumeByLetter('C'));
  }
  std::filesystem::create_directories(folder / "bench");
  std::filesystem::copy_file(archive, folder / "bench" / "Velund.7z");
  std::filesystem::copy_file(library, folder / "bench" / "7z.dll");
  win::SetCurrentDirectoryW("C:\\bench");

  // The command line first, started without copying this process (its peak is its own), best
  // of three runs each.
  double theirs = 1e9;
  int status = 0;
  for (int run = 0; run < 3; ++run) {
    std::filesystem::remove_all(root / "cli");
    const std::string output = "-o" + (root / "cli").string();
    const char* arguments[] = {"7z", "x", "-y", "-bso0", "-pqolvast", output.c_str(),
                               archive.c_str(), nullptr};
    const auto started = Clock::now();
    pid_t child = 0;
    if (posix_spawnp(&child, "7z", nullptr, nullptr, const_cast<char**>(arguments), environ) != 0) {
      return 1;
    }
    waitpid(child, &status, 0);
    theirs = std::min(theirs, std::chrono::duration<double>(Clock::now() - started).count());
  }
  const long theirsPeak = PeakKilobytes(RUSAGE_CHILDREN);

  const long before = PeakKilobytes(RUSAGE_SELF);
  double ours = 1e9;
  for (int run = 0; run < 3; ++run) {
    const auto started = Clock::now();
    auto in = sevenzip::CreateInArchive(sevenzip::CLSID_CFormat7z, "7z.dll");
    in->OpenArchiveFile("Velund.7z");
    in->SetPassword("qolvast");
    in->ExtractToFolder("C:\\bench\\out\\");
    in->CloseArchive();
    ours = std::min(ours, std::chrono::duration<double>(Clock::now() - started).count());
  }
  const long oursPeak = PeakKilobytes(RUSAGE_SELF);

  std::printf("archive %s (%.1f MB)\n", archive.c_str(),
              std::filesystem::file_size(archive) / 1048576.0);
  std::printf("binding       %7.3f s   peak %6.1f MB (grew by %.1f MB)\n", ours, oursPeak / 1024.0,
              (oursPeak - before) / 1024.0);
  std::printf("7z x          %7.3f s   peak %6.1f MB%s\n", theirs, theirsPeak / 1024.0,
              WIFEXITED(status) && WEXITSTATUS(status) == 0 ? "" : "  (7z failed)");
  std::printf("ratio         %7.2f\n", ours / theirs);
  std::filesystem::remove_all(root);
  return 0;
}
