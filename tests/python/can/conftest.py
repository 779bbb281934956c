# Tests that need a real SocketCAN kernel: they run inside the CAN test bed (`./dev canbed`), where can0 and
# can1 are two controllers on one emulated bus and vcan0 is up. Outside the bed they are skipped; inside it a
# skip is a failure, so that a bed run can never pass by skipping,
# unless the test says the thing it checks cannot exist on that interpreter.
import os
import subprocess

import pytest
from canbed_tools import LANE_SKIP

IN_BED = os.environ.get("CANBED_GUEST") == "1"


def pytest_collection_modifyitems(config, items):
    for item in items:
        if "/can/" in str(item.fspath):
            item.add_marker(pytest.mark.can)
            if not IN_BED:
                item.add_marker(pytest.mark.skip(reason="needs SocketCAN: run in the CAN test bed (./dev canbed)"))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    outcome = yield
    report = outcome.get_result()
    if IN_BED and report.skipped and LANE_SKIP not in str(report.longrepr):
        report.outcome = "failed"
        report.longrepr = f"skipped inside the CAN test bed: {report.longrepr}"


def ip(*args):
    return subprocess.run(["ip", *args], check=True, capture_output=True, text=True).stdout


def bring_up(iface):
    """Brings a controller up at 1 Mbit/s directly (not through the module)."""
    details = ip("-details", "link", "show", iface)
    flags = details.split("<", 1)[1].split(">", 1)[0].split(",")
    if "UP" in flags and "bitrate 1000000 " in details:
        return
    subprocess.run(["ip", "link", "set", iface, "down"], check=True)
    subprocess.run(["ip", "link", "set", iface, "type", "can", "bitrate", "1000000"], check=True)
    subprocess.run(["ip", "link", "set", iface, "up"], check=True)


@pytest.fixture(scope="session")
def bus():
    """can0 and can1 up at 1 Mbit/s."""
    for iface in ("can0", "can1"):
        bring_up(iface)
    return ("can0", "can1")


class Candump:
    """candump -L on an interface, as an independent observer of the wire."""

    def __init__(self, iface, count=None):
        args = ["candump", "-L"]
        if count is not None:
            args += ["-n", str(count)]
        self.proc = subprocess.Popen(args + [iface], stdout=subprocess.PIPE, text=True)
        import time

        time.sleep(0.3)  # let candump bind before anything is sent

    def frames(self, timeout=10):
        """Stops candump (if still running) and returns [(id, bytes, extended)]."""
        try:
            out, _ = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.terminate()
            out, _ = self.proc.communicate()
        frames = []
        for line in out.splitlines():
            # (1700000000.000000) can1 123#DEADBEEF
            field = line.split()[2]
            ident, data = field.split("#", 1)
            frames.append((int(ident, 16), bytes.fromhex(data.lstrip("R")), len(ident) == 8))
        return frames

    def stop(self):
        import signal
        import time

        time.sleep(0.2)
        self.proc.send_signal(signal.SIGINT)
        return self.frames()


@pytest.fixture
def candump():
    started = []

    def start(iface, count=None):
        c = Candump(iface, count)
        started.append(c)
        return c

    yield start
    for c in started:
        if c.proc.poll() is None:
            c.proc.kill()
            c.proc.wait()


def cansend(iface, frame):
    subprocess.run(["cansend", iface, frame], check=True)

