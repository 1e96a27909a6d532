"""idlewick in a few seconds: the scheduler doing its whole job.

    python examples/demo.py        (or `make demo`, which installs first)

What it shows, in order:
  1. a chat session: select_device picks the device of the first turn and the
     later turns are pinned there with enqueue_task_on_device;
  2. a batch of embedding tasks whose numpy arrays enter without a copy, as
     the zero-copy probe proves;
  3. a mixed workload of text, embedding and image tasks with live per-device
     telemetry and a progress bar;
  4. a forced backend failure: the device turns degraded, routing avoids it,
     and debug_mark_degraded puts it back into service;
  5. a summary: tasks per device, failures, throughput, round-trip latency.

Every result is checked against what was sent. The demo exits with status 1
if anything it shows turns out wrong, and 2 if the module is not installed.
On a terminal the telemetry is redrawn in place; otherwise it prints lines.
"""

import shutil
import statistics
import sys
import time

import numpy as np

try:
    import _idlewick_core as core
except ImportError as error:
    sys.stderr.write(f"cannot import _idlewick_core ({error}).\n"
                     "Install it first: `pip install .` in the repository, or `make demo`.\n")
    sys.exit(2)

DEVICES = ("cpu", "igpu", "dgpu")
FORCED_FAILURE_MESSAGE = "MockBackend: forced failure for testing"
WAIT_MS = 10_000  # generous: a shared machine may stall a worker for a while

# Mixed workload: WAVES waves of WAVE_SIZE tasks; each wave is enqueued in
# one go (so the queues fill) and then claimed, with a few one-at-a-time
# round trips in between.
WAVES = 50
WAVE_SIZE = 20_000
PINGS_PER_WAVE = 5
EMBEDDING_DIM = 64


class Checks:
    """Collects what turned out wrong instead of stopping at the first one."""

    def __init__(self):
        self.passed = 0
        self.problems = []

    def expect(self, condition, what):
        if condition:
            self.passed += 1
        else:
            self.problems.append(what)
            print(f"  !! WRONG: {what}")
        return condition


class Stats:
    """What the summary reports about the tasks this demo claimed."""

    def __init__(self):
        self.claimed = 0
        self.failed = 0
        self.round_trips_ms = []  # one task enqueued, then waited for, alone
        self.workload_tasks = 0
        self.workload_seconds = 0.0


class Screen:
    """Live area that is redrawn in place on a terminal.

    Off a terminal nothing is redrawn: `live` prints only the first `keep`
    lines of a frame, so logs get a few plain lines instead of escape codes.
    """

    def __init__(self, stream=sys.stdout):
        self.stream = stream
        self.tty = stream.isatty()
        self.drawn = 0  # lines of the live area currently on screen

    def say(self, text=""):
        self.stream.write(text + "\n")
        self.stream.flush()

    def live(self, lines, keep=0):
        if self.tty:
            # A wrapped line would throw the cursor arithmetic off.
            width = shutil.get_terminal_size().columns - 1
            lines = [line[:width] for line in lines]
            out = []
            if self.drawn:
                out.append(f"\x1b[{self.drawn}F")  # back to the area's first line
            out.extend(f"\x1b[2K{line}\n" for line in lines)
            self.stream.write("".join(out))
            self.stream.flush()
            self.drawn = len(lines)
        else:
            for line in lines[:keep]:
                self.say(line)

    def end_live(self):
        """Leaves the last frame on screen; the next frame starts a new area."""
        self.drawn = 0


def telemetry_lines(telemetry):
    lines = ["   device  registered  degraded  util %  queue  latency ms  completed  failed"]
    for name in DEVICES:
        d = telemetry[name]
        lines.append(
            f"   {name:<6}  {'yes' if d['registered'] else 'no':<10}  "
            f"{'YES' if d['degraded'] else 'no':<8}  {d['utilization_pct']:6.1f}  "
            f"{d['queue_depth']:5d}  {d['historical_latency_ms']:10.2f}  "
            f"{d['completed_count']:9,d}  {d['failed_count']:6,d}")
    return lines


