"""How late timer calls start, against their grid.

Measures, in one run, the lateness of each call's start against its grid point (t0 + k * period), the missed
periods and the process CPU for:
- kestro.timer (normal), kestro.precision_timer (high) and kestro.precision_timer(realtime=True) at 1 kHz,
  and the realtime mode at 5 kHz and 20 kHz;
- beside them, at the same frequencies, a pure-Python loop on the main thread and the same loop on a
  threading.Thread (time.perf_counter deadlines, time.sleep of the remaining time);
- then all of it again, except the main-thread loop, while the main thread runs busy Python code, so every
  call has to win the interpreter lock from it;
- then the 1 kHz high mode and the threading loop while the main thread runs Python that allocates (beside
  200k long-lived objects made at set-up, short-lived ones in reference cycles), so that the garbage
  collector runs: once as it is, once after gc.freeze() at the end of the set-up (the usual advice for
  real-time Python), once with gc.disable(). On a free-threaded build every collection stops all threads
  that are attached to the interpreter.

Beside the idle realtime rows, when the test probe module (`_kestro_probe`, built by ./dev test and ./dev
bench) can be imported: the same deadline loop in C++ with an empty call, on a thread that never enters
Python. What it misses, the machine took (hypervisor, interrupts, other processes): the floor under the
realtime mode's missed periods on this machine, measured in the same run.

Lateness is measured against each loop's own best phase (its most punctual 1% of calls start at 0); the
interval error is how far each gap between consecutive calls is from the period.

Prints one table with the p99 ratio against the threading loop at the same frequency and load, and writes
the lateness distributions to bench/timer_lateness.png.

    python bench/bench_timers.py            # 10 s per configuration (about 3.5 minutes)
    python bench/bench_timers.py --quick    # 2 s per configuration
    python bench/bench_timers.py --alloc-only --quick   # only the allocating rows (for a second interpreter)
"""

import argparse
import gc
import itertools
import os
import sys
import threading
import time

import numpy as np

import kestro

try:
    import _kestro_probe as probe
except ImportError:
    probe = None

HERE = os.path.dirname(os.path.abspath(__file__))

# (mode, frequency) pairs; the two Python loops run at every frequency that appears here.
KESTRO_RUNS = [
    ("normal", 1000),
    ("high", 1000),
    ("realtime", 1000),
    ("realtime", 5000),
    ("realtime", 20000),
]
FREQUENCIES = sorted({hz for _, hz in KESTRO_RUNS})
# The allocating main thread with the collector as it is, frozen after set-up, and switched off.
ALLOC_LOADS = ("alloc", "alloc, gc frozen", "alloc, gc off")


def make_recorder(capacity):
    """A callback that stores perf_counter_ns() at its start into a preallocated list.

    The timestamp is the first thing taken; the index comes after, so stores from several threads (the
    normal mode runs calls on a pool) may land slightly out of order; the analysis sorts them.
    """
    buf = [0] * capacity
    counter = itertools.count()

    def tick(_now=time.perf_counter_ns, _buf=buf, _next=counter.__next__, _cap=capacity):
        t = _now()
        i = _next()
        if i < _cap:
            _buf[i] = t

    return tick, buf, counter


def python_loop(hz, seconds, tick):
    """The plain-Python periodic loop: absolute deadlines, sleep for what is left.

    It keeps to the grid the same way the kestro timers do: a late call is followed at once by the next,
    and deadlines passed during an overrun are skipped rather than caught up in a burst.
    """
    period = 1.0 / hz
    now = time.perf_counter
    sleep = time.sleep
    t0 = now()
    end = t0 + seconds
    k = 0
    while True:
        tick()
        k += 1
        due = t0 + k * period
        t = now()
        if due >= end:
            break
        if t < due:
            sleep(due - t)
        elif t - due >= period:
            k = int((t - t0) / period)


