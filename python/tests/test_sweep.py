"""Sweeps from Python against ascent-sweep's CSV, and against single flights."""

import csv
import io
import subprocess

import numpy as np
import pytest

import ascent
from conftest import program


def sweep_csv(folder, *options):
    run = subprocess.run([program("ASCENT_SWEEP_BINARY"), *options], cwd=folder, capture_output=True,
                         timeout=300)
    assert run.returncode == 0, run.stderr
    rows = list(csv.reader(io.StringIO(run.stdout.decode(), newline="")))
    return rows[0], rows[1:]


def same(a, b):
    return a == b or (isinstance(a, float) and isinstance(b, float) and np.isnan(a) and np.isnan(b))


def assert_rows_equal(header, rows, columns):
    assert header == list(columns) == list(ascent.SWEEP_COLUMNS)
    assert all(len(columns[name]) == len(rows) for name in header)
    for r, row in enumerate(rows):
        for name, text in zip(header, row):
            value = columns[name][r]
            if name == "reached":
                assert bool(value) == (text == "yes"), (r, name)
            elif name == "status":
                assert value == text, (r, name)
            else:
                # Every digit is written, so the text reads back as the very double.
                expected = float(text) if text else float("nan")
                assert same(float(value), expected), (r, name, value, text)


@pytest.mark.parametrize("options,kwargs", [
    # Grid points that reach the target, miss it, and one whose turn outlasts the profile (a
    # status row with the program's error).
    (["--tt", "34:38:2", "--alpha", "17:19:1"], dict(tt="34:38:2", alpha="17:19:1")),
    (["--tt", "120", "--alpha", "18"], dict(tt=120, alpha=[18])),
    (["--tt", "36", "--alpha", "18", "--no-transfer"], dict(tt=36, alpha=18, transfer=False)),
    (["--iterate", "--tt", "20", "--alpha", "20:25:5"], dict(tt=20, alpha="20:25:5", iterate=True)),
])
def test_sweep_rows_equal_the_program_csv(workdir, options, kwargs):
    header, rows = sweep_csv(workdir, *options, "--jobs", "2")
    columns = ascent.sweep(**kwargs, jobs=2, as_frame=False)
    assert_rows_equal(header, rows, columns)


def test_a_failed_grid_point_says_why(workdir):
    columns = ascent.sweep(tt=[36, 200], alpha=18, as_frame=False)
    assert list(columns["status"]) [0] == "ok"
    assert columns["status"][1].startswith("error 100: ")
    assert np.isnan(columns["SC_M"][1]) and not columns["reached"][1]


def test_jobs_change_nothing_and_a_flight_is_its_sweep_row(workdir):
    one = ascent.sweep(tt="35:37:1", alpha="17.5:18.5:0.5", jobs=1, as_frame=False)
    two = ascent.sweep(tt="35:37:1", alpha="17.5:18.5:0.5", jobs=2, as_frame=False)
    for name in ascent.SWEEP_COLUMNS:
        assert np.array_equal(one[name], two[name], equal_nan=one[name].dtype.kind == "f"), name
    # Grid order: turn time major.
    assert list(one["tt"]) == [35, 35, 35, 36, 36, 36, 37, 37, 37]
    assert list(one["alpha"]) == [17.5, 18, 18.5] * 3
    summary = ascent.fly(36, 18).summary
    row = {name: one[name][4] for name in ascent.SWEEP_COLUMNS}
    assert all(same(float(summary[k]), float(row[k])) for k in ascent.SWEEP_COLUMNS if k != "status")


def test_a_sweep_is_a_frame_when_pandas_is_there(workdir):
    pandas = pytest.importorskip("pandas")
    frame = ascent.sweep(tt="36", alpha="18:19:1")
    assert isinstance(frame, pandas.DataFrame)
    assert list(frame.columns) == list(ascent.SWEEP_COLUMNS) and len(frame) == 2
    assert frame["SC_M"].iloc[0] == ascent.fly(36, 18).summary["SC_M"]


def test_a_sweep_of_a_changed_vehicle_flies_that_vehicle(workdir):
    v = ascent.Vehicle().with_values({"core.exhaust_speed": 4450.0})
    columns = ascent.sweep(tt=36, alpha=18, vehicle=v, as_frame=False)
    assert columns["SC_M"][0] == ascent.fly(36, 18, vehicle=v).summary["SC_M"]
    assert columns["core_propellant_left_kg"][0] > ascent.fly(36, 18).summary["core_propellant_left_kg"]


def test_bad_grids_are_refused(workdir):
    with pytest.raises(ValueError, match="--tt"):
        ascent.sweep(tt="40:30:1", alpha=18)
    with pytest.raises(ValueError, match="below 1 s"):
        ascent.sweep(tt=0.5, alpha=18)
    with pytest.raises(ValueError, match="magnitude"):
        ascent.sweep(tt=36, alpha=-1)
    with pytest.raises(ValueError, match="--iterate"):
        ascent.sweep(tt="20:30:5", alpha=18, iterate=True)
    (workdir / "s1.dat").unlink()
    with pytest.raises(ascent.AscentError) as e:
        ascent.sweep(tt=36, alpha=18)
    assert e.value.code == 2


def test_long_calls_let_other_python_threads_run(workdir):
    import threading
    import time

    def ticks_during(call):
        # Counts the main thread's wake-ups while `call` runs in another thread: a call that held
        # the interpreter's lock would keep the main thread asleep until it returned.
        worker = threading.Thread(target=call)
        worker.start()
        ticks = 0
        while worker.is_alive():
            time.sleep(0.001)
            ticks += 1
        worker.join()
        return ticks

    # 60 flights in one call, some 60 ms or more.
    assert ticks_during(lambda: ascent.sweep(tt="30:44:1", alpha="17:20:1", jobs=1, as_frame=False)) >= 5


def test_every_entry_point_keeps_the_shortest_turn_ascent_flies(workdir):
    # ascent's session flies a 1 s turn and refuses a shorter one; the package
    # refuses it in each call, with the messages it has always given.
    calls = [(lambda tt: ascent.fly(tt, 18), "tt: ascent refuses turn times below 1 s"),
             (lambda tt: ascent.sweep(tt=tt, alpha=18), "--tt: ascent refuses turn times below 1 s"),
             (lambda tt: ascent.monte_carlo(runs=1, tt=tt), "--tt: ascent refuses turn times below 1 s")]
    for call, message in calls:
        with pytest.raises(ValueError) as e:
            call(0.999)
        assert str(e.value) == message
    ascent.fly(1, 18)  # one second is flown, as in the session
