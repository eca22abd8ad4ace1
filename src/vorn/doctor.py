"""Why a port will not open or streams badly, and what to do: findings, each
a level (ok, note, problem), what it is about, and for a problem the fix
(examine). The command prints them a line each (Finding.line)."""

from __future__ import annotations

import errno
import fcntl
import grp
import math
import os
import pwd
import stat
import struct
import time
from dataclasses import asdict, dataclass

from vorn import _native
from vorn import ports as sysports
from vorn.port_session import PortSession
from vorn.sidecars import LINE_BAUD

TCGETS2 = 0x802C542A
TCSETS2 = 0x402C542B
TIOCGEXCL = 0x80045440
KERNEL_TERMIOS2_SIZE = 44
READ_WAIT = 0.05  # seconds one listening read waits
COMMON_RATES = (9600, 19200, 38400, 57600, 115200, 230400, 460800, 921600, 1000000, 2000000)
FTDI_PACKET = 62  # data bytes in one full-speed FTDI USB packet
ALLOWANCE_MS = 50.0  # what the host's scheduling may add to any arrival
LARGEST_PACKET = 120  # bytes of the longest packet the unit sends
BITS_PER_BYTE = 10  # 8N1: start, 8 data, stop
LATENCY_RULE = 'ACTION=="add", SUBSYSTEM=="usb-serial", DRIVER=="ftdi_sio", ATTR{latency_timer}="1"'


@dataclass
class Finding:
    level: str  # ok, note or problem
    topic: str
    text: str
    fix: str | None = None

    def line(self) -> str:
        head = {"ok": "ok     ", "note": "note   ", "problem": "PROBLEM"}[self.level]
        return f"{head} {self.topic}: {self.text}" + (f". Fix: {self.fix}" if self.fix else "")


class Report:
    def __init__(self) -> None:
        self.findings: list[Finding] = []
        self.facts: dict = {}

    def add(self, level: str, topic: str, text: str, fix: str | None = None) -> None:
        self.findings.append(Finding(level, topic, text, fix))

    @property
    def ok(self) -> bool:
        return all(f.level != "problem" for f in self.findings)

    @property
    def problems(self) -> int:
        return sum(f.level == "problem" for f in self.findings)

    def as_dict(self, port: str | None) -> dict:
        """The facts and findings, JSON-ready."""
        return {"port": port, "ok": self.ok, **self.facts, "findings": [asdict(f) for f in self.findings]}


# -- the machine's ports --------------------------------------------------------


def holder_text(h: sysports.Holder) -> str:
    return f"pid {h.pid} ({h.cmdline or h.command})"


def grabber_fix(h: sysports.Holder, usb: dict | None) -> str:
    """How to keep ModemManager or brltty off a port, now and for good."""
    if h.grabber == "ModemManager":
        match = f'ATTRS{{idVendor}}=="{usb["vendor"]}", ATTRS{{idProduct}}=="{usb["product"]}", ' if usb else ""
        return (
            f"sudo systemctl stop ModemManager; for good `echo '{match}ENV{{ID_MM_DEVICE_IGNORE}}=\"1\"' | "
            "sudo tee /etc/udev/rules.d/99-vorn-mm.rules` (or sudo systemctl disable --now ModemManager)"
        )
    return (
        "sudo systemctl mask --now brltty-udev.service brltty.service (it claims USB serial adapters for "
        "braille displays), or sudo apt remove brltty; then re-plug the adapter"
    )


def check_holders(report: Report, path: str, usb: dict | None) -> tuple[list[sysports.Holder], int]:
    """The processes holding the port, and how many could not be looked at."""
    found, unseen = sysports.holders(path)
    for h in found:
        if h.grabber:
            report.add("problem", "held", f"{h.grabber} holds {path} open ({holder_text(h)})", grabber_fix(h, usb))
        else:
            report.add(
                "problem",
                "held",
                f"{path} is open in {holder_text(h)}",
                f"end that program (kill {h.pid}) or close the port in it",
            )
    if not found and unseen:
        report.add(
            "note",
            "held",
            f"no process seen holding {path} open, but the descriptors of {unseen} processes "
            "of other users could not be looked at: one of them holding it without exclusive mode "
            "or the lock is not ruled out",
            f"`sudo vorn doctor {path}` (or `sudo fuser -v {path}`) looks at them all",
        )
    elif not found:
        report.add("ok", "held", f"no other process has {path} open")
    return found, unseen


