// The worker behind the Create button: takes the chosen disk's drive letters offline, writes its
// partition table in three stages, formats the NTFS and the FAT32 partition with format.com and
// gives the NTFS partition a drive letter.
#pragma once

#include <chrono>
#include <string>

#include "disk/partition_layout.h"
#include "platform/handles.h"
#include "ui/worker_thread.h"

class TThreadCreate : public WorkerThread {
 public:
  // Created suspended with Err set; the window sets the completion handler and starts it.
  TThreadCreate(std::string _Disk, LONGLONG _FAT32Size, LONGLONG _NTFSSize, bool _MBRStyle);

  // How long the worker waits for a partition's volume to arrive after a layout request
  // before it gives up (tests shorten it).
  static std::chrono::milliseconds VolumeArrivalLimit;

  std::string Disk;  // the disk-list entry; the disk number once the run has begun
  LONGLONG FAT32Size;
  LONGLONG NTFSSize;
  bool MBRStyle;

 protected:
  ~TThreadCreate() override;
  void Execute() override;

 private:
  bool Run();
  void Progress(int position);
  bool TakeLettersOffline();
  // Sends the layout and the properties request; on failure writes why and returns false.
  bool ApplyLayout(bool finalStage);
  enum class Found { Formatted, Failed, Missing };
  Found FindAndFormat(LONGLONG offset, const char* fileSystem, const char* options, int first,
                      int second);
  bool FindAndFormatWaiting(LONGLONG offset, const char* fileSystem, const char* options, int first,
                            int second);
  bool MountScan();
  bool VolumeAtOffsetPresent(LONGLONG offset);
  void BroadcastChange();

  DWORD diskNumber_ = 0;
  win::Handle disk_;
  LayoutPlan plan_;
  LayoutBuffer layout_;
};
