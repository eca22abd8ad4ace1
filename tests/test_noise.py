"""vorn noise against known truth (a simulated still unit) and against a peer
(allantools' overlapping Allan deviation), and end to end on a recording."""

import json
import subprocess
import sys

import pytest
from test_tools import vorn

import vorn_model as vm
from vorn.times import Stamp, TimesWriter

np = pytest.importorskip("numpy")
noise = pytest.importorskip("vorn.noise")


def samples(unit: vm.StillUnit, seconds: float):
    """The six columns the command reads, as the unit sends them (float32, g)."""
    accel, gyro = unit.series(seconds)
    return np.concatenate([accel / vm._GRAVITY, gyro], axis=1).astype(np.float32)


@pytest.mark.parametrize(
    "hours, rate, accel, gyro",
    [
        (3, 100.0, (2e-3, 3e-3), (1e-4, 5e-5)),
        (1, 200.0, (5e-4, 5e-4), (3e-5, 2e-5)),
    ],
)
def test_hours_still_give_the_true_densities_and_random_walks(hours, rate, accel, gyro):
    unit = vm.StillUnit(rate, *accel, *gyro, seed=5)
    values = samples(unit, hours * 3600)
    result = noise.analyse(values, rate)
    # Fed in uneven pieces, as a recording is read: the deviations of the whole at once.
    stream = noise.AllanStream(6)
    for lo, hi in zip(range(0, len(values), 40_009), range(40_009, len(values) + 40_009, 40_009)):
        stream.add(values[lo:hi])
    sizes = noise.cluster_sizes(len(values))
    assert max(sizes) <= noise.EXACT
    np.testing.assert_allclose(stream.deviations(sizes), noise.allan_deviation(values.T, sizes), rtol=1e-9, atol=0)
    for sensor, (density, walk) in (("accelerometer", accel), ("gyroscope", gyro)):
        for axis, r in result[sensor].items():
            got = (r["noise_density"], r["random_walk"])
            assert got == pytest.approx((density, walk), rel=0.1), (sensor, axis)
            assert r["bias_instability_reached"]  # white noise and a random walk meet in a floor


def test_deviations_agree_with_allantools():
    allantools = pytest.importorskip("allantools", reason="allantools has no build for this interpreter")
    rate = 250.0
    y = samples(vm.StillUnit(rate, seed=9), 600)[:, 2].astype(np.float64) * vm._GRAVITY  # with gravity on it
    taus, adev, _, _ = allantools.oadev(y, rate=rate, data_type="freq", taus="octave")
    sizes = noise.cluster_sizes(len(y))
    assert taus.tolist() == [m / rate for m in sizes]
    np.testing.assert_allclose(noise.allan_deviation(y, sizes), adev, rtol=1e-9, atol=0)
    stream = noise.AllanStream(1)
    for lo in range(0, len(y), 9_973):
        stream.add(y[lo : lo + 9_973, None])
    np.testing.assert_allclose(stream.deviations(sizes)[0], adev, rtol=1e-9, atol=0)


def still_pieces(rate: float, seconds: float, density: float, walk: float, seed: int, piece: int = 1 << 18):
    """A still sensor's six series (white noise and a bias random walk, SI),
    a piece at a time: hours of it without holding them."""
    rng = np.random.default_rng(seed)
    bias = rng.uniform(-0.05, 0.05, 6)
    left = round(seconds * rate)
    while left:
        k = min(piece, left)
        steps = rng.standard_normal((k, 6)) * (walk / np.sqrt(rate))
        steps[0] += bias
        bias = np.cumsum(steps, axis=0)
        out = bias + rng.standard_normal((k, 6)) * (density * np.sqrt(rate))
        bias = bias[-1]
        left -= k
        yield out.astype(np.float32)


def test_long_recordings_stream_in_bounded_memory_to_the_true_figures(monkeypatch):
    # Cluster sizes past the exact ones (made small here) over a bounded number
    # of offsets: the figures of the full estimator within its own uncertainty,
    # and on 6 simulated hours the truth, the memory held that of 1.5 hours.
    rate, density, walk = 400.0, 2e-3, 4e-5
    monkeypatch.setattr(noise, "EXACT", 1 << 12)
    monkeypatch.setattr(noise, "OFFSETS", 1 << 9)
    short = np.concatenate(list(still_pieces(rate, 1800, density, walk, seed=3)))
    stream = noise.AllanStream(6)
    for lo in range(0, len(short), 30_011):
        stream.add(short[lo : lo + 30_011])
    sizes = noise.cluster_sizes(len(short))
    want = noise.allan_deviation(short.T, sizes)
    got = stream.deviations(sizes)
    exact = [i for i, m in enumerate(sizes) if m <= noise.EXACT]
    np.testing.assert_allclose(got[:, exact], want[:, exact], rtol=1e-9, atol=0)
    for i, m in enumerate(sizes):
        if m > noise.EXACT:
            assert np.abs(got[:, i] / want[:, i] - 1).max() < noise.relative_error(len(short), m), m
    held = {}
    for hours in (1.5, 6):
        stream = noise.AllanStream(6)
        for piece in still_pieces(rate, hours * 3600, density, walk, seed=4):
            stream.add(piece)
        held[hours] = stream.held()
        result = noise.analysed(stream, rate)
    assert held[6] < held[1.5] * 1.25
    # The accelerometer's series count in g: its figures are scaled to SI.
    for sensor, scale in (("accelerometer", noise.STANDARD_GRAVITY), ("gyroscope", 1.0)):
        for axis, r in result[sensor].items():
            assert r["noise_density"] == pytest.approx(density * scale, rel=0.05), (sensor, axis)
            assert r["random_walk"] == pytest.approx(walk * scale, rel=0.25), (sensor, axis)


