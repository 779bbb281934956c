#!/usr/bin/env python3
"""Simulated DR v1 motor drivers on a SocketCAN interface, so that host code can be tried without hardware.

This file owns the simulator: the driver firmware's view of the DR v1 frames (configuration commands and
their session rules, the broadcast target frame, the feedback frame), a small motor model per driver, and
the command line that puts a group of such drivers on one CAN interface. Standard library only.

Usage:

    python tools/dr_sim.py --interface can1 --host 0x100 \\
        --driver 0x201:0:speed --driver 0x202:1:current:silent [--duration SECONDS]

    --interface IF  the CAN interface; repeat it to put the same drivers on several buses at once (each bus
                    gets its own copy of every driver, state and session included), served by one process
    --host ID       the host id: every frame the drivers listen to arrives on it (ids above 0x7FF are
                    extended frames; a standard frame and an extended frame with the same number differ)
    --driver NODE:SLOT:MODE[:BEHAVIOUR...]
                    one driver: node id (any base, 32 bits; feedback ids above 0x7FF go out as extended
                    frames), slot 0..3 in the target frame, initial mode current|speed|position, and any of
                      silent      never sends feedback
                      length=N    feedback frames carry only the first N (0..8) bytes
                      id=ID       feedback goes out on ID instead of the node id
                      silent_after=N   answers its first N target frames only, then falls silent
                      late=S      each feedback frame goes out S seconds after its target frame
                      garbage     feedback out of range: position NaN, speed and current saturated
                      restart_after=N  every N target frames the driver restarts: its state, session, mode
                                  and silent_after count back to what they were at start (prints
                                  NODE restarted), so a driver that fell silent answers again
    --duration S    exit after S seconds; SIGTERM and SIGINT also end it with status 0

The drivers are on the far side of the bus: when an interface goes down or away (an adapter replugged),
the simulator opens its socket again, every 0.1 s, until the interface is back and up; the other buses
are served meanwhile.

Standard output, one line each, flushed:

    ready                                          once, when the socket is bound
    NODE session open                              entry frame 2 right after entry frame 1
    NODE session closed                            end-of-session command (open or not)
    NODE foc mode current|speed|position           mode set inside a session
    NODE encoder zero                              encoder zero inside a session (position reads 0)
    NODE ignored foc mode outside session
    NODE ignored encoder zero outside session
    NODE ignored entry frame 2 without frame 1
    NODE ignored unknown foc mode M                CTL 0x10 + M with M > 2
    NODE ignored unknown command 0xB3 0xCC         byte 3 and CTL of any other command
    NODE ignored bad check                         check byte wrong (for each driver the dest names)
    NODE restarted                                 restart_after=N reached again

NODE is the node id as Python's hex() writes it (0x201); with more than one interface, each event line
starts with the interface's name and a space (vcan1 0x201 session open). Target frames print nothing.
Each driver takes a configuration frame whose dest is its node id's low 16 bits or 0xFFFF; entry frame 1
is pending until the next configuration frame addressed to the driver, which must be entry frame 2 for the
session to open.

Motor model (time constant TAU, dt = monotonic time since the last update, capped at DT_MAX), advanced on
each target frame before the new target is taken, so feedback shows the state the previous target led to:
  speed mode     speed -> target first order; current = SPEED_ERROR_GAIN * (target - speed)
  current mode   current -> target first order; speed -> TORQUE_GAIN / DAMPING * current at rate DAMPING
  position mode  position -> target first order; speed = its derivative;
                 current = POSITION_ERROR_GAIN * (target - position)
Position always integrates speed outside position mode. A mode change keeps the state and takes the new
mode's present value as its target until the next target frame.
"""

import argparse
import math
import select
import signal
import socket
import struct
import sys
import time

CAN_EFF_FLAG, CAN_RTR_FLAG = 0x80000000, 0x40000000
CAN_SFF_MASK, CAN_EFF_MASK = 0x7FF, 0x1FFFFFFF
CAN_FRAME = struct.Struct("=IB3x8s")  # struct can_frame: id, length, padding, data

MAGIC = b"DR1"
ENTRY_1, ENTRY_2, OTHER = 0x73, 0x74, 0xFF
CTL_ENTER, CTL_END, CTL_ZERO, CTL_MODE = 0x03, 0x00, 0x01, 0x10
BROADCAST = 0xFFFF
MODES = ("current", "speed", "position")
SCALE = {"current": 100.0, "speed": 10.0, "position": 100.0}  # target counts per A, rad/s, rad

