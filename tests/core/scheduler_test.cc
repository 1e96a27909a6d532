#include "core/scheduler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <chrono>
#include <cstdint>
#include <future>
#include <limits>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/mock_backend.h"
#include "tests/core/test_backend.h"

namespace idlewick {
namespace {

using std::chrono::seconds;
using testing::TestBackend;

constexpr std::int64_t kGenerousMs = 30'000;

Task MakeTask(std::uint64_t id, TaskKind kind = TaskKind::kTextGeneration,
              std::string text = "") {
  Task task;
  task.id = id;
  task.kind = kind;
  task.text_input = std::move(text);
  return task;
}

// A scheduler without a poller and with a controllable backend on each
// device named in the constructor.
class SchedulerTest : public ::testing::Test {
 protected:
  void Register(std::initializer_list<DeviceId> devices) {
    for (DeviceId device : devices) {
      auto& backend = backends_[static_cast<int>(device)];
      backend = std::make_unique<TestBackend>(device);
      scheduler_.RegisterBackend(backend.get());
    }
  }
  TestBackend& backend(DeviceId device) { return *backends_[static_cast<int>(device)]; }
  std::uint64_t Enqueue(std::uint64_t id, TaskKind kind = TaskKind::kTextGeneration) {
    return scheduler_.EnqueueTask(MakeTask(id, kind), IsBackgroundKind(kind));
  }
  std::uint64_t Pin(DeviceId device, std::uint64_t id,
                    TaskKind kind = TaskKind::kTextGeneration) {
    return scheduler_.EnqueueTaskOnDevice(MakeTask(id, kind), IsBackgroundKind(kind),
                                          device);
  }
  TaskResult Wait(std::uint64_t id) {
    TaskResult result;
    EXPECT_TRUE(scheduler_.WaitForResult(id, kGenerousMs, result)) << "task " << id;
    return result;
  }
  const DeviceTelemetry& Telemetry(DeviceId device) {
    snapshot_ = scheduler_.GetTelemetry();
    return snapshot_.devices[SlotFor(device)];
  }

