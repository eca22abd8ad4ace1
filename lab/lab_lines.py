"""The ports under test in the serial-driver lab's guest and the units at
their far ends. tools/lab/lab-drivers boots the guest and plays the units on the
host; a Line asks it for streams and unplugs over a control line."""

import fcntl
import json
import os
import select
import struct
import subprocess
import termios
import threading
import time
import tty
from pathlib import Path

TCGETS2 = 0x802C542A
TIOCGEXCL = 0x80045440
BOTHER = 0o010000
CBAUD = 0o010017
NODE_LIMIT = 60.0  # seconds for a device node to appear after a plug


class Host:
    """The control line to tools/lab/lab-drivers: one JSON request, one JSON reply."""

    def __init__(self, path: str) -> None:
        self.fd = os.open(path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(self.fd)
        termios.tcflush(self.fd, termios.TCIOFLUSH)
        self.pending = b""

    def ask(self, op: str, **args) -> dict:
        os.write(self.fd, json.dumps({"op": op, **args}).encode() + b"\n")
        give_up = time.monotonic() + 600
        while b"\n" not in self.pending:
            ready, _, _ = select.select([self.fd], [], [], 1.0)
            if ready:
                self.pending += os.read(self.fd, 4096)
            elif time.monotonic() > give_up:
                raise TimeoutError(f"no answer from the host to {op}")
        line, self.pending = self.pending.split(b"\n", 1)
        reply = json.loads(line)
        if not reply.pop("ok"):
            raise RuntimeError(f"host failed {op}: {reply['error']}")
        return reply


class Stream:
    """A stream of the simulated unit, made on the host: its bytes and the
    records (in comparable form) that a correct decoder finds in it."""

    def __init__(self, share: Path, made: dict) -> None:
        import pickle

        self.name, self.size = made["name"], made["bytes"]
        self.data = (share / "streams" / f"{self.name}.bin").read_bytes()
        with open(share / "streams" / f"{self.name}.pickle", "rb") as f:
            self.expected = pickle.load(f)


def record(driver: str, what: str, value) -> None:
    """Keeps a measured fact for the host's summary."""
    with open(Path(os.environ["VORN_LAB_SHARE"]) / "measured.jsonl", "a") as f:
        f.write(json.dumps({"driver": driver, "what": what, "value": value}) + "\n")


def line_settings(path: str) -> dict:
    """The extended settings of a terminal, through a short-lived descriptor of
    our own (root is not kept out by exclusive mode)."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        raw = fcntl.ioctl(fd, TCGETS2, bytes(44))
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0]
    finally:
        os.close(fd)
    iflag, oflag, cflag, lflag = struct.unpack_from("4I", raw)
    ispeed, ospeed = struct.unpack_from("2I", raw, 36)
    return dict(iflag=iflag, oflag=oflag, cflag=cflag, lflag=lflag, ispeed=ispeed, ospeed=ospeed, exclusive=exclusive)


def wait_for(predicate, limit: float, what: str):
    give_up = time.monotonic() + limit
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() > give_up:
            raise TimeoutError(what)
        time.sleep(0.05)


class Line:
    """A real serial port and the unit at its far end."""

    name = ""
    can_unplug = False
    stream_seconds = 1.0  # the long stream's length, in the unit's seconds
    fast = 115200  # the speed the streams run at

    def __init__(self, host: Host) -> None:
        self.host = host
        self.share = Path(os.environ["VORN_LAB_SHARE"])

    def node(self) -> str | None:
        raise NotImplementedError

    def wait_node(self) -> str:
        return wait_for(self.node, NODE_LIMIT, f"no device node for {self.name}")

    def make(self, seconds: float, seed: int, **faults) -> Stream:
        return Stream(self.share, self.host.ask("make", seconds=seconds, seed=seed, faults=faults))

    # How the plug is pulled while the reader waits and while bytes flow.
    unplug_means = {"waiting": "", "flowing": ""}
    unplug_how = "qmp"

    def send(self, stream: Stream, unplug_after: int | None = None) -> None:
        self.host.ask(
            "feed",
            port=self.name,
            name=stream.name,
            seed=len(stream.data),
            unplug_after=unplug_after,
            how=self.unplug_how,
        )

    def sent(self) -> dict:
        return self.host.ask("fed", port=self.name)

    def unplug(self) -> None:
        raise NotImplementedError

    def plug(self) -> None:
        raise NotImplementedError


class Uart(Line):
    name = "uart"
    stream_seconds = 2.0

    def node(self) -> str:
        return "/dev/ttyS1"


class Pl011(Line):
    """The ARM board's own UART (a Raspberry Pi's), where a PC has its 16550."""

    name = "pl011"
    stream_seconds = 2.0

    def node(self) -> str:
        return "/dev/ttyAMA0"


def sysfs_node(pattern: str, driver: str) -> str | None:
    """The first tty whose device is bound to `driver`."""
    for entry in sorted(Path("/sys/class/tty").glob(pattern)):
        bound = entry / "device" / "driver"
        if bound.exists() and bound.resolve().name == driver and Path("/dev", entry.name).exists():
            return f"/dev/{entry.name}"
    return None


class Ftdi(Line):
    name = "ftdi"
    can_unplug = True
    stream_seconds = 2.0
    fast = 921600

    unplug_means = {"waiting": "device_del over QMP", "flowing": "host end of the line closed"}
    unplug_how = "cable"  # QEMU 7.2 crashes when the device is deleted mid-transfer

    def node(self) -> str | None:
        return sysfs_node("ttyUSB*", "ftdi_sio")

    def unplug(self) -> None:
        self.host.ask("unplug")

    def plug(self) -> None:
        self.host.ask("plug")


class GadgetSide(threading.Thread):
    """Plays the unit on the gadget's end (/dev/ttyGS0) of the looped CDC-ACM
    line, from its own thread; optionally pulls the plug after a number of
    bytes and goes on writing until the line is gone."""

    def __init__(self, data: bytes, unplug_after: int | None, unplug) -> None:
        super().__init__(daemon=True)
        self.data, self.unplug_after, self.unplug = data, unplug_after, unplug
        self.result: dict = {}

    def run(self) -> None:
        fd = os.open("/dev/ttyGS0", os.O_RDWR | os.O_NOCTTY)
        sent = 0
        unplugger = None
        try:
            tty.setraw(fd)
            view = memoryview(self.data)
            while sent < len(view):
                if unplugger is None and self.unplug_after is not None and sent >= self.unplug_after:
                    # rmmod hangs the gadget's tty up, which ends these writes;
                    # it finishes once this end is closed.
                    unplugger = threading.Thread(target=self.unplug)
                    unplugger.start()
                if unplugger is None:
                    sent += os.write(fd, view[sent : sent + 1024])
                else:
                    # From here at about the unit's own pace, so that the plug
                    # goes while bytes still flow.
                    sent += os.write(fd, view[sent : sent + 100])
                    time.sleep(0.001)
        except OSError as e:
            self.result["error"] = str(e)
        finally:
            os.close(fd)
        if unplugger is not None:
            unplugger.join(60)
            self.result["unplugged"] = not unplugger.is_alive()
        self.result.update(sent=sent, complete=sent == len(self.data))


class Acm(Line):
    name = "acm"
    can_unplug = True
    stream_seconds = 2.0
    fast = 921600

    def __init__(self, host: Host) -> None:
        super().__init__(host)
        self.side: GadgetSide | None = None

    unplug_means = {"waiting": "rmmod g_serial", "flowing": "rmmod g_serial"}

    def node(self) -> str | None:
        return sysfs_node("ttyACM*", "cdc_acm")

    def send(self, stream: Stream, unplug_after: int | None = None) -> None:
        self.side = GadgetSide(stream.data, unplug_after, self.unplug)
        self.side.start()

    def sent(self) -> dict:
        self.side.join(300)
        assert not self.side.is_alive(), "the gadget side never finished writing"
        return self.side.result

    def unplug(self) -> None:
        subprocess.run(["busybox", "rmmod", "g_serial"], check=True)

    def plug(self) -> None:
        if not os.path.exists("/sys/module/g_serial"):
            subprocess.run(["busybox", "insmod", os.environ["VORN_LAB_G_SERIAL"]], check=True)
        wait_for(lambda: os.path.exists("/dev/ttyGS0"), NODE_LIMIT, "no /dev/ttyGS0")


# The board's UART is the 16550 on a PC and the PL011 on an ARM board.
BOARD_UART = Pl011 if os.uname().machine == "aarch64" else Uart
LINES = {BOARD_UART.name: BOARD_UART, "ftdi": Ftdi, "acm": Acm}
