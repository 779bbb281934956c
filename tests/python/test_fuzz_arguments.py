# Random objects thrown at every callable: only the documented exception types may come out, and nothing
# may crash or hang. Calls that stop the registry for good run in a subprocess.
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import kestro
from fuzz_objects import ALLOWED, OBJECTS
from kestro_testing import EMULATED, SANITIZED, run_python


KEYWORDS = st.dictionaries(st.sampled_from(["timeout_ms", "func", "x", "self"]), OBJECTS, max_size=2)
ARGS = st.lists(OBJECTS, max_size=3)
FUZZ = settings(
    max_examples=60 if SANITIZED or EMULATED else 200,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.function_scoped_fixture],
)


def call(fn, args, kwargs):
    try:
        return fn(*args, **kwargs)
    except ALLOWED:
        return None


def finished_handle():
    h = kestro.run_async(lambda *a: a)()
    h.wait()
    return h


def wait_until_idle():
    # Keeps generated time-outs bounded: with nothing running, every wait returns at once.
    assert kestro.TaskManager().wait_all(timeout_ms=20000)


@FUZZ
@given(ARGS, KEYWORDS)
def test_module_functions_and_constructors(args, kwargs):
    for fn in (kestro.run_async, kestro.RunAsync, kestro.get_task_manager, kestro.TaskManager, kestro.AsyncHandle):
        result = call(fn, args, kwargs)
        if isinstance(result, kestro.RunAsync):
            repr(result)


@pytest.fixture(scope="module")
def stand_in_ip(tmp_path_factory):
    """Provisioning runs `ip` (and `sudo ip`) with generated names: only a stand-in that knows no interface
    may answer them, so that a generated name that exists (lo, eth0) is never reconfigured."""
    bin_dir = tmp_path_factory.mktemp("stand-in-bin")
    ip = bin_dir / "ip"
    ip.write_text("#!/bin/sh\nexit 1\n")
    ip.chmod(0o755)
    mp = pytest.MonkeyPatch()
    mp.setenv("PATH", str(bin_dir))
    yield
    mp.undo()


@FUZZ
@given(ARGS, st.dictionaries(st.sampled_from(["interface", "id"]), OBJECTS, max_size=2))
def test_can_device_constructors(stand_in_ip, args, kwargs):
    # No SocketCAN here: a constructor that gets past its arguments fails to provision or open.
    for cls in (kestro.CanDevice, kestro.CanDeviceNonBlocking):
        try:
            cls(*args, **kwargs)
        except (OSError, *ALLOWED):
            pass


@FUZZ
@given(ARGS, st.dictionaries(st.sampled_from(["interface", "host", "host_id", "id"]), OBJECTS, max_size=3))
def test_motor_constructor(stand_in_ip, args, kwargs):
    try:
        kestro.Motor(*args, **kwargs)
    except (OSError, ValueError, *ALLOWED):
        pass


@FUZZ
@given(ARGS, KEYWORDS)
def test_launcher_calls(args, kwargs):
    h = call(kestro.run_async(lambda *a: len(a)), args, kwargs)
    if h is not None:
        assert h.wait(timeout_ms=20000) == len(args)


@FUZZ
@given(st.sampled_from(["wait_all", "cleanup", "status", "__repr__"]), ARGS, KEYWORDS)
def test_registry_methods(name, args, kwargs):
    wait_until_idle()
    call(getattr(kestro.TaskManager(), name), args, kwargs)
    for prop in ("running_count", "total_count", "timer_count", "async_task_count"):
        assert getattr(kestro.TaskManager(), prop) >= 0


@FUZZ
@given(st.sampled_from(["wait", "try_result", "is_done", "is_completed", "is_cancelled", "cancel", "__repr__"]),
       ARGS, KEYWORDS)
def test_handle_methods(name, args, kwargs):
    h = finished_handle()
    call(getattr(h, name), args, kwargs)
    assert h.task_id >= 1


def test_stopping_calls_in_a_subprocess():
    r = run_python(
        f"""
        import math, sys
        sys.path.insert(0, {repr(__file__.rsplit('/', 1)[0])})
        from hypothesis import given, settings, HealthCheck
        from hypothesis import strategies as st
        import kestro
        import test_fuzz_arguments as f

        @settings(max_examples={40 if SANITIZED or EMULATED else 150}, deadline=None)
        @given(st.sampled_from(["stop_all", "shutdown"]), f.ARGS, f.KEYWORDS)
        def check(name, args, kwargs):
            f.wait_until_idle()
            f.call(getattr(kestro.TaskManager(), name), args, kwargs)
            h = kestro.run_async(lambda: 1)()
            assert h.wait(timeout_ms=20000) == 1

        check()
        print("ok")
        """,
        timeout=600,
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip().endswith("ok")