def busy(seconds):
    """Tight arithmetic in Python for `seconds`; returns the number of 1000-step rounds done."""
    end = time.perf_counter() + seconds
    x = 1
    rounds = 0
    while True:
        for _ in range(1000):
            x = (x * 31 + 7) & 0xFFFF
        rounds += 1
        if time.perf_counter() >= end:
            return rounds


def busy_alloc(seconds):
    """Python that allocates as a control program does between its set-up's long-lived state (built by run())
    and what it makes per step: short-lived containers, some of which refer to themselves (a parent link, a
    traceback) and so are freed only by the collector, which therefore keeps running. Returns the number of
    1000-step rounds done."""
    end = time.perf_counter() + seconds
    rounds = 0
    recent = [None] * 1000
    while True:
        for i in range(1000):
            node = {"i": i, "v": [i, rounds]}
            node["parent"] = node
            recent[i] = node
        rounds += 1
        if time.perf_counter() >= end:
            return rounds


def busy_jiffies():
    """CPU time used by the whole machine so far, in seconds (all cores), or None off Linux."""
    try:
        with open("/proc/stat") as f:
            fields = f.readline().split()
    except OSError:
        return None
    # user nice system idle iowait irq softirq steal: everything but idle and iowait
    v = [int(x) for x in fields[1:9]]
    return (v[0] + v[1] + v[2] + v[5] + v[6] + v[7]) / os.sysconf("SC_CLK_TCK")


def run(kind, hz, seconds, loaded):
    """One configuration. kind is a kestro mode ("normal", "high", "realtime"), "thread" or "main"; loaded is
    False (the main thread sleeps), True (busy arithmetic), "alloc" or "alloc, gc frozen" (see busy_alloc)."""
    capacity = int(hz * seconds * 1.5) + 1000
    tick, buf, counter = make_recorder(capacity)
    handle = None
    thread = None
    if kind in ("normal", "high", "realtime"):
        if kind == "normal":
            decorated = kestro.timer(hz)(tick)
        elif kind == "high":
            decorated = kestro.precision_timer(hz)(tick)
        else:
            decorated = kestro.precision_timer(hz, realtime=True)(tick)

    live = None
    if loaded in ALLOC_LOADS:
        live = [{"i": i, "v": [i, 0]} for i in range(200_000)]
    gc.collect()
    if loaded == "alloc, gc frozen":
        gc.freeze()
    elif loaded == "alloc, gc off":
        gc.disable()
    rounds = None
    j0 = busy_jiffies()
    c0 = time.process_time()
    m0 = time.thread_time()
    w0 = time.perf_counter()
    started_ns = time.perf_counter_ns()
    bare = None
    if kind == "main":
        python_loop(hz, seconds, tick)
    elif kind == "bare":
        bare = np.frombuffer(probe.bare_loop_stamps(hz, seconds), dtype=np.int64)
    else:
        if kind == "thread":
            thread = threading.Thread(target=python_loop, args=(hz, seconds, tick), daemon=True)
            thread.start()
        else:
            handle = decorated()
        if live is not None:
            rounds = busy_alloc(seconds)
        elif loaded:
            rounds = busy(seconds)
        else:
            time.sleep(seconds)
        if thread is not None:
            thread.join()
        else:
            handle.stop()
    w1 = time.perf_counter()
    m1 = time.thread_time()
    c1 = time.process_time()
    j1 = busy_jiffies()
    if loaded == "alloc, gc frozen":
        gc.unfreeze()
    elif loaded == "alloc, gc off":
        gc.enable()
    del live

    # let a call that was already under way finish before counting
    time.sleep(0.05)
    n = min(next(counter), capacity)
    stamps = bare if bare is not None else np.sort(np.array(buf[:n], dtype=np.int64))
    result = {
        "stamps": stamps,
        "wall": w1 - w0,
        "cpu": (c1 - c0) / (w1 - w0) * 100.0,
        "main_cpu": (m1 - m0) / (w1 - w0) * 100.0,
        # what the rest of the machine used meanwhile (process_time is finer-grained than the jiffies: clamp)
        "others": None if j0 is None else max(0.0, (j1 - j0) - (c1 - c0)) / (w1 - w0) * 100.0,
        "rounds": rounds,
        "overflow": bare is None and n >= capacity,
        "started_ns": started_ns,
    }
    if handle is not None:
        result["tick_count"] = handle.tick_count()
        result["actual_hz"] = handle.actual_frequency()
        result["still_running"] = handle.is_running()
    return result


