"""Where the time of a call into the module goes.

Measures, in one run and beside a pure-Python equivalent:
- a no-argument method call (AsyncHandle.is_done vs. a Python method returning a bool);
- a method call with a keyword argument (AsyncHandle.wait(timeout_ms=...) on a finished task vs. a
  Python method taking the same keyword);
- a background task's start + wait() round trip (run_async vs. concurrent.futures.ThreadPoolExecutor);
- the entry of a thread of the module into Python for one call of a no-op function: the way every timer,
  pool and worker thread enters (one thread state kept for the thread's life, attached per call) beside
  PyGILState_Ensure/Release per call (a thread state made and deleted each time). It needs the test probe
  module (`_kestro_probe`, built by ./dev test and ./dev bench) and is skipped without it.

Prints nanoseconds per call (best of several repeats) and the ratio kestro / Python.
"""

import concurrent.futures
import sys
import timeit

import kestro


class PyHandle:
    def __init__(self, value):
        self._done = True
        self._value = value

    def is_done(self):
        return self._done

    def wait(self, timeout_ms=None):
        if self._done:
            return self._value
        raise TimeoutError


def best_ns(stmt, number, repeat=7):
    return min(timeit.repeat(stmt, number=number, repeat=repeat)) / number * 1e9


def main():
    handle = kestro.run_async(lambda: 42)()
    handle.wait()
    py_handle = PyHandle(42)
    launcher = kestro.run_async(lambda: 1)
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=2)
    pool.submit(lambda: 1).result()

    rows = [
        ("no-argument method", lambda: handle.is_done(), lambda: py_handle.is_done(), 200_000),
        ("method with keyword", lambda: handle.wait(timeout_ms=1000), lambda: py_handle.wait(timeout_ms=1000), 200_000),
        ("task start + wait()", lambda: launcher().wait(), lambda: pool.submit(lambda: 1).result(), 2_000),
    ]
    print(f"{'operation':<24}{'kestro ns':>12}{'Python ns':>12}{'ratio':>8}")
    for name, ours, theirs, n in rows:
        a = best_ns(ours, n)
        b = best_ns(theirs, n)
        print(f"{name:<24}{a:>12.0f}{b:>12.0f}{a / b:>8.2f}")
    pool.shutdown()
    entry_row()


def entry_row():
    try:
        import _kestro_probe as probe
    except ImportError:
        print("module thread entry: skipped (no _kestro_probe on the path)")
        return
    noop = lambda: None  # noqa: E731
    kept = min(probe.module_thread_call_ns(noop, 200_000, True) for _ in range(5))
    per_call = min(probe.module_thread_call_ns(noop, 50_000, False) for _ in range(5))
    gil = "GIL" if getattr(sys, "_is_gil_enabled", lambda: True)() else "free-threaded"
    print(f"\nentry of a module thread into Python, one no-op call (Python {sys.version.split()[0]}, {gil}):")
    print(f"{'':<24}{'kept state':>12}{'per call':>12}{'ratio':>8}")
    print(f"{'ns per call':<24}{kept:>12.0f}{per_call:>12.0f}{kept / per_call:>8.3f}")


if __name__ == "__main__":
    main()
