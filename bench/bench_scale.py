"""Many buses from one process: a periodic control cycle over N broadcast groups, kestro beside python-can.

Run in the bed (it makes vcan1..vcan7 itself):

    ./dev canbed -- python bench/bench_scale.py [--rate 200] [--buses 1,2,4,8] [--seconds 6] \
        [--feedback sim|bcm] [--threads]

A humanoid runs 12-40 actuators on 4-8 buses from one computer. Here each of N vcan interfaces carries four
simulated DR v1 drivers (one tools/dr_sim.py process serves every bus), and one periodic cycle per N:
- kestro: a precision timer whose function sets the four targets of each of N Motors, broadcasts each, and
  reads all 4N Device.get_watch_data() records (the groups' receive tasks route the feedback);
- python-can: the same cycle on a threading.Thread sleep loop (bench_timers.python_loop): targets scaled and
  saturated to int16, struct-packed into one frame per bus and sent with that bus's can.Bus, and all 4N
  records read from a list that one reader thread per bus fills, decoding each feedback frame into a dict.

Per N and loop, over a window of --seconds after a warm-up:
- CPU per cycle: this process's CPU time (all threads: timer, runtime, reader threads) over the window,
  divided by the cycles made. "net" subtracts the same loop run with an empty function at the same rate (the
  precision timer busy-waits the last 800 us of each period; that is the timer's price, not the buses');
- load: that CPU time over the window's wall time (100 % = one processor busy); cs: context switches of the
  process's threads per cycle (getrusage), the hand-offs between threads that the cycle costs;
- missed periods: grid points of the window without a call;
- freshness, over a second window of the same length (the bookkeeping is kept out of the CPU window): each
  cycle, the age of each record's newest value (time since the loop first saw it change; the simulated motors
  turn, so each feedback frame differs from the last), the oldest of the 4N; median and maximum over cycles,
  and the share of cycles in which some record had not changed since the cycle before.

With --feedback bcm the simulator is left out: the kernel's broadcast manager (CAN_BCM) sends each node's
feedback frame on its own at the control rate (each frame differing from the last), so the feedback load is
4N frames per period whatever the loops do, and nothing else in the guest competes for the processors. The
emulated guest cannot run the Python simulator for 16 or 32 drivers at 200 Hz; this mode measures there.

Prints a table per N with the kestro / python-can ratio of net CPU per cycle (with --threads also each
thread's share, to see where the CPU goes), fits CPU per cycle against N (a + b * N) for both, and draws
bench/scale.png when matplotlib is installed.
"""

import argparse
import gc
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
from bench_control_cycle_can import HOST, NODES, PACK_TARGETS, UNPACK_FEEDBACK, TARGETS
from bench_timers import python_loop
from soak_motor import start_simulator

HERE = os.path.dirname(os.path.abspath(__file__))
WARMUP_S = 1.5


def vcan(k):
    return f"vcan{k}"


def make_interfaces(count):
    """vcan0..vcan{count-1}, made and brought up where missing (vcan0 comes with the bed)."""
    for k in range(count):
        name = vcan(k)
        if subprocess.run(["ip", "link", "show", name], capture_output=True).returncode != 0:
            subprocess.run(["ip", "link", "add", "dev", name, "type", "vcan"], check=True)
        subprocess.run(["ip", "link", "set", name, "up"], check=True)


