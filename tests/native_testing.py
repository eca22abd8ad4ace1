"""The native helper's entry points that only tests and benchmarks call
(vorn_native_testing: the core's online SampleClock, sample_times() over a
whole recording's packets), and what the clock is told of each packet, taken
by NumPy (packet_places, evidence).

The shipped vorn._native leaves them out, so vorn_native_testing is built
here from this tree, for the interpreter running the suite, into
build/native-testing/; that works as well when vorn comes from a release
wheel. Where no compiler builds for this interpreter's machine (an aarch64
interpreter under user-mode emulation) the cases that need it skip, saying
why."""

from __future__ import annotations

import fcntl
import functools
import importlib
import os
import platform
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]


def _tool(name: str) -> str | None:
    """A build tool beside this interpreter (its virtual environment's), else on PATH."""
    here = Path(sys.executable).parent / name
    return str(here) if os.access(here, os.X_OK) else shutil.which(name)


def _cannot_build() -> str | None:
    """Why vorn_native_testing cannot be built here, or None."""
    cmake = _tool("cmake")
    if cmake is None:
        return "no cmake to build vorn_native_testing with"
    compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
    if compiler is None:
        return "no C++ compiler to build vorn_native_testing with"
    try:
        target = subprocess.run([compiler, "-dumpmachine"], capture_output=True, text=True, timeout=60).stdout
    except OSError as e:
        return f"cannot run {compiler} ({e.strerror})"
    machine = platform.machine()
    if not target.startswith(machine):
        return f"the C++ compiler here builds for {target.strip() or 'an unknown machine'}, not for {machine}"
    return None


@functools.cache
def _load():
    """(module, None) or (None, why it cannot be had here)."""
    why = _cannot_build()
    if why:
        return None, why
    tag = f"{sys.implementation.cache_tag}{sysconfig.get_config_var('abiflags') or ''}-{platform.machine()}"
    build = ROOT / "build" / "native-testing" / tag
    build.mkdir(parents=True, exist_ok=True)
    configure = [_tool("cmake"), "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release"]
    configure += [f"-DPython_EXECUTABLE={sys.executable}", "-DVORN_STABLE_ABI=", "-DVORN_BUILD_NATIVE_TESTING=ON"]
    if ninja := _tool("ninja"):
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={ninja}"]
    steps = [configure, [_tool("cmake"), "--build", str(build), "--target", "vorn_native_testing"]]
    with open(build / ".lock", "w") as lock:  # suites of one interpreter running at once build it once
        fcntl.flock(lock, fcntl.LOCK_EX)
        for step in steps:
            done = subprocess.run(step, capture_output=True, text=True)
            if done.returncode != 0:
                raise RuntimeError(f"building vorn_native_testing failed:\n{done.stdout}{done.stderr}")
    sys.path.insert(0, str(build))
    try:
        return importlib.import_module("vorn_native_testing"), None
    finally:
        sys.path.remove(str(build))


def load():
    """vorn_native_testing, built first if need be; RuntimeError where it
    cannot be built here (saying why)."""
    module, why = _load()
    if module is None:
        raise RuntimeError(why)
    return module


def native_testing():
    """vorn_native_testing, built first if need be; skips the calling case
    where it cannot be built here."""
    module, why = _load()
    if module is None:
        import pytest

        pytest.skip(why)
    return module


def packet_places(path):
    """For every packet of the recording, in stream order: its kind (0 raw,
    1 estimated), where it begins in the stream, its length and whether bytes
    were lost just before it, as NumPy arrays."""
    import numpy as np

    kinds, offsets, lengths, lost = [], [], [], []
    from vorn.sample_clock import framed_places

    for k, o, n, x in framed_places(path):
        kinds.append(np.frombuffer(k, np.uint8))
        offsets.append(np.frombuffer(o, np.uint64).astype(np.int64))
        lengths.append(np.frombuffer(n, np.uint32))
        lost.append(np.frombuffer(x, np.uint8))
    join = lambda parts, dtype: np.concatenate(parts) if parts else np.empty(0, dtype)
    return join(kinds, np.uint8), join(offsets, np.int64), join(lengths, np.uint32), join(lost, np.uint8)


def evidence(ends, monos, offsets, lengths, starts=None):
    """What the clock is told of each packet, from the reads (where each
    ends in the stream, when it returned: monotonic ns) and the packets'
    places (framer.places()): (first_ns, first_bytes, done), the return of
    the read holding a packet's first bytes, how many of them it held, and
    the index of the read that completed it (len(ends) for a packet no read
    completed). starts: where each read begins, when the reads do not cover
    the stream without a gap (vouched reads around untimed stretches); a
    packet whose last byte no read covers counts as not completed, and one
    whose first bytes no read covers is told by the read completing it."""
    import numpy as np

    first = np.searchsorted(ends, offsets, side="right")
    last = offsets + lengths.astype(np.int64) - 1
    done = np.searchsorted(ends, last, side="right")
    whole = first < len(ends)
    if starts is not None:
        gone = done < len(ends)
        gone[gone] = starts[done[gone]] > last[gone]
        done[gone] = len(ends)
        whole[whole] = starts[first[whole]] <= offsets[whole]
    first_ns = np.zeros(len(offsets), np.int64)
    head = np.zeros(len(offsets), np.uint32)
    first_ns[whole] = monos[first[whole]]
    head[whole] = np.minimum(ends[first[whole]] - offsets[whole], lengths[whole])
    told = ~whole & (done < len(ends))
    first_ns[told] = monos[done[told]]
    return first_ns, head, done
