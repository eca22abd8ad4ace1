"""vorn export: one row per packet, one column per value component.

One module per format, each taking the rows piece by piece, so memory stays
flat however long the recording is. The output appears under its name only
when complete.
"""

from __future__ import annotations

import os
from pathlib import Path

from vorn.errors import os_failure
from vorn.export import csv, npz, parquet
from vorn.recording import Recording

WRITERS = {".csv": csv.write, ".parquet": parquet.write, ".npz": npz.write}


def export(path, out) -> int:
    writer = WRITERS[Path(out).suffix.lower()]
    rec = Recording(path, rows=True)
    # Written beside the target and renamed into place once complete.
    tmp = Path(out).with_name(f".{Path(out).name}.{os.getpid()}.part")
    try:
        writer(rec.batches("export"), tmp)
        rec.require_packets()
        os.replace(tmp, out)
    except OSError as e:
        raise os_failure(out, e) from None
    finally:
        if os.path.exists(tmp):
            os.unlink(tmp)
    return 0
