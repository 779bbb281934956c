"""A four-driver speed control loop: configure the drivers, broadcast targets from a precision timer, show
targets against the routed feedback in a compact live table, and stop cleanly.

    python examples/motor_loop.py can0                  # on a robot: drivers 0x201..0x204, host 0x100
    python examples/motor_loop.py can0 --seconds 10 --rate 1000 --nodes 0x201,0x202

Each driver's firmware must have node_id and target_index matching --nodes (slot = position in the list).
Ctrl+C or SIGTERM ends the run early; the drivers are sent zero targets before the program exits.
"""

import argparse
import math
import sys
import time

import kestro


def parse_args(argv):
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("interface", nargs="?", default="can0")
    p.add_argument("--host", type=lambda s: int(s, 0), default=0x100, help="host CAN id (default 0x100)")
    p.add_argument("--nodes", default="0x201,0x202,0x203,0x204", help="driver node ids, slot by slot")
    p.add_argument("--rate", type=float, default=500.0, help="control loop frequency in Hz")
    p.add_argument("--seconds", type=float, default=5.0, help="how long to run (0: until Ctrl+C)")
    p.add_argument("--amplitude", type=float, default=10.0, help="speed target amplitude in rad/s")
    return p.parse_args(argv)


def speed_profile(slot, t, amplitude):
    """Slot 0 steps, slot 1 ramps, slot 2 follows a sine, slot 3 steps the other way: easy to tell apart."""
    if slot == 0:
        return amplitude if t % 2.0 < 1.0 else 0.0
    if slot == 1:
        return amplitude * min(t / 2.0, 1.0)
    if slot == 2:
        return amplitude * math.sin(math.pi * t)
    return -amplitude if t % 2.0 < 1.0 else amplitude / 2


def main(argv=None):
    args = parse_args(sys.argv[1:] if argv is None else argv)
    nodes = [int(n, 0) for n in args.nodes.split(",") if n]
    motor = kestro.Motor(args.interface, host=args.host)
    devices = []
    for slot, node in enumerate(nodes):
        devices.append(motor.add_device(slot, node, "speed"))
        time.sleep(0.02)  # one driver's configuration session at a time on a busy bus
    print(f"{motor!r} on {args.interface}: " + ", ".join(repr(d) for d in devices), flush=True)

    start = None  # the profile's time runs from the loop's first call

    @kestro.precision_timer(args.rate)
    def control():
        nonlocal start
        now = time.monotonic()
        if start is None:
            start = now
        t = now - start
        for slot in range(len(devices)):
            motor.set_target(slot, speed_profile(slot, t, args.amplitude))
        motor.broadcast()

    @kestro.timer(4)
    def show():
        if start is None:
            return
        t = time.monotonic() - start
        cells = []
        for slot, dev in enumerate(devices):
            target = dev.get_target()
            speed = dev.get_watch_data()["speed"]
            cells.append(f"{target:7.2f} {speed:7.2f}")
        print(f"{t:5.2f}s | " + " | ".join(cells), flush=True)

    print("  time | " + " | ".join(f"slot {s} target  speed" for s in range(len(devices))), flush=True)
    loop, table = control(), show()
    reason, clean = kestro.block_until(wait_ms=int(args.seconds * 1000) if args.seconds > 0 else None,
                                       shutdown_timeout_ms=1000)

    for slot in range(len(devices)):
        motor.set_target(slot, 0.0)
    motor.broadcast()  # queued: the module lets it reach the bus before the process ends
    rate = loop.actual_frequency()
    print(f"stopped ({reason}, clean={clean}): {loop.tick_count()} broadcasts at {rate:.1f} Hz "
          f"(asked {args.rate:g} Hz); feedback " +
          ", ".join(f"slot {s} {'live' if any(d.get_watch_data().values()) else 'silent'}"
                    for s, d in enumerate(devices)), flush=True)
    return 0 if clean else 1


if __name__ == "__main__":
    sys.exit(main())
