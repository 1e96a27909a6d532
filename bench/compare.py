"""What idlewick costs next to what a Python user would pick instead.

    python bench/compare.py [--rounds N] [--quick] [--json PATH]

Measures five figures for `_idlewick_core` and for the standard library's
`concurrent.futures.ThreadPoolExecutor` (and, for the round trip, a
`queue.SimpleQueue` pair feeding one thread), on the same echo work in the
same run:

  1. round trip on an idle, started scheduler: one text task enqueued and
     waited for, 2,000 times per round; median and p99;
  2. throughput: 100,000 echo tasks enqueued from one thread and then all
     claimed, and the same split over 4 producer threads that each claim
     their own; the peer is an executor with 3 workers;
  3. enqueue cost per call (median call of a round) without payload, with a
     4 KiB and with a 64 MiB float32 payload; the peer is `submit` with the
     same arguments;
  4. idle cost: CPU time of the whole process over 3 s with a started
     scheduler, in percent of one core, minus the same with an unstarted one;
     the peer is an executor with 3 started, idle workers;
  5. 16 threads each waiting on its own pending task while the tasks complete
     one by one: time until all are claimed; the peer is 16 futures.

Every figure is measured in several rounds; within a round the contenders
run one after the other, and the order is reversed every other round, so
that a machine that gets busier or quieter does not favour one of them. The
table shows the median over the rounds (a round's p99 for the p99 row) and
idlewick's figure divided by the best peer's. Every task's result is
checked; a wrong or missing result stops the run with exit status 1.

--quick divides the task counts by 5, the idle window by 3 and runs 3 rounds,
for a smoke run in about 20 s. The default run takes about 75 s on 2 cores.
The table is also written as JSON, by default to
bench/results/compare-<time>.json.
"""

import argparse
import datetime
import gc
import json
import os
import pathlib
import platform
import queue
import statistics
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np

try:
    import _idlewick_core as core
except ImportError as error:
    sys.stderr.write(f"cannot import _idlewick_core ({error}); run `pip install .` first.\n")
    sys.exit(2)

IDLEWICK = "idlewick"
EXECUTOR = "ThreadPoolExecutor"
SIMPLE_QUEUE = "SimpleQueue+thread"
EXECUTOR_WORKERS = 3  # one per device, as the scheduler has
WAIT_S = 30.0  # a result later than this is treated as lost
WAIT_MS = int(WAIT_S * 1000)
RESULTS_DIR = pathlib.Path(__file__).resolve().parent / "results"


class BenchError(Exception):
    """A task came back wrong or not at all: the figures would mean nothing."""


def require(condition, what):
    if not condition:
        raise BenchError(what)


def echo(*args):
    """The peers' work: hand back what was sent, as the echo backend does."""
    return args


def check_idlewick(result, text, array=None):
    require(result is not None, "a result did not arrive in time")
    require(result["status"] == "ok", f"task {result['id']} failed: {result['error_message']}")
    require(result["text_output"] == text, f"task {result['id']} did not echo its text")
    if array is None:
        require(result["numeric_output"] is None, f"task {result['id']} grew a numeric output")
    else:
        require(np.array_equal(result["numeric_output"], array.ravel()),
                f"task {result['id']} did not echo its array")


def check_peer(value, *args):
    require(len(value) == len(args) and all(a is b for a, b in zip(value, args)),
            "a peer's result did not echo its arguments")


def started_scheduler():
    sched = core.Scheduler()
    sched.start()
    return sched


def started_executor():
    """An executor whose three workers exist and have gone idle."""
    executor = ThreadPoolExecutor(max_workers=EXECUTOR_WORKERS)
    # Workers are spawned on demand; three tasks that wait for each other
    # force three threads into being.
    barrier = threading.Barrier(EXECUTOR_WORKERS)
    for future in [executor.submit(barrier.wait, WAIT_S) for _ in range(EXECUTOR_WORKERS)]:
        future.result(WAIT_S)
    return executor


