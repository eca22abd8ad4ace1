"""The package's failures are Python's own: OSError (with the path and errno),
ValueError, TypeError, and ImportError naming the extra to install. A request
refused before any work is done is a UsageError, a ValueError."""

from __future__ import annotations

import os


class UsageError(ValueError):
    """A request refused before any work: arguments that do not go together
    or that the recording needs (a rate for one without arrival times), or an
    output that is one of the inputs. The command exits with status 2."""


def with_path(error: OSError, path, scratch=None) -> OSError:
    """error as the same kind of OSError naming path, when it names no file (a
    failed read or write of an open file) or names scratch, a file written in
    path's place; else error itself."""
    named = error.filename
    if named is not None and (scratch is None or os.fsdecode(named) != os.fsdecode(scratch)):
        return error
    return type(error)(error.errno, error.strerror or str(error), os.fsdecode(path))


def missing(module: str, extra: str, what: str, prefer_binary: bool = False) -> ImportError:
    """The ImportError for an optional dependency: what needs it, and the
    extra of the distribution that installs it."""
    flag = "--prefer-binary " if prefer_binary else ""
    return ImportError(f"{what} needs {module}: pip install {flag}'vorn_rs[{extra}]'", name=module)
