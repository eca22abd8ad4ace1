"""vorn: recordings of the unit's stream, read as columns, and the `vorn`
command that makes and reads them (record, info, export, plot).

    import vorn
    cols = vorn.read("run.bin")          # NumPy arrays by column name
    cols.to_pandas(); cols.to_arrow()

A companion of the vorn_rs module in the same distribution. Serial reads and
framing go through the module's own C++ core (the private `_native` helper),
so a recording frames here exactly as MockParser and SerialParser frame it.
Reads whose arrival time the times file cannot vouch for (a crash's tail, a
damaged block, a times file of another recording) keep their packets without
a time and warn once (UntimedWarning). Reading columns needs numpy (pip install 'vorn_rs[columns]').
"""

from vorn.columns import KINDS, Columns, UntimedWarning, chunks, read
from vorn.errors import ToolError

__all__ = ["KINDS", "Columns", "ToolError", "UntimedWarning", "chunks", "read"]
