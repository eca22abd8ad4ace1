"""Failures the command reports as one line on stderr, with exit status 1."""

from __future__ import annotations

import sys


class ToolError(Exception):
    """A failure to report as one line on stderr, with exit status 1."""


class UsageError(ToolError):
    """A request the command refuses before doing any work: one line on
    stderr, exit status 2."""


def os_failure(path, error: OSError) -> ToolError:
    """The one line for a failed system call on `path`: the system's short text,
    without the errno number or a library's wording around it."""
    return ToolError(f"{path}: {error.strerror or error}")


def say(text: str) -> None:
    """One line on stderr, which may be a terminal that has gone (SIGHUP)."""
    try:
        print(text, file=sys.stderr, flush=True)
    except OSError:
        pass
