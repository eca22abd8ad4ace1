"""Work run as an unprivileged user, for the tests of what a user who is not
root sees. Its own module, not conftest's: the serial-driver lab's suite,
which reuses the pty suite's helpers, has a conftest of its own."""

from __future__ import annotations

import functools
import os
import sys

import pytest

# A forked child switches to nobody, who may not be able to read the checkout
# (a 0700 home, a mktemp -d directory) nor the interpreter's own library: so
# every module of the vorn package, and what those import, is loaded before
# the fork, and the child needs no file of the checkout.

NOBODY = 65534
CANNOT_IMPORT = 98  # the child's status when an import failed as nobody


@functools.cache
def preloaded() -> tuple[str, ...]:
    """Imports every module of the vorn package that imports here (an
    optional extra may be missing); their names."""
    import importlib
    import pkgutil

    import vorn

    names = []
    for module in pkgutil.walk_packages(vorn.__path__, "vorn."):
        if module.name == "vorn.__main__":  # runs the command
            continue
        try:
            importlib.import_module(module.name)
        except ImportError:
            continue
        names.append(module.name)
    return tuple(names)


def as_nobody(work) -> tuple[int, str]:
    """work()'s return value and what it printed, run in a forked child as
    nobody; skips the test, saying why, if the child still had to import a
    module it cannot read."""
    import warnings

    preloaded()
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork beside other threads
        child = os.fork()
    if child == 0:
        rc = 99  # could not drop privileges, or work() failed
        try:
            sys.stdout = os.fdopen(write_end, "w")  # not pytest's capture
            os.setgroups([])
            os.setgid(NOBODY)
            os.setuid(NOBODY)
            try:
                rc = work()
            except ImportError as e:
                print(f"as nobody, an import failed: {e}", end="")
                rc = CANNOT_IMPORT
            sys.stdout.flush()
        finally:
            os._exit(rc)
    os.close(write_end)
    with os.fdopen(read_end) as f:
        out = f.read()
    rc = os.waitstatus_to_exitcode(os.waitpid(child, 0)[1])
    if rc == CANNOT_IMPORT:
        pytest.skip(out)
    return rc, out
