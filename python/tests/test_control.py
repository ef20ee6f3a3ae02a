"""The optimal ascent from Python and in ascent-plot, held to ascent-control's own outputs (the
other program) and to the flights' vertical rise."""

import csv
import json
import subprocess

import numpy as np
import pytest

import ascent
from conftest import SOURCE_DIR, program


RESULT_KEYS = ("problem", "objective", "optimum", "published", "status", "iterations", "orbit", "target", "replay",
               "path", "guided", "open_loop", "guided_gap", "open_loop_gap")


@pytest.fixture(scope="module")
def tool(tmp_path_factory):
    """ascent-control's Delta III optimum at its default mesh: the JSON and the steering CSV."""
    d = tmp_path_factory.mktemp("control")
    r = subprocess.run([program("ASCENT_CONTROL_BINARY"), "--problem", "delta3", "--json", d / "opt.json",
                        "-o", d / "steering.csv"], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    with open(d / "steering.csv", newline="") as f:
        rows = list(csv.reader(f))
    columns = {name: np.array([float(r[i]) for r in rows[1:]]) for i, name in enumerate(rows[0])}
    return d, json.loads((d / "opt.json").read_text()), columns


def test_module_returns_the_tools_optimum_orbit_replay_and_steering(tool):
    _, doc, columns = tool
    got = ascent.optimal_control("delta3", mesh=2)
    for key in RESULT_KEYS:
        assert getattr(got, key) == doc[key], key
    steering = np.array(doc["steering"])
    assert np.array_equal(got.steering["t_s"], steering[:, 0])
    assert np.array_equal(got.steering["pitch_deg"], steering[:, 1])
    for name, values in columns.items():
        assert np.array_equal(got.steering[name], values), name
    with pytest.raises(ascent.AscentError) as bad:
        ascent.optimal_control("atlas")
    assert bad.value.code == 64


def test_module_flies_a_description_as_the_tool_does(tmp_path):
    """The Delta III description: its guided flight's mass and gap, the optimum and replay, the tool's."""
    vehicle = SOURCE_DIR / "vehicles" / "delta3_gto.toml"
    r = subprocess.run([program("ASCENT_CONTROL_BINARY"), "--vehicle", vehicle, "--mesh", "1", "--q-alpha-max",
                        "60000", "--json", tmp_path / "opt.json"], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    doc = json.loads((tmp_path / "opt.json").read_text())
    got = ascent.optimal_control(vehicle=vehicle, mesh=1, q_alpha_max=60000)
    for key in RESULT_KEYS:
        assert getattr(got, key) == doc[key], key
    assert doc["guided_gap"] in r.stdout and got.guided < got.optimum
    with pytest.raises(ascent.AscentError) as bad:
        ascent.optimal_control(vehicle=SOURCE_DIR / "vehicles" / "corvane_gto.toml")
    assert bad.value.code == 65


@pytest.mark.parametrize("source", ["steering.csv", "opt.json"])
def test_plot_draws_the_optimum_beside_a_guided_flight(tool, workdir, source):
    d, doc, _ = tool
    from ascent.plot import data as D
    r = subprocess.run([program("ASCENT_PLOT"), "--control", str(d / source), "--fly", "36:18", "-o",
                        str(workdir / "c.png")], capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    assert (workdir / "c.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
    cd = D.load_control(str(d / source), ["36:18"])
    # The tool's steering table, read from the other file; the guided flight rises vertically
    # off the pad, its thrust at 90 degrees until the pitch-over.
    steering = np.array(doc["steering"])
    assert np.array_equal(cd.optimal.t, steering[:, 0]) and np.array_equal(cd.optimal.pitch_deg, steering[:, 1])
    assert (cd.optimal.alt_km is None) == source.endswith(".json")
    guided = cd.flights[0]
    assert guided.pitch_deg[guided.t < 5] == pytest.approx(90, abs=1e-9)
    assert np.all(np.diff(guided.t) >= 0) and guided.t[-1] > 300
    # A staged description given to --fly flies its own guided flight: the one ascent flies.
    vehicle = str(SOURCE_DIR / "vehicles" / "delta3_gto.toml")
    r = subprocess.run([program("ASCENT_BINARY"), "--vehicle", vehicle, "--json", str(workdir / "d.json")],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stderr
    path = json.loads((workdir / "d.json").read_text())["path"]
    staged = D.load_control(str(d / source), [vehicle]).flights[0]
    assert staged.t[-1] == path["t"][-1] and staged.alt_km[-1] * 1e3 == pytest.approx(path["altitude"][-1], abs=1e-6)
