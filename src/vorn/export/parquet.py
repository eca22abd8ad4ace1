"""Parquet (pyarrow): the columns of vorn.read, packet_type as a dictionary of
"raw" and "estimated", an absent value null; each value column's unit and
description in its field metadata, the recording's in the file's."""

from __future__ import annotations

import json
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROW_GROUP = 1 << 17  # rows per row group, about


def write(chunks, names, out, source) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from vorn.columns import arrow_table

    n = 0
    # Through a file of our own, so that a failure is Python's OSError with the
    # system's text rather than pyarrow's wording around the scratch name. A
    # row group is encoded on a thread of its own while the next is framed.
    with open(out, "wb") as f, ThreadPoolExecutor(1) as encoder:
        writer = None
        pending: list = []
        rows = 0
        writing = None

        def flush():
            nonlocal rows, writing
            table = pa.concat_tables(pending)
            pending.clear()
            rows = 0
            if writing is not None:
                writing.result()
            writing = encoder.submit(writer.write_table, table, row_group_size=table.num_rows)

        for chunk in chunks:
            table = arrow_table(chunk)
            if writer is None:
                schema = with_metadata(table.schema, names, source)
                # Dictionaries only for the packet kind: float values repeat too rarely
                # to gain. Statistics only for the time, the column a reader selects
                # row groups by: for the values they cost a quarter of the encoding.
                writer = pq.ParquetWriter(
                    f,
                    schema,
                    use_dictionary=["packet_type"],
                    write_statistics=[n for n in ("host_time_ns", "time_ns") if n in names],
                )
            pending.append(table.cast(writer.schema))
            rows += table.num_rows
            n += table.num_rows
            if rows >= ROW_GROUP:
                flush()
        if writer is not None:
            if pending:
                flush()
            writing.result()
            writer.close()
    return n


def with_metadata(schema, names, source):
    from vorn.columns import described_schema

    return described_schema(schema).with_metadata(
        {"vorn": json.dumps({"recording": Path(source).name, "columns": list(names)})}
    )
