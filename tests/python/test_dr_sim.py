# The driver simulator's own logic, without a socket: configuration frames and their check byte, the
# session rules, which frames a driver takes, target decoding, feedback encoding and the driver behaviours,
# the motor model, and the command line.
import argparse
import importlib.util
import math
import pathlib
import struct

import pytest

TOOL = pathlib.Path(__file__).resolve().parents[2] / "tools" / "dr_sim.py"
_spec = importlib.util.spec_from_file_location("dr_sim", TOOL)
sim = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(sim)

from dr_frames import config, end, entry1, entry2, foc, targets, zero

HOST = 0x100
EFF = 0x80000000
RTR = 0x40000000


def decode(payload):
    position, speed, current = struct.unpack("<fhh", payload)
    return position, speed / 10.0, current / 100.0


def driver(text, now=0.0):
    return sim.Driver(now=now, **sim.parse_driver(text))


class Bus:
    """A group of simulated drivers fed frames at explicit times."""

    def __init__(self, *specs, host=HOST):
        self.drivers = [driver(s) for s in specs]
        self.group = sim.Group(host, self.drivers)
        self.host_word = host | EFF if host > 0x7FF else host
        self.now = 0.0
        self.lines = []

    def send(self, *frames, can_id=None, dt=0.01):
        out = []
        for data in frames:
            self.now += dt
            lines, fb = self.group.on_frame(self.host_word if can_id is None else can_id, data, self.now)
            self.lines += lines
            out += fb
        return out

    def take_lines(self):
        lines, self.lines = self.lines, []
        return lines


def open_session(bus, dest=0x201):
    bus.send(entry1(dest), entry2(dest))
    bus.take_lines()


# ---------------------------------------------------------------------------------------------------------
# Configuration frames.


class TestConfigFrames:
    # Frames the host sends, byte for byte.
    KNOWN = [
        ("44523173FFFF0357", 0x73, 0xFFFF, 0x03),
        ("44523174FFFF0350", 0x74, 0xFFFF, 0x03),
        ("445231FFFFFF00D8", 0xFF, 0xFFFF, 0x00),
        ("445231FFFFFF01D9", 0xFF, 0xFFFF, 0x01),
        ("445231FFFFFF10C8", 0xFF, 0xFFFF, 0x10),
        ("445231FFFFFF12CA", 0xFF, 0xFFFF, 0x12),
        ("4452317301020354", 0x73, 0x0201, 0x03),
        ("4452317401020353", 0x74, 0x0201, 0x03),
        ("445231FF010200DB", 0xFF, 0x0201, 0x00),
        ("445231FF010211CA", 0xFF, 0x0201, 0x11),
    ]

    @pytest.mark.parametrize("hexdata,byte3,dest,ctl", KNOWN)
    def test_known_frames_parse_with_good_check(self, hexdata, byte3, dest, ctl):
        data = bytes.fromhex(hexdata)
        assert sim.check_byte(data) == data[7]
        assert sim.parse_config(data) == (byte3, dest, ctl, True)

    @pytest.mark.parametrize("index", range(3, 8))
    def test_any_changed_byte_breaks_the_check(self, index):
        data = bytearray(entry1(0x201))
        data[index] ^= 0x20
        assert sim.parse_config(bytes(data))[3] is False

    @pytest.mark.parametrize("data", [b"DR2" + bytes(5), b"\x00DR1" + bytes(4), targets(100, -50)])
    def test_frames_without_the_magic_are_not_configuration(self, data):
        assert sim.parse_config(data) is None

    def test_only_eight_byte_frames_are_configuration(self):
        assert sim.parse_config(entry1(0x201)[:7]) is None
        assert sim.parse_config(entry1(0x201) + b"\x00") is None


# ---------------------------------------------------------------------------------------------------------
# Session rules.


