// The window thread: the one thread that owns the setup window. Other threads hand it steps and
// wait for them; the window thread runs them between its own work in its message loop.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class WindowThread {
 public:
  // The process's window thread. The thread that first calls Attach() becomes it.
  static WindowThread& Main();

  void Attach();
  bool IsCurrent() const;

  // Runs `step` on the window thread and returns when it has run. Called on the window thread
  // itself, it runs at once. Returns false, without running it, once the loop has been closed.
  bool Synchronize(std::function<void()> step);

  // Queues `step` for the window thread without waiting.
  void Post(std::function<void()> step);

  // Window thread only: runs every queued step (the message pump of a waiting call).
  void ProcessPending();

  // Window thread only: runs steps as they arrive until `done` holds (checked after each step
  // and after Wake()).
  void RunUntil(const std::function<bool()>& done);

  // Makes RunUntil look at its condition again.
  void Wake();

  // Window thread only: returns when a step is queued, Wake() is called or `timeout` has passed
  // (the sleep of a message loop that also has timers and messages to look after).
  void WaitForWork(std::chrono::milliseconds timeout);

  // Whether steps are queued that have not run yet.
  bool HasPending() const;

  // After the last window has gone: runs what is queued, then refuses further steps, so that no
  // thread waits for a window thread that no longer listens.
  void Close();

  // Opens the loop again after Close() (tests).
  void Reopen();

 private:
  struct Step {
    std::function<void()> run;
    std::shared_ptr<bool> done;  // null for posted steps
  };

  bool RunOne(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::condition_variable finished_;
  std::deque<Step> queue_;
  std::thread::id owner_;
  bool closed_ = false;
  bool woken_ = false;
};
