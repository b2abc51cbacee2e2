#include "ui/worker_thread.h"

#include "app/console_log.h"

void WorkerThread::Start() {
  std::thread([this] { Run(); }).detach();
}

void WorkerThread::Run() {
  try {
    Execute();
  } catch (const std::exception& error) {
    // The job ends here; the completion handler reports it through Err.
    WriteLine(error.what());
  } catch (...) {
  }
  if (onTerminate_) Synchronize([this] { onTerminate_(*this); });
  delete this;
}
