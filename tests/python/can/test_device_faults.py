# Faults met by the devices at run time: frames the non-blocking device is given that cannot exist, and the
# interface going down under an open device and coming back. Whatever happens, the device reports it, keeps
# what it had received, sends what comes after, and neither crashes nor hangs.
import json
import subprocess

import kestro
from canbed_tools import Dump, check_other_node, hang_guard, parse_candump, restore, statistic, wire  # noqa: F401
from kestro_testing import run_python

RECV_DOWN = "Failed to receive CAN frame: Network is down (os error 100)"
SEND_DOWN = "Failed to send CAN frame: Network is down (os error 100)"
READ_PAUSE_S = 0.1  # a failing reader reports at most once in this long


def test_nonblocking_reports_frames_that_cannot_exist_and_goes_on(bus, wire, capfd):
    sends = [
        (0x301, b"\x01"),
        (0x302, bytes(9)),
        (0x303, b"\x03"),
        (0x20000000, b""),
        (0x304, b"\x04"),
        (0x20000000, bytes(9)),
        (0xFFFFFFFF, b"\x05"),
        (0x305, b"\x05"),
    ]
    seen = wire(count=4)
    dev = kestro.CanDeviceNonBlocking("can0")
    capfd.readouterr()
    for ident, data in sends:
        assert dev.send(ident, data) is None
    assert seen.frames() == [(0x301, b"\x01", False), (0x303, b"\x03", False), (0x304, b"\x04", False),
                             (0x305, b"\x05", False)]
    failures = [line for line in capfd.readouterr().err.splitlines() if line.startswith("Failed to send")]
    assert failures == [
        "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes",
        "Failed to send CAN frame: CAN ID too large",
        "Failed to send CAN frame: Payload is larger than CAN maximum of 8 bytes",  # the payload is checked first
        "Failed to send CAN frame: CAN ID too large",
    ]


# The scripts below run in a fresh interpreter, so that its standard error holds their device's reports
# only. candump ends when its interface goes down, so the echo of what can1 transmits is watched by a candump
# that the script starts once can1 is back.
WATCH = """
    import json, os, signal, subprocess, time
    import kestro

    def sh(*args):
        subprocess.run(args, check=True, capture_output=True, timeout=60)

    def watch(iface):
        proc = subprocess.Popen(["candump", "-L", iface], stdout=subprocess.PIPE, text=True)
        time.sleep(0.3)
        return proc

    def unwatch(proc):
        time.sleep(0.3)
        proc.send_signal(signal.SIGINT)
        return proc.communicate(timeout=30)[0]
"""

# Markers on standard error divide the run into: before the fault, interface down, coming back up, back up.
NONBLOCKING_DOWN = WATCH + """
    def mark(text):
        os.write(2, f"-- {text}\\n".encode())

    dev = kestro.CanDeviceNonBlocking("can1")
    for i in range(3):
        sh("cansend", "can0", f"1{i}0#0{i}")
    time.sleep(1.0)  # the reader has taken them in; nobody receives them yet
    mark("down")
    start = time.monotonic()
    sh("ip", "link", "set", "can1", "down")
    dev.send(0x2A0, b"\\xa0")  # cannot go out
    cpu = time.process_time()
    time.sleep(1.5)
    cpu_down = time.process_time() - cpu
    down_for = time.monotonic() - start
    mark("up")
    start = time.monotonic()
    sh("ip", "link", "set", "can1", "type", "can", "bitrate", "1000000")
    sh("ip", "link", "set", "can1", "up")
    up_for = time.monotonic() - start
    mark("back")
    start = time.monotonic()
    echo = watch("can1,2A0:7E0")
    for i in range(3):
        dev.send(0x2B0 + i, bytes([i]))
    sh("cansend", "can0", "130#03")
    got = [dev.receive_timeout(20000) for _ in range(4)]
    extra = dev.receive_timeout(500)
    echo = unwatch(echo)
    back_for = time.monotonic() - start
    print(json.dumps({
        "got": [None if g is None else [g[0], g[1].hex()] for g in got],
        "extra": extra,
        "down_for": down_for, "up_for": up_for, "back_for": back_for, "cpu_down": cpu_down,
        "echo": echo,
    }))
"""


def sections(stderr):
    """Standard error split at the markers: {"": lines before the first, name: lines after it}."""
    parts = {"": []}
    current = ""
    for line in stderr.splitlines():
        if line.startswith("-- "):
            current = line[3:]
            parts[current] = []
        else:
            parts[current].append(line)
    return parts


