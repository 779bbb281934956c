"""Moves a precision timer's thread to the real-time scheduler (SCHED_FIFO) and locks the program's memory.

On a busy robot computer (vision, logging and the desktop beside the control loop), the kernel's default
scheduler shares a core between the timer thread and whatever else wants it, and a call waits its turn.
A SCHED_FIFO thread runs before every normal thread the moment it is ready; locked memory means that no
call waits for a page to come back from disk. kestro sets neither itself: both need privileges and both
are choices about the whole machine. This file does it from Python:

    import kestro
    from realtime_threads import make_realtime

    handle = kestro.precision_timer(1000)(step)()
    print(make_realtime(handle, priority=80))

It needs root, CAP_SYS_NICE (scheduler) and CAP_IPC_LOCK (memory), or limits that allow them, e.g. in
/etc/security/limits.conf for the user `robot`:

    robot  -  rtprio   90
    robot  -  memlock  unlimited

Mind the cost: a high-precision timer spins for the last 800 us before each call, a real-time one for the
last 3 ms (at 1 kHz: all the time). Under SCHED_FIFO that spinning keeps its core from every normal thread;
the kernel's real-time throttling (kernel.sched_rt_runtime_us, 95% by default) is what still lets them run.
Keep at least one core free of real-time threads.

Run it to see what this computer allows:  python examples/realtime_threads.py
"""

import ctypes
import errno
import os
import resource

MCL_CURRENT, MCL_FUTURE = 1, 2


class RealtimeUnavailable(OSError):
    """Raised when the computer does not let this program do it; the message says why and what to change."""


def timer_thread_ids(handle):
    """The kernel thread ids of the timer's thread, named "timer-{task id}-{mode}" (cut to 15 bytes)."""
    prefix = f"timer-{handle.task_id}-"
    ids = []
    for tid in os.listdir("/proc/self/task"):
        try:
            with open(f"/proc/self/task/{tid}/comm") as f:
                if f.read().strip().startswith(prefix):
                    ids.append(int(tid))
        except FileNotFoundError:  # a thread that ended meanwhile
            continue
    return ids


def _fifo_refusal(priority):
    soft, hard = resource.getrlimit(resource.RLIMIT_RTPRIO)
    why = [f"the scheduler refused SCHED_FIFO priority {priority}"]
    if os.geteuid() != 0 and hard < priority:
        why.append(
            f"this user's real-time priority limit is {hard} (ulimit -r): raise it with an 'rtprio' line in "
            "/etc/security/limits.conf, or give the program CAP_SYS_NICE"
        )
    else:
        why.append(
            "the process may run in a control group without a real-time budget (containers and some systemd "
            "services: see cpu.rt_runtime_us or run it outside the container/service), or lack CAP_SYS_NICE"
        )
    return "; ".join(why)


def set_fifo(tid, priority):
    """Moves one thread to SCHED_FIFO at `priority` (1-99)."""
    try:
        os.sched_setscheduler(tid, os.SCHED_FIFO, os.sched_param(priority))
    except PermissionError as e:
        raise RealtimeUnavailable(errno.EPERM, _fifo_refusal(priority)) from e


def lock_memory():
    """Locks every page the program has and will have (mlockall), so that no call waits for one."""
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.mlockall(MCL_CURRENT | MCL_FUTURE) == 0:
        return
    err = ctypes.get_errno()
    soft, _ = resource.getrlimit(resource.RLIMIT_MEMLOCK)
    limit = "unlimited" if soft == resource.RLIM_INFINITY else f"{soft // 1024} KiB"
    raise RealtimeUnavailable(
        err,
        f"mlockall failed ({os.strerror(err)}): this user may lock {limit} (ulimit -l); raise it with a "
        "'memlock' line in /etc/security/limits.conf, or give the program CAP_IPC_LOCK",
    )


def make_realtime(handle, priority=80, lock=True):
    """Moves the timer's thread to SCHED_FIFO and, with `lock`, locks memory. Returns what was done, as text;
    raises RealtimeUnavailable (saying why) when the computer does not allow it. Normal timers have no
    thread of their own: use a precision timer."""
    if handle.precision_mode() == "normal":
        raise ValueError("a normal timer runs on shared threads: use kestro.precision_timer")
    tids = timer_thread_ids(handle)
    if not tids:
        raise ValueError(f"timer {handle.task_id} has no running thread")
    for tid in tids:
        set_fifo(tid, priority)
    done = [f"timer {handle.task_id}: thread {', '.join(map(str, tids))} on SCHED_FIFO priority {priority}"]
    if lock:
        lock_memory()
        done.append("memory locked")
    return "; ".join(done)


if __name__ == "__main__":
    import time

    import kestro

    handle = kestro.precision_timer(1000)(lambda: None)()
    try:
        print(make_realtime(handle))
        time.sleep(0.5)
        print(f"{handle.tick_count()} calls in 0.5 s on the real-time scheduler")
    except RealtimeUnavailable as e:
        print(f"not on this computer: {e.strerror}")
    finally:
        handle.stop()
