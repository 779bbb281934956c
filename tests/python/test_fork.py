# A process forked after kestro started its threads (multiprocessing's default on Linux before 3.14): the
# child gets an immediate RuntimeError where it would have waited for threads that are not there, keeps what
# needs none of them, and ends; the parent goes on as before.
import json

from kestro_testing import EMULATED, SANITIZED, run_python

# Seconds the parent gives the child; a hang (the fault this guards against) takes all of them.
CHILD_LIMIT = 60 if EMULATED or SANITIZED else 20

PROGRAM = f"""
import json, os, signal, sys, threading, time
import kestro

release = threading.Event()
pending = kestro.run_async(release.wait)()  # still running when the process forks
assert kestro.run_async(lambda: 7)().wait() == 7
ticks = []
timer = kestro.precision_timer(1000)(lambda: ticks.append(1))()
time.sleep(0.05)
# Keep the interpreter lock on this thread for a while, so that the timer thread is caught taking it (and
# holding the module's entry lock) when the process forks.
sys.setswitchinterval(30)
end = time.perf_counter() + 0.02
while time.perf_counter() < end:
    pass
pid = os.fork()
sys.setswitchinterval(0.005)
if pid == 0:
    out = {{}}
    calls = {{
        "run_async": lambda: kestro.run_async(lambda: 1)(),
        "wait": pending.wait,
        "try_result": pending.try_result,
        "timer": lambda: kestro.timer(100)(lambda: None)(),
    }}
    for name, call in calls.items():
        try:
            call()
            out[name] = "no error"
        except RuntimeError as e:
            out[name] = str(e)
    child_ticks = []
    child_timer = kestro.precision_timer(1000)(lambda: child_ticks.append(1))()
    time.sleep(0.2)
    out["child_ticks"] = len(child_ticks)
    # Stops the child's own timer; the parent's task and timer are not the child's to wait for.
    out["shutdown_all"] = kestro.shutdown_all(5000)
    out["child_timer_running"] = child_timer.is_running()
    del timer, pending  # the parent's handles go in the child too
    print("child", json.dumps(out), flush=True)
    sys.exit(0)  # an ordinary exit, through the module's exit hook

deadline = time.monotonic() + {CHILD_LIMIT}
while (done := os.waitpid(pid, os.WNOHANG)) == (0, 0) and time.monotonic() < deadline:
    time.sleep(0.01)
if done == (0, 0):
    os.kill(pid, signal.SIGKILL)
    os.waitpid(pid, 0)
    status = "hung"
else:
    status = os.waitstatus_to_exitcode(done[1])
before = len(ticks)
time.sleep(0.1)
release.set()
out = {{
    "child_status": status,
    "result": pending.wait(),
    "run_async": kestro.run_async(lambda: 8)().wait(),
    "timer_ticked": len(ticks) > before,
}}
timer.stop()
print("parent", json.dumps(out), flush=True)
"""


def test_a_forked_child_fails_at_once_and_ends_while_the_parent_goes_on():
    proc = run_python(PROGRAM, timeout=CHILD_LIMIT + 60)
    lines = dict(line.split(" ", 1) for line in proc.stdout.splitlines() if line.startswith(("child ", "parent ")))
    assert "parent" in lines, proc.stdout + proc.stderr
    parent = json.loads(lines["parent"])
    assert parent == {"child_status": 0, "result": True, "run_async": 8, "timer_ticked": True}, proc.stderr
    child = json.loads(lines["child"])
    for name in ("run_async", "wait", "try_result", "timer"):
        assert child[name].startswith("kestro cannot run in a process forked after kestro had started"), child
    assert child["shutdown_all"] is True and child["child_timer_running"] is False
    assert child["child_ticks"] > 0
    assert proc.returncode == 0, proc.stderr
