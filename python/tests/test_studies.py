"""The optimiser and the dispersion study from Python against ascent-optimize and ascent-mc."""

import csv
import io
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest

import ascent
from ascent import _ascent
from ascent.plot.data import drawn_ellipse, load_footprints
from conftest import SOURCE_DIR, program, run_ascent

DISPERSIONS = SOURCE_DIR / "vehicles" / "dispersions.toml"


def tool(variable, folder, *options):
    run = subprocess.run([program(variable), *options], cwd=folder, capture_output=True, timeout=300)
    return run


def read_csv(path):
    # A study's CSV opens with the line that defines the study ("# ascent-mc study: ...").
    with open(path, newline="") as f:
        text = f.read()
    if text.startswith("#"):
        text = text.split("\r\n", 1)[1]
    rows = list(csv.reader(io.StringIO(text, newline="")))
    return rows[0], rows[1:]


def assert_columns_equal_csv(columns, header, rows):
    assert list(columns) == header
    assert all(len(columns[name]) == len(rows) for name in header)
    for r, row in enumerate(rows):
        for name, text in zip(header, row):
            value = columns[name][r]
            if name == "reached":
                assert bool(value) == (text == "yes"), (r, name)
            elif name == "status":
                assert value == text, (r, name)
            else:
                expected = float(text) if text else float("nan")
                assert float(value) == expected or (np.isnan(expected) and np.isnan(value)), (r, name, value, text)


needs_optimizer = pytest.mark.skipif(not hasattr(_ascent, "optimize") or "ASCENT_OPTIMIZE_BINARY" not in os.environ,
                                     reason="this build has no optimiser")
needs_mc = pytest.mark.skipif(not hasattr(_ascent, "mc_rows") or "ASCENT_MC_BINARY" not in os.environ,
                              reason="this build has no dispersion study")


@needs_optimizer
def test_optimize_finds_what_the_tool_finds(workdir):
    options = ["--tt", "20:60", "--alpha", "15:22", "--max-flights", "60"]
    run = tool("ASCENT_OPTIMIZE_BINARY", workdir, *options, "-o", "flights.csv", "--json", "best.json", "--jobs", "2")
    assert run.returncode == 0, run.stderr
    result = ascent.optimize(tt=(20, 60), alpha=(15, 22), max_flights=60, jobs=1, as_frame=False)
    header, rows = read_csv(workdir / "flights.csv")
    assert_columns_equal_csv(result.flights, header, rows)
    best = json.loads((workdir / "best.json").read_text())
    assert result.found and best["flights"] == len(rows)
    for key in ("tt", "alpha", "SC_M", "hp_final_km", "ha_final_km", "core_propellant_left_kg"):
        assert result.best[key] == pytest.approx(best[key], rel=0, abs=0.5 if key in ("SC_M", "core_propellant_left_kg") else 0)
    # The best point, flown again as one flight, carries what the search reported.
    again = ascent.fly(result.best["tt"], result.best["alpha"]).summary
    assert again["SC_M"] == result.best["SC_M"]


@needs_optimizer
def test_optimize_sets_vehicle_quantities_free(workdir):
    free = {"plan.acceleration_limit": (35.0, 45.0)}
    result = ascent.optimize(tt=(25, 50), alpha=(16, 20), free=free, max_flights=40, jobs=2)
    assert result.found
    limit = result.best["plan.acceleration_limit"]
    assert 35 <= limit <= 45 and result.vehicle["plan.acceleration_limit"] == limit
    assert ascent.fly(result.best["tt"], result.best["alpha"], vehicle=result.vehicle).summary["SC_M"] == result.best["SC_M"]
    with pytest.raises(ValueError):
        ascent.optimize(free={"core.exhuast_speed": (1, 2)})
    with pytest.raises(ValueError):
        ascent.optimize(tt=(60, 20))


GUIDED = str(SOURCE_DIR / "vehicles" / "orvalon5_guided.toml")


