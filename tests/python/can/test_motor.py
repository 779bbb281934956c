# The motor group on the bed's bus: every configuration and broadcast frame as candump sees it on the other
# controller, feedback that cansend puts on the wire routed to the right Device, the receive task's lines,
# a Device that outlives its Motor, and the argument checks that keep bad commands off the wire.
import gc
import math
import socket
import struct
import time

import pytest

import kestro
from canbed_tools import StderrTap, cansend, hang_guard, wire  # noqa: F401 (fixtures)
from dr_frames import config, entry
from kestro_testing import EMULATED

HOST = 0x100


def on_host(frames, host=HOST):
    return [(host, data, host > 0x7FF) for data in frames]


def wait_for(predicate, timeout=20):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.01)
    return False


@pytest.fixture
def group(bus):
    made = []

    def make(*args, **kwargs):
        m = kestro.Motor(*args, **kwargs)
        made.append(m)
        return m

    yield make
    made.clear()
    gc.collect()


def test_configuration_commands_on_the_wire(group, wire):
    expected = (
        # add_device(0, 0x201, "speed"), then a node id above 0xFFFF with the same dest, mode text in capitals
        entry(0x201) + [config(0xFF, 0x201, 0x11), config(0xFF, 0x201, 0x00)]
        + entry(0x201) + [config(0xFF, 0x201, 0x10), config(0xFF, 0x201, 0x00)]
        # the unicast commands of a Device
        + entry(0x201) + [config(0xFF, 0x201, 0x12), config(0xFF, 0x201, 0x01), config(0xFF, 0x201, 0x00)]
        # the broadcast commands
        + entry(0xFFFF) + [config(0xFF, 0xFFFF, 0x10), config(0xFF, 0xFFFF, 0x01), config(0xFF, 0xFFFF, 0x00)]
    )
    seen = wire(count=len(expected), id_filter="100:7FF")
    m = group("can0", HOST)
    dev = m.add_device(0, 0x201, "speed")
    m.add_device(slot_index=1, node_id=0x10201, mode="CURRENT")
    dev.enter_configure()
    dev.set_foc_mode("PoSiTiOn")
    t = time.monotonic()
    dev.start_calibration()
    assert time.monotonic() - t >= 0.2
    dev.exit_configure()
    m.enter_configure_broadcast()
    m.set_foc_mode_broadcast(mode="Current")
    t = time.monotonic()
    m.calibrate_broadcast()
    assert time.monotonic() - t >= 0.2
    m.exit_configure_broadcast()
    assert seen.frames() == on_host(expected)
    # The documented byte examples, checked against the helper above.
    assert config(0x73, 0xFFFF, 0x03).hex(" ") == "44 52 31 73 ff ff 03 57"
    assert config(0xFF, 0x201, 0x11).hex(" ") == "44 52 31 ff 01 02 11 ca"


