"""vorn: recordings of the unit's stream, read as columns, and the `vorn`
command that makes and reads them (record, info, export, plot, noise, doctor).

    import vorn
    cols = vorn.read("run.bin")          # NumPy arrays by column name
    cols.to_pandas(); cols.to_arrow()
    for piece in vorn.chunks("run.bin"): # the same, a piece at a time
        ...
    with vorn.open("/dev/ttyUSB0") as stream:  # live: a port, or a recording replayed
        for batch in stream:             # the packets that arrived since the last batch
            ...

A library first: reading (recording, columns), the times file (times), what a
column is (fields), the live stream (live), exports (export), plot, noise and doctor raise Python's
own exceptions (OSError naming the path, ValueError, TypeError, ImportError
naming the extra to install) and print nothing; the command (cli) is the one
place that turns those into a line on stderr and an exit status.

A companion of the vorn_rs module in the same distribution. Serial reads and
framing go through the module's own C++ core (the private `_native` helper),
so a recording frames here exactly as MockParser and SerialParser frame it.
Reads whose arrival time the times file cannot vouch for (a crash's tail, a
damaged block, a times file of another recording) keep their packets without
a time and warn once (UntimedWarning). Reading columns needs numpy (pip install 'vorn_rs[columns]').
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from vorn.columns import Columns, chunks, read
    from vorn.fields import KINDS
    from vorn.live import Stream, open
    from vorn.recording import Recording
    from vorn.times import UntimedWarning

__all__ = ["KINDS", "Columns", "Recording", "Stream", "UntimedWarning", "__version__", "chunks", "open", "read"]

# Each name is imported where it lives when first asked for, so that a
# command (or a program) loads only the modules it uses.
_HOMES = {
    "Columns": "vorn.columns",
    "chunks": "vorn.columns",
    "read": "vorn.columns",
    "KINDS": "vorn.fields",
    "Stream": "vorn.live",
    "open": "vorn.live",
    "Recording": "vorn.recording",
    "UntimedWarning": "vorn.times",
}


def __getattr__(name: str):
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(home), name)
        globals()[name] = value
        return value
    # The version is looked up only when asked: the metadata costs an import.
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("vorn_rs")
        except PackageNotFoundError:  # run from a source tree
            return "unknown"
    raise AttributeError(f"module 'vorn' has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted(set(globals()) | set(__all__))