@needs_mc
@pytest.mark.parametrize("options,arguments", [
    ([], {}),
    # The promise over a guided vehicle's runs (the open loop's is 0 kg).
    (["--vehicle", GUIDED, "--promise", "0.9", "--tolerance", "2"], {"vehicle": GUIDED, "promise": 0.9, "tolerance": 2}),
    # Checked: every run flown again at the answer and 1 kg more.
    (["--vehicle", GUIDED, "--promise", "0.8", "--promise-check"], {"vehicle": GUIDED, "promise": 0.8,
                                                                   "promise_check": True}),
])
def test_monte_carlo_equals_the_tool(workdir, options, arguments):
    run = tool("ASCENT_MC_BINARY", workdir, "--runs", "24", "--tt", "36", "--alpha", "18", "--dispersions",
               str(DISPERSIONS), "--seed", "7", "-o", "runs.csv", "--json", "summary.json", "--jobs", "2", *options)
    assert run.returncode == 0, run.stderr
    study = ascent.monte_carlo(runs=24, tt=36, alpha=18, dispersions=DISPERSIONS, seed=7, jobs=1, as_frame=False,
                               **arguments)
    header, rows = read_csv(workdir / "runs.csv")
    assert_columns_equal_csv(study.runs, header, rows)
    summary = json.loads((workdir / "summary.json").read_text())
    assert study.summary == summary
    if "promise" in arguments:
        assert summary["SC_M_promised_kg"] > 80000 and summary["promise_probability"] == arguments["promise"]
    if "promise_check" in arguments:
        assert summary["promise_check"]["contradicted"] == 0
        assert summary["promise_check"]["searched_kg"] == summary["SC_M_promised_kg"]


@needs_mc
@pytest.mark.parametrize("arguments", [{"tolerance": 2}, {"promise_check": True}, {"promise": 1},
                                       {"promise": 0.9, "tolerance": 0}, {"promise": "many"}, {"promise": "0.9"},
                                       {"promise": 0.9, "tolerance": "2"}, {"promise": 0.9, "runs": 0}])
def test_monte_carlo_refuses_a_promise_asked_wrongly(workdir, arguments):
    with pytest.raises(ValueError):
        ascent.monte_carlo(**{"runs": 3, **arguments})


@needs_mc
def test_monte_carlo_without_dispersions_is_the_nominal_flight(workdir):
    study = ascent.monte_carlo(runs=3, tt=36, alpha=18, as_frame=False)
    nominal = ascent.fly(36, 18).summary
    assert list(study.runs["SC_M"]) == [nominal["SC_M"]] * 3
    assert list(study.runs["hp_final_km"]) == [nominal["hp_final_km"]] * 3


@needs_mc
def test_monte_carlo_on_a_cluster_equals_the_local_study(workdir):
    distributed = pytest.importorskip("dask.distributed")
    import ascent.distributed

    local = ascent.monte_carlo(runs=30, dispersions=DISPERSIONS, seed=3, jobs=2, as_frame=False)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        remote = ascent.distributed.monte_carlo(client, runs=30, dispersions=DISPERSIONS, seed=3, shards=4,
                                                as_frame=False)
    assert remote.summary == local.summary
    for name in local.runs:
        a, b = local.runs[name], remote.runs[name]
        assert np.array_equal(a, b, equal_nan=a.dtype.kind == "f"), name


@pytest.mark.parametrize("call", [
    "ascent.monte_carlo(runs=200000, jobs=2)",
    "ascent.sweep(tt='10:90:0.01', alpha='0:30:0.1', jobs=2)",
])
def test_ctrl_c_stops_a_long_study_within_a_second(workdir, call):
    # A real SIGINT to a Python process in the middle of a study far longer
    # than the test: KeyboardInterrupt comes at once, not at the end.
    # The child stamps the moment the exception reaches it (the monotonic
    # clock is the system's, shared by both processes): the interpreter's
    # exit after it is no part of the wait.
    script = (f"import sys, time, ascent\nprint('started', flush=True)\ntry:\n    {call}\n"
              f"except KeyboardInterrupt:\n    print('raised', time.monotonic(), flush=True)\n    raise\n"
              f"print('finished')\n")
    child = subprocess.Popen([sys.executable, "-c", script], cwd=workdir, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    assert child.stdout.readline() == b"started\n"
    time.sleep(1.5)  # well into the flights
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=30)
    assert b"KeyboardInterrupt" in err, err
    assert b"finished" not in out
    # Within a second on a quiet machine; the bound leaves room for a loaded
    # one (the suite runs two tests at once on two cores) and is still far
    # below the study's own length (minutes).
    raised = float(out.split(b"raised ")[1])
    assert raised - sent < 5


