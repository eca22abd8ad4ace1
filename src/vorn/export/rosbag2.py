"""A rosbag2 directory: the MCAP file and the metadata.yaml that `ros2 bag
info` and `ros2 bag play` read, in the version Humble reads (newer
distributions read it too)."""

from __future__ import annotations

import json
import os

from vorn import ros_messages
from vorn.export import mcap

BAG_VERSION = 5


def write(rec, out, *, frame_id: str, prefix: str, rate: float | None, name: str, **options) -> None:
    """out is a new directory, to be renamed NAME: NAME_0.mcap and metadata.yaml in it."""
    os.mkdir(out)
    bag = f"{name}_0.mcap"
    with open(os.path.join(out, bag), "wb") as f:
        w, topics = mcap.write_mcap(rec, f, frame_id=frame_id, prefix=prefix, rate=rate, **options)
    start, end = (t or 0 for t in w.span)
    total = sum(w.counts.values())
    q = json.dumps  # a JSON string is a YAML string, escapes included
    lines = [
        "rosbag2_bagfile_information:",
        f"  version: {BAG_VERSION}",
        "  storage_identifier: mcap",
        f"  duration:\n    nanoseconds: {end - start}",
        f"  starting_time:\n    nanoseconds_since_epoch: {start}",
        f"  message_count: {total}",
        "  topics_with_message_count:",
    ]
    for cid, (topic, type_name) in topics.items():
        lines += [
            "    - topic_metadata:",
            f"        name: {q(topic)}",
            f"        type: {type_name}",
            "        serialization_format: cdr",
            f"        offered_qos_profiles: {q(ros_messages.BAG_QOS)}",
            f"      message_count: {w.counts[cid]}",
        ]
    lines += [
        '  compression_format: ""',
        '  compression_mode: ""',
        "  relative_file_paths:",
        f"    - {q(bag)}",
        "  files:",
        f"    - path: {q(bag)}",
        f"      starting_time:\n        nanoseconds_since_epoch: {start}",
        f"      duration:\n        nanoseconds: {end - start}",
        f"      message_count: {total}",
    ]
    with open(os.path.join(out, "metadata.yaml"), "w") as f:
        f.write("\n".join(lines) + "\n")
