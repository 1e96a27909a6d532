// The _idlewick_core module: its two functions and the Scheduler class.
#include <cstdint>
#include <string>

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include "python/interpreter_exit.h"
#include "python/numpy_payload.h"
#include "python/py_scheduler.h"

namespace py = pybind11;

namespace idlewick::python {
namespace {

constexpr int kVersionMajor = IDLEWICK_VERSION_MAJOR;
constexpr int kVersionMinor = IDLEWICK_VERSION_MINOR;
constexpr int kVersionPatch = IDLEWICK_VERSION_PATCH;

constexpr const char* kModuleDoc = "Hollowmere native core bindings";
constexpr const char* kHasRealBackendsDoc =
    "True only if this module was built with -DIDLEWICK_BUILD_PYTHON_REAL=ON, so "
    "that Scheduler(llama_model_path=...) can construct real OpenVINO and "
    "llama.cpp-Vulkan backends. False for the default, mock-only distribution of "
    "this module.";
constexpr const char* kSchedulerDoc =
    "Python-facing wrapper around the idlewick core scheduler.\n"
    "\n"
    "By default (no arguments) it is wired with byte-for-byte echo backends "
    "(idlewick::testing::MockBackend), so it is fully usable without OpenVINO or "
    "llama.cpp-Vulkan installed and exercises the binding boundary itself "
    "(queueing, threading, buffer round-trip, telemetry) rather than real "
    "inference.\n"
    "\n"
    "Passing llama_model_path (a GGUF file) asks for real OpenVINO and "
    "llama.cpp-Vulkan backends, which only works when has_real_backends() is "
    "True; otherwise the constructor raises RuntimeError.";
constexpr const char* kVersionDoc =
    "Return the idlewick_core version string, e.g. '0.2.0'.";
constexpr const char* kInitDoc =
    "llama_model_path: empty (default) for Mock mode; a GGUF path to use real "
    "backends (needs has_real_backends() == True - see module docstring).";
constexpr const char* kStartDoc =
    "Start the scheduler's worker threads and hardware poller.";
constexpr const char* kStopDoc =
    "Stop worker threads and the poller; safe to call multiple times.";
constexpr const char* kIsUsingRealBackendsDoc =
    "True if this instance is running real OpenVINO/llama.cpp-Vulkan backends "
    "(llama_model_path was given and this build supports it), False if it's the "
    "default Mock echo backend.";
constexpr const char* kEnqueueTaskDoc =
    "Enqueue a task ('text_generation', 'embedding', or 'image_generation') with "
    "a text and/or numeric (numpy float32 array) payload. Returns the task id.";
constexpr const char* kTryGetResultDoc =
    "Non-blocking. Returns a result dict if `task_id` has completed, else None. "
    "Each result can only be claimed once.";
constexpr const char* kWaitForResultDoc =
    "Blocks (releasing the GIL) up to `timeout_ms` for `task_id` to complete. "
    "Returns a result dict, or None on timeout.";
constexpr const char* kGetTelemetryDoc =
    "Returns {'cpu': {...}, 'igpu': {...}, 'dgpu': {...}} telemetry dicts "
    "(utilization, queue depth, degraded state, completed/failed counts). Phase "
    "M1: dgpu is always present; registered=False if no dGPU backend is wired up.";
constexpr const char* kDebugZeroCopyEnqueueCountDoc =
    "Testing/verification only (spec section 6.2): number of enqueue_task() calls"
    " so far whose numeric_input was wired in via a zero-copy NumericBuffer::View"
    " rather than a native copy - currently every call with a non-None "
    "numeric_input, since the copying path was removed in Phase 3 commit 2b.";
constexpr const char* kDebugLastNumericInputPtrDoc =
    "Testing/verification only: the raw address enqueue_task() actually stored "
    "for the most recent numeric_input, as an int. Compare against a numpy "
    "array's own `arr.__array_interface__['data'][0]` to prove - not assume - "
    "that no copy happened on the way in.";
constexpr const char* kDebugForceBackendFailureDoc =
    "Testing/verification only (spec section 6.2): make every subsequent Submit()"
    " call on the named backend ('cpu', 'igpu', or 'dgpu') return "
    "TaskStatus::kFailed, so tests can observe the real scheduler mark that "
    "device degraded and reroute - not a simulation, the actual failure path.";
constexpr const char* kDebugSetBackendSupportsKindDoc =
    "Testing/verification only: restrict/restore whether the named backend "
    "('cpu', 'igpu', or 'dgpu') supports a task kind ('text_generation', "
    "'embedding', or 'image_generation'), to make routing deterministic in tests "
    "without depending on real hardware utilization readings.";
constexpr const char* kSelectDeviceDoc =
    "Returns the device name ('cpu', 'igpu', or 'dgpu') the scheduler would "
    "currently pick for a new task of the given kind, given the live "
    "utilization/queue snapshot. No task is enqueued. Used by the Python session "
    "layer to record which device handles the first turn of a chat session.";
constexpr const char* kEnqueueTaskOnDeviceDoc =
    "Phase M2: enqueue a task directly to a named device ('cpu', 'igpu', or "
    "'dgpu'), bypassing the scoring function. Falls back to normal EnqueueTask "
    "routing if the pinned device is unregistered, degraded, or doesn't support "
    "the task kind \xe2\x80\x94"" session affinity is best-effort, not a hard "
    "guarantee.";
constexpr const char* kDebugMarkDegradedDoc =
    "Testing/verification only (Phase M3): directly set the degraded flag on the "
    "named device's MockBackend to `degraded`. Used by /admin/recover-device to "
    "un-degrade a slot after a forced failure \xe2\x80\x94"" "
    "debug_force_backend_failure only clears the force-fail flag, not the "
    "degraded flag that WorkerLoop set.";

std::string Version() {
  return std::to_string(kVersionMajor) + "." + std::to_string(kVersionMinor) + "." +
         std::to_string(kVersionPatch);
}

// This build carries the echo backends only.
bool HasRealBackends() { return false; }

}  // namespace
}  // namespace idlewick::python