def test_nonblocking_device_rides_out_its_interface_going_down(bus):
    overruns = statistic("can0", "rx_over_errors")
    other_node = Dump("can0", id_filter="2A0:7E0")
    try:
        r = run_python(NONBLOCKING_DOWN, timeout=180)
    finally:
        other_node_saw = other_node.stop()
        restore("can1")
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    parts = sections(r.stderr)
    assert list(parts) == ["", "down", "up", "back"], r.stderr
    assert parts[""] == []

    # Down: the reader says so, but not more than once per pause; the frame sent meanwhile is reported.
    down = parts["down"]
    assert down.count(SEND_DOWN) == 1, r.stderr
    reads = [line for line in down if line != SEND_DOWN]
    assert set(reads) == {RECV_DOWN}, r.stderr
    assert len(reads) <= out["down_for"] / READ_PAUSE_S + 2, r.stderr
    assert out["cpu_down"] < 0.75, out  # of 1.5 s: the reader does not spin on the fault either
    for name in ("up", "back"):
        assert set(parts[name]) <= {RECV_DOWN}, r.stderr
        assert len(parts[name]) <= out[f"{name}_for"] / READ_PAUSE_S + 2, r.stderr

    # Back up: what was received before the fault is all there, in order, then what came after it.
    assert out["got"] == [[0x100, "00"], [0x110, "01"], [0x120, "02"], [0x130, "03"]]
    assert out["extra"] is None
    # Only the frames sent once the interface was back went out.
    sent = parse_candump(out["echo"])
    assert sent == [(0x2B0 + i, bytes([i]), False) for i in range(3)]
    check_other_node(other_node_saw, sent, "can0", overruns)


BLOCKING_DOWN = WATCH + """
    def attempt(call, *args):
        try:
            result = call(*args)
            return ["ok", None if result is None else [result[0], result[1].hex()]]
        except OSError as e:
            return ["OSError", list(e.args)]

    dev = kestro.CanDevice("can1")
    peer = subprocess.Popen(["sh", "-c", "sleep 0.5; ip link set can1 down"])
    receive = attempt(dev.receive)  # waiting when the interface goes down
    peer.wait()
    send = attempt(dev.send, 0x2C0, b"\\x01")
    sh("ip", "link", "set", "can1", "type", "can", "bitrate", "1000000")
    sh("ip", "link", "set", "can1", "up")
    echo = watch("can1,2C0:7F0")
    send_back = attempt(dev.send, 0x2C1, b"\\x02")
    sh("cansend", "can0", "140#04")
    receive_back = attempt(dev.receive)
    echo = unwatch(echo)
    print(json.dumps({"receive": receive, "send": send, "send_back": send_back, "receive_back": receive_back,
                      "echo": echo}))
"""


def test_blocking_device_raises_while_its_interface_is_down_then_works_again(bus):
    overruns = statistic("can0", "rx_over_errors")
    other_node = Dump("can0", id_filter="2C0:7F0")
    try:
        r = run_python(BLOCKING_DOWN, timeout=180)
    finally:
        other_node_saw = other_node.stop()
        restore("can1")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    out = json.loads(r.stdout)
    assert out["receive"] == ["OSError", ["Network is down (os error 100)"]]
    assert out["send"] == ["OSError", ["Network is down (os error 100)"]]
    assert out["send_back"] == ["ok", None]
    assert out["receive_back"] == ["ok", [0x140, "04"]]
    sent = parse_candump(out["echo"])
    assert sent == [(0x2C1, b"\x02", False)]
    check_other_node(other_node_saw, sent, "can0", overruns)


