"""CAN throughput and CPU cost per frame on the test bed's bus, beside python-can's SocketCAN bus.

Run in the bed: ./dev canbed -- python bench/bench_can.py [N]

For N frames of 8 bytes (default 2000), best of two rounds each, kestro's CanDeviceNonBlocking beside
python-can's SocketCAN bus:
- send: N frames from can0 as fast as the API takes them. The time runs until can0 has transmitted every
  frame (its tx_packets). python-can's bus.send reports a full transmit queue as CanOperationError: that is
  retried after a millisecond, as a user would, and counted. A python-can Message is built per frame, as its
  users do. candump on can1, a separate process, counts what the other node received.
- receive burst: cangen on can1 (a separate process) sends N frames back to back; can0 receives them with
  receive_timeout(1000) / bus.recv(timeout=1.0). The rate runs from the first frame received to the last.
- receive paced: N/2 frames with 1 ms between them, slow enough for the emulated controller to lose
  (almost) nothing.
- drain queued: N/2 frames arrive paced while nobody receives, then are taken with receive_timeout(0) /
  bus.recv(timeout=0): the cost of the call alone. (python-can's socket gets a receive buffer big enough to
  hold them; kestro's background task holds them in its queue.)

CPU time is this process's (time.process_time: every thread, so the device's background task included).
Frames get lost in two places: the emulated SJA1000 loses those that come in faster than its 64-byte
receive FIFO is emptied (it counts overruns, and "took in" is its rx_packets), and the kernel drops those
that a socket's receive buffer (the default one, in the live rows) has no room for while its program is
busy. "lost" counts what the peer transmitted but the receiving program never got.

Each round opens its own device or bus and closes it after: every socket on can0 gets a copy of each frame,
so a device left open would spend CPU time in the other side's round. A dropped kestro device's background
task ends at the next frame.
"""

import signal
import socket
import subprocess
import sys
import threading
import time

import can

import kestro

N = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
ROUNDS = 2
PAYLOAD = bytes(range(8))
SO_RCVBUFFORCE = 33


def stat(iface, name):
    with open(f"/sys/class/net/{iface}/statistics/{name}") as f:
        return int(f.read())


def bring_up(iface):
    details = subprocess.run(["ip", "-details", "link", "show", iface], capture_output=True, text=True,
                             check=True).stdout
    if ",UP" in details.split(">", 1)[0] and "bitrate 1000000 " in details:
        return
    for args in (["down"], ["type", "can", "bitrate", "1000000"], ["up"]):
        subprocess.run(["ip", "link", "set", iface, *args], check=True)


class Counter:
    """candump on an interface in its own process; counts the frames it saw. Its output is read as it comes
    (a candump blocked on a full pipe would lose what it holds when stopped)."""

    def __init__(self, iface):
        self.proc = subprocess.Popen(["candump", "-L", "-r", "16000000", iface], stdout=subprocess.PIPE, text=True)
        self.count = 0
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        time.sleep(0.3)

    def _read(self):
        for _ in self.proc.stdout:
            self.count += 1

    def stop(self):
        time.sleep(0.3)
        self.proc.send_signal(signal.SIGINT)
        self.proc.wait(timeout=30)
        self.reader.join(timeout=30)
        return self.count


def wait_stat(iface, name, before, count, timeout=60):
    deadline = time.monotonic() + timeout
    while stat(iface, name) - before < count and time.monotonic() < deadline:
        time.sleep(0.002)
    return stat(iface, name) - before


def cangen(count, gap_ms):
    return subprocess.Popen(["cangen", "can1", "-g", str(gap_ms), "-p", "10", "-n", str(count), "-I", "i",
                             "-L", "8", "-D", "i"])


# ---------------------------------------------------------------------------------------------------------
# Sending.


def kestro_sender():
    dev = kestro.CanDeviceNonBlocking("can0")

    def send_one(ident):
        dev.send(ident, PAYLOAD)
        return 0

    def close():
        nonlocal dev
        dev = None

    return send_one, close


def python_can_sender():
    bus = can.Bus(interface="socketcan", channel="can0")

    def send_one(ident):
        msg = can.Message(arbitration_id=ident, data=PAYLOAD, is_extended_id=False)
        retries = 0
        while True:
            try:
                bus.send(msg)
                return retries
            except can.CanOperationError:
                retries += 1
                time.sleep(0.001)

    return send_one, bus.shutdown


def send_round(open_sender):
    send_one, close = open_sender()
    counter = Counter("can1")
    tx0, over0 = stat("can0", "tx_packets"), stat("can1", "rx_over_errors")
    retries = 0
    wall0, cpu0 = time.perf_counter(), time.process_time()
    for i in range(N):
        retries += send_one(i & 0x7FF)
    calls = time.perf_counter() - wall0
    transmitted = wait_stat("can0", "tx_packets", tx0, N)
    wall, cpu = time.perf_counter() - wall0, time.process_time() - cpu0
    close()
    received = counter.stop()
    return {
        "rate": transmitted / wall, "cpu_us": cpu / N * 1e6, "call_us": calls / N * 1e6,
        "delivery": f"can0 sent {transmitted}/{N}, can1 got {received} (overruns "
                    f"{stat('can1', 'rx_over_errors') - over0}), retries {retries}",
        "lost": N - transmitted,
    }