class QueuePair:
    """The hand-rolled peer: requests and replies through two SimpleQueues."""

    _STOP = object()

    def __init__(self):
        self.requests = queue.SimpleQueue()
        self.replies = queue.SimpleQueue()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    def _serve(self):
        while (item := self.requests.get()) is not self._STOP:
            self.replies.put(echo(item))

    def close(self):
        self.requests.put(self._STOP)
        self.thread.join(WAIT_S)


def texts(count, prefix="task"):
    return [f"{prefix} {i}" for i in range(count)]


def rounds_in_turn(round_index, contenders):
    """Contenders in the order of one round: reversed every other round."""
    return contenders if round_index % 2 == 0 else contenders[::-1]


def percentile(samples, fraction):
    ordered = sorted(samples)
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


# --- 1. round trip --------------------------------------------------------------

def round_trips_idlewick(sched, payloads):
    samples = []
    for text in payloads:
        begin = time.perf_counter_ns()
        result = sched.wait_for_result(sched.enqueue_task("text_generation", text), WAIT_MS)
        samples.append(time.perf_counter_ns() - begin)
        check_idlewick(result, text)
    return samples


def round_trips_executor(executor, payloads):
    samples = []
    for text in payloads:
        begin = time.perf_counter_ns()
        value = executor.submit(echo, text).result(WAIT_S)
        samples.append(time.perf_counter_ns() - begin)
        check_peer(value, text)
    return samples


def round_trips_queue(pair, payloads):
    samples = []
    for text in payloads:
        begin = time.perf_counter_ns()
        pair.requests.put(text)
        value = pair.replies.get(timeout=WAIT_S)
        samples.append(time.perf_counter_ns() - begin)
        check_peer(value, text)
    return samples


def figure_round_trip(settings, record):
    payloads = texts(settings.round_trips, "ping")
    sched, executor, pair = started_scheduler(), started_executor(), QueuePair()
    runners = {IDLEWICK: lambda: round_trips_idlewick(sched, payloads),
               EXECUTOR: lambda: round_trips_executor(executor, payloads),
               SIMPLE_QUEUE: lambda: round_trips_queue(pair, payloads)}
    try:
        time.sleep(0.2)  # the poller's first samples, the threads parked
        for run in runners.values():  # warm-up, not recorded
            run()
        medians = {name: [] for name in runners}
        p99s = {name: [] for name in runners}
        for index in range(settings.rounds):
            for name in rounds_in_turn(index, list(runners)):
                gc.collect()
                samples = runners[name]()
                medians[name].append(statistics.median(samples) / 1e3)
                p99s[name].append(percentile(samples, 0.99) / 1e3)
    finally:
        sched.stop()
        executor.shutdown()
        pair.close()
    label = f"round trip, {settings.round_trips:,} per round"
    record(f"1 {label}: median", "us", "lower", medians)
    record(f"1 {label}: p99", "us", "lower", p99s)


# --- 2. throughput ----------------------------------------------------------------

def throughput_idlewick(sched, payloads):
    ids = [sched.enqueue_task("text_generation", text) for text in payloads]
    for task_id, text in zip(ids, payloads):
        check_idlewick(sched.wait_for_result(task_id, WAIT_MS), text)


def throughput_executor(executor, payloads):
    futures = [executor.submit(echo, text) for text in payloads]
    for future, text in zip(futures, payloads):
        check_peer(future.result(WAIT_S), text)


def tasks_per_second(work, payloads, producers):
    """Runs `work` on `producers` threads, each with its own share of the payloads."""
    if producers == 1:
        begin = time.perf_counter()
        work(payloads)
        return len(payloads) / (time.perf_counter() - begin)
    shares = [payloads[i::producers] for i in range(producers)]
    go = threading.Barrier(producers + 1)
    errors = []

    def produce(share):
        go.wait()
        try:
            work(share)
        except BaseException as error:  # reported on the main thread
            errors.append(error)

    threads = [threading.Thread(target=produce, args=(share,)) for share in shares]
    for thread in threads:
        thread.start()
    go.wait()
    begin = time.perf_counter()
    for thread in threads:
        thread.join()
    elapsed = time.perf_counter() - begin
    if errors:
        raise errors[0]
    return len(payloads) / elapsed


