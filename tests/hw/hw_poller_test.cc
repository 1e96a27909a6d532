#include "hw/hw_poller.h"

#include <gtest/gtest.h>

#include <atomic>
#include <barrier>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace idlewick {
namespace {

using std::chrono::seconds;

// A source the test scripts: it reports `cpu_pct` while told to succeed and
// fails otherwise, and lets the test wait for a number of calls.
class ScriptedSource final : public IUtilizationSource {
 public:
  struct Control {
    std::mutex mutex;
    std::condition_variable called;
    int calls = 0;                      // guarded by mutex
    std::set<std::thread::id> threads;  // guarded by mutex
    std::atomic<bool> succeed{true};
    std::atomic<double> cpu_pct{0.0};

    bool WaitCalls(int count) {
      std::unique_lock lock(mutex);
      return called.wait_for(lock, seconds(30), [&] { return calls >= count; });
    }
    int Calls() {
      std::lock_guard lock(mutex);
      return calls;
    }
  };

  explicit ScriptedSource(Control& control) : control_(control) {}

  bool Sample(UtilizationSample& out) override {
    const bool succeed = control_.succeed.load();
    if (succeed) {
      out.cpu_pct = control_.cpu_pct.load();
      out.timestamp = std::chrono::steady_clock::now();
      out.valid = true;
    }
    std::lock_guard lock(control_.mutex);
    ++control_.calls;
    control_.threads.insert(std::this_thread::get_id());
    control_.called.notify_all();
    return succeed;
  }

 private:
  Control& control_;
};

class HwPollerTest : public ::testing::Test {
 protected:
  std::unique_ptr<HwPoller> MakePoller(std::int64_t interval_ms) {
    return std::make_unique<HwPoller>(std::make_unique<ScriptedSource>(control_),
                                      interval_ms);
  }
  ScriptedSource::Control control_;
};

TEST_F(HwPollerTest, LatestIsAllZeroBeforeAnyReading) {
  auto poller = MakePoller(100);
  const UtilizationSample latest = poller->Latest();
  EXPECT_FALSE(latest.valid);
  EXPECT_EQ(latest.cpu_pct, 0.0);
  EXPECT_EQ(latest.timestamp.time_since_epoch().count(), 0);
  EXPECT_FALSE(poller->IsRunning());
  poller->Stop();  // without a Start: returns at once
}

TEST_F(HwPollerTest, SamplesAtOnceAndStopsWithinASlice) {
  // With an hour between samples, a reading can only come from the first
  // call, and Stop can only return in time if the pause is sliced.
  auto poller = MakePoller(3'600'000);
  control_.cpu_pct = 12.5;
  poller->Start();
  // Publishing follows the Sample call, so wait for the reading itself.
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (!poller->Latest().valid && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  const UtilizationSample latest = poller->Latest();
  EXPECT_TRUE(latest.valid);
  EXPECT_EQ(latest.cpu_pct, 12.5);
  auto stop = std::async(std::launch::async, [&] { poller->Stop(); });
  ASSERT_EQ(stop.wait_for(seconds(30)), std::future_status::ready);
  EXPECT_FALSE(poller->IsRunning());
  EXPECT_EQ(control_.Calls(), 1);
}

TEST_F(HwPollerTest, FailedSamplesKeepThePreviousReading) {
  auto poller = MakePoller(1);
  control_.cpu_pct = 33.0;
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(1));
  control_.succeed = false;
  control_.cpu_pct = 99.0;
  const int seen = control_.Calls();
  ASSERT_TRUE(control_.WaitCalls(seen + 3));
  EXPECT_EQ(poller->Latest().cpu_pct, 33.0);
  EXPECT_TRUE(poller->Latest().valid);
}

TEST_F(HwPollerTest, RestartKeepsTheLastReadingUntilANewOne) {
  auto poller = MakePoller(1);
  control_.cpu_pct = 20.0;
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(1));
  poller->Stop();
  EXPECT_EQ(poller->Latest().cpu_pct, 20.0);
  control_.succeed = false;
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(control_.Calls() + 2));
  EXPECT_EQ(poller->Latest().cpu_pct, 20.0);
  control_.cpu_pct = 60.0;
  control_.succeed = true;
  ASSERT_TRUE(control_.WaitCalls(control_.Calls() + 2));
  EXPECT_EQ(poller->Latest().cpu_pct, 60.0);
}

TEST_F(HwPollerTest, RepeatedStartRunsOneThread) {
  auto poller = MakePoller(0);  // back to back
  poller->Start();
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(50));
  poller->Stop();
  poller->Stop();
  std::lock_guard lock(control_.mutex);
  EXPECT_EQ(control_.threads.size(), 1u);
}

TEST_F(HwPollerTest, StartAndStopFromManyThreadsAtOnce) {
  auto poller = MakePoller(0);
  constexpr int kThreads = 8;
  std::barrier sync(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      sync.arrive_and_wait();
      for (int i = 0; i < 100; ++i) {
        if ((i + t) % 2 == 0) {
          poller->Start();
        } else {
          poller->Stop();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(control_.Calls() + 1));
  EXPECT_TRUE(poller->IsRunning());
}

TEST_F(HwPollerTest, DestroyingARunningPollerJoinsBeforeTheSourceGoes) {
  // Sampling back to back, a thread outliving its source would be caught by
  // the sanitizer builds as a use after free.
  auto poller = MakePoller(0);
  poller->Start();
  ASSERT_TRUE(control_.WaitCalls(10));
  poller.reset();
  const int calls = control_.Calls();
  EXPECT_EQ(control_.Calls(), calls);
}

TEST(HwPollerNoSourceTest, RunsButNeverPublishes) {
  HwPoller poller(nullptr, 1);
  poller.Start();
  EXPECT_TRUE(poller.IsRunning());
  poller.Stop();
  EXPECT_FALSE(poller.Latest().valid);
}

}  // namespace
}  // namespace idlewick
