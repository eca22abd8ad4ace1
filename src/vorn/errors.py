"""The package's failures are Python's own: OSError (with the path and errno),
ValueError, TypeError, and ImportError naming the extra to install. A request
refused before any work is done is a UsageError, a ValueError."""

from __future__ import annotations

import os
from collections.abc import Callable


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


def and_join(words: list[str]) -> str:
    return words[0] if len(words) == 1 else f"{', '.join(words[:-1])} and {words[-1]}"


class ArgumentsError(ValueError):
    """A request refused for arguments of the call: the {} of template names
    them (keywords, with metavar as the value one of them takes: rate=HZ); a
    command says the same with its own options (worded)."""

    def __init__(self, template: str, *names: str, metavar: str | None = None) -> None:
        self.template, self.names, self.metavar = template, names, metavar
        super().__init__(self.worded(lambda name, metavar: name if metavar is None else f"{name}={metavar}"))

    def worded(self, option: Callable[[str, str | None], str]) -> str:
        """The text with each name as option(name, metavar) gives it."""
        return self.template.format(and_join([option(name, self.metavar) for name in self.names]))


class ArgumentsUsageError(ArgumentsError, UsageError):
    """An ArgumentsError refused before any work (see UsageError)."""
