"""The float32 payload: zero-copy borrowing on the way in, fresh arrays out."""

import gc
import sys

import numpy as np
import pytest

import _idlewick_core as core
from helpers import DEVICES, claim, wait_until


def address(array: np.ndarray) -> int:
    return array.__array_interface__["data"][0]


def float32_array() -> np.ndarray:
    return np.arange(6, dtype=np.float32) + np.float32(0.25)


def read_only() -> np.ndarray:
    array = float32_array()
    array.setflags(write=False)
    return array


# (id, factory, borrowed without a copy)
PAYLOADS = [
    ("c-contiguous-float32", float32_array, True),
    ("shape-2x3", lambda: float32_array().reshape(2, 3), True),
    ("read-only", read_only, True),
    ("large", lambda: np.linspace(0, 1, 1 << 20, dtype=np.float32), True),
    ("float64", lambda: np.array([0.1, 1 / 3, 1e-50, 3e38 * 2]), False),
    ("int64-array", lambda: np.arange(5, dtype=np.int64), False),
    ("int-list", lambda: [1, 2, 3], False),
    ("nested-list", lambda: [[1.5, 2.5], [3.5, 4.5]], False),
    ("fortran-order", lambda: np.asfortranarray(float32_array().reshape(2, 3)), False),
    ("strided", lambda: np.arange(10, dtype=np.float32)[::2], False),
    ("scalar", lambda: 2.5, False),
    ("empty-float32", lambda: np.array([], dtype=np.float32), True),
]


def expected_output(payload) -> np.ndarray | None:
    with np.errstate(over="ignore"):
        flat = np.asarray(payload, dtype=np.float32).ravel(order="C")
    return flat if flat.size else None


@pytest.mark.parametrize("factory, borrowed", [p[1:] for p in PAYLOADS], ids=[p[0] for p in PAYLOADS])
def test_payload_in_and_out(running, factory, borrowed):
    payload = factory()
    count_before = running.debug_zero_copy_enqueue_count()
    with np.errstate(over="ignore"):
        task_id = running.enqueue_task("embedding", numeric_input=payload)
    assert running.debug_zero_copy_enqueue_count() == count_before + 1
    stored = running.debug_last_numeric_input_ptr()
    assert stored != 0
    if borrowed:
        assert stored == address(payload)
    elif isinstance(payload, np.ndarray):
        assert stored != address(payload)

    output = claim(running, task_id)["numeric_output"]
    expected = expected_output(payload)
    if expected is None:
        assert output is None
        return
    assert output.dtype == np.float32
    assert output.shape == (expected.size,)
    np.testing.assert_array_equal(output, expected)
    # A fresh array of its own: never the input's memory, never the store's.
    assert output.flags.owndata and output.flags.writeable and output.base is None
    if isinstance(payload, np.ndarray):
        assert not np.shares_memory(output, payload)


def test_none_payload_changes_no_probe(running):
    running.enqueue_task("embedding", numeric_input=float32_array())
    probes = (running.debug_zero_copy_enqueue_count(), running.debug_last_numeric_input_ptr())
    task_id = running.enqueue_task("embedding", "text only", None)
    assert (running.debug_zero_copy_enqueue_count(), running.debug_last_numeric_input_ptr()) == probes
    assert claim(running, task_id)["numeric_output"] is None


def test_probes_start_at_zero(stopped):
    assert stopped.debug_zero_copy_enqueue_count() == 0
    assert stopped.debug_last_numeric_input_ptr() == 0


def test_pinned_enqueue_borrows_but_leaves_the_probes(running):
    running.enqueue_task("embedding", numeric_input=np.ones(3, dtype=np.float32))
    probes = (running.debug_zero_copy_enqueue_count(), running.debug_last_numeric_input_ptr())
    payload = float32_array()
    refs = sys.getrefcount(payload)
    task_id = running.enqueue_task_on_device("igpu", "embedding", "", payload)
    assert sys.getrefcount(payload) in (refs, refs + 1)  # the task may already be done
    assert (running.debug_zero_copy_enqueue_count(), running.debug_last_numeric_input_ptr()) == probes
    np.testing.assert_array_equal(claim(running, task_id)["numeric_output"], payload)
    assert sys.getrefcount(payload) == refs


UNCONVERTIBLE = [
    ("letters", "abc"),
    ("object", object()),
    ("dict", {"a": 1.0}),
    ("ragged", [[1.0], [1.0, 2.0]]),
    ("complex-text", ["1", "x"]),
]