  // Declared before the scheduler so that they outlive it.
  std::unique_ptr<TestBackend> backends_[3];
  Scheduler scheduler_{nullptr};
  TelemetrySnapshot snapshot_;
};

TEST(SlotForTest, MapsIgpuAndDgpuAndEverythingElseToCpu) {
  EXPECT_EQ(SlotFor(DeviceId::kCpu), 0u);
  EXPECT_EQ(SlotFor(DeviceId::kIgpu), 1u);
  EXPECT_EQ(SlotFor(DeviceId::kDgpu), 2u);
  EXPECT_EQ(SlotFor(static_cast<DeviceId>(7)), 0u);
  EXPECT_FALSE(IsBackgroundKind(TaskKind::kTextGeneration));
  EXPECT_TRUE(IsBackgroundKind(TaskKind::kEmbedding));
  EXPECT_TRUE(IsBackgroundKind(TaskKind::kImageGeneration));
}

TEST_F(SchedulerTest, StartAndStopAreIdempotent) {
  Register({DeviceId::kCpu});
  scheduler_.Stop();  // before any Start
  EXPECT_FALSE(scheduler_.IsRunning());
  scheduler_.Start();
  scheduler_.Start();
  EXPECT_TRUE(scheduler_.IsRunning());
  for (std::uint64_t id = 1; id <= 20; ++id) Enqueue(id);
  for (std::uint64_t id = 1; id <= 20; ++id) Wait(id);
  // A second worker on the slot would show up as a second submitting thread.
  const auto threads = backend(DeviceId::kCpu).SubmitThreads();
  EXPECT_EQ(std::set(threads.begin(), threads.end()).size(), 1u);
  scheduler_.Stop();
  scheduler_.Stop();
  EXPECT_FALSE(scheduler_.IsRunning());
}

TEST_F(SchedulerTest, RestartServesQueuedTasksAndKeepsStatistics) {
  Register({DeviceId::kCpu});
  scheduler_.Start();
  Enqueue(1);
  Wait(1);
  scheduler_.Stop();
  Enqueue(2);
  Enqueue(3);
  TaskResult result;
  EXPECT_FALSE(scheduler_.WaitForResult(2, 20, result));
  EXPECT_EQ(Telemetry(DeviceId::kCpu).queue_depth, 2u);
  scheduler_.Start();
  Wait(2);
  Wait(3);
  EXPECT_EQ(Telemetry(DeviceId::kCpu).completed_count, 3u);
  EXPECT_EQ(Telemetry(DeviceId::kCpu).historical_latency_ms, 1.0);
}

TEST_F(SchedulerTest, TaskOnASlotWithoutBackendNeverRuns) {
  // igpu is the only device and it is degraded, so routing falls back to the
  // unregistered cpu slot, where no worker will ever take the task.
  Register({DeviceId::kIgpu});
  backend(DeviceId::kIgpu).SetDegraded(true);
  scheduler_.Start();
  Enqueue(1);
  EXPECT_EQ(Telemetry(DeviceId::kCpu).queue_depth, 1u);
  TaskResult result;
  EXPECT_FALSE(scheduler_.TryGetResult(1, result));
  EXPECT_FALSE(scheduler_.WaitForResult(1, 50, result));
  EXPECT_FALSE(Telemetry(DeviceId::kCpu).registered);
}

TEST_F(SchedulerTest, TextGenerationOvertakesQueuedBackgroundWork) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  Enqueue(1, TaskKind::kEmbedding);
  ASSERT_TRUE(cpu.WaitEntered(1));  // task 1 is in hand; the rest queue up
  Enqueue(2, TaskKind::kEmbedding);
  Enqueue(3, TaskKind::kImageGeneration);
  Enqueue(4, TaskKind::kEmbedding);
  Enqueue(5, TaskKind::kTextGeneration);
  Enqueue(6, TaskKind::kTextGeneration);
  cpu.Release();
  for (std::uint64_t id = 1; id <= 6; ++id) Wait(id);
  EXPECT_EQ(cpu.SubmittedIds(), (std::vector<std::uint64_t>{1, 5, 6, 2, 3, 4}));
}

TEST_F(SchedulerTest, QueueDepthCountsQueuedButNotTheTaskInHand) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  for (std::uint64_t id = 1; id <= 4; ++id) Enqueue(id);
  ASSERT_TRUE(cpu.WaitEntered(1));
  EXPECT_EQ(Telemetry(DeviceId::kCpu).queue_depth, 3u);
  const DeviceLoad load = scheduler_.GatherLoad(DeviceId::kCpu);
  EXPECT_EQ(load.queue_depth, 3u);
  EXPECT_EQ(load.in_flight, 1u);
  cpu.Release();
  for (std::uint64_t id = 1; id <= 4; ++id) Wait(id);
  EXPECT_EQ(scheduler_.GatherLoad(DeviceId::kCpu).in_flight, 0u);
}

TEST_F(SchedulerTest, ResultIsClaimedOnce) {
  Register({DeviceId::kCpu});
  scheduler_.Start();
  TaskResult result;
  EXPECT_FALSE(scheduler_.TryGetResult(77, result));
  scheduler_.EnqueueTask(MakeTask(1, TaskKind::kTextGeneration, "hi"), false);
  result = Wait(1);
  EXPECT_EQ(result.id, 1u);
  EXPECT_EQ(result.status, TaskStatus::kOk);
  EXPECT_EQ(result.text_output, "hi");
  result = TaskResult{};
  EXPECT_FALSE(scheduler_.TryGetResult(1, result));
  EXPECT_FALSE(scheduler_.WaitForResult(1, 0, result));
  EXPECT_EQ(result.id, 0u);  // untouched by a failed claim
}

TEST_F(SchedulerTest, TryGetResultClaimsAStoredResult) {
  TaskResult stored;
  stored.id = 5;
  stored.status = TaskStatus::kOk;
  scheduler_.StoreResult(std::move(stored));
  TaskResult result;
  EXPECT_TRUE(scheduler_.WaitForResult(5, 0, result));
  EXPECT_EQ(result.status, TaskStatus::kOk);
}

TEST_F(SchedulerTest, StoringUnderAnExistingIdReplacesTheOldResult) {
  TaskResult first;
  first.id = 3;
  first.text_output = "old";
  scheduler_.StoreResult(std::move(first));
  TaskResult second;
  second.id = 3;
  second.text_output = "new";
  scheduler_.StoreResult(std::move(second));
  TaskResult result;
  ASSERT_TRUE(scheduler_.TryGetResult(3, result));
  EXPECT_EQ(result.text_output, "new");
  EXPECT_FALSE(scheduler_.TryGetResult(3, result));
}

