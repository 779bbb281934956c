# Helpers shared by the tests: which build of the module they load, and running Python in subprocesses.
import os
import subprocess
import sys
import textwrap

MODULE_DIR = os.environ.get("KESTRO_MODULE_DIR")
PROBE_DIR = os.environ.get("KESTRO_PROBE_DIR")
SANITIZED = os.environ.get("KESTRO_SANITIZED") == "1"
# The arm64 bed emulates every instruction: wall-clock margins there are many times wider.
EMULATED = os.environ.get("KESTRO_EMULATED") == "1"


def subprocess_env(extra=None):
    env = dict(os.environ)
    paths = [d for d in (MODULE_DIR, PROBE_DIR) if d]
    if env.get("PYTHONPATH"):
        paths.append(env["PYTHONPATH"])
    env["PYTHONPATH"] = os.pathsep.join(paths)
    env["PYTHONUNBUFFERED"] = "1"
    if extra:
        env.update(extra)
    return env


def run_python(code, timeout=60, env=None, **kwargs):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (text mode)."""
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=subprocess_env(env),
        **kwargs,
    )
