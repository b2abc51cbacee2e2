#include "ui/worker_thread.h"

#include "app/console_log.h"

void WorkerThread::Start() {
  std::thread([this] { Run(); }).detach();
}

void WorkerThread::Run() {
  try {
    Execute();
  } catch (const std::exception& error) {
    // The job ends here; the completion handler reports it through Err. Its reason goes on a
    // line of its own, not onto the step text that was waiting for its result word.
    EndOpenLine();
    WriteLine(error.what());
  } catch (...) {
  }
  if (onTerminate_) Synchronize([this] { onTerminate_(*this); });
  delete this;
}
