# Interface provisioning against stand-in `ip` and `sudo` programs put first on PATH: the query and its
# parsing, the configuration commands and their order, the sudo fallback, the messages, and how the
# children are started (no shell, captured or inherited streams).
import json
import os
import subprocess
import sys
import textwrap

import pytest

from kestro_testing import subprocess_env

STAND_IN = textwrap.dedent(
    """\
    #!{python}
    import json, os, sys
    prog = os.path.basename(sys.argv[0])
    args = sys.argv[1:]
    if prog == "sudo":
        prog, args = "sudo " + args[0], args[1:]
    cfg = json.load(open(os.environ["STAND_IN_CONFIG"]))
    stdin = sys.stdin.read() if not sys.stdin.isatty() else "<tty>"
    with open(os.environ["STAND_IN_LOG"], "a") as log:
        log.write(json.dumps({{"prog": prog, "args": args, "stdin": stdin}}) + "\\n")
    print("STAND-IN-STDOUT " + prog, flush=True)
    print("STAND-IN-STDERR " + prog, file=sys.stderr, flush=True)
    if prog == "ip" and args[:1] == ["-details"]:
        q = cfg["query"]
        if q.get("sleep"):
            import time; time.sleep(q["sleep"])
        sys.stdout.write(q.get("stdout", ""))
        sys.exit(q.get("exit", 0))
    fails = cfg.get("fail", {{}}).get(prog, [])
    verb = args[3] if len(args) > 3 else ""
    sys.exit(1 if verb in fails else 0)
    """
)

UP_1M = (
    "3: can0: <NOARP,UP,LOWER_UP,ECHO> mtu 16 qdisc pfifo_fast state UP mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0\n"
    "    can state ERROR-ACTIVE (berr-counter tx 0 rx 0) restart-ms 0\n"
    "\t  bitrate 1000000 sample-point 0.750\n"
)
DOWN_NO_BITRATE = (
    "3: can0: <NOARP,ECHO> mtu 16 qdisc noop state DOWN mode DEFAULT group default qlen 10\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0\n"
    "    can state STOPPED restart-ms 0\n"
)
VCAN = (
    "5: vcan0: <NOARP{up}> mtu 72 qdisc noqueue state UNKNOWN mode DEFAULT group default qlen 1000\n"
    "    link/can  promiscuity 0 minmtu 0 maxmtu 0\n"
    "    {kind} numtxqueues 1 numrxqueues 1 gso_max_size 65536 gso_max_segs 65535\n"
)
CONFIG_LINE = "[CAN] Interface '{}' needs configuration (up={}, bitrate={}), configuring...\n"
SUDO_LINE = "[CAN] Need elevated privileges, requesting sudo...\n"


def commands(iface, virtual=False):
    down = ["link", "set", iface, "down"]
    bitrate = ["link", "set", iface, "type", "can", "bitrate", "1000000"]
    up = ["link", "set", iface, "up"]
    return [up] if virtual else [down, bitrate, up]


class StandIns:
    def __init__(self, tmp_path, with_ip=True, with_sudo=True):
        self.bin = tmp_path / "bin"
        self.bin.mkdir()
        self.log = tmp_path / "log.jsonl"
        self.config = tmp_path / "config.json"
        script = STAND_IN.format(python=sys.executable)
        for name, wanted in (("ip", with_ip), ("sudo", with_sudo)):
            if wanted:
                p = self.bin / name
                p.write_text(script)
                p.chmod(0o755)

    def run(self, iface, query, fail=None, stdin_text="from the terminal"):
        self.config.write_text(json.dumps({"query": query, "fail": fail or {}}))
        code = (
            "import kestro, sys\n"
            "try:\n"
            f"    kestro.CanDevice({iface!r})\n"
            "    print('constructed')\n"
            "except OSError as e:\n"
            "    print('OSError:', e.args)\n"
        )
        # Only the stand-ins are on PATH: a real ip or sudo can never be reached.
        env = subprocess_env({"PATH": str(self.bin), "STAND_IN_CONFIG": str(self.config),
                              "STAND_IN_LOG": str(self.log)})
        r = subprocess.run([sys.executable, "-c", code], input=stdin_text, capture_output=True, text=True,
                           env=env, timeout=60)
        calls = [json.loads(line) for line in self.log.read_text().splitlines()] if self.log.exists() else []
        return r, calls


@pytest.fixture
def stand_ins(tmp_path):
    return StandIns(tmp_path)


QUERY = lambda iface: {"prog": "ip", "args": ["-details", "link", "show", iface], "stdin": ""}  # noqa: E731


def direct(args):
    return {"prog": "ip", "args": args, "stdin": ""}


def via_sudo(args, stdin):
    return {"prog": "sudo ip", "args": args, "stdin": stdin}


def reported(r):
    return r.stdout.splitlines()[-1]


