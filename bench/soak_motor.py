"""A soak before a release: four simulated drivers, a Motor control loop for minutes, and what drifts.

Run in the bed (not part of the test run):

    ./dev canbed -- python bench/soak_motor.py --minutes 10 --rate 500

The simulator answers on can1; the loop runs on can0 in a child process, which prints one line per interval
with its tick count and the oldest feedback it saw. This parent samples the child's resident memory at each
line and counts the lines the child writes to standard error (there should be none). The summary compares
the first and last intervals: RSS that keeps growing or a tick rate that sags is the finding.

With --faults the loop and the simulator share vcan0, and every --fault-every seconds this parent takes the
bus away for --outage seconds, by turns with `ip link set vcan0 down` ... `up` and as a replugged adapter
(`ip link del vcan0` ... `ip link add dev vcan0 type vcan`, `up`):

    ./dev canbed -- python bench/soak_motor.py --faults --minutes 3 --interval 10

The child then also reports when each device's feedback came back after a silence; the summary gives, per
fault, the time from the bus's return to the last of the four devices answering again, the RSS after the
first minute against the end, and the call rate of every interval. The errors the module prints while the
bus is away (failed sends and receives, the interface provisioned again) are counted apart.
"""

import argparse
import itertools
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = 0x100
NODES = [0x201, 0x202, 0x203, 0x204]
GAP_S = 0.2  # feedback that changes again after this long unchanged has come back from a silence
# What the module prints while its bus is away; counted apart in the fault mode.
FAULT_LINES = ("Failed to send CAN frame", "Failed to receive CAN frame", "[CAN] Interface 'vcan0'")

CHILD = """
import sys, time, kestro
rate, interval, seconds = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
motor = kestro.Motor(sys.argv[4], host={host})
devices = []
for slot, node in enumerate({nodes}):
    devices.append(motor.add_device(slot, node, "speed"))
    time.sleep(0.02)
last_seen = [None] * len(devices)
changed_at = [time.monotonic()] * len(devices)
oldest = [0.0]
resumed = []  # (slot, monotonic time) of feedback that changed again after a silence of GAP_S or more

@kestro.precision_timer(rate)
def control():
    now = time.monotonic()
    for slot, dev in enumerate(devices):
        motor.set_target(slot, 5.0 if int(now) % 2 else -5.0)
        seen = dev.get_watch_data()
        if seen != last_seen[slot]:
            if now - changed_at[slot] >= {gap}:
                resumed.append((slot, now))
            last_seen[slot], changed_at[slot] = seen, now
        oldest[0] = max(oldest[0], now - changed_at[slot])
    motor.broadcast()

loop = control()
start = time.monotonic()
while time.monotonic() - start < seconds:
    time.sleep(interval)
    taken, resumed[:] = resumed[:], []
    back = ",".join(f"{{slot}}@{{t:.4f}}" for slot, t in taken) or "-"
    print(f"{{time.monotonic() - start:.1f}} {{loop.tick_count()}} {{oldest[0]:.4f}} {{back}}", flush=True)
    oldest[0] = 0.0
loop.stop()
for slot in range(len(devices)):
    motor.set_target(slot, 0.0)
motor.broadcast()
"""


def rss_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return -1


def start_simulator(interfaces):
    """tools/dr_sim.py with the four drivers of NODES on each of `interfaces` (one process for all of them),
    returned once it is ready, its output drained in the background."""
    sim = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "dr_sim.py"), "--host", hex(HOST)]
                           + sum((["--interface", i] for i in interfaces), [])
                           + sum((["--driver", f"{hex(n)}:{i}:speed"] for i, n in enumerate(NODES)), []),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    if sim.stdout.readline().strip() != "ready":
        sim.kill()
        sys.exit("the driver simulator did not start")
    threading.Thread(target=lambda: sim.stdout.read(), daemon=True).start()  # keep its pipe drained
    return sim


def ip(*args):
    subprocess.run(["ip", "link", *args], check=False, capture_output=True)


class Faults(threading.Thread):
    """Takes vcan0 away every `every` seconds for `outage` seconds until `until` (monotonic), by turns as a
    link taken down and as an adapter replugged; keeps (kind, monotonic time the bus was back)."""

    def __init__(self, every, outage, until):
        super().__init__(daemon=True)
        self.every, self.outage, self.until = every, outage, until
        self.done, self.stop = [], threading.Event()

    def run(self):
        for k in itertools.count():
            if self.stop.wait(self.every) or time.monotonic() + self.outage >= self.until:
                return
            if k % 2 == 0:
                ip("set", "vcan0", "down")
                time.sleep(self.outage)
                back = time.monotonic()
                ip("set", "vcan0", "up")
                self.done.append(("down/up", back))
            else:
                ip("del", "vcan0")
                time.sleep(self.outage)
                back = time.monotonic()
                ip("add", "dev", "vcan0", "type", "vcan")
                ip("set", "vcan0", "up")
                self.done.append(("replug", back))


