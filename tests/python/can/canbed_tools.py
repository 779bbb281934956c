# Tools shared by the CAN tests that run in the bed: independent observers of the wire (candump), peers that
# send (cansend, python-can), a gate on can0's transmit queue, a tap on the process's standard error, the
# interface controls, and a guard that turns a hang into a failure with every thread's stack.
import faulthandler
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

import can
import pytest

# A skip whose reason starts with this is allowed in the bed: the thing tested cannot exist on that interpreter.
LANE_SKIP = "not on this interpreter:"

# Anything that waits longer than this is hung; the whole run is stopped with every thread's stack.
HANG_S = 240


def terminal_fd(config):
    """The standard error that pytest captures away during a test, so that a hang's stacks are seen."""
    capman = config.pluginmanager.getplugin("capturemanager")
    err = getattr(getattr(capman, "_global_capturing", None), "err", None)
    fd = getattr(err, "targetfd_save", None)
    return fd if isinstance(fd, int) else sys.stderr


@pytest.fixture(autouse=True)
def hang_guard(request):
    # A blocking receive keeps the interpreter lock, so no Python-level time-out could interrupt it.
    faulthandler.dump_traceback_later(HANG_S, exit=True, file=terminal_fd(request.config))
    yield
    faulthandler.cancel_dump_traceback_later()


# ---------------------------------------------------------------------------------------------------------
# Interfaces.


def run(*args, **kwargs):
    return subprocess.run(list(args), check=True, capture_output=True, text=True, timeout=60, **kwargs).stdout


def cansend(iface, frame):
    run("cansend", iface, frame)


def delayed_cansend(iface, frame, delay=0.5):
    return subprocess.Popen(["sh", "-c", f"sleep {delay}; cansend {iface} {frame}"])


def link_state(iface):
    details = run("ip", "-details", "link", "show", iface)
    flags = details.split("<", 1)[1].split(">", 1)[0].split(",")
    return "UP" in flags, details


def set_down(iface):
    run("ip", "link", "set", iface, "down")


def set_up(iface, bitrate=1_000_000):
    run("ip", "link", "set", iface, "type", "can", "bitrate", str(bitrate))
    run("ip", "link", "set", iface, "up")


def restore(*ifaces):
    """Controllers back up at 1 Mbit/s, whatever a test left them in."""
    for iface in ifaces:
        up, details = link_state(iface)
        if up and "bitrate 1000000 " in details:
            continue
        set_down(iface)
        set_up(iface)


def statistic(iface, name):
    with open(f"/sys/class/net/{iface}/statistics/{name}") as f:
        return int(f.read())


# ---------------------------------------------------------------------------------------------------------
# Observers.


def parse_candump(text):
    """candump -L lines as [(id, data, extended)]; a remote request reads as its length in zero bytes."""
    frames = []
    for line in text.splitlines():
        ident, data = line.split()[2].split("#", 1)
        if data.startswith("R"):
            payload = bytes(int(data[1:] or "0"))
        else:
            payload = bytes.fromhex(data.replace(".", ""))
        frames.append((int(ident, 16), payload, len(ident) == 8))
    return frames


