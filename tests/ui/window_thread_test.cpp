#include "ui/window_thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

namespace {

class WindowThreadTest : public testing::Test {
 protected:
  void SetUp() override {
    window_.Attach();
  }
  WindowThread window_;
};

TEST_F(WindowThreadTest, StepsFromOtherThreadsRunOnTheWindowThreadAndAreWaitedFor) {
  const auto windowId = std::this_thread::get_id();
  std::atomic<int> done{0};
  std::vector<std::thread> workers;
  for (int i = 0; i < 4; ++i) {
    workers.emplace_back([&] {
      for (int step = 0; step < 50; ++step) {
        bool ranHere = false;
        ASSERT_TRUE(window_.Synchronize([&] { ranHere = std::this_thread::get_id() == windowId; }));
        ASSERT_TRUE(ranHere);  // visible because Synchronize waited for the step
      }
      ++done;
      window_.Wake();
    });
  }
  window_.RunUntil([&] { return done == 4; });
  for (auto& worker : workers) worker.join();
}

TEST_F(WindowThreadTest, TheWindowThreadRunsItsOwnStepsAtOnce) {
  int value = 0;
  EXPECT_TRUE(window_.Synchronize([&] { value = 1; }));
  EXPECT_EQ(value, 1);
}

TEST_F(WindowThreadTest, ClosingRunsWhatIsQueuedAndReleasesLaterCallers) {
  int posted = 0;
  window_.Post([&] { ++posted; });
  window_.Close();
  EXPECT_EQ(posted, 1);
  bool ran = false;
  std::thread late([&] { EXPECT_FALSE(window_.Synchronize([&] { ran = true; })); });
  late.join();
  EXPECT_FALSE(ran);
}

TEST_F(WindowThreadTest, AWaiterWhoseStepIsQueuedWhenTheLoopClosesHasItRunAndIsReleased) {
  const auto windowId = std::this_thread::get_id();
  std::atomic<int> result{-1};
  std::atomic<bool> ranOnWindowThread{false};
  std::thread worker([&] {
    result = window_.Synchronize([&] { ranOnWindowThread = std::this_thread::get_id() == windowId; })
                 ? 1
                 : 0;
  });
  // Nothing runs the step before Close(): the worker is surely waiting for it then.
  while (!window_.HasPending()) std::this_thread::yield();
  window_.Close();
  worker.join();  // a waiter left behind by Close() would hang here
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(ranOnWindowThread);
}

}  // namespace
