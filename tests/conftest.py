import sys
from pathlib import Path

# The stream model lives beside the tests and is imported as a plain module.
sys.path.insert(0, str(Path(__file__).resolve().parent))


# --- Replaying byte streams through MockParser (module and packet tests) ---

import itertools
import time

import pytest

REPLAY_LIMIT = 10.0  # seconds; a reader that has not reached the end by then has hung


def wait_ended(parser, limit: float = REPLAY_LIMIT) -> None:
    """Polls until the parser's reader has stopped by itself."""
    deadline = time.monotonic() + limit
    while parser.is_running():
        assert time.monotonic() < deadline, "the reader did not stop by itself"
        time.sleep(0.001)


@pytest.fixture
def stream_file(tmp_path):
    """stream_file(data) -> path of a new file under tmp_path holding data."""
    names = itertools.count()

    def write(data: bytes):
        path = tmp_path / f"stream-{next(names)}.bin"
        path.write_bytes(data)
        return path

    return write


@pytest.fixture
def replay(stream_file):
    """replay(data, timeout=0.1) -> every IMUPacket a MockParser finds in data,
    after its reader has reached the end of the file."""
    import vorn_rs

    def run(data: bytes, timeout: float | None = 0.1) -> list:
        parser = vorn_rs.MockParser(stream_file(data), timeout)
        parser.start()
        wait_ended(parser)
        packets = parser.get_data_packets()
        assert parser.get_data_packets() == []
        return packets

    return run


# --- end of the MockParser replay helpers ---