class Dump:
    """candump -L on an interface (with an optional id:mask filter), with a large receive buffer so that
    candump itself drops nothing in a burst. Its output is read as it comes: a candump blocked on a full
    pipe would lose what it still holds when it is stopped."""

    def __init__(self, iface, count=None, id_filter=None):
        args = ["candump", "-L", "-r", "4000000"]
        if count is not None:
            args += ["-n", str(count)]
        args.append(f"{iface},{id_filter}" if id_filter else iface)
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
        self.lines = []
        self.reader = threading.Thread(target=lambda: self.lines.extend(self.proc.stdout), daemon=True)
        self.reader.start()
        self._wait_bound()

    def _wait_bound(self, timeout=30):
        """candump sees nothing sent before it binds. The socket that it opens just before binding is the sign
        (a fixed pause is too short in an emulated guest on a loaded host)."""
        deadline = time.monotonic() + timeout
        fds = f"/proc/{self.proc.pid}/fd"
        while time.monotonic() < deadline and self.proc.poll() is None:
            try:
                if any(os.readlink(f"{fds}/{fd}").startswith("socket:") for fd in os.listdir(fds)):
                    break
            except OSError:
                pass
            time.sleep(0.01)
        time.sleep(0.1)

    def wait(self, timeout):
        """Waits for candump to end after its count; stops it when that takes longer than `timeout`."""
        try:
            self.proc.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            return self.stop()
        return self._frames()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
        try:
            self.proc.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        return self._frames()

    def _frames(self):
        self.reader.join(timeout=30)
        return parse_candump("".join(self.lines))

    def kill(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()


def is_subsequence(part, whole):
    it = iter(whole)
    return all(any(x == y for y in it) for x in part)


def check_other_node(seen, sent, iface, overruns_before):
    """What node `iface` received of the frames `sent`: all of them in order, or only missing ones that an
    overrun of its receive FIFO (counted since `overruns_before`) can account for."""
    assert is_subsequence(seen, sent), f"{iface} saw {seen}, which is not {sent} in order"
    if len(seen) < len(sent):
        assert statistic(iface, "rx_over_errors") > overruns_before, (
            f"{iface} missed {len(sent) - len(seen)} frames without an overrun"
        )


class Wire:
    """The frames that a device on `tx` puts on the bus, seen by two candumps: on `tx` itself (the echo that
    the controller gives for each frame once it has been transmitted) and on `rx`, the other node.

    candump ends when its interface goes down, so a test that takes `tx` down watches it its own way.

    The emulated SJA1000 overruns its receive FIFO when frames come in back to back and loses frames then,
    counting the overruns in rx_over_errors. So the other node's view must be the transmitted frames in
    order, with gaps only when it counted an overrun; the echo is the exact record."""

    def __init__(self, tx="can0", rx="can1", count=None, id_filter=None):
        self.tx, self.rx = tx, rx
        self.counted = count is not None
        self.overruns = statistic(rx, "rx_over_errors")
        self.sent = Dump(tx, count=count, id_filter=id_filter)
        self.seen = Dump(rx, id_filter=id_filter)

    def frames(self, timeout=30):
        """The frames transmitted; with a count, waits up to `timeout` for that many."""
        if self.counted:
            sent = self.sent.wait(timeout)
            time.sleep(0.3)
        else:
            time.sleep(0.3)
            sent = self.sent.stop()
        # The other node's candump may still be printing what it received (the guest is slow under load).
        deadline = time.monotonic() + 5
        while len(self.seen.lines) < len(sent) and time.monotonic() < deadline:
            time.sleep(0.05)
        check_other_node(self.seen.stop(), sent, self.rx, self.overruns)
        return sent

    def kill(self):
        self.sent.kill()
        self.seen.kill()


@pytest.fixture
def wire():
    started = []

    def start(*args, **kwargs):
        w = Wire(*args, **kwargs)
        started.append(w)
        return w

    yield start
    for w in started:
        w.kill()


# ---------------------------------------------------------------------------------------------------------
# Peers.


def peer_send(channel, frames):
    """Sends (id, data) frames from python-can, retrying a full transmit queue as a user would."""
    with can.Bus(interface="socketcan", channel=channel) as peer:
        for ident, data in frames:
            msg = can.Message(arbitration_id=ident, data=data, is_extended_id=ident > 0x7FF)
            for _ in range(10_000):
                try:
                    peer.send(msg)
                    break
                except can.CanOperationError:
                    time.sleep(0.001)
            else:
                raise AssertionError(f"python-can could not send {msg}")


def drain(dev, count, timeout=30):
    """Takes up to `count` frames from a non-blocking device, waiting up to `timeout` in all."""
    got = []
    deadline = time.monotonic() + timeout
    while len(got) < count and time.monotonic() < deadline:
        frame = dev.receive_timeout(200)
        if frame is not None:
            got.append(frame)
    return got


# ---------------------------------------------------------------------------------------------------------
# can0's transmit queue, opened and shut over rtnetlink.

NLMSG_ERROR = 2
NLM_F_REQUEST, NLM_F_ACK, NLM_F_REPLACE, NLM_F_CREATE = 0x1, 0x4, 0x100, 0x400
RTM_NEWQDISC, RTM_DELQDISC = 36, 37
TCA_KIND, TCA_OPTIONS = 1, 2
TC_H_ROOT = 0xFFFFFFFF
FAMILY_ANY = 0
GATE_HANDLE = 0x10000  # 1:
QUEUE_LEN = 10  # the controllers' transmit queue length


def _attr(kind, payload):
    size = 4 + len(payload)
    return struct.pack("=HH", size, kind) + payload + bytes(-size % 4)


class TxQueueGate:
    """A pfifo root queue on an interface, in place of the default one, whose limit is changed in well
    under a millisecond (the tc program takes about 300 ms to start in the bed). Shut (limit 0), every write
    to the interface fails with ENOBUFS as if its transmit queue were full and not draining; open, it is the
    controller's usual queue of 10. Changing the limit keeps what is queued."""

    def __init__(self, iface):
        self.ifindex = socket.if_nametoindex(iface)
        self.sock = socket.socket(socket.AF_NETLINK, socket.SOCK_RAW, socket.NETLINK_ROUTE)
        self.seq = 0
        self.lock = threading.Lock()
        self._request(RTM_NEWQDISC, NLM_F_CREATE | NLM_F_REPLACE, self._pfifo(QUEUE_LEN))

    @staticmethod
    def _pfifo(limit):
        return _attr(TCA_KIND, b"pfifo\0") + _attr(TCA_OPTIONS, struct.pack("=I", limit))

    def _request(self, kind, flags, attrs):
        with self.lock:
            self.seq += 1
            body = struct.pack("=BBHiIII", FAMILY_ANY, 0, 0, self.ifindex, GATE_HANDLE, TC_H_ROOT, 0) + attrs
            head = struct.pack("=IHHII", 16 + len(body), kind, NLM_F_REQUEST | NLM_F_ACK | flags, self.seq, 0)
            self.sock.send(head + body)
            while True:
                reply = self.sock.recv(65536)
                _, mtype, _, seq, _ = struct.unpack_from("=IHHII", reply)
                if mtype == NLMSG_ERROR and seq == self.seq:
                    break
            (err,) = struct.unpack_from("=i", reply, 16)
            if err:
                raise OSError(-err, os.strerror(-err))

    def shut(self):
        self._request(RTM_NEWQDISC, 0, self._pfifo(0))

    def open(self):
        self._request(RTM_NEWQDISC, 0, self._pfifo(QUEUE_LEN))

    def dropped(self):
        """Writes the queue has refused so far."""
        out = run("tc", "-s", "qdisc", "show", "dev", "can0")
        return int(out.split("dropped ", 1)[1].split(",", 1)[0])

    def close(self):
        self._request(RTM_DELQDISC, 0, b"")
        self.sock.close()


@pytest.fixture
def gate():
    g = TxQueueGate("can0")
    try:
        yield g
    finally:
        g.close()


# ---------------------------------------------------------------------------------------------------------
# The process's standard error, line by line with the time each line arrived. The module writes its
# reports straight to file descriptor 2.


class StderrTap:
    def __init__(self):
        self.lines = []  # (monotonic time, text)
        self.cond = threading.Condition()

    def __enter__(self):
        sys.stderr.flush()
        self.saved = os.dup(2)
        r, w = os.pipe()
        os.dup2(w, 2)
        os.close(w)
        self.thread = threading.Thread(target=self._read, args=(r,), daemon=True)
        self.thread.start()
        return self

    def _read(self, r):
        buf = b""
        while chunk := os.read(r, 4096):
            now = time.monotonic()
            try:
                os.write(self.saved, chunk)  # still shown with the test's output
            except OSError:
                pass
            buf += chunk
            *complete, buf = buf.split(b"\n")
            with self.cond:
                self.lines += [(now, line.decode(errors="replace")) for line in complete]
                self.cond.notify_all()
        os.close(r)

    def wait(self, predicate, count, timeout=30):
        """Waits until `count` lines match `predicate`; returns the matching (time, text) pairs."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = [x for x in self.lines if predicate(x[1])]
                left = deadline - time.monotonic()
                if len(found) >= count or left <= 0:
                    return found
                self.cond.wait(left)

    def matching(self, predicate):
        with self.cond:
            return [x for x in self.lines if predicate(x[1])]

    def __exit__(self, *exc):
        sys.stderr.flush()
        os.dup2(self.saved, 2)
        # The pipe ends when no process holds its write end any more; children started meanwhile may.
        self.thread.join(timeout=5)
        os.close(self.saved)
