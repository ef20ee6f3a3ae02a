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
from conftest import SOURCE_DIR, program

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
