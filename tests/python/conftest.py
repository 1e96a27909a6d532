"""Fixtures for the _idlewick_core tests."""

from collections.abc import Iterator

import pytest

import _idlewick_core as core


@pytest.fixture
def stopped() -> Iterator[core.Scheduler]:
    """A new scheduler that has not been started."""
    sched = core.Scheduler()
    yield sched
    sched.stop()


@pytest.fixture
def running(stopped: core.Scheduler) -> core.Scheduler:
    """A new, started scheduler; stopped again after the test."""
    stopped.start()
    return stopped