TAU = 0.1  # s
DT_MAX = 0.1  # s
SPEED_ERROR_GAIN = 0.05  # A per rad/s of speed error
POSITION_ERROR_GAIN = 0.5  # A per rad of position error
TORQUE_GAIN = 50.0  # rad/s^2 per A
DAMPING = 5.0  # 1/s


def check_byte(head):
    """XOR of the first seven bytes of a configuration frame."""
    x = 0
    for b in head[:7]:
        x ^= b
    return x


def parse_config(data):
    """(byte3, dest, ctl, check_ok) of a configuration frame, None for a frame without the magic."""
    if len(data) != 8 or data[:3] != MAGIC:
        return None
    return data[3], data[4] | data[5] << 8, data[6], data[7] == check_byte(data)


def decode_target(data, slot, mode):
    """The target that `slot` of a broadcast target frame carries, in the unit of `mode`."""
    (counts,) = struct.unpack_from("<h", data, 2 * slot)
    return counts / SCALE[mode]


def to_int16(value):
    """Saturates to the int16 range and truncates toward zero; NaN gives 0."""
    if math.isnan(value):
        return 0
    return int(max(-32768.0, min(32767.0, value)))


def encode_feedback(position, speed, current):
    """The 8 bytes of a feedback frame."""
    try:
        head = struct.pack("<f", position)
    except OverflowError:  # beyond float32: what a float32 cast gives
        head = struct.pack("<f", math.copysign(math.inf, position))
    return head + struct.pack("<hh", to_int16(speed * 10.0), to_int16(current * 100.0))


def can_id_word(ident):
    """The can_id field for an identifier: extended format above 0x7FF."""
    return ident | CAN_EFF_FLAG if ident > CAN_SFF_MASK else ident


class Model:
    """One motor and its controller. Quantities in rad, rad/s, A."""

    def __init__(self, mode):
        self.mode = mode
        self.position = self.speed = self.current = self.target = 0.0

    def set_mode(self, mode):
        self.mode = mode
        self.target = {"current": self.current, "speed": self.speed, "position": self.position}[mode]

    def zero_position(self):
        if self.mode == "position":
            self.target -= self.position
        self.position = 0.0

    def step(self, dt):
        dt = max(0.0, min(dt, DT_MAX))
        follow = 1.0 - math.exp(-dt / TAU)  # exact first-order step: stable for any dt
        if self.mode == "position":
            old = self.position
            self.position += (self.target - self.position) * follow
            if dt > 0.0:
                self.speed = (self.position - old) / dt
            self.current = POSITION_ERROR_GAIN * (self.target - self.position)
            return
        old_speed = self.speed
        if self.mode == "speed":
            self.speed += (self.target - self.speed) * follow
            self.current = SPEED_ERROR_GAIN * (self.target - self.speed)
        else:
            self.current += (self.target - self.current) * follow
            settled = TORQUE_GAIN / DAMPING * self.current
            self.speed = settled + (self.speed - settled) * math.exp(-DAMPING * dt)
        self.position += (old_speed + self.speed) / 2.0 * dt


class Driver:
    """One driver's firmware: session rules, target slot, feedback."""

    def __init__(self, node, slot, mode, silent=False, length=8, feedback_id=None, now=0.0, silent_after=None,
                 late=0.0, garbage=False, restart_after=None):
        self.node, self.slot, self.silent, self.length = node, slot, silent, length
        self.feedback_id = node if feedback_id is None else feedback_id
        self.silent_after, self.restart_after = silent_after, restart_after
        self.late, self.garbage = late, garbage
        self.initial_mode, self.targets_seen, self.restarted = mode, 0, False
        self.model = Model(mode)
        self.session = self.entry_pending = False
        self.last = now

    @property
    def mode(self):
        return self.model.mode

    def accepts(self, dest):
        return dest in (self.node & 0xFFFF, BROADCAST)

    def advance(self, now):
        self.model.step(now - self.last)
        self.last = now

    def on_config(self, byte3, ctl, now):
        """Applies one checked configuration frame addressed to this driver; returns its event text."""
        pending, self.entry_pending = self.entry_pending, False
        if byte3 == ENTRY_1 and ctl == CTL_ENTER:
            self.entry_pending = True
            return None
        if byte3 == ENTRY_2 and ctl == CTL_ENTER:
            if not pending:
                return "ignored entry frame 2 without frame 1"
            self.session = True
            return "session open"
        if byte3 != OTHER:
            return f"ignored unknown command 0x{byte3:02X} 0x{ctl:02X}"
        if ctl == CTL_END:
            self.session = False
            return "session closed"
        if ctl == CTL_ZERO:
            if not self.session:
                return "ignored encoder zero outside session"
            self.advance(now)
            self.model.zero_position()
            return "encoder zero"
        if ctl & 0xF0 == CTL_MODE:
            if ctl & 0x0F >= len(MODES):
                return f"ignored unknown foc mode {ctl & 0x0F}"
            if not self.session:
                return "ignored foc mode outside session"
            self.advance(now)
            self.model.set_mode(MODES[ctl & 0x0F])
            return f"foc mode {self.mode}"
        return f"ignored unknown command 0x{byte3:02X} 0x{ctl:02X}"

    def on_target(self, data, now):
        """Takes this driver's target from a target frame; returns the feedback (can_id, bytes) or None."""
        self.advance(now)
        self.targets_seen += 1
        if self.restart_after is not None and self.targets_seen == self.restart_after:
            self.model = Model(self.initial_mode)
            self.session = self.entry_pending = False
            self.restarted = True
            self.targets_seen = 1
        self.model.target = decode_target(data, self.slot, self.mode)
        if self.silent or (self.silent_after is not None and self.targets_seen > self.silent_after):
            return None
        m = self.model
        if self.garbage:
            payload = encode_feedback(math.nan, m.speed * 1e6 + 1e6, -1e9)
        else:
            payload = encode_feedback(m.position, m.speed, m.current)
        return can_id_word(self.feedback_id), payload[: self.length]


