#include "python/py_scheduler.h"

#include <utility>

#include "core/scoring_weights.h"
#include "hw/combined_utilization_source.h"
#include "hw/hw_poller.h"
#include "hw/nvml_utilization_source.h"
#include "hw/pdh_utilization_source.h"
#include "python/conversions.h"
#include "python/interpreter_exit.h"

namespace py = pybind11;

namespace idlewick::python {
namespace {

constexpr std::int64_t kPollIntervalMs = 100;
constexpr ScoringWeights kWeights{0.5, 0.3, 0.2};

constexpr const char* kRealBackendsPrefix = "real backends requested (llama_model_path='";
constexpr const char* kRealBackendsSuffix =
    "') but this hollowmere build was not compiled with -DIDLEWICK_BUILD_PYTHON_REAL=ON "
    "(see docs/DEVELOPMENT.md's Phase O0 build section) - rebuild with that flag (and "
    "-DIDLEWICK_BUILD_BACKENDS=ON) to use real OpenVINO/llama.cpp-Vulkan backends, or "
    "omit llama_model_path to use the built-in MockBackend, which every build supports.";
constexpr const char* kMockModeOnly =
    "() only applies to Mock mode (Scheduler() with no llama_model_path) - this instance "
    "is using real backends, which have no equivalent hand-set failure/capability flags "
    "to control.";

// The performance counters are the primary source; the management library
// only ever adds the discrete-GPU figure.
std::unique_ptr<HwPoller> MakeUtilizationPoller() {
  auto nvml = std::make_unique<NvmlUtilizationSource>(0);
  auto counters = std::make_unique<PdhUtilizationSource>();
  auto combined =
      std::make_unique<CombinedUtilizationSource>(std::move(counters), std::move(nvml));
  return std::make_unique<HwPoller>(std::move(combined), kPollIntervalMs);
}

}  // namespace

PyScheduler::PyScheduler(const std::string& llama_model_path)
    : scheduler_(MakeUtilizationPoller(), kWeights) {
  if (!llama_model_path.empty()) {
    RaiseWithText(PyExc_RuntimeError,
                  std::string(kRealBackendsPrefix) + llama_model_path + kRealBackendsSuffix);
  }
  cpu_backend_ = std::make_unique<testing::MockBackend>(DeviceId::kCpu, "py-mock-cpu");
  igpu_backend_ = std::make_unique<testing::MockBackend>(DeviceId::kIgpu, "py-mock-igpu");
  dgpu_backend_ = std::make_unique<testing::MockBackend>(DeviceId::kDgpu, "py-mock-dgpu");
  scheduler_.RegisterBackend(cpu_backend_.get());
  scheduler_.RegisterBackend(igpu_backend_.get());
  scheduler_.RegisterBackend(dgpu_backend_.get());
}

void PyScheduler::Start() {
  py::gil_scoped_release release;
  scheduler_.Start();
}

void PyScheduler::Stop() {
  py::gil_scoped_release release;
  scheduler_.Stop();
}

bool PyScheduler::IsRunning() const { return scheduler_.IsRunning(); }

bool PyScheduler::IsUsingRealBackends() const { return use_real_backends_; }

Task PyScheduler::BuildTask(TaskKind kind, std::string text_input,
                            const std::optional<FloatArray>& numeric_input,
                            std::uint64_t* numeric_address) {
  Task task;
  task.id = next_task_id_.fetch_add(1, std::memory_order_relaxed);
  task.kind = kind;
  task.text_input = std::move(text_input);
  if (numeric_input.has_value()) {
    std::uint64_t address = 0;
    task.numeric_input = BorrowArray(*numeric_input, address);
    if (numeric_address != nullptr) *numeric_address = address;
  }
  return task;
}

std::uint64_t PyScheduler::EnqueueTask(const std::string& kind, std::string text_input,
                                       const std::optional<FloatArray>& numeric_input) {
  const TaskKind parsed_kind = ParseTaskKind(kind);
  std::uint64_t address = 0;
  Task task = BuildTask(parsed_kind, std::move(text_input), numeric_input, &address);
  if (numeric_input.has_value()) {
    zero_copy_enqueue_count_.fetch_add(1);
    last_numeric_input_ptr_ = address;
  }
  return scheduler_.EnqueueTask(std::move(task), IsBackgroundKind(parsed_kind));
}

std::uint64_t PyScheduler::EnqueueTaskOnDevice(
    const std::string& device, const std::string& kind, std::string text_input,
    const std::optional<FloatArray>& numeric_input) {
  const TaskKind parsed_kind = ParseTaskKind(kind);
  const DeviceId parsed_device = ParseDevice(device);
  Task task = BuildTask(parsed_kind, std::move(text_input), numeric_input, nullptr);
  return scheduler_.EnqueueTaskOnDevice(std::move(task), IsBackgroundKind(parsed_kind),
                                        parsed_device);
}

py::object PyScheduler::TryGetResult(std::uint64_t task_id) {
  TaskResult result;
  if (!scheduler_.TryGetResult(task_id, result)) return py::none();
  return ResultToDict(result);
}

py::object PyScheduler::WaitForResult(std::uint64_t task_id, std::int32_t timeout_ms) {
  // Declared outside the released scope: the claimed result (and a numpy
  // payload it may hold) is destroyed with the lock held.
  TaskResult result;
  bool claimed = false;
  {
    py::gil_scoped_release release;
    claimed = scheduler_.WaitForResult(task_id, timeout_ms, result);
  }
  if (!claimed) return py::none();
  return ResultToDict(result);
}

py::dict PyScheduler::GetTelemetry() const {
  const TelemetrySnapshot snapshot = scheduler_.GetTelemetry();
  py::dict out;
  out["cpu"] = TelemetryToDict(snapshot.devices[0]);
  out["igpu"] = TelemetryToDict(snapshot.devices[1]);
  out["dgpu"] = TelemetryToDict(snapshot.devices[2]);
  return out;
}

std::string PyScheduler::SelectDevice(const std::string& kind) const {
  return std::string(DeviceName(scheduler_.SelectDevice(ParseTaskKind(kind))));
}

std::uint64_t PyScheduler::DebugZeroCopyEnqueueCount() const {
  return zero_copy_enqueue_count_.load();
}

std::uint64_t PyScheduler::DebugLastNumericInputPtr() const {
  return last_numeric_input_ptr_;
}

void PyScheduler::RequireMockMode(const char* control) const {
  if (use_real_backends_) {
    RaiseWithText(PyExc_RuntimeError, std::string(control) + kMockModeOnly);
  }
}

testing::MockBackend& PyScheduler::BackendFor(const std::string& device) {
  switch (ParseDevice(device)) {
    case DeviceId::kIgpu:
      return *igpu_backend_;
    case DeviceId::kDgpu:
      return *dgpu_backend_;
    default:
      return *cpu_backend_;
  }
}

void PyScheduler::DebugForceBackendFailure(const std::string& device, bool fail) {
  RequireMockMode("debug_force_backend_failure");
  BackendFor(device).SetForceFailure(fail);
}

void PyScheduler::DebugSetBackendSupportsKind(const std::string& device,
                                              const std::string& kind, bool supported) {
  RequireMockMode("debug_set_backend_supports_kind");
  testing::MockBackend& backend = BackendFor(device);
  backend.SetSupportsKind(ParseTaskKind(kind), supported);
}

void PyScheduler::DebugMarkDegraded(const std::string& device, bool degraded) {
  RequireMockMode("debug_mark_degraded");
  // Through the backend interface, as the worker marks a failure.
  IBackend& backend = BackendFor(device);
  backend.SetDegraded(degraded);
}

PySchedulerHolder NewPyScheduler(const std::string& llama_model_path) {
  PySchedulerHolder scheduler(new PyScheduler(llama_model_path));
  RememberAtExit(scheduler.get());
  return scheduler;
}

void PySchedulerDeleter::operator()(PyScheduler* scheduler) const noexcept {
  ForgetAtExit(scheduler);
  // Not pybind11's gil_scoped_release: that consults pybind11's internals,
  // which may already be gone while the interpreter shuts down.
  PyThreadState* thread_state = PyEval_SaveThread();
  delete scheduler;
  PyEval_RestoreThread(thread_state);
}

}  // namespace idlewick::python
