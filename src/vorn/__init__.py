"""vorn: recordings of the unit's stream, read as columns, and the `vorn`
command that makes and reads them (record, info, export, plot).

    import vorn
    cols = vorn.read("run.bin")          # NumPy arrays by column name
    cols.to_pandas(); cols.to_arrow()

A companion of the vorn_rs module in the same distribution. Serial reads and
framing go through the module's own C++ core (the private `_native` helper),
so a recording frames here exactly as MockParser and SerialParser frame it.
Reading columns needs numpy (pip install 'vorn_rs[columns]').
"""

from vorn.columns import KINDS, Columns, chunks, read
from vorn.errors import ToolError
from vorn.live import Stream, open

__all__ = ["KINDS", "Columns", "Stream", "ToolError", "chunks", "open", "read"]
