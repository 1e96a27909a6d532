// The scheduler: per-device lanes and workers, the claim-once result store,
// routing and telemetry.
//
// Each device (cpu, igpu, dgpu) has a slot with two lock-free lanes (text
// generation in the interactive lane, served first; every other kind in the
// background lane), one worker thread and a borrowed backend. A worker hands
// its device's tasks to the backend one at a time, updates the device's
// statistics, and files the result, which a caller claims by id exactly once.
// A failed result marks the backend degraded, after which routing avoids the
// device until someone clears the flag; nothing is retried.
//
// Threads:
//   * Any thread may enqueue, select, claim, and read telemetry, in any state;
//     enqueueing takes no lock.
//   * Start and Stop may be called from any threads; they are serialised, so
//     concurrent or repeated calls start and join each worker once.
//   * One worker per registered device runs while the scheduler runs.
//   * Stop, the destructor and WaitForResult must be called without any lock
//     a worker may need to release a payload (the Python bindings release the
//     interpreter lock around them).
// Lock order: lifecycle_mutex_ -> the poller's own lifecycle lock. The result
// store's mutex is never held together with any other lock, and never while a
// backend, the poller or a queue is called, or a result is destroyed.
#ifndef IDLEWICK_CORE_SCHEDULER_H_
#define IDLEWICK_CORE_SCHEDULER_H_

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <concurrentqueue/concurrentqueue.h>

#include "core/backend.h"
#include "core/routing.h"
#include "core/scoring_weights.h"
#include "core/task.h"
#include "core/telemetry.h"
#include "hw/hw_poller.h"

namespace idlewick {

// False for text generation, true for every other kind; callers pass it to the
// enqueue operations to choose the lane.
constexpr bool IsBackgroundKind(TaskKind kind) noexcept {
  return kind != TaskKind::kTextGeneration;
}

// Slot 1 for kIgpu, 2 for kDgpu, 0 for every other value.
constexpr std::size_t SlotFor(DeviceId device) noexcept {
  switch (device) {
    case DeviceId::kIgpu:
      return 1;
    case DeviceId::kDgpu:
      return 2;
    default:
      return 0;
  }
}

struct DeviceSlot {
  IBackend* backend = nullptr;  // not owned; written only before the first Start
  moodycamel::ConcurrentQueue<Task> interactive_queue;  // text generation
  moodycamel::ConcurrentQueue<Task> background_queue;   // other kinds
  std::thread worker;  // guarded by the scheduler's lifecycle_mutex_
  // Statistics: the slot's worker is the only writer; anyone reads them
  // without a lock. Sequentially consistent operations: a caller that claims
  // a result (through the result store's mutex) then sees the counts that
  // include it, and the cost is nothing next to a backend call.
  std::atomic<double> historical_latency_ms{0.0};  // 0.0 = no history yet
  std::atomic<std::uint64_t> completed_count{0};
  std::atomic<std::uint64_t> failed_count{0};
  std::atomic<std::uint64_t> in_flight{0};  // 1 while inside Submit
};

class Scheduler {
 public:
  // Takes the poller over (it may be empty: every utilization then reads 0.0).
  // Starts no thread.
  explicit Scheduler(std::unique_ptr<HwPoller> poller,
                     ScoringWeights weights = {}) noexcept;
  // Stops as Stop does, then discards unclaimed results, queued tasks and the
  // poller. Backends are not touched.
  ~Scheduler();

  Scheduler(const Scheduler&) = delete;
  Scheduler& operator=(const Scheduler&) = delete;

  // Puts the backend into the slot of its device(), replacing (not
  // destroying) any earlier one; null is ignored. Call before the first Start.
  void RegisterBackend(IBackend* backend) noexcept;

  // Starts the poller if it is not running, then one worker per registered
  // device. Does nothing while running. Throws std::system_error if a thread
  // cannot be created.
  void Start();
  // Clears the running flag, joins the workers (each finishes the task in
  // hand), then stops the poller. Queued tasks stay queued. Blocks.
  void Stop();
  bool IsRunning() const noexcept;

  // Routes the task (SelectDevice of its kind) into the chosen device's
  // background lane if `background`, else its interactive lane, and returns
  // its id. Lock-free. Throws std::bad_alloc if the lane cannot grow; the
  // task is then not queued.
  std::uint64_t EnqueueTask(Task task, bool background);
  // As EnqueueTask, but onto `device` when that device is eligible for the
  // task's kind, however busy it is; otherwise routed as EnqueueTask routes.
  std::uint64_t EnqueueTaskOnDevice(Task task, bool background, DeviceId device);

  // The eligible device with the best load; kCpu when none is eligible.
  // Changes nothing; allocation-free.
  DeviceId SelectDevice(TaskKind kind) const;
  // One device's load now; reads the poller's latest sample once.
  DeviceLoad GatherLoad(DeviceId device) const;

  // Claims the result for `id` into `out` and returns true, or returns false
  // with `out` untouched when none is stored. A result is handed out once.
  bool TryGetResult(std::uint64_t id, TaskResult& out);
  // As TryGetResult, waiting up to `timeout_ms` for the result to be filed.
  // A time-out of 0 or less checks once; one too large for the clock waits
  // without a deadline. Blocks.
  bool WaitForResult(std::uint64_t id, std::int64_t timeout_ms, TaskResult& out);

  TelemetrySnapshot GetTelemetry() const;

  // Files a result under its own id, replacing (and discarding) any result
  // stored there, and wakes every waiter. Used by the workers.
  void StoreResult(TaskResult result);

 private:
  void WorkerLoop(DeviceId device);
  bool IsEligible(const DeviceSlot& slot, TaskKind kind) const;
  // The device's figure in the poller's latest sample; 0.0 without a poller.
  double UtilizationOf(DeviceId device) const;
  void Enqueue(DeviceSlot& slot, Task task, bool background);
  void FillTelemetry(DeviceTelemetry& record, const DeviceSlot& slot,
                     DeviceId device) const;
  void StopLocked();

  std::unique_ptr<HwPoller> poller_;
  const ScoringWeights weights_;
  std::array<DeviceSlot, 3> slots_;  // index = SlotFor(device)
  // Serialises Start, Stop and the destructor and guards the worker handles.
  // Held while joining: workers never take it.
  std::mutex lifecycle_mutex_;
  // Changed only under lifecycle_mutex_, read by the workers once per pass.
  // Sequentially consistent; a stale read costs one more 1 ms pass at most.
  std::atomic<bool> running_{false};
  std::mutex results_mutex_;                    // guards results_
  std::condition_variable result_ready_;        // waited on with results_mutex_
  std::unordered_map<std::uint64_t, TaskResult> results_;  // guarded by results_mutex_
};

}  // namespace idlewick

#endif  // IDLEWICK_CORE_SCHEDULER_H_