TEST_F(SchedulerTest, WaitReturnsWhenTheResultIsFiledAndOtherWaitersTimeOut) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  Enqueue(1);
  ASSERT_TRUE(cpu.WaitEntered(1));
  auto waiter = std::async(std::launch::async, [&] {
    TaskResult result;
    return scheduler_.WaitForResult(1, kGenerousMs, result) && result.id == 1;
  });
  // Woken by task 1's result, a waiter on another id goes back to waiting.
  auto other = std::async(std::launch::async, [&] {
    TaskResult result;
    return scheduler_.WaitForResult(2, 300, result);
  });
  cpu.Release();
  EXPECT_TRUE(waiter.get());
  EXPECT_FALSE(other.get());
}

TEST_F(SchedulerTest, OfTwoWaitersOnOneIdOneGetsTheResult) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  Enqueue(1);
  ASSERT_TRUE(cpu.WaitEntered(1));
  auto wait = [&] {
    TaskResult result;
    return scheduler_.WaitForResult(1, 500, result);
  };
  auto a = std::async(std::launch::async, wait);
  auto b = std::async(std::launch::async, wait);
  cpu.Release();
  EXPECT_EQ(a.get() + b.get(), 1);
}

TEST_F(SchedulerTest, TimeOutOfZeroOrLessDoesNotWait) {
  Register({DeviceId::kCpu});
  backend(DeviceId::kCpu).Hold();
  scheduler_.Start();
  Enqueue(1);
  TaskResult result;
  EXPECT_FALSE(scheduler_.WaitForResult(1, 0, result));
  EXPECT_FALSE(scheduler_.WaitForResult(1, -5, result));
  EXPECT_FALSE(scheduler_.WaitForResult(1, std::numeric_limits<std::int64_t>::min(),
                                        result));
  backend(DeviceId::kCpu).Release();
}

TEST_F(SchedulerTest, TimeOutBeyondTheClockWaitsWithoutDeadline) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  Enqueue(1);
  auto waiter = std::async(std::launch::async, [&] {
    TaskResult result;
    return scheduler_.WaitForResult(1, std::numeric_limits<std::int64_t>::max(),
                                    result);
  });
  // An overflowed deadline would lie in the past and end the wait at once.
  EXPECT_EQ(waiter.wait_for(std::chrono::milliseconds(200)),
            std::future_status::timeout);
  cpu.Release();
  ASSERT_EQ(waiter.wait_for(seconds(30)), std::future_status::ready);
  EXPECT_TRUE(waiter.get());
}

struct LatencyCase {
  std::string name;
  std::vector<double> reported;
  double history;
};

class LatencyHistoryTest : public SchedulerTest,
                           public ::testing::WithParamInterface<LatencyCase> {};

TEST_P(LatencyHistoryTest, FollowsTheMovingAverage) {
  Register({DeviceId::kCpu});
  scheduler_.Start();
  std::uint64_t id = 0;
  for (double latency : GetParam().reported) {
    backend(DeviceId::kCpu).SetLatency(latency);
    Enqueue(++id);
    Wait(id);
  }
  EXPECT_DOUBLE_EQ(Telemetry(DeviceId::kCpu).historical_latency_ms, GetParam().history);
}

INSTANTIATE_TEST_SUITE_P(
    Samples, LatencyHistoryTest,
    ::testing::Values(LatencyCase{"FirstSampleIsTaken", {10}, 10.0},
                      LatencyCase{"SecondIsSmoothed", {10, 20}, 12.0},
                      LatencyCase{"ZeroKeepsNoHistory", {0}, 0.0},
                      LatencyCase{"SampleAfterZeroIsTakenUnchanged", {0, 7}, 7.0}),
    [](const auto& info) { return info.param.name; });

struct FailureCase {
  std::string name;
  TestBackend::Outcome outcome;
  std::string message;
};

class FailureTest : public SchedulerTest,
                    public ::testing::WithParamInterface<FailureCase> {};

