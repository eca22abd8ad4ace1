"""Writing a recording: a port's bytes appended exactly as they were read,
the arrival of each read in the times file beside it (vorn.times), and the
baud rate in NAME.baud. Both files are held under an exclusive lock while
they are written (vorn.locks), and each flush is made durable, the bytes
before the times that vouch for them. Used by `vorn record` (vorn.record)
and by a live stream that records as it goes (vorn.open(port, record=...))."""

from __future__ import annotations

import contextlib
import errno
import os
import stat
import time

from vorn.errors import with_path
from vorn.locks import HeldError, claim, held_by
from vorn.sidecars import baud_path, beside, times_path, write_baud
from vorn.times import MAGIC_V2, TimesWriter

FLUSH_EVERY = 0.5  # seconds; a crash or a power cut loses at most this much


def exists_error(path) -> FileExistsError:
    return FileExistsError(errno.EEXIST, os.strerror(errno.EEXIST), os.fsdecode(path))


NOT_FILES = (
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a character device"),
    (stat.S_ISBLK, "a block device"),
    (stat.S_ISSOCK, "a socket"),
    (stat.S_ISDIR, "a directory"),
)


def refuse_non_files(out_path) -> None:
    """OSError naming the first of the recording and the files beside it that
    is there and not a regular file: a FIFO would block the open, a device
    would take the bytes without keeping them (or refuse them), and nothing is
    opened to find out."""
    for path in beside(out_path):
        try:
            mode = os.stat(path).st_mode
        except OSError:
            continue  # missing (or a dangling link): made as a file
        for test, what in NOT_FILES:
            if test(mode):
                raise OSError(errno.EINVAL, f"is {what}, not a file: a recording is written to a regular file", path)


class Outputs:
    """The recording and its times file, each open for writing under an
    exclusive lock that lasts as long as they are open, and emptied only once
    both are held and the port is open: a second recorder onto them, with
    force or not, is refused (HeldError) without touching what the first one
    writes."""

    def __init__(self, out_path: str, force: bool) -> None:
        refuse_non_files(out_path)
        self.paths = (out_path, os.fsdecode(times_path(out_path)))
        for path in self.paths:
            pid = held_by(path)
            if pid is not False:
                raise HeldError(path, pid)
        # Stale times beside a new recording would lie.
        for path in self.paths:
            if not force and os.path.lexists(path):
                raise exists_error(path)
        self.fds: list[int] = []
        self.created: list[str] = []
        try:
            for path in self.paths:
                existed = os.path.lexists(path)
                self.fds.append(claim(path, create=True, exclusive=not force))
                if not existed:
                    self.created.append(path)
        except OSError as e:
            self.drop()
            raise with_path(e, out_path) from None

    def drop(self) -> None:
        """Gives them up unwritten, removing those made here."""
        for path in self.created:
            with contextlib.suppress(OSError):
                os.unlink(path)
        self.created = []
        for fd in self.fds:
            os.close(fd)
        self.fds = []

    def take(self) -> tuple[int, int]:
        """Both emptied, as descriptors the caller closes from now on."""
        for fd in self.fds:
            os.ftruncate(fd, 0)
        fds, self.fds = tuple(self.fds), []
        return fds

    def remove(self) -> None:
        """Removes both once given up empty (a start that failed, a disk full
        from the start): a rerun finds nothing in its way."""
        for path in self.paths:
            with contextlib.suppress(OSError):
                os.unlink(path)

    def open(self) -> tuple:
        """Both emptied, as binary files."""
        files = []
        for fd in self.fds:
            os.ftruncate(fd, 0)
            files.append(os.fdopen(fd, "wb"))
        self.fds = []
        return tuple(files)


