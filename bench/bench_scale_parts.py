"""Where the CPU of bench_scale.py's cycle goes: each path of one bus measured alone, kestro beside python-can.

Run in the bed: ./dev canbed -- python bench/bench_scale_parts.py [--seconds 5] [--rate 200]

- receive: another process sends the four feedback frames of a group every period (a burst of four, as
  the drivers answer a broadcast); this process only routes them (kestro: a Motor with four devices, its
  receive task; python-can: a Bus and a reader thread that decodes each frame into a dict) while its main
  thread sleeps. Process CPU per frame.
- send: a thread sleep loop (bench_timers.python_loop) at the period makes one broadcast per call (kestro:
  Motor.broadcast; python-can: targets packed into a can.Message and Bus.send). Process CPU per call, net
  of the same loop with an empty function.
- the same send from a plain AF_CAN socket in that loop (send, no packing): with the socket floor below, what
  one bus costs in this kernel whatever the library, and so the lowest ratio to python-can any library reaches.
- calls: four set_target, one broadcast and four get_watch_data back to back, as bench_control_cycle_can.py
  does: CPU per cycle when the writer drains many frames per wake-up.
- socket floor: the same receive burst read by a plain AF_CAN socket in a Python thread (recv, no decoding).
"""

import argparse
import os
import resource
import socket
import struct
import subprocess
import sys
import threading
import time

import can

import kestro
from bench_control_cycle_can import HOST, NODES, PACK_TARGETS, TARGETS, UNPACK_FEEDBACK
from bench_timers import python_loop

IFACE = "vcan0"
PEER = r"""
import socket, struct, sys, time
rate, seconds, nodes = float(sys.argv[1]), float(sys.argv[2]), [int(n, 0) for n in sys.argv[3:]]
s = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
s.bind(("vcan0",))
frames = [struct.pack("=IB3x8s", n, 8, struct.pack("<fhh", 1.0, 10, -10)) for n in nodes]
period, t0, k = 1.0 / rate, time.monotonic(), 0
while time.monotonic() - t0 < seconds:
    k += 1
    x = struct.pack("<f", float(k))
    for n in nodes:
        s.send(struct.pack("=IB3x8s", n, 8, x + struct.pack("<hh", k & 0x7FFF, 0)))
    time.sleep(max(0.0, t0 + k * period - time.monotonic()))
"""


def switches():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


def cpu_over(seconds):
    """Process CPU seconds and context switches while this thread sleeps for `seconds`."""
    c0, s0 = time.process_time(), switches()
    time.sleep(seconds)
    return time.process_time() - c0, switches() - s0


def receive_part(lib, rate, seconds):
    """Process CPU per received feedback frame, the frames coming from another process."""
    running = True
    if lib == "kestro":
        motor = kestro.Motor(IFACE, HOST)
        devices = [motor.add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
    elif lib == "python-can":
        bus = can.Bus(interface="socketcan", channel=IFACE,
                      can_filters=[{"can_id": n, "can_mask": 0x7FF} for n in NODES])
        latest = {}

        def reader():
            while running:
                msg = bus.recv(0.1)
                if msg is not None and msg.dlc == 8:
                    position, speed, current = UNPACK_FEEDBACK(msg.data)
                    latest[msg.arbitration_id] = {"position": position, "speed": speed / 10.0,
                                                  "current": current / 100.0}
    else:  # the socket floor
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        sock.bind((IFACE,))
        sock.settimeout(0.1)

        def reader():
            while running:
                try:
                    sock.recv(16)
                except TimeoutError:
                    pass
    if lib != "kestro":
        thread = threading.Thread(target=reader, daemon=True)
        thread.start()
    peer = subprocess.Popen([sys.executable, "-c", PEER, str(rate), str(seconds + 2.0)] + [hex(n) for n in NODES])
    time.sleep(1.0)
    cpu, cs = cpu_over(seconds)
    peer.wait()
    running = False
    if lib == "kestro":
        assert devices[0].get_watch_data()["speed"] != 0.0, "no feedback routed"
        del devices, motor
    else:
        thread.join()
        if lib == "python-can":
            assert latest, "no feedback decoded"
            bus.shutdown()
        else:
            sock.close()
    frames = rate * seconds * len(NODES)
    return cpu / frames * 1e6, cs / frames


def send_part(lib, rate, seconds):
    """Process CPU per periodic broadcast from a thread sleep loop, and the same loop empty."""
    if lib == "kestro":
        motor = kestro.Motor(IFACE, HOST)
        motor.add_device(0, NODES[0], "speed")
        call = motor.broadcast
    elif lib == "python-can":
        bus = can.Bus(interface="socketcan", channel=IFACE, can_filters=[{"can_id": 0x7FF, "can_mask": 0x7FF}])

        def call():
            counts = [max(-32768, min(32767, int(t * 10.0))) for t in TARGETS]
            bus.send(can.Message(arbitration_id=HOST, data=PACK_TARGETS(*counts), is_extended_id=False))
    elif lib == "socket":
        sock = socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW)
        sock.bind((IFACE,))
        frame = struct.pack("=IB3x8s", HOST, 8, bytes(8))

        def call():
            sock.send(frame)
    else:
        def call():
            pass
    made = [0]

    def tick():
        made[0] += 1
        call()

    loop = threading.Thread(target=python_loop, args=(rate, seconds + 1.0, tick))
    loop.start()
    time.sleep(0.5)
    n0 = made[0]
    cpu, cs = cpu_over(seconds)
    calls = max(made[0] - n0, 1)
    loop.join()
    if lib == "python-can":
        bus.shutdown()
    elif lib == "socket":
        sock.close()
    return cpu / calls * 1e6, cs / calls


