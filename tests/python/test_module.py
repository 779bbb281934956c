# The module frame: registration order, class layout rules, text signatures, docstrings and PanicException.
import inspect

import pytest

import kestro

BUILT_SO_FAR = ["AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "TaskManager", "RunAsync", "run_async",
                "get_task_manager", "shutdown_all", "block_all", "block_until", "PrecisionTimer", "Timer",
                "TimerHandle", "TimerWrapper", "timer", "precision_timer"]
FULL_ORDER = [
    "AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor", "PrecisionTimer", "TaskManager",
    "RunAsync", "Timer", "TimerHandle", "TimerWrapper", "timer", "precision_timer", "run_async",
    "get_task_manager", "shutdown_all", "block_all", "block_until",
]
CLASSES = [n for n in kestro.__all__ if isinstance(getattr(kestro, n), type)]
FUNCTIONS = [n for n in kestro.__all__ if n not in CLASSES]


def test_all_lists_the_registered_names_in_registration_order():
    assert [n for n in FULL_ORDER if n in kestro.__all__] == kestro.__all__
    assert set(BUILT_SO_FAR) <= set(kestro.__all__)
    for name in kestro.__all__:
        assert hasattr(kestro, name)


def test_classes_report_builtins_and_functions_report_kestro():
    for name in CLASSES:
        assert getattr(kestro, name).__module__ == "builtins"
        assert getattr(kestro, name).__qualname__ == name
    for name in FUNCTIONS:
        assert getattr(kestro, name).__module__ == "kestro"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_cannot_be_subclassed(name):
    with pytest.raises(TypeError):
        type("Sub", (getattr(kestro, name),), {})


def test_instances_take_no_new_attributes():
    for obj in (kestro.TaskManager(), kestro.RunAsync(print)):
        with pytest.raises(AttributeError):
            obj.anything = 1
        assert not hasattr(obj, "__dict__")
        with pytest.raises(TypeError):
            import weakref

            weakref.ref(obj)


def test_classes_without_constructor_refuse_construction():
    for cls in (kestro.AsyncHandle, kestro.TimerHandle, kestro.TimerWrapper):
        with pytest.raises(TypeError):
            cls()


@pytest.mark.parametrize(
    "obj, signature",
    [
        (kestro.TaskManager, "()"),
        (kestro.RunAsync, "(func)"),
        (kestro.run_async, "(func)"),
        (kestro.get_task_manager, "()"),
        (kestro.TaskManager.wait_all, "(self, /, timeout_ms=None)"),
        (kestro.TaskManager.shutdown, "(self, /, timeout_ms=None)"),
        (kestro.AsyncHandle.wait, "(self, /, timeout_ms=None)"),
        (kestro.AsyncHandle.cancel, "(self, /)"),
        (kestro.timer, "(frequency_hz)"),
        (kestro.Timer, "(frequency_hz)"),
        (kestro.precision_timer, "(frequency_hz, realtime=False)"),
        (kestro.PrecisionTimer, "(frequency_hz, realtime=False)"),
        (kestro.TimerHandle.stop, "(self, /)"),
        (kestro.TimerHandle.actual_frequency, "(self, /)"),
        (kestro.shutdown_all, "(timeout_ms=None)"),
        (kestro.block_all, "(timeout_ms=None)"),
        (kestro.block_until, "(wait_ms=None, shutdown_timeout_ms=None)"),
        (kestro.CanDevice, "(interface)"),
        (kestro.CanDevice.send, "(self, /, id, data)"),
        (kestro.CanDevice.receive, "(self, /)"),
        (kestro.CanDevice.interface, "(self, /)"),
        (kestro.CanDeviceNonBlocking, "(interface)"),
        (kestro.CanDeviceNonBlocking.send, "(self, /, id, data)"),
        (kestro.CanDeviceNonBlocking.try_receive, "(self, /)"),
        (kestro.CanDeviceNonBlocking.receive_timeout, "(self, /, timeout_ms)"),
    ],
)
def test_text_signatures(obj, signature):
    assert str(inspect.signature(obj)) == signature


