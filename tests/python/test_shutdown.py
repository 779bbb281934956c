# Signal-driven shutdown with real signals sent to subprocesses: block_all, block_until and shutdown_all,
# their lines and results, and what the process's signal handling looks like afterwards.
import os
import select
import signal
import subprocess
import sys
import textwrap
import time

import pytest

import kestro
from kestro_testing import EMULATED, run_python, subprocess_env

RECEIVED = "\n[kestro] Received {}, initiating graceful shutdown...\n"
STOPPING = "\n[kestro] Stopping (reason: {}), initiating graceful shutdown...\n"
SUCCESS = "[kestro] All tasks stopped successfully\n"
TIMED_OUT = "[kestro] Shutdown timed out, some tasks may still be running\n"


class Program:
    """A subprocess that prints READY before it parks; the test then sends it signals."""

    def __init__(self, code):
        self.proc = subprocess.Popen([sys.executable, "-c", textwrap.dedent(code)], stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, text=True, env=subprocess_env())

    def wait_ready(self, marker="READY"):
        line = self.proc.stdout.readline()
        assert line.strip() == marker, (line, self.proc.stderr.read() if self.proc.poll() is not None else "")
        time.sleep(0.2)  # let it enter the wait

    def kill(self, sig):
        os.kill(self.proc.pid, sig)

    def finish(self, timeout=30):
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, out, err