def latency_text(ms: int, baud: int | None) -> str:
    text = (
        f"the adapter holds received bytes until {FTDI_PACKET} have gathered or its latency timer of {ms} ms runs out"
    )
    if baud:
        fill = FTDI_PACKET * BITS_PER_BYTE * 1000 / baud
        every = min(fill, ms)
        text += (
            f"; at {baud} baud {FTDI_PACKET} bytes take {fill:.1f} ms, so reads come in bursts every "
            f"{every:.1f} ms, and the last bytes before any pause wait {ms} ms"
        )
    return text


def check_latency(report: Report, info: sysports.PortInfo, baud: int | None) -> None:
    ms = info.latency_ms()
    if ms is None:
        return
    report.facts["latency_timer_ms"] = ms
    if ms <= 1:
        report.add("ok", "latency", f"latency timer {ms} ms ({info.latency_timer})")
        return
    report.add(
        "problem",
        "latency",
        f"latency timer {ms} ms: {latency_text(ms, baud)}",
        f"echo 1 | sudo tee {info.latency_timer}; for good `echo '{LATENCY_RULE}' | "
        "sudo tee /etc/udev/rules.d/99-vorn-ftdi-latency.rules` and re-plug",
    )


def describe(info: sysports.PortInfo) -> str:
    parts = [info.path, f"driver {info.driver or 'unknown'}"]
    if info.usb:
        u = info.usb
        model = " ".join(x for x in (u["manufacturer"], u["model"]) if x)
        parts.append(
            f"USB {u['vendor']}:{u['product']}" + (f" {model}" if model else "") + f", serial {u['serial'] or 'none'}"
        )
    if info.latency_ms() is not None:
        parts.append(f"latency timer {info.latency_ms()} ms")
    parts += info.by_id + info.by_path
    return ", ".join(parts)


def check_grabbers_running(report: Report) -> None:
    """ModemManager and brltty running, even holding nothing yet: they take
    a USB adapter when it is plugged in."""
    for command in sysports.GRABBERS:
        pids = sysports.running(command)
        if pids:
            h = sysports.Holder(pids[0], command, command)
            report.add(
                "note",
                "grabber",
                f"{command} runs (pid {pids[0]}); it may open a USB serial adapter as it is plugged in",
                grabber_fix(h, None),
            )


def survey(report: Report) -> None:
    """Every serial port of the machine, its facts and who holds it."""
    links = sysports.stable_names()
    names = sysports.port_names()
    report.facts["ports"] = []
    if not names:
        report.add(
            "problem",
            "ports",
            "no serial ports found",
            "plug the adapter in and look at `sudo dmesg | tail` for it (a CH340 or FTDI adapter that shows "
            "up and is then 'disconnected' has been taken by brltty: sudo apt remove brltty)",
        )
    for name in names:
        info = sysports.port_info(name, links)
        found, _ = sysports.holders(info.path)
        entry = info.as_dict()
        entry["holders"] = [asdict(h) for h in found]
        report.facts["ports"].append(entry)
        report.add(
            "ok", name, describe(info) + (", held by " + "; ".join(map(holder_text, found)) if found else ", not open")
        )
        for h in found:
            if h.grabber:
                report.add("problem", name, f"{h.grabber} holds it ({holder_text(h)})", grabber_fix(h, info.usb))
        check_latency(report, info, None)
    check_grabbers_running(report)


# -- one port -------------------------------------------------------------------


def user_name() -> str:
    try:
        return pwd.getpwuid(os.getuid()).pw_name
    except KeyError:
        return str(os.getuid())


def group_name(gid: int) -> str:
    try:
        return grp.getgrgid(gid).gr_name
    except KeyError:
        return str(gid)