@pytest.mark.parametrize(
    "obj, first_line",
    [
        (kestro.TaskManager, "Python 可访问的任务管理器"),
        (kestro.TaskManager.running_count, "获取运行中的任务数量"),
        (kestro.TaskManager.total_count, "获取所有任务数量"),
        (kestro.TaskManager.timer_count, "获取运行中的定时器数量"),
        (kestro.TaskManager.async_task_count, "获取运行中的异步任务数量"),
        (kestro.TaskManager.stop_all, "停止所有任务"),
        (kestro.TaskManager.wait_all, "等待所有任务完成"),
        (kestro.TaskManager.shutdown, "优雅关闭所有任务"),
        (kestro.TaskManager.cleanup, "清理已完成的任务"),
        (kestro.TaskManager.status, "获取任务状态"),
        (kestro.get_task_manager, "获取全局任务管理器"),
        (kestro.run_async, "便捷函数：创建异步任务装饰器"),
        (kestro.RunAsync, "异步任务装饰器"),
        (kestro.AsyncHandle, "异步任务句柄"),
        (kestro.AsyncHandle.task_id, "获取任务 ID"),
        (kestro.AsyncHandle.is_done, "检查任务是否已完成"),
        (kestro.AsyncHandle.is_completed, "检查任务是否成功完成"),
        (kestro.AsyncHandle.is_cancelled, "检查任务是否被取消"),
        (kestro.AsyncHandle.cancel, "取消任务"),
        (kestro.AsyncHandle.try_result, "获取任务结果（非阻塞）"),
        (kestro.AsyncHandle.wait, "等待任务完成并获取结果（阻塞）"),
        (kestro.timer, "普通定时器装饰器"),
        (kestro.Timer, "普通定时器装饰器"),
        (kestro.precision_timer, "高精度定时器装饰器"),
        (kestro.PrecisionTimer, "高精度定时器装饰器"),
        (kestro.TimerWrapper, "包装后的定时器函数"),
        (kestro.TimerHandle, "定时器任务句柄"),
        (kestro.TimerHandle.task_id, "获取任务 ID"),
        (kestro.TimerHandle.stop, "停止定时器"),
        (kestro.TimerHandle.is_running, "检查定时器是否正在运行"),
        (kestro.TimerHandle.frequency, "获取执行频率"),
        (kestro.TimerHandle.precision_mode, "获取精度模式"),
        (kestro.TimerHandle.tick_count, "获取已执行的 tick 次数"),
        (kestro.TimerHandle.actual_frequency, "获取实际平均频率（Hz）"),
        (kestro.TimerHandle.elapsed_secs, "获取运行时间（秒）"),
        (kestro.shutdown_all, "优雅关闭所有任务的便捷函数"),
        (kestro.block_all, "阻塞等待系统退出信号"),
        (kestro.block_until, "阻塞等待指定时间或直到收到退出信号"),
        (kestro.CanDevice, "简单模式 CAN 设备（阻塞 API）"),
        (kestro.CanDevice.send, "Send a CAN frame (blocking)"),
        (kestro.CanDevice.receive, "Receive a CAN frame (blocking)"),
        (kestro.CanDevice.interface, "Get the interface name"),
        (kestro.CanDeviceNonBlocking, "高级异步 CAN 设备（非阻塞 API）"),
        (kestro.CanDeviceNonBlocking.send, "Send a CAN frame (non-blocking)"),
        (kestro.CanDeviceNonBlocking.try_receive, "Try to receive a CAN frame (non-blocking)"),
        (kestro.CanDeviceNonBlocking.receive_timeout, "Receive a CAN frame with timeout"),
        (kestro.CanDeviceNonBlocking.interface, "Get the interface name"),
    ],
)
def test_docstring_first_lines(obj, first_line):
    assert inspect.getdoc(obj).splitlines()[0] == first_line


def test_signature_docstrings_use_the_separator():
    assert kestro.run_async.__text_signature__ == "(func)"
    assert kestro.run_async.__doc__.startswith("便捷函数")
    assert kestro.AsyncHandle.wait.__text_signature__ == "($self, timeout_ms=None)"
    assert kestro.TaskManager.__text_signature__ == "()"


def test_keyword_and_positional_calls_agree():
    tm = kestro.TaskManager()
    assert tm.wait_all(0) is tm.wait_all(timeout_ms=0)
    assert tm.wait_all(None) is True


def test_internal_fault_becomes_panic_exception():
    probe = pytest.importorskip("_kestro_probe", reason="the test probe module is built by ./dev test")
    panic = probe.panic_type()
    assert issubclass(panic, BaseException)
    assert not issubclass(panic, Exception)
    with pytest.raises(BaseException) as info:
        try:
            probe.raise_internal_fault()
        except Exception:  # must not catch it
            pytest.fail("PanicException was caught by `except Exception`")
    assert type(info.value) is panic
    assert "internal consistency check failed" in str(info.value)


def test_uncaught_panic_ends_the_program(py):
    r = py(
        """
        import _kestro_probe
        _kestro_probe.raise_internal_fault()
        """
    )
    if "No module named '_kestro_probe'" in r.stderr:
        pytest.skip("the test probe module is built by ./dev test")
    assert r.returncode == 1
    assert "PanicException" in r.stderr


@pytest.mark.parametrize("cls", [kestro.CanDevice, kestro.CanDeviceNonBlocking])
def test_can_device_members_and_constructor_arguments(cls):
    public = {n for n in dir(cls) if not n.startswith("_")}
    expected = {"send", "receive", "interface"} if cls is kestro.CanDevice else {
        "send", "try_receive", "receive_timeout", "interface"}
    assert public == expected
    assert cls.__repr__ is object.__repr__
    with pytest.raises(TypeError, match="argument 'interface'"):
        cls(5)
    with pytest.raises(TypeError, match="argument 'interface'"):
        cls(b"can0")
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls("can0", "can1")
    with pytest.raises(TypeError, match="unexpected keyword"):
        cls(name="can0")
