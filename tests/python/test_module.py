# The module frame: registration order, class layout rules, text signatures, docstrings and PanicException.
import inspect

import pytest

import kestro

BUILT_SO_FAR = ["AsyncHandle", "CanDevice", "CanDeviceNonBlocking", "Device", "Motor", "TaskManager", "RunAsync", "run_async",
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
        (kestro.Motor, "(interface, host=None, host_id=None)"),
        (kestro.Motor.add_device, "(self, /, slot_index, node_id, mode)"),
        (kestro.Motor.set_target, "(self, /, slot_index, value)"),
        (kestro.Motor.broadcast, "(self, /)"),
        (kestro.Motor.get_watch_data, "(self, /, slot_index)"),
        (kestro.Motor.enter_configure_broadcast, "(self, /)"),
        (kestro.Motor.exit_configure_broadcast, "(self, /)"),
        (kestro.Motor.calibrate_broadcast, "(self, /)"),
        (kestro.Motor.set_foc_mode_broadcast, "(self, /, mode)"),
        (kestro.Device.set_target, "(self, /, value)"),
        (kestro.Device.get_target, "(self, /)"),
        (kestro.Device.get_watch_data, "(self, /)"),
        (kestro.Device.enter_configure, "(self, /)"),
        (kestro.Device.exit_configure, "(self, /)"),
        (kestro.Device.start_calibration, "(self, /)"),
        (kestro.Device.set_foc_mode, "(self, /, mode)"),
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
        (kestro.Device, "广播组中单个电机驱动器的收发管理单元"),
        (kestro.Device.set_target, "设置目标值（物理量）"),
        (kestro.Device.get_target, "读取当前目标值"),
        (kestro.Device.get_watch_data, "获取最新回传数据"),
        (kestro.Device.slot_index, "槽位索引（0–3）"),
        (kestro.Device.node_id, "驱动器节点 / 回传帧 CAN ID（与嵌入式 ``node_id`` 一致）"),
        (kestro.Device.enter_configure,
         "DR v1：单播进入 DR 配置会话（首帧字节 3=``0x73``，次帧=``0x74``，同 dest 与 CTL 字节 6）。"),
        (kestro.Device.exit_configure, "DR v1：在 DR 配置会话内发送「结束会话」（分组 0 code 0；不改变固件运行状态）。"),
        (kestro.Device.start_calibration, "DR v1：在 DR 配置会话内请求编码器电气零位。发送后阻塞约 200 ms。"),
        (kestro.Device.set_foc_mode, "DR v1：必须在 DR 配置会话内。"),
        (kestro.Motor, "广播式电机控制器"),
        (kestro.Motor.add_device, "向广播组添加一个驱动器"),
        (kestro.Motor.set_target, "通过槽位索引直接设置目标值"),
        (kestro.Motor.broadcast, "将所有 Device 的目标值打包成一条 CAN 广播帧并发送"),
        (kestro.Motor.get_watch_data, "通过槽位索引获取回传数据"),
        (kestro.Motor.host, "宿主侧控制帧 CAN ID（与 ``host`` 相同）"),
        (kestro.Motor.host_id, "宿主侧控制帧 CAN ID（与 ``host`` 相同）"),
        (kestro.Motor.enter_configure_broadcast,
         "DR v1：广播进入 DR 配置会话（dest ``0xFFFF``；``0x73`` 再 ``0x74``，同 dest 与 CTL 字节 6）。"),
        (kestro.Motor.exit_configure_broadcast, "DR v1：广播结束 DR 配置会话（分组 0 code ``0``）。"),
        (kestro.Motor.calibrate_broadcast, "DR v1：在 DR 配置会话内广播请求编码器电气零位；发送后阻塞约 200 ms。"),
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


def test_motor_classes_members_and_host_rules():
    assert {n for n in dir(kestro.Device) if not n.startswith("_")} == {
        "set_target", "get_target", "get_watch_data", "slot_index", "node_id", "enter_configure",
        "exit_configure", "start_calibration", "set_foc_mode"}
    assert {n for n in dir(kestro.Motor) if not n.startswith("_")} == {
        "add_device", "set_target", "broadcast", "get_watch_data", "host", "host_id", "enter_configure_broadcast",
        "exit_configure_broadcast", "calibrate_broadcast", "set_foc_mode_broadcast"}
    assert not inspect.getdoc(kestro.Motor.set_foc_mode_broadcast)
    with pytest.raises(TypeError):
        kestro.Device()
    # The host rules come before the interface is touched, so they hold without SocketCAN.
    for kwargs in ({}, {"host": None}, {"host_id": None}, {"host": None, "host_id": None}):
        with pytest.raises(ValueError, match=r"^missing host CAN id: use second argument or host= / host_id=$"):
            kestro.Motor("can0", **kwargs)
    for args, kwargs in (((0x100, 0x100), {}), ((0x100,), {"host_id": 0x100}), ((), {"host": 1, "host_id": 2})):
        with pytest.raises(ValueError, match=r"^pass only one of 'host' or 'host_id', not both$"):
            kestro.Motor("can0", *args, **kwargs)
    with pytest.raises(TypeError, match="argument 'interface'"):
        kestro.Motor(b"can0", 0x100)
    # The interface is converted first, then host, then host_id.
    with pytest.raises(TypeError, match="argument 'interface'"):
        kestro.Motor(0, host="x")
    with pytest.raises(OverflowError, match="argument 'host'"):
        kestro.Motor("can0", 2**32)
    with pytest.raises(TypeError, match="argument 'host'"):
        kestro.Motor("can0", "0x100", host_id=1)
    with pytest.raises(OverflowError, match="argument 'host_id'"):
        kestro.Motor("can0", host_id=-1)
    with pytest.raises(TypeError, match="argument 'host_id'"):
        kestro.Motor("can0", host_id=1.0)
    with pytest.raises(TypeError):
        kestro.Motor("can0", 1, 2, 3)


def test_an_import_retried_after_a_failed_one_registers_the_exit_hook(py):
    # The exit hook is what keeps module threads out of Python at exit: a first import that failed before
    # registering it must not leave a later one believing it was.
    r = py(
        """
        import atexit, sys
        sys.modules["atexit"] = None
        try:
            import kestro
        except ImportError:
            pass
        else:
            raise SystemExit("the import should have failed")
        sys.modules["atexit"] = atexit
        before = atexit._ncallbacks()
        import kestro
        print(atexit._ncallbacks() - before)
        """
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "1"


SUBINTERPRETER_IMPORTS = """
import _interpreters
try:
    import _testcapi
except ImportError:
    _testcapi = None
if _testcapi:  # a legacy subinterpreter, which shares the main interpreter's lock
    _testcapi.run_in_subinterp(
        "try:\\n    import kestro\\nexcept ImportError as e:\\n    print(type(e).__name__, e)\\n"
        "else:\\n    print('imported')\\n"
    )
else:
    print("ImportError module kestro does not support loading in subinterpreters")
interp = _interpreters.create()
print(_interpreters.run_string(interp, "import kestro").formatted)
_interpreters.destroy(interp)
"""


@pytest.mark.parametrize("main_first", [False, True], ids=["subinterpreter first", "main interpreter first"])
def test_subinterpreters_cannot_import_the_module_and_the_main_interpreter_is_unharmed(py, main_first):
    # Module threads run in the main interpreter and the exit hook belongs to whichever imported first: a
    # subinterpreter that imported and ended closed the gate for the whole process.
    r = py(
        ("import kestro\n" if main_first else "")
        + SUBINTERPRETER_IMPORTS
        + """
import kestro, time
calls = []
h = kestro.precision_timer(200)(lambda: calls.append(1))()
deadline = time.monotonic() + 30
while len(calls) < 3 and time.monotonic() < deadline:
    time.sleep(0.01)
h.stop()
print(len(calls) >= 3, kestro.run_async(lambda: 5)().wait(timeout_ms=30_000))
"""
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout.splitlines() == [
        "ImportError module kestro does not support loading in subinterpreters",
        "ImportError: module kestro does not support loading in subinterpreters",
        "True 5",
    ]
