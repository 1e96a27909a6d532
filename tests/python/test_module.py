"""The module's face: functions, names, docstrings and the shipped type stub."""

import pathlib
import shutil
import subprocess
import sys

import pytest

import _idlewick_core as core
from helpers import run_python

METHOD_DOCS = {
    '__init__': (
        'llama_model_path: empty (default) for Mock mode; a GGUF path to use real '
        'backends (needs has_real_backends() == True - see module docstring).'
    ),
    'start': (
        "Start the scheduler's worker threads and hardware poller."
    ),
    'stop': (
        'Stop worker threads and the poller; safe to call multiple times.'
    ),
    'enqueue_task': (
        "Enqueue a task ('text_generation', 'embedding', or 'image_generation') with "
        'a text and/or numeric (numpy float32 array) payload. Returns the task id.'
    ),
    'try_get_result': (
        'Non-blocking. Returns a result dict if `task_id` has completed, else None. '
        'Each result can only be claimed once.'
    ),
    'wait_for_result': (
        'Blocks (releasing the GIL) up to `timeout_ms` for `task_id` to complete. '
        'Returns a result dict, or None on timeout.'
    ),
    'get_telemetry': (
        "Returns {'cpu': {...}, 'igpu': {...}, 'dgpu': {...}} telemetry dicts "
        '(utilization, queue depth, degraded state, completed/failed counts). Phase '
        'M1: dgpu is always present; registered=False if no dGPU backend is wired up.'
    ),
    'debug_zero_copy_enqueue_count': (
        'Testing/verification only (spec section 6.2): number of enqueue_task() calls'
        ' so far whose numeric_input was wired in via a zero-copy NumericBuffer::View'
        ' rather than a native copy - currently every call with a non-None '
        'numeric_input, since the copying path was removed in Phase 3 commit 2b.'
    ),
    'debug_last_numeric_input_ptr': (
        'Testing/verification only: the raw address enqueue_task() actually stored '
        'for the most recent numeric_input, as an int. Compare against a numpy '
        "array's own `arr.__array_interface__['data'][0]` to prove - not assume - "
        'that no copy happened on the way in.'
    ),
    'debug_force_backend_failure': (
        'Testing/verification only (spec section 6.2): make every subsequent Submit()'
        " call on the named backend ('cpu', 'igpu', or 'dgpu') return "
        'TaskStatus::kFailed, so tests can observe the real scheduler mark that '
        'device degraded and reroute - not a simulation, the actual failure path.'
    ),
    'debug_set_backend_supports_kind': (
        'Testing/verification only: restrict/restore whether the named backend '
        "('cpu', 'igpu', or 'dgpu') supports a task kind ('text_generation', "
        "'embedding', or 'image_generation'), to make routing deterministic in tests "
        'without depending on real hardware utilization readings.'
    ),
    'select_device': (
        "Returns the device name ('cpu', 'igpu', or 'dgpu') the scheduler would "
        'currently pick for a new task of the given kind, given the live '
        'utilization/queue snapshot. No task is enqueued. Used by the Python session '
        'layer to record which device handles the first turn of a chat session.'
    ),
    'enqueue_task_on_device': (
        "Phase M2: enqueue a task directly to a named device ('cpu', 'igpu', or "
        "'dgpu'), bypassing the scoring function. Falls back to normal EnqueueTask "
        "routing if the pinned device is unregistered, degraded, or doesn't support "
        'the task kind \u2014 session affinity is best-effort, not a hard guarantee.'
    ),
    'debug_mark_degraded': (
        'Testing/verification only (Phase M3): directly set the degraded flag on the '
        "named device's MockBackend to `degraded`. Used by /admin/recover-device to "
        'un-degrade a slot after a forced failure \u2014 debug_force_backend_failure only '
        'clears the force-fail flag, not the degraded flag that WorkerLoop set.'
    ),
}

