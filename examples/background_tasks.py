"""Background tasks and the task registry: a small stand-in control program.

Three "sensor" tasks sample in the background while the main thread polls their handles and the registry,
then the program shuts everything down and prints a summary.
"""

import math
import time

import kestro


@kestro.run_async
def sample(channel, count, period_s):
    values = []
    for i in range(count):
        values.append(round(math.sin(channel + i / 10), 3))
        time.sleep(period_s)
    return channel, len(values), values[-1]


@kestro.run_async
def fails():
    raise ValueError("sensor 9 not connected")


def main():
    tm = kestro.get_task_manager()
    handles = [sample(ch, 20, 0.01 * (ch + 1)) for ch in range(3)]
    broken = fails()
    print(f"started {len(handles) + 1} tasks: {tm}")
    while not all(h.is_done() for h in handles):
        print(f"  {' '.join(repr(h) for h in handles)}")
        time.sleep(0.1)
    for h in handles:
        channel, n, last = h.wait()
        print(f"channel {channel}: {n} samples, last {last:+.3f}")
    try:
        broken.wait()
    except RuntimeError as e:
        print(f"failed task reported: {e}")
    print(f"registry before cleanup: {tm.status()}")
    tm.cleanup()
    print(f"shutdown: {tm.shutdown(timeout_ms=1000)}, registry: {tm}")


if __name__ == "__main__":
    main()
