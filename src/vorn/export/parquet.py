"""Parquet (pyarrow): the columns of vorn.read, packet_type as a dictionary of
"raw" and "estimated", an absent value null; each value column's unit and
description in its field metadata, the recording's in the file's."""

from __future__ import annotations

import json
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

ROW_GROUP = 1 << 17  # rows per row group, about


def write(chunks, names, out, source) -> int:
    import pyarrow.parquet as pq

    from vorn.columns import arrow_table
    from vorn.recording import gathered

    n = 0
    # Through a file of our own, so that a failure is Python's OSError with the
    # system's text rather than pyarrow's wording around the scratch name. The
    # chunks of a row group are gathered as they are framed and made one Arrow
    # table (a conversion per column and row group, not per chunk), which is
    # encoded on a thread of its own while the next is framed.
    with open(out, "wb") as f, ThreadPoolExecutor(1) as encoder:
        writer = None
        writing = None

        def encode(table) -> None:
            nonlocal writer
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
            writer.write_table(table.cast(writer.schema), row_group_size=table.num_rows)

        for group in gathered(chunks, ROW_GROUP):
            table = arrow_table(group)
            n += table.num_rows
            if writing is not None:
                writing.result()
            writing = encoder.submit(encode, table)
        if writing is not None:
            writing.result()
        if writer is not None:
            writer.close()
    return n


def with_metadata(schema, names, source):
    from vorn.columns import described_schema

    return described_schema(schema).with_metadata(
        {"vorn": json.dumps({"recording": Path(source).name, "columns": list(names)})}
    )