def figure_throughput(settings, record):
    payloads = texts(settings.throughput_tasks)
    sched, executor = started_scheduler(), started_executor()
    runners = {IDLEWICK: lambda share: throughput_idlewick(sched, share),
               EXECUTOR: lambda share: throughput_executor(executor, share)}
    try:
        time.sleep(0.2)
        for producers in (1, 4):
            rates = {name: [] for name in runners}
            for index in range(settings.rounds):
                for name in rounds_in_turn(index, list(runners)):
                    gc.collect()
                    rates[name].append(tasks_per_second(runners[name], payloads, producers))
            who = "1 producer" if producers == 1 else f"{producers} producers, each claims its own"
            record(f"2 throughput, {settings.throughput_tasks:,} tasks, {who}", "tasks/s", "higher", rates)
    finally:
        sched.stop()
        executor.shutdown()


# --- 3. enqueue cost ---------------------------------------------------------------

# Each call is timed on its own and the round reports the median call: the
# first call after the previous round's claims freed their 64 MiB copies can
# take tens of microseconds for either contender, which would swamp a mean
# over the few calls the large payload allows.

def enqueue_cost_idlewick(sched, calls, kind, text, array):
    gc.collect()
    samples, ids = [], []
    for _ in range(calls):
        begin = time.perf_counter_ns()
        ids.append(sched.enqueue_task(kind, text, array))
        samples.append(time.perf_counter_ns() - begin)
    for task_id in ids:
        check_idlewick(sched.wait_for_result(task_id, WAIT_MS), text, array)
    return statistics.median(samples) / 1e3


def enqueue_cost_executor(executor, calls, kind, text, array):
    gc.collect()
    samples, futures = [], []
    for _ in range(calls):
        begin = time.perf_counter_ns()
        futures.append(executor.submit(echo, kind, text, array))
        samples.append(time.perf_counter_ns() - begin)
    for future in futures:
        check_peer(future.result(WAIT_S), kind, text, array)
    return statistics.median(samples) / 1e3


def figure_enqueue_cost(settings, record):
    cases = [
        ("no payload", "text_generation", "hello", None, settings.enqueue_calls),
        ("4 KiB float32 payload", "embedding", "", np.arange(1024, dtype=np.float32),
         settings.enqueue_calls),
        # Each claimed echo is a fresh 64 MiB copy, so fewer calls here.
        ("64 MiB float32 payload", "embedding", "", np.arange(16 * 1024 * 1024, dtype=np.float32),
         settings.large_enqueue_calls),
    ]
    sched, executor = started_scheduler(), started_executor()
    try:
        time.sleep(0.2)
        for label, kind, text, array, calls in cases:
            runners = {IDLEWICK: lambda: enqueue_cost_idlewick(sched, calls, kind, text, array),
                       EXECUTOR: lambda: enqueue_cost_executor(executor, calls, kind, text, array)}
            costs = {name: [] for name in runners}
            for index in range(settings.rounds):
                for name in rounds_in_turn(index, list(runners)):
                    costs[name].append(runners[name]())
            record(f"3 enqueue, median call, {label} ({calls:,} calls)", "us", "lower", costs)
        zero_copy = sched.debug_last_numeric_input_ptr() == cases[-1][3].__array_interface__["data"][0]
        require(zero_copy, "the 64 MiB payload was not taken zero-copy")
    finally:
        sched.stop()
        executor.shutdown()


# --- 4. idle cost ----------------------------------------------------------------

def cpu_percent(seconds):
    """CPU time of the whole process over `seconds` of doing nothing, in % of one core."""
    gc.collect()
    cpu, wall = time.process_time(), time.perf_counter()
    time.sleep(seconds)
    return 100.0 * (time.process_time() - cpu) / (time.perf_counter() - wall)


def idle_baseline(seconds):
    sched = core.Scheduler()  # built, never started
    try:
        return cpu_percent(seconds)
    finally:
        del sched


def idle_idlewick(seconds):
    sched = started_scheduler()
    try:
        time.sleep(0.1)  # thread start-up is not idle time
        return cpu_percent(seconds)
    finally:
        sched.stop()


def idle_executor(seconds):
    executor = started_executor()
    try:
        time.sleep(0.1)
        return cpu_percent(seconds)
    finally:
        executor.shutdown()