@pytest.mark.parametrize("value", [u[1] for u in UNCONVERTIBLE], ids=[u[0] for u in UNCONVERTIBLE])
@pytest.mark.parametrize("pinned", [False, True], ids=["routed", "pinned"])
def test_unconvertible_payload_is_a_type_error_with_no_trace(stopped, value, pinned):
    with pytest.raises(TypeError):
        if pinned:
            stopped.enqueue_task_on_device("cpu", "embedding", "", value)
        else:
            stopped.enqueue_task("embedding", "", value)
    assert stopped.debug_zero_copy_enqueue_count() == 0
    assert stopped.debug_last_numeric_input_ptr() == 0
    assert stopped.enqueue_task("embedding") == 1
    assert sum(d["queue_depth"] for d in stopped.get_telemetry().values()) == 1


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.enqueue_task("summarize", numeric_input="abc"),
        lambda s: s.enqueue_task_on_device("GPU", "foo", numeric_input="abc"),
    ],
    ids=["routed", "pinned"],
)
def test_payload_is_converted_before_names_are_parsed(stopped, call):
    with pytest.raises(TypeError):
        call(stopped)


def test_borrowed_array_reference_is_held_until_the_claim(stopped):
    payload = float32_array()
    refs = sys.getrefcount(payload)
    task_id = stopped.enqueue_task("embedding", numeric_input=payload)
    assert sys.getrefcount(payload) == refs + 1
    stopped.start()
    claim(stopped, task_id)
    assert sys.getrefcount(payload) == refs


@pytest.mark.parametrize("factory", [lambda: [1.0, 2.0], lambda: np.arange(3.0)],
                         ids=["list", "float64"])
def test_converted_input_keeps_its_reference_count(stopped, factory):
    payload = factory()
    refs = sys.getrefcount(payload)
    task_id = stopped.enqueue_task("embedding", numeric_input=payload)
    assert sys.getrefcount(payload) == refs
    stopped.start()
    claim(stopped, task_id)
    assert sys.getrefcount(payload) == refs


def test_writes_before_the_claim_show_in_a_borrowed_payload(stopped):
    borrowed = float32_array()
    converted = np.arange(6.0)  # float64: numpy's copy is what the task holds
    borrowed_id = stopped.enqueue_task("embedding", numeric_input=borrowed)
    converted_id = stopped.enqueue_task("embedding", numeric_input=converted)
    borrowed[:] = -1.0
    converted[:] = -1.0
    stopped.start()
    np.testing.assert_array_equal(claim(stopped, borrowed_id)["numeric_output"], np.full(6, -1.0))
    np.testing.assert_array_equal(claim(stopped, converted_id)["numeric_output"], np.arange(6.0))


def test_changing_the_output_changes_nothing_else(running):
    payload = float32_array()
    original = payload.copy()
    first = running.enqueue_task("embedding", numeric_input=payload)
    second = running.enqueue_task("embedding", numeric_input=payload)
    out_first = claim(running, first)["numeric_output"]
    out_first[:] = 99.0
    np.testing.assert_array_equal(payload, original)
    np.testing.assert_array_equal(claim(running, second)["numeric_output"], original)


def test_failed_task_drops_its_reference_on_the_worker(running):
    for device in DEVICES:
        running.debug_force_backend_failure(device, True)
    payload = float32_array()
    refs = sys.getrefcount(payload)
    task_id = running.enqueue_task("embedding", numeric_input=payload)
    result = claim(running, task_id)
    assert (result["status"], result["numeric_output"]) == ("failed", None)
    # The worker drops the task, on its own thread, before it files the result.
    assert wait_until(lambda: sys.getrefcount(payload) == refs)
    assert running.wait_for_result(task_id, 0) is None


@pytest.mark.parametrize("started", [False, True], ids=["queued", "unclaimed"])
def test_destroying_the_scheduler_drops_every_reference(started):
    payload = float32_array()
    refs = sys.getrefcount(payload)
    sched = core.Scheduler()
    for _ in range(50):
        sched.enqueue_task("embedding", numeric_input=payload)
        sched.enqueue_task_on_device("dgpu", "text_generation", "", payload)
    assert sys.getrefcount(payload) == refs + 100
    if started:
        sched.start()

        def all_done():
            return sum(d["completed_count"] for d in sched.get_telemetry().values()) == 100

        assert wait_until(all_done)
    del sched
    gc.collect()
    assert sys.getrefcount(payload) == refs
