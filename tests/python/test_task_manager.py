# The task registry as Python sees it: counts, status, repr, waiting, stopping and the shared id counter.
import pytest

import kestro


def test_fresh_process_has_an_empty_registry_and_ids_start_at_one(py):
    r = py(
        """
        import kestro, time
        tm = kestro.TaskManager()
        assert (tm.running_count, tm.total_count, tm.timer_count, tm.async_task_count) == (0, 0, 0, 0)
        assert tm.status() == {"running_timers": 0, "running_tasks": 0, "stopped": 0, "total": 0}
        assert list(tm.status()) == ["running_timers", "running_tasks", "stopped", "total"]
        assert repr(tm) == "TaskManager(timers=0, tasks=0, stopped=0, total=0)"
        assert tm.wait_all() is True
        assert tm.wait_all(timeout_ms=0) is True
        run = kestro.run_async(lambda: None)
        h1, h2, h3 = run(), run(), run()
        assert [h.task_id for h in (h1, h2, h3)] == [1, 2, 3]
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_views_share_one_registry():
    release = []
    import time

    @kestro.run_async
    def hold():
        while not release:
            time.sleep(0.001)

    views = [kestro.TaskManager(), kestro.TaskManager(), kestro.get_task_manager()]
    before = [v.async_task_count for v in views]
    h = hold()
    try:
        counts = [v.async_task_count for v in views]
        assert counts[0] == counts[1] == counts[2] == before[0] + 1
        assert views[0].status() == views[2].status()
        assert views[0].running_count >= 1
    finally:
        release.append(True)
        h.wait()
    assert kestro.get_task_manager() is not kestro.get_task_manager()


def test_wait_all_with_zero_timeout_does_not_sleep_while_something_runs():
    import time

    release = []

    @kestro.run_async
    def hold():
        while not release:
            time.sleep(0.001)

    h = hold()
    try:
        start = time.perf_counter()
        assert kestro.TaskManager().wait_all(timeout_ms=0) is False
        assert time.perf_counter() - start < 0.005
        start = time.perf_counter()
        assert kestro.TaskManager().wait_all(timeout_ms=30) is False
        assert time.perf_counter() - start >= 0.03
    finally:
        release.append(True)
        h.wait()


def test_finished_task_counts_as_stopped_until_handle_goes_or_cleanup():
    tm = kestro.TaskManager()
    base = tm.status()
    h = kestro.run_async(lambda: 1)()
    h.wait()
    s = tm.status()
    assert s["stopped"] == base["stopped"] + 1
    assert s["total"] == base["total"] + 1
    tm.cleanup()
    assert tm.total_count == base["total"] - base["stopped"]
    del h  # its entry is already gone: unregister is a no-op
    assert tm.total_count == base["total"] - base["stopped"]


def test_dropping_a_handle_removes_its_entry():
    tm = kestro.TaskManager()
    total = tm.total_count
    h = kestro.run_async(lambda: 1)()
    h.wait()
    assert tm.total_count == total + 1
    del h
    assert tm.total_count == total


def test_stop_all_clears_flags_and_shutdown_returns_true_at_once(py):
    r = py(
        """
        import kestro, time
        release = []
        @kestro.run_async
        def hold():
            while not release:
                time.sleep(0.001)
            return "done"
        h = hold()
        time.sleep(0.05)
        tm = kestro.TaskManager()
        assert tm.async_task_count == 1
        start = time.perf_counter()
        assert tm.shutdown(timeout_ms=5000) is True
        assert time.perf_counter() - start < 0.5
        # The function is not interrupted: it still runs to its end.
        assert tm.status() == {"running_timers": 0, "running_tasks": 0, "stopped": 1, "total": 1}
        release.append(True)
        assert h.wait(timeout_ms=5000) == "done"
        # Tasks started after a stop still run.
        assert kestro.run_async(lambda: 5)().wait() == 5
        tm.stop_all()
        assert tm.wait_all() is True
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


def test_task_started_before_stop_but_not_yet_begun_is_skipped(py):
    r = py(
        """
        import kestro, sys
        sys.setswitchinterval(100)  # the body needs the interpreter lock, which this thread keeps
        calls = []
        queued = kestro.run_async(lambda: calls.append(1))()
        kestro.TaskManager().stop_all()
        assert queued.wait(timeout_ms=5000) is None
        assert queued.is_completed() and calls == []
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"


@pytest.mark.parametrize("method", ["wait_all", "shutdown"])
@pytest.mark.parametrize("bad, exc", [(-1, OverflowError), (2**64, OverflowError), ("5", TypeError), (1.5, TypeError)])
def test_timeout_conversion_errors(method, bad, exc):
    with pytest.raises(exc, match="timeout_ms"):
        getattr(kestro.TaskManager(), method)(bad)


def test_using_the_registry_does_not_build_the_runtime(py):
    r = py(
        """
        import os, kestro
        def threads():
            return len(os.listdir("/proc/self/task"))
        before = threads()
        tm = kestro.TaskManager()
        tm.status(); tm.cleanup(); tm.wait_all(0); repr(tm); kestro.get_task_manager().running_count
        assert threads() == before, (before, threads())
        kestro.run_async(lambda: None)().wait()
        assert threads() > before
        print("ok")
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "ok"