class TestSession:
    def test_entry_pair_opens_and_end_closes(self):
        bus = Bus("0x201:0:speed")
        bus.send(entry1(0x201))
        assert bus.take_lines() == []
        bus.send(entry2(0x201))
        assert bus.take_lines() == ["0x201 session open"]
        assert bus.drivers[0].session
        bus.send(end(0x201))
        assert bus.take_lines() == ["0x201 session closed"]
        assert not bus.drivers[0].session

    def test_mode_and_zero_outside_a_session_are_ignored(self):
        bus = Bus("0x201:0:speed")
        bus.send(targets(100), targets(100), targets(100))
        position = bus.drivers[0].model.position
        assert position > 0
        bus.send(foc(0x201, "current"), zero(0x201))
        assert bus.take_lines() == [
            "0x201 ignored foc mode outside session",
            "0x201 ignored encoder zero outside session",
        ]
        assert bus.drivers[0].mode == "speed"
        assert bus.drivers[0].model.position == position

    def test_mode_and_zero_inside_a_session_are_applied(self):
        bus = Bus("0x201:0:speed")
        bus.send(targets(100), targets(100), targets(100))
        open_session(bus)
        bus.send(zero(0x201))
        assert bus.take_lines() == ["0x201 encoder zero"]
        (fb,) = bus.send(targets(100), dt=0.0)
        assert decode(fb[1])[0] == 0.0
        bus.send(foc(0x201, "position"))
        assert bus.take_lines() == ["0x201 foc mode position"]
        assert bus.drivers[0].mode == "position"
        bus.send(targets(-123))
        assert bus.drivers[0].model.target == -1.23

    def test_frame_2_alone_does_not_open(self):
        bus = Bus("0x201:0:speed")
        bus.send(entry2(0x201), foc(0x201, "current"))
        assert bus.take_lines() == [
            "0x201 ignored entry frame 2 without frame 1",
            "0x201 ignored foc mode outside session",
        ]

    def test_frame_2_must_follow_frame_1_directly(self):
        bus = Bus("0x201:0:speed")
        bus.send(entry1(0x201), end(0x201), entry2(0x201))
        assert bus.take_lines() == ["0x201 session closed", "0x201 ignored entry frame 2 without frame 1"]
        assert not bus.drivers[0].session

    def test_frames_to_other_drivers_and_targets_do_not_break_the_pair(self):
        bus = Bus("0x201:0:speed", "0x202:1:speed")
        bus.send(entry1(0x201), end(0x202), targets(5), entry2(0x201))
        assert bus.take_lines() == ["0x202 session closed", "0x201 session open"]
        assert [d.session for d in bus.drivers] == [True, False]

    def test_end_keeps_mode_and_target(self):
        bus = Bus("0x201:0:speed")
        bus.send(targets(100))
        open_session(bus)
        bus.send(end(0x201))
        assert bus.drivers[0].mode == "speed"
        assert bus.drivers[0].model.target == 10.0
        open_session(bus)
        bus.send(foc(0x201, "current"), end(0x201))
        assert bus.take_lines() == ["0x201 foc mode current", "0x201 session closed"]
        bus.send(targets(150))
        assert bus.drivers[0].mode == "current"
        assert bus.drivers[0].model.target == 1.5

    def test_unknown_commands_are_ignored(self):
        bus = Bus("0x201:0:speed")
        open_session(bus)
        bus.send(config(0xFF, 0x201, 0x13), config(0xFF, 0x201, 0x05), config(0x73, 0x201, 0x00))
        assert bus.take_lines() == [
            "0x201 ignored unknown foc mode 3",
            "0x201 ignored unknown command 0xFF 0x05",
            "0x201 ignored unknown command 0x73 0x00",
        ]
        assert bus.drivers[0].mode == "speed"
        assert bus.drivers[0].session

    def test_bad_check_is_ignored(self):
        bus = Bus("0x201:0:speed")
        bad = entry2(0x201)[:7] + bytes([entry2(0x201)[7] ^ 1])
        bus.send(entry1(0x201), bad, foc(0x201, "current"))
        assert bus.take_lines() == ["0x201 ignored bad check", "0x201 ignored foc mode outside session"]
        open_session(bus)
        bus.send(config(0xFF, 0x201, 0x12, check=0x00))
        assert bus.take_lines() == ["0x201 ignored bad check"]
        assert bus.drivers[0].mode == "speed"


