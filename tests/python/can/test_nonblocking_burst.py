# Bursts through the non-blocking device and its handling of a full transmit queue: a burst goes out whole
# and in order, also when the queue refuses writes for a while; a queue that does not drain is reported
# frame by frame (waited out once, then at once until a write succeeds); the blocking device does not wait
# a full queue out at all.
#
# The emulated bus drains can0's queue as fast as frames are written, so a burst alone never fills it and
# a silent node does not stall it (the emulated controllers complete every transmission, acknowledged or
# not). A gate on can0's queue produces the refusals instead: shut, the kernel refuses every write with
# ENOBUFS, exactly as for a full queue.
import threading
import time

import pytest

import kestro
from canbed_tools import StderrTap, gate, hang_guard, statistic, wire  # noqa: F401 (fixtures)

NO_BUFFER = "No buffer space available (os error 105)"
SEND_NO_BUFFER = "Failed to send CAN frame: " + NO_BUFFER
PATIENCE_S = 0.1  # how long a refused write is retried before the frame is given up


def burst(n):
    """Frames whose identifier and payload carry their place in the burst; every other one extended."""
    frames = []
    for i in range(n):
        ident = i if i % 2 == 0 else 0x10000000 | i
        frames.append((ident, i.to_bytes(2, "big") + bytes([0xA5]) * (i % 7)))
    return frames


def on_wire(frames):
    return [(i, d, i > 0x7FF) for i, d in frames]


def send_failures(text):
    return [line for line in text.splitlines() if line.startswith("Failed to send")]


def test_burst_goes_out_whole_and_in_order(bus, wire, capfd):
    frames = burst(300)
    seen = wire(count=len(frames))
    dev = kestro.CanDeviceNonBlocking("can0")
    capfd.readouterr()
    for ident, data in frames:
        assert dev.send(ident, data) is None
    assert seen.frames(timeout=120) == on_wire(frames)
    assert send_failures(capfd.readouterr().err) == []


def test_burst_rides_out_a_queue_that_refuses_for_a_while(bus, wire, gate, capfd):
    # The gate shuts the queue for 20 ms out of every 50 while the burst goes out: the device must wait each
    # refusal out and lose nothing. A shut spell that the bed stretches to near the device's patience proves
    # nothing either way, so such a run is repeated.
    frames = burst(300)
    dev = kestro.CanDeviceNonBlocking("can0")
    for _ in range(3):
        seen = wire(count=len(frames))
        refused_before = gate.dropped()
        capfd.readouterr()
        spells = []
        stop = threading.Event()
        first_shut = threading.Event()

        def toggle():
            while not stop.is_set():
                gate.shut()
                shut_at = time.monotonic()
                first_shut.set()
                time.sleep(0.02)
                gate.open()
                spells.append(time.monotonic() - shut_at)
                time.sleep(0.03)

        toggler = threading.Thread(target=toggle)
        toggler.start()
        try:
            assert first_shut.wait(30)
            for ident, data in frames:
                dev.send(ident, data)
            got = seen.frames(timeout=120)
        finally:
            stop.set()
            toggler.join()
        refused = gate.dropped() - refused_before
        failures = send_failures(capfd.readouterr().err)
        if max(spells) < 0.9 * PATIENCE_S:
            break
    else:
        pytest.fail(f"the gate could not be shut for less than {0.9 * PATIENCE_S} s at a time: {spells}")
    assert refused > 0  # the device did meet a refusing queue
    assert failures == []
    assert got == on_wire(frames)


def is_send_failure(line):
    return line.startswith("Failed to send")


def wait_transmitted(before, count, timeout=30):
    deadline = time.monotonic() + timeout
    while statistic("can0", "tx_packets") < before + count and time.monotonic() < deadline:
        time.sleep(0.01)
    return statistic("can0", "tx_packets") - before


def test_queue_that_stays_shut_is_reported_frame_by_frame(bus, wire, gate):
    dev = kestro.CanDeviceNonBlocking("can0")
    seen = wire(count=6)
    with StderrTap() as tap:
        # The first refused frame is waited out, then reported and dropped.
        gate.shut()
        start = time.monotonic()
        dev.send(0x400, b"\x00")
        first = tap.wait(is_send_failure, 1)
        assert [text for _, text in first] == [SEND_NO_BUFFER]
        assert first[0][0] - start >= 0.9 * PATIENCE_S

        # The queue now counts as stalled: each further refusal is reported without waiting. Had each been
        # waited out, these 30 would take three seconds.
        for i in range(1, 31):
            dev.send(0x400 + i, bytes([i]))
        reported = tap.wait(is_send_failure, 31)
        assert [text for _, text in reported] == [SEND_NO_BUFFER] * 31
        assert reported[-1][0] - first[0][0] < 15 * PATIENCE_S

        # Open again: the frames go out, and a write that succeeds ends the stall, so that the next refusal
        # is waited out again.
        gate.open()
        tx_before = statistic("can0", "tx_packets")
        for i in range(5):
            dev.send(0x440 + i, bytes([i]))
        assert wait_transmitted(tx_before, 5) == 5
        gate.shut()
        again = time.monotonic()
        dev.send(0x450, b"\x50")
        reported = tap.wait(is_send_failure, 32)
        assert len(reported) == 32
        assert reported[-1][1] == SEND_NO_BUFFER
        assert reported[-1][0] - again >= 0.9 * PATIENCE_S
        gate.open()
        dev.send(0x460, b"\x60")
        got = seen.frames()
    assert got == [(0x440 + i, bytes([i]), False) for i in range(5)] + [(0x460, b"\x60", False)]
    assert len(tap.matching(is_send_failure)) == 32


def test_frames_queued_behind_a_refused_one_keep_their_order(bus, wire, gate):
    # Shut for a moment only: the head frame is retried until the queue opens, the rest wait behind it.
    dev = kestro.CanDeviceNonBlocking("can0")
    frames = burst(40)
    for _ in range(3):
        seen = wire(count=len(frames))
        refused_before = gate.dropped()
        with StderrTap() as tap:
            gate.shut()
            shut_at = time.monotonic()
            for ident, data in frames:
                dev.send(ident, data)
            time.sleep(0.03)
            gate.open()
            spell = time.monotonic() - shut_at
            got = seen.frames(timeout=60)
        if spell < 0.9 * PATIENCE_S:
            break
    else:
        pytest.fail(f"the gate could not be shut for less than {0.9 * PATIENCE_S} s: {spell}")
    assert gate.dropped() > refused_before
    assert tap.matching(is_send_failure) == []
    assert got == on_wire(frames)


def test_blocking_send_raises_at_once_on_a_refusing_queue(bus, wire, gate):
    dev = kestro.CanDevice("can0")
    seen = wire(count=1)
    gate.shut()
    for _ in range(3):
        with pytest.raises(OSError) as info:
            dev.send(0x470, b"\x70")
        assert info.value.args == (NO_BUFFER,)
    gate.open()
    dev.send(0x471, b"\x71")
    assert seen.frames() == [(0x471, b"\x71", False)]
