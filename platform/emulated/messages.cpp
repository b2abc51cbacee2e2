// Window messages on the emulated machine: each thread has a queue; messages sent to a window of
// another thread wait in that thread's queue until it takes its messages (PeekMessageW), which runs
// them through the window's procedure, as Win32 runs sent messages inside its message functions.
#include "platform/emulated/messages.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>

#include "platform/emulated/machine.h"
#include "platform/emulated/storage.h"
#include "platform/seam.h"

namespace emu {
namespace {

struct Pending {
  MSG message{};
  bool sent = false;  // run by the procedure during PeekMessageW, not handed out
  // Keeps the message's data (a DEV_BROADCAST_VOLUME) alive until it has been handled.
  std::shared_ptr<void> payload;
  // For a sender that waits: set when the procedure has run.
  std::shared_ptr<std::pair<bool, LRESULT>> done;
};

std::mutex gMutex;
std::condition_variable gHandled;
std::map<std::thread::id, std::deque<Pending>> gQueues;
std::map<std::thread::id, std::function<void()>> gWakeups;

WNDPROC ProcedureOf(HWND window) {
  ProcessState& process = Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  auto it = process.windows.find(window);
  return it == process.windows.end() ? nullptr : it->second.procedure;
}

// The top-level windows that have a procedure, with their threads.
std::vector<std::pair<HWND, std::thread::id>> TopLevelWindows() {
  std::vector<std::pair<HWND, std::thread::id>> windows;
  ProcessState& process = Machine::Get().Process();
  std::lock_guard lock(process.mutex);
  for (const auto& [window, state] : process.windows) {
    if (state.procedure != nullptr && window != process.consoleWindow) {
      windows.emplace_back(window, state.thread);
    }
  }
  return windows;
}

void Queue(std::thread::id thread, Pending pending) {
  std::function<void()> wake;
  {
    std::lock_guard lock(gMutex);
    gQueues[thread].push_back(std::move(pending));
    auto it = gWakeups.find(thread);
    if (it != gWakeups.end()) wake = it->second;
  }
  if (wake) wake();
}

void Broadcast(WPARAM event, std::shared_ptr<DEV_BROADCAST_VOLUME> volume) {
  for (const auto& [window, thread] : TopLevelWindows()) {
    Pending pending;
    pending.message.hwnd = window;
    pending.message.message = WM_DEVICECHANGE;
    pending.message.wParam = event;
    pending.message.lParam = reinterpret_cast<LPARAM>(volume.get());
    pending.sent = true;
    pending.payload = volume;
    Queue(thread, std::move(pending));
  }
}

}  // namespace

void SetMessageWakeup(std::function<void()> wake) {
  std::lock_guard lock(gMutex);
  if (wake) {
    gWakeups[std::this_thread::get_id()] = std::move(wake);
  } else {
    gWakeups.erase(std::this_thread::get_id());
  }
}

void PostMessageTo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  std::thread::id thread;
  {
    ProcessState& process = Machine::Get().Process();
    std::lock_guard lock(process.mutex);
    auto it = process.windows.find(window);
    if (it == process.windows.end()) return;
    thread = it->second.thread;
  }
  Pending pending;
  pending.message = MSG{window, message, wParam, lParam, 0, {}};
  Queue(thread, std::move(pending));
}

void AnnounceVolume(WPARAM event, char letter) {
  if (letter < 'A' || letter > 'Z') return;
  auto volume = std::make_shared<DEV_BROADCAST_VOLUME>();
  volume->dbcv_size = sizeof(DEV_BROADCAST_VOLUME);
  volume->dbcv_devicetype = DBT_DEVTYP_VOLUME;
  volume->dbcv_unitmask = 1u << (letter - 'A');
  volume->dbcv_flags = 0;
  Broadcast(event, std::move(volume));
  AnnounceDeviceNodesChanged();
}

void AnnounceDeviceNodesChanged() { Broadcast(DBT_DEVNODES_CHANGED, nullptr); }

}  // namespace emu

namespace win {

BOOL PeekMessageW(MSG* message, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
  const std::thread::id self = std::this_thread::get_id();
  for (;;) {
    emu::Pending pending;
    bool found = false;
    {
      std::lock_guard lock(emu::gMutex);
      auto queue = emu::gQueues.find(self);
      if (queue == emu::gQueues.end()) return FALSE;
      for (auto it = queue->second.begin(); it != queue->second.end(); ++it) {
        const UINT id = it->message.message;
        const bool inRange = (filterMin == 0 && filterMax == 0) || (id >= filterMin && id <= filterMax);
        const bool forWindow = window == nullptr || it->message.hwnd == window;
        if (!it->sent && !(inRange && forWindow)) continue;
        pending = *it;
        if (it->sent || (removeMessage & PM_REMOVE)) queue->second.erase(it);
        found = true;
        break;
      }
    }
    if (!found) return FALSE;
    if (!pending.sent) {
      if (message) *message = pending.message;
      return TRUE;
    }
    // A sent message runs now, on this thread, and is not handed out.
    LRESULT result = 0;
    if (WNDPROC procedure = emu::ProcedureOf(pending.message.hwnd)) {
      result = procedure(pending.message.hwnd, pending.message.message, pending.message.wParam,
                         pending.message.lParam);
    }
    if (pending.done) {
      std::lock_guard lock(emu::gMutex);
      *pending.done = {true, result};
      emu::gHandled.notify_all();
    }
  }
}

BOOL TranslateMessage(const MSG*) { return FALSE; }  // no keyboard here, so nothing to translate

LRESULT DispatchMessageW(const MSG* message) {
  if (message == nullptr || message->hwnd == nullptr) return 0;
  WNDPROC procedure = emu::ProcedureOf(message->hwnd);
  if (procedure == nullptr) return 0;
  return procedure(message->hwnd, message->message, message->wParam, message->lParam);
}

LRESULT SendMessageTimeoutW(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT,
                            UINT timeout, DWORD_PTR* result) {
  if (result) *result = 0;
  std::vector<std::pair<HWND, std::thread::id>> targets;
  if (window == HWND_BROADCAST) {
    targets = emu::TopLevelWindows();
  } else {
    emu::ProcessState& process = emu::Machine::Get().Process();
    std::lock_guard lock(process.mutex);
    auto it = process.windows.find(window);
    if (it == process.windows.end()) {
      SetLastError(1400);  // ERROR_INVALID_WINDOW_HANDLE
      return 0;
    }
    if (it->second.procedure != nullptr) targets.emplace_back(window, it->second.thread);
  }
  bool allAnswered = true;
  for (const auto& [target, thread] : targets) {
    if (thread == std::this_thread::get_id()) {
      const LRESULT answer = emu::ProcedureOf(target)(target, message, wParam, lParam);
      if (result && window != HWND_BROADCAST) *result = static_cast<DWORD_PTR>(answer);
      continue;
    }
    auto done = std::make_shared<std::pair<bool, LRESULT>>(false, 0);
    emu::Pending pending;
    pending.message = MSG{target, message, wParam, lParam, 0, {}};
    pending.sent = true;
    pending.done = done;
    emu::Queue(thread, std::move(pending));
    std::unique_lock lock(emu::gMutex);
    if (!emu::gHandled.wait_for(lock, std::chrono::milliseconds(timeout),
                                [&] { return done->first; })) {
      allAnswered = false;
      continue;
    }
    if (result && window != HWND_BROADCAST) *result = static_cast<DWORD_PTR>(done->second);
  }
  if (!allAnswered) {
    SetLastError(ERROR_TIMEOUT);
    return 0;
  }
  return 1;
}

}  // namespace win