class TestDest:
    def test_unicast_reaches_only_its_driver(self):
        bus = Bus("0x201:0:speed", "0x202:1:speed")
        bus.send(entry1(0x202), entry2(0x202), foc(0x202, "position"))
        assert bus.take_lines() == ["0x202 session open", "0x202 foc mode position"]
        assert [d.mode for d in bus.drivers] == ["speed", "position"]

    def test_broadcast_reaches_every_driver_in_order(self):
        bus = Bus("0x202:1:speed", "0x201:0:current")
        bus.send(entry1(0xFFFF), entry2(0xFFFF), foc(0xFFFF, "position"), end(0xFFFF))
        assert bus.take_lines() == [
            "0x202 session open",
            "0x201 session open",
            "0x202 foc mode position",
            "0x201 foc mode position",
            "0x202 session closed",
            "0x201 session closed",
        ]
        assert [d.mode for d in bus.drivers] == ["position", "position"]

    def test_dest_is_the_low_16_bits_of_the_node_id(self):
        bus = Bus("0x10201:0:speed", "0x10202:1:speed")
        bus.send(entry1(0x0201), entry2(0x0201))
        assert bus.take_lines() == ["0x10201 session open"]

    def test_unknown_dest_prints_nothing(self):
        bus = Bus("0x201:0:speed")
        bus.send(entry1(0x301), entry2(0x301), end(0x301), config(0xFF, 0x301, 0x00, check=0))
        assert bus.take_lines() == []


class TestWhichFrames:
    def test_frames_on_other_ids_are_ignored(self):
        bus = Bus("0x201:0:speed")
        for can_id in (0x101, 0x201, HOST | EFF, HOST | RTR):
            assert bus.send(entry1(0x201), entry2(0x201), targets(100), can_id=can_id) == []
        assert bus.take_lines() == []
        assert not bus.drivers[0].session
        assert bus.drivers[0].model.target == 0.0

    @pytest.mark.parametrize("length", [0, 1, 7])
    def test_short_frames_on_the_host_id_are_ignored(self, length):
        bus = Bus("0x201:0:speed")
        assert bus.send(targets(100)[:length], entry1(0x201)[:length]) == []
        assert bus.take_lines() == []
        assert bus.drivers[0].model.target == 0.0

    def test_extended_host_id(self):
        bus = Bus("0x201:0:speed", host=0x12345)
        assert bus.send(targets(100), can_id=0x12345) == []
        assert len(bus.send(targets(100), can_id=0x12345 | EFF)) == 1


# ---------------------------------------------------------------------------------------------------------
# Targets and feedback.


class TestTargets:
    @pytest.mark.parametrize(
        "mode,counts,value",
        [("speed", 100, 10.0), ("speed", -50, -5.0), ("current", 199, 1.99), ("position", -123, -1.23),
         ("current", -32768, -327.68), ("speed", 32767, 3276.7)],
    )
    @pytest.mark.parametrize("slot", range(4))
    def test_slot_read_in_mode_scale(self, slot, mode, counts, value):
        data = bytearray(targets(7, 7, 7, 7))
        data[2 * slot : 2 * slot + 2] = struct.pack("<h", counts)
        assert sim.decode_target(bytes(data), slot, mode) == pytest.approx(value)

    def test_each_driver_takes_its_own_slot(self):
        bus = Bus("0x201:0:speed", "0x202:1:speed", "0x203:3:current")
        bus.send(targets(100, -50, 9, 250))
        assert [d.model.target for d in bus.drivers] == [10.0, -5.0, 2.5]


class TestFeedbackEncoding:
    def test_known_frame(self):
        assert sim.encode_feedback(1.0, 10.0, -1.0) == bytes.fromhex("0000803F64009CFF")

    @pytest.mark.parametrize(
        "speed,current,raw",
        [
            (-0.05, 1.999, (0, 199)),
            (1.2345, -1.239, (12, -123)),
            (4000.0, -400.0, (32767, -32768)),
            (math.inf, -math.inf, (32767, -32768)),
            (math.nan, math.nan, (0, 0)),
            (-3276.85, 327.679, (-32768, 32767)),
        ],
    )
    def test_counts_truncate_and_saturate(self, speed, current, raw):
        assert struct.unpack("<hh", sim.encode_feedback(0.0, speed, current)[4:]) == raw

    @pytest.mark.parametrize("position", [0.5, -123.25, 1e30, -1e-30, math.inf])
    def test_position_is_float32(self, position):
        assert sim.encode_feedback(position, 0, 0)[:4] == struct.pack("<f", position)

    def test_position_beyond_float32_is_infinite(self):
        assert struct.unpack("<f", sim.encode_feedback(-1e300, 0, 0)[:4])[0] == -math.inf


