# Background tasks: results, failures, cancellation, timeouts, the drop warning, and calls back into the
# module from a task.
import sys
import threading
import time

import pytest

import kestro
from kestro_testing import EMULATED


class Gate:
    """Lets a test hold a background function inside its body until released."""

    def __init__(self):
        self.entered = threading.Event()
        self.release = threading.Event()

    def hold(self, value=None):
        self.entered.set()
        assert self.release.wait(10)
        return value


def test_result_and_status_of_a_function_that_returns():
    h = kestro.run_async(lambda x: x * 2)(21)
    assert h.wait() == 42
    assert h.is_completed() and h.is_done() and not h.is_cancelled()
    assert repr(h) == f"AsyncHandle(id={h.task_id}, status=completed)"
    assert h.try_result() == 42
    assert h.wait() == 42  # the slot keeps the value


def test_function_returning_none():
    h = kestro.RunAsync(lambda: None)()
    assert h.wait() is None
    assert h.is_completed()
    assert "status=completed" in repr(h)


def test_result_is_the_same_object():
    marker = object()
    h = kestro.run_async(lambda: marker)()
    assert h.wait() is marker
    assert h.try_result() is marker


def test_raised_exception_is_stored_as_text_and_raised_every_time():
    def fail():
        raise ValueError("x")

    h = kestro.run_async(fail)()
    for _ in range(2):
        with pytest.raises(RuntimeError) as info:
            h.wait()
        assert str(info.value) == "ValueError: x"
        with pytest.raises(RuntimeError, match="^ValueError: x$"):
            h.try_result()
    assert h.is_completed()


def test_stored_text_keeps_lone_surrogates_and_nuls():
    name = b"/tmp/caf\xe9".decode("utf-8", "surrogateescape")  # a Latin-1 file name read as UTF-8

    def fail():
        raise ValueError(name + "\0x")

    h = kestro.run_async(fail)()
    with pytest.raises(RuntimeError) as info:
        h.wait()
    assert str(info.value) == "ValueError: " + name + "\0x"


def test_qualified_name_and_broken_str():
    class Outer:
        class Broken(Exception):
            def __str__(self):
                raise RuntimeError("no text")

    def fail():
        raise Outer.Broken()

    h = kestro.run_async(fail)()
    with pytest.raises(RuntimeError) as info:
        h.wait()
    assert str(info.value) == (
        "test_qualified_name_and_broken_str.<locals>.Outer.Broken: <exception str() failed>"
    )


def test_base_exceptions_are_stored_too():
    def leave():
        raise SystemExit(3)

    h = kestro.run_async(leave)()
    with pytest.raises(RuntimeError, match="^SystemExit: 3$"):
        h.wait()


def test_not_callable_fails_inside_the_task():
    h = kestro.RunAsync(5)()
    with pytest.raises(RuntimeError, match="^TypeError: 'int' object is not callable$"):
        h.wait()


def test_positional_arguments_reach_the_function_and_keywords_are_refused():
    seen = []
    run = kestro.run_async(lambda *a: seen.append(a))
    run(1, "two", None).wait()
    assert seen == [(1, "two", None)]
    tm = kestro.TaskManager()
    total = tm.total_count
    with pytest.raises(TypeError, match="unexpected keyword argument 'x'"):
        run(x=1)
    assert tm.total_count == total  # nothing started


def test_try_result_before_the_end_is_none():
    g = Gate()
    h = kestro.run_async(g.hold)(7)
    assert g.entered.wait(10)
    assert h.try_result() is None
    assert not h.is_done()
    assert "status=running" in repr(h)
    g.release.set()
    assert h.wait() == 7


