// Random machines for the tests that must hold on any machine: one to four extra disks, fixed and
// removable, empty or with an MBR or a GPT of formatted partitions, with and without drive letters,
// some of them held open by another program, and a job for the setup window to run on one of the
// removable disks. Everything follows from the seed, so a failing case runs again alone.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct RandomPartition {
  std::string fileSystem;  // "NTFS", "exFAT", "FAT32"
  long long sizeMB = 0;
  std::string label;
  char letter = 0;     // 0: no drive letter
  bool held = false;   // another program holds the volume open
  bool esp = false;    // GPT: an EFI system partition
};

enum class TableKind { Empty, Mbr, Gpt };

struct RandomDisk {
  unsigned number = 0;
  bool removable = true;
  long long cylinders = 0;  // of 255 x 63 sectors of 512 bytes
  TableKind table = TableKind::Empty;
  std::vector<RandomPartition> partitions;  // from 1 MiB on, one after the other
};

enum class JobKind { Create, Install, CreateThenInstall };

struct RandomCase {
  std::uint32_t seed = 0;
  std::vector<RandomDisk> disks;  // the extra disks, numbered from 1; disk 0 is the system disk
  unsigned chosen = 0;            // the removable disk the job runs on
  JobKind job = JobKind::Create;
  bool mbr = true;            // create: the partition style
  long long fat32MB = 100;    // create: what is typed into the FAT32 size box
  int fat32Entry = 0;         // install: which entry of the FAT32 list is picked (modulo its size)
  bool bootsector = false;    // install: "Don't overwrite the current bootloader"
  bool autoLetters = false;   // the machine gives new volumes the first free letter
  char tempLetter = 0;        // %TEMP% is X:\Temp on this drive of another disk; 0: on C:
};

RandomCase MakeRandomCase(std::uint32_t seed);

// The case in a few lines, for the message of a failure.
std::string DescribeCase(const RandomCase& randomCase);

// Adds the case's disks to the machine in `directory`, writes their tables, formats their
// partitions and declares their letters (the machine gives others only with `autoLetters`). Then
// starts the machine and marks the held volumes. False with `error` on failure.
bool BuildRandomMachine(const std::filesystem::path& directory, const RandomCase& randomCase,
                        std::string& error);