# The impact footprints of ascent-mc --impacts.

def east_north(lat, lon, lat0, lon0):
    """Points on the WGS 84 ellipsoid seen in the plane tangent at (lat0, lon0): east and north, m."""
    a, f = 6378137.0, 1 / 298.257223563
    e2 = f * (2 - f)

    def earth_fixed(la, lo):
        la, lo = np.radians(la), np.radians(lo)
        n = a / np.sqrt(1 - e2 * np.sin(la) ** 2)
        return np.array([n * np.cos(la) * np.cos(lo), n * np.cos(la) * np.sin(lo), n * (1 - e2) * np.sin(la)])

    d = earth_fixed(np.asarray(lat), np.asarray(lon)) - earth_fixed(lat0, lon0)[:, None]
    p, l = np.radians(lat0), np.radians(lon0)
    east = np.array([-np.sin(l), np.cos(l), 0])
    north = np.array([-np.sin(p) * np.cos(l), -np.sin(p) * np.sin(l), np.cos(p)])
    return east @ d, north @ d


def test_monte_carlo_footprints_are_the_points_ellipses(workdir):
    run = tool("ASCENT_MC_BINARY", workdir, "--runs", "30", "--dispersions", str(DISPERSIONS), "--seed", "7",
               "-o", "runs.csv", "--json", "summary.json", "--impacts", "impacts.csv", "--jobs", "2")
    assert run.returncode == 0, run.stderr
    header, rows = read_csv(workdir / "impacts.csv")
    points = [dict(zip(header, r)) for r in rows]
    # Every run drops its boosters and its fairing; the core may stay up.
    assert [int(p["run"]) for p in points if p["part"] == "boosters"] == list(range(1, 31))
    footprints = json.loads((workdir / "summary.json").read_text())["impact_footprints"]
    assert {f["part"] for f in footprints} == {"boosters", "fairing", "core stage"}
    for f in footprints:
        down = [p for p in points if p["part"] == f["part"] and p["status"] == "down"]
        assert f["down"] == len(down) and f["released"] == sum(p["part"] == f["part"] for p in points)
        lat = np.array([float(p["impact_lat_deg"]) for p in down])
        lon = np.array([float(p["impact_lon_deg"]) for p in down])
        dlon = (lon - lon[0] + 180) % 360 - 180
        lat0, lon0 = lat.mean(), (lon[0] + dlon.mean() + 180) % 360 - 180
        assert (f["mean_lat_deg"], f["mean_lon_deg"]) == pytest.approx((lat0, lon0), rel=0, abs=1e-9)
        cov = np.cov(np.vstack(east_north(lat, lon, lat0, lon0)))
        assert np.array(f["covariance_en_m2"]) == pytest.approx(cov, rel=1e-7, abs=1e-3)
        w, v = np.linalg.eigh(cov)
        assert (f["semi_major_3sigma_m"], f["semi_minor_3sigma_m"]) == pytest.approx(3 * np.sqrt(w[::-1]), rel=1e-6)
        azimuth = np.degrees(np.arctan2(v[0, 1], v[1, 1])) % 180
        assert abs((f["major_axis_azimuth_deg"] - azimuth + 90) % 180 - 90) < 1e-6
    # What ascent-plot draws: the footprints ascent-mc reports, the ellipse's outline three
    # standard deviations out (seen in the tangent plane through the Earth-fixed frame).
    for d in load_footprints(workdir / "impacts.csv"):
        f = next(f for f in footprints if f["part"] == d.part)
        assert d.released == f["released"] and len(d.lat) == f["down"]
        if d.ellipse is None:
            assert f["semi_major_3sigma_m"] is None
            continue
        assert d.centre == pytest.approx((f["mean_lat_deg"], f["mean_lon_deg"]), rel=0, abs=1e-9)
        assert (d.semi_major, d.semi_minor) == pytest.approx((f["semi_major_3sigma_m"], f["semi_minor_3sigma_m"]),
                                                              rel=1e-6)
        assert abs((d.azimuth - f["major_axis_azimuth_deg"] + 90) % 180 - 90) < 1e-6
        if drawn_ellipse(d):  # the core stage's, thousands of kilometres across, is no place on the map
            x = np.vstack(east_north(*d.ellipse, *d.centre))
            m2 = np.einsum("in,ij,jn->n", x, np.linalg.inv(np.array(f["covariance_en_m2"])), x)
            assert m2 == pytest.approx(9, rel=1e-6)
    # The runs themselves are the study's without --impacts, byte for byte.
    plain = tool("ASCENT_MC_BINARY", workdir, "--runs", "30", "--dispersions", str(DISPERSIONS), "--seed", "7",
                 "-o", "plain.csv", "--jobs", "2")
    assert plain.returncode == 0 and (workdir / "plain.csv").read_bytes() == (workdir / "runs.csv").read_bytes()
    # Flown in three shards and merged (given in another order): the same rows and footprints, to the bit.
    for k in (1, 2, 3):
        shard = tool("ASCENT_MC_BINARY", workdir, "--runs", "30", "--dispersions", str(DISPERSIONS), "--seed", "7",
                     "--shard", f"{k}/3", "-o", f"s{k}.csv", "--impacts", f"i{k}.csv", "--jobs", "2")
        assert shard.returncode == 0, shard.stderr
    merged = tool("ASCENT_MC_BINARY", workdir, "--merge", "s3.csv", "s1.csv", "s2.csv", "-o", "m.csv",
                  "--json", "m.json", "--merge-impacts", "i2.csv", "i3.csv", "i1.csv", "--impacts", "mi.csv")
    assert merged.returncode == 0, merged.stderr
    for one, whole in (("impacts.csv", "mi.csv"), ("summary.json", "m.json"), ("runs.csv", "m.csv")):
        assert (workdir / whole).read_bytes() == (workdir / one).read_bytes(), whole


