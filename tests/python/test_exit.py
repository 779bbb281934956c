# Ending a program while background tasks still run: prompt exit with the program's own status, no crash,
# no abort message, no hang, even when a background function never returns.
import subprocess
import sys
import time

import pytest

from kestro_testing import EMULATED, SANITIZED, run_python, subprocess_env

RUNS = 10 if SANITIZED or EMULATED else 50
# Seconds from the program's last line to its end that still count as prompt (typically ~50 ms natively; a
# hang would take the 30 s time-out).
PROMPT = 15 if EMULATED else 5 if SANITIZED else 2

# 3.13t neither ends nor keeps off the daemon threads that run Python while it finalizes: such a thread can
# resume on a thread state the interpreter has already freed and crash the process (CPython gh-124149, fixed
# in 3.14). Threads that run Python at exit are what these tests are about.
python_running_at_exit = pytest.mark.skipif(
    not getattr(sys, "_is_gil_enabled", lambda: True)() and sys.version_info < (3, 14),
    reason="not on this interpreter: 3.13t can crash when a daemon thread runs Python during finalization",
)

ENDINGS = {
    "end of script": ("", 0),
    "sys.exit": ("import sys; sys.exit(7)", 7),
    "uncaught exception": ("raise KeyError('end')", 1),
}

PROGRAM = """
import kestro, time
def forever():
    while True:
        time.sleep(0.001)
def spin():
    x = 0
    while True:
        x += 1
handles = [kestro.run_async(forever)() for _ in range(3)] + [kestro.run_async(spin)()]
quick = [kestro.run_async(lambda i: i)(i) for i in range(20)]
time.sleep(0.02)
print(time.time(), flush=True)
{ending}
"""


@python_running_at_exit
@pytest.mark.parametrize("ending", list(ENDINGS))
def test_program_ends_promptly_while_tasks_run(ending):
    code, status = ENDINGS[ending]
    for _ in range(RUNS):
        r = run_python(PROGRAM.format(ending=code), timeout=30)
        ended = time.time()
        assert r.returncode == status, r.stderr
        for bad in ("Fatal", "FATAL", "Aborted", "terminate called", "panic", "Segmentation"):
            assert bad not in r.stderr, r.stderr
        last_line = float(r.stdout.split()[0])
        assert ended - last_line < PROMPT, ended - last_line


QUEUED_PROGRAM = """
import kestro, sys, time
def forever():
    while True:
        time.sleep(0.001)
handles = [kestro.run_async(forever)() for _ in range(2)]
queued = [kestro.run_async(lambda i: (i, [i]))(i) for i in range(300)]
print(time.time(), flush=True)
sys.exit(7)
"""


@python_running_at_exit
def test_program_ends_while_tasks_are_still_queued():
    # Tasks that reach a worker after the interpreter began to exit drop their function and arguments on a
    # thread without the interpreter lock: they must be left alone, not released.
    for _ in range(RUNS * 2):
        r = run_python(QUEUED_PROGRAM, timeout=30)
        assert r.returncode == 7, r.stderr
        assert "Fatal" not in r.stderr, r.stderr


TIMER_PROGRAM = """
import kestro, time
def work():
    time.sleep(0.0005)
handles = [{make}(work)() for _ in range(2)]
background = kestro.run_async(lambda: time.sleep(100))()
time.sleep(0.03)
print(time.time(), flush=True)
{ending}
"""
TIMER_MAKERS = {
    "normal": "kestro.timer(500)",
    "high": "kestro.precision_timer(1000)",
    "realtime": "kestro.precision_timer(2000, realtime=True)",
}


@python_running_at_exit
@pytest.mark.parametrize("mode", list(TIMER_MAKERS))
def test_program_ends_promptly_while_timers_run(mode):
    endings = list(ENDINGS.values())
    for i in range(RUNS):
        code, status = endings[i % len(endings)]
        r = run_python(TIMER_PROGRAM.format(make=TIMER_MAKERS[mode], ending=code), timeout=30)
        ended = time.time()
        assert r.returncode == status, r.stderr
        for bad in ("Fatal", "FATAL", "Aborted", "terminate called", "panic", "Segmentation"):
            assert bad not in r.stderr, r.stderr
        assert ended - float(r.stdout.split()[0]) < PROMPT


