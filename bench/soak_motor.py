"""A soak before a release: four simulated drivers, a Motor control loop for minutes, and what drifts.

Run in the bed (not part of the test run):

    ./dev canbed -- python bench/soak_motor.py --minutes 10 --rate 500

The simulator answers on can1; the loop runs on can0 in a child process, which prints one line per interval
with its tick count and the oldest feedback it saw. This parent samples the child's resident memory at each
line and counts the lines the child writes to standard error (there should be none). The summary compares
the first and last intervals: RSS that keeps growing or a tick rate that sags is the finding.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
HOST = 0x100
NODES = [0x201, 0x202, 0x203, 0x204]

CHILD = """
import sys, time, kestro
rate, interval, seconds = float(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
motor = kestro.Motor("can0", host={host})
devices = []
for slot, node in enumerate({nodes}):
    devices.append(motor.add_device(slot, node, "speed"))
    time.sleep(0.02)
last_seen = [None] * len(devices)
changed_at = [time.monotonic()] * len(devices)
oldest = [0.0]

@kestro.precision_timer(rate)
def control():
    now = time.monotonic()
    for slot, dev in enumerate(devices):
        motor.set_target(slot, 5.0 if int(now) % 2 else -5.0)
        seen = dev.get_watch_data()
        if seen != last_seen[slot]:
            last_seen[slot], changed_at[slot] = seen, now
        oldest[0] = max(oldest[0], now - changed_at[slot])
    motor.broadcast()

loop = control()
start = time.monotonic()
while time.monotonic() - start < seconds:
    time.sleep(interval)
    print(f"{{time.monotonic() - start:.1f}} {{loop.tick_count()}} {{oldest[0]:.4f}}", flush=True)
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


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--minutes", type=float, default=10.0)
    p.add_argument("--rate", type=float, default=500.0, help="control loop frequency in Hz")
    p.add_argument("--interval", type=float, default=60.0, help="seconds between report lines")
    args = p.parse_args()

    for cmd in (["ip", "link", "set", "can1", "type", "can", "bitrate", "1000000"],
                ["ip", "link", "set", "can1", "txqueuelen", "1000"], ["ip", "link", "set", "can1", "up"]):
        subprocess.run(cmd, check=False)
    sim = subprocess.Popen([sys.executable, os.path.join(ROOT, "tools", "dr_sim.py"), "--interface", "can1",
                            "--host", hex(HOST)] + sum((["--driver", f"{hex(n)}:{i}:speed"]
                                                        for i, n in enumerate(NODES)), []),
                           stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
    try:
        if sim.stdout.readline().strip() != "ready":
            sys.exit("the driver simulator did not start")
        threading.Thread(target=lambda: sim.stdout.read(), daemon=True).start()  # keep its pipe drained
        with tempfile.TemporaryFile("w+") as err:
            child = subprocess.Popen(
                [sys.executable, "-c", CHILD.format(host=HOST, nodes=NODES), str(args.rate), str(args.interval),
                 str(args.minutes * 60)], stdout=subprocess.PIPE, stderr=err, text=True)
            rows = []
            print(f"{'t s':>8} {'ticks':>10} {'rate Hz':>9} {'oldest feedback ms':>19} {'RSS kB':>8}", flush=True)
            last_t, last_ticks = 0.0, 0
            for line in child.stdout:
                t, ticks, oldest = line.split()
                t, ticks, oldest = float(t), int(ticks), float(oldest)
                rate = (ticks - last_ticks) / (t - last_t) if t > last_t else 0.0
                rows.append((t, rate, oldest, rss_kb(child.pid)))
                last_t, last_ticks = t, ticks
                print(f"{t:8.1f} {ticks:10d} {rate:9.1f} {oldest * 1000:19.1f} {rows[-1][3]:8d}", flush=True)
            status = child.wait()
            err.seek(0)
            # The provisioning line of the first run on fresh controllers is expected; anything else is not.
            err_lines = [ln for ln in err.read().splitlines() if not ln.startswith("[CAN] Interface 'can0'")]
    finally:
        sim.terminate()
        sim.wait()
    if not rows:
        sys.exit(f"the loop printed nothing (status {status}); its standard error: {err_lines[:5]}")
    first, last = rows[0], rows[-1]
    print(f"summary: status {status}; rate {first[1]:.1f} -> {last[1]:.1f} Hz (asked {args.rate:g}); "
          f"RSS {first[3]} -> {last[3]} kB; oldest feedback max {max(r[2] for r in rows) * 1000:.1f} ms; "
          f"standard error lines {len(err_lines)}")
    for line in err_lines[:10]:
        print("  stderr:", line)
    return 0 if status == 0 and not err_lines else 1


if __name__ == "__main__":
    sys.exit(main())