class Recorder:
    """A recording being written: each read appended to it as it came and its
    arrival to its times, flushed durably (the bytes before the times that
    vouch for them) every FLUSH_EVERY s and at close. Claimed on creation
    (Outputs: refused while another recorder holds them), written from
    start() on, the baud rate beside it."""

    def __init__(self, out_path: str, force: bool, durable: bool = True) -> None:
        self.path = out_path
        self.durable = durable
        self.outputs = Outputs(out_path, force)
        self.out = self.times = None
        self.last_flush = time.monotonic()
        self.dirty = False  # reads added since the last flush
        self.size = 0  # bytes written
        self.kept = False  # some bytes are on the disk: the recording stays, whatever fails
        self.failed = False
        self.baud_made = not os.path.lexists(baud_path(out_path))

    def drop(self) -> None:
        """Gives the outputs up unwritten (before start())."""
        self.outputs.drop()
        if self.baud_made:
            with contextlib.suppress(OSError):
                os.unlink(baud_path(self.path))

    def start(self, baud: int) -> None:
        try:
            write_baud(self.path, baud)  # the wire time of each packet, for its sample time
        except BaseException as e:
            self.drop()
            if isinstance(e, OSError):
                raise with_path(e, baud_path(self.path)) from None
            raise
        self.out, times_file = self.outputs.open()
        self.times = TimesWriter(self.path, durable=self.durable, file=times_file)
        self.last_flush = time.monotonic()

    def hand_over(self, baud: int) -> tuple[int, int]:
        """Instead of start(), for a writer of the caller's own (vorn.open's
        reading thread): the baud rate written beside the recording, both
        files emptied and the times file's magic line written; their
        descriptors, which the caller closes from now on."""
        try:
            write_baud(self.path, baud)
            fds = self.outputs.take()
        except BaseException:
            self.drop()
            raise
        try:
            os.write(fds[1], MAGIC_V2)
        except OSError as e:
            for fd in fds:
                os.close(fd)
            raise with_path(e, self.path) from None
        return fds

    def add(self, chunk: bytes, arrived) -> None:
        try:
            self.out.write(chunk)
            self.times.add(chunk, arrived)
        except OSError as e:  # a full disk: named, so that it is not taken for the port's
            self.failed = True
            raise with_path(e, self.path) from None
        self.size += len(chunk)
        self.dirty = True

    def overran(self, before, after, seen) -> int:
        """The driver's overrun counts (Port.counters()) before and after a
        read, any rise marked as lost ahead of that read's bytes (add them
        after); the characters lost."""
        lost = 0
        if before is not None and after is not None:
            for cause, was, now in zip((2, 3), before, after):
                if now > was:
                    try:
                        self.times.loss(self.size, now - was, cause, seen)
                    except OSError as e:
                        raise with_path(e, self.path) from None
                    lost += now - was
        return lost

    def flush(self) -> None:
        try:
            self.out.flush()  # the bytes first: times never run ahead of them
            if self.durable:
                os.fdatasync(self.out.fileno())
            self.times.flush()
        except OSError as e:
            self.failed = True
            raise with_path(e, self.path) from None
        self.kept = self.kept or self.out.tell() > 0
        self.last_flush = time.monotonic()
        self.dirty = False

    def flush_due(self) -> float | None:
        """When (time.monotonic) what was added must be flushed, or None."""
        return self.last_flush + FLUSH_EVERY if self.dirty else None

    def tick(self) -> None:
        """Flushes when FLUSH_EVERY has passed since the last flush."""
        if time.monotonic() - self.last_flush >= FLUSH_EVERY:
            self.flush()

    def gap(self, lost, back) -> None:
        """A stretch without the device, on record at once."""
        try:
            self.times.gap(lost, back)
            self.times.flush()
        except OSError as e:
            raise with_path(e, self.path) from None

    def close(self) -> None:
        """The last bytes on the disk before the times that vouch for them
        (written on close); safe to call again."""
        out, times, self.out, self.times = self.out, self.times, None, None
        if out is None:
            return
        try:
            try:
                out.flush()
                if self.durable:
                    os.fdatasync(out.fileno())
            finally:
                try:
                    times.close()
                finally:
                    out.close()
        except OSError as e:
            self.failed = True
            raise with_path(e, self.path) from None
        finally:
            if self.failed and not self.kept:  # not one byte made it: nothing is left half-made
                self.outputs.remove()
                with contextlib.suppress(OSError):
                    os.unlink(baud_path(self.path))