FULL_PIPE_PROGRAM = """
import kestro, time
def fail():
    raise ValueError("x" * 1000)
h = kestro.precision_timer(1000)(fail)()
time.sleep(0.5)  # the error lines fill the pipe many times over
print("end", flush=True)
"""


# A thread of the program's own that prints a shutdown line while the pipe is already full.
FULL_PIPE_BEFORE_A_LINE_PROGRAM = """
import fcntl, os, threading, time, kestro
flags = fcntl.fcntl(2, fcntl.F_GETFL)
fcntl.fcntl(2, fcntl.F_SETFL, flags | os.O_NONBLOCK)
try:
    while True:
        os.write(2, b"x" * 4096)
except BlockingIOError:
    pass
fcntl.fcntl(2, fcntl.F_SETFL, flags)
threading.Thread(target=kestro.block_until, args=(10,), daemon=True).start()
time.sleep(0.5)  # its line is stuck in the pipe
print("end", flush=True)
"""


@python_running_at_exit
@pytest.mark.parametrize("program", [FULL_PIPE_PROGRAM, FULL_PIPE_BEFORE_A_LINE_PROGRAM],
                         ids=["timer error lines", "a shutdown line"])
def test_program_ends_while_standard_error_is_a_full_pipe_nobody_reads(program):
    # Lines still waiting for the pipe are given a bounded moment at exit, then left behind; none may hold
    # a lock that the interpreter's exit takes (stdio's, which it flushes).
    p = subprocess.Popen([sys.executable, "-c", program], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                         env=subprocess_env())
    try:
        assert p.stdout.readline() == b"end\n"
        try:
            p.wait(timeout=PROMPT * 5)
        except subprocess.TimeoutExpired:
            pytest.fail("the program did not end while its standard error was full")
        assert p.returncode == 0
    finally:
        p.kill()
        p.communicate()


SLOW_RELEASE_PROGRAM = """
import gc, kestro, threading, time
releasing = threading.Event()
class Slow:
    def __del__(self, sleep=time.sleep):
        releasing.set()
        sleep(0.3)  # lets go of the interpreter lock: the program ends meanwhile
class Lingering:
    def __del__(self, sleep=time.sleep):
        sleep(1.0)  # the interpreter's finalization lasts until the module thread wakes
# Left for the collection at exit, which runs after finalization began.
gc.disable()
lingering = Lingering()
lingering.cycle = lingering
del lingering
def make():
    held = Slow()
    def use():
        held
    return use
{start}
assert releasing.wait(30)
print("end", flush=True)
"""
SLOW_RELEASE_STARTS = {
    "stopped timer": """
h = kestro.precision_timer(200)(make())()
while h.tick_count() < 2:
    time.sleep(0.001)
h.stop()
""",
    "finished task": "h = kestro.run_async(make())()",
}


@python_running_at_exit
@pytest.mark.skipif(
    SANITIZED,
    reason="AddressSanitizer's own no-return hook trips on the stack of a thread that CPython ends at exit",
)
@pytest.mark.parametrize("start", list(SLOW_RELEASE_STARTS))
def test_program_ends_while_a_module_thread_releases_an_object_that_sleeps(start):
    # CPython ends a thread that takes the lock back after finalization began by unwinding it: the unwind
    # must meet no frame that may not throw on the way, or the process aborts.
    for _ in range(3):
        r = run_python(SLOW_RELEASE_PROGRAM.format(start=SLOW_RELEASE_STARTS[start]), timeout=30)
        assert r.returncode == 0, r.stderr
        assert r.stdout == "end\n"
        for bad in ("Fatal", "FATAL", "terminate called", "Aborted"):
            assert bad not in r.stderr, r.stderr
