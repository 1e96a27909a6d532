// Micro-benchmarks of the scheduler's hot paths: enqueueing, one task's round
// trip through an idle scheduler, and device selection.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "core/mock_backend.h"
#include "core/scheduler.h"

namespace idlewick {
namespace {

using testing::MockBackend;

// Three echo backends and a scheduler without a poller (utilization reads
// 0.0, so nothing but the scheduler's own work is measured).
struct Rig {
  MockBackend cpu{DeviceId::kCpu, "cpu"};
  MockBackend igpu{DeviceId::kIgpu, "igpu"};
  MockBackend dgpu{DeviceId::kDgpu, "dgpu"};
  Scheduler scheduler{nullptr};
  Rig() {
    scheduler.RegisterBackend(&cpu);
    scheduler.RegisterBackend(&igpu);
    scheduler.RegisterBackend(&dgpu);
  }
};

// Routing and a lock-free enqueue per call, on a stopped scheduler so that the
// workers do not compete for the cores; queues grow for the run.
void BM_EnqueueTask(benchmark::State& state) {
  static Rig* rig = nullptr;
  static std::atomic<std::uint64_t> next_id{1};
  if (state.thread_index() == 0) rig = new Rig();
  for (auto _ : state) {
    Task task;
    task.id = next_id.fetch_add(1, std::memory_order_relaxed);
    task.text_input = "hello";
    benchmark::DoNotOptimize(rig->scheduler.EnqueueTask(std::move(task), false));
  }
  state.SetItemsProcessed(state.iterations());
  if (state.thread_index() == 0) {
    // The other threads have left the loop: teardown happens after the
    // benchmark's closing barrier for thread 0 only.
    delete rig;
    rig = nullptr;
  }
}
BENCHMARK(BM_EnqueueTask)->Threads(1)->Threads(2)->UseRealTime();

// Enqueue one echo task and wait for its result on a started, idle scheduler.
void BM_RoundTrip(benchmark::State& state) {
  Rig rig;
  rig.scheduler.Start();
  std::uint64_t id = 0;
  for (auto _ : state) {
    Task task;
    task.id = ++id;
    task.text_input = "ping";
    rig.scheduler.EnqueueTask(std::move(task), false);
    TaskResult result;
    if (!rig.scheduler.WaitForResult(id, 10'000, result)) {
      state.SkipWithError("result did not arrive");
      break;
    }
  }
  rig.scheduler.Stop();
}
BENCHMARK(BM_RoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_SelectDeviceThreeEligible(benchmark::State& state) {
  Rig rig;
  for (auto _ : state) {
    benchmark::DoNotOptimize(rig.scheduler.SelectDevice(TaskKind::kEmbedding));
  }
}
BENCHMARK(BM_SelectDeviceThreeEligible);

}  // namespace
}  // namespace idlewick
