#include "ui/window_thread.h"

WindowThread& WindowThread::Main() {
  static WindowThread thread;
  return thread;
}

void WindowThread::Attach() {
  std::lock_guard lock(mutex_);
  owner_ = std::this_thread::get_id();
}

bool WindowThread::IsCurrent() const {
  std::lock_guard lock(mutex_);
  return owner_ == std::this_thread::get_id();
}

bool WindowThread::Synchronize(std::function<void()> step) {
  std::unique_lock lock(mutex_);
  if (closed_) return false;
  if (owner_ == std::this_thread::get_id()) {
    lock.unlock();
    step();
    return true;
  }
  auto done = std::make_shared<bool>(false);
  queue_.push_back(Step{std::move(step), done});
  arrived_.notify_all();
  finished_.wait(lock, [&] { return *done || closed_; });
  return *done;
}

void WindowThread::Post(std::function<void()> step) {
  std::lock_guard lock(mutex_);
  if (closed_) return;
  queue_.push_back(Step{std::move(step), nullptr});
  arrived_.notify_all();
}

// Runs the first queued step with the lock released; false when nothing was queued.
bool WindowThread::RunOne(std::unique_lock<std::mutex>& lock) {
  if (queue_.empty()) return false;
  Step step = std::move(queue_.front());
  queue_.pop_front();
  lock.unlock();
  step.run();
  lock.lock();
  if (step.done) {
    *step.done = true;
    finished_.notify_all();
  }
  return true;
}

void WindowThread::ProcessPending() {
  std::unique_lock lock(mutex_);
  while (RunOne(lock)) {
  }
}

void WindowThread::RunUntil(const std::function<bool()>& done) {
  std::unique_lock lock(mutex_);
  for (;;) {
    while (RunOne(lock)) {
    }
    woken_ = false;
    lock.unlock();
    if (done()) return;
    lock.lock();
    arrived_.wait(lock, [&] { return !queue_.empty() || woken_; });
  }
}

void WindowThread::Wake() {
  std::lock_guard lock(mutex_);
  woken_ = true;
  arrived_.notify_all();
}

void WindowThread::WaitForWork(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  arrived_.wait_for(lock, timeout, [&] { return !queue_.empty() || woken_; });
  woken_ = false;
}

bool WindowThread::HasPending() const {
  std::lock_guard lock(mutex_);
  return !queue_.empty();
}

void WindowThread::Close() {
  std::unique_lock lock(mutex_);
  while (RunOne(lock)) {
  }
  closed_ = true;
  finished_.notify_all();
}

void WindowThread::Reopen() {
  std::lock_guard lock(mutex_);
  closed_ = false;
}