def test_broadcast_frames_encode_each_slot_in_its_own_scale(group, wire):
    m = group("can0", host_id=HOST)
    empty = wire(count=1, id_filter="100:7FF")
    m.broadcast()
    assert empty.frames() == [(HOST, bytes(8), False)]

    cur = m.add_device(0, 0x201, "current")
    pos = m.add_device(1, 0x202, "position")
    spd = m.add_device(2, 0x203, "speed")
    far = m.add_device(7, 0x204, "speed")  # sits in slot 3
    assert far.slot_index == 3
    # A mode change on the driver leaves the broadcast scale of add_device's mode.
    spd.set_foc_mode("position")
    time.sleep(0.2)
    cases = [
        # (slot 0 current, slot 1 position, slot 2 speed, slot 3 speed) -> signed 16-bit counts
        ((1.999, -1.239, -0.05, 4000.0), (199, -123, 0, 32767)),
        ((-400.0, math.inf, -math.inf, math.nan), (-32768, 32767, -32768, 0)),
        ((0.1, 0.0, 10.0, -5.0), (10, 0, 100, -50)),
    ]
    seen = wire(count=len(cases), id_filter="100:7FF")
    for targets, _ in cases:
        for dev, value in zip((cur, pos, spd, far), targets):
            dev.set_target(value)
        m.broadcast()
        time.sleep(0.02)
    expected = [b"".join(v.to_bytes(2, "little", signed=True) for v in counts) for _, counts in cases]
    assert seen.frames() == on_host(expected)

    # Two devices in one slot: the later one fills the frame, the earlier one is the one the slot addresses.
    m2 = group("can0", HOST)
    first = m2.add_device(1, 0x301, "speed")
    second = m2.add_device(1, 0x302, "speed")
    first.set_target(1.0)
    second.set_target(2.0)
    time.sleep(0.2)
    seen = wire(count=1, id_filter="100:7FF")
    m2.broadcast()
    assert seen.frames() == [(HOST, bytes([0, 0, 20, 0, 0, 0, 0, 0]), False)]
    m2.set_target(1, 5.0)
    assert (first.get_target(), second.get_target()) == (5.0, 2.0)
    assert m2.set_target(2, 1.0) is None and m2.get_watch_data(2) is None
    assert m2.get_watch_data(9) is None
    assert repr(m2) == "Motor(host=0x100, devices=2)"


def test_extended_host_ids_and_a_host_id_that_cannot_be_sent(group, wire):
    m = group("can0", 0x1ABCDE)
    seen = wire(count=1, id_filter="001ABCDE:1FFFFFFF")
    m.broadcast()
    assert seen.frames() == [(0x1ABCDE, bytes(8), True)]
    # The group does not range-test its host id: the writer reports what cannot be sent.
    bad = group("can0", 0x20000000)
    with StderrTap() as tap:
        assert bad.broadcast() is None
        lines = tap.wait(lambda s: s.startswith("Failed to send CAN frame"), 1, timeout=10)
    assert [text for _, text in lines] == ["Failed to send CAN frame: CAN ID too large"]


def test_feedback_is_routed_by_full_identifier_and_odd_frames_are_reported(group):
    m = group("can0", HOST)
    low = m.add_device(0, 0x201, "speed")
    high = m.add_device(1, 0x10201, "speed")
    assert low.get_watch_data() == {"position": 0.0, "speed": 0.0, "current": 0.0}
    assert list(low.get_watch_data()) == ["position", "speed", "current"]
    with StderrTap() as tap:
        cansend("can1", "00010201#0000803F64009CFF")
        assert wait_for(lambda: high.get_watch_data()["position"] == 1.0)
        assert high.get_watch_data() == {"position": 1.0, "speed": 10.0, "current": -1.0}
        assert m.get_watch_data(1) == high.get_watch_data()
        assert low.get_watch_data()["position"] == 0.0
        cansend("can1", "201#0000004064009CFF")
        assert wait_for(lambda: low.get_watch_data()["position"] == 2.0)
        cansend("can1", "201#010203040506")
        cansend("can1", "301#0102030405060708")
        cansend("can1", "1FFFFFFF#")
        odd = tap.wait(lambda s: s.startswith(("Warning", "[Motor]")), 3, timeout=10)
    assert [text for _, text in odd] == [
        "Warning: ignoring CAN frame 0x201 with unexpected length 6",
        "[Motor] unmatched feedback frame: id=0x301, data=[1, 2, 3, 4, 5, 6, 7, 8]",
        "Warning: ignoring CAN frame 0x1FFFFFFF with unexpected length 0",
    ]
    assert low.get_watch_data()["position"] == 2.0  # the short frame changed nothing