def test_cancel_before_start_skips_the_function(py):
    r = py(
        """
        import kestro, sys, time
        # No forced switch of the interpreter lock between the start and the cancel: the body, which
        # needs the lock, cannot have begun.
        sys.setswitchinterval(100)
        calls = []
        h = kestro.run_async(lambda: calls.append(1))()
        h.cancel()
        start = time.perf_counter()
        assert h.wait() is None
        assert time.perf_counter() - start < 0.5
        assert repr(h) == f"AsyncHandle(id={h.task_id}, status=cancelled)"
        assert h.is_cancelled() and h.is_done()
        deadline = time.time() + 5
        while not h.is_completed() and time.time() < deadline:
            time.sleep(0.01)
        assert h.is_completed() and calls == []
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_cancel_while_running_returns_at_once_and_the_function_still_ends():
    g = Gate()
    h = kestro.run_async(g.hold)("late")
    assert g.entered.wait(10)
    h.cancel()
    assert h.wait() is None
    assert "status=cancelled" in repr(h)
    g.release.set()
    deadline = time.time() + 10
    while not h.is_completed() and time.time() < deadline:
        time.sleep(0.001)
    assert h.try_result() == "late"
    assert "status=cancelled" in repr(h)  # cancelled outranks completed


def test_wait_timeouts():
    g = Gate()
    h = kestro.run_async(g.hold)(1)
    assert g.entered.wait(10)
    start = time.perf_counter()
    with pytest.raises(TimeoutError, match="^Async task wait timed out$"):
        h.wait(timeout_ms=0)
    assert time.perf_counter() - start < (0.1 if EMULATED else 0.005)  # no poll period waited
    start = time.perf_counter()
    with pytest.raises(TimeoutError):
        h.wait(timeout_ms=20)
    assert time.perf_counter() - start >= 0.02
    g.release.set()
    assert h.wait(timeout_ms=10_000) == 1  # a later wait still succeeds


def test_wait_releases_the_interpreter_lock():
    g = Gate()
    h = kestro.run_async(g.hold)(2)
    assert g.entered.wait(10)
    threading.Timer(0.05, g.release.set).start()
    assert h.wait() == 2


@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), ("1", TypeError), (0.5, TypeError)])
def test_wait_timeout_conversion(bad, exc):
    h = kestro.run_async(lambda: 1)()
    with pytest.raises(exc, match="timeout_ms"):
        h.wait(bad)
    h.wait()


def test_each_launch_draws_a_new_id():
    run = kestro.run_async(lambda: None)
    ids = [run().task_id for _ in range(5)]
    assert ids == list(range(ids[0], ids[0] + 5))


def test_registry_counts_a_running_task_then_as_stopped():
    g = Gate()
    tm = kestro.TaskManager()
    base = tm.async_task_count
    h = kestro.run_async(g.hold)()
    assert g.entered.wait(10)
    assert tm.async_task_count == base + 1
    stopped = tm.status()["stopped"]
    g.release.set()
    h.wait()
    deadline = time.time() + 5
    while tm.status()["stopped"] != stopped + 1 and time.time() < deadline:
        time.sleep(0.001)
    assert tm.status()["stopped"] == stopped + 1
    assert tm.async_task_count == base


def test_dropped_handle_warns_leaves_the_registry_and_the_task_still_runs(py):
    r = py(
        """
        import kestro, threading, time
        done = threading.Event()
        def work():
            time.sleep(0.1)
            done.set()
        kestro.run_async(work)()  # handle dropped at once
        tm = kestro.TaskManager()
        assert tm.total_count == 0
        assert done.wait(5)
        print("ran")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ran"
    assert r.stderr == (
        "Warning: AsyncHandle(id=1) dropped while task still running. Consider calling handle.cancel() "
        "or handle.wait() before dropping.\n"
    )


def test_the_result_of_a_task_whose_handle_was_dropped_is_released_soon(py):
    # The worker ends up the result's last holder, without the interpreter lock: the release must not wait
    # for some later, unrelated call into Python from a module thread.
    r = py(
        """
        import kestro, threading, time, weakref
        class Result:
            pass
        made, gone = threading.Event(), threading.Event()
        def work():
            result = Result()
            weakref.finalize(result, gone.set)
            made.set()
            time.sleep(0.1)
            return result
        kestro.run_async(work)()  # handle dropped at once
        assert made.wait(30)
        deadline = time.monotonic() + 30
        while not gone.is_set() and time.monotonic() < deadline:
            time.sleep(0.01)
        print(gone.is_set())
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "True"


def test_no_warning_for_finished_or_cancelled_handles(py):
    r = py(
        """
        import kestro, time
        h = kestro.run_async(lambda: 1)(); h.wait(); del h
        h = kestro.run_async(time.sleep)(0.2); h.cancel(); del h
        """
    )
    assert r.returncode == 0
    assert r.stderr == ""


def test_worker_keeps_serving_after_failures():
    def fail():
        raise RuntimeError("boom")

    for _ in range(20):
        with pytest.raises(RuntimeError):
            kestro.run_async(fail)().wait()
    assert kestro.run_async(lambda: "alive")().wait() == "alive"


def test_blocking_calls_from_tasks_complete_while_other_tasks_run(py):
    # More waiting tasks than workers, each waiting for a task started after it: without the worker
    # hand-off, the waiters would hold every worker and the awaited tasks could never start.
    r = py(
        """
        import kestro, os, time
        n = len(os.sched_getaffinity(0)) + 2
        def waiter(i):
            inner = kestro.run_async(lambda: i * 10)()
            return inner.wait(timeout_ms=20000)
        def sleeper():
            time.sleep(0.2)
            return "slept"
        handles = [kestro.run_async(waiter)(i) for i in range(n)]
        other = kestro.run_async(sleeper)()
        assert [h.wait(timeout_ms=20000) for h in handles] == [i * 10 for i in range(n)]
        assert other.wait(timeout_ms=20000) == "slept"
        # The registry's blocking calls from a task work too.
        assert kestro.run_async(lambda: kestro.TaskManager().wait_all(timeout_ms=50))().wait() in (True, False)
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_many_concurrent_tasks_from_many_threads():
    results = []
    lock = threading.Lock()

    def launch(k):
        hs = [kestro.run_async(lambda x: x + 1)(k * 100 + i) for i in range(50)]
        vals = [h.wait(timeout_ms=20000) for h in hs]
        with lock:
            results.extend(vals)

    threads = [threading.Thread(target=launch, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sorted(results) == sorted(k * 100 + i + 1 for k in range(4) for i in range(50))