def calls_part(lib, cycles=5000):
    if lib == "kestro":
        motor = kestro.Motor(IFACE, HOST)
        devices = [motor.add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
        reads = [d.get_watch_data for d in devices]
        st, bc = motor.set_target, motor.broadcast

        def cycle():
            st(0, 5.0)
            st(1, -5.0)
            st(2, 2.5)
            st(3, 0.75)
            bc()
            return [r() for r in reads]
    else:
        bus = can.Bus(interface="socketcan", channel=IFACE, can_filters=[{"can_id": 0x7FF, "can_mask": 0x7FF}])
        latest = [{"position": 0.0, "speed": 0.0, "current": 0.0}] * 4

        def cycle():
            counts = [max(-32768, min(32767, int(t * 10.0))) for t in TARGETS]
            bus.send(can.Message(arbitration_id=HOST, data=PACK_TARGETS(*counts), is_extended_id=False))
            return list(latest)
    for _ in range(500):
        cycle()
    c0 = time.process_time()
    for _ in range(cycles):
        cycle()
    cpu = time.process_time() - c0
    time.sleep(0.5)
    if lib != "kestro":
        bus.shutdown()
    return cpu / cycles * 1e6


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rate", type=float, default=200.0)
    p.add_argument("--seconds", type=float, default=5.0)
    args = p.parse_args()
    print(f"one bus on {IFACE}, {args.rate:g} Hz, {args.seconds:g} s windows; process CPU in us")
    (floor, fcs) = receive_part("socket", args.rate, args.seconds)
    (rk, kcs), (rp, pcs) = (receive_part(lib, args.rate, args.seconds) for lib in ("kestro", "python-can"))
    print(f"receive, per feedback frame: kestro {rk:.0f} ({kcs:.1f} context switches), python-can {rp:.0f} "
          f"({pcs:.1f}), ratio {rk / rp:.2f}; a bare socket read in a Python thread: {floor:.0f} ({fcs:.1f})",
          flush=True)
    (empty, ecs) = send_part("empty", args.rate, args.seconds)
    (sk, kcs), (sp, pcs), (sf, _) = (send_part(lib, args.rate, args.seconds)
                                     for lib in ("kestro", "python-can", "socket"))
    print(f"send, per periodic broadcast, net of the empty loop ({empty:.0f}, {ecs:.1f} context switches): kestro "
          f"{sk - empty:.0f} ({kcs - ecs:.1f}), python-can {sp - empty:.0f} ({pcs - ecs:.1f}), ratio "
          f"{(sk - empty) / (sp - empty):.2f}; a bare socket send: {sf - empty:.0f}", flush=True)
    # What no library avoids in this kernel: one write and four reads per bus and cycle.
    kernel = (sf - empty) + len(NODES) * floor
    print(f"one bus's cycle (a broadcast, four feedback frames): kestro {sk - empty + len(NODES) * rk:.0f}, "
          f"python-can {sp - empty + len(NODES) * rp:.0f}, bare sockets {kernel:.0f}; the bare sockets' ratio to "
          f"python-can, the lowest any library reaches here: {kernel / (sp - empty + len(NODES) * rp):.2f}",
          flush=True)
    ck, cp = calls_part("kestro"), calls_part("python-can")
    print(f"calls, per back-to-back cycle (4 set_target, broadcast, 4 reads): kestro {ck:.0f}, python-can {cp:.0f}, "
          f"ratio {ck / cp:.2f}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
