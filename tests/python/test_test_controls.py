"""Forced failure, support flags and the degraded flag, seen through routing."""

import numpy as np
import pytest

from helpers import DEVICE_MESSAGE, DEVICES, KIND_MESSAGE, KINDS, claim, completed, device_that_ran

FORCED_FAILURE = "MockBackend: forced failure for testing"


def test_forced_failure_degrades_and_recovery_needs_mark_degraded(running):
    running.debug_force_backend_failure("cpu", True)
    result = claim(running, running.enqueue_task_on_device("cpu", "text_generation", "lost"))
    assert {key: result[key] for key in
            ("status", "error_message", "text_output", "numeric_output", "latency_ms")} == {
        "status": "failed",
        "error_message": FORCED_FAILURE,
        "text_output": "",
        "numeric_output": None,
        "latency_ms": 1.0,
    }
    cpu = running.get_telemetry()["cpu"]
    assert (cpu["failed_count"], cpu["degraded"], cpu["completed_count"]) == (1, True, 0)

    running.debug_force_backend_failure(device="cpu", fail=False)
    assert running.get_telemetry()["cpu"]["degraded"] is True
    running.debug_mark_degraded(device="cpu", degraded=False)
    assert running.get_telemetry()["cpu"]["degraded"] is False

    before = completed(running)
    result = claim(running, running.enqueue_task_on_device("cpu", "text_generation", "back"))
    assert (result["status"], result["text_output"]) == ("ok", "back")
    assert device_that_ran(running, before) == "cpu"


def test_failed_device_is_never_selected(running):
    running.debug_force_backend_failure("igpu", True)
    result = claim(running, running.enqueue_task_on_device("igpu", "embedding"))
    assert result["status"] == "failed"
    igpu = running.get_telemetry()["igpu"]
    assert (igpu["failed_count"], igpu["degraded"]) == (1, True)
    for _ in range(20):
        for kind in KINDS:
            assert running.select_device(kind) != "igpu"


def test_failed_numeric_task_and_later_waits_do_not_hang(running):
    running.debug_force_backend_failure("dgpu", True)
    payload = np.ones(1000, dtype=np.float32)
    ids = [running.enqueue_task_on_device("dgpu", "embedding", "", payload) for _ in range(20)]
    # Queued before the failure was seen, so every one runs on dgpu and fails.
    statuses = [claim(running, task_id)["status"] for task_id in ids]
    assert statuses[0] == "failed"
    assert running.wait_for_result(ids[-1] + 1, 10) is None


def test_marked_degraded_device_is_avoided(running):
    running.debug_mark_degraded("dgpu", True)
    assert running.get_telemetry()["dgpu"]["degraded"] is True
    for _ in range(20):
        assert running.select_device("text_generation") != "dgpu"
    before = completed(running)
    claim(running, running.enqueue_task_on_device("dgpu", "text_generation"))
    assert device_that_ran(running, before) != "dgpu"


def test_other_kinds_share_one_support_flag(running):
    running.debug_set_backend_supports_kind("igpu", "image_generation", False)
    for kind, runs_on_igpu in [("embedding", False), ("image_generation", False),
                               ("text_generation", True)]:
        before = completed(running)
        claim(running, running.enqueue_task_on_device("igpu", kind))
        assert (device_that_ran(running, before) == "igpu") is runs_on_igpu, kind
    running.debug_set_backend_supports_kind(device="igpu", kind="image_generation",
                                            supported=True)
    for kind in ("embedding", "image_generation"):
        before = completed(running)
        claim(running, running.enqueue_task_on_device("igpu", kind))
        assert device_that_ran(running, before) == "igpu"


def test_nothing_eligible_routes_to_cpu(running):
    for device in DEVICES:
        running.debug_set_backend_supports_kind(device, "embedding", False)
    assert running.select_device("embedding") == "cpu"
    before = completed(running)
    result = claim(running, running.enqueue_task("embedding", "orphan"))
    assert (result["status"], result["text_output"]) == ("ok", "orphan")
    assert device_that_ran(running, before) == "cpu"


def test_all_degraded_selects_cpu(stopped):
    for device in DEVICES:
        stopped.debug_mark_degraded(device, True)
    assert [stopped.select_device(kind) for kind in KINDS] == ["cpu"] * 3


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda s: s.debug_force_backend_failure("GPU", True), DEVICE_MESSAGE.format("GPU")),
        (lambda s: s.debug_mark_degraded("Cpu", True), DEVICE_MESSAGE.format("Cpu")),
        (lambda s: s.debug_set_backend_supports_kind("GPU", "text_generation", False),
         DEVICE_MESSAGE.format("GPU")),
        (lambda s: s.debug_set_backend_supports_kind("GPU", "foo", False),
         DEVICE_MESSAGE.format("GPU")),
        (lambda s: s.debug_set_backend_supports_kind("cpu", "foo", False),
         KIND_MESSAGE.format("foo")),
    ],
    ids=["force-failure", "mark-degraded", "supports-bad-device", "supports-both-bad",
         "supports-bad-kind"],
)
def test_controls_refuse_unknown_names_and_change_nothing(running, call, message):
    with pytest.raises(ValueError) as raised:
        call(running)
    assert str(raised.value) == message
    result = claim(running, running.enqueue_task_on_device("cpu", "text_generation", "fine"))
    assert result["status"] == "ok"
    assert not any(record["degraded"] for record in running.get_telemetry().values())
    before = completed(running)
    claim(running, running.enqueue_task_on_device("cpu", "embedding"))
    assert device_that_ran(running, before) == "cpu"


@pytest.mark.parametrize(
    "call",
    [
        lambda s: s.debug_force_backend_failure("cpu"),
        lambda s: s.debug_mark_degraded("cpu"),
        lambda s: s.debug_set_backend_supports_kind("cpu", "embedding"),
        lambda s: s.debug_force_backend_failure(1, True),
        lambda s: s.debug_force_backend_failure("cpu", "yes"),
    ],
    ids=["force-failure-missing", "mark-degraded-missing", "supports-missing",
         "device-int", "flag-str"],
)
def test_controls_type_errors(stopped, call):
    with pytest.raises(TypeError):
        call(stopped)