def analyse(stamps, hz):
    """Lateness of each call against its nearest grid point, in µs, plus the missed grid points."""
    if stamps.size == 0:
        return None
    period_ns = 1e9 / hz
    t = (stamps - stamps[0]).astype(np.float64)
    k = np.rint(t / period_ns).astype(np.int64)
    late_us = (t - k * period_ns) / 1e3
    # Against the loop's own best phase: the grid is placed where its most punctual 1% of calls start (placed
    # at the first call, a first call delayed by a thread start would make every later one look early; placed
    # at the single earliest call, one outlier would shift every figure).
    late_us -= np.percentile(late_us, 1)
    # Interval error: how far each gap between consecutive calls is from the period.
    gaps_us = np.diff(stamps).astype(np.float64) / 1e3
    interval_err_us = np.abs(gaps_us - period_ns / 1e3) if gaps_us.size else np.zeros(1)
    points, per_point = np.unique(k, return_counts=True)
    distinct = points.size
    grid = int(k[-1]) + 1
    p50, p99, p999 = np.percentile(late_us, [50, 99, 99.9])
    return {
        "late_us": late_us,
        "p50": p50,
        "p99": p99,
        "p999": p999,
        "max": late_us.max(),
        "interval_p99": float(np.percentile(interval_err_us, 99)),
        "calls": int(stamps.size),
        "grid": grid,
        "missed": grid - distinct,
        "shared": int(stamps.size) - distinct,  # calls that landed on an already-used grid point
        "early": int((late_us < -1.0).sum()),  # started before their point, or over half a period late
        "most_on_one": int(per_point.max()),
    }


def loadavg():
    try:
        with open("/proc/loadavg") as f:
            return " ".join(f.read().split()[:3])
    except OSError:
        return "n/a"


def label(kind):
    return {
        "normal": "kestro normal",
        "high": "kestro high",
        "realtime": "kestro realtime",
        "thread": "Python thread",
        "main": "Python main",
        "bare": "C++ empty call",
    }[kind]


def load_text(loaded):
    return {False: "idle", True: "busy"}.get(loaded, loaded)


def fmt_hz(hz):
    return f"{hz // 1000} kHz" if hz % 1000 == 0 else f"{hz} Hz"


def plot(rows, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(15, 6.5), sharey=True)
    styles = {"normal": "-", "high": "-", "realtime": "-", "thread": "--", "main": ":", "bare": "-."}
    colours = {1000: "tab:blue", 5000: "tab:green", 20000: "tab:red"}
    widths = {"normal": 1.0, "high": 1.6, "realtime": 2.4, "thread": 1.6, "main": 1.6, "bare": 1.0}
    for ax, loaded in zip(axes, (False, True)):
        for row in rows:
            if row["loaded"] != loaded or row["stats"] is None:
                continue
            kind, hz, st = row["kind"], row["hz"], row["stats"]
            x = np.sort(st["late_us"])
            # fraction of calls that started later than x
            y = 1.0 - np.arange(x.size) / x.size
            colour = colours[hz]
            if kind == "normal":
                colour = "tab:purple"
            elif kind == "high":
                colour = "tab:orange"
            ax.step(
                x,
                y,
                where="post",
                linestyle=styles[kind],
                linewidth=widths[kind],
                color=colour,
                label=f"{label(kind)} {fmt_hz(hz)} (missed {st['missed'] / max(st['grid'], 1):.1%})",
            )
        ax.set_xscale("symlog", linthresh=1.0)
        ax.set_yscale("log")
        most = max((r["stats"]["calls"] for r in rows if r["stats"]), default=10)
        ax.set_ylim(0.5 / most, 1.5)
        ax.grid(True, which="both", alpha=0.3)
        ax.set_xlabel("start lateness against nearest grid point (µs; linear within ±1 µs, log beyond)")
        ax.set_title("main thread idle (sleeping)" if not loaded else "main thread running busy Python code")
        ax.legend(fontsize=8, loc="lower left")
    axes[0].set_ylabel("fraction of calls later than x")
    fig.suptitle(
        f"kestro timer lateness vs. Python sleep loops, {rows[0]['seconds']:g} s per configuration "
        f"(Python {sys.version.split()[0]}, {os.cpu_count()} cores)"
    )
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)


