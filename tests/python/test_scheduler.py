"""Construction, lifecycle, enqueue and the two result calls."""

import threading
import time

import pytest

import _idlewick_core as core
from helpers import KIND_MESSAGE, KINDS, claim, wait_until

REAL_BACKENDS_MESSAGE = (
    "real backends requested (llama_model_path='{}') but this hollowmere build was not "
    "compiled with -DIDLEWICK_BUILD_PYTHON_REAL=ON (see docs/DEVELOPMENT.md's Phase O0 "
    "build section) - rebuild with that flag (and -DIDLEWICK_BUILD_BACKENDS=ON) to use "
    "real OpenVINO/llama.cpp-Vulkan backends, or omit llama_model_path to use the "
    "built-in MockBackend, which every build supports."
)
RESULT_KEYS = [
    "id",
    "status",
    "text_output",
    "numeric_output",
    "error_message",
    "latency_ms",
    "first_token_latency_ms",
    "tokens_generated",
    "image_width",
    "image_height",
]


@pytest.mark.parametrize(
    "args, kwargs",
    [((), {}), (("",), {}), ((), {"llama_model_path": ""})],
    ids=["no-argument", "empty-positional", "empty-keyword"],
)
def test_mock_mode_construction(args, kwargs):
    sched = core.Scheduler(*args, **kwargs)
    assert sched.is_running is False
    assert sched.is_using_real_backends is False


@pytest.mark.parametrize("path", ["model.gguf", " ", "/models/ünïcode.gguf"],
                         ids=["file", "blank", "non-ascii"])
def test_model_path_is_refused(path):
    with pytest.raises(RuntimeError) as raised:
        core.Scheduler(llama_model_path=path)
    assert str(raised.value) == REAL_BACKENDS_MESSAGE.format(path)


def test_lifecycle_is_idempotent_and_repeatable(stopped):
    stopped.stop()  # before any start
    stopped.stop()
    assert stopped.is_running is False
    stopped.start()
    stopped.start()
    assert stopped.is_running is True
    stopped.stop()
    assert stopped.is_running is False
    stopped.start()
    assert stopped.is_running is True
    task_id = stopped.enqueue_task("text_generation", "after restart")
    assert claim(stopped, task_id)["text_output"] == "after restart"


def test_ids_count_from_one_per_instance():
    first, second = core.Scheduler(), core.Scheduler()
    assert [first.enqueue_task("text_generation") for _ in range(3)] == [1, 2, 3]
    assert second.enqueue_task("embedding") == 1


def test_echo_result_dict(running):
    task_id = running.enqueue_task("text_generation", "hello, wick ✓")
    result = claim(running, task_id)
    assert list(result) == RESULT_KEYS
    assert result == {
        "id": task_id,
        "status": "ok",
        "text_output": "hello, wick ✓",
        "numeric_output": None,
        "error_message": "",
        "latency_ms": 1.0,
        "first_token_latency_ms": 1.0,
        "tokens_generated": 0,
        "image_width": 0,
        "image_height": 0,
    }
    assert type(result["latency_ms"]) is float and type(result["id"]) is int


@pytest.mark.parametrize("kind", KINDS)
def test_every_kind_echoes(running, kind):
    task_id = running.enqueue_task(kind=kind, text_input=kind)
    result = claim(running, task_id)
    assert (result["status"], result["text_output"]) == ("ok", kind)


@pytest.mark.parametrize(
    "kind, text, expected_kind_text",
    [
        (b"embedding", b"raw bytes", "raw bytes"),
        (bytearray(b"image_generation"), bytearray(b"mutable"), "mutable"),
    ],
    ids=["bytes", "bytearray"],
)
def test_bytes_arguments_are_taken_as_raw_bytes(running, kind, text, expected_kind_text):
    task_id = running.enqueue_task(kind, text)
    assert claim(running, task_id)["text_output"] == expected_kind_text


@pytest.mark.parametrize(
    "kind",
    ["summarize", "Embedding", "TEXT_GENERATION", " embedding", "embedding ", "", "embed"],
    ids=["unknown", "capital", "upper", "leading-blank", "trailing-blank", "empty", "prefix"],
)
def test_unknown_kind_takes_no_id(stopped, kind):
    with pytest.raises(ValueError) as raised:
        stopped.enqueue_task(kind, "x")
    assert str(raised.value) == KIND_MESSAGE.format(kind)
    assert stopped.enqueue_task("text_generation") == 1
    assert sum(d["queue_depth"] for d in stopped.get_telemetry().values()) == 1