def test_arrival_rate_sees_through_bursts():
    # 1000 packets a second on the unit's clock, handed over in bursts of 16 as USB does.
    sent = np.arange(20000) / 1003.0
    arrived = (np.ceil(sent * 1000 / 16) * 16 / 1000 * 1e9).astype(np.int64)
    assert noise.arrival_rate(arrived) == pytest.approx(1003.0, rel=1e-4)


@pytest.mark.child_interpreter
def test_noise_end_to_end(tmp_path):
    unit = vm.StillUnit(500.0, 1e-3, 1e-3, 1e-4, 1e-4, seed=2)
    path = tmp_path / "still.bin"
    others = vm.packet(vm.SET_EST, vm.est_field("est_pressure_alt", 1.0)) * 3  # passed over
    others += vm.packet(vm.SET_RAW, vm.raw_field("scaled_accel", (0, 0, 1)))  # skipped: no angular rate
    path.write_bytes(others + unit.stream(60))
    done = vorn("noise", path, "--rate", "500", "--json", "--yaml", tmp_path / "imu.yaml", "-o", tmp_path / "n.png")
    assert done.returncode == 0, done.stderr
    report = json.loads(done.stdout)
    assert (report["samples"], report["rate"], report["skipped"]) == (30000, 500.0, 1)
    want = noise.analyse(samples(unit, 60), 500.0)
    assert report["gyroscope"]["z"] == pytest.approx(want["gyroscope"]["z"], rel=1e-12)
    yaml = dict(
        line.split("  #")[0].split(": ")
        for line in (tmp_path / "imu.yaml").read_text().splitlines()
        if not line.startswith("#")
    )
    assert float(yaml["gyroscope_noise_density"]) == max(report["gyroscope"][a]["noise_density"] for a in "xyz")
    assert float(yaml["update_rate"]) == 500.0
    assert yaml["rostopic"] == "/imu/data_raw"  # the raw sensor's noise, not the filter's output
    assert (tmp_path / "n.png").read_bytes()[:4] == b"\x89PNG"
    # Recorded with arrival times (a packet a read, every 2 ms): the rate is the clock recovered from them.
    times = TimesWriter(path, force=True)
    stream = path.read_bytes()
    packet = (len(stream) - len(others)) // 30000
    times.add(len(others), Stamp(10**18, 0))
    for i in range(1, 30001):
        times.add(packet, Stamp(10**18 + i * 2_000_000, i * 2_000_000))
    times.close()
    report = json.loads(vorn("noise", path, "--json").stdout)
    assert report["rate_from"] == noise.RECOVERED and report["rate"] == pytest.approx(500.0, rel=1e-6)


@pytest.mark.child_interpreter
def test_noise_without_numpy_says_how_to_install(tmp_path):
    code = (
        "import sys; sys.modules['numpy'] = None; from vorn.cli import main; "
        f"sys.exit(main(['noise', {str(tmp_path / 'x.bin')!r}]))"
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    hint = "noise needs numpy: pip install --prefer-binary 'vorn_rs[noise]'"
    assert (done.returncode, done.stderr) == (1, f"vorn noise: {hint}\n")


@pytest.mark.child_interpreter
def test_noise_says_what_is_wrong_with_the_recording(tmp_path):
    unit = vm.StillUnit(500.0, seed=3)
    stream = unit.stream(2)
    packet = len(stream) // 1000
    one, same = tmp_path / "one.bin", tmp_path / "same.bin"
    cases = ((one, stream[:packet], lambda i: 10**18), (same, stream, lambda i: 10**18))
    for path, data, wall in cases:
        path.write_bytes(data)
        times = TimesWriter(path, force=True)
        for i in range(len(data) // packet):
            times.add(packet, Stamp(wall(i), 5 * 10**9))  # every read at one time
        times.close()
    done = vorn("noise", one)
    assert (done.returncode, done.stderr) == (
        1,
        f"vorn noise: {one}: 1 raw packet is too few: the fit needs at least 9\n",
    )
    done = vorn("noise", same)
    assert (done.returncode, done.stderr) == (
        2,
        "vorn noise: the arrival times tell no rate: all 1,000 timed raw packets arrived at one time; give "
        "--rate HZ, the raw packets per second the unit was set to send\n",
    )
    assert vorn("noise", same, "--rate", "500").returncode == 0
