// The emulated process's standard output and console, with a hook for tests.
#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "platform/emulated/objects.h"

namespace emu {

// An output that records what reaches it. As a console (FILE_TYPE_CHAR) it records the text the
// console shows, decoded from the console output code page into UTF-8; as a file or pipe it
// records the bytes written.
class CapturedOutput : public KernelObject {
 public:
  explicit CapturedOutput(DWORD fileType) : fileType_(fileType) {}
  DWORD FileType() const override { return fileType_; }
  DWORD Write(const void* data, DWORD size, DWORD* written) override;

  std::string Contents() const;
  void Clear();

 private:
  DWORD fileType_;
  mutable std::mutex mutex_;
  std::string contents_;
};

// Makes STD_OUTPUT_HANDLE refer to `target` from now on; null restores the process's real
// standard output (file descriptor 1).
void SetStandardOutput(std::shared_ptr<KernelObject> target);

}  // namespace emu
