// What the workers of the two jobs reach of the setup window, always on the window thread: the
// progress bar, the references to the running workers, and the drive-list rebuild after a job.
#pragma once

#include <atomic>

class TThreadCreate;
class TInstallThread;

// The worker that exists at the moment, or none. Set on the window thread when a job starts,
// cleared on the worker's thread as it goes; read on the window thread.
extern std::atomic<TThreadCreate*> ActiveCreateThread;
extern std::atomic<TInstallThread*> ActiveInstallThread;

class JobHost {
 public:
  virtual ~JobHost() = default;
  // ProgressBar's position, 0 to 100.
  virtual void SetProgressPosition(int position) = 0;
  // After a worker has gone: CurrentDriveIndex emptied and the drive lists rebuilt.
  virtual void RebuildDriveListsAfterJob() = 0;
};

// The setup window while it exists (tests put a recorder here). Never null: without a window
// the steps go nowhere.
JobHost& TheJobHost();
void SetJobHost(JobHost* host);