def start_bcm_feedback(interfaces, rate, variants=16):
    """Kernel-timed feedback: per interface and node, a CAN_BCM transmission of `variants` feedback frames in
    turn (positions 0, 1, ...), one per period. The sockets returned keep them going; closing them stops."""
    period_us = round(1e6 / rate)
    socks = []
    for name in interfaces:
        for node in NODES:
            sock = socket.socket(socket.AF_CAN, socket.SOCK_DGRAM, socket.CAN_BCM)
            sock.connect((name,))
            head = struct.pack("@IIIllllII", socket.CAN_BCM_TX_SETUP,
                               socket.CAN_BCM_SETTIMER | socket.CAN_BCM_STARTTIMER, 0, 0, 0,
                               period_us // 1_000_000, period_us % 1_000_000, node, variants)
            frames = b"".join(struct.pack("=IB3x8s", node, 8, struct.pack("<fhh", float(i), 50, -50))
                              for i in range(variants))
            sock.send(head + frames)
            socks.append(sock)
    return socks


class Window:
    """Process CPU and calls between two instants, from a call counter and the loop's period."""

    def __init__(self, calls):
        self.calls, self.threads0 = calls, thread_cpu()
        self.t0, self.cpu0, self.cs0, self.n0 = time.perf_counter(), time.process_time(), switches(), calls()

    def close(self, rate):
        t1, cpu1, cs1, n1 = time.perf_counter(), time.process_time(), switches(), self.calls()
        threads1 = thread_cpu()
        made = n1 - self.n0
        grid = round((t1 - self.t0) * rate)
        per_thread = sorted(((ns - self.threads0.get(tid, (name, 0))[1]) / 1e3 / max(made, 1), name)
                            for tid, (name, ns) in threads1.items())
        return {"cycles": made, "cpu_us": (cpu1 - self.cpu0) / max(made, 1) * 1e6,
                "load": (cpu1 - self.cpu0) / (t1 - self.t0), "missed": max(grid - made, 0) / max(grid, 1),
                "switches": (cs1 - self.cs0) / max(made, 1),
                "threads": ", ".join(f"{name} {us:.0f}" for us, name in reversed(per_thread) if us >= 1.0)}


def thread_cpu():
    """{thread id: (name, nanoseconds on a processor so far)} of this process's threads (the main one: main)."""
    out = {}
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                name = f.read().strip()
            with open(f"/proc/self/task/{tid}/schedstat") as f:
                ns = int(f.read().split()[0])
        except OSError:  # a thread that ended meanwhile
            continue
        out[int(tid)] = ("main" if int(tid) == os.getpid() else name, ns)
    return out


def switches():
    """Context switches of this process's threads so far, voluntary and not."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_nvcsw + usage.ru_nivcsw


class Freshness:
    """Each tracked cycle: the age of the oldest record's newest value (Python objects compared by ==)."""

    def __init__(self, size):
        self.on = False
        self.seen = [None] * size
        self.since = [0.0] * size
        self.ages, self.stale = [], 0

    def track(self, records, now=time.monotonic):
        t = now()
        seen, since = self.seen, self.since
        changed = 0
        for i, r in enumerate(records):
            if r != seen[i]:
                seen[i], since[i] = r, t
                changed += 1
        if changed < len(records):
            self.stale += 1
        self.ages.append(t - min(since))

    def result(self):
        ages = sorted(self.ages[1:]) or [0.0]  # the first tracked cycle has nothing to compare with
        return {"fresh_med_ms": ages[len(ages) // 2] * 1e3, "fresh_max_ms": ages[-1] * 1e3,
                "stale": self.stale / max(len(self.ages), 1)}


def run_windows(calls, rate, seconds, fresh):
    """Warm-up, the CPU window, then the freshness window; the loop runs meanwhile."""
    time.sleep(WARMUP_S)
    w = Window(calls)
    time.sleep(seconds)
    result = w.close(rate)
    fresh.on = True
    time.sleep(seconds)
    fresh.on = False
    return result | fresh.result()


def kestro_loop(n, rate, seconds, empty=False):
    motors, devices = [], []
    for k in range(n):  # each group's devices at once: feedback that comes before them is reported unmatched
        motors.append(kestro.Motor(vcan(k), HOST))
        devices += [motors[-1].add_device(slot, node, "speed") for slot, node in enumerate(NODES)]
    setters, broadcasts = [m.set_target for m in motors], [m.broadcast for m in motors]
    reads = [d.get_watch_data for d in devices]
    records = [None] * len(reads)
    fresh = Freshness(len(reads))
    t0, t1, t2, t3 = TARGETS

    def cycle():
        for set_target in setters:
            set_target(0, t0)
            set_target(1, t1)
            set_target(2, t2)
            set_target(3, t3)
        for broadcast in broadcasts:
            broadcast()
        records[:] = [read() for read in reads]
        if fresh.on:
            fresh.track(records)

    handle = kestro.precision_timer(rate)((lambda: None) if empty else cycle)()
    try:
        return run_windows(handle.tick_count, rate, seconds, fresh)
    finally:
        handle.stop()
        time.sleep(0.1)  # the loop ends at its next check; then the groups go with the last references
        del handle, cycle, reads, devices, motors, setters, broadcasts
        gc.collect()


def python_can_loop(n, rate, seconds, empty=False):
    buses = [can.Bus(interface="socketcan", channel=vcan(k),
                     can_filters=[{"can_id": node, "can_mask": 0x7FF} for node in NODES]) for k in range(n)]
    latest = [None] * (4 * n)
    index = {node: i for i, node in enumerate(NODES)}
    running = True

    def reader(bus, base):
        unpack = UNPACK_FEEDBACK
        while running:
            msg = bus.recv(0.1)
            if msg is None or msg.dlc != 8:
                continue
            i = index.get(msg.arbitration_id)
            if i is not None:
                position, speed, current = unpack(msg.data)
                latest[base + i] = {"position": position, "speed": speed / 10.0, "current": current / 100.0}

    readers = [threading.Thread(target=reader, args=(bus, 4 * k), daemon=True) for k, bus in enumerate(buses)]
    for t in readers:
        t.start()
    records = [None] * len(latest)
    fresh = Freshness(len(latest))
    made = [0]  # calls, counted by the loop thread only
    pack, targets = PACK_TARGETS, TARGETS

    def cycle():
        made[0] += 1
        for bus in buses:
            counts = [max(-32768, min(32767, int(t * 10.0))) for t in targets]
            bus.send(can.Message(arbitration_id=HOST, data=pack(*counts), is_extended_id=False))
        records[:] = latest
        if fresh.on:
            fresh.track(records)

    def count():
        made[0] += 1

    loop = threading.Thread(target=python_loop, args=(rate, WARMUP_S + 2 * seconds + 0.5,
                                                      count if empty else cycle))
    loop.start()
    try:
        return run_windows(lambda: made[0], rate, seconds, fresh)
    finally:
        loop.join()
        running = False
        for t in readers:
            t.join()
        for bus in buses:
            bus.shutdown()


def fit(ns, values):
    """Least-squares a + b * n."""
    k = len(ns)
    mn, mv = sum(ns) / k, sum(values) / k
    b = sum((n - mn) * (v - mv) for n, v in zip(ns, values)) / max(sum((n - mn) ** 2 for n in ns), 1e-12)
    return mv - b * mn, b


def plot(rows, baseline, rate, path, feedback):
    try:
        import matplotlib
    except ImportError:
        print(f"matplotlib is not installed: no plot ({path} left as it is)")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ns = [r["n"] for r in rows]
    fig, (ax, ax2) = plt.subplots(1, 2, figsize=(12, 4.8))
    for lib, colour in (("kestro", "tab:orange"), ("python-can", "tab:blue")):
        net = [r[lib]["cpu_us"] - baseline[lib] for r in rows]
        raw = [r[lib]["cpu_us"] for r in rows]
        ax.plot(ns, net, "o-", color=colour, label=f"{lib}, net of the empty loop")
        ax.plot(ns, raw, "o:", color=colour, alpha=0.6, label=f"{lib}, whole process")
        ax2.plot(ns, [r[lib]["fresh_max_ms"] for r in rows], "o-", color=colour, label=f"{lib}, max")
        ax2.plot(ns, [r[lib]["fresh_med_ms"] for r in rows], "o:", color=colour, label=f"{lib}, median")
    ax.set_xlabel("buses (4 drivers each)")
    ax.set_ylabel("process CPU per cycle (µs)")
    source = "simulated drivers" if feedback == "sim" else "kernel-timed feedback"
    ax.set_title(f"CPU per {rate:g} Hz control cycle ({source})")
    ax.set_xticks(ns)
    ax.set_ylim(bottom=0)
    ax.legend(fontsize=8)
    ax2.axhline(1e3 / rate, color="grey", linewidth=0.8, linestyle="--", label="one period")
    ax2.set_xlabel("buses (4 drivers each)")
    ax2.set_ylabel("age of the oldest record's newest feedback (ms)")
    ax2.set_title("feedback freshness")
    ax2.set_xticks(ns)
    ax2.set_ylim(bottom=0)
    ax2.legend(fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=100)
    print(f"plot: {path}")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rate", type=float, default=200.0, help="control frequency in Hz")
    p.add_argument("--buses", default="1,2,4,8", help="comma-separated bus counts")
    p.add_argument("--seconds", type=float, default=6.0, help="length of each measuring window")
    p.add_argument("--feedback", choices=("sim", "bcm"), default="sim",
                   help="feedback from tools/dr_sim.py answering each broadcast, or sent by the kernel's CAN_BCM")
    p.add_argument("--threads", action="store_true", help="also print each thread's CPU per cycle")
    p.add_argument("--plot", default=os.path.join(HERE, "scale.png"), help="where to write the PNG")
    args = p.parse_args()
    counts = [int(c) for c in args.buses.split(",")]

    make_interfaces(max(counts))
    names = [vcan(k) for k in range(max(counts))]
    if args.feedback == "sim":
        sim = start_simulator(names)
        feeders = []
    else:
        sim, feeders = None, start_bcm_feedback(names, args.rate)
    try:
        baseline = {"kestro": kestro_loop(0, args.rate, args.seconds, empty=True)["cpu_us"],
                    "python-can": python_can_loop(0, args.rate, args.seconds, empty=True)["cpu_us"]}
        print(f"{args.rate:g} Hz, feedback from {args.feedback}; CPU per cycle of the loop alone (empty "
              f"function): kestro precision timer {baseline['kestro']:.0f} us, python-can's thread sleep loop "
              f"{baseline['python-can']:.0f} us", flush=True)
        head = (f"{'N':>2} {'loop':11} {'cycles':>7} {'CPU us':>8} {'net us':>8} {'net/bus':>8} {'load':>6} "
                f"{'cs':>5} {'missed':>7} {'fresh med ms':>12} {'max ms':>7} {'stale':>6}")
        rows = []
        for n in counts:
            row = {"n": n, "kestro": kestro_loop(n, args.rate, args.seconds),
                   "python-can": python_can_loop(n, args.rate, args.seconds)}
            rows.append(row)
            print(head)
            for lib in ("kestro", "python-can"):
                r = row[lib]
                net = r["cpu_us"] - baseline[lib]
                print(f"{n:2d} {lib:11} {r['cycles']:7d} {r['cpu_us']:8.0f} {net:8.0f} {net / n:8.0f} "
                      f"{r['load']:6.0%} {r['switches']:5.0f} {r['missed']:7.1%} {r['fresh_med_ms']:12.1f} "
                      f"{r['fresh_max_ms']:7.1f} {r['stale']:6.1%}")
            if args.threads:
                for lib in ("kestro", "python-can"):
                    print(f"   {lib} threads, us per cycle: {row[lib]['threads']}")
            k, q = row["kestro"]["cpu_us"], row["python-can"]["cpu_us"]
            net_ratio = (k - baseline["kestro"]) / (q - baseline["python-can"])
            print(f"{n:2d} {'ratio':11} {'':7} {k / q:8.2f} {net_ratio:8.2f}   (kestro / python-can)", flush=True)
        if len(rows) > 1:
            ns = [r["n"] for r in rows]
            for lib in ("kestro", "python-can"):
                net = [r[lib]["cpu_us"] - baseline[lib] for r in rows]
                a, b = fit(ns, net)
                per_bus = ", ".join(f"{v / n:.0f}" for n, v in zip(ns, net))
                print(f"growth {lib:11}: net CPU per cycle ~ {a:.0f} us + {b:.0f} us per bus (least squares); "
                      f"net per bus at N = {args.buses}: {per_bus} us")
    finally:
        if sim is not None:
            sim.terminate()
            sim.wait()
        for sock in feeders:
            sock.close()
    plot(rows, baseline, args.rate, args.plot, args.feedback)
    return 0


if __name__ == "__main__":
    sys.exit(main())