# ---------------------------------------------------------------------------------------------------------
# Receiving.


def kestro_receiver():
    dev = kestro.CanDeviceNonBlocking("can0")

    def close():
        nonlocal dev
        dev = None

    return (lambda: dev.receive_timeout(1000)), (lambda: dev.receive_timeout(0)), close


def python_can_receiver(big_buffer=False):
    bus = can.Bus(interface="socketcan", channel="can0")
    if big_buffer:
        bus.socket.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, 16_000_000)
    return (lambda: bus.recv(timeout=1.0)), (lambda: bus.recv(timeout=0)), bus.shutdown


def receive_round(open_receiver, count, gap_ms, queued):
    wait_one, poll_one, close = open_receiver()
    time.sleep(1.0)  # nothing of the previous round still on its way
    tx0, rx0, over0 = stat("can1", "tx_packets"), stat("can0", "rx_packets"), stat("can0", "rx_over_errors")
    peer = cangen(count, gap_ms)
    if queued:
        peer.wait(timeout=120)
        time.sleep(0.5)
    got = 0
    first = last = None
    cpu0 = time.process_time()
    while got < count:
        frame = poll_one() if queued else wait_one()
        if frame is None:
            if queued or peer.poll() is not None:
                break  # the peer is done and nothing more came: the rest was lost
            continue
        got += 1
        last = time.perf_counter()
        if first is None:
            first = last
    cpu = time.process_time() - cpu0
    peer.wait(timeout=120)
    close()
    transmitted = stat("can1", "tx_packets") - tx0
    return {
        "rate": (got - 1) / (last - first) if got > 1 else 0.0, "cpu_us": cpu / max(got, 1) * 1e6, "call_us": None,
        "delivery": f"can1 sent {transmitted}/{count}, can0 took in {stat('can0', 'rx_packets') - rx0} "
                    f"(overruns {stat('can0', 'rx_over_errors') - over0}), program got {got}",
        "lost": transmitted - got,
    }


# ---------------------------------------------------------------------------------------------------------


def run_rounds(ours, theirs, one_round):
    results = {"kestro": [], "python-can": []}
    for _ in range(ROUNDS):
        results["kestro"].append(one_round(ours))
        results["python-can"].append(one_round(theirs))
    return results


def main():
    for iface in ("can0", "can1"):
        bring_up(iface)
    def receiving(count, gap_ms, queued):
        theirs = (lambda: python_can_receiver(big_buffer=True)) if queued else python_can_receiver
        return run_rounds(kestro_receiver, theirs, lambda r: receive_round(r, count, gap_ms, queued))

    table = [
        ("send", run_rounds(kestro_sender, python_can_sender, send_round)),
        ("receive burst", receiving(N, 0, False)),
        ("receive paced", receiving(N // 2, 1, False)),
        ("drain queued", receiving(N // 2, 1, True)),
    ]

    print(f"N = {N} frames of 8 bytes; best of {ROUNDS} rounds (fewest lost, then fastest); "
          "ratio = kestro / python-can")
    head = f"{'operation':<15}{'who':<12}{'frames/s':>10}{'CPU us/frame':>14}{'call us':>9}  delivery"
    print(head)
    print("-" * (len(head) + 60))
    for name, results in table:
        picked = {who: min(rounds, key=lambda r: (r["lost"], -r["rate"])) for who, rounds in results.items()}
        for who, r in picked.items():
            call = f"{r['call_us']:>9.1f}" if r["call_us"] is not None else f"{'':>9}"
            print(f"{name:<15}{who:<12}{r['rate']:>10.0f}{r['cpu_us']:>14.1f}{call}  {r['delivery']}")
        k, p = picked["kestro"], picked["python-can"]
        rate = k["rate"] / p["rate"] if p["rate"] else float("nan")
        call = f"{k['call_us'] / p['call_us']:>9.2f}" if k["call_us"] is not None else ""
        print(f"{name:<15}{'ratio':<12}{rate:>10.2f}{k['cpu_us'] / p['cpu_us']:>14.2f}{call}")
    print("rounds that lost frames (peer transmitted, program never got; or given to send, never transmitted):")
    lossy = [(name, who, i, r) for name, results in table for who, rounds in results.items()
             for i, r in enumerate(rounds) if r["lost"]]
    for name, who, i, r in lossy:
        print(f"  {name}, {who}, round {i + 1}: lost {r['lost']}; {r['delivery']}")
    if not lossy:
        print("  none")


if __name__ == "__main__":
    main()