@pytest.mark.parametrize("sig, name", [(signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")])
def test_block_all_returns_the_signal_and_stops_everything(sig, name):
    p = Program(
        """
        import kestro, threading
        release = threading.Event()
        h = kestro.run_async(release.wait)()
        print("READY", flush=True)
        print(kestro.block_all())
        tm = kestro.TaskManager()
        print(tm.async_task_count, tm.status()["stopped"])
        release.set(); h.wait()
        print("after")
        """
    )
    p.wait_ready()
    p.kill(sig)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.splitlines() == [name, "0 1", "after"]
    assert err == RECEIVED.format(name) + SUCCESS


def test_block_until_deadline_without_tasks(py):
    r = py(
        """
        import kestro, time
        start = time.perf_counter()
        print(kestro.block_until(wait_ms=0))
        print(time.perf_counter() - start < 1.0)
        print(kestro.block_until(wait_ms=30, shutdown_timeout_ms=0))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["('timeout', True)", "True", "('timeout', True)"]
    assert r.stderr == (STOPPING.format("timeout") + SUCCESS) * 2


@pytest.mark.parametrize("sig, name", [(signal.SIGINT, "SIGINT"), (signal.SIGTERM, "SIGTERM")])
def test_block_until_ended_by_a_signal(sig, name):
    p = Program(
        """
        import kestro
        print("READY", flush=True)
        print(kestro.block_until(wait_ms=60000))
        print("no KeyboardInterrupt")
        """
    )
    p.wait_ready()
    p.kill(sig)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.splitlines() == [f"('signal:{name}', True)", "no KeyboardInterrupt"]
    assert err == STOPPING.format(f"signal:{name}") + SUCCESS


def test_block_all_answers_while_background_functions_hold_every_worker():
    # Long functions lend their worker's place: the signal wait still runs however many of them there are.
    p = Program(
        """
        import kestro, os, threading
        release = threading.Event()
        handles = [kestro.run_async(release.wait)() for _ in range(len(os.sched_getaffinity(0)) + 2)]
        print("READY", flush=True)
        print(kestro.block_all())
        release.set()
        print([h.wait() for h in handles].count(True))
        """
    )
    p.wait_ready()
    p.kill(signal.SIGINT)
    code, out, err = p.finish()
    assert code == 0, err
    lines = out.splitlines()
    assert lines[0] == "SIGINT"
    assert int(lines[1]) >= 3


def test_signal_line_comes_at_once_while_functions_wait_for_a_held_interpreter_lock():
    # Functions queued while the main thread holds the interpreter lock in a long C call wait for it on
    # every worker; the workers must lend their places before that wait, or the signal is not even
    # noticed until the call ends.
    pytest.importorskip("_kestro_probe", reason="the test probe module is built by ./dev test")
    hold_ms = 120_000 if EMULATED else 30_000
    p = Program(
        """
        import kestro, os, signal, sys, threading, time, _kestro_probe
        threading.Thread(target=kestro.block_all, daemon=True).start()
        time.sleep(0.3)  # until the wait has begun
        sys.setswitchinterval(60)  # nothing below gives the lock up of its own accord
        print("READY", flush=True)
        handles = [kestro.run_async(lambda: None)() for _ in range(len(os.sched_getaffinity(0)) + 2)]
        os.kill(os.getpid(), signal.SIGTERM)
        _kestro_probe.hold_interpreter({hold_ms})
        """.replace("{hold_ms}", str(hold_ms))
    )
    try:
        p.wait_ready()
        started = time.monotonic()
        # Read until the line arrives (a hang shows as the hold's whole length).
        line, seen = RECEIVED.format("SIGTERM").strip().encode(), b""
        while line not in seen and time.monotonic() - started < hold_ms / 2000:
            if select.select([p.proc.stderr], [], [], 0.1)[0]:
                seen += os.read(p.proc.stderr.fileno(), 4096)
        assert line in seen, (time.monotonic() - started, seen)
    finally:
        p.proc.kill()
        p.proc.communicate()


def test_handlers_after_the_wait():
    p = Program(
        """
        import kestro, signal, time
        # Started from a shell's background job, the program inherits SIGINT ignored, and then Python sets
        # no handler of its own for it: give it the one it has when started from a terminal.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        seen = []
        signal.signal(signal.SIGUSR1, lambda *a: None)
        print(kestro.block_until(wait_ms=50))
        print("READY", flush=True)
        # SIGTERM no longer ends the process; Ctrl+C still raises KeyboardInterrupt in ordinary code.
        deadline = time.time() + 20
        got_ki = False
        while time.time() < deadline and not got_ki:
            try:
                time.sleep(0.01)
            except KeyboardInterrupt:
                got_ki = True
        print("KeyboardInterrupt" if got_ki else "no KeyboardInterrupt", flush=True)
        """
    )
    line = p.proc.stdout.readline()
    assert line.strip() == "('timeout', True)"
    p.wait_ready()
    p.kill(signal.SIGTERM)
    time.sleep(0.3)
    assert p.proc.poll() is None  # still alive
    p.kill(signal.SIGINT)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.strip() == "KeyboardInterrupt"


def test_program_handler_installed_before_still_runs():
    p = Program(
        """
        import kestro, signal
        calls = []
        signal.signal(signal.SIGTERM, lambda s, f: calls.append(s))
        print("READY", flush=True)
        print(kestro.block_all())
        print(calls == [signal.SIGTERM])
        """
    )
    p.wait_ready()
    p.kill(signal.SIGTERM)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.splitlines() == ["SIGTERM", "True"]


def test_a_signal_outside_any_wait_does_not_end_a_later_one():
    p = Program(
        """
        import kestro, time
        kestro.block_until(wait_ms=0)          # installs the handlers
        print("READY", flush=True)
        time.sleep(1.0)                        # SIGTERM arrives here, while nobody waits
        print(kestro.block_until(wait_ms=300))
        """
    )
    p.wait_ready()
    p.kill(signal.SIGTERM)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.splitlines()[-1] == "('timeout', True)"


def test_second_wait_works_like_the_first():
    p = Program(
        """
        import kestro
        for _ in range(2):
            print("READY", flush=True)
            print(kestro.block_all(), flush=True)
        """
    )
    for name, sig in (("SIGINT", signal.SIGINT), ("SIGTERM", signal.SIGTERM)):
        p.wait_ready()
        p.kill(sig)
        assert p.proc.stdout.readline().strip() == name
    code, out, err = p.finish()
    assert code == 0, err
    assert err == RECEIVED.format("SIGINT") + SUCCESS + RECEIVED.format("SIGTERM") + SUCCESS


def test_shutdown_all_prints_nothing(py):
    r = py(
        """
        import kestro, threading
        print(kestro.shutdown_all(), kestro.shutdown_all(timeout_ms=0))
        release = threading.Event()
        h = kestro.run_async(release.wait)()
        print(kestro.shutdown_all(timeout_ms=1000), kestro.TaskManager().async_task_count)
        release.set(); h.wait()
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == ["True True", "True 0"]
    assert r.stderr == ""


@pytest.mark.parametrize("call, name", [
    (lambda: kestro.block_all(-1), "timeout_ms"),
    (lambda: kestro.block_until(wait_ms=-1), "wait_ms"),
    (lambda: kestro.block_until(0, -5), "shutdown_timeout_ms"),
    (lambda: kestro.shutdown_all(2**64), "timeout_ms"),
])
def test_bad_arguments_stop_nothing(call, name):
    import threading

    release = threading.Event()
    h = kestro.run_async(release.wait)()
    try:
        with pytest.raises(OverflowError, match=name):
            call()
        assert kestro.TaskManager().async_task_count >= 1  # still running: nothing was stopped
    finally:
        release.set()
        h.wait()
    with pytest.raises(TypeError, match="wait_ms"):
        kestro.block_until("1")


def test_block_until_from_a_background_task(py):
    r = py(
        """
        import kestro
        h = kestro.run_async(lambda: kestro.block_until(wait_ms=20))()
        print(h.wait(timeout_ms=20000))
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "('timeout', True)"


def test_one_signal_ends_every_wait_that_overlaps_it():
    # A wait in a background task and one on the main thread: each must hear the one SIGTERM, and the wait
    # that starts second must not swallow what the first one is owed.
    p = Program(
        """
        import kestro, time
        h = kestro.run_async(kestro.block_all)(2000)
        time.sleep({settle})
        print("READY", flush=True)
        print(kestro.block_until(wait_ms=10000, shutdown_timeout_ms=3000)[0], flush=True)
        print(h.wait(timeout_ms=5000))
        """.replace("{settle}", "3.0" if EMULATED else "0.3")  # until the background wait has begun
    )
    p.wait_ready()
    p.kill(signal.SIGTERM)
    code, out, err = p.finish()
    assert code == 0, err
    assert out.splitlines() == ["signal:SIGTERM", "SIGTERM"], err