def provisioned(iface):
    # What the call reports once provisioning let it through: the socket opens where the interface really
    # exists (the CAN bed) and fails to open where it does not (a host without SocketCAN).
    if os.path.exists(f"/sys/class/net/{iface}"):
        return "constructed"
    return "OSError: ('Failed to open CAN Socket',)"


def test_right_interface_runs_only_the_query_and_prints_nothing(stand_ins):
    r, calls = stand_ins.run("can0", {"stdout": UP_1M})
    assert calls == [QUERY("can0")]
    assert r.stderr == ""
    assert reported(r) == provisioned("can0")


@pytest.mark.parametrize(
    "details, up, bitrate",
    [
        (UP_1M.replace("1000000", "500000"), "true", "500000"),
        (DOWN_NO_BITRATE, "false", "none"),
        (UP_1M.replace("NOARP,UP,LOWER_UP,ECHO", "NOARP,LOWER_UP,ECHO"), "false", "1000000"),
        (UP_1M.replace("bitrate 1000000", "bitrate x\n\t  bitrate 1000000"), "true", "none"),
        (UP_1M.replace("1000000", "4294967296"), "true", "none"),
        (UP_1M.replace("1000000", "4294967295"), "true", "4294967295"),
        (UP_1M.replace("<NOARP,UP,LOWER_UP,ECHO>", "NOARP,UP"), "false", "1000000"),
    ],
    ids=["500k", "down", "lower-up-only", "first-line-only", "too-big", "u32-max", "no-brackets"],
)
def test_wrong_state_is_configured_directly(stand_ins, details, up, bitrate):
    r, calls = stand_ins.run("can0", {"stdout": details})
    assert r.stderr == CONFIG_LINE.format("can0", up, bitrate)
    assert calls == [QUERY("can0")] + [direct(c) for c in commands("can0")]
    assert reported(r) == provisioned("can0")
    # Captured: nothing the children print reaches the terminal.
    assert "STAND-IN" not in r.stdout + r.stderr


def test_crlf_output_parses_like_lf(stand_ins):
    r, calls = stand_ins.run("can0", {"stdout": UP_1M.replace("\n", "\r\n")})
    assert calls == [QUERY("can0")]
    assert r.stderr == ""


def test_missing_interface(stand_ins):
    r, calls = stand_ins.run("can9", {"exit": 1, "stdout": ""})
    assert reported(r) == "OSError: (\"CAN interface 'can9' does not exist\",)"
    assert calls == [QUERY("can9")]
    assert r.stderr == ""  # the query's own error text is discarded


def test_ip_that_cannot_start(tmp_path):
    s = StandIns(tmp_path, with_ip=False)
    r, calls = s.run("can0", {"stdout": UP_1M})
    assert reported(r) == "OSError: ('Failed to run ip: No such file or directory (os error 2)',)"
    assert calls == []


def test_failed_direct_bitrate_restarts_with_down_through_sudo(stand_ins):
    r, calls = stand_ins.run("can0", {"stdout": DOWN_NO_BITRATE}, fail={"ip": ["type"]}, stdin_text="pw\n")
    down, bitrate, up = commands("can0")
    assert calls == [QUERY("can0"), direct(down), direct(bitrate)] + [via_sudo(c, "pw\n") for c in (down,)] + [
        via_sudo(bitrate, ""), via_sudo(up, "")]
    assert r.stderr.startswith(CONFIG_LINE.format("can0", "false", "none") + SUDO_LINE)
    # sudo's children inherit the streams: their output reaches the terminal.
    assert r.stdout.count("STAND-IN-STDOUT sudo ip") == 3
    assert r.stderr.count("STAND-IN-STDERR sudo ip") == 3
    assert reported(r) == provisioned("can0")


@pytest.mark.parametrize("failing, joined", [
    ("down", "link set can0 down"),
    ("type", "link set can0 type can bitrate 1000000"),
    ("up", "link set can0 up"),
])
def test_refused_sudo_stops_at_the_failing_command(stand_ins, failing, joined):
    r, calls = stand_ins.run("can0", {"stdout": DOWN_NO_BITRATE}, fail={"ip": ["down"], "sudo ip": [failing]})
    assert reported(r) == f"OSError: (\"'sudo ip {joined}' failed\",)"
    sudo_calls = [c["args"] for c in calls if c["prog"] == "sudo ip"]
    order = commands("can0")
    assert sudo_calls == order[: [c[3] for c in order].index(failing) + 1]


def test_sudo_that_cannot_start(tmp_path):
    s = StandIns(tmp_path, with_sudo=False)
    r, calls = s.run("can0", {"stdout": DOWN_NO_BITRATE}, fail={"ip": ["up"]})
    assert reported(r) == (
        "OSError: (\"Failed to run 'sudo ip link set can0 down': No such file or directory (os error 2)\",)"
    )
    assert [c["prog"] for c in calls] == ["ip"] * 4
    assert r.stderr.endswith(SUDO_LINE)