def figure_idle(settings, record):
    runners = {IDLEWICK: idle_idlewick, EXECUTOR: idle_executor}
    usage = {name: [] for name in runners}
    baselines = []
    for index in range(settings.idle_rounds):
        baselines.append(idle_baseline(settings.idle_seconds))
        for name in rounds_in_turn(index, list(runners)):
            usage[name].append(runners[name](settings.idle_seconds) - baselines[-1])
    record(f"4 idle CPU over {settings.idle_seconds:g} s, minus unstarted baseline", "% core", "lower",
           usage, extra={"baseline_pct": baselines})


# --- 5. many waiters ----------------------------------------------------------------

def wait_in_threads(waiters, wait_one, open_gate):
    """Starts one thread per waiter, opens the gate once all are waiting.

    Returns (gate to last claim, first claim to last claim) in milliseconds.
    """
    ready = threading.Barrier(waiters + 1)
    claimed_at = [None] * waiters
    errors = []

    def wait(index):
        ready.wait()
        try:
            wait_one(index)
            claimed_at[index] = time.perf_counter()
        except BaseException as error:
            errors.append(error)

    threads = [threading.Thread(target=wait, args=(i,)) for i in range(waiters)]
    for thread in threads:
        thread.start()
    ready.wait()
    time.sleep(0.05)  # every waiter parks inside its wait before the gate opens
    opened = time.perf_counter()
    open_gate()
    for thread in threads:
        thread.join()
    if errors:
        raise errors[0]
    return (max(claimed_at) - opened) * 1e3, (max(claimed_at) - min(claimed_at)) * 1e3


def waiters_idlewick(waiters):
    # The scheduler is not started yet, so the tasks stay queued; start() is the
    # gate, after which the three workers finish them one by one.
    sched = core.Scheduler()
    payloads = texts(waiters, "waiter")
    ids = [sched.enqueue_task("text_generation", text) for text in payloads]
    try:
        return wait_in_threads(
            waiters,
            lambda i: check_idlewick(sched.wait_for_result(ids[i], WAIT_MS), payloads[i]),
            sched.start)
    finally:
        sched.stop()


def waiters_executor(waiters):
    # Three tasks blocked on an event hold all three workers; setting it is the gate.
    executor = started_executor()
    gate = threading.Event()
    blockers = [executor.submit(gate.wait, WAIT_S) for _ in range(EXECUTOR_WORKERS)]
    payloads = texts(waiters, "waiter")
    futures = [executor.submit(echo, text) for text in payloads]
    try:
        return wait_in_threads(
            waiters, lambda i: check_peer(futures[i].result(WAIT_S), payloads[i]), gate.set)
    finally:
        gate.set()
        for blocker in blockers:
            blocker.result(WAIT_S)
        executor.shutdown()


def figure_waiters(settings, record):
    runners = {IDLEWICK: waiters_idlewick, EXECUTOR: waiters_executor}
    total = {name: [] for name in runners}
    spread = {name: [] for name in runners}
    for index in range(settings.waiter_rounds):
        for name in rounds_in_turn(index, list(runners)):
            gc.collect()
            until_all, first_to_last = runners[name](settings.waiters)
            total[name].append(until_all)
            spread[name].append(first_to_last)
    record(f"5 {settings.waiters} waiters: gate opens -> all claimed", "ms", "lower", total)
    record(f"5 {settings.waiters} waiters: first -> last claim", "ms", "lower", spread)


# --- table and JSON --------------------------------------------------------------