def comebacks(faults, resumed):
    """Per fault: seconds from the bus's return to the last device whose feedback came back, or None."""
    out = []
    for i, (kind, back) in enumerate(faults):
        next_fault = faults[i + 1][1] if i + 1 < len(faults) else float("inf")
        firsts = [min((t for s, t in resumed if s == slot and back <= t < next_fault), default=None)
                  for slot in range(len(NODES))]
        out.append((kind, None if None in firsts else max(firsts) - back))
    return out


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--rate", type=float, default=500.0, help="control loop frequency in Hz")
    p.add_argument("--interval", type=float, default=60.0, help="seconds between report lines")
    p.add_argument("--faults", action="store_true", help="take vcan0 (loop and simulator) away again and again")
    p.add_argument("--fault-every", type=float, default=5.0, help="seconds between faults")
    p.add_argument("--outage", type=float, default=1.0, help="seconds the bus stays away per fault")
    args = p.parse_args()

    if args.faults:
        loop_iface, sim_iface = "vcan0", "vcan0"
    else:
        loop_iface, sim_iface = "can0", "can1"
        for cmd in (["set", "can1", "type", "can", "bitrate", "1000000"], ["set", "can1", "txqueuelen", "1000"],
                    ["set", "can1", "up"]):
            ip(*cmd)
    sim = start_simulator([sim_iface])
    faults = None
    try:
        with tempfile.TemporaryFile("w+") as err:
            child = subprocess.Popen(
                [sys.executable, "-c", CHILD.format(host=HOST, nodes=NODES, gap=GAP_S), str(args.rate),
                 str(args.interval), str(args.minutes * 60), loop_iface], stdout=subprocess.PIPE, stderr=err,
                text=True)
            if args.faults:  # the last few seconds stay clean, so the last fault's comeback is seen
                faults = Faults(args.fault_every, args.outage, time.monotonic() + args.minutes * 60 - 5.0)
                faults.start()
            rows, resumed = [], []
            print(f"{'t s':>8} {'ticks':>10} {'rate Hz':>9} {'oldest feedback ms':>19} {'RSS kB':>8}", flush=True)
            last_t, last_ticks = 0.0, 0
            for line in child.stdout:
                t, ticks, oldest, back = line.split()
                t, ticks, oldest = float(t), int(ticks), float(oldest)
                if back != "-":
                    resumed += [(int(slot), float(at)) for slot, at in (b.split("@") for b in back.split(","))]
                rate = (ticks - last_ticks) / (t - last_t) if t > last_t else 0.0
                rows.append((t, rate, oldest, rss_kb(child.pid)))
                last_t, last_ticks = t, ticks
                print(f"{t:8.1f} {ticks:10d} {rate:9.1f} {oldest * 1000:19.1f} {rows[-1][3]:8d}", flush=True)
            status = child.wait()
            err.seek(0)
            # The provisioning line of the first run on fresh controllers is expected; anything else is not.
            err_lines = [ln for ln in err.read().splitlines() if not ln.startswith(f"[CAN] Interface '{loop_iface}'")
                         or args.faults]
    finally:
        if faults is not None:
            faults.stop.set()
            faults.join()
            ip("add", "dev", "vcan0", "type", "vcan")  # as the bed made it, should the run end during a replug
            ip("set", "vcan0", "up")
        sim.terminate()
        sim.wait()
    if not rows:
        sys.exit(f"the loop printed nothing (status {status}); its standard error: {err_lines[:5]}")
    fault_lines = [ln for ln in err_lines if ln.startswith(FAULT_LINES)] if args.faults else []
    err_lines = [ln for ln in err_lines if ln not in fault_lines]
    first, last = rows[0], rows[-1]
    print(f"summary: status {status}; rate {first[1]:.1f} -> {last[1]:.1f} Hz (asked {args.rate:g}); "
          f"RSS {first[3]} -> {last[3]} kB; oldest feedback max {max(r[2] for r in rows) * 1000:.1f} ms; "
          f"standard error lines {len(err_lines)}")
    ok = status == 0 and not err_lines
    if args.faults:
        ok = report_faults(args, rows, comebacks(faults.done, resumed), fault_lines) and ok
    for line in err_lines[:10]:
        print("  stderr:", line)
    return 0 if ok else 1


def report_faults(args, rows, backs, fault_lines):
    """Prints the fault mode's summary; False when feedback did not come back after some fault."""
    for i, (kind, back) in enumerate(backs):
        took = "never" if back is None else f"{back * 1000:.0f} ms"
        print(f"  fault {i + 1:3d} {kind:8} feedback back after {took}")
    times = sorted(b for _, b in backs if b is not None)
    missing = sum(b is None for _, b in backs)
    after_minute = [r for r in rows if r[0] >= 60.0] or rows[-1:]
    rates = [r[1] for r in rows]
    print(f"faults: {len(backs)} ({args.outage:g} s each, every {args.fault_every:g} s); feedback back after "
          + (f"median {times[len(times) // 2] * 1000:.0f} ms, max {times[-1] * 1000:.0f} ms" if times else "none")
          + f", never {missing}; RSS {after_minute[0][3]} kB at {after_minute[0][0]:.0f} s -> {rows[-1][3]} kB at "
          f"{rows[-1][0]:.0f} s; call rate per interval min {min(rates):.1f}, mean {sum(rates) / len(rates):.1f} Hz "
          f"(asked {args.rate:g}); module lines while the bus was away {len(fault_lines)}")
    kinds = sorted({ln.split(":")[0] for ln in fault_lines})
    for kind in kinds:
        example = next(ln for ln in fault_lines if ln.startswith(kind))
        print(f"  {sum(ln.startswith(kind) for ln in fault_lines):6d} x {example}")
    return bool(backs) and missing == 0

if __name__ == "__main__":
    sys.exit(main())
