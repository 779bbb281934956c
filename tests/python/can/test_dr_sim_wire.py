# The driver simulator on the bed's bus: it runs on can1; the test talks to it from a raw socket on can0
# (frames a few ms apart, so that can1's receive FIFO keeps up) and reads its feedback there. Covered: the
# session rules, unicast and broadcast dest, a bad check byte, frames on other ids or of other lengths, the
# silent / length= / id= behaviours, feedback that follows a speed target, and a clean exit (status 0,
# nothing on standard error) on SIGTERM, SIGINT and --duration.
#
# The simulator handles frames in the order they arrive and answers a target frame driver by driver in the
# order of its --driver arguments, so "nothing happened" is checked against a later frame that must cause
# something: a command that no test otherwise sends, to a marker driver (its line closes each batch of
# lines), or the feedback of a driver listed after the one that must stay quiet.
import pathlib
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import pytest

from canbed_tools import hang_guard, statistic  # noqa: F401 (fixtures)
from dr_frames import config, end, entry, foc, targets, zero

TOOL = pathlib.Path(__file__).resolve().parents[3] / "tools" / "dr_sim.py"
HOST = 0x100
MARKER = "0x2ff:3:speed:silent"
SYNC_CTL = 0x0E  # an unknown command: the marker driver prints a line for it and changes nothing
SYNC_LINE = "0x2ff ignored unknown command 0xFF 0x0E"
WAIT_S = 20  # anything slower than this is hung
EFF = socket.CAN_EFF_FLAG


def decode(payload):
    position, speed, current = struct.unpack("<fhh", payload)
    return position, speed / 10.0, current / 100.0


class Sim:
    """tools/dr_sim.py on can1, with its output lines gathered as they come."""

    def __init__(self, peer, *drivers, args=()):
        self.peer = peer
        argv = [sys.executable, str(TOOL), "--interface", "can1", "--host", hex(HOST)]
        for d in (*drivers, MARKER):
            argv += ["--driver", d]
        pipe = subprocess.PIPE
        self.proc = subprocess.Popen(argv + list(args), stdout=pipe, stderr=pipe, text=True)
        self.lines, self.taken = [], 0
        self.cond = threading.Condition()
        self.err = []
        threading.Thread(target=self._read, daemon=True).start()
        self.err_reader = threading.Thread(target=lambda: self.err.extend(self.proc.stderr), daemon=True)
        self.err_reader.start()
        assert self._wait(lambda: "ready" in self.lines), f"no ready line: {self.lines} {self.err}"
        assert self.lines == ["ready"]
        self.taken = 1

    def _read(self):
        for line in self.proc.stdout:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def _wait(self, predicate):
        with self.cond:
            self.cond.wait_for(lambda: predicate() or self.proc.poll() is not None, WAIT_S)
            return predicate()

    def sync(self):
        """The lines printed since the last sync, once everything sent before has been handled."""
        self.peer.send(config(0xFF, 0x2FF, SYNC_CTL))
        assert self._wait(lambda: SYNC_LINE in self.lines[self.taken :]), (self.lines, self.err)
        with self.cond:
            new = self.lines[self.taken :]
            self.taken = len(self.lines)
        return [line for line in new[: new.index(SYNC_LINE)] if not line.startswith("0x2ff ")]

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
        rc = self.proc.wait(timeout=WAIT_S)
        self.err_reader.join(timeout=WAIT_S)
        return rc