class Table:
    def __init__(self):
        self.rows = []

    def record(self, figure, unit, better, per_round, extra=None):
        values = {name: statistics.median(rounds) for name, rounds in per_round.items()}
        peers = {name: value for name, value in values.items() if name != IDLEWICK}
        best = (min if better == "lower" else max)(peers, key=peers.get)
        ratio = values[IDLEWICK] / peers[best] if peers[best] > 0 else None
        row = {"figure": figure, "unit": unit, "better": better, "median": values,
               "best_peer": best, "ratio_to_best_peer": ratio, "rounds": per_round}
        if extra:
            row.update(extra)
        self.rows.append(row)
        print(self.format_row(row), flush=True)

    @staticmethod
    def header():
        return (f"{'figure':<62} {'unit':>7} {IDLEWICK:>10} {EXECUTOR:>19} {SIMPLE_QUEUE:>19}"
                f"  {'idlewick/best peer':>20}")

    @staticmethod
    def format_row(row):
        def cell(name, width):
            value = row["median"].get(name)
            if value is None:
                return f"{'-':>{width}}"
            return f"{value:>{width},.0f}" if abs(value) >= 1000 else f"{value:>{width}.2f}"

        ratio = row["ratio_to_best_peer"]
        if ratio is None or row["median"][row["best_peer"]] < 0.05 and row["unit"] == "% core":
            verdict = "peer ~ 0"
        else:
            wins = ratio < 1 if row["better"] == "lower" else ratio > 1
            verdict = f"{ratio:.2f} ({'better' if wins else 'worse'})"
        return (f"{row['figure']:<62} {row['unit']:>7} {cell(IDLEWICK, 10)} {cell(EXECUTOR, 19)}"
                f" {cell(SIMPLE_QUEUE, 19)}  {verdict:>20}")


def machine():
    return {
        "cores": os.cpu_count(),
        "usable_cores": len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else None,
        "python": sys.version.split()[0],
        "implementation": platform.python_implementation(),
        "numpy": np.__version__,
        "idlewick_core": core.version(),
        "platform": platform.platform(),
        "gil_switch_interval_s": sys.getswitchinterval(),
    }


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, help="rounds per figure (default 5; idle cost 3)")
    parser.add_argument("--quick", action="store_true",
                        help="task counts / 5, idle window 1 s, 3 rounds: a smoke run")
    parser.add_argument("--json", type=pathlib.Path,
                        help="where to write the table as JSON "
                             "(default bench/results/compare-<time>.json)")
    args = parser.parse_args(argv)
    scale = 5 if args.quick else 1
    # The idle figure takes 3 x 3 s a round, so it gets fewer rounds unless
    # a number was asked for.
    args.idle_rounds = args.rounds or 3
    args.rounds = args.rounds or (3 if args.quick else 5)
    args.round_trips = 2_000 // scale
    args.throughput_tasks = 100_000 // scale
    args.enqueue_calls = 5_000 // scale
    args.large_enqueue_calls = 20 // scale
    args.idle_seconds = 1.0 if args.quick else 3.0
    args.waiters = 16
    args.waiter_rounds = args.rounds * 4  # cheap and noisy: more rounds
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    return args


def main(argv=None):
    settings = parse_args(argv)
    info = machine()
    started = time.perf_counter()
    print(f"idlewick {info['idlewick_core']} vs the standard library | {info['cores']} cores "
          f"({info['usable_cores']} usable) | {info['implementation']} {info['python']} | "
          f"numpy {info['numpy']} | {info['platform']}")
    print(f"rounds: {settings.rounds} (idle cost {settings.idle_rounds}, waiters "
          f"{settings.waiter_rounds}); contenders alternate within each round; "
          "figures are medians over the rounds")
    print()
    print(Table.header())
    table = Table()
    try:
        figure_round_trip(settings, table.record)
        figure_throughput(settings, table.record)
        figure_enqueue_cost(settings, table.record)
        figure_idle(settings, table.record)
        figure_waiters(settings, table.record)
    except BenchError as error:
        print(f"\nbenchmark stopped: {error}", file=sys.stderr)
        return 1
    elapsed = time.perf_counter() - started
    print(f"\nwhole run: {elapsed:.1f} s. idlewick/best peer: below 1 is better for times, "
          "above 1 for rates.")

    path = settings.json or RESULTS_DIR / f"compare-{datetime.datetime.now():%Y%m%d-%H%M%S}.json"
    path.parent.mkdir(parents=True, exist_ok=True)
    settings_out = {key: (str(value) if isinstance(value, pathlib.Path) else value)
                    for key, value in vars(settings).items()}
    path.write_text(json.dumps({
        "created": datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="seconds"),
        "machine": info, "settings": settings_out, "elapsed_s": elapsed, "rows": table.rows,
    }, indent=2) + "\n")
    print(f"table written to {path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
