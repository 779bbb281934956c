"""The cost of one four-driver control cycle: kestro's Motor beside the same cycle written with python-can.

Run in the bed: ./dev canbed -- python bench/bench_control_cycle_can.py [N]

One cycle is what a control loop does every period:
- kestro: four Motor.set_target, one Motor.broadcast, four Device.get_watch_data (dicts of the routed
  feedback that the receive task keeps up to date).
- python-can: four targets scaled and saturated to int16, struct.pack into one can.Message, bus.send, and
  four feedback frames (already received) decoded with struct.unpack into dicts.

Both run on vcan0, so that the bus's bit rate is not what is measured. N cycles (default 20000) back to back
after a warm-up, each timed with perf_counter_ns (the same timer overhead in both columns); best of three
rounds by median. CPU is this process's time over the round divided by N: for kestro it includes the
background writer that puts the frames on the socket, so it is the whole cost, not only the caller's.
"""

import socket
import statistics
import struct
import sys
import time

import can

import kestro

N = int(sys.argv[1]) if __name__ == "__main__" and len(sys.argv) > 1 else 20000
ROUNDS = 3
IFACE = "vcan0"
HOST = 0x100
NODES = [0x201, 0x202, 0x203, 0x204]
TARGETS = [10.0, -5.0, 2.5, 0.75]
FEEDBACK = [struct.pack("<fhh", 1.0 + i, 100 - i, -100 + i) for i in range(4)]
# The DR v1 target frame (four int16 counts, 10 per rad/s in speed mode) and feedback frame, as struct codecs.
PACK_TARGETS, UNPACK_FEEDBACK = struct.Struct("<4h").pack, struct.Struct("<fhh").unpack


def measure(cycle):
    for _ in range(1000):
        cycle()
    times = []
    cpu0 = time.process_time()
    for _ in range(N):
        t0 = time.perf_counter_ns()
        cycle()
        times.append(time.perf_counter_ns() - t0)
    cpu = (time.process_time() - cpu0) / N * 1e9
    times.sort()
    return statistics.median(times), times[int(len(times) * 0.99)], cpu


def kestro_round():
    motor = kestro.Motor(IFACE, HOST)
    devices = [motor.add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
    with socket.socket(socket.AF_CAN, socket.SOCK_RAW, socket.CAN_RAW) as peer:
        peer.bind((IFACE,))
        for node, data in zip(NODES, FEEDBACK):
            peer.send(struct.pack("=IB3x8s", node, 8, data))
    deadline = time.monotonic() + 10
    while not all(d.get_watch_data()["position"] for d in devices):
        if time.monotonic() > deadline:
            raise SystemExit("feedback was not routed to every device")
        time.sleep(0.01)
    set_target, broadcast = motor.set_target, motor.broadcast
    reads = [d.get_watch_data for d in devices]

    def cycle():
        set_target(0, 10.0)
        set_target(1, -5.0)
        set_target(2, 2.5)
        set_target(3, 0.75)
        broadcast()
        return [read() for read in reads]

    result = measure(cycle)
    time.sleep(0.5)  # let the writer finish before the group goes
    return result


def python_can_round():
    bus = can.Bus(interface="socketcan", channel=IFACE)
    feedback = [can.Message(arbitration_id=n, data=d, is_extended_id=False) for n, d in zip(NODES, FEEDBACK)]
    targets = list(TARGETS)
    pack, unpack = PACK_TARGETS, UNPACK_FEEDBACK

    def cycle():
        counts = [max(-32768, min(32767, int(t * 10.0))) for t in targets]
        bus.send(can.Message(arbitration_id=HOST, data=pack(*counts), is_extended_id=False))
        out = []
        for m in feedback:
            position, speed, current = unpack(m.data)
            out.append({"position": position, "speed": speed / 10.0, "current": current / 100.0})
        return out

    try:
        return measure(cycle)
    finally:
        bus.shutdown()


def best(fn):
    return min((fn() for _ in range(ROUNDS)), key=lambda r: r[0])


def main():
    k = best(kestro_round)
    p = best(python_can_round)
    print(f"four-driver control cycle on {IFACE}, {N} cycles, best of {ROUNDS} rounds (ns per cycle)")
    print(f"{'':12} {'median':>9} {'p99':>9} {'CPU':>9}")
    print(f"{'kestro':12} {k[0]:9.0f} {k[1]:9.0f} {k[2]:9.0f}")
    print(f"{'python-can':12} {p[0]:9.0f} {p[1]:9.0f} {p[2]:9.0f}")
    print(f"{'ratio':12} {k[0] / p[0]:9.2f} {k[1] / p[1]:9.2f} {k[2] / p[2]:9.2f}   (kestro / python-can)")


if __name__ == "__main__":
    main()