def test_monte_carlo_impact_is_the_one_ascent_finds(workdir):
    # The boosters' ballistic coefficient dispersed alone: run 2's drawn
    # vehicle, written as a description, flown by ascent with --json.
    (workdir / "beta.toml").write_text('[[dispersion]]\nkey = "impact.booster_beta"\ndistribution = "normal"\n'
                                       'relative = true\nthree_sigma = 0.3\n')
    # Both placed at an epoch of their own: the study's points are where ascent puts them then.
    epoch = "2026-03-20T15:45:00"
    run = tool("ASCENT_MC_BINARY", workdir, "--runs", "2", "--dispersions", "beta.toml", "-o", "runs.csv",
               "--impacts", "impacts.csv", "--jobs", "1", "--epoch", epoch)
    assert run.returncode == 0, run.stderr
    header, rows = read_csv(workdir / "runs.csv")
    beta = dict(zip(header, rows[1]))["impact.booster_beta"]
    header, rows = read_csv(workdir / "impacts.csv")
    row = next(dict(zip(header, r)) for r in rows if r[0] == "2" and r[1] == "boosters")
    assert row["ballistic_coefficient_kg_m2"] == beta and float(beta) != 3700
    vehicle = subprocess.run([program("ASCENT_BINARY"), "--print-vehicle"], capture_output=True).stdout
    (workdir / "v.toml").write_bytes(vehicle + f"\n[impact]\nbooster_beta = {beta}\n".encode())
    flown = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n", "--vehicle", "v.toml", "--json", "f.json",
                       "--epoch", epoch)
    assert flown.returncode == 0, flown.stderr
    impact = json.loads((workdir / "f.json").read_text())["flights"][0]["impact_points"][0]
    assert impact["part"] == "boosters" and impact["ballistic_coefficient"] == float(beta)
    assert (float(row["impact_lat_deg"]), float(row["impact_lon_deg"]), float(row["fall_s"])) == \
        (impact["impact_lat_deg"], impact["impact_lon_deg"], impact["fall_s"])
