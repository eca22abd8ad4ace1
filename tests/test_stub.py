"""The interface description records in the built extension, the type stub
generated from them, and the stub checked against the runtime with mypy."""

import copy
import importlib.machinery
import importlib.util
import inspect
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import vorn_rs

ROOT = Path(__file__).resolve().parents[1]
GEN_STUB = ROOT / "tools" / "release" / "gen-stub"
SHARED_OBJECT = Path(vorn_rs.__file__)

PARSER_METHODS = ["__new__", "start", "stop", "is_running", "get_data_packets", "__enter__", "__exit__"]
PROPERTIES = [
    "packet_type", "timestamp", "invalid_fields", "scaled_accel", "scaled_gyro", "delta_vel", "delta_theta",
    "scaled_ambient_pressure", "est_pressure_alt", "est_orient_quaternion", "est_attitude_uncert_quaternion",
    "est_angular_rate", "est_compensated_accel", "est_linear_accel", "est_gravity_vector",
]  # fmt: skip
EXIT_ARG = "typing.Any | None"
TIMEOUT = ("timeout", "float | None", "0.1")

# Per method: the parameters after the receiver as (name, annotation, default
# or None), and the return annotation.
PARSER_ANNOTATIONS = {
    "start": ([], "None"),
    "stop": ([], "None"),
    "is_running": ([], "bool"),
    "get_data_packets": ([("block", "bool", "False")], "typing.Any"),
    "__enter__": ([], "typing.Any"),
    "__exit__": ([("_exc_type", EXIT_ARG, None), ("_exc_value", EXIT_ARG, None), ("_traceback", EXIT_ARG, None)],
                 "typing.Any"),
}  # fmt: skip
CONSTRUCTORS = {
    "SerialParser": [("port", "typing.Any", None), ("baudrate", "int | None", "None"), TIMEOUT],
    "MockParser": [("path", "typing.Any", None), TIMEOUT],
}


def load_gen_stub():
    loader = importlib.machinery.SourceFileLoader("gen_stub", str(GEN_STUB))
    module = importlib.util.module_from_spec(importlib.util.spec_from_loader("gen_stub", loader))
    sys.modules["gen_stub"] = module
    loader.exec_module(module)
    return module


gen_stub = load_gen_stub()


@pytest.fixture(scope="module")
def records():
    return gen_stub.read_records(SHARED_OBJECT)


def run_gen_stub(*args):
    return subprocess.run([sys.executable, str(GEN_STUB), *map(str, args)], capture_output=True, text=True)


def run_module(module, *args, cwd, cache):
    """Runs mypy or one of its tools, with the cache outside the tree."""
    env = dict(os.environ, MYPY_CACHE_DIR=str(cache))
    return subprocess.run([sys.executable, "-m", module, *args], cwd=cwd, env=env, capture_output=True, text=True)


def params(function):
    """(name, annotation, default) for each parameter after the receiver."""
    args = function["arguments"].get("args", [])
    return [(a["name"], a["annotation"], a.get("default")) for a in args]


@pytest.mark.child_interpreter
def test_committed_stub_matches_the_built_records():
    fresh = run_gen_stub(SHARED_OBJECT)
    assert fresh.returncode == 0, fresh.stderr
    assert fresh.stdout == (ROOT / "vorn_rs.pyi").read_text(), (
        "vorn_rs.pyi differs from the stub generated from the built module: run `make stub`"
    )


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs nm from binutils")
def test_only_the_entry_point_and_the_records_are_exported():
    listing = subprocess.run(["nm", "-D", "--defined-only", str(SHARED_OBJECT)], capture_output=True, text=True,
                             check=True).stdout  # fmt: skip
    names = [line.split()[-1] for line in listing.splitlines() if line.strip()]
    records = [name for name in names if name != "PyInit_vorn_rs"]
    assert "PyInit_vorn_rs" in names
    assert len(records) == 34, names
    pattern = re.compile(r"^([A-Z0-9_]+_INTROSPECTION_1_)(\d+)$")
    matches = [pattern.match(name) for name in records]
    assert all(matches), records
    assert len({m.group(1) for m in matches}) == 1  # one prefix for all
    ids = [int(m.group(2)) for m in matches]
    assert len(set(ids)) == 34 and max(ids) < 2**64