class Peer:
    """The host's side: a raw socket on can0 that sends frames and returns the frames the simulator sends.
    A socket does not receive what it sends itself."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        self.sock.bind(("can0",))
        self.sock.settimeout(WAIT_S)
        self.overruns = statistic("can0", "rx_over_errors")

    def send(self, *frames, ident=HOST, extended=None):
        """Data frames; ids above 0x7FF in extended format unless `extended` says otherwise."""
        for data in frames:
            self.send_word(ident | EFF if (ident > 0x7FF if extended is None else extended) else ident, data)

    def send_word(self, can_id, data):
        time.sleep(0.005)
        self.sock.send(struct.pack("=IB3x8s", can_id, len(data), data))

    def frames(self, count):
        """Up to `count` frames (id, extended, data), fewer only when nothing more comes for WAIT_S."""
        got = []
        while len(got) < count:
            try:
                raw = self.sock.recv(16)
            except TimeoutError:
                break
            can_id, length, data = struct.unpack("=IB3x8s", raw)
            got.append((can_id & socket.CAN_EFF_MASK, bool(can_id & EFF), data[:length]))
        assert statistic("can0", "rx_over_errors") == self.overruns, "can0 overran: frames were lost"
        return got


@pytest.fixture
def peer(bus):
    p = Peer()
    yield p
    p.sock.close()


@pytest.fixture
def start(peer):
    started = []

    def run(*drivers, args=()):
        s = Sim(peer, *drivers, args=args)
        started.append(s)
        return s

    yield run
    for s in started:
        if s.proc.poll() is None:
            s.proc.kill()
        s.proc.wait()


def check_clean_exit(sim, sig=signal.SIGTERM):
    assert sim.stop(sig) == 0
    assert sim.err == []


# ---------------------------------------------------------------------------------------------------------


def test_session_rules(start, peer):
    sim = start("0x201:0:speed", "0x202:1:speed")
    peer.send(foc(0x201, "current"), zero(0x201), entry(0x201)[1])
    assert sim.sync() == [
        "0x201 ignored foc mode outside session",
        "0x201 ignored encoder zero outside session",
        "0x201 ignored entry frame 2 without frame 1",
    ]
    peer.send(*entry(0x201), foc(0x201, "current"), zero(0x201), end(0x201), foc(0x201, "position"))
    assert sim.sync() == [
        "0x201 session open",
        "0x201 foc mode current",
        "0x201 encoder zero",
        "0x201 session closed",
        "0x201 ignored foc mode outside session",
    ]
    # The mode set in the session outlives it: 150 counts are 1.5 A for 0x201, whose current gets there
    # (in speed or position mode it would stay below 1 A), and 15 rad/s for 0x202, whose current stays low.
    first, second = [], []
    for _ in range(200):
        peer.send(targets(150, 150))
        frames = peer.frames(2)
        assert [(i, ext) for i, ext, _ in frames] == [(0x201, False), (0x202, False)]
        first.append(decode(frames[0][2]))
        second.append(decode(frames[1][2]))
        if first[-1][2] >= 1.2 and second[-1][1] >= 12.0:
            break
    assert first[-1][2] >= 1.2 and second[-1][1] >= 12.0, (first[-1], second[-1])
    assert all(0 <= fb[2] <= 1.5 for fb in first)
    assert all(0 <= fb[2] < 1.0 and fb[1] <= 15.0 for fb in second)
    check_clean_exit(sim)


def test_broadcast_and_unicast_dest(start, peer):
    sim = start("0x201:0:speed", "0x202:1:speed", "0x10203:2:current")
    peer.send(*entry(0xFFFF))
    assert sim.sync() == ["0x201 session open", "0x202 session open", "0x10203 session open"]
    peer.send(foc(0x0203, "position"), foc(0x0202, "current"), foc(0x0301, "speed"), *entry(0x0301))
    assert sim.sync() == ["0x10203 foc mode position", "0x202 foc mode current"]
    peer.send(end(0xFFFF), foc(0xFFFF, "speed"))
    assert sim.sync() == [
        "0x201 session closed",
        "0x202 session closed",
        "0x10203 session closed",
        "0x201 ignored foc mode outside session",
        "0x202 ignored foc mode outside session",
        "0x10203 ignored foc mode outside session",
    ]
    check_clean_exit(sim)


def test_bad_check_is_ignored(start, peer):
    sim = start("0x201:0:speed", "0x202:1:speed")
    first, second = entry(0x201)
    peer.send(first, second[:7] + bytes([second[7] ^ 0x80]), foc(0x201, "current"))
    assert sim.sync() == ["0x201 ignored bad check", "0x201 ignored foc mode outside session"]
    peer.send(*entry(0xFFFF), config(0xFF, 0xFFFF, 0x10, check=0x00), foc(0x201, "position"))
    assert sim.sync() == [
        "0x201 session open",
        "0x202 session open",
        "0x201 ignored bad check",
        "0x202 ignored bad check",
        "0x201 foc mode position",
    ]
    check_clean_exit(sim)


def test_other_ids_and_lengths_are_ignored(start, peer):
    sim = start("0x201:0:speed")
    peer.send(*entry(0x201), targets(100), ident=0x101)
    peer.send(*entry(0x201), targets(100), extended=True)  # the same number as an extended id
    # A remote request (of length 0: one with a length upsets the emulated controller's receive FIFO).
    peer.send_word(HOST | socket.CAN_RTR_FLAG, b"")
    peer.send(entry(0x201)[0][:7], entry(0x201)[1][:7], targets(100)[:6], b"")
    peer.send(foc(0x201, "current"))
    assert sim.sync() == ["0x201 ignored foc mode outside session"]
    peer.send(targets(100), targets(100))
    frames = peer.frames(2)
    assert [(i, ext) for i, ext, _ in frames] == [(0x201, False)] * 2
    assert decode(frames[0][2]) == (0.0, 0.0, 0.0)  # nothing before moved it
    assert decode(frames[1][2])[1] > 0
    check_clean_exit(sim)


def test_behaviours(start, peer):
    sim = start("0x203:2:speed:silent", "0x12345:0:speed:length=3", "0x205:0:speed:id=0x1abcdef",
                "0x201:0:speed")
    for _ in range(4):
        peer.send(targets(100))
    frames = peer.frames(12)
    assert [(i, ext, len(d)) for i, ext, d in frames] == [
        (0x12345, True, 3), (0x1ABCDEF, True, 8), (0x201, False, 8)
    ] * 4
    for k in range(4):
        short, same, full = (d for _, _, d in frames[3 * k : 3 * k + 3])
        assert short == full[:3] and same == full  # one slot, one target: one state
    assert decode(frames[-1][2])[1] > 0
    # the silent driver and the one with another feedback id still take configuration on their node id
    peer.send(*entry(0x203), *entry(0x205))
    assert sim.sync() == ["0x203 session open", "0x205 session open"]
    check_clean_exit(sim, signal.SIGINT)


def test_feedback_follows_a_speed_target(start, peer):
    sim = start("0x201:0:speed")
    feedback = []
    for _ in range(1000):
        peer.send(targets(100))  # 10 rad/s
        ((ident, _, payload),) = peer.frames(1)
        assert ident == 0x201
        feedback.append(decode(payload))
        if feedback[-1][1] >= 9.5:
            break
    positions, speeds, currents = zip(*feedback)
    assert feedback[0] == (0.0, 0.0, 0.0)
    assert speeds[-1] >= 9.5, "never got near the target"
    assert len(feedback) > 3, "jumped to the target"
    assert all(a <= b <= 10.0 for a, b in zip(speeds, speeds[1:]))
    assert all(a <= b for a, b in zip(positions, positions[1:])) and positions[-1] > 0
    assert all(c >= 0 for c in currents) and currents[-1] < max(currents)
    check_clean_exit(sim)


def test_duration_ends_it(start):
    sim = start("0x201:0:speed", args=["--duration", "0.5"])
    assert sim.proc.wait(timeout=WAIT_S) == 0
    sim.err_reader.join(timeout=WAIT_S)
    assert sim.err == []
