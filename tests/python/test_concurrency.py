"""Many Python threads at once, and teardown while workers still hold payloads."""

import threading

import numpy as np
import pytest

from helpers import KINDS, run_python

THREADS = 4
TASKS_PER_THREAD = 1000


def test_threads_enqueue_and_claim_thousands_intact(running):
    barrier = threading.Barrier(THREADS)
    issued: list[list[int]] = [[] for _ in range(THREADS)]
    errors: list[str] = []

    def client(index: int) -> None:
        payloads = [np.full(16, index * TASKS_PER_THREAD + n, dtype=np.float32)
                    for n in range(TASKS_PER_THREAD)]
        barrier.wait()
        pending = []
        for n, payload in enumerate(payloads):
            text = f"{index}:{n}"
            kind = KINDS[n % 3]
            if n % 2:
                task_id = running.enqueue_task(kind, text, payload)
            else:
                task_id = running.enqueue_task_on_device(("cpu", "igpu", "dgpu")[n % 3],
                                                         kind, text, payload)
            pending.append((task_id, text, payload))
            issued[index].append(task_id)
        for task_id, text, payload in pending:
            result = running.wait_for_result(task_id, 30_000)
            if result is None:
                errors.append(f"task {task_id} timed out")
            elif (result["id"], result["status"], result["text_output"]) != (task_id, "ok", text):
                errors.append(f"task {task_id}: {result!r}")
            elif not np.array_equal(result["numeric_output"], payload):
                errors.append(f"task {task_id}: payload changed")

    threads = [threading.Thread(target=client, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(120)
    assert not any(thread.is_alive() for thread in threads)
    assert errors == []
    all_ids = sorted(task_id for ids in issued for task_id in ids)
    assert all_ids == list(range(1, THREADS * TASKS_PER_THREAD + 1))
    assert running.debug_zero_copy_enqueue_count() == THREADS * TASKS_PER_THREAD // 2
    telemetry = running.get_telemetry()
    assert sum(d["completed_count"] for d in telemetry.values()) == THREADS * TASKS_PER_THREAD


# The scenarios below could hang or crash the interpreter itself, so each runs
# in a child interpreter with a time limit.

PRELUDE = """
import numpy as np
import _idlewick_core as core

def flood(sched, count, pinned_to=None):
    payloads = [np.arange(256, dtype=np.float32) + i for i in range(32)]
    for i in range(count):
        if pinned_to:
            sched.enqueue_task_on_device(pinned_to, "embedding", "x", payloads[i % 32])
        else:
            sched.enqueue_task("embedding", "x", payloads[i % 32])
"""

SHUTDOWN_SCENARIOS = {
    "running-failing-workers": """
        sched = core.Scheduler()
        for device in ("cpu", "igpu", "dgpu"):
            sched.debug_force_backend_failure(device, True)
        flood(sched, 3000)
        sched.start()
    """,
    "running-unclaimed-results": """
        sched = core.Scheduler()
        sched.start()
        flood(sched, 2000)
        sched.wait_for_result(1, 20000)
    """,
    "stopped-queued": """
        sched = core.Scheduler()
        flood(sched, 2000)
    """,
    "several-instances-mixed": """
        failing = core.Scheduler()
        failing.debug_force_backend_failure("cpu", True)
        flood(failing, 3000, pinned_to="cpu")
        failing.start()
        echoing = core.Scheduler()
        echoing.start()
        flood(echoing, 1000)
        idle = core.Scheduler()
        flood(idle, 500)
    """,
}


@pytest.mark.parametrize("scenario", list(SHUTDOWN_SCENARIOS), ids=list(SHUTDOWN_SCENARIOS))
def test_interpreter_exit_with_live_scheduler_in_a_global(scenario):
    code = PRELUDE + SHUTDOWN_SCENARIOS[scenario].replace("\n        ", "\n") + "\nprint('end of script', flush=True)\n"
    for _ in range(3):  # the window between exit and teardown differs run to run
        child = run_python(code)
        assert (child.returncode, child.stdout) == (0, "end of script\n"), child.stderr


def test_deleting_a_running_instance_while_a_worker_drops_failed_payloads():
    child = run_python(PRELUDE + """
import gc, sys
for round in range(5):
    sched = core.Scheduler()
    sched.debug_force_backend_failure("cpu", True)
    payload = np.ones(4096, dtype=np.float32)
    refs = sys.getrefcount(payload)
    for _ in range(2000):
        sched.enqueue_task_on_device("cpu", "embedding", "", payload)
    sched.start()
    first = sched.wait_for_result(1, 20000)
    assert first["status"] == "failed", first
    del sched
    gc.collect()
    assert sys.getrefcount(payload) == refs, (sys.getrefcount(payload), refs)
print("deleted", flush=True)
""")
    assert (child.returncode, child.stdout) == (0, "deleted\n"), child.stderr


def test_start_while_another_thread_stops():
    # stop() joins workers with the lock released; a worker dropping a failed
    # payload needs the lock meanwhile, so a start() that waited for that stop
    # while holding the lock would never return.
    child = run_python(PRELUDE + """
import threading
sched = core.Scheduler()
for device in ("cpu", "igpu", "dgpu"):
    sched.debug_force_backend_failure(device, True)
sched.start()
done = threading.Event()

def feeder():
    while not done.is_set():
        flood(sched, 200)

def toggler(first):
    for _ in range(300):
        first()
        (sched.stop if first == sched.start else sched.start)()

threads = [threading.Thread(target=feeder),
           threading.Thread(target=toggler, args=(sched.start,)),
           threading.Thread(target=toggler, args=(sched.stop,))]
for thread in threads:
    thread.start()
for thread in threads[1:]:
    thread.join()
done.set()
threads[0].join()
sched.start()
assert sched.is_running
sched.stop()
assert not sched.is_running
print("no deadlock", flush=True)
""")
    assert (child.returncode, child.stdout) == (0, "no deadlock\n"), child.stderr