def test_records_link_functions_to_their_classes(records):
    assert len(records) == 34
    by_type = {}
    for record in records.values():
        by_type.setdefault(record["type"], []).append(record)
    assert sorted(by_type) == ["class", "function", "module"]

    [module] = by_type["module"]
    assert module == {"type": "module", "name": "vorn_rs", "id": module["id"], "members": [], "incomplete": True}
    classes = {c["id"]: c["name"] for c in by_type["class"]}
    assert sorted(classes.values()) == ["IMUPacket", "MockParser", "SerialParser"]
    ids = [module["id"], *classes]
    assert len(set(ids)) == len(ids) and all(i.isdecimal() for i in ids)

    members = {name: [] for name in classes.values()}
    for function in by_type["function"]:
        members[classes[function["parent"]]].append(function["name"])
        receiver = "cls" if function["name"] == "__new__" else "self"
        assert function["arguments"]["posonlyargs"] == [{"name": receiver}]
    assert sorted(members["SerialParser"]) == sorted(PARSER_METHODS)
    assert sorted(members["MockParser"]) == sorted(PARSER_METHODS)
    assert sorted(members["IMUPacket"]) == sorted(PROPERTIES + ["__str__"])


def test_records_carry_the_interface_annotations(records):
    classes = {r["id"]: r["name"] for r in records.values() if r["type"] == "class"}
    seen = 0
    for function in (r for r in records.values() if r["type"] == "function"):
        owner, name = classes[function["parent"]], function["name"]
        seen += 1
        if owner == "IMUPacket":
            expected_returns = {"packet_type": "str", "timestamp": "int", "__str__": "str"}.get(name, "typing.Any")
            assert function["returns"] == expected_returns, name
            assert function.get("decorators") == (None if name == "__str__" else ["property"]), name
            assert "args" not in function["arguments"], name
        elif name == "__new__":
            assert (params(function), function["returns"]) == (CONSTRUCTORS[owner], "None"), owner
        else:
            assert (params(function), function["returns"]) == PARSER_ANNOTATIONS[name], (owner, name)
            assert "decorators" not in function
    assert seen == 30


def test_records_agree_with_the_runtime_signatures(records):
    classes = {r["id"]: getattr(vorn_rs, r["name"]) for r in records.values() if r["type"] == "class"}
    for function in (r for r in records.values() if r["type"] == "function"):
        cls = classes[function["parent"]]
        if function.get("decorators") == ["property"]:
            assert inspect.isdatadescriptor(cls.__dict__[function["name"]]), function["name"]
            continue
        if function["name"] == "__str__":
            assert "__str__" in cls.__dict__
            continue
        # The class's own text signature is the constructor's.
        target = cls if function["name"] == "__new__" else cls.__dict__[function["name"]]
        runtime = [p for p in inspect.signature(target).parameters.values() if p.name != "self"]
        described = [(name, default) for name, _, default in params(function)]
        actual = [(p.name, None if p.default is p.empty else repr(p.default)) for p in runtime]
        assert actual == described, (cls.__name__, function["name"])
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)


def test_gen_stub_refines_only_what_the_records_leave_open(records):
    stub = gen_stub.render(records)
    assert "typing.Any" not in stub.replace("typing.Any | None", "")  # only __exit__'s ignored arguments
    assert "def __enter__(self) -> MockParser: ..." in stub
    assert "port: str | os.PathLike[str]," in stub

    # A record that already says something else is not silently overridden,
    # and a refinement whose record is gone is reported.
    changed = copy.deepcopy(records)
    [mock] = [r["id"] for r in changed.values() if r["type"] == "class" and r["name"] == "MockParser"]
    [enter] = [r for r in changed.values() if r.get("name") == "__enter__" and r["parent"] == mock]
    enter["returns"] = "int"
    with pytest.raises(gen_stub.StubError, match=r"MockParser.__enter__ return: the record says 'int'"):
        gen_stub.render(changed)
    changed = {k: r for k, r in records.items() if r.get("name") != "est_gravity_vector"}
    with pytest.raises(gen_stub.StubError, match=r"no record for the refined IMUPacket.est_gravity_vector return"):
        gen_stub.render(changed)