class TestFeedback:
    def test_one_frame_per_target_frame_per_driver(self):
        bus = Bus("0x201:0:speed", "0x202:1:speed", "0x7FF:2:speed", "0x800:3:speed")
        for _ in range(3):
            frames = bus.send(targets(100, 100, 100, 100))
            assert [ident for ident, _ in frames] == [0x201, 0x202, 0x7FF, 0x800 | EFF]
            assert all(len(payload) == 8 for _, payload in frames)

    def test_configuration_frames_get_no_feedback(self):
        bus = Bus("0x201:0:speed")
        assert bus.send(entry1(0x201), entry2(0x201), end(0x201), config(0xFF, 0x201, 0, check=1)) == []

    def test_feedback_carries_the_model_state(self):
        bus = Bus("0x201:0:current")
        for _ in range(20):
            (frame,) = bus.send(targets(150))
            m = bus.drivers[0].model
            position, speed, current = decode(frame[1])
            assert position == pytest.approx(m.position, rel=1e-6)
            assert speed == pytest.approx(m.speed, abs=0.1)
            assert current == pytest.approx(m.current, abs=0.01)
        assert speed > 1 and current > 1

    def test_silent_driver_sends_nothing_but_follows(self):
        bus = Bus("0x201:0:speed:silent", "0x202:0:speed")
        for _ in range(5):
            assert [ident for ident, _ in bus.send(targets(100))] == [0x202]
        assert bus.drivers[0].model.speed == bus.drivers[1].model.speed > 0

    def test_fault_modes_silence_lateness_garbage_and_restart(self):
        bus = Bus("0x201:0:speed:silent_after=2:restart_after=4", "0x202:0:speed:late=0.05",
                  "0x203:0:speed:garbage")
        open_session(bus)
        bus.send(config(0xFF, 0x201, 0x12))  # position mode, inside a session
        assert bus.drivers[0].mode == "position" and bus.drivers[0].session
        answered = [[ident for ident, _ in bus.send(targets(100))] for _ in range(6)]
        # Silent after two answers until the restart (the fourth frame), which starts the count again.
        assert [0x201 in ids for ids in answered] == [True, True, False, True, True, False]
        assert [line for line in bus.take_lines() if "restarted" in line] == ["0x201 restarted"]
        assert bus.drivers[0].mode == "speed" and not bus.drivers[0].session  # configuration dropped
        # The late driver answers only when its time has come, in order; garbage is out of every range.
        assert all(0x202 not in ids for ids in answered)
        assert [ident for ident, _ in bus.group.due(bus.now)] == [0x202]  # sent 0.05 s before the last
        assert [ident for ident, _ in bus.group.due(bus.now + 0.05)] == [0x202] * 5
        position, speed, current = decode([p for i, p in bus.send(targets(100)) if i == 0x203][0])
        assert math.isnan(position) and speed == 3276.7 and current == -327.68

    @pytest.mark.parametrize("length", range(9))
    def test_length_cuts_the_payload(self, length):
        bus = Bus(f"0x201:0:speed:length={length}", "0x202:0:speed")
        for _ in range(5):
            short, full = bus.send(targets(100, 0, 0, 0))
            assert short == (0x201, full[1][:length])
        assert any(full[1])

    @pytest.mark.parametrize("feedback_id,word", [(0x300, 0x300), (0x7FF, 0x7FF), (0x800, 0x800 | EFF),
                                                  (0x1FFFFFFF, 0x1FFFFFFF | EFF), (0, 0)])
    def test_id_replaces_the_node_id(self, feedback_id, word):
        bus = Bus(f"0x201:0:speed:id={feedback_id:#x}")
        assert [ident for ident, _ in bus.send(targets(100))] == [word]
        bus.send(entry1(0x201), entry2(0x201))
        assert bus.take_lines() == ["0x201 session open"]  # still addressed by its node id