def progress_line(done, total, started, width=32):
    fraction = done / total if total else 1.0
    filled = int(width * fraction)
    seconds = time.perf_counter() - started
    rate = f"  {done / seconds:,.0f} tasks/s" if done and seconds > 0 else ""
    return f"   [{'#' * filled}{'.' * (width - filled)}] {fraction:4.0%}  {done:,}/{total:,} tasks{rate}"


def counts(telemetry):
    """Tasks each device has finished so far, failed ones included."""
    return {name: telemetry[name]["completed_count"] + telemetry[name]["failed_count"]
            for name in DEVICES}


def ran_on(before, after):
    """Devices whose finished count grew between two snapshots."""
    return [name for name in DEVICES if after[name] > before[name]]


def claim(sched, task_id, stats):
    result = sched.wait_for_result(task_id, WAIT_MS)
    if result is not None:
        stats.claimed += 1
        stats.failed += result["status"] != "ok"
    return result


def timed_round_trip(sched, stats, enqueue):
    """Runs one task alone; returns its result and records the round trip."""
    started = time.perf_counter()
    task_id = enqueue()
    result = claim(sched, task_id, stats)
    stats.round_trips_ms.append((time.perf_counter() - started) * 1e3)
    return result


def echoed_text(result, text):
    return result is not None and result["status"] == "ok" and result["text_output"] == text


def echoed_array(result, array):
    if result is None or result["status"] != "ok":
        return False
    out = result["numeric_output"]
    return (out is not None and out.dtype == np.float32
            and np.array_equal(out, array.ravel()) and not np.shares_memory(out, array))


# --- 1. chat session --------------------------------------------------------

CHAT_TURNS = (
    "Hello! Where am I running?",
    "Summarise idle compute in one sentence.",
    "Now say it in French.",
    "Thanks, that is all.",
)


def chat_session(sched, screen, checks, stats):
    screen.say("1. Chat session: the first turn goes where select_device says, later turns are pinned")
    home = sched.select_device("text_generation")
    screen.say(f"   select_device('text_generation') -> {home!r}; the session keeps that device")
    for number, text in enumerate(CHAT_TURNS, start=1):
        routing_now = sched.select_device("text_generation")
        before = counts(sched.get_telemetry())
        result = timed_round_trip(
            sched, stats, lambda: sched.enqueue_task_on_device(home, "text_generation", text))
        devices = ran_on(before, counts(sched.get_telemetry()))
        checks.expect(echoed_text(result, text), f"chat turn {number} did not echo its text")
        checks.expect(devices == [home], f"chat turn {number} ran on {devices}, not on {home}")
        note = "select_device's pick" if number == 1 else f"pinned; routing alone would pick {routing_now}"
        reply = result["text_output"] if result else "<no result>"
        screen.say(f"   turn {number} ran on {','.join(devices) or '?':<4} {stats.round_trips_ms[-1]:5.2f} ms  "
                   f"echo {reply!r:<42} ({note})")
    screen.say()


# --- 2. embeddings with numpy payloads -----------------------------------------

