# Test set-up: the module build under test first on sys.path, and the shared helpers importable by every
# test directory.
import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))

from kestro_testing import MODULE_DIR, PROBE_DIR, run_python  # noqa: E402

for d in (PROBE_DIR, MODULE_DIR):
    if d:
        sys.path.insert(0, d)


@pytest.fixture
def py():
    return run_python


def pytest_report_header(config):
    import kestro

    if MODULE_DIR:
        # The sanitizer lane must test its own build, not the installed module.
        assert os.path.realpath(kestro.__file__).startswith(os.path.realpath(MODULE_DIR)), kestro.__file__
    return f"kestro module: {kestro.__file__}"
