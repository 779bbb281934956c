# Many Python threads on one object at once: the module runs without the interpreter lock on a free-threaded
# build, so whatever the lock happened to guard must hold by itself. On a build with the lock these still
# interleave calls at every switch interval.
import os
import threading
import time

import pytest

import kestro

THREADS = 8


def run_threads(target, n=THREADS):
    """Runs `target(i)` in n threads started together; re-raises the first exception any of them raised."""
    errors = []
    barrier = threading.Barrier(n)

    def body(i):
        try:
            barrier.wait()
            target(i)
        except BaseException as e:  # noqa: BLE001 - handed to the test thread
            errors.append(e)

    threads = [threading.Thread(target=body, args=(i,)) for i in range(n)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(120)
        assert not t.is_alive(), "a thread hung"
    if errors:
        raise errors[0]


def test_importing_the_module_keeps_the_interpreter_free_threaded(py):
    r = py("import sys, kestro; print(getattr(sys, '_is_gil_enabled', lambda: True)())", env={"PYTHON_GIL": ""})
    assert r.returncode == 0, r.stderr
    import sysconfig

    expected = "False" if sysconfig.get_config_var("Py_GIL_DISABLED") else "True"
    assert r.stdout.strip() == expected, "importing kestro changed whether the interpreter lock is on"


def test_registry_counts_stay_whole_while_threads_start_and_drop_timers_and_tasks():
    tm = kestro.TaskManager()
    base = tm.total_count
    done = threading.Event()
    torn = []

    def watch():
        while not done.is_set():
            s = tm.status()
            if s["running_timers"] + s["running_tasks"] + s["stopped"] != s["total"]:
                torn.append(s)

    watcher = threading.Thread(target=watch)
    watcher.start()
    run = kestro.run_async(lambda x: x * 2)

    def churn(i):
        for k in range(25):
            if (i + k) % 2:
                h = kestro.precision_timer(2000)(lambda: None)()
                assert h.is_running()
                h.stop()
                assert not h.is_running()
            else:
                assert run(k).wait(10_000) == 2 * k

    try:
        run_threads(churn)
    finally:
        done.set()
        watcher.join()
    assert torn == []
    assert tm.total_count == base, "every dropped handle takes its registry entry with it"


def test_one_async_handle_waited_on_and_polled_from_many_threads():
    release = threading.Event()
    value = object()

    @kestro.run_async
    def body():
        release.wait(30)
        return value

    h = body()
    results = []

    def use(i):
        if i == 0:
            time.sleep(0.05)
            release.set()
        for _ in range(200):
            h.is_done(), h.try_result(), repr(h)
        results.append(h.wait(30_000))

    run_threads(use)
    assert all(r is value for r in results), results
    assert h.is_completed() and not h.is_cancelled()


def test_cancel_racing_waits_on_one_handle_ends_every_wait():
    started = threading.Event()

    @kestro.run_async
    def body():
        started.set()
        time.sleep(0.2)
        return 1

    h = body()
    started.wait(30)
    outcomes = []

    def use(i):
        if i % 2:
            h.cancel()
        outcomes.append(h.wait(30_000))
        outcomes.append(h.try_result())

    run_threads(use)
    assert h.is_cancelled() and h.is_done()
    assert set(outcomes) <= {None, 1}


def test_one_timer_handle_read_and_stopped_from_many_threads():
    ticks = []
    h = kestro.precision_timer(1000)(lambda: ticks.append(1))()

    def use(i):
        last = 0
        for _ in range(300):
            n = h.tick_count()
            assert n >= last, "tick count went backwards"
            last = n
            h.actual_frequency(), h.elapsed_secs(), h.is_running(), repr(h)
        if i == 0:
            h.stop()

    run_threads(use)
    assert not h.is_running()


def test_stop_all_and_wait_all_from_many_threads_while_tasks_start(py):
    # In a process of its own: stop_all leaves the shutdown flag set for good.
    r = py(
        """
        import os, sys, threading, time, kestro
        sys.path.insert(0, os.environ["KESTRO_TESTS_DIR"])
        from test_threads import run_threads
        tm = kestro.TaskManager()
        stop = threading.Event()

        @kestro.run_async
        def spin():
            while not stop.is_set():
                time.sleep(0.001)

        handles = []

        def use(i):
            for _ in range(20):
                if i % 3 == 0:
                    handles.append(spin())
                elif i % 3 == 1:
                    tm.stop_all()
                else:
                    tm.wait_all(timeout_ms=1)
                    tm.status(), tm.running_count, repr(tm)

        try:
            run_threads(use)
        finally:
            stop.set()
        assert tm.wait_all(timeout_ms=30_000) is True
        for h in handles:
            h.wait(30_000)
            assert h.is_done()
        s = tm.status()
        assert s == {"running_timers": 0, "running_tasks": 0, "stopped": len(handles), "total": len(handles)}, s
        print("ok")
        """,
        env={"KESTRO_TESTS_DIR": os.path.dirname(os.path.abspath(__file__))},
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_module_threads_keep_one_thread_state_each_and_give_it_back_when_they_end():
    probe = pytest.importorskip("_kestro_probe", reason="the test probe module is built by ./dev test")
    calls = []
    lock = threading.Lock()

    def count():
        with lock:
            calls.append(threading.get_ident())

    # Each probe call runs 50 calls on a module thread of its own that then ends; eight such at a time.
    run_threads(lambda i: [probe.module_thread_call_ns(count, 50, True) for _ in range(5)])
    assert len(calls) == THREADS * 5 * 50
    assert probe.kept_thread_states() == 0  # a state per thread, deleted as the thread ended


def test_a_timer_thread_drops_the_last_reference_to_its_function_after_a_subinterpreter_was_made(py):
    # Once a subinterpreter exists, PyGILState_Check answers yes on every thread; a timer thread that took
    # that for being attached would free its function (the last reference) without the interpreter.
    r = py(
        """
        import time, _interpreters, kestro
        _interpreters.create()
        for _ in range(20):
            def make():
                state = [object()]
                return lambda: state
            h = kestro.precision_timer(1000)(make())()
            time.sleep(0.005)
            h.stop()
        time.sleep(0.1)
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