// Multi-phase initialisation; refusing other interpreters keeps the module's
// process-wide state (the instances stopped at exit) to one interpreter.
PYBIND11_MODULE(_idlewick_core, m, py::multiple_interpreters::not_supported()) {
  using idlewick::python::PyScheduler;
  using idlewick::python::PySchedulerHolder;
  namespace ip = idlewick::python;

  m.doc() = ip::kModuleDoc;
  m.def("version", &ip::Version, ip::kVersionDoc);
  m.def("has_real_backends", &ip::HasRealBackends, ip::kHasRealBackendsDoc);

  py::class_<PyScheduler, PySchedulerHolder>(m, "Scheduler", ip::kSchedulerDoc)
      .def(py::init(&ip::NewPyScheduler), py::arg("llama_model_path") = std::string(),
           ip::kInitDoc)
      .def("start", &PyScheduler::Start, ip::kStartDoc)
      .def("stop", &PyScheduler::Stop, ip::kStopDoc)
      .def_property_readonly("is_running", &PyScheduler::IsRunning)
      .def_property_readonly("is_using_real_backends", &PyScheduler::IsUsingRealBackends,
                             ip::kIsUsingRealBackendsDoc)
      .def("enqueue_task", &PyScheduler::EnqueueTask, py::arg("kind"),
           py::arg("text_input") = std::string(), py::arg("numeric_input") = py::none(),
           ip::kEnqueueTaskDoc)
      .def("try_get_result", &PyScheduler::TryGetResult, py::arg("task_id"),
           ip::kTryGetResultDoc)
      .def("wait_for_result", &PyScheduler::WaitForResult, py::arg("task_id"),
           py::arg("timeout_ms") = std::int32_t{5000}, ip::kWaitForResultDoc)
      .def("get_telemetry", &PyScheduler::GetTelemetry, ip::kGetTelemetryDoc)
      .def("debug_zero_copy_enqueue_count", &PyScheduler::DebugZeroCopyEnqueueCount,
           ip::kDebugZeroCopyEnqueueCountDoc)
      .def("debug_last_numeric_input_ptr", &PyScheduler::DebugLastNumericInputPtr,
           ip::kDebugLastNumericInputPtrDoc)
      .def("debug_force_backend_failure", &PyScheduler::DebugForceBackendFailure,
           py::arg("device"), py::arg("fail"), ip::kDebugForceBackendFailureDoc)
      .def("debug_set_backend_supports_kind", &PyScheduler::DebugSetBackendSupportsKind,
           py::arg("device"), py::arg("kind"), py::arg("supported"),
           ip::kDebugSetBackendSupportsKindDoc)
      .def("select_device", &PyScheduler::SelectDevice, py::arg("kind"),
           ip::kSelectDeviceDoc)
      .def("enqueue_task_on_device", &PyScheduler::EnqueueTaskOnDevice, py::arg("device"),
           py::arg("kind"), py::arg("text_input") = std::string(),
           py::arg("numeric_input") = py::none(), ip::kEnqueueTaskOnDeviceDoc)
      .def("debug_mark_degraded", &PyScheduler::DebugMarkDegraded, py::arg("device"),
           py::arg("degraded"), ip::kDebugMarkDegradedDoc);

  ip::InstallExitHook();
}
