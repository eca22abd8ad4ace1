"""The native helper as shipped: vorn._native holds what the vorn package
calls, as its stub declares it, and nothing only tests call; those are in
vorn_native_testing, built from the tree for the suite."""

from __future__ import annotations

import ast
import re
from pathlib import Path

from native_testing import native_testing

from vorn import _native

PACKAGE = Path(__file__).resolve().parents[1] / "src" / "vorn"


def test_shipped_helper_holds_only_what_the_package_calls():
    shipped = {name for name in dir(_native) if not name.startswith("_")}
    stub = ast.parse((PACKAGE / "_native.pyi").read_text())
    declared = {n.name for n in stub.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    declared |= {n.target.id for n in stub.body if isinstance(n, ast.AnnAssign)}
    assert shipped == declared
    called = set()
    for source in PACKAGE.rglob("*.py"):
        text = source.read_text()
        called |= set(re.findall(r"\b_native\.([A-Za-z_]\w*)", text))
        for names in re.findall(r"from vorn\._native import ([\w, ]+)", text):
            called |= {n.strip() for n in names.split(",")}
    assert shipped - called == set(), "entry points of vorn._native that the package never calls"
    testing = native_testing()
    only_tests = {"SampleClock", "sample_times"}
    assert only_tests <= set(dir(testing)) and not only_tests & shipped
    assert testing.SampleClock(921600.0).state()["raw"]["packets"] == 0