class Group:
    """The drivers listening to one host id."""

    def __init__(self, host, drivers):
        self.host, self.drivers = host, drivers
        self.host_word = can_id_word(host)
        self.delayed = []  # (due time, feedback) of the drivers that answer late

    def due(self, now):
        """Late feedback whose time has come, in order."""
        ready = [fb for t, fb in self.delayed if t <= now]
        self.delayed = [(t, fb) for t, fb in self.delayed if t > now]
        return ready

    def on_frame(self, can_id, data, now):
        """One received frame: returns (output lines, feedback frames to send)."""
        if can_id != self.host_word or len(data) != 8:  # other ids, remote and error frames, short frames
            return [], []
        config = parse_config(data)
        if config is None:
            frames, lines = [], []
            for d in self.drivers:
                fb = d.on_target(data, now)
                if d.restarted:
                    d.restarted = False
                    lines.append(f"{hex(d.node)} restarted")
                if fb is None:
                    continue
                if d.late > 0:
                    self.delayed.append((now + d.late, fb))
                else:
                    frames.append(fb)
            return lines, frames
        byte3, dest, ctl, check_ok = config
        lines = []
        for d in self.drivers:
            if not d.accepts(dest):
                continue
            event = d.on_config(byte3, ctl, now) if check_ok else "ignored bad check"
            if event:
                lines.append(f"{hex(d.node)} {event}")
        return lines, []


def parse_driver(text):
    """A --driver argument as Driver keyword arguments."""
    fields = text.split(":")
    if len(fields) < 3:
        raise argparse.ArgumentTypeError(f"expected NODE:SLOT:MODE[:BEHAVIOUR], got {text!r}")
    try:
        node, slot = int(fields[0], 0), int(fields[1], 0)
        spec = {"node": node, "slot": slot, "mode": fields[2].lower()}
        for extra in fields[3:]:
            key, _, value = extra.partition("=")
            if extra == "silent":
                spec["silent"] = True
            elif key == "length" and 0 <= int(value, 0) <= 8:
                spec["length"] = int(value, 0)
            elif key == "id" and 0 <= int(value, 0) <= CAN_EFF_MASK:
                spec["feedback_id"] = int(value, 0)
            elif key in ("silent_after", "restart_after") and int(value, 0) >= 0:
                spec[key] = int(value, 0)
            elif key == "late" and 0 <= float(value) <= 60:
                spec["late"] = float(value)
            elif extra == "garbage":
                spec["garbage"] = True
            else:
                raise ValueError(f"bad behaviour {extra!r}")
    except ValueError as e:
        raise argparse.ArgumentTypeError(f"{text!r}: {e}") from None
    if not 0 <= node <= 0xFFFFFFFF or not 0 <= slot <= 3 or spec["mode"] not in MODES:
        raise argparse.ArgumentTypeError(f"{text!r}: node id is 32 bits, slot 0..3, mode one of {MODES}")
    if "feedback_id" not in spec and not spec.get("silent") and node > CAN_EFF_MASK:
        raise argparse.ArgumentTypeError(f"{text!r}: node id does not fit a CAN id; add id=ID or silent")
    return spec


def number(text):
    return int(text, 0)


