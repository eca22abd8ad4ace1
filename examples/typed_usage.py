"""Replays a recorded stream and summarises it, written against the type stub
(it checks clean under `mypy --strict`).

    python examples/typed_usage.py [examples/sample.bin]
"""

from __future__ import annotations

import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import vorn_rs


@dataclass
class Summary:
    raw: int = 0
    estimated: int = 0
    first_timestamp: int | None = None
    last_timestamp: int | None = None
    altitudes: list[float] = field(default_factory=list)
    invalid: dict[str, int] = field(default_factory=dict)

    def add(self, packet: vorn_rs.IMUPacket) -> None:
        if packet.packet_type == "raw":
            self.raw += 1
        else:
            self.estimated += 1
        if self.first_timestamp is None:
            self.first_timestamp = packet.timestamp
        self.last_timestamp = packet.timestamp
        altitude: float | None = packet.est_pressure_alt
        if altitude is not None:
            self.altitudes.append(altitude)
        invalid: str | None = packet.invalid_fields
        for name in invalid.split(",") if invalid else []:
            self.invalid[name] = self.invalid.get(name, 0) + 1


def replay(path: Path) -> Summary:
    summary = Summary()
    with vorn_rs.MockParser(path, timeout=0.5) as parser:
        while parser.is_running():
            packets: list[vorn_rs.IMUPacket] = parser.get_data_packets()
            for packet in packets:
                summary.add(packet)
            time.sleep(0.01)
        # The reader queues everything before it stops; take the rest.
        for packet in parser.get_data_packets():
            summary.add(packet)
    return summary


def main(argv: list[str]) -> int:
    path = Path(argv[1]) if len(argv) > 1 else Path(__file__).with_name("sample.bin")
    summary = replay(path)
    print(f"vorn_rs {vorn_rs.VERSION}: {summary.raw} raw and {summary.estimated} estimated packets")
    if summary.first_timestamp is not None and summary.last_timestamp is not None:
        span = (summary.last_timestamp - summary.first_timestamp) / 1e9
        print(f"decoded over {span:.3f} s of host time")
    if summary.altitudes:
        mean = sum(summary.altitudes) / len(summary.altitudes)
        print(f"mean pressure altitude {mean:.2f} m over {len(summary.altitudes)} readings")
    for name, count in sorted(summary.invalid.items()):
        print(f"{name} flagged invalid {count} times")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