def embedding_batch(sched, screen, checks, stats, count=64, dim=384):
    screen.say(f"2. Embeddings: {count} numpy float32 vectors of {dim} values, enqueued without a copy")
    rng = np.random.default_rng(2024)
    vectors = [rng.standard_normal(dim, dtype=np.float32) for _ in range(count)]
    probes_before = sched.debug_zero_copy_enqueue_count()
    own_memory = 0
    ids = []
    for vector in vectors:
        ids.append(sched.enqueue_task("embedding", "", vector))
        own_memory += sched.debug_last_numeric_input_ptr() == vector.__array_interface__["data"][0]
    probes = sched.debug_zero_copy_enqueue_count() - probes_before
    intact = sum(echoed_array(claim(sched, task_id, stats), vector)
                 for task_id, vector in zip(ids, vectors))
    address = vectors[-1].__array_interface__["data"][0]
    checks.expect(probes == count, f"zero-copy count rose by {probes}, not {count}")
    checks.expect(own_memory == count, f"only {own_memory}/{count} enqueues stored the array's own address")
    checks.expect(intact == count, f"only {intact}/{count} embedding echoes matched their vectors")
    screen.say(f"   debug_zero_copy_enqueue_count() rose by {probes}; debug_last_numeric_input_ptr() "
               f"matched arr.__array_interface__['data'][0] for {own_memory}/{count} (last: {address:#x})")
    screen.say(f"   {intact}/{count} echoes equal their vectors, each in fresh memory of its own")

    # Borrowed, not copied: a write made after the enqueue shows in the echo,
    # because the claim copies out of the caller's own array.
    vector = np.zeros(4, dtype=np.float32)
    task_id = sched.enqueue_task("embedding", "", vector)
    vector[0] = 42.0
    result = claim(sched, task_id, stats)
    seen = float(result["numeric_output"][0]) if result and result["numeric_output"] is not None else None
    checks.expect(seen == 42.0, f"a write after the enqueue was not seen by the echo (got {seen})")
    # A float64 array has to be converted, so the task holds numpy's copy.
    doubles = np.arange(4, dtype=np.float64)
    task_id = sched.enqueue_task("embedding", "", doubles)
    copied = sched.debug_last_numeric_input_ptr() != doubles.__array_interface__["data"][0]
    result = claim(sched, task_id, stats)
    checks.expect(copied, "a float64 array was stored at its own address although it needs converting")
    checks.expect(echoed_array(result, doubles.astype(np.float32)), "the float64 payload did not echo")
    screen.say(f"   writing arr[0] = 42 after enqueue -> echo shows {seen}: the task read the caller's memory")
    screen.say(f"   a float64 array is converted first, so its task holds a copy (address differs: {copied})")
    screen.say()


# --- 3. mixed workload with live telemetry ---------------------------------------

