"""Helpers shared by the _idlewick_core tests."""

import os
import subprocess
import sys
import textwrap
import time
from collections.abc import Callable

import pytest

# Generous bounds: machines are shared and slow at times, and a bound only
# has to tell "finished" from "hung".
CLAIM_TIMEOUT_MS = 20_000
SUBPROCESS_TIMEOUT_S = 120

DEVICES = ("cpu", "igpu", "dgpu")
KINDS = ("text_generation", "embedding", "image_generation")

KIND_MESSAGE = "kind must be 'text_generation', 'embedding', or 'image_generation', got: '{}'"
DEVICE_MESSAGE = "device must be 'cpu', 'igpu', or 'dgpu', got: '{}'"


def claim(sched, task_id: int) -> dict:
    """Waits for the task's result; fails the test instead of hanging."""
    result = sched.wait_for_result(task_id, CLAIM_TIMEOUT_MS)
    assert result is not None, f"task {task_id} produced no result in time"
    return result


def completed(sched) -> dict[str, int]:
    """Completed-task count per device."""
    return {name: record["completed_count"] for name, record in sched.get_telemetry().items()}


def device_that_ran(sched, before: dict[str, int]) -> str:
    """The one device whose completed count moved since `before`."""
    after = completed(sched)
    changed = [name for name in DEVICES if after[name] != before[name]]
    assert len(changed) == 1, (before, after)
    return changed[0]


def wait_until(condition: Callable[[], bool], timeout_s: float = 20.0) -> bool:
    """Polls `condition` until it holds or `timeout_s` passes."""
    deadline = time.monotonic() + timeout_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.005)
    return True


def run_python(code: str, timeout_s: float = SUBPROCESS_TIMEOUT_S) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter; a hang fails instead of blocking."""
    try:
        return subprocess.run(
            [sys.executable, "-c", textwrap.dedent(code)],
            capture_output=True,
            text=True,
            timeout=timeout_s,
            env={**os.environ, "PYTHONFAULTHANDLER": "1"},
        )
    except subprocess.TimeoutExpired as hung:
        pytest.fail(f"the child interpreter hung (no exit within {timeout_s} s): {hung}")