def test_a_device_outlives_its_motor_and_nothing_is_reported_after(bus, wire):
    m = kestro.Motor("can0", HOST)
    dev = m.add_device(0, 0x201, "position")
    dev.set_target(0.1)
    assert dev.get_target() == 0.10000000149011612
    assert repr(dev) == "Device(slot=0, node_id=0x201, target=0.1000)"
    cansend("can1", "201#0000803F0A000000")
    assert wait_for(lambda: dev.get_watch_data()["speed"] == 1.0)
    with StderrTap() as tap:
        del m
        cansend("can1", "301#0102030405060708")
        cansend("can1", "201#0102")
        cansend("can1", "201#0000004000000000")
        time.sleep(0.5)
        assert tap.matching(lambda s: s.startswith(("Warning", "[Motor]"))) == []
    assert dev.get_watch_data() == {"position": 1.0, "speed": 1.0, "current": 0.0}
    seen = wire(count=1, id_filter="100:7FF")
    dev.exit_configure()
    assert seen.frames() == on_host([config(0xFF, 0x201, 0x00)])


@pytest.mark.parametrize("mode", ["speed", "SPEED", "Speed"])
def test_mode_texts_in_any_case(group, mode):
    m = group("can0", HOST)
    assert m.add_device(0, 0x201, mode).slot_index == 0


def test_bad_arguments_raise_and_send_nothing(group, wire):
    m = group("can0", HOST)
    dev = m.add_device(0, 0x201, "speed")
    time.sleep(0.2)
    seen = wire(id_filter="100:7FF")
    refused = {
        "Torque": "torque",
        " speed": " speed",
        "speed ": "speed ",
        "POSİTION": "posi\u0307tion",  # İ lower-cases to i and a combining dot
        "ſpeed": "ſpeed",  # long s is already lower case; only case folding would make it s
        "": "",
    }
    for text, lowered in refused.items():
        message = f"unknown mode '{lowered}', expected 'current', 'speed', or 'position'"
        for call in (lambda: m.add_device(1, 0x202, text), lambda: m.set_foc_mode_broadcast(text),
                     lambda: dev.set_foc_mode(mode=text)):
            with pytest.raises(ValueError) as info:
                call()
            assert str(info.value) == message
    type_errors = [
        (lambda: m.add_device("0", 0x202, "speed"), "slot_index"),
        (lambda: m.add_device(0, 1.0, "speed"), "node_id"),
        (lambda: m.add_device(0, 0x202, b"speed"), "mode"),
        (lambda: m.set_target(0, "1.0"), "value"),
        (lambda: m.set_target(None, 1.0), "slot_index"),
        (lambda: m.get_watch_data(0.0), "slot_index"),
        (lambda: m.set_foc_mode_broadcast(1), "mode"),
        (lambda: dev.set_target("fast"), "value"),
        (lambda: dev.set_foc_mode(None), "mode"),
    ]
    for call, name in type_errors:
        with pytest.raises(TypeError, match=f"argument '{name}'"):
            call()
    overflow = [
        (lambda: m.add_device(256, 0x202, "speed"), "slot_index"),
        (lambda: m.add_device(-1, 0x202, "speed"), "slot_index"),
        (lambda: m.add_device(0, 2**32, "speed"), "node_id"),
        (lambda: m.set_target(256, 1.0), "slot_index"),
        (lambda: m.get_watch_data(-1), "slot_index"),
    ]
    for call, name in overflow:
        with pytest.raises(OverflowError, match=f"argument '{name}'"):
            call()
    for call in (lambda: m.broadcast(1), lambda: dev.get_target(1), lambda: m.add_device(0, 1),
                 lambda: dev.exit_configure(x=1), lambda: m.set_target(0, 1.0, 2)):
        with pytest.raises(TypeError):
            call()
    assert dev.get_target() == 0.0
    dev.set_target(1e300)  # beyond single precision: infinity, as the cast gives
    assert dev.get_target() == math.inf
    assert seen.frames() == []
    assert repr(m) == "Motor(host=0x100, devices=1)"


def test_constructor_on_a_missing_interface(bus):
    with pytest.raises(OSError, match="^CAN interface 'can9' does not exist$"):
        kestro.Motor("can9", HOST)
    m = kestro.Motor("can0", host=None, host_id=0x100)
    assert (m.host, m.host_id) == (256, 256)


def anonymous_rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("RssAnon:"):
                return int(line.split()[1]) * 1024
    raise AssertionError("no RssAnon in /proc/self/status")


