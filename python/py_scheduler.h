// PyScheduler: the object behind one Python `Scheduler` instance. It owns the
// three echo backends and, by value, the core Scheduler with its utilization
// chain, numbers the tasks, and converts between Python values and the core's
// tasks, results and telemetry.
//
// Threads: every member is called from Python threads. Start, Stop and
// WaitForResult release the interpreter lock while they block in the core
// (Start because it may wait for a Stop that is joining a worker, and that
// worker may need the lock to let go of a numpy payload); every other member
// holds it throughout. Destruction must run with the lock released: use
// PySchedulerDeleter, which does that.
//
// Failures are raised as Python exceptions: ValueError for an unknown device
// or kind, RuntimeError for real backends, UnicodeDecodeError for result text
// that is not UTF-8.
#ifndef IDLEWICK_PYTHON_PY_SCHEDULER_H_
#define IDLEWICK_PYTHON_PY_SCHEDULER_H_

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include <pybind11/pybind11.h>

#include "core/mock_backend.h"
#include "core/scheduler.h"
#include "python/numpy_payload.h"

namespace idlewick::python {

class PyScheduler {
 public:
  // Builds the utilization chain, the poller and the core scheduler, then the
  // three echo backends, registered cpu, igpu, dgpu. Nothing runs yet. A
  // non-empty path raises RuntimeError: this build has no real backends.
  explicit PyScheduler(const std::string& llama_model_path);

  PyScheduler(const PyScheduler&) = delete;
  PyScheduler& operator=(const PyScheduler&) = delete;

  // Idempotent; release the interpreter lock while the core starts or joins.
  void Start();
  void Stop();
  bool IsRunning() const;
  bool IsUsingRealBackends() const;

  // Parses the kind, takes the next id, borrows `numeric_input` (zero-copy)
  // and routes the task. Updates the two zero-copy probes.
  std::uint64_t EnqueueTask(const std::string& kind, std::string text_input,
                            const std::optional<FloatArray>& numeric_input);
  // Parses the kind, then the device, takes the next id and pins the task to
  // the device (routed normally when the device cannot take it). Leaves the
  // zero-copy probes alone.
  std::uint64_t EnqueueTaskOnDevice(const std::string& device, const std::string& kind,
                                    std::string text_input,
                                    const std::optional<FloatArray>& numeric_input);

  // The claimed result's dict, or None. A result is handed out once.
  pybind11::object TryGetResult(std::uint64_t task_id);
  // As TryGetResult, waiting up to `timeout_ms` with the lock released.
  pybind11::object WaitForResult(std::uint64_t task_id, std::int32_t timeout_ms);

  pybind11::dict GetTelemetry() const;
  std::string SelectDevice(const std::string& kind) const;

  std::uint64_t DebugZeroCopyEnqueueCount() const;
  std::uint64_t DebugLastNumericInputPtr() const;
  void DebugForceBackendFailure(const std::string& device, bool fail);
  void DebugSetBackendSupportsKind(const std::string& device, const std::string& kind,
                                   bool supported);
  void DebugMarkDegraded(const std::string& device, bool degraded);

 private:
  Task BuildTask(TaskKind kind, std::string text_input,
                 const std::optional<FloatArray>& numeric_input,
                 std::uint64_t* numeric_address);
  // Raises RuntimeError naming `control` when real backends are in use.
  void RequireMockMode(const char* control) const;
  testing::MockBackend& BackendFor(const std::string& device);

  // Declaration order is destruction order reversed: the core scheduler, with
  // every queued task and stored result, is gone before the backends it
  // points to.
  std::unique_ptr<testing::MockBackend> cpu_backend_;
  std::unique_ptr<testing::MockBackend> igpu_backend_;
  std::unique_ptr<testing::MockBackend> dgpu_backend_;
  const bool use_real_backends_ = false;
  Scheduler scheduler_;
  // Advanced by any enqueueing Python thread; relaxed is enough, only the
  // uniqueness of the values matters.
  std::atomic<std::uint64_t> next_task_id_{1};
  // Written and read only under the interpreter lock, which orders them; the
  // count is atomic all the same so that it never tears.
  std::atomic<std::uint64_t> zero_copy_enqueue_count_{0};
  std::uint64_t last_numeric_input_ptr_ = 0;  // guarded by the interpreter lock
};

// Destroys a PyScheduler with the interpreter lock released, so that workers
// being joined and payloads being dropped can take it. Call with the lock
// held (as pybind11 does when it deallocates an instance).
struct PySchedulerDeleter {
  void operator()(PyScheduler* scheduler) const noexcept;
};

// How the Python class holds its instance.
using PySchedulerHolder = std::unique_ptr<PyScheduler, PySchedulerDeleter>;

// A new instance, stopped at interpreter exit should it still run then (see
// interpreter_exit.h). Call with the interpreter lock held.
PySchedulerHolder NewPyScheduler(const std::string& llama_model_path);

}  // namespace idlewick::python

#endif  // IDLEWICK_PYTHON_PY_SCHEDULER_H_
