#include "ui/job_host.h"

std::atomic<TThreadCreate*> ActiveCreateThread{nullptr};
std::atomic<TInstallThread*> ActiveInstallThread{nullptr};

namespace {

class NoWindow : public JobHost {
 public:
  void SetProgressPosition(int) override {}
  void RebuildDriveListsAfterJob() override {}
};

NoWindow gNoWindow;
std::atomic<JobHost*> gHost{&gNoWindow};

}  // namespace

JobHost& TheJobHost() { return *gHost.load(); }

void SetJobHost(JobHost* host) { gHost = host != nullptr ? host : &gNoWindow; }
