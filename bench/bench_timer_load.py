"""Precision timers on a busy computer: idle, beside CPU-bound processes, and moved to SCHED_FIFO.

A robot computer runs vision and logging beside the control loop. This measures the start lateness of the
high and realtime timers at 1 kHz (the method of bench_timers.py: against each loop's own best phase) in
three conditions, in short windows that take turns so that the virtual machine's slow drifts fall on all of
them alike:
- idle: nothing else runs;
- load: as many CPU-bound processes as the computer has cores (two here), under the default scheduler;
- load, FIFO: the same, with the timer's thread on SCHED_FIFO and memory locked (examples/realtime_threads.py).
Beside them, the plain-Python deadline loop on a threading.Thread, idle and loaded, as the baseline, and,
where the test probe module is built (./dev bench builds it), the floor: the high mode's sleep-then-spin
deadline loop in C++ with an empty call, on a thread that never enters Python, in the same turns.

Prints p50/p99/p99.9 per row, the ratio of each loaded p99 to the same loop's idle p99 (the goal: with
SCHED_FIFO, within 2x of idle), and for the high timer its p99 against the floor's (in brackets: the median
of the windows' own p99s, against the floor's, which one noisy window does not sway) and its p50 over it.

    python bench/bench_timer_load.py             # 8 rounds of 2 s windows (about 2 minutes)
    python bench/bench_timer_load.py --quick     # 3 rounds of 1 s windows
"""

import argparse
import ctypes
import os
import signal
import subprocess
import sys
import threading
import time

import numpy as np

import kestro
from bench_timers import analyse, make_recorder, python_loop

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from realtime_threads import RealtimeUnavailable, lock_memory, make_realtime  # noqa: E402

try:
    import _kestro_probe as probe
except ImportError:
    probe = None

LIBC = ctypes.CDLL(None)
HZ = 1000
HIGH_SPIN_US = 800
FLOOR = "C++ empty call"
TIMERS = {
    "kestro high": lambda: kestro.precision_timer(HZ),
    "kestro realtime": lambda: kestro.precision_timer(HZ, realtime=True),
}


class Hogs:
    """CPU-bound processes, one per core, paused (SIGSTOP) between the loaded windows."""

    def __init__(self, count):
        self.procs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(count)]
        self.pause()

    def _signal(self, sig):
        for p in self.procs:
            p.send_signal(sig)

    def pause(self):
        self._signal(signal.SIGSTOP)

    def resume(self):
        self._signal(signal.SIGCONT)

    def close(self):
        self._signal(signal.SIGKILL)
        for p in self.procs:
            p.wait()


def window(kind, seconds, fifo):
    """One window of one loop; returns its call start stamps (ns)."""
    tick, buf, counter = make_recorder(int(HZ * seconds * 1.5) + 1000)
    if kind == FLOOR:
        return np.frombuffer(probe.bare_loop_stamps(HZ, seconds, HIGH_SPIN_US), dtype=np.int64)
    if kind == "Python thread":
        t = threading.Thread(target=python_loop, args=(HZ, seconds, tick))
        t.start()
        t.join()
    else:
        handle = TIMERS[kind]()(tick)()
        if fifo:
            make_realtime(handle, priority=80, lock=False)
        time.sleep(seconds)
        handle.stop()
    time.sleep(0.05)
    return np.array(buf[: min(next(counter), len(buf))], dtype=np.int64)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--seconds", type=float, default=2.0, help="length of one window")
    parser.add_argument("--quick", action="store_true", help="3 rounds of 1 s windows")
    args = parser.parse_args()
    rounds, seconds = (3, 1.0) if args.quick else (args.rounds, args.seconds)

    fifo_why = None
    try:
        lock_memory()
        LIBC.munlockall()
    except RealtimeUnavailable as e:
        fifo_why = e.strerror
    probe = TIMERS["kestro high"]()(lambda: None)()
    try:
        make_realtime(probe, lock=False)
    except RealtimeUnavailable as e:
        fifo_why = fifo_why or e.strerror
    finally:
        probe.stop()

    loops = ("Python thread", *TIMERS) + ((FLOOR,) if probe else ())
    plan = [(k, "idle") for k in loops] + [(k, "load") for k in loops]
    if fifo_why is None:
        plan += [(k, "load, FIFO") for k in TIMERS]
    hogs = Hogs(os.cpu_count() or 2)
    stamps = {row: [] for row in plan}
    print(f"{rounds} rounds x {len(plan)} windows x {seconds:g} s, {len(hogs.procs)} CPU-bound processes", file=sys.stderr)
    try:
        for r in range(rounds):
            for kind, cond in plan:
                fifo = cond.endswith("FIFO")
                if cond != "idle":
                    hogs.resume()
                if fifo:
                    lock_memory()
                try:
                    stamps[(kind, cond)].append(window(kind, seconds, fifo))
                finally:
                    hogs.pause()
                    if fifo:
                        LIBC.munlockall()
                time.sleep(0.1)
            print(f"  round {r + 1}/{rounds}", file=sys.stderr)
    finally:
        hogs.close()

    stats = {}
    for row, windows in stamps.items():
        # Each window against its own best phase, then pooled.
        done = [a for a in (analyse(w, HZ) for w in windows) if a is not None]
        pooled = np.concatenate([a["late_us"] for a in done]) if done else np.zeros(1)
        grid = sum(a["grid"] for a in done)
        window_p99 = float(np.median([a["p99"] for a in done])) if done else 0.0
        stats[row] = (np.percentile(pooled, [50, 99, 99.9]), sum(a["missed"] for a in done), grid, window_p99)

    print(f"\nPython {sys.version.split()[0]}, {os.cpu_count()} cores, {HZ} Hz, start lateness in µs")
    head = f"{'loop':<17}{'condition':<12}{'p50':>8}{'p99':>9}{'p99.9':>9}{'missed':>14}{'p99/idle':>10}{'vs floor':>24}"
    print(head)
    print("-" * len(head))
    for kind, cond in plan:
        (p50, p99, p999), missed, grid, window_p99 = stats[(kind, cond)]
        idle_p99 = stats[(kind, "idle")][0][1]
        ratio = f"{p99 / idle_p99:.1f}x" if idle_p99 > 0 else "n/a"
        miss = f"{missed} ({missed / max(grid, 1):.1%})"
        floor = stats.get((FLOOR, cond))
        vs = "-"
        if kind == "kestro high" and floor and floor[0][1] > 0 and floor[3] > 0:
            vs = f"{p99 / floor[0][1]:.1f}x ({window_p99 / floor[3]:.1f}x), {p50 - floor[0][0]:+.1f} µs"
        print(f"{kind:<17}{cond:<12}{p50:>8.1f}{p99:>9.1f}{p999:>9.1f}{miss:>14}{ratio:>10}{vs:>24}")
    if probe is None:
        print("\nno floor rows: the test probe module is not on the path (./dev bench builds it)")
    if fifo_why:
        print(f"\nno SCHED_FIFO rows: {fifo_why}")


if __name__ == "__main__":
    main()