# ---------------------------------------------------------------------------------------------------------
# Motor model.


def run_model(mode, target, steps, dt=0.01):
    m = sim.Model(mode)
    m.target = target
    trace = []
    for _ in range(steps):
        m.step(dt)
        trace.append((m.position, m.speed, m.current))
    return m, trace


class TestModel:
    def test_speed_mode(self):
        m, trace = run_model("speed", 10.0, 100)
        speeds = [s for _, s, _ in trace]
        assert all(a < b for a, b in zip(speeds, speeds[1:]))
        assert all(s < 10.0 for s in speeds)
        assert speeds[9] < 8.0  # still on its way after 0.1 s
        assert speeds[-1] == pytest.approx(10.0, abs=0.01)
        # position integrates speed, current follows the speed error
        assert m.position == pytest.approx(sum(speeds) * 0.01, rel=0.02)
        assert all(c == pytest.approx(sim.SPEED_ERROR_GAIN * (10.0 - s)) for _, s, c in trace)

    def test_speed_mode_reverses(self):
        m, _ = run_model("speed", 10.0, 100)
        m.target = -5.0
        for _ in range(100):
            m.step(0.01)
        assert m.speed == pytest.approx(-5.0, abs=0.01)
        assert m.current < 0

    def test_current_mode(self):
        m, trace = run_model("current", 2.0, 400)
        currents = [c for _, _, c in trace]
        speeds = [s for _, s, _ in trace]
        assert all(a < b for a, b in zip(currents[:100], currents[1:100]))
        assert all(a <= b <= 2.0 for a, b in zip(currents, currents[1:]))
        assert currents[-1] == pytest.approx(2.0, abs=0.01)
        assert speeds[0] > 0
        assert speeds[-1] == pytest.approx(2.0 * sim.TORQUE_GAIN / sim.DAMPING, rel=0.01)
        assert m.position > 0

    def test_position_mode(self):
        m, trace = run_model("position", 3.0, 100)
        positions = [p for p, _, _ in trace]
        assert all(a < b < 3.0 for a, b in zip(positions, positions[1:]))
        assert positions[-1] == pytest.approx(3.0, abs=0.01)
        # speed is the derivative of position
        previous = 0.0
        for p, s, c in trace:
            assert s == pytest.approx((p - previous) / 0.01)
            assert c == pytest.approx(sim.POSITION_ERROR_GAIN * (3.0 - p))
            previous = p
        assert trace[-1][1] == pytest.approx(0.0, abs=0.5)

    @pytest.mark.parametrize("mode", sim.MODES)
    def test_a_step_is_capped(self, mode):
        once, _ = run_model(mode, 1.0, 1, dt=1000.0)
        capped, _ = run_model(mode, 1.0, 1, dt=sim.DT_MAX)
        assert (once.position, once.speed, once.current) == (capped.position, capped.speed, capped.current)
        assert 0 < getattr(once, mode) < 1.0  # the quantity the mode controls: partway to its target

    @pytest.mark.parametrize("mode", sim.MODES)
    def test_no_time_no_change(self, mode):
        m, _ = run_model(mode, 1.0, 10)
        state = (m.position, m.speed, m.current)
        m.step(0.0)
        m.step(-1.0)
        assert (m.position, m.speed, m.current) == state

    @pytest.mark.parametrize("mode", sim.MODES)
    def test_stays_bounded_under_coarse_steps(self, mode):
        m = sim.Model(mode)
        for k in range(500):
            m.target = 20.0 if k % 20 < 10 else -20.0
            m.step(0.1)
            assert abs(m.current) < 30 and abs(m.speed) < 500 and abs(m.position) < 1e4

    def test_mode_change_holds_the_present_state(self):
        bus = Bus("0x201:0:speed")
        for _ in range(30):
            bus.send(targets(100))
        open_session(bus)
        bus.send(foc(0x201, "position"))
        held = bus.drivers[0].model.position
        assert bus.drivers[0].model.target == held
        for _ in range(10):
            bus.drivers[0].advance(bus.now + 0.01)
            bus.now += 0.01
        assert bus.drivers[0].model.position == pytest.approx(held)

    def test_zero_in_position_mode_keeps_the_error(self):
        m, _ = run_model("position", 3.0, 5)
        error = m.target - m.position
        m.zero_position()
        assert m.position == 0.0
        assert m.target == pytest.approx(error)

    def test_driver_uses_the_time_between_frames(self):
        fast, slow = Bus("0x201:0:speed"), Bus("0x201:0:speed")
        fast.send(targets(100), targets(100), dt=0.05)
        slow.send(targets(100), targets(100), dt=0.01)
        assert 0 < slow.drivers[0].model.speed < fast.drivers[0].model.speed < 10.0
        # the reply shows the state the previous target led to
        (first,) = Bus("0x201:0:speed").send(targets(100))
        assert decode(first[1]) == (0.0, 0.0, 0.0)