def print_table(rows, solo_rate):
    base = {(r["hz"], r["loaded"]): r["stats"]["p99"] for r in rows if r["kind"] == "thread" and r["stats"]}
    head = (
        f"{'mode':<16}{'freq':>7}  {'load':<18}{'p50 µs':>9}{'p99 µs':>9}{'p99.9 µs':>10}{'max µs':>9}{'ivl p99':>9}"
        f"{'missed':>17}{'cpu%':>7}{'main%':>7}{'load kept':>10}{'others%':>9}{'p99/thread':>12}"
    )
    print(head)
    print("-" * len(head))
    for r in rows:
        st = r["stats"]
        name = f"{label(r['kind']):<16}{fmt_hz(r['hz']):>7}  {load_text(r['loaded']):<18}"
        if st is None:
            print(f"{name}   no calls recorded")
            continue
        missed = f"{st['missed']} ({st['missed'] / st['grid']:.1%})"
        kept = f"{r['rounds'] / r['wall'] / solo_rate:.0%}" if r["loaded"] is True and solo_rate else "-"
        b = base.get((r["hz"], r["loaded"]))
        if not b or b <= 0:
            ratio = "n/a"
        elif st["p99"] <= 0:
            ratio = "<0 (early)"
        else:
            ratio = f"{st['p99'] / b:.2f}"
        others = "-" if r["others"] is None else f"{r['others']:.0f}"
        print(
            f"{name}{st['p50']:>9.1f}{st['p99']:>9.1f}{st['p999']:>10.1f}{st['max']:>9.1f}{st['interval_p99']:>9.1f}"
            f"{missed:>17}{r['cpu']:>7.0f}{r['main_cpu']:>7.0f}{kept:>10}{others:>9}{ratio:>12}"
        )
    if any(r["loaded"] is True for r in rows):
        print(f"{'Python main':<16}{'all':>7}  {'busy':<18}   not run: the loop needs the main thread, which is busy")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--seconds", type=float, default=10.0, help="duration of each configuration")
    parser.add_argument("--quick", action="store_true", help="2 s per configuration")
    parser.add_argument("--plot", default=os.path.join(HERE, "timer_lateness.png"), help="where to write the PNG")
    parser.add_argument(
        "--switch-interval-us",
        type=float,
        default=None,
        help="sys.setswitchinterval for the busy rows (default: leave the interpreter's, 5000 µs)",
    )
    parser.add_argument("--alloc-only", action="store_true", help="only the rows with an allocating main thread")
    args = parser.parse_args()
    seconds = 2.0 if args.quick else args.seconds

    plan = []
    for loaded in () if args.alloc_only else (False, True):
        for hz in FREQUENCIES:
            plan.append(("thread", hz, loaded))
            if not loaded:
                plan.append(("main", hz, loaded))
            plan.extend((mode, h, loaded) for mode, h in KESTRO_RUNS if h == hz)
            if probe is not None and not loaded and (("realtime", hz) in KESTRO_RUNS):
                plan.append(("bare", hz, loaded))
    for loaded in ALLOC_LOADS:
        plan.extend([("thread", 1000, loaded), ("high", 1000, loaded)])

    before = loadavg()
    print(
        f"{len(plan)} configurations x {seconds:g} s; Python {sys.version.split()[0]}, {os.cpu_count()} cores, "
        f"switch interval {sys.getswitchinterval() * 1e6:.0f} µs",
        file=sys.stderr,
    )
    rows = []
    solo_rate = None
    for kind, hz, loaded in plan:
        if loaded is True and solo_rate is None:
            if args.switch_interval_us is not None:
                sys.setswitchinterval(args.switch_interval_us / 1e6)
            t = time.perf_counter()
            n = busy(min(2.0, seconds))
            solo_rate = n / (time.perf_counter() - t)
        time.sleep(0.2)
        res = run(kind, hz, seconds, loaded)
        st = analyse(res["stamps"], hz)
        rows.append({"kind": kind, "hz": hz, "loaded": loaded, "stats": st, "seconds": seconds, **res})
        calls = st["calls"] if st else 0
        print(f"  {label(kind):<16}{fmt_hz(hz):>7} {load_text(loaded)}: {calls} calls", file=sys.stderr)

    after = loadavg()
    print()
    print(
        f"Python {sys.version.split()[0]}, {os.cpu_count()} cores; load average (1, 5, 15 min) before: {before}, "
        f"after: {after}"
    )
    print(
        f"Start lateness against the grid t0 + k*period (k = nearest grid point, so a call over half a period "
        f"late counts\nagainst a later point and the points it skipped count as missed). {seconds:g} s per row; "
        f"cpu% = process CPU over the row,\n% of one core; main% = the main thread's share of it; load kept = "
        f"the busy main thread's speed vs. running alone;\nothers% = CPU used by other processes on the machine "
        f"meanwhile (% of one core: noise to watch)."
    )
    if args.switch_interval_us is not None:
        print(f"Busy rows ran with sys.setswitchinterval({args.switch_interval_us:g} µs).")
    print()
    print_table(rows, solo_rate)

    notes = []
    for r in rows:
        st = r["stats"]
        name = f"{label(r['kind'])} {fmt_hz(r['hz'])} {load_text(r['loaded'])}"
        if st is None:
            notes.append(f"{name}: no calls at all")
            continue
        items = []
        expected = r["hz"] * r["wall"]
        if st["calls"] < 0.9 * expected:
            items.append(f"{st['calls']} calls in {r['wall']:.2f} s ({st['calls'] / expected:.0%} of those due)")
        if r["kind"] not in ("thread", "main") and st["calls"] > 1:
            s = r["stamps"]
            items.append(
                f"first call {(s[0] - r['started_ns']) / 1e3:.0f} µs after the start, "
                f"second {(s[1] - s[0]) / 1e3:.0f} µs after the first"
            )
        if st["early"]:
            items.append(f"{st['early']} calls before their grid point by over 1 µs (or over half a period late)")
        if st["shared"]:
            items.append(f"{st['shared']} calls on a point already taken, up to {st['most_on_one']} on one")
        if "tick_count" in r and r["tick_count"] != st["calls"]:
            items.append(f"tick_count() = {r['tick_count']} but {st['calls']} calls recorded")
        if r.get("still_running"):
            items.append("is_running() still true after stop()")
        if r["overflow"]:
            items.append("more calls than the buffer holds, the tail was dropped")
        if items:
            notes.append(f"{name}: " + "; ".join(items))
    if notes:
        print()
        print("Notes:")
        for n in notes:
            print(f"  {n}")

    if not args.alloc_only:
        plot(rows, args.plot)
        print(f"\nplot: {os.path.relpath(args.plot)}")


if __name__ == "__main__":
    main()
