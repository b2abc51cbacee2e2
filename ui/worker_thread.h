// The frame every job's worker runs in, as a thread class of the window toolkit would give it:
// created suspended with its error flag set, started by its creator, its completion handler run
// on the window thread while the worker waits, then destroyed on its own thread.
#pragma once

#include <functional>
#include <thread>

#include "ui/window_thread.h"

class WorkerThread {
 public:
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  // The completion handler: runs on the window thread after the run, before the worker goes.
  void SetOnTerminate(std::function<void(WorkerThread&)> handler) { onTerminate_ = std::move(handler); }

  // Begins the run on a thread of its own. The worker deletes itself when it is done, so the
  // creator must not touch it after its completion handler has run.
  void Start();

  // The job's only result: true until the last step of a complete job.
  bool Err = true;

 protected:
  explicit WorkerThread(WindowThread& window) : window_(window) {}
  // Destroyed on the worker thread, after the completion handler.
  virtual ~WorkerThread() = default;

  // The job. An exception leaving it ends the run with Err still set.
  virtual void Execute() = 0;

  // Hands `step` to the window thread and waits until it has run there.
  void Synchronize(const std::function<void()>& step) { window_.Synchronize(step); }

 private:
  void Run();

  WindowThread& window_;
  std::function<void(WorkerThread&)> onTerminate_;
};
