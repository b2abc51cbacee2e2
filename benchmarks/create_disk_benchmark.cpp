// Times whole create jobs on large sparse emulated disks: the time the job takes outside the
// mkfs tools, and what the disk image really allocates afterwards.
//   velund-bench-create [SIZE_GB ...]     (default: 64 2000)
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/console_log.h"
#include "disk/create_disk_thread.h"
#include "platform/emulated/console.h"
#include "platform/emulated/machine.h"
#include "platform/emulated/machine_setup.h"
#include "platform/emulated/programs.h"
#include "ui/job_host.h"
#include "ui/language.h"
#include "ui/window_thread.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long long> gFormatMicroseconds{0};

class Host : public JobHost {
 public:
  void SetProgressPosition(int) override {}
  void RebuildDriveListsAfterJob() override { done = true; }
  bool done = false;
};

struct Result {
  double totalMs = 0, formatMs = 0;
  long long allocated = 0;
  bool ok = false;
};

Result RunJob(const std::string& root, long long sizeGB, bool mbr) {
  const std::string directory = root + "/" + std::to_string(sizeGB) + (mbr ? "-mbr" : "-gpt");
  std::string error;
  if (!emu::CreateMachine(directory, emu::MachineKind::SmallSystemDiskOnly, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return {};
  }
  emu::NewDisk disk;
  disk.number = 1;
  disk.size = static_cast<ULONGLONG>(sizeGB) * 1000 * 1000 * 1000;
  disk.name = "Benchmark Disk";
  if (!emu::AddDisk(directory, disk, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return {};
  }
  emu::Machine::Use(directory);

  // The sizes the Create tab proposes: FAT32 100 MB, NTFS the rest.
  const long long cylinders = disk.size / (255LL * 63 * 512);
  const long long diskSize = cylinders * 255 * 63 * 512;
  const long long fat32 = 100, ntfs = (diskSize - fat32 * 1048576 - 4194304) / 1048576;

  Host host;
  SetJobHost(&host);
  gFormatMicroseconds = 0;
  Result result;
  const auto start = Clock::now();
  auto* worker = new TThreadCreate("RM1 - Benchmark Disk - x", fat32, ntfs, mbr);
  ActiveCreateThread = worker;
  worker->SetOnTerminate([&](WorkerThread& finished) { result.ok = !finished.Err; });
  worker->Start();
  WindowThread::Main().RunUntil([&] { return host.done; });
  result.totalMs = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  result.formatMs = gFormatMicroseconds / 1000.0;
  SetJobHost(nullptr);

  struct stat info {};
  stat((directory + "/disks/disk1.img").c_str(), &info);
  result.allocated = static_cast<long long>(info.st_blocks) * 512;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<long long> sizes;
  for (int i = 1; i < argc; ++i) sizes.push_back(std::atoll(argv[i]));
  if (sizes.empty()) sizes = {64, 2000};

  char pattern[] = "/tmp/velund-bench-XXXXXX";
  if (!mkdtemp(pattern)) return 1;
  const std::string root = pattern;

  // format.com timed from the outside: its time is the mkfs tools' time.
  const emu::Program format = emu::RegisteredProgram("format.com");
  emu::RegisterProgram(
      "format.com",
      [format](const emu::ProgramRun& run) {
        const auto start = Clock::now();
        const DWORD code = format(run);
        gFormatMicroseconds += std::chrono::duration_cast<std::chrono::microseconds>(
                                   Clock::now() - start)
                                   .count();
        return code;
      },
      true);

  WindowThread::Main().Attach();
  emu::SetStandardOutput(std::make_shared<emu::CapturedOutput>(FILE_TYPE_PIPE));
  std::printf("%-8s %-5s %10s %10s %12s %16s\n", "size", "style", "total ms", "format ms",
              "outside ms", "image allocated");
  for (long long size : sizes) {
    for (bool mbr : {true, false}) {
      const Result r = RunJob(root, size, mbr);
      std::printf("%5lld GB %-5s %10.1f %10.1f %12.1f %13.1f MB%s\n", size, mbr ? "MBR" : "GPT",
                  r.totalMs, r.formatMs, r.totalMs - r.formatMs, r.allocated / 1048576.0,
                  r.ok ? "" : "  (job failed)");
    }
  }
  std::string removal = "rm -rf " + root;
  return std::system(removal.c_str()) == 0 ? 0 : 1;
}