@pytest.mark.child_interpreter
def test_gen_stub_refuses_files_without_records(tmp_path):
    not_elf = tmp_path / "notes.txt"
    not_elf.write_text("not a shared object")
    result = run_gen_stub(not_elf)
    assert result.returncode == 1 and "not a 64-bit little-endian ELF file" in result.stderr
    # An ELF file without records: the interpreter itself.
    result = run_gen_stub(Path(sys.executable).resolve())
    assert result.returncode == 1 and "no interface records" in result.stderr


@pytest.mark.child_interpreter
def test_gen_stub_refuses_a_record_whose_count_overruns_it(tmp_path):
    data = bytearray(SHARED_OBJECT.read_bytes())
    record = b'{"type":"class","name":"IMUPacket"'
    at = data.index(record) - 4
    data[at : at + 4] = (10_000).to_bytes(4, "little")
    broken = tmp_path / "broken.so"
    broken.write_bytes(data)
    result = run_gen_stub(broken)
    assert result.returncode == 1 and "does not fit" in result.stderr


@pytest.mark.child_interpreter
def test_stubtest_finds_the_stub_consistent_with_the_runtime(tmp_path):
    result = run_module("mypy.stubtest", "vorn_rs", cwd=ROOT, cache=tmp_path)
    assert result.returncode == 0, result.stdout + result.stderr


MISUSE = """\
import vorn_rs

class Replayer(vorn_rs.MockParser): ...  # E: final
parser = vorn_rs.MockParser("stream.bin")
parser.get_data_packets(block=1)  # E: int is not bool
parser.start(True)  # E: too many arguments
vorn_rs.SerialParser("/dev/ttyACM0", baudrate="fast")  # E: not an int
vorn_rs.MockParser("stream.bin", timeout="0.1")  # E: not a float
vorn_rs.MockParser(b"stream.bin")  # E: bytes are refused

def read(packet: vorn_rs.IMUPacket) -> str:
    packet.timestamp = 0  # E: read-only
    running: str = parser.is_running()  # E: a bool
    first: float = packet.scaled_accel[0]  # E: may be None
    return packet.timestamp  # E: an int
"""

# What the stub says beyond the records' "typing.Any": line -> revealed type.
REVEAL = """\
import pathlib
import vorn_rs

with vorn_rs.MockParser(pathlib.Path("stream.bin")) as parser:
    reveal_type(parser)
    packets = parser.get_data_packets(block=True)
    reveal_type(packets)
    reveal_type(parser.__exit__(None, None, None))
    reveal_type(packets[0].invalid_fields)
    reveal_type(packets[0].est_orient_quaternion)
    reveal_type(packets[0].est_pressure_alt)
reveal_type(vorn_rs.SerialParser("/dev/ttyACM0").__enter__())
"""
REVEALED = [
    "vorn_rs.MockParser",
    "builtins.list[vorn_rs.IMUPacket]",
    "None",
    "builtins.str | None",
    "builtins.list[builtins.float] | None",
    "builtins.float | None",
    "vorn_rs.SerialParser",
]


@pytest.mark.child_interpreter
def test_typed_code_checks_clean_and_misuse_is_caught(tmp_path):
    misuse = tmp_path / "misuse.py"
    misuse.write_text(MISUSE)
    reveal = tmp_path / "reveal.py"
    reveal.write_text(REVEAL)
    result = run_module("mypy", "--strict", "examples/typed_usage.py", str(misuse), str(reveal), cwd=ROOT,
                        cache=tmp_path / "c")  # fmt: skip
    errors = re.findall(r"^(.*?):(\d+): error:", result.stdout, re.MULTILINE)
    assert not [e for e in errors if "typed_usage" in e[0] or "reveal" in e[0]], result.stdout
    flagged = {int(line) for path, line in errors if path.endswith("misuse.py")}
    expected = {n for n, text in enumerate(MISUSE.splitlines(), 1) if "# E:" in text}
    assert flagged == expected, result.stdout
    revealed = re.findall(r'^.*reveal\.py:\d+: note: Revealed type is "(.*)"$', result.stdout, re.MULTILINE)
    assert revealed == REVEALED, result.stdout

    run = subprocess.run([sys.executable, "examples/typed_usage.py", "examples/sample.bin"], cwd=ROOT,
                         capture_output=True, text=True, timeout=60)  # fmt: skip
    assert run.returncode == 0, run.stderr
    assert re.search(r"(\d+) raw and (\d+) estimated packets", run.stdout)
