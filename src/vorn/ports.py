"""The machine's serial ports as the kernel shows them: sysfs for the driver,
the USB identity and the latency timer, /dev/serial for the stable names,
/proc for the processes that hold a port open (`vorn doctor`), and the
identity a reconnection checks the returned device against. Reading them
changes nothing."""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass, field
from pathlib import Path

SYS_TTY = Path("/sys/class/tty")
SYS_DEV_CHAR = Path("/sys/dev/char")  # each character device by its number
SERIAL_LINKS = Path("/dev/serial")
# Programs that open serial ports that are not theirs, by their command name.
GRABBERS = {"ModemManager": "ModemManager", "brltty": "brltty"}
# struct serial_struct: its baud_base is the 8th int (the UART's clock / 16).
TIOCGSERIAL = 0x541E
SERIAL_STRUCT_SIZE = 72
BAUD_BASE_OFFSET = 28
PORT_UNKNOWN = "0"
CMDLINE_SHOWN = 100  # characters of a holder's command line
# The majors of the pseudo-terminals' slave ends: every devpts instance (a
# container's, another mount namespace's) numbers its own from 0, so the same
# device number may be another terminal there.
PTY_SLAVE_MAJORS = range(136, 144)


@dataclass
class Holder:
    pid: int
    command: str  # the program's name (comm)
    cmdline: str

    @property
    def grabber(self) -> str | None:
        return GRABBERS.get(self.command)


@dataclass
class PortInfo:
    name: str  # ttyUSB0
    path: str  # /dev/ttyUSB0
    driver: str | None = None
    by_id: list[str] = field(default_factory=list)
    by_path: list[str] = field(default_factory=list)
    usb: dict | None = None  # vendor, product (ids), serial, manufacturer, model
    latency_timer: Path | None = None  # FTDI adapters only

    def latency_ms(self) -> int | None:
        try:
            return int(self.latency_timer.read_text()) if self.latency_timer else None
        except (OSError, ValueError):
            return None

    def as_dict(self) -> dict:
        return {
            "name": self.name,
            "path": self.path,
            "driver": self.driver,
            "by_id": self.by_id,
            "by_path": self.by_path,
            "usb": self.usb,
            "latency_timer_ms": self.latency_ms(),
            "latency_timer_path": str(self.latency_timer) if self.latency_timer else None,
        }


def read(path: Path) -> str | None:
    try:
        return path.read_text().strip()
    except OSError:
        return None


def port_names() -> list[str]:
    """The terminals backed by a device (not the virtual consoles or ptys),
    leaving out the 8250 driver's placeholders that have no UART."""
    names = []
    for entry in sorted(SYS_TTY.glob("*")):
        if not (entry / "device").exists():
            continue
        if read(entry / "type") == PORT_UNKNOWN and driver_of(entry.name) == "serial8250":
            continue
        names.append(entry.name)
    return names


def driver_of(name: str) -> str | None:
    """The driver of the tty's device, above the serial core's own port and
    controller devices (newer kernels put those between a UART and its driver)."""
    device = (SYS_TTY / name / "device").resolve()
    for d in (device, *device.parents):
        bound = d / "driver"
        if bound.exists() and bound.resolve().parent.parent.name != "serial-base":
            return bound.resolve().name
        if d.name == "devices":
            break
    return None


def stable_names() -> dict[str, list[tuple[str, str]]]:
    """Each device path to its /dev/serial links: (by-id or by-path, link)."""
    names: dict[str, list[tuple[str, str]]] = {}
    for kind in ("by-id", "by-path"):
        for link in sorted((SERIAL_LINKS / kind).glob("*")):
            names.setdefault(os.path.realpath(link), []).append((kind, str(link)))
    return names


def usb_identity(name: str) -> dict | None:
    """The USB device above the tty's, found by walking up sysfs to the
    directory that has the vendor id."""
    device = (SYS_TTY / name / "device").resolve()
    for d in (device, *device.parents):
        if (d / "idVendor").exists():
            return {
                "vendor": read(d / "idVendor"),
                "product": read(d / "idProduct"),
                "serial": read(d / "serial"),
                "manufacturer": read(d / "manufacturer"),
                "model": read(d / "product"),
            }
        if d.name == "devices":
            break
    return None


def port_info(name: str, links: dict | None = None) -> PortInfo:
    path = f"/dev/{name}"
    links = stable_names() if links is None else links
    info = PortInfo(name, path, driver_of(name))
    for kind, link in links.get(os.path.realpath(path), []):
        (info.by_id if kind == "by-id" else info.by_path).append(link)
    info.usb = usb_identity(name)
    timer = Path(f"/sys/bus/usb-serial/devices/{name}/latency_timer")  # where ftdi_sio puts it
    info.latency_timer = timer if timer.exists() else None
    return info


