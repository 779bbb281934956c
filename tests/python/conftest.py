# Shared test set-up: which build of the module the tests load, and running Python snippets in subprocesses.
import os
import subprocess
import sys
import textwrap

import pytest

MODULE_DIR = os.environ.get("KESTRO_MODULE_DIR")
PROBE_DIR = os.environ.get("KESTRO_PROBE_DIR")
SANITIZED = os.environ.get("KESTRO_SANITIZED") == "1"

for d in (PROBE_DIR, MODULE_DIR):
    if d:
        sys.path.insert(0, d)


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


@pytest.fixture
def py():
    return run_python


def pytest_report_header(config):
    import kestro

    if MODULE_DIR:
        # The sanitizer lane must test its own build, not the installed module.
        assert os.path.realpath(kestro.__file__).startswith(os.path.realpath(MODULE_DIR)), kestro.__file__
    return f"kestro module: {kestro.__file__}"