def parse_args(argv):
    p = argparse.ArgumentParser(description="Simulated DR v1 motor drivers on a SocketCAN interface.")
    p.add_argument("--interface", required=True, action="append",
                   help="CAN interface, e.g. can1 (repeat for several buses)")
    p.add_argument("--host", required=True, type=number, help="host id the drivers listen to")
    p.add_argument("--driver", action="append", required=True, type=parse_driver,
                   metavar="NODE:SLOT:MODE[:BEHAVIOUR]", help="one simulated driver (repeat for more)")
    p.add_argument("--duration", type=float, metavar="SECONDS", help="exit after this long")
    args = p.parse_args(argv)
    if not 0 <= args.host <= CAN_EFF_MASK:
        p.error("--host must be a CAN id (0..0x1FFFFFFF)")
    return args


def open_socket(interface, host):
    sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
    mask = CAN_EFF_FLAG | CAN_RTR_FLAG | (CAN_EFF_MASK if host > CAN_SFF_MASK else CAN_SFF_MASK)
    sock.setsockopt(socket.SOL_CAN_RAW, socket.CAN_RAW_FILTER, struct.pack("=II", can_id_word(host), mask))
    sock.bind((interface,))
    return sock


def send_feedback(sock, frames):
    for ident, payload in frames:
        try:
            sock.send(CAN_FRAME.pack(ident, len(payload), payload))
        except OSError as e:  # a full transmit queue: the frame is lost, as on a busy bus
            text = f"dr_sim: feedback 0x{ident & CAN_EFF_MASK:X} not sent: {e}"
            print(text, file=sys.stderr, flush=True)


def reopen(interface, host):
    """A socket on the interface if it is back and up, else None."""
    try:
        sock = open_socket(interface, host)
    except OSError:
        return None
    sock.settimeout(0)
    try:  # bound to an interface that is down: the kernel reports it at once
        sock.recv(CAN_FRAME.size)  # a frame taken here is lost, as anything sent during a replug
    except BlockingIOError:
        pass
    except OSError:
        sock.close()
        return None
    return sock


class Bus:
    """One interface: its socket (None while the interface is down or away) and its own drivers."""

    RETRY = 0.1  # s between attempts to open the socket again

    def __init__(self, interface, host, specs, now, label):
        self.interface, self.host, self.label = interface, host, label
        self.group = Group(host, [Driver(now=now, **spec) for spec in specs])
        self.sock, self.retry_at = None, now

    def open(self):
        self.sock = open_socket(self.interface, self.host)
        self.sock.settimeout(0)

    def revive(self, now):
        if self.sock is None and now >= self.retry_at:
            self.sock = reopen(self.interface, self.host)
            self.retry_at = now + self.RETRY

    def lost(self):
        self.sock.close()
        self.sock = None

    def drain(self):
        """Every frame waiting on the socket, answered; False once the interface went down or away."""
        while True:
            try:
                raw = self.sock.recv(CAN_FRAME.size)
            except BlockingIOError:
                return True
            except OSError:  # the interface went down or away; a socket bound to nothing would wait forever
                self.lost()
                return False
            can_id, length, data = CAN_FRAME.unpack(raw)
            lines, frames = self.group.on_frame(can_id, data[: min(length, 8)], time.monotonic())
            for line in lines:
                print(self.label + line, flush=True)
            send_feedback(self.sock, frames)


def main(argv=None):
    args = parse_args(argv)
    stop = []
    for sig in (signal.SIGTERM, signal.SIGINT):
        signal.signal(sig, lambda *_: stop.append(True))
    start = time.monotonic()
    deadline = None if args.duration is None else start + args.duration
    several = len(args.interface) > 1
    buses = [Bus(name, args.host, args.driver, start, name + " " if several else "") for name in args.interface]
    for bus in buses:
        try:
            bus.open()
        except OSError as e:
            sys.exit(f"dr_sim: {bus.interface}: {e}")
    print("ready", flush=True)
    while not stop:
        now = time.monotonic()
        if deadline is not None and now >= deadline:
            break
        wait = 0.1 if deadline is None else min(0.1, deadline - now)
        for bus in buses:
            bus.revive(now)
            if bus.sock is None:
                wait = min(wait, max(0.0, bus.retry_at - now))
                continue
            send_feedback(bus.sock, bus.group.due(now))
            if bus.group.delayed:
                wait = max(0.0, min(wait, min(t for t, _ in bus.group.delayed) - now))
        live = {bus.sock: bus for bus in buses if bus.sock is not None}
        if not live:
            time.sleep(wait)
            continue
        readable, _, _ = select.select(list(live), [], [], wait)
        for sock in readable:
            live[sock].drain()
    for bus in buses:
        if bus.sock is not None:
            bus.sock.close()
    return 0

if __name__ == "__main__":
    sys.exit(main())