TEST_P(FailureTest, IsCountedDegradesTheDeviceAndIsNotRetried) {
  Register({DeviceId::kCpu, DeviceId::kIgpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  scheduler_.Start();
  Pin(DeviceId::kCpu, 1);
  Wait(1);
  cpu.SetOutcome(GetParam().outcome);
  cpu.Hold();
  Pin(DeviceId::kCpu, 2);
  ASSERT_TRUE(cpu.WaitEntered(2));
  Pin(DeviceId::kCpu, 3);  // queued before the failure degrades cpu
  cpu.Release();
  const TaskResult failed = Wait(2);
  EXPECT_EQ(failed.status, TaskStatus::kFailed);
  EXPECT_EQ(failed.id, 2u);
  EXPECT_EQ(failed.error_message, GetParam().message);
  // The degraded flag is set before the result can be claimed.
  EXPECT_TRUE(cpu.IsDegraded());
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kTextGeneration), DeviceId::kIgpu);
  // The task already queued still reaches the degraded backend and fails too.
  EXPECT_EQ(Wait(3).status, TaskStatus::kFailed);
  const DeviceTelemetry& record = Telemetry(DeviceId::kCpu);
  EXPECT_TRUE(record.degraded);
  EXPECT_EQ(record.failed_count, 2u);
  EXPECT_EQ(record.completed_count, 1u);
  EXPECT_EQ(record.historical_latency_ms, 1.0);
  EXPECT_EQ(cpu.SubmittedIds(), (std::vector<std::uint64_t>{1, 2, 3}));
  // A later success does not clear the flag.
  cpu.SetOutcome(TestBackend::Outcome::kEcho);
  Pin(DeviceId::kCpu, 4);  // degraded, so routed to igpu
  EXPECT_EQ(Wait(4).status, TaskStatus::kOk);
  EXPECT_TRUE(cpu.IsDegraded());
}

INSTANTIATE_TEST_SUITE_P(
    Outcomes, FailureTest,
    ::testing::Values(
        FailureCase{"FailedStatus", TestBackend::Outcome::kFail, "test failure"},
        FailureCase{"StdException", TestBackend::Outcome::kThrowStd, "backend exploded"},
        FailureCase{"OtherException", TestBackend::Outcome::kThrowOther,
                    "backend threw a non-standard exception"}),
    [](const auto& info) { return info.param.name; });

TEST_F(SchedulerTest, RoutingAvoidsADegradedDeviceUntilItIsCleared) {
  Register({DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu});
  // Everything idle and equal: cpu wins the tie.
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kEmbedding), DeviceId::kCpu);
  backend(DeviceId::kCpu).SetDegraded(true);
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kEmbedding), DeviceId::kIgpu);
  backend(DeviceId::kCpu).SetDegraded(false);
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kEmbedding), DeviceId::kCpu);
}

TEST_F(SchedulerTest, RoutingPrefersTheShorterBacklog) {
  Register({DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu});
  Pin(DeviceId::kCpu, 1);
  Pin(DeviceId::kIgpu, 2);
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kTextGeneration), DeviceId::kDgpu);
  Enqueue(3);
  EXPECT_EQ(Telemetry(DeviceId::kDgpu).queue_depth, 1u);
  // All tied again at one each: back to cpu.
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kTextGeneration), DeviceId::kCpu);
}

// Eligibility: which devices have a backend, which are degraded, which refuse
// embedding; the answer for an embedding task with every load equal.
struct EligibilityCase {
  std::string name;
  std::vector<DeviceId> registered;
  std::vector<DeviceId> degraded;
  std::vector<DeviceId> refuse_embedding;
  DeviceId expected;
};

class EligibilityTest : public SchedulerTest,
                        public ::testing::WithParamInterface<EligibilityCase> {};

TEST_P(EligibilityTest, SelectsAnEligibleDeviceOrFallsBackToCpu) {
  const EligibilityCase& c = GetParam();
  for (DeviceId device : c.registered) Register({device});
  for (DeviceId device : c.degraded) backend(device).SetDegraded(true);
  for (DeviceId device : c.refuse_embedding) {
    backend(device).SetSupports(TaskKind::kEmbedding, false);
  }
  EXPECT_EQ(scheduler_.SelectDevice(TaskKind::kEmbedding), c.expected);
  // Selection reserves nothing.
  EXPECT_EQ(Telemetry(c.expected).queue_depth, 0u);
}

constexpr DeviceId kCpu = DeviceId::kCpu;
constexpr DeviceId kIgpu = DeviceId::kIgpu;
constexpr DeviceId kDgpu = DeviceId::kDgpu;

