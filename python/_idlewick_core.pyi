"""
Hollowmere native core bindings
"""

from __future__ import annotations

import typing

import numpy
import numpy.typing

# Text parameters take a str (as its UTF-8 bytes) or raw bytes.
_Text: typing.TypeAlias = str | bytes | bytearray
# Anything numpy can turn into a float32 array; a C-contiguous float32 array is
# borrowed without a copy.
_NumericInput: typing.TypeAlias = typing.Annotated[numpy.typing.ArrayLike, numpy.float32]

class _ResultDict(typing.TypedDict):
    id: int
    status: typing.Literal["ok", "failed"]
    text_output: str
    numeric_output: numpy.typing.NDArray[numpy.float32] | None
    error_message: str
    latency_ms: float
    first_token_latency_ms: float
    tokens_generated: int
    image_width: int
    image_height: int

class _DeviceTelemetryDict(typing.TypedDict):
    device: str
    registered: bool
    degraded: bool
    utilization_pct: float
    queue_depth: int
    historical_latency_ms: float
    completed_count: int
    failed_count: int

class _TelemetryDict(typing.TypedDict):
    cpu: _DeviceTelemetryDict
    igpu: _DeviceTelemetryDict
    dgpu: _DeviceTelemetryDict

def version() -> str:
    """
    Return the idlewick_core version string, e.g. '0.2.0'.
    """

def has_real_backends() -> bool:
    """
    True only if this module was built with -DIDLEWICK_BUILD_PYTHON_REAL=ON, so that Scheduler(llama_model_path=...) can construct real OpenVINO and llama.cpp-Vulkan backends. False for the default, mock-only distribution of this module.
    """

class Scheduler:
    """
    Python-facing wrapper around the idlewick core scheduler.

    By default (no arguments) it is wired with byte-for-byte echo backends (idlewick::testing::MockBackend), so it is fully usable without OpenVINO or llama.cpp-Vulkan installed and exercises the binding boundary itself (queueing, threading, buffer round-trip, telemetry) rather than real inference.

    Passing llama_model_path (a GGUF file) asks for real OpenVINO and llama.cpp-Vulkan backends, which only works when has_real_backends() is True; otherwise the constructor raises RuntimeError.
    """

    def __init__(self, llama_model_path: _Text = "") -> None:
        """
        llama_model_path: empty (default) for Mock mode; a GGUF path to use real backends (needs has_real_backends() == True - see module docstring).
        """
    def start(self) -> None:
        """
        Start the scheduler's worker threads and hardware poller.
        """
    def stop(self) -> None:
        """
        Stop worker threads and the poller; safe to call multiple times.
        """
    @property
    def is_running(self) -> bool: ...
    @property
    def is_using_real_backends(self) -> bool:
        """
        True if this instance is running real OpenVINO/llama.cpp-Vulkan backends (llama_model_path was given and this build supports it), False if it's the default Mock echo backend.
        """
    def enqueue_task(
        self, kind: _Text, text_input: _Text = "", numeric_input: _NumericInput | None = None
    ) -> int:
        """
        Enqueue a task ('text_generation', 'embedding', or 'image_generation') with a text and/or numeric (numpy float32 array) payload. Returns the task id.
        """
    def try_get_result(self, task_id: typing.SupportsIndex) -> _ResultDict | None:
        """
        Non-blocking. Returns a result dict if `task_id` has completed, else None. Each result can only be claimed once.
        """
    def wait_for_result(
        self, task_id: typing.SupportsIndex, timeout_ms: typing.SupportsIndex = 5000
    ) -> _ResultDict | None:
        """
        Blocks (releasing the GIL) up to `timeout_ms` for `task_id` to complete. Returns a result dict, or None on timeout.
        """
    def get_telemetry(self) -> _TelemetryDict:
        """
        Returns {'cpu': {...}, 'igpu': {...}, 'dgpu': {...}} telemetry dicts (utilization, queue depth, degraded state, completed/failed counts). Phase M1: dgpu is always present; registered=False if no dGPU backend is wired up.
        """
    def debug_zero_copy_enqueue_count(self) -> int:
        """
        Testing/verification only (spec section 6.2): number of enqueue_task() calls so far whose numeric_input was wired in via a zero-copy NumericBuffer::View rather than a native copy - currently every call with a non-None numeric_input, since the copying path was removed in Phase 3 commit 2b.
        """
    def debug_last_numeric_input_ptr(self) -> int:
        """
        Testing/verification only: the raw address enqueue_task() actually stored for the most recent numeric_input, as an int. Compare against a numpy array's own `arr.__array_interface__['data'][0]` to prove - not assume - that no copy happened on the way in.
        """
    def debug_force_backend_failure(self, device: _Text, fail: bool) -> None:
        """
        Testing/verification only (spec section 6.2): make every subsequent Submit() call on the named backend ('cpu', 'igpu', or 'dgpu') return TaskStatus::kFailed, so tests can observe the real scheduler mark that device degraded and reroute - not a simulation, the actual failure path.
        """
    def debug_set_backend_supports_kind(self, device: _Text, kind: _Text, supported: bool) -> None:
        """
        Testing/verification only: restrict/restore whether the named backend ('cpu', 'igpu', or 'dgpu') supports a task kind ('text_generation', 'embedding', or 'image_generation'), to make routing deterministic in tests without depending on real hardware utilization readings.
        """
    def select_device(self, kind: _Text) -> str:
        """
        Returns the device name ('cpu', 'igpu', or 'dgpu') the scheduler would currently pick for a new task of the given kind, given the live utilization/queue snapshot. No task is enqueued. Used by the Python session layer to record which device handles the first turn of a chat session.
        """
    def enqueue_task_on_device(
        self,
        device: _Text,
        kind: _Text,
        text_input: _Text = "",
        numeric_input: _NumericInput | None = None,
    ) -> int:
        """
        Phase M2: enqueue a task directly to a named device ('cpu', 'igpu', or 'dgpu'), bypassing the scoring function. Falls back to normal EnqueueTask routing if the pinned device is unregistered, degraded, or doesn't support the task kind — session affinity is best-effort, not a hard guarantee.
        """
    def debug_mark_degraded(self, device: _Text, degraded: bool) -> None:
        """
        Testing/verification only (Phase M3): directly set the degraded flag on the named device's MockBackend to `degraded`. Used by /admin/recover-device to un-degrade a slot after a forced failure — debug_force_backend_failure only clears the force-fail flag, not the degraded flag that WorkerLoop set.
        """
