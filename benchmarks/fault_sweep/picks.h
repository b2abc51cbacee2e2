// Which seam calls of a clean run the sweep fails, and with what error.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace sweep {

struct SeamCall {
  std::string name;
  std::string path;
  int thread = 0;  // 0: the thread the program starts on, which runs the window
};

// The call indices to fail: every call of a run of like calls of up to three calls; the first,
// the middle and the last of a longer run. Like calls on files have the same name, thread and
// folder and lie at most four calls apart (a file's creation and its writes alternate); other like
// calls are consecutive calls of the same name. Then every `sample`-th of those (1: all).
std::vector<std::size_t> ChooseIndices(const std::vector<SeamCall>& calls, std::size_t sample);

// The error the call fails with: one that call can really return on Windows.
unsigned long ErrorFor(const std::string& call);

}  // namespace sweep