INSTANTIATE_TEST_SUITE_P(
    Cases, EligibilityTest,
    ::testing::Values(
        EligibilityCase{"NothingRegistered", {}, {}, {}, kCpu},
        EligibilityCase{"OnlyIgpu", {kIgpu}, {}, {}, kIgpu},
        EligibilityCase{"OnlyDgpuWithCpuUnregistered", {kIgpu, kDgpu}, {kIgpu}, {}, kDgpu},
        EligibilityCase{"DegradedSkipped", {kCpu, kIgpu, kDgpu}, {kCpu}, {}, kIgpu},
        EligibilityCase{"UnsupportedSkipped", {kCpu, kIgpu, kDgpu}, {}, {kCpu, kIgpu}, kDgpu},
        EligibilityCase{"AllDegraded", {kCpu, kIgpu, kDgpu}, {kCpu, kIgpu, kDgpu}, {}, kCpu},
        EligibilityCase{"NoneSupports", {kIgpu, kDgpu}, {}, {kIgpu, kDgpu}, kCpu},
        EligibilityCase{"TwoEqualTieToEarlier", {kIgpu, kDgpu}, {}, {}, kIgpu}),
    [](const auto& info) { return info.param.name; });

TEST_F(SchedulerTest, PinnedTasksStayOnAnEligibleDeviceInTheirLane) {
  Register({DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu});
  TestBackend& dgpu = backend(DeviceId::kDgpu);
  dgpu.Hold();
  scheduler_.Start();
  EXPECT_EQ(Pin(kDgpu, 1), 1u);
  ASSERT_TRUE(dgpu.WaitEntered(1));
  // Busier than the others, but pinned tasks still go there, and the text
  // task in the interactive lane overtakes the embedding queued before it.
  EXPECT_EQ(Pin(kDgpu, 2, TaskKind::kEmbedding), 2u);
  EXPECT_EQ(Pin(kDgpu, 3, TaskKind::kTextGeneration), 3u);
  EXPECT_EQ(Telemetry(kDgpu).queue_depth, 2u);
  EXPECT_NE(scheduler_.SelectDevice(TaskKind::kTextGeneration), kDgpu);
  dgpu.Release();
  for (std::uint64_t id = 1; id <= 3; ++id) Wait(id);
  EXPECT_EQ(dgpu.SubmittedIds(), (std::vector<std::uint64_t>{1, 3, 2}));
}

struct PinCase {
  std::string name;
  std::vector<DeviceId> registered;
  DeviceId pinned;
  bool degrade_pinned;
  bool pinned_refuses_background;  // embedding and image generation
  TaskKind kind;
  DeviceId lands_on;
};

class PinFallbackTest : public SchedulerTest,
                        public ::testing::WithParamInterface<PinCase> {};

