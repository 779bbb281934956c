# Provisioning with the real `ip` on a fresh controller. This file runs first in the bed: a bitrate, once
# set, cannot be cleared within one boot.
import os
import subprocess
import sys

import pytest


def run(code):
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ))


def details(iface):
    return subprocess.run(["ip", "-details", "link", "show", iface], capture_output=True, text=True,
                          check=True).stdout


def test_fresh_controller_is_configured_then_left_alone():
    before = details("can0")
    if "bitrate " in before:
        pytest.fail("can0 was configured before this test: it must run first in a fresh bed")
    r = run("import kestro; d = kestro.CanDevice('can0'); print(d.interface())")
    assert r.returncode == 0, r.stderr
    assert r.stdout == "can0\n"
    assert r.stderr == "[CAN] Interface 'can0' needs configuration (up=false, bitrate=none), configuring...\n"
    after = details("can0")
    flags = after.split("<", 1)[1].split(">", 1)[0].split(",")
    assert "UP" in flags
    assert "bitrate 1000000 " in after

    r = run("import kestro; kestro.CanDevice('can0'); kestro.CanDeviceNonBlocking('can0'); print('ok')")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout == "ok\n"


def test_missing_interface_is_reported():
    r = run(
        "import kestro\n"
        "for cls in (kestro.CanDevice, kestro.CanDeviceNonBlocking):\n"
        "    try:\n"
        "        cls('can9')\n"
        "    except OSError as e:\n"
        "        print(e.args, e.errno)\n"
    )
    assert r.returncode == 0, r.stderr
    assert r.stdout == "(\"CAN interface 'can9' does not exist\",) None\n" * 2
    assert r.stderr == ""


def test_virtual_interface_that_is_up_opens_untouched():
    r = run("import kestro; d = kestro.CanDeviceNonBlocking('vcan0'); d.send(0x5, b'x'); print(d.receive_timeout(50))")
    assert r.returncode == 0, r.stderr
    assert r.stderr == ""
    assert r.stdout == "None\n"  # a raw socket does not receive its own frames


def test_virtual_interface_that_is_down_is_brought_up():
    subprocess.run(["ip", "link", "set", "vcan0", "down"], check=True)
    r = run("import kestro; kestro.CanDevice('vcan0'); print('ok')")
    assert r.returncode == 0, r.stderr
    assert r.stderr == "[CAN] Interface 'vcan0' needs configuration (up=false, bitrate=none), configuring...\n"
    assert ",UP" in details("vcan0").split(">")[0]
