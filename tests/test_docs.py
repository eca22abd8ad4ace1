"""The documentation against the code: every relative link of README.md and
docs/ leads to a file (and heading) that exists, and every `vorn ...` command
line shown in their code blocks names a command and options that `vorn`
takes as written."""

from __future__ import annotations

import argparse
import re
import shlex
from pathlib import Path

from vorn import cli

ROOT = Path(__file__).resolve().parent.parent
PAGES = [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]
LINK = re.compile(r"(?<!\!)\[[^\]]*\]\(([^)\s]+)\)")
IMAGE = re.compile(r"!\[[^\]]*\]\(([^)\s]+)\)")
FENCE = re.compile(r"^```")


def anchors(page: Path) -> set[str]:
    """The anchors GitHub makes of a page's headings."""
    found: set[str] = set()
    seen: dict[str, int] = {}
    in_code = False
    for line in page.read_text().splitlines():
        if FENCE.match(line):
            in_code = not in_code
        if in_code or not line.startswith("#"):
            continue
        text = line.lstrip("#").strip().lower()
        slug = re.sub(r"[^\w\- ]", "", text).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        found.add(slug if n == 0 else f"{slug}-{n}")
    return found


def code_lines(page: Path):
    """The lines of a page's fenced code blocks, with their line numbers."""
    in_code = False
    for number, line in enumerate(page.read_text().splitlines(), 1):
        if FENCE.match(line):
            in_code = not in_code
        elif in_code:
            yield number, line


def test_every_relative_link_leads_somewhere():
    broken = []
    for page in PAGES:
        text = page.read_text()
        for target in LINK.findall(text) + IMAGE.findall(text):
            if re.match(r"[a-z]+:", target):
                continue  # a web address or mailto:
            path, _, anchor = target.partition("#")
            dest = (page.parent / path).resolve() if path else page
            if not dest.exists():
                broken.append(f"{page.name}: {target} (no such file)")
            elif anchor and dest.suffix == ".md" and anchor not in anchors(dest):
                broken.append(f"{page.name}: {target} (no such heading)")
    assert not broken, "\n".join(broken)


def sub_parsers() -> dict[str, argparse.ArgumentParser]:
    top = cli.parser()
    (sub,) = (a for a in top._actions if isinstance(a, argparse._SubParsersAction))
    return dict(sub.choices)


def test_every_command_line_shown_is_one_vorn_takes():
    commands = sub_parsers()
    wrong = []
    shown = 0
    for page in PAGES:
        for number, line in code_lines(page):
            line = line.split("  #")[0].strip()
            if line.startswith("$ "):
                line = line[2:]
            if not re.match(r"vorn (-|[a-z0-9]+( |$))", line):
                continue  # prose or a table row that names a command
            shown += 1
            words = shlex.split(line.replace("[", " ").replace("]", " "))
            if "--ros-args" in words:  # what follows is ROS's own
                words = words[: words.index("--ros-args") + 1]
            where = f"{page.name}:{number}: {line}"
            name = words[1]
            if name.startswith("-"):
                continue  # vorn --version, vorn --help
            if name not in commands:
                wrong.append(f"{where}: no command {name!r}")
                continue
            known = commands[name]._option_string_actions
            for word in words[2:]:
                option = word.split("=")[0]
                if option.startswith("-") and option != "-" and not re.fullmatch(r"-\d.*", option):
                    if option not in known:
                        wrong.append(f"{where}: {name} has no option {option}")
    assert shown > 20, "the pages show fewer command lines than they do"
    assert not wrong, "\n".join(wrong)