# vcan0 deleted under open devices and made again, as a replugged USB adapter is: the same name, a new index,
# and down. While it is gone, the non-blocking device reports and pauses, and the frame queued meanwhile is
# reported as not sent; the blocking one raises at once, never waiting on a socket bound to nothing. Once it
# is back, the devices provision it as at open (one line: the first to come back brings it up) and carry on.
REPLUGGED = """
    import json, os, signal, subprocess, time
    import kestro

    def sh(*args):
        subprocess.run(args, check=True, capture_output=True, timeout=60)

    def attempt(call, *args):
        try:
            result = call(*args)
            return ["ok", None if result is None else [result[0], result[1].hex()]]
        except OSError as e:
            return ["OSError", list(e.args)]

    def mark(text):
        os.write(2, f"-- {text}\\n".encode())

    dev = kestro.CanDeviceNonBlocking("vcan0")
    blocking = kestro.CanDevice("vcan0")
    sh("cansend", "vcan0", "123#01")
    before = [dev.receive_timeout(20000), blocking.receive()]
    mark("removed")
    start = time.monotonic()
    sh("ip", "link", "del", "vcan0")
    dev.send(0x10, b"\\x01")
    cpu = time.process_time()
    time.sleep(1.5)
    cpu_removed = time.process_time() - cpu
    after = dev.receive_timeout(300)
    send = attempt(blocking.send, 0x10, b"\\x01")
    receive = attempt(blocking.receive)
    removed_for = time.monotonic() - start
    mark("back")
    sh("ip", "link", "add", "dev", "vcan0", "type", "vcan")
    back = time.monotonic()
    resumed = None
    while resumed is None and time.monotonic() - back < 60:
        subprocess.run(["cansend", "vcan0", "124#02"], capture_output=True, timeout=60)  # fails while down
        resumed = dev.receive_timeout(100)
    resumed_after = time.monotonic() - back
    while dev.receive_timeout(300) is not None:
        pass
    mark("resumed")
    echo = subprocess.Popen(["candump", "-L", "vcan0"], stdout=subprocess.PIPE, text=True)
    time.sleep(0.3)
    send_back = attempt(blocking.send, 0x2B1, b"\\xb1")  # its first call since: it binds again here
    dev.send(0x2B0, b"\\xb0")
    sh("cansend", "vcan0", "125#03")
    # A socket on vcan0 receives what the other sockets send: each device gets the other's frame first.
    received_back = [dev.receive_timeout(20000), dev.receive_timeout(20000), attempt(blocking.receive),
                     attempt(blocking.receive)]
    time.sleep(0.3)
    echo.send_signal(signal.SIGINT)
    print(json.dumps({"before": [[f[0], f[1].hex()] for f in before], "after": after, "send": send,
                      "receive": receive, "cpu_removed": cpu_removed, "removed_for": removed_for,
                      "resumed": [resumed[0], resumed[1].hex()] if resumed else None,
                      "resumed_after": resumed_after, "send_back": send_back,
                      "received_back": [[f[0], f[1].hex()] for f in received_back[:2]] + received_back[2:],
                      "echo": echo.communicate(timeout=30)[0]}))
"""

SEND_GONE = "Failed to send CAN frame: No such device or address (os error 6)"
RECV_GONE = "Failed to receive CAN frame: No such device (os error 19)"


def test_devices_come_back_after_their_interface_is_replugged():
    try:
        r = run_python(REPLUGGED, timeout=240)
    finally:
        if subprocess.run(["ip", "link", "show", "vcan0"], capture_output=True).returncode != 0:
            subprocess.run(["ip", "link", "add", "dev", "vcan0", "type", "vcan"], capture_output=True, timeout=60)
        subprocess.run(["ip", "link", "set", "vcan0", "up"], capture_output=True, timeout=60)
    assert r.returncode == 0, r.stderr
    out = json.loads(r.stdout)
    assert out["before"] == [[0x123, "01"], [0x123, "01"]]
    parts = sections(r.stderr)
    assert list(parts) == ["", "removed", "back", "resumed"], r.stderr
    assert parts[""] == []

    # Gone: the frame queued meanwhile is reported; the reader reports at most once per pause, without spinning.
    lines = parts["removed"]
    assert lines.count(SEND_GONE) == 1, r.stderr
    reads = [line for line in lines if line != SEND_GONE]
    assert set(reads) <= {RECV_DOWN, RECV_GONE}, r.stderr
    assert 1 <= len(reads) <= out["removed_for"] / READ_PAUSE_S + 2, r.stderr
    assert out["cpu_removed"] < 0.75, out  # of 1.5 s
    assert out["after"] is None
    assert out["send"] == ["OSError", ["No such device or address (os error 6)"]]
    assert out["receive"] == ["OSError", ["No such device (os error 19)"]]

    # Back: provisioned once, as a new device would be, and the reader receives again by itself.
    assert out["resumed"] == [0x124, "02"], f"never received again ({out['resumed_after']:.1f} s)"
    back = parts["back"]
    assert back.count("[CAN] Interface 'vcan0' needs configuration (up=false, bitrate=none), configuring...") == 1
    assert set(back) <= {RECV_GONE, back[back.index("[CAN] Interface 'vcan0' needs configuration (up=false, "
                                                   "bitrate=none), configuring...")]}, r.stderr
    assert len([line for line in back if line == RECV_GONE]) <= out["resumed_after"] / READ_PAUSE_S + 2
    print(f"traffic resumed {out['resumed_after']:.2f} s after vcan0 was made again")

    # And afterwards everything is as before the fault, on both devices.
    assert parts["resumed"] == []
    assert out["send_back"] == ["ok", None]
    assert out["received_back"] == [[0x2B1, "b1"], [0x125, "03"], ["ok", [0x2B0, "b0"]], ["ok", [0x125, "03"]]]
    assert sorted(parse_candump(out["echo"])) == [(0x125, b"\x03", False), (0x2B0, b"\xb0", False),
                                                  (0x2B1, b"\xb1", False)]
