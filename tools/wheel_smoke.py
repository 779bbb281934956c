"""A first run of an installed kestro, for interpreters that get no whole suite: import, a precision timer, and
a frame sent by the blocking device and received by the non-blocking one on vcan0 (in the CAN test bed)."""
import sys
import time

import kestro

calls = []
handle = kestro.precision_timer(200)(lambda: calls.append(time.monotonic()))()
time.sleep(0.5)
handle.stop()
assert len(calls) >= 10, f"the timer called {len(calls)} times in 0.5 s at 200 Hz"

receiver = kestro.CanDeviceNonBlocking("vcan0")
sender = kestro.CanDevice("vcan0")
sender.send(0x123, b"\x01\x02\x03")
sender.send(0x1ABCDE, b"")
received = [receiver.receive_timeout(10_000), receiver.receive_timeout(10_000)]
assert received == [(0x123, b"\x01\x02\x03"), (0x1ABCDE, b"")], received
print(f"kestro on {sys.version.split()[0]} from {kestro.__file__}: import, timer, CAN round trip: ok")
