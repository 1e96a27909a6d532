#include "core/scheduler.h"

#include <chrono>
#include <exception>
#include <new>
#include <utility>

namespace idlewick {
namespace {

// The one text a worker files when a backend throws something that is not a
// std::exception.
constexpr const char* kUnknownBackendError = "backend threw a non-standard exception";

TaskResult FailedResult(std::uint64_t id, const char* message) {
  TaskResult result;
  result.id = id;
  result.error_message = message;
  return result;
}

// A backend is expected to report failure in its result. Should it throw
// anyway, the task still gets a failed result instead of terminating the
// process from inside a worker thread.
TaskResult SubmitGuarded(IBackend& backend, const Task& task) {
  try {
    return backend.Submit(task);
  } catch (const std::exception& e) {
    return FailedResult(task.id, e.what());
  } catch (...) {
    return FailedResult(task.id, kUnknownBackendError);
  }
}

}  // namespace

Scheduler::Scheduler(std::unique_ptr<HwPoller> poller,
                     ScoringWeights weights) noexcept
    : poller_(std::move(poller)), weights_(weights) {}

Scheduler::~Scheduler() {
  {
    std::lock_guard lifecycle(lifecycle_mutex_);
    StopLocked();
  }
  // Results, then the slots with their queued tasks (dgpu first), then the
  // poller go in member order.
}

void Scheduler::RegisterBackend(IBackend* backend) noexcept {
  if (backend == nullptr) return;
  slots_[SlotFor(backend->device())].backend = backend;
}

void Scheduler::Start() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  bool expected = false;
  if (!running_.compare_exchange_strong(expected, true)) return;
  if (poller_ != nullptr && !poller_->IsRunning()) poller_->Start();
  constexpr DeviceId kDevices[] = {DeviceId::kCpu, DeviceId::kIgpu, DeviceId::kDgpu};
  for (DeviceId device : kDevices) {
    DeviceSlot& slot = slots_[SlotFor(device)];
    if (slot.backend != nullptr) {
      slot.worker = std::thread(&Scheduler::WorkerLoop, this, device);
    }
  }
}

void Scheduler::Stop() {
  std::lock_guard lifecycle(lifecycle_mutex_);
  StopLocked();
}

void Scheduler::StopLocked() {
  bool expected = true;
  if (!running_.compare_exchange_strong(expected, false)) return;
  for (DeviceSlot& slot : slots_) {
    if (slot.worker.joinable()) slot.worker.join();
  }
  if (poller_ != nullptr) poller_->Stop();
}

bool Scheduler::IsRunning() const noexcept { return running_.load(); }

double Scheduler::UtilizationOf(DeviceId device) const {
  if (poller_ == nullptr) return 0.0;
  const UtilizationSample sample = poller_->Latest();
  switch (device) {
    case DeviceId::kIgpu:
      return sample.igpu_pct;
    case DeviceId::kDgpu:
      return sample.dgpu_pct;
    default:
      return sample.cpu_pct;
  }
}

void Scheduler::Enqueue(DeviceSlot& slot, Task task, bool background) {
  auto& lane = background ? slot.background_queue : slot.interactive_queue;
  // enqueue only fails when the lane cannot allocate a new block; returning
  // the id anyway would promise a result that never comes.
  if (!lane.enqueue(std::move(task))) throw std::bad_alloc();
}

std::uint64_t Scheduler::EnqueueTask(Task task, bool background) {
  const DeviceId device = SelectDevice(task.kind);
  const std::uint64_t id = task.id;
  Enqueue(slots_[SlotFor(device)], std::move(task), background);
  return id;
}

std::uint64_t Scheduler::EnqueueTaskOnDevice(Task task, bool background,
                                             DeviceId device) {
  DeviceSlot& pinned = slots_[SlotFor(device)];
  if (!IsEligible(pinned, task.kind)) return EnqueueTask(std::move(task), background);
  const std::uint64_t id = task.id;
  Enqueue(pinned, std::move(task), background);
  return id;
}

void Scheduler::WorkerLoop(DeviceId device) {
  DeviceSlot& slot = slots_[SlotFor(device)];
  Task task;
  while (running_.load()) {
    if (!slot.interactive_queue.try_dequeue(task) &&
        !slot.background_queue.try_dequeue(task)) {
      // No signal announces new work; polling keeps enqueue lock-free.
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
      continue;
    }
    slot.in_flight.store(1);
    TaskResult result = SubmitGuarded(*slot.backend, task);
    slot.in_flight.store(0);
    // Drop the task before filing its result: an echoed payload is then held
    // by the result alone, so it is released by whoever claims it (a Python
    // thread that already holds the interpreter lock) and a caller that has
    // claimed a result knows the scheduler keeps nothing of its task.
    task = Task{};
    if (result.status == TaskStatus::kOk) {
      slot.completed_count.fetch_add(1);
      const double sample = result.latency_ms;
      const double history = slot.historical_latency_ms.load();
      // Single writer: the load-then-store cannot lose an update.
      slot.historical_latency_ms.store(history == 0.0 ? sample
                                                      : 0.2 * sample + 0.8 * history);
    } else {
      slot.failed_count.fetch_add(1);
      slot.backend->SetDegraded(true);
    }
    StoreResult(std::move(result));
  }
}

void Scheduler::StoreResult(TaskResult result) {
  TaskResult displaced;
  {
    std::lock_guard lock(results_mutex_);
    displaced = std::exchange(results_[result.id], std::move(result));
    result_ready_.notify_all();
  }
  // `displaced` (and its payload) is released here, outside the lock.
}

bool Scheduler::TryGetResult(std::uint64_t id, TaskResult& out) {
  decltype(results_)::node_type claimed;
  {
    std::lock_guard lock(results_mutex_);
    auto it = results_.find(id);
    if (it == results_.end()) return false;
    claimed = results_.extract(it);
  }
  // Whatever `out` held before is released here, outside the lock.
  out = std::move(claimed.mapped());
  return true;
}

bool Scheduler::WaitForResult(std::uint64_t id, std::int64_t timeout_ms,
                              TaskResult& out) {
  using std::chrono::milliseconds;
  using std::chrono::steady_clock;
  decltype(results_)::node_type claimed;
  {
    std::unique_lock lock(results_mutex_);
    const auto now = steady_clock::now();
    const auto stored = [&] { return results_.find(id) != results_.end(); };
    // Deadlines the clock cannot represent: any time-out of 0 or less only
    // checks once, and one beyond the clock's range waits without a deadline.
    const std::int64_t wait_ms = timeout_ms > 0 ? timeout_ms : 0;
    const auto room = std::chrono::duration_cast<milliseconds>(
        steady_clock::time_point::max() - now);
    if (wait_ms >= room.count()) {
      result_ready_.wait(lock, stored);
    } else if (!result_ready_.wait_until(lock, now + milliseconds(wait_ms), stored)) {
      return false;
    }
    claimed = results_.extract(id);
  }
  out = std::move(claimed.mapped());
  return true;
}

}  // namespace idlewick