def build_wave(rng, size):
    """One wave's tasks as (kind, text, array or None); 70/20/10 text/embedding/image."""
    embeddings = rng.standard_normal((size // 5, EMBEDDING_DIM), dtype=np.float32)
    tasks = []
    for i in range(size):
        if i % 10 < 7:
            tasks.append(("text_generation", f"prompt {i}", None))
        elif i % 10 < 9:
            tasks.append(("embedding", "", embeddings[len(tasks) % len(embeddings)]))
        else:
            tasks.append(("image_generation", f"a lighthouse at dusk, seed {i}", None))
    return tasks


def result_matches(result, text, array):
    if not echoed_text(result, text):
        return False
    if array is None:
        return result["numeric_output"] is None
    out = result["numeric_output"]
    return out is not None and np.array_equal(out, array)


def run_waves(sched, screen, checks, stats, waves, wave_size, title, fifths=True):
    """Enqueues and claims `waves` waves, drawing telemetry as they run.

    Returns the number of tasks claimed. Off a terminal the first and last
    frames are printed whole and, with `fifths`, the progress line at every
    fifth of the run in between.
    """
    rng = np.random.default_rng(7)
    total = waves * wave_size
    done = wrong = 0
    started = last_draw = time.perf_counter()
    next_fifth = 1 if fifths else 5  # the fifth whose progress line is printed next

    def draw(force=False):
        nonlocal last_draw, next_fifth
        now = time.perf_counter()
        milestone = next_fifth < 5 and done * 5 >= next_fifth * total
        if not (force or milestone) and now - last_draw < 0.1:
            return
        last_draw = now
        while next_fifth < 5 and done * 5 >= next_fifth * total:
            next_fifth += 1
        lines = [progress_line(done, total, started)] + telemetry_lines(sched.get_telemetry())
        screen.live(lines, keep=len(lines) if force else int(milestone))

    screen.say(f"   {title}")
    for _ in range(waves):
        tasks = build_wave(rng, wave_size)
        ids = [sched.enqueue_task(kind, text, array) for kind, text, array in tasks]
        draw(force=done == 0)  # the queues are fullest right now
        for start in range(0, wave_size, 2_000):
            for task_id, (_, text, array) in zip(ids[start:start + 2_000], tasks[start:start + 2_000]):
                wrong += not result_matches(claim(sched, task_id, stats), text, array)
            done += min(2_000, wave_size - start)
            draw()
        for i in range(PINGS_PER_WAVE):
            text = f"ping {i}"
            wrong += not echoed_text(
                timed_round_trip(sched, stats, lambda: sched.enqueue_task("text_generation", text)), text)
    draw(force=True)
    screen.end_live()
    checks.expect(wrong == 0, f"{wrong} workload results did not echo their payloads")
    return total


def mixed_workload(sched, screen, checks, stats):
    total = WAVES * WAVE_SIZE
    screen.say(f"3. Mixed workload: {total:,} tasks (70% text, 20% embedding, 10% image) in {WAVES} waves")
    started = time.perf_counter()
    stats.workload_tasks = run_waves(sched, screen, checks, stats, WAVES, WAVE_SIZE,
                                     "routed by live utilization, backlog and latency")
    stats.workload_seconds = time.perf_counter() - started
    screen.say()


# --- 4. forced failure and recovery ------------------------------------------

def failure_and_recovery(sched, screen, checks, stats):
    victim = sched.select_device("text_generation")
    screen.say(f"4. Failure and recovery: routing prefers {victim!r} right now, so its backend is made to fail")
    sched.debug_force_backend_failure(victim, True)
    payload = np.arange(8, dtype=np.float32)
    result = claim(sched, sched.enqueue_task_on_device(victim, "embedding", "doomed", payload), stats)
    telemetry = sched.get_telemetry()
    checks.expect(result is not None and result["status"] == "failed"
                  and result["error_message"] == FORCED_FAILURE_MESSAGE
                  and result["numeric_output"] is None,
                  f"the task on the failing {victim} did not come back failed: {result}")
    checks.expect(telemetry[victim]["degraded"], f"{victim} is not degraded after its failure")
    screen.say(f"   a task pinned to {victim}: status={result['status']!r} "
               f"error={result['error_message']!r}" if result else "   no result")
    screen.say(f"   telemetry: {victim} degraded={telemetry[victim]['degraded']}, "
               f"failed={telemetry[victim]['failed_count']}")

    frozen = counts(telemetry)[victim]
    picks = {sched.select_device(kind) for kind in ("text_generation", "embedding", "image_generation")}
    routed = run_waves(sched, screen, checks, stats, 3, 10_000, f"{victim} degraded: new work avoids it",
                       fifths=False)
    before = counts(sched.get_telemetry())
    text = "pinned to a degraded device"
    result = claim(sched, sched.enqueue_task_on_device(victim, "text_generation", text), stats)
    fallback = ran_on(before, counts(sched.get_telemetry()))
    checks.expect(victim not in picks, f"select_device still picked {victim} while degraded")
    checks.expect(counts(sched.get_telemetry())[victim] == frozen,
                  f"{victim} received work while degraded")
    checks.expect(echoed_text(result, text) and victim not in fallback,
                  f"a task pinned to degraded {victim} did not fall back ({fallback})")
    screen.say(f"   {routed:,} routed tasks: none reached {victim}; select_device picked {sorted(picks)}")
    screen.say(f"   a task pinned to {victim} fell back to {','.join(fallback)} and succeeded")

    sched.debug_force_backend_failure(victim, False)
    still = sched.get_telemetry()[victim]["degraded"]
    checks.expect(still, f"clearing the forced failure alone un-degraded {victim}")
    sched.debug_mark_degraded(victim, False)
    recovered = not sched.get_telemetry()[victim]["degraded"]
    before = counts(sched.get_telemetry())
    text = "welcome back"
    result = claim(sched, sched.enqueue_task_on_device(victim, "text_generation", text), stats)
    devices = ran_on(before, counts(sched.get_telemetry()))
    checks.expect(recovered, f"debug_mark_degraded({victim!r}, False) left it degraded")
    checks.expect(echoed_text(result, text) and devices == [victim],
                  f"after recovery a task pinned to {victim} ran on {devices}")
    screen.say(f"   debug_force_backend_failure({victim!r}, False): still degraded={still} "
               "(the fault is gone, the flag stays)")
    screen.say(f"   debug_mark_degraded({victim!r}, False): degraded={not recovered}; "
               f"a pinned task ran on {','.join(devices)}: {result['status'] if result else None}")
    screen.say()


# --- 5. summary ---------------------------------------------------------------

def summary(sched, screen, checks, stats, elapsed):
    telemetry = sched.get_telemetry()
    finished = counts(telemetry)
    failed = {name: telemetry[name]["failed_count"] for name in DEVICES}
    screen.say("5. Summary")
    for line in telemetry_lines(telemetry):
        screen.say(line)
    per_device = "   ".join(f"{name} {finished[name]:,} ({failed[name]} failed)" for name in DEVICES)
    screen.say(f"   tasks per device   {per_device}")
    screen.say(f"   failures           {sum(failed.values())} (the one forced in step 4)")
    rate = stats.workload_tasks / stats.workload_seconds if stats.workload_seconds else 0.0
    screen.say(f"   throughput         {stats.workload_tasks:,} tasks in {stats.workload_seconds:.2f} s = "
               f"{rate:,.0f} tasks/s (enqueue, claim and check from one Python thread)")
    trips = stats.round_trips_ms
    screen.say(f"   round trip         median {statistics.median(trips):.3f} ms over {len(trips)} tasks "
               f"sent one at a time (max {max(trips):.3f} ms)")
    checks.expect(sum(finished.values()) == stats.claimed,
                  f"devices finished {sum(finished.values()):,} tasks but {stats.claimed:,} were claimed")
    checks.expect(sum(failed.values()) == stats.failed == 1,
                  f"{sum(failed.values())} failures counted, {stats.failed} failed results, 1 expected")
    checks.expect(all(telemetry[name]["queue_depth"] == 0 for name in DEVICES), "tasks left queued")
    verdict = "all checks passed" if not checks.problems else f"{len(checks.problems)} checks FAILED"
    screen.say(f"   {stats.claimed:,} results claimed in {elapsed:.1f} s; {checks.passed} checks passed; {verdict}")


def main():
    screen = Screen()
    checks = Checks()
    stats = Stats()
    started = time.perf_counter()
    screen.say(f"idlewick demo: _idlewick_core {core.version()}, "
               f"real backends: {core.has_real_backends()} (every device echoes its payload)")
    sched = core.Scheduler()
    sched.start()
    checks.expect(sched.is_running, "the scheduler did not start")
    screen.say("   started: one worker per device (cpu, igpu, dgpu) and a utilization poller")
    screen.say()
    if screen.tty:
        screen.stream.write("\x1b[?25l")  # no blinking cursor over the live area
    try:
        chat_session(sched, screen, checks, stats)
        embedding_batch(sched, screen, checks, stats)
        mixed_workload(sched, screen, checks, stats)
        failure_and_recovery(sched, screen, checks, stats)
        summary(sched, screen, checks, stats, time.perf_counter() - started)
    finally:
        if screen.tty:
            screen.stream.write("\x1b[?25h")
        sched.stop()
    if checks.problems:
        screen.say("\nWhat went wrong:")
        for problem in checks.problems:
            screen.say(f"  - {problem}")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
