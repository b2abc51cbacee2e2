// The emulated machine's message queues (see messages.cpp). The window toolkit of the emulated
// build registers a wake-up for its thread, so a message that arrives while its loop sleeps is
// taken at once.
#pragma once

#include <functional>

#include "platform/win32_device_types.h"

namespace emu {

// Called (on the posting thread) whenever a message is queued for the calling thread; an empty
// function removes it.
void SetMessageWakeup(std::function<void()> wake);

// PostMessageW: queues the message for the window's thread.
void PostMessageTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

}  // namespace emu