PROPERTY_DOCS = {
    "is_running": "",
    "is_using_real_backends": (
        "True if this instance is running real OpenVINO/llama.cpp-Vulkan backends "
        "(llama_model_path was given and this build supports it), False if it's the "
        "default Mock echo backend."
    ),
}

MEMBER_ORDER = [
    "start",
    "stop",
    "is_running",
    "is_using_real_backends",
    "enqueue_task",
    "try_get_result",
    "wait_for_result",
    "get_telemetry",
    "debug_zero_copy_enqueue_count",
    "debug_last_numeric_input_ptr",
    "debug_force_backend_failure",
    "debug_set_backend_supports_kind",
    "select_device",
    "enqueue_task_on_device",
    "debug_mark_degraded",
]


def user_doc(func: object) -> str:
    """The docstring a binding was given, without the generated signature line."""
    doc = func.__doc__
    assert doc is not None
    signature, _, text = doc.partition("\n\n")
    assert "(" in signature and "->" in signature, doc
    return text.rstrip("\n")


def test_version_and_real_backends():
    assert core.version() == "0.7.1"
    assert core.has_real_backends() is False


def test_module_doc_and_definition_order():
    assert core.__doc__ == "Hollowmere native core bindings"
    public = [name for name in vars(core) if not name.startswith("_")]
    assert public == ["version", "has_real_backends", "Scheduler"]


def test_module_function_docs():
    assert user_doc(core.version) == "Return the idlewick_core version string, e.g. '0.2.0'."
    doc = user_doc(core.has_real_backends)
    assert "IDLEWICK_BUILD_PYTHON_REAL" in doc
    assert "llama_model_path" in doc


def test_class_doc_has_three_paragraphs():
    paragraphs = core.Scheduler.__doc__.split("\n\n")
    assert len(paragraphs) == 3
    assert "idlewick::testing::MockBackend" in paragraphs[1]
    assert "RuntimeError" in paragraphs[2]


def test_member_order():
    members = [name for name in vars(core.Scheduler) if not name.startswith("_")]
    assert members == MEMBER_ORDER


@pytest.mark.parametrize("name", sorted(METHOD_DOCS))
def test_method_docstring(name):
    assert user_doc(getattr(core.Scheduler, name)) == METHOD_DOCS[name]


@pytest.mark.parametrize("name", sorted(PROPERTY_DOCS))
def test_property_is_read_only_with_its_docstring(name, stopped):
    prop = vars(core.Scheduler)[name]
    assert isinstance(prop, property)
    assert (prop.__doc__ or "") == PROPERTY_DOCS[name]
    with pytest.raises(AttributeError):
        setattr(stopped, name, True)


def test_stub_is_installed_beside_the_module_and_matches_it(tmp_path: pathlib.Path):
    module_file = pathlib.Path(core.__file__)
    stub = module_file.with_name("_idlewick_core.pyi")
    assert stub.is_file(), "the type stub is not installed beside the module"
    # mypy refuses a search path that is site-packages itself.
    shutil.copy(stub, tmp_path / stub.name)
    config = tmp_path / "mypy.ini"
    config.write_text(f"[mypy]\nmypy_path = {tmp_path}\ncache_dir = {tmp_path / 'cache'}\n")
    allowlist = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")
    checked = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "_idlewick_core",
         "--mypy-config-file", str(config), "--allowlist", str(allowlist)],
        capture_output=True, text=True, timeout=600, cwd=tmp_path,
    )
    assert checked.returncode == 0, checked.stdout + checked.stderr


def test_refuses_to_load_into_a_subinterpreter():
    child = run_python("""
        import _idlewick_core
        try:
            import _interpreters as interpreters
        except ImportError:
            import _xxsubinterpreters as interpreters
        interp = interpreters.create()
        try:
            failure = interpreters.run_string(interp, "import _idlewick_core")
        except Exception as error:  # 3.12 raises what 3.13 returns
            failure = error
        print("ImportError" in str(failure) and "subinterpreters" in str(failure))
    """)
    assert (child.returncode, child.stdout) == (0, "True\n"), child.stderr
