// Host-side helpers the machine's disk tools share: sparse copies between a partition of a disk
// image and a scratch file, and running Debian's file-system tools.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/win32_types.h"

namespace emu {

bool ReadAll(int fd, void* buffer, std::size_t size, ULONGLONG at);
bool WriteAll(int fd, const void* buffer, std::size_t size, ULONGLONG at);
// The data extents of [from, to), in order; a file system that cannot tell reports one extent.
std::vector<std::pair<ULONGLONG, ULONGLONG>> DataExtents(int fd, ULONGLONG from, ULONGLONG to);
// Makes [from, to) read as zeros, leaving holes where it can.
bool ZeroRange(int fd, ULONGLONG from, ULONGLONG to, std::string& error);
// Replaces [offset, offset + length) of the image by the scratch file, keeping both sparse.
bool CopyIntoImage(int scratch, int image, ULONGLONG offset, ULONGLONG length, std::string& error);

// The tool's full path, looked up in PATH and the sbin folders.
std::optional<std::string> FindTool(const std::string& name);

struct ToolResult {
  bool ran = false;
  int exitCode = -1;
  std::string output;  // stdout and stderr together, in the order written
};
// Runs the tool to its end with the C locale and standard input from /dev/null; `variables`
// ("NAME=value") come before the inherited environment.
ToolResult RunTool(const std::string& tool, const std::vector<std::string>& arguments,
                   const std::vector<std::string>& variables = {});

}  // namespace emu
