"""Telemetry, device selection and pinned enqueue."""

import numpy as np
import pytest

from helpers import DEVICE_MESSAGE, DEVICES, KIND_MESSAGE, KINDS, claim, completed, device_that_ran

TELEMETRY_KEYS = [
    "device",
    "registered",
    "degraded",
    "utilization_pct",
    "queue_depth",
    "historical_latency_ms",
    "completed_count",
    "failed_count",
]


def test_telemetry_of_a_new_instance(stopped):
    telemetry = stopped.get_telemetry()
    assert list(telemetry) == list(DEVICES)
    for name, record in telemetry.items():
        assert list(record) == TELEMETRY_KEYS
        assert record == {
            "device": name,
            "registered": True,
            "degraded": False,
            "utilization_pct": 0.0,
            "queue_depth": 0,
            "historical_latency_ms": 0.0,
            "completed_count": 0,
            "failed_count": 0,
        }


def test_telemetry_value_types_while_running(running):
    claim(running, running.enqueue_task("text_generation"))
    for record in running.get_telemetry().values():
        assert [type(record[key]) for key in TELEMETRY_KEYS] == [
            str, bool, bool, float, int, float, int, int,
        ]
        assert record["utilization_pct"] >= 0.0


@pytest.mark.parametrize("device", DEVICES)
def test_pinned_tasks_queue_on_their_device(stopped, device):
    stopped.enqueue_task_on_device(device, "text_generation")
    stopped.enqueue_task_on_device(device=device, kind="embedding", text_input="x")
    depths = {name: record["queue_depth"] for name, record in stopped.get_telemetry().items()}
    assert depths == {name: 2 if name == device else 0 for name in DEVICES}


@pytest.mark.parametrize("device", DEVICES)
def test_one_echo_on_a_pinned_device(running, device):
    task_id = running.enqueue_task_on_device(device, "text_generation", "pinned")
    assert claim(running, task_id)["text_output"] == "pinned"
    telemetry = running.get_telemetry()
    for name, record in telemetry.items():
        ran_here = name == device
        assert record["completed_count"] == int(ran_here)
        assert record["historical_latency_ms"] == (1.0 if ran_here else 0.0)
        assert record["failed_count"] == 0


@pytest.mark.parametrize("kind", KINDS)
def test_select_device_enqueues_nothing(stopped, kind):
    assert stopped.select_device(kind) in DEVICES
    assert stopped.select_device(kind=kind) in DEVICES
    assert sum(record["queue_depth"] for record in stopped.get_telemetry().values()) == 0
    assert stopped.enqueue_task(kind) == 1


def test_select_device_refuses_an_unknown_kind(stopped):
    with pytest.raises(ValueError) as raised:
        stopped.select_device("Text_generation")
    assert str(raised.value) == KIND_MESSAGE.format("Text_generation")


@pytest.mark.parametrize(
    "device, kind, message",
    [
        ("GPU", "text_generation", DEVICE_MESSAGE.format("GPU")),
        ("GPU", "foo", KIND_MESSAGE.format("foo")),
        ("cpu", "foo", KIND_MESSAGE.format("foo")),
        ("CPU", "embedding", DEVICE_MESSAGE.format("CPU")),
        ("", "embedding", DEVICE_MESSAGE.format("")),
        ("dgpu ", "embedding", DEVICE_MESSAGE.format("dgpu ")),
    ],
    ids=["bad-device", "both-bad-reports-kind", "bad-kind", "upper-case", "empty", "trailing-blank"],
)
def test_pinned_enqueue_refuses_unknown_names(stopped, device, kind, message):
    with pytest.raises(ValueError) as raised:
        stopped.enqueue_task_on_device(device, kind, "", np.ones(2, dtype=np.float32))
    assert str(raised.value) == message
    assert stopped.enqueue_task("text_generation") == 1
    assert sum(record["queue_depth"] for record in stopped.get_telemetry().values()) == 1


def test_ids_form_one_sequence_across_both_enqueue_calls(stopped):
    ids = []
    for i in range(12):
        if i % 3 == 0:
            ids.append(stopped.enqueue_task("embedding"))
        else:
            ids.append(stopped.enqueue_task_on_device(DEVICES[i % 3], "text_generation"))
    assert ids == list(range(1, 13))


@pytest.mark.parametrize(
    "kind, lands_on_dgpu",
    [("embedding", False), ("image_generation", False), ("text_generation", True)],
)
def test_pinned_to_a_device_refusing_the_kind_falls_back(running, kind, lands_on_dgpu):
    running.debug_set_backend_supports_kind("dgpu", "embedding", False)
    before = completed(running)
    claim(running, running.enqueue_task_on_device("dgpu", kind))
    assert (device_that_ran(running, before) == "dgpu") is lands_on_dgpu


def test_pinned_numeric_task_echoes_like_a_routed_one(running):
    payload = np.linspace(-1, 1, 9, dtype=np.float32)
    routed = claim(running, running.enqueue_task("embedding", "a", payload))
    pinned = claim(running, running.enqueue_task_on_device("cpu", "embedding", "a", payload))
    assert routed.keys() == pinned.keys()
    for key in routed:
        if key == "numeric_output":
            np.testing.assert_array_equal(routed[key], pinned[key])
        elif key != "id":
            assert routed[key] == pinned[key]