TEST_P(PinFallbackTest, RoutesNormallyWhenThePinnedDeviceCannotTakeTheTask) {
  const PinCase& c = GetParam();
  for (DeviceId device : c.registered) Register({device});
  if (c.degrade_pinned) backend(c.pinned).SetDegraded(true);
  if (c.pinned_refuses_background) {
    backend(c.pinned).SetSupports(TaskKind::kEmbedding, false);
    backend(c.pinned).SetSupports(TaskKind::kImageGeneration, false);
  }
  EXPECT_EQ(Pin(c.pinned, 42, c.kind), 42u);
  EXPECT_EQ(Telemetry(c.lands_on).queue_depth, 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PinFallbackTest,
    ::testing::Values(
        PinCase{"Eligible", {kCpu, kIgpu, kDgpu}, kIgpu, false, false,
                TaskKind::kEmbedding, kIgpu},
        PinCase{"Unregistered", {kCpu, kIgpu}, kDgpu, false, false,
                TaskKind::kTextGeneration, kCpu},
        PinCase{"Degraded", {kCpu, kIgpu, kDgpu}, kCpu, true, false,
                TaskKind::kTextGeneration, kIgpu},
        PinCase{"DegradedAndNothingElse", {kIgpu}, kIgpu, true, false,
                TaskKind::kTextGeneration, kCpu},
        PinCase{"RefusesEmbedding", {kCpu, kIgpu, kDgpu}, kCpu, false, true,
                TaskKind::kEmbedding, kIgpu},
        PinCase{"RefusesImagesToo", {kCpu, kIgpu, kDgpu}, kCpu, false, true,
                TaskKind::kImageGeneration, kIgpu},
        PinCase{"RefusalKeepsText", {kCpu, kIgpu, kDgpu}, kDgpu, false, true,
                TaskKind::kTextGeneration, kDgpu},
        PinCase{"UnknownDeviceMeansCpu", {kCpu, kIgpu}, static_cast<DeviceId>(9), false,
                false, TaskKind::kTextGeneration, kCpu}),
    [](const auto& info) { return info.param.name; });

TEST_F(SchedulerTest, TelemetryReportsEveryDevice) {
  Register({DeviceId::kCpu, DeviceId::kIgpu});
  const TelemetrySnapshot snapshot = scheduler_.GetTelemetry();
  for (std::size_t i = 0; i < 3; ++i) {
    const DeviceTelemetry& record = snapshot.devices[i];
    EXPECT_EQ(SlotFor(record.device), i);
    EXPECT_EQ(record.registered, i != 2);
    EXPECT_FALSE(record.degraded);
    EXPECT_EQ(record.utilization_pct, 0.0);
    EXPECT_EQ(record.queue_depth, 0u);
    EXPECT_EQ(record.completed_count, 0u);
    EXPECT_EQ(record.failed_count, 0u);
  }
}

TEST_F(SchedulerTest, StartAfterAConcurrentStopWaitsForItsJoin) {
  Register({DeviceId::kCpu});
  TestBackend& cpu = backend(DeviceId::kCpu);
  cpu.Hold();
  scheduler_.Start();
  Enqueue(1);
  ASSERT_TRUE(cpu.WaitEntered(1));
  auto stopper = std::async(std::launch::async, [&] { scheduler_.Stop(); });
  // Once the flag is down the stopper is joining the held worker.
  while (scheduler_.IsRunning()) std::this_thread::yield();
  auto starter = std::async(std::launch::async, [&] { scheduler_.Start(); });
  cpu.Release();
  stopper.get();
  starter.get();
  EXPECT_TRUE(scheduler_.IsRunning());
  Wait(1);
  Enqueue(2);
  Wait(2);
}

TEST_F(SchedulerTest, StartAndStopFromManyThreadsAtOnce) {
  Register({DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu});
  constexpr int kThreads = 8;
  std::barrier sync(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      sync.arrive_and_wait();
      for (int i = 0; i < 50; ++i) {
        if ((i + t) % 2 == 0) {
          scheduler_.Start();
        } else {
          scheduler_.Stop();
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  scheduler_.Start();
  for (std::uint64_t id = 1; id <= 30; ++id) Enqueue(id, TaskKind::kEmbedding);
  for (std::uint64_t id = 1; id <= 30; ++id) Wait(id);
}

TEST_F(SchedulerTest, ConcurrentProducersAndClaimersLoseNothing) {
  Register({DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu});
  scheduler_.Start();
  constexpr int kProducers = 4;
  constexpr std::uint64_t kPerProducer = 500;
  std::barrier sync(kProducers);
  std::atomic<std::uint64_t> claimed_sum{0};
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int p = 0; p < kProducers; ++p) {
    threads.emplace_back([&, p] {
      sync.arrive_and_wait();
      const std::uint64_t first = p * kPerProducer + 1;
      for (std::uint64_t id = first; id < first + kPerProducer; ++id) {
        const TaskKind kind = id % 3 == 0 ? TaskKind::kEmbedding : TaskKind::kTextGeneration;
        scheduler_.EnqueueTask(MakeTask(id, kind, std::to_string(id)),
                               IsBackgroundKind(kind));
      }
      for (std::uint64_t id = first; id < first + kPerProducer; ++id) {
        TaskResult result;
        if (!scheduler_.WaitForResult(id, kGenerousMs, result) ||
            result.text_output != std::to_string(id)) {
          mismatches.fetch_add(1);
        }
        claimed_sum.fetch_add(result.id);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  constexpr std::uint64_t kTotal = kProducers * kPerProducer;
  EXPECT_EQ(mismatches.load(), 0);
  EXPECT_EQ(claimed_sum.load(), kTotal * (kTotal + 1) / 2);
  const TelemetrySnapshot snapshot = scheduler_.GetTelemetry();
  std::uint64_t completed = 0;
  for (const auto& record : snapshot.devices) completed += record.completed_count;
  EXPECT_EQ(completed, kTotal);
}

TEST_F(SchedulerTest, EchoedViewIsReleasedWhenItsResultIsClaimed) {
  Register({DeviceId::kCpu});
  scheduler_.Start();
  std::atomic<int> releases{0};
  static const float kValues[] = {1.f, 2.f};
  Task task = MakeTask(1, TaskKind::kEmbedding);
  task.numeric_input = NumericBuffer::View(
      kValues, 2, std::shared_ptr<void>(new int(0), [&](void* p) {
        delete static_cast<int*>(p);
        releases.fetch_add(1);
      }));
  scheduler_.EnqueueTask(std::move(task), true);
  TaskResult result = Wait(1);
  EXPECT_EQ(result.numeric_output.data(), kValues);
  EXPECT_EQ(releases.load(), 0);
  result = TaskResult{};
  EXPECT_EQ(releases.load(), 1);
}

// A source that reports whether it still exists, so the test can tell in
// which order the destructor tore things down.
class WatchedSource final : public IUtilizationSource {
 public:
  explicit WatchedSource(std::atomic<bool>& alive) : alive_(alive) { alive_ = true; }
  ~WatchedSource() override { alive_ = false; }
  bool Sample(UtilizationSample& out) override {
    out.cpu_pct = 42.0;
    out.valid = true;
    return true;
  }

 private:
  std::atomic<bool>& alive_;
};

TEST(SchedulerLifecycleTest, DestructionJoinsWorkersBeforeStoppingThePoller) {
  std::atomic<bool> source_alive{false};
  auto poller = std::make_unique<HwPoller>(std::make_unique<WatchedSource>(source_alive), 5);
  HwPoller* poller_view = poller.get();
  TestBackend cpu(DeviceId::kCpu);
  auto scheduler = std::make_unique<Scheduler>(std::move(poller));
  scheduler->RegisterBackend(&cpu);
  cpu.Hold();
  scheduler->Start();
  EXPECT_TRUE(poller_view->IsRunning());
  scheduler->EnqueueTask(MakeTask(1), false);
  ASSERT_TRUE(cpu.WaitEntered(1));
  auto destroyer = std::async(std::launch::async, [&] { scheduler.reset(); });
  // While the destructor waits for the worker, the poller must still run.
  EXPECT_EQ(destroyer.wait_for(std::chrono::milliseconds(100)),
            std::future_status::timeout);
  EXPECT_TRUE(poller_view->IsRunning());
  EXPECT_TRUE(source_alive.load());
  cpu.Release();
  destroyer.get();
  EXPECT_FALSE(source_alive.load());
}

TEST(SchedulerLifecycleTest, UtilizationComesFromThePoller) {
  std::atomic<bool> source_alive{false};
  Scheduler scheduler(
      std::make_unique<HwPoller>(std::make_unique<WatchedSource>(source_alive), 5));
  EXPECT_EQ(scheduler.GetTelemetry().devices[0].utilization_pct, 0.0);
  scheduler.Start();
  const auto deadline = std::chrono::steady_clock::now() + seconds(30);
  while (scheduler.GatherLoad(DeviceId::kCpu).utilization_pct != 42.0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  EXPECT_EQ(scheduler.GatherLoad(DeviceId::kCpu).utilization_pct, 42.0);
  EXPECT_EQ(scheduler.GetTelemetry().devices[0].utilization_pct, 42.0);
  EXPECT_EQ(scheduler.GetTelemetry().devices[1].utilization_pct, 0.0);
  scheduler.Stop();
  // The reading outlives the stop.
  EXPECT_EQ(scheduler.GetTelemetry().devices[0].utilization_pct, 42.0);
}

TEST(SchedulerLifecycleTest, OnlyRegisteredDevicesGetAWorker) {
  testing::MockBackend cpu(DeviceId::kCpu, "cpu");
  Scheduler scheduler(nullptr);
  scheduler.RegisterBackend(&cpu);
  scheduler.RegisterBackend(nullptr);
  scheduler.Start();
  // igpu and dgpu have no worker: tasks pinned there fall back to cpu.
  scheduler.EnqueueTaskOnDevice(MakeTask(1), false, DeviceId::kIgpu);
  TaskResult result;
  EXPECT_TRUE(scheduler.WaitForResult(1, kGenerousMs, result));
  const TelemetrySnapshot snapshot = scheduler.GetTelemetry();
  EXPECT_EQ(snapshot.devices[0].completed_count, 1u);
  EXPECT_FALSE(snapshot.devices[1].registered);
  EXPECT_FALSE(snapshot.devices[2].registered);
}

}  // namespace
}  // namespace idlewick
