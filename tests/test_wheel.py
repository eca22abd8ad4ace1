"""The wheel: built by pip from the source tree, tagged for the running
interpreter, installable into a clean virtual environment, and carrying the
type stub where type checkers find it.

With VORN_WHEEL naming a release wheel (tools/test/test-wheels), that wheel is the
one checked, instead of one built here: it carries a manylinux tag."""

import fcntl
import json
import os
import re
import subprocess
import sys
import sysconfig
import time
import zipfile
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]
PIP = [sys.executable, "-m", "pip", "--disable-pip-version-check"]


RELEASE_WHEEL = os.environ.get("VORN_WHEEL")


FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def expected_tag() -> str:
    # With the GIL: one stable-ABI wheel for 3.10 and later; free-threaded: this version's own.
    version = f"cp{sys.version_info.major}{sys.version_info.minor}"
    tags = f"{version}-{version}t" if FREE_THREADED else "cp310-abi3"
    platform = sysconfig.get_platform().replace("-", "_").replace(".", "_")
    if RELEASE_WHEEL:
        arch = platform.removeprefix("linux_")
        platform = f"manylinux2014_{arch}.manylinux_2_17_{arch}"
    return f"{tags}-{platform}"


def run(command, **kwargs):
    result = subprocess.run(command, capture_output=True, text=True, timeout=600, **kwargs)
    assert result.returncode == 0, f"{command}\n{result.stdout}\n{result.stderr}"
    return result


@pytest.fixture(scope="module")
def wheel(tmp_path_factory) -> Path:
    if RELEASE_WHEEL:
        return Path(RELEASE_WHEEL)
    out = tmp_path_factory.mktemp("dist")
    (ROOT / "build").mkdir(exist_ok=True)
    # The wheel reuses the build directory of `make build`; share its lock.
    with open(ROOT / "build" / ".build.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        run([*PIP, "wheel", "--no-build-isolation", "--no-deps", "-w", str(out), "."], cwd=ROOT)
    [built] = out.glob("*.whl")
    return built


@pytest.fixture(scope="module")
def venv_python(wheel, tmp_path_factory) -> Path:
    venv = tmp_path_factory.mktemp("venv")
    run([sys.executable, "-m", "venv", "--clear", "--without-pip", str(venv)])
    python = venv / "bin" / "python"
    run([*PIP, "--python", str(python), "install", "--no-index", "--no-deps", str(wheel)])
    return python


def test_wheel_is_tagged_for_this_interpreter_and_carries_the_stub(wheel):
    assert wheel.name == f"vorn_rs-0.2.0-{expected_tag()}.whl"
    with zipfile.ZipFile(wheel) as archive:
        # auditwheel's repacking adds entries for directories; only files count.
        names = {n for n in archive.namelist() if ".dist-info/" not in n and not n.endswith("/")}
        suffix = sysconfig.get_config_var("EXT_SUFFIX") if FREE_THREADED else ".abi3.so"
        package = ROOT / "src" / "vorn"
        tools = {
            f"vorn/{p.relative_to(package).as_posix()}"
            for p in package.rglob("*")
            if p.suffix in (".py", ".pyi") or p.name == "py.typed"
        }  # typed: its stub and marker
        assert names == {
            f"vorn_rs{suffix}",
            "vorn_rs.pyi",
            "vorn_rs-stubs/__init__.pyi",
            f"vorn/_native{suffix}",
            *tools,
        }
        [entry_points] = [n for n in archive.namelist() if n.endswith(".dist-info/entry_points.txt")]
        assert "vorn = vorn.cli:main" in archive.read(entry_points).decode()
        stub = (ROOT / "vorn_rs.pyi").read_bytes()
        assert archive.read("vorn_rs.pyi") == stub
        assert archive.read("vorn_rs-stubs/__init__.pyi") == stub


@pytest.mark.child_interpreter
def test_installed_wheel_imports_and_replays(venv_python, tmp_path):
    script = """
import sys, time, vorn_rs
print(vorn_rs.__file__)
print(vorn_rs.VERSION, vorn_rs.__all__)
with vorn_rs.MockParser(sys.argv[1]) as parser:
    while parser.is_running():
        time.sleep(0.001)
    print(len(parser.get_data_packets()))
"""
    # Run outside the tree, so only the installed module can be imported.
    out = run([str(venv_python), "-c", script, str(ROOT / "examples" / "sample.bin")], cwd=tmp_path).stdout
    location, attributes, count = out.splitlines()
    assert Path(location).is_relative_to(venv_python.parent.parent)
    assert attributes == "0.2.0 ['SerialParser', 'MockParser', 'IMUPacket', 'VERSION', 'RELEASE_BUILD']"
    assert int(count) > 0


@pytest.mark.child_interpreter
def test_type_checkers_find_the_installed_stub(venv_python, tmp_path):
    code = "import vorn_rs\nreveal_type(vorn_rs.MockParser('x').is_running())\n"
    env = dict(os.environ, MYPY_CACHE_DIR=str(tmp_path / "cache"))
    result = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--python-executable", str(venv_python), "-c", code],
        cwd=tmp_path, env=env, capture_output=True, text=True)  # fmt: skip
    assert result.returncode == 0, result.stdout + result.stderr
    assert re.search(r'Revealed type is "builtins\.bool"', result.stdout)


@pytest.mark.child_interpreter
def test_installed_wheel_gives_the_vorn_command(venv_python, tmp_path):
    """Each subcommand from a fresh install, found on PATH, with none of the
    optional packages installed."""
    from test_serial import Pty

    import vorn_model as vm

    env = dict(os.environ, PATH=f"{venv_python.parent}{os.pathsep}{os.environ['PATH']}")

    def vorn(*args):
        return subprocess.run(
            ["vorn", *map(str, args)], cwd=tmp_path, env=env, capture_output=True, text=True, timeout=120
        )

    sample = ROOT / "examples" / "sample.bin"
    done = vorn("info", sample, "--json")
    assert done.returncode == 0 and json.loads(done.stdout)["packets"] == {"raw": 2995, "estimated": 1498}
    assert vorn("export", sample, "-o", "sample.csv").returncode == 0
    assert len((tmp_path / "sample.csv").read_text().splitlines()) == 1 + 2995 + 1498
    for args, hint in (
        (("export", sample, "-o", "x.npz"), "pip install 'vorn_rs[columns]'"),
        (("plot", sample, "-o", "x.png"), "pip install --prefer-binary 'vorn_rs[plot]'"),
    ):
        done = vorn(*args)
        assert done.returncode == 1 and hint in done.stderr

    data = vm.UnitSimulator(seed=8).stream(0.1)[0]
    pty = Pty()
    try:
        proc = subprocess.Popen(
            ["vorn", "record", pty.path, "-o", "run.bin", "--seconds", "1.5"],
            cwd=tmp_path,
            env=env,
            stdout=subprocess.PIPE,
            text=True,
        )
        while pty.line()["ospeed"] != 115200:
            assert proc.poll() is None
            time.sleep(0.01)
        os.write(pty.master, data)
        assert proc.wait(timeout=10) == 0
    finally:
        pty.close_master()
    assert (tmp_path / "run.bin").read_bytes() == data
