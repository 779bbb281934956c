# Timers: validation, the three loops (first call, grid, overrun, stop checks), handles, warnings, and timers
# started from background tasks and from other timers.
import math
import os
import select
import shutil
import subprocess
import sys
import time

import pytest

import kestro
from kestro_testing import EMULATED, run_python, subprocess_env

MODES = [
    ("normal", lambda hz: kestro.timer(hz)),
    ("high", lambda hz: kestro.precision_timer(hz)),
    ("realtime", lambda hz: kestro.precision_timer(hz, realtime=True)),
]


def wait_for(predicate, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        if predicate():
            return True
        time.sleep(0.002)
    return predicate()


@pytest.mark.parametrize("make", [kestro.timer, kestro.Timer, kestro.precision_timer, kestro.PrecisionTimer])
@pytest.mark.parametrize("hz", [0, -1, math.nan, -math.inf])
def test_frequency_must_be_positive(make, hz):
    with pytest.raises(ValueError, match="^frequency_hz must be positive$"):
        make(hz)


def test_period_is_the_float_seconds_rounded_once_to_whole_nanoseconds():
    from fractions import Fraction

    probe = pytest.importorskip("_kestro_probe", reason="the test probe module is built by ./dev test")
    for hz in (5120, 25600, 128000, 731.43, 7, 1000, 3, 0.3, 1e9):
        exact = round(Fraction(1.0 / hz) * 10**9)  # round() of a Fraction: nearest, ties to even
        assert probe.timer_period_ns(float(hz)) == exact, hz
    assert probe.timer_period_ns(5120.0) == 195313


def test_repr_keeps_its_decimal_point_under_a_decimal_comma_locale(tmp_path):
    # A program that calls locale.setlocale(LC_ALL, "de_DE.UTF-8") must still get "freq=100.0Hz".
    if not (shutil.which("localedef") and os.path.exists("/usr/share/i18n/locales/de_DE")):
        pytest.skip("needs localedef and Debian's locales package")
    subprocess.run(["localedef", "-i", "de_DE", "-f", "UTF-8", str(tmp_path / "de_DE.UTF-8")], check=True)
    r = run_python(
        """
        import locale, kestro
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        assert locale.localeconv()["decimal_point"] == ","
        h = kestro.timer(100)(lambda: None)()
        print(repr(h))
        h.stop()
        """,
        env={"LOCPATH": str(tmp_path)},
    )
    assert r.returncode == 0, r.stderr
    assert ", freq=100.0Hz, actual=" in r.stdout


@pytest.mark.parametrize("make", [kestro.timer, lambda hz: kestro.precision_timer(hz, realtime=True)])
@pytest.mark.parametrize("hz", [math.inf, 1e300, 1e-300])
def test_frequency_without_a_schedulable_period_is_refused(make, hz):
    with pytest.raises(ValueError, match="schedulable period"):
        make(hz)


def test_precision_limit_and_realtime_flag():
    kestro.precision_timer(10000)
    with pytest.raises(ValueError, match=r"^frequency > 10kHz requires realtime=True$"):
        kestro.precision_timer(10000.000001)
    with pytest.raises(ValueError, match="realtime=True"):
        kestro.PrecisionTimer(20000, realtime=False)
    kestro.precision_timer(20000, realtime=True)
    kestro.PrecisionTimer(frequency_hz=20000, realtime=True)
    for bad in (1, 0, None, "yes", 1.0):
        with pytest.raises(TypeError, match="argument 'realtime'"):
            kestro.precision_timer(100, realtime=bad)
    with pytest.raises(TypeError, match="argument 'frequency_hz'"):
        kestro.timer("10")
    numpy = pytest.importorskip("numpy")
    assert "realtime" in repr(kestro.precision_timer(20000, realtime=numpy.bool_(True))(print))


def test_decorating_a_non_callable():
    with pytest.raises(TypeError, match="^timer decorator requires a callable$"):
        kestro.timer(10)(5)
    with pytest.raises(TypeError, match="^precision_timer decorator requires a callable$"):
        kestro.precision_timer(10)("x")
    with pytest.raises(TypeError):
        kestro.TimerWrapper()


@pytest.mark.parametrize("hz, text", [(10.0, "10"), (0.5, "0.5"), (100, "100"), (1 / 3, "0.3333333333333333"),
                                      (1234.5, "1234.5")])
def test_wrapper_repr(hz, text):
    assert repr(kestro.timer(hz)(print)) == f"TimerWrapper(frequency={text}Hz, mode=normal)"
    assert repr(kestro.precision_timer(hz)(print)) == f"TimerWrapper(frequency={text}Hz, mode=high)"
    assert repr(kestro.precision_timer(hz, realtime=True)(print)) == f"TimerWrapper(frequency={text}Hz, mode=realtime)"


@pytest.mark.parametrize("mode, make", MODES)
def test_first_call_is_immediate_and_the_handle_reports(mode, make):
    calls = []
    wrapper = make(10)(lambda *a: calls.append(a))
    h = wrapper(1, "two")
    try:
        assert h.tick_count() in (0, 1)
        assert h.is_running()
        assert wait_for(lambda: h.tick_count() >= 1)
        assert calls[0] == (1, "two")
        assert h.frequency() == 10.0
        assert h.precision_mode() == mode
        assert repr(h).startswith(f"TimerHandle(id={h.task_id}, freq=10.0Hz, actual=")
        assert repr(h).endswith(f"mode={mode}, ticks={h.tick_count()}, running=true)") or h.tick_count() > 1
    finally:
        h.stop()
    assert not h.is_running()
    assert "running=false" in repr(h)


@pytest.mark.parametrize("mode, make, name", [(*m, n) for m, n in zip(MODES[1:], ("High", "Realtime"))])
def test_a_precision_timer_thread_has_its_name_when_the_handle_is_returned(mode, make, name):
    # A program that gives its timer's thread a real-time priority looks it up by name right after start.
    h = make(200)(lambda: None)()
    try:
        names = set()
        for tid in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{tid}/comm") as f:
                    names.add(f.read().strip())
            except FileNotFoundError:
                pass
    finally:
        h.stop()
    assert f"timer-{h.task_id}-{name}"[:15] in names  # the system keeps 15 bytes of a thread name


@pytest.mark.parametrize("mode, make", MODES)
def test_stop_ends_the_loop_and_counters_behave(mode, make):
    h = make(200)(lambda: None)()
    assert wait_for(lambda: h.tick_count() >= 3)
    h.stop()
    assert not h.is_running()
    time.sleep(0.1)
    settled = h.tick_count()
    before = (h.elapsed_secs(), h.actual_frequency())
    time.sleep(0.1)
    assert h.tick_count() == settled
    assert h.elapsed_secs() > before[0]
    assert h.actual_frequency() < before[1]
    h.stop()  # stopping again changes nothing


@pytest.mark.parametrize("mode, make", MODES)
def test_a_stopped_timer_lets_go_of_its_function_at_once(py, mode, make):
    # Whatever the function holds (a device and its socket, say) goes with the timer, not at some later,
    # unrelated call into Python. The function is a callable object: free-threaded 3.13 makes every
    # function immortal.
    r = py(
        f"""
        import functools, kestro, sys, threading, time, weakref
        class Held:
            pass
        class Tick:
            def __init__(self, held):
                self.held = held
            def __call__(self):
                pass
        held, gone = Held(), threading.Event()
        weakref.finalize(held, gone.set)
        tick = Tick(held)
        make = {{"normal": kestro.timer, "high": kestro.precision_timer,
                 "realtime": functools.partial(kestro.precision_timer, realtime=True)}}["{mode}"]
        h = make(200)(tick)()
        del held, tick
        while h.tick_count() < 2:
            time.sleep(0.001)
        h.stop()
        if sys._is_gil_enabled():
            print(gone.wait({60 if EMULATED else 10}))
        else:
            # Free-threaded CPython frees an object that another thread let go of when the thread that made
            # it (this one) next runs Python.
            deadline = time.monotonic() + {60 if EMULATED else 10}
            while not gone.is_set() and time.monotonic() < deadline:
                time.sleep(0.01)
            print(gone.is_set())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


def test_each_timer_and_task_calls_in_a_context_of_its_own(py):
    # Normal timers share the blocking pool's threads and tasks the workers: what one function leaves in
    # its context (a context variable, the decimal precision) must not reach another's calls there.
    r = py(
        """
        import contextvars, decimal, kestro, time
        var = contextvars.ContextVar("var", default="default")
        var.set("starter")
        seen = {"timer": set(), "task": set(), "setter": set()}
        def setter(kind):
            seen["setter"].add((kind, var.get()))
            var.set(kind)
            decimal.getcontext().prec = 3
        def watcher(kind):
            seen[kind].add((var.get(), decimal.getcontext().prec))
        timers = [kestro.timer(1000)(setter)("timer-setter"), kestro.timer(1000)(watcher)("timer")]
        for _ in range(300):
            kestro.run_async(setter)("task-setter").wait()
            kestro.run_async(watcher)("task").wait()
        while timers[0].tick_count() < 100 or timers[1].tick_count() < 100:
            time.sleep(0.01)
        for t in timers:
            t.stop()
        time.sleep(0.1)
        print(sorted(seen["timer"]), sorted(seen["task"]))
        print(sorted(seen["setter"]))
        print(var.get(), decimal.getcontext().prec)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "[('starter', 28)] [('starter', 28)]",
        # Each start has its own copy of the starter's context, which a timer keeps from call to call.
        "[('task-setter', 'starter'), ('timer-setter', 'starter'), ('timer-setter', 'timer-setter')]",
        "starter 28",
    ]


def test_two_starts_of_one_wrapper_are_two_timers_with_consecutive_ids():
    wrapper = kestro.precision_timer(50)(lambda: None)
    a, b = wrapper(), wrapper()
    try:
        assert b.task_id == a.task_id + 1
        assert a.is_running() and b.is_running()
    finally:
        a.stop()
        b.stop()


def test_keyword_arguments_start_nothing():
    wrapper = kestro.timer(10)(lambda **k: None)
    tm = kestro.TaskManager()
    total = tm.total_count
    with pytest.raises(TypeError, match="unexpected keyword"):
        wrapper(x=1)
    assert tm.total_count == total
    next_id = kestro.run_async(lambda: None)()
    next_id.wait()
    probe = wrapper()
    probe.stop()
    assert probe.task_id == next_id.task_id + 1  # the refused call drew no id


@pytest.mark.parametrize("mode, make", MODES)
def test_overrun_keeps_the_grid(mode, make):
    # Period 100 ms; the first call takes 250 ms. The second call follows at once (250 ms), the third falls
    # back on the grid (300 ms), not a period after the second (350 ms).
    starts = []

    def work():
        starts.append(time.monotonic())
        if len(starts) == 1:
            time.sleep(0.25)

    h = make(10)(work)()
    try:
        assert wait_for(lambda: len(starts) >= 4, timeout=20)
    finally:
        h.stop()
    t0 = starts[0]
    offsets = [s - t0 for s in starts[:4]]
    assert offsets[1] == pytest.approx(0.25, abs=0.04)
    assert offsets[2] == pytest.approx(0.30, abs=0.04)
    assert offsets[3] == pytest.approx(0.40, abs=0.04)


def test_dropping_a_running_handle_warns_stops_and_unregisters(py):
    r = py(
        """
        import kestro, time
        tm = kestro.TaskManager()
        calls = []
        h = kestro.timer(100)(lambda: calls.append(1))()
        time.sleep(0.05)
        total = tm.total_count
        del h
        print(tm.total_count == total - 1)
        time.sleep(0.05); n = len(calls); time.sleep(0.1)
        print(len(calls) == n)
        h = kestro.timer(100)(lambda: None)()
        h.stop(); del h                      # stopped first: no warning
        kestro.precision_timer(100)(lambda: None)()   # never kept
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["True", "True"]
    assert r.stderr == (
        "Warning: TimerHandle(id=1) dropped while still running. Make sure to save the handle returned by "
        "timer-decorated functions.\n"
        "Warning: TimerHandle(id=3) dropped while still running. Make sure to save the handle returned by "
        "timer-decorated functions.\n"
    )


def test_raising_function_reports_every_tick_and_keeps_counting(py):
    r = py(
        """
        import kestro, time
        class Broken(Exception):
            def __str__(self):
                raise RuntimeError
        def fail():
            raise ValueError("bad value")
        h = kestro.precision_timer(50)(fail)()
        while h.tick_count() < 5:
            time.sleep(0.001)
        h.stop(); time.sleep(0.1)
        print(h.tick_count())
        def broken():
            raise Broken()
        h2 = kestro.timer(50)(broken)()
        while h2.tick_count() < 1:
            time.sleep(0.001)
        h2.stop(); time.sleep(0.1)
        print(h2.tick_count())
        """
    )
    assert r.returncode == 0, r.stderr
    ticks, ticks2 = (int(x) for x in r.stdout.split())
    lines = r.stderr.splitlines()
    assert lines.count("Timer function error: ValueError: bad value") == ticks
    assert lines.count("Timer function error: Broken: <exception str() failed>") == ticks2
    assert len(lines) == ticks + ticks2


UNREAD_PIPE_CALLBACKS = {
    "normal timer that raises": ("kestro.timer(1000)", 'raise ValueError("x" * 1000)'),
    "high timer that raises": ("kestro.precision_timer(1000)", 'raise ValueError("x" * 1000)'),
    "realtime timer that raises": ("kestro.precision_timer(1000, realtime=True)", 'raise ValueError("x" * 1000)'),
    # Each dropped running handle warns; the inner timer stops within its first period.
    "timer that drops running handles": ("kestro.timer(500)", "kestro.precision_timer(2000)(int)()"),
}


@pytest.mark.parametrize("case", list(UNREAD_PIPE_CALLBACKS))
def test_lines_into_an_unread_pipe_never_stop_the_program(case):
    # A launcher that pipes standard error and reads only standard output: once the pipe is full, a timer
    # thread writing its line while it holds the interpreter lock would stop every Python thread.
    make, body = UNREAD_PIPE_CALLBACKS[case]
    code = f"""
import kestro, time
def callback():
    {body}
h = {make}(callback)()
for i in range(300):
    print(i, flush=True)
    time.sleep(0.01)
print("done", flush=True)
"""
    p = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=subprocess_env())
    try:
        out, deadline = b"", time.monotonic() + (120 if EMULATED else 30)
        while b"done" not in out and time.monotonic() < deadline and p.poll() is None:
            if select.select([p.stdout], [], [], 0.1)[0]:
                out += os.read(p.stdout.fileno(), 4096)
        assert b"done" in out, out[-200:]
    finally:
        p.kill()
        p.communicate()


def test_coroutine_function_warns_once_per_start(py):
    r = py(
        """
        import kestro, time, warnings
        warnings.simplefilter("ignore")
        async def step():
            pass
        wrapper = kestro.timer(50)(step)
        handles = [wrapper(), wrapper()]
        time.sleep(0.1)
        for h in handles:
            h.stop()
        """
    )
    assert r.returncode == 0, r.stderr
    warning = ("Warning: Timer callback is an async function (coroutine function). It will not be awaited and "
               "will likely fail to execute properly. Please use a synchronous function.")
    assert r.stderr.splitlines().count(warning) == 2


def test_after_a_registry_wide_stop_new_timers_never_call(py):
    r = py(
        """
        import kestro, time
        kestro.shutdown_all()
        calls = []
        handles = [make(100)(lambda: calls.append(1))() for make in
                   (kestro.timer, kestro.precision_timer, lambda hz: kestro.precision_timer(hz, realtime=True))]
        time.sleep(0.2)
        print(calls, [h.is_running() for h in handles])
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "[] [False, False, False]"


def test_registry_counts_timers_and_stop_all_ends_them(py):
    r = py(
        """
        import kestro, time
        tm = kestro.TaskManager()
        handles = [make(200)(lambda: None)() for make in
                   (kestro.timer, kestro.precision_timer, lambda hz: kestro.precision_timer(hz, realtime=True))]
        print(tm.timer_count, tm.status()["running_timers"])
        tm.stop_all()
        time.sleep(0.1)
        counts = [h.tick_count() for h in handles]
        time.sleep(0.1)
        print([h.tick_count() for h in handles] == counts, [h.is_running() for h in handles], tm.timer_count)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["3 3", "True [False, False, False] 0"]


def test_thread_name_is_cut_to_fifteen_bytes(py):
    r = py(
        """
        import kestro, os, time
        for _ in range(11):
            kestro.run_async(lambda: None)().wait()
        h = kestro.precision_timer(100, realtime=True)(lambda: None)()
        time.sleep(0.05)
        names = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        h.stop()
        h2 = kestro.precision_timer(100)(lambda: None)()
        time.sleep(0.05)
        names2 = [open(f"/proc/self/task/{t}/comm").read().strip() for t in os.listdir("/proc/self/task")]
        h2.stop()
        print(h.task_id, "timer-12-Realti" in names, "timer-13-High" in names2)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.split() == ["12", "True", "True"]


def test_timers_start_from_a_background_task_and_from_a_timer():
    inner_calls = []
    started = []

    def start_inner():
        if not started:
            started.append(kestro.precision_timer(100)(lambda: inner_calls.append(1))())

    outer = kestro.timer(50)(start_inner)()
    from_task = kestro.run_async(lambda: kestro.timer(100)(lambda: inner_calls.append(2))())().wait()
    try:
        assert wait_for(lambda: 1 in inner_calls and 2 in inner_calls)
        assert from_task.precision_mode() == "normal"
    finally:
        outer.stop()
        from_task.stop()
        wait_for(lambda: bool(started))
        for h in started:
            h.stop()


def test_actual_frequency_is_near_the_configured_one():
    h = kestro.precision_timer(200)(lambda: None)()
    time.sleep(0.5)
    h.stop()
    # A loose check: the loop runs at its frequency, not at some other rate.
    assert 100 < h.tick_count() / h.elapsed_secs() * 1.0 < 400