def tty_name(path: str) -> str | None:
    """The kernel's name of the terminal a device node stands for, from its
    device number (so that any link to it gives the same)."""
    try:
        st = os.stat(path)
    except OSError:
        return None
    if not stat.S_ISCHR(st.st_mode):
        return None
    return tty_name_of(st.st_rdev)


def tty_name_of(rdev: int) -> str | None:
    """The kernel's name of the terminal with device number rdev, or None."""
    target = SYS_DEV_CHAR / f"{os.major(rdev)}:{os.minor(rdev)}"
    try:
        resolved = target.resolve(strict=True)
    except OSError:
        return None
    return resolved.name if resolved.parent.name == "tty" else None


def holders(path: str) -> tuple[list[Holder], int]:
    """Every other process with a descriptor on the device at `path`, and
    the number of processes whose descriptors could not be looked at (those
    of other users, unless run as root)."""
    try:
        node = os.stat(path)
    except OSError:
        return [], 0
    found, unseen = [], 0
    me = os.getpid()
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit() or int(entry.name) == me:
            continue
        pid = int(entry.name)
        try:
            fds = os.listdir(f"/proc/{pid}/fd")
        except PermissionError:
            unseen += 1
            continue
        except OSError:  # gone meanwhile
            continue
        for fd in fds:
            try:
                if not os.readlink(f"/proc/{pid}/fd/{fd}").startswith("/dev/"):
                    continue
                st = os.stat(f"/proc/{pid}/fd/{fd}")
            except OSError:
                continue
            if stat.S_ISCHR(st.st_mode) and same_device(st, node):
                cmdline = read(Path(f"/proc/{pid}/cmdline")) or ""
                cmdline = " ".join(cmdline.replace("\0", " ").split())
                cmdline = cmdline if len(cmdline) <= CMDLINE_SHOWN else cmdline[: CMDLINE_SHOWN - 3] + "..."
                found.append(Holder(pid, read(Path(f"/proc/{pid}/comm")) or "?", cmdline))
                break
    return found, unseen


def same_device(opened: os.stat_result, node: os.stat_result) -> bool:
    """Whether an open file (stat through /proc/PID/fd: the node it was opened
    by) is the device of node. The same node is; a pseudo-terminal of the same
    number through another node is another instance's; any other device with
    the same number is the same device, whatever node (a container's /dev)
    opened it."""
    if (opened.st_dev, opened.st_ino) == (node.st_dev, node.st_ino):
        return True
    return opened.st_rdev == node.st_rdev and os.major(node.st_rdev) not in PTY_SLAVE_MAJORS


def running(command: str) -> list[int]:
    """The pids of the processes whose command name is `command`."""
    pids = []
    for entry in os.scandir("/proc"):
        if entry.name.isdigit() and read(Path(entry.path) / "comm") == command:
            pids.append(int(entry.name))
    return pids


def baud_base(fd: int) -> int | None:
    """The UART's clock divided by 16, the most it makes (None where the
    driver does not say, as a pseudo-terminal does not)."""
    import fcntl
    import struct

    try:
        raw = fcntl.ioctl(fd, TIOCGSERIAL, bytes(SERIAL_STRUCT_SIZE))
    except OSError:
        return None
    return struct.unpack_from("i", raw, BAUD_BASE_OFFSET)[0] or None


class OtherDeviceWarning(UserWarning):
    """Another device than the one a stream reconnects to appeared at its path."""


@dataclass(frozen=True)
class Identity:
    """What tells one USB serial adapter from another: its vendor and product
    ids and its serial number (None where it has none)."""

    vendor: str
    product: str
    serial: str | None

    def __str__(self) -> str:
        return f"USB {self.vendor}:{self.product} serial {self.serial or 'none'}"


def identity(fd: int) -> Identity | None:
    """The identity of the device open at fd, from sysfs: None for a device
    without one (a pseudo-terminal, a built-in UART), which can only be
    followed by its path."""
    try:
        rdev = os.fstat(fd).st_rdev
    except OSError:
        return None
    name = tty_name_of(rdev)
    usb = usb_identity(name) if name else None
    if not usb or not usb["vendor"] or not usb["product"]:
        return None
    return Identity(usb["vendor"], usb["product"], usb["serial"])


def other_device(fd: int, expected: Identity | None) -> str | None:
    """None when the device open at fd may be taken for the one that had
    `expected` (always, when that had no identity), else what it is instead."""
    if expected is None:
        return None
    got = identity(fd)
    if got == expected:
        return None
    return str(got) if got else "a device without a USB identity"
