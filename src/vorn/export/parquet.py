"""Parquet (pyarrow): the arrival time (int64 ns), text columns and float32
value columns, in row groups."""

from __future__ import annotations

from vorn.errors import ToolError
from vorn.recording import COLUMNS

ROW_GROUP = 1 << 14  # rows per row group
TIME, TEXT_COLUMNS = COLUMNS[0], COLUMNS[1:3]  # host_time_ns; packet_type, invalid_fields; the rest are float32


def write(batches, out) -> None:
    try:
        import pyarrow as pa
        import pyarrow.parquet as pq
    except ImportError:
        raise ToolError("Parquet needs pyarrow: pip install pyarrow") from None
    schema = pa.schema([(TIME, pa.int64())] + [(n, pa.string()) for n in TEXT_COLUMNS]
                       + [(n, pa.float32()) for n in COLUMNS[3:]])
    # Through a file of our own, so that a failure is Python's OSError with the
    # system's text rather than pyarrow's wording around the scratch name.
    with open(out, "wb") as f, pq.ParquetWriter(f, schema) as writer:
        pending: list = []

        def flush():
            columns = list(zip(*pending))
            writer.write_table(pa.Table.from_arrays(
                [pa.array(col, type=field.type) for col, field in zip(columns, schema)], schema=schema))
            pending.clear()

        for rows in batches:
            pending += rows
            if len(pending) >= ROW_GROUP:
                flush()
        if pending:
            flush()