@pytest.mark.parametrize("name", ["can 0", "it's", 'a"b', "x;touch pwned", "$(id)", "a\\b"])
def test_interface_name_reaches_ip_as_one_argument(stand_ins, tmp_path, name):
    r, calls = stand_ins.run(name, {"stdout": DOWN_NO_BITRATE})
    assert [c["args"] for c in calls] == [["-details", "link", "show", name]] + commands(name)
    assert not (tmp_path / "pwned").exists()
    assert CONFIG_LINE.format(name, "false", "none") in r.stderr


def test_slow_query_is_waited_for(stand_ins):
    r, calls = stand_ins.run("can0", {"stdout": UP_1M, "sleep": 1.5})
    assert calls == [QUERY("can0")]
    assert reported(r) == provisioned("can0")


@pytest.mark.parametrize("kind", ["vcan", "vxcan"])
def test_virtual_interface_that_is_up_is_accepted_as_it_is(stand_ins, kind):
    r, calls = stand_ins.run("vcan0", {"stdout": VCAN.format(up=",UP,LOWER_UP", kind=kind)})
    assert calls == [QUERY("vcan0")]
    assert r.stderr == ""
    assert reported(r) == provisioned("vcan0")


@pytest.mark.parametrize("kind", ["vcan", "vxcan"])
def test_virtual_interface_that_is_down_is_only_brought_up(stand_ins, kind):
    r, calls = stand_ins.run("vcan0", {"stdout": VCAN.format(up="", kind=kind)})
    assert calls == [QUERY("vcan0"), direct(["link", "set", "vcan0", "up"])]
    assert r.stderr == CONFIG_LINE.format("vcan0", "false", "none")
    r, calls = stand_ins.run("vcan0", {"stdout": VCAN.format(up="", kind=kind)}, fail={"ip": ["up"]})
    assert calls[-1] == via_sudo(["link", "set", "vcan0", "up"], "from the terminal")
    assert [c["prog"] for c in calls].count("sudo ip") == 1
    assert r.stderr.endswith(CONFIG_LINE.format("vcan0", "false", "none") + SUDO_LINE + "STAND-IN-STDERR sudo ip\n")


def test_word_vcan_elsewhere_does_not_make_an_interface_virtual(stand_ins):
    details = DOWN_NO_BITRATE + "    link vcan numtxqueues 1\n    vcanx numtxqueues 1\n"
    r, calls = stand_ins.run("can0", {"stdout": details})
    assert [c["args"] for c in calls][1:] == commands("can0")


def test_nonblocking_device_provisions_the_same_way(stand_ins):
    stand_ins.config.write_text(json.dumps({"query": {"stdout": DOWN_NO_BITRATE}}))
    env = subprocess_env({"PATH": str(stand_ins.bin), "STAND_IN_CONFIG": str(stand_ins.config),
                          "STAND_IN_LOG": str(stand_ins.log)})
    code = (
        "import kestro\ntry:\n    kestro.CanDeviceNonBlocking(interface='can0')\n    print('constructed')\n"
        "except OSError as e:\n    print('OSError:', e.args)\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert reported(r) == provisioned("can0")
    assert r.stderr == CONFIG_LINE.format("can0", "false", "none")
    assert len(stand_ins.log.read_text().splitlines()) == 4


def test_refused_before_anything_runs_or_changes(stand_ins, tmp_path):
    # A name with a NUL would reach ip cut short: another interface (can0) queried and reconfigured.
    r, calls = stand_ins.run("can0\0x", {"stdout": DOWN_NO_BITRATE})
    assert reported(r) == "OSError: ('Failed to run ip: Invalid argument (os error 22)',)"
    assert calls == []
    # A link that is not CAN (a typo for wlan0) is only queried, never taken down.
    wlan = DOWN_NO_BITRATE.replace("can0", "wlan0").replace("link/can", "link/ether 00:11:22:33:44:55")
    r, calls = stand_ins.run("wlan0", {"stdout": wlan})
    assert reported(r) == "OSError: (\"Interface 'wlan0' is not a CAN interface\",)"
    assert calls == [QUERY("wlan0")]
    assert r.stderr == ""


def test_a_status_lost_to_an_ignored_sigchld_is_reported_as_such(stand_ins):
    stand_ins.config.write_text(json.dumps({"query": {"stdout": UP_1M}}))
    env = subprocess_env({"PATH": str(stand_ins.bin), "STAND_IN_CONFIG": str(stand_ins.config),
                          "STAND_IN_LOG": str(stand_ins.log)})
    code = (
        "import signal, kestro\nsignal.signal(signal.SIGCHLD, signal.SIG_IGN)\n"
        "try:\n    kestro.CanDevice('can0')\nexcept OSError as e:\n    print(e)\n"
    )
    r = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert r.stdout.strip() == "Failed to run ip: No child processes (os error 10)"