def test_frames_arriving_after_the_motor_is_gone_do_not_pile_up(bus):
    # vcan0: no bit rate and no receive overruns, so every frame reaches the group's socket.
    m = kestro.Motor("vcan0", HOST)
    dev = m.add_device(0, 0x201, "speed")
    del m
    gc.collect()
    frames = 20000
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as peer:
        peer.bind(("vcan0",))
        frame = struct.pack("=IB3x8s", 0x301, 8, bytes(range(8)))

        def flood():
            for i in range(frames):
                peer.send(frame)
                if i % 50 == 49:
                    time.sleep(0.001)  # paced, so that the socket's receive buffer never overflows
            time.sleep(0.5)

        flood()  # the first round also pays for whatever the process touches the first time
        grown = []
        for _ in range(2):
            before = anonymous_rss_bytes()
            flood()
            grown.append(anonymous_rss_bytes() - before)
    # Queued, each frame would cost well over 48 bytes in every round; a one-off allocation elsewhere in the
    # process shows in one round only.
    assert min(grown) < frames * 16, grown
    assert dev.exit_configure() is None


EXIT_PROGRAM = """
import kestro, sys, time
m = kestro.Motor("vcan0", 0x100)
devices = [m.add_device(slot, 0x201 + slot, "speed") for slot in range(4)]
@kestro.precision_timer(1000)
def control():
    for d in devices:
        d.set_target(1.0)
        d.get_watch_data()
    m.broadcast()
loop = control()
reader = kestro.run_async(lambda: [m.get_watch_data(0) for _ in range(10**9)])()
time.sleep(0.1)
print(time.time(), flush=True)
{ending}
"""


@pytest.mark.parametrize("ending, status", [("", 0), ("sys.exit(3)", 3), ("raise KeyError(1)", 1)])
def test_program_with_a_live_group_ends_promptly(bus, ending, status):
    from kestro_testing import run_python

    for _ in range(5):
        r = run_python(EXIT_PROGRAM.format(ending=ending), timeout=60)
        ended = time.time()
        assert r.returncode == status, r.stderr
        for bad in ("Fatal", "Aborted", "terminate called", "panic", "Segmentation"):
            assert bad not in r.stderr, r.stderr
        assert ended - float(r.stdout.split()[0]) < 10  # a hang would take the 60 s time-out


def test_registry_shutdown_leaves_the_receive_task_running(bus):
    from kestro_testing import run_python

    r = run_python("""
        import socket, struct, time, kestro
        m = kestro.Motor("vcan0", 0x100)
        dev = m.add_device(0, 0x201, "speed")
        assert kestro.shutdown_all(1000) is True
        assert kestro.block_until(wait_ms=0) == ("timeout", True)
        with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as peer:
            peer.bind(("vcan0",))
            peer.send(struct.pack("=IB3x8s", 0x201, 8, bytes([0, 0, 0x80, 0x3F, 0x64, 0, 0x9C, 0xFF])))
        deadline = time.monotonic() + 20
        while dev.get_watch_data()["position"] != 1.0 and time.monotonic() < deadline:
            time.sleep(0.01)
        print(dev.get_watch_data())
        """)
    assert r.returncode == 0, r.stderr
    assert r.stdout.strip() == "{'position': 1.0, 'speed': 10.0, 'current': -1.0}"


def test_frames_queued_just_before_the_program_ends_reach_the_bus(bus):
    from kestro_testing import run_python

    def transmitted():
        with open("/sys/class/net/can0/statistics/tx_packets") as f:
            return int(f.read())

    # Queued faster than the bus takes them (about 75 ms of frames here), then the program ends at once. The
    # exit waits a bounded time for them: an emulated controller is several times slower, so fewer there.
    frames = 100 if EMULATED else 600
    before = transmitted()
    r = run_python(f"""
        import kestro
        m = kestro.Motor("can0", 0x100)
        for i in range({frames}):
            m.broadcast()
        """)
    assert r.returncode == 0, r.stderr
    time.sleep(1)
    assert transmitted() - before == frames
