// Programs of the emulated machine that carry no resources.
#include "platform/emulated/embedded_resources.h"

namespace emu {
const EmbeddedResource kEmbeddedResources[] = {{nullptr, 0, nullptr, nullptr}};
}  // namespace emu