def test_unknown_kind_message_carries_raw_bytes(stopped):
    with pytest.raises(ValueError) as raised:
        stopped.enqueue_task(b"summarize")
    assert str(raised.value) == KIND_MESSAGE.format("summarize")


def test_claim_once(running):
    assert running.try_get_result(999) is None  # never issued
    task_id = running.enqueue_task("text_generation", "once")
    assert claim(running, task_id)["id"] == task_id
    assert running.try_get_result(task_id) is None
    assert running.wait_for_result(task_id, 0) is None


def test_try_get_result_claims_a_stored_result(stopped):
    task_id = stopped.enqueue_task("text_generation", "stored")
    assert stopped.try_get_result(task_id) is None  # not run yet
    stopped.start()
    attempts = []

    def claimed() -> bool:
        attempts.append(stopped.try_get_result(task_id))
        return attempts[-1] is not None

    assert wait_until(claimed)
    assert attempts[-1]["text_output"] == "stored"
    assert all(attempt is None for attempt in attempts[:-1])
    assert stopped.try_get_result(task_id) is None


@pytest.mark.parametrize("timeout_ms", [0, -5, -(2**31)], ids=["zero", "negative", "min"])
def test_non_positive_timeout_checks_once(stopped, timeout_ms):
    task_id = stopped.enqueue_task("text_generation")
    started = time.monotonic()
    assert stopped.wait_for_result(task_id, timeout_ms) is None
    # The default would wait 5 s; a single check is far quicker than that.
    assert time.monotonic() - started < 2.5


def test_timeout_waits_at_least_its_length(stopped):
    task_id = stopped.enqueue_task("text_generation")
    started = time.monotonic()
    assert stopped.wait_for_result(task_id, timeout_ms=50) is None
    elapsed = time.monotonic() - started
    assert 0.049 <= elapsed < 10


def test_wait_releases_the_interpreter_lock(stopped):
    # While one thread waits on an unstarted scheduler, another thread must be
    # able to run Python and start it.
    task_id = stopped.enqueue_task("text_generation", "woken")
    waiting = threading.Event()
    results = []

    def waiter():
        waiting.set()
        results.append(stopped.wait_for_result(task_id, 20_000))

    thread = threading.Thread(target=waiter)
    thread.start()
    assert waiting.wait(10)
    stopped.start()
    thread.join(30)
    assert not thread.is_alive()
    assert results[0]["text_output"] == "woken"


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.wait_for_result(1, 2**31),
        lambda s: s.wait_for_result(1, -(2**31) - 1),
        lambda s: s.wait_for_result(1, 50.0),
        lambda s: s.try_get_result(-1),
        lambda s: s.try_get_result(1.0),
        lambda s: s.try_get_result(2**64),
        lambda s: s.wait_for_result(-1, 0),
        lambda s: s.enqueue_task(1),
        lambda s: s.enqueue_task(None),
        lambda s: s.enqueue_task("text_generation", 5),
        lambda s: s.enqueue_task(),
        lambda s: s.enqueue_task("text_generation", "", None, "extra"),
        lambda s: s.enqueue_task("text_generation", bogus=1),
    ],
    ids=[
        "timeout-2**31",
        "timeout-below-int32",
        "timeout-float",
        "task-id-negative",
        "task-id-float",
        "task-id-2**64",
        "wait-task-id-negative",
        "kind-int",
        "kind-none",
        "text-int",
        "kind-missing",
        "too-many",
        "unknown-keyword",
    ],
)
def test_binding_type_errors_have_no_effect(stopped, call):
    with pytest.raises(TypeError):
        call(stopped)
    assert stopped.enqueue_task("text_generation") == 1


def test_task_id_accepts_the_full_unsigned_range_and_index_objects(stopped):
    class Index:
        def __index__(self):
            return 7

    assert stopped.try_get_result(2**64 - 1) is None
    assert stopped.try_get_result(Index()) is None
    assert stopped.wait_for_result(task_id=0, timeout_ms=0) is None


def test_invalid_utf8_text_is_echoed_and_fails_only_on_decoding(running):
    task_id = running.enqueue_task("text_generation", b"\xff\xfe not utf-8")
    with pytest.raises(UnicodeDecodeError):
        running.wait_for_result(task_id, 20_000)
    # The result was claimed before decoding failed; it is gone.
    assert running.try_get_result(task_id) is None
    assert running.wait_for_result(task_id, 0) is None


def test_queued_tasks_wait_for_start(stopped):
    task_id = stopped.enqueue_task("embedding", "later")
    assert stopped.wait_for_result(task_id, 50) is None
    stopped.start()
    assert claim(stopped, task_id)["text_output"] == "later"