# ---------------------------------------------------------------------------------------------------------
# Command line.


class TestCommandLine:
    @pytest.mark.parametrize(
        "text,expected",
        [
            ("0x201:0:speed", dict(node=0x201, slot=0, mode="speed")),
            ("513:3:current", dict(node=513, slot=3, mode="current")),
            ("0x1FFFFFFF:1:Position", dict(node=0x1FFFFFFF, slot=1, mode="position")),
            ("0x202:1:speed:silent", dict(node=0x202, slot=1, mode="speed", silent=True)),
            ("0x202:1:speed:length=0", dict(node=0x202, slot=1, mode="speed", length=0)),
            ("0x202:1:speed:id=0x300", dict(node=0x202, slot=1, mode="speed", feedback_id=0x300)),
            ("0xFFFFFFFF:2:speed:id=0x12345", dict(node=0xFFFFFFFF, slot=2, mode="speed",
                                                  feedback_id=0x12345)),
            ("0xFFFFFFFF:2:speed:silent", dict(node=0xFFFFFFFF, slot=2, mode="speed", silent=True)),
            ("0x202:1:speed:length=4:id=0x300",
             dict(node=0x202, slot=1, mode="speed", length=4, feedback_id=0x300)),
        ],
    )
    def test_driver_accepted(self, text, expected):
        assert sim.parse_driver(text) == expected

    @pytest.mark.parametrize(
        "text",
        ["0x201:0", "0x201:4:speed", "0x201:-1:speed", "0x201:0:torque", "zz:0:speed", "-1:0:speed",
         "0x100000000:0:speed", "0x20000000:0:speed", "0x201:0:speed:length=9", "0x201:0:speed:length=-1",
         "0x201:0:speed:id=0x20000000", "0x201:0:speed:loud", "0x201:0:speed:length"],
    )
    def test_driver_refused(self, text):
        with pytest.raises(argparse.ArgumentTypeError):
            sim.parse_driver(text)

    def test_arguments(self):
        args = sim.parse_args(["--interface", "can1", "--host", "0x100", "--driver", "0x201:0:speed",
                               "--driver", "0x202:1:current:silent", "--duration", "2.5"])
        assert (args.interface, args.host, args.duration) == (["can1"], 0x100, 2.5)
        assert [d["node"] for d in args.driver] == [0x201, 0x202]

    @pytest.mark.parametrize(
        "argv",
        [
            ["--host", "0x100", "--driver", "0x201:0:speed"],
            ["--interface", "can1", "--driver", "0x201:0:speed"],
            ["--interface", "can1", "--host", "0x100"],
            ["--interface", "can1", "--host", "0x20000000", "--driver", "0x201:0:speed"],
            ["--interface", "can1", "--host", "0x100", "--driver", "0x201:0:speed", "--duration", "soon"],
        ],
    )
    def test_arguments_refused(self, argv, capsys):
        with pytest.raises(SystemExit) as e:
            sim.parse_args(argv)
        assert e.value.code == 2