def check_access(report: Report, path: str, st: os.stat_result, info: sysports.PortInfo | None) -> bool:
    try:
        owner = pwd.getpwuid(st.st_uid).pw_name
    except KeyError:
        owner = str(st.st_uid)
    group = group_name(st.st_gid)
    groups = sorted({group_name(g) for g in os.getgroups()})
    facts = f"{stat.filemode(st.st_mode)} {owner}:{group}; you are {user_name()} in {', '.join(groups) or 'no group'}"
    report.facts["access"] = {
        "mode": oct(st.st_mode & 0o7777),
        "owner": owner,
        "group": group,
        "user": user_name(),
        "groups": groups,
    }
    if os.access(path, os.R_OK | os.W_OK):
        report.add("ok", "access", f"you can read and write it ({facts})")
        return True
    if st.st_mode & 0o060 == 0o060:
        listed = user_name() in grp.getgrgid(st.st_gid).gr_mem if group != str(st.st_gid) else False
        if listed:
            report.add(
                "problem",
                "access",
                f"you are listed in group {group}, which may use it, but this login "
                f"does not have the group yet ({facts})",
                f"log out and back in (or run `newgrp {group}` in this shell)",
            )
        else:
            report.add(
                "problem",
                "access",
                f"no read and write permission: group {group} may use it and you are not in it ({facts})",
                f"sudo usermod -aG {group} $USER, then log out and back in",
            )
        return False
    match = (
        f'ATTRS{{idVendor}}=="{info.usb["vendor"]}", ATTRS{{idProduct}}=="{info.usb["product"]}"'
        if info and info.usb
        else f'KERNEL=="{os.path.basename(os.path.realpath(path))}"'
    )
    report.add(
        "problem",
        "access",
        f"no read and write permission, and not for any group either ({facts})",
        f'`echo \'SUBSYSTEM=="tty", {match}, GROUP="dialout", MODE="0660"\' | sudo tee '
        "/etc/udev/rules.d/99-vorn-serial.rules`, re-plug, and be in dialout "
        "(sudo usermod -aG dialout $USER, then log in again)",
    )
    return False


def check_exclusive_and_lock(report: Report, fd: int) -> bool:
    """The exclusive flag and the lock SerialParser takes (flock), each tested
    without keeping it; True when SerialParser could claim the port now."""
    free = True
    try:
        exclusive = struct.unpack("i", fcntl.ioctl(fd, TIOCGEXCL, bytes(4)))[0]
    except OSError:
        exclusive = None
    report.facts["exclusive"] = exclusive
    if exclusive:
        report.add(
            "problem",
            "exclusive",
            "in exclusive mode (TIOCEXCL): a program has claimed it and nobody but root may open it",
            "end the program that holds it (above)",
        )
        free = False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except BlockingIOError:
        report.facts["locked"] = True
        report.add(
            "problem",
            "lock",
            "the lock that SerialParser and vorn record take (flock) is held: a vorn_rs program is using it",
            "end the program that holds it (above)",
        )
        return False
    report.facts["locked"] = False
    fcntl.flock(fd, fcntl.LOCK_UN)
    if free:
        report.add("ok", "claim", "not in exclusive mode and not locked: SerialParser can claim it")
    return free


