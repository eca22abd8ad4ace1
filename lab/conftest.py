"""The guest side of the serial-driver lab (make test-drivers boots the guest
and runs these cases in it). Outside the guest nothing here is collected."""

import gc
import os

import pytest
from lab_lines import LINES, Host

if "VORN_LAB_CONTROL" not in os.environ:
    collect_ignore_glob = ["test_*.py"]


@pytest.fixture(scope="session")
def host():
    h = Host(os.environ["VORN_LAB_CONTROL"])
    h.ask("hello")
    return h


@pytest.fixture(params=list(LINES))
def line(request, host):
    if request.param not in LINES:
        pytest.skip(f"no {request.param} on this machine's board")
    ln = LINES[request.param](host)
    ln.path = ln.wait_node()
    yield ln
    gc.collect()  # parsers left in failed assertions' frames go now, on this thread


@pytest.fixture(params=[k for k, v in LINES.items() if v.can_unplug])
def pluggable(request, host):
    ln = LINES[request.param](host)
    ln.path = ln.wait_node()
    yield ln
    gc.collect()
    ln.plug()  # whatever the case did, the next one finds the device back
    ln.wait_node()


def pytest_configure(config):
    # The marks of the tests/ modules whose helpers the cases import.
    for marker in ("serial_ioctls", "child_interpreter"):
        config.addinivalue_line("markers", f"{marker}: a mark of tests/, not acted on in the guest")