def check_baud(report: Report, fd: int, baud: int) -> bool:
    """Sets the line as SerialParser does, reads the speeds back, and puts
    back the settings it found."""
    try:
        saved = fcntl.ioctl(fd, TCGETS2, bytes(KERNEL_TERMIOS2_SIZE))
    except OSError as e:
        report.add("problem", "baud", f"the port's settings cannot be read: {e.strerror}")
        return False
    try:
        given, output, taken = _native.set_line(fd, baud)
    except OSError as e:
        report.add(
            "problem",
            "baud",
            f"setting {baud} baud failed: {e.strerror}",
            "pick a speed the port takes and set the unit to the same",
        )
        return False
    finally:
        fcntl.ioctl(fd, TCSETS2, saved)
    report.facts["baud"] = {"requested": baud, "input": given, "output": output, "taken": taken}
    if taken:
        report.add("ok", "baud", f"{baud} baud taken (the line runs at {output})")
        return True
    kept = str(output) if given == output else f"{given} in, {output} out"
    base = sysports.baud_base(fd)
    rates = (
        f"; its clock makes {base} baud divided by a whole number: "
        + ", ".join(str(base // n) for n in (1, 2, 3, 4, 6, 8, 12))
        if base
        else ""
    )
    report.add(
        "problem",
        "baud",
        f"{baud} baud is not taken: the driver kept {kept}{rates}",
        "pick a speed the port makes, and set the unit to the same (`vorn doctor PORT --baud N` tells "
        "whether N is taken)",
    )
    return False


def check_port(report: Report, path: str, baud: int) -> bool:
    """The port's facts and findings; True when it can be listened to."""
    try:
        st = os.stat(path)
    except FileNotFoundError:
        names = sysports.port_names()
        there = ", ".join(f"/dev/{n}" for n in names) or "none"
        dangling = os.path.islink(path)
        report.add(
            "problem",
            "exists",
            f"{path} does not exist"
            + (" (a link to a device that is gone: unplugged?)" if dangling else "")
            + f"; serial ports here: {there}",
            "name one of those (`vorn doctor` lists them with their stable /dev/serial/by-id names), or "
            "plug the adapter in and look at `sudo dmesg | tail`",
        )
        return False
    except OSError as e:
        report.add("problem", "exists", f"{path}: {e.strerror}")
        return False
    name = sysports.tty_name(path)
    if name is None and stat.S_ISCHR(st.st_mode):  # a pseudo-terminal has no sysfs entry: the open tells
        name = os.path.realpath(path).removeprefix("/dev/")
    if name is None:
        report.add(
            "problem",
            "terminal",
            f"{path} is not a terminal device, so not a serial port",
            "name the serial device (`vorn doctor` lists them)",
        )
        return False
    info = sysports.port_info(name) if (sysports.SYS_TTY / name / "device").exists() else None
    report.facts["port"] = info.as_dict() if info else {"name": name, "path": path}
    report.add("ok", "terminal", describe(info) if info else f"{path} is a terminal ({name})")
    if info and info.by_id and path not in info.by_id:
        report.add(
            "note",
            "name",
            f"/dev/{name} may get another number at the next plug or boot; {info.by_id[0]} stays the same",
        )
    elif info and info.usb and not info.by_id and not path.startswith(str(sysports.SERIAL_LINKS)):
        report.add(
            "note",
            "name",
            f"/dev/{name} may get another number at the next plug or boot",
            f'a udev rule with SYMLINK+="vorn" matching ATTRS{{idVendor}}=="{info.usb["vendor"]}", '
            f'ATTRS{{idProduct}}=="{info.usb["product"]}" names it /dev/vorn',
        )
    can_use = check_access(report, path, st, info)
    held, _ = check_holders(report, path, info.usb if info else None)
    if info:
        check_latency(report, info, baud)
    if not can_use:
        return False
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        if e.errno == errno.EBUSY:
            report.add(
                "problem",
                "exclusive",
                f"{path} is in exclusive use (TIOCEXCL) by another program",
                "end the program that holds it (above)",
            )
        else:
            report.add("problem", "open", f"{path} does not open: {e.strerror}")
        return False
    try:
        if not os.isatty(fd):
            report.add("problem", "terminal", f"{path} is not a terminal", "name the serial device")
            return False
        free = check_exclusive_and_lock(report, fd)
        if held or not free:
            report.add(
                "note",
                "baud",
                f"{baud} baud not tried: the port is in use, and trying would change its "
                "settings under the program using it",
            )
            return False
        # Processes of other users that could not be looked at are not ruled
        # out (said above); the settings are put back as they were found.
        return check_baud(report, fd, baud)
    finally:
        os.close(fd)


# -- listening ------------------------------------------------------------------


def listen(report: Report, path: str, baud: int, seconds: float) -> None:
    """Opens the port as SerialParser does, reads raw for `seconds` and frames
    what arrives with the core's framing; then puts the line's settings back
    as it found them."""
    try:
        keeper = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError as e:
        report.add("problem", "listen", f"{path} does not open: {e.strerror}")
        return
    try:
        # Held open across the listen, so that the settings found are put back
        # on the same line (and no last close hangs it up in between).
        saved = fcntl.ioctl(keeper, TCGETS2, bytes(KERNEL_TERMIOS2_SIZE))
        try:
            listen_as_parser(report, path, baud, seconds)
        finally:
            fcntl.ioctl(keeper, TCSETS2, saved)
    except OSError as e:
        report.add("problem", "listen", f"the settings of {path} cannot be read or put back: {e.strerror}")
    finally:
        os.close(keeper)


def listen_as_parser(report: Report, path: str, baud: int, seconds: float) -> None:
    session = PortSession(path, baud, read_wait=READ_WAIT)
    try:
        session.open()
    except OSError as e:
        report.add("problem", "listen", f"{path} does not open as SerialParser opens it: {e.strerror}")
        return
    port = session.port
    framer = _native.Framer()
    arrivals: list[tuple[float, int, int]] = []  # time, bytes, packets completed by this read
    packets = 0
    # Bytes before the first whole packet: the tail of one the unit was sending
    # as the line was opened, judged with the rest only if no packet ever comes.
    lead: bytearray | None = bytearray()
    probe = _native.Framer()  # frames the lead as it grows, to tell when it holds a packet
    counted = port.counters()  # the driver's overrun counts, where it keeps them
    start = time.monotonic()
    try:
        # Whatever the line held arrived before its settings (cooked, at
        # another speed): none of it is the unit's stream as it is now.
        port.discard_input()
        while time.monotonic() - start < seconds:
            chunk = port.read()
            if chunk:
                if lead is not None:
                    lead += chunk
                    probe.feed(chunk)
                    if packet_count(probe.counts()) == 0:
                        arrivals.append((time.monotonic(), len(chunk), 0))
                        continue
                    first = first_packet_at(lead)
                    report.facts["skipped_before_first_packet"] = first
                    chunk, lead = bytes(lead[first:]), None
                framer.feed(chunk)
                done = packet_count(framer.counts())
                arrivals.append((time.monotonic(), len(chunk), done - packets))
                packets = done
        overran = port.counters() if counted is not None else None
        if overran is not None and (overran[0] > counted[0] or overran[1] > counted[1]):
            uart, buffer = overran[0] - counted[0], overran[1] - counted[1]
            report.facts["overruns"] = {"overrun": uart, "buf_overrun": buffer}
            report.add(
                "problem",
                "listen",
                f"the driver lost characters while listening: {uart:,} by the UART's overruns, {buffer:,} by "
                "its buffer being full",
                "the port was read too late: a loaded machine, a low-latency setting, or a lower speed",
            )
    except OSError as e:
        report.add(
            "problem",
            "listen",
            f"the port failed while listening: {e.strerror}",
            "look at `sudo dmesg | tail`: an adapter that was unplugged or reset",
        )
    finally:
        session.close()
    if lead:  # not one packet: all of it is what the line brought
        framer.feed(bytes(lead))
    elapsed = time.monotonic() - start
    judge(report, framer.counts(), arrivals, elapsed, path, baud, report.facts.get("latency_timer_ms"))


def packet_count(c: dict) -> int:
    return c["raw"] + c["estimated"] + sum(c["other_sets"].values())


def first_packet_at(data: bytes | bytearray) -> int:
    """Where the first whole packet framing finds in `data` begins (`data`
    holds one at least). Framing a prefix decides as framing the whole does, so
    the shortest prefix that holds a packet ends with the first one."""

    def framed(n: int) -> dict:
        f = _native.Framer()
        f.feed(bytes(data[:n]))
        return f.counts()

    lo, hi = 0, len(data)  # framed(lo) holds no packet, framed(hi) one at least
    while hi - lo > 1:
        mid = (lo + hi) // 2
        lo, hi = (lo, mid) if packet_count(framed(mid)) else (mid, hi)
    c = framed(hi)
    return hi - (c["bytes"] - c["noise"] - c["pending"])  # its end less its length


def rates_to_try(baud: int) -> str:
    return ", ".join(str(r) for r in sorted(COMMON_RATES, key=lambda r: abs(math.log(r / baud))) if r != baud)


def judge(report: Report, c: dict, arrivals: list, elapsed: float, path: str, baud: int, latency: int | None) -> None:
    """The measures of a listen and the verdicts on them."""
    nbytes = c["bytes"]
    sets = {"raw": c["raw"], "estimated": c["estimated"], **{f"set 0x{k:02X}": v for k, v in c["other_sets"].items()}}
    packets = sum(sets.values())
    gaps = [b[0] - a[0] for a, b in zip(arrivals, arrivals[1:])]
    per_read = [n for _, _, n in arrivals]
    largest_gap = max(gaps, default=0.0)
    noise = c["noise"] + c["pending"]
    report.facts["listen"] = {
        "seconds": round(elapsed, 3),
        "bytes": nbytes,
        "bytes_per_s": round(nbytes / elapsed, 1),
        "packets_per_s": {k: round(v / elapsed, 1) for k, v in sets.items()},
        "checksum_failures": c["bad_checksums"],
        "noise_bytes": noise,
        "reads": len(arrivals),
        "largest_gap_ms": round(largest_gap * 1000, 1),
        "packets_per_read": {
            "mean": round(packets / len(arrivals), 2) if arrivals else 0,
            "most": max(per_read, default=0),
        },
        "wrong_length": c["wrong_length"],
    }
    rates = ", ".join(f"{k} {v / elapsed:,.0f}/s" for k, v in sets.items() if v or k in ("raw", "estimated"))
    report.add(
        "ok",
        "listen",
        f"{elapsed:.1f} s: {nbytes / elapsed:,.0f} bytes/s, {rates}, "
        f"{c['bad_checksums']:,} checksum failures, {noise:,} noise bytes, largest gap between arrivals "
        f"{largest_gap * 1000:.0f} ms, {report.facts['listen']['packets_per_read']['mean']} packets per read "
        f"(at most {report.facts['listen']['packets_per_read']['most']})",
    )
    if nbytes == 0:
        report.add(
            "problem",
            "silent",
            f"nothing arrived in {elapsed:.1f} s: the unit is not sending on this port",
            "check that this is the unit's port, that the unit is powered and streaming, and that its TX "
            "goes to the adapter's RX (swap them if unsure); a wrong speed alone still gives bytes",
        )
        return
    if packets == 0:
        report.add(
            "problem",
            "noise",
            f"only noise: {nbytes:,} bytes and not one packet at {baud} baud: most "
            "likely the unit sends at another speed",
            f"try the unit's speed: vorn doctor {path} --listen 2 --baud N, N one of {rates_to_try(baud)}",
        )
        return
    if c["bad_checksums"]:
        share = c["bad_checksums"] / (packets + c["bad_checksums"])
        report.add(
            "problem",
            "checksums",
            f"{c['bad_checksums']:,} packets failed their checksum "
            f"({share:.2%}): bytes change or go missing on the way",
            "check the cable, its length and the ground between unit and adapter; a speed the driver only "
            "approximates, or a UART overrun (sudo cat /proc/tty/driver/serial: 'oe'), do the same: try a "
            "lower baud rate on both ends",
        )
    if noise > nbytes * 0.01:
        report.add("note", "noise", f"{noise:,} of {nbytes:,} bytes are not packets ({noise / nbytes:.1%})")
    # What the line itself explains: a packet's time on the wire, the unit's
    # own spacing of packets, and an FTDI adapter's holding of bytes.
    wire_ms = LARGEST_PACKET * BITS_PER_BYTE * 1000 / baud
    spacing_ms = elapsed * 1000 / packets
    hold_ms = min(latency, FTDI_PACKET * BITS_PER_BYTE * 1000 / baud) if latency else 0.0
    explained = max(wire_ms, spacing_ms, hold_ms) + ALLOWANCE_MS
    why = (
        f"{baud} baud"
        + (f" and the latency timer of {latency} ms" if latency else "")
        + f" explain up to {explained:.0f} ms"
    )
    if largest_gap * 1000 > explained:
        after = per_read[gaps.index(largest_gap) + 1]  # what the read that ended the gap held
        cause = (
            f"then {after} packets came in one read: the bytes were held back, by the adapter or a host that "
            "did not read"
            if after * spacing_ms >= largest_gap * 500
            else "and no backlog came after it: the unit paused sending, or its bytes were lost"
        )
        report.add(
            "problem",
            "gaps",
            f"the largest gap between arrivals is {largest_gap * 1000:.0f} ms; {why}; {cause}",
            "watch `sudo dmesg -w` for USB resets or errors while it happens, check the unit's "
            "supply and cable, and see that nothing else loads this USB bus or the CPU",
        )
        return
    most = max(per_read)
    if most * spacing_ms > explained:
        report.add(
            "problem",
            "bursts",
            f"one read held {most} packets, {most * spacing_ms:.0f} ms of the stream at once; {why}",
            "see that the reader is not starved (CPU load, `chrt -f 10 ...`); "
            "lower the latency timer of an FTDI adapter",
        )


# -- the command ----------------------------------------------------------------


def examine(port: str | None, baud: int = LINE_BAUD, listen_seconds: float | None = None) -> Report:
    """The findings: about the machine's serial ports without port, else about
    that port, and with listen_seconds about the stream it delivers."""
    report = Report()
    if port is None:
        survey(report)
    else:
        if check_port(report, port, baud) and listen_seconds:
            listen(report, port, baud, listen_seconds)
        elif listen_seconds:
            report.add("note", "listen", "not listened, for what is said above")
    return report
