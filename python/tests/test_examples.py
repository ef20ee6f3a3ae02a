"""The examples run, in their default (small) size, from a folder holding s1.dat."""

import os
import re
import runpy
import subprocess
import sys

import pytest

from conftest import SOURCE_DIR, run_ascent
from test_sweep import sweep_csv

EXAMPLES = SOURCE_DIR / "examples"


def run_example(folder, name, *args):
    env = dict(os.environ, MPLBACKEND="Agg")
    run = subprocess.run([sys.executable, str(EXAMPLES / name), *args], cwd=folder, env=env,
                         capture_output=True, timeout=240)
    assert run.returncode == 0, run.stderr.decode()
    return run.stdout.decode()


def test_fly_and_plot(workdir):
    out = run_example(workdir, "fly_and_plot.py")
    # The figures the program reports for the same flight.
    report = run_ascent(workdir, "out.txt\n36\n18\ny\n-1\n").stdout
    sc_m = re.search(rb"SC_M\s+=\s+(\d+);", (workdir / "out.txt").read_bytes()).group(1).decode()
    hp, ha = re.findall(rb"Perigee = +([-\d.]+) km, Apogee = +([-\d.]+) km", (workdir / "out.txt").read_bytes())[-1]
    assert report is not None and f"SC_M {sc_m} kg, orbit {hp.decode()} x {ha.decode()} km" in out
    assert "PLF Jettison!" in out
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (workdir / "examples_out" / "flight.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_fly_and_plot_without_a_profile(tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLES / "fly_and_plot.py")], cwd=tmp_path, capture_output=True,
                         text=True, timeout=60)
    assert run.returncode == 1 and "s1.dat: file not found" in run.stderr, run.stderr
    assert os.path.isfile(run.stderr.split("(copy ", 1)[1].split(")")[0])


def test_fly_and_plot_labels_stand_apart(workdir, monkeypatch):
    """Every label of the example's picture drawn, none covering another, all inside the picture."""
    matplotlib = pytest.importorskip("matplotlib")
    matplotlib.use("Agg")
    from matplotlib.figure import Figure
    from matplotlib.text import Text

    saved = []
    monkeypatch.setattr(Figure, "savefig", lambda self, *a, **k: saved.append(self))
    monkeypatch.setattr(sys, "argv", ["fly_and_plot.py"])
    example = runpy.run_path(str(EXAMPLES / "fly_and_plot.py"), run_name="fly_and_plot")
    example["main"]()
    fig = saved[0]
    renderer = fig.canvas.get_renderer()
    fig.draw(renderer)
    labels = [t for ax in fig.axes for t in ax.texts]
    assert len(labels) >= 8  # pitch-over to the upper stage's cut-off
    boxes = [Text.get_window_extent(t, renderer) for t in labels]  # the text, not its leader
    for i, a in enumerate(boxes):
        assert fig.bbox.contains(a.x0, a.y0) and fig.bbox.contains(a.x1, a.y1), labels[i].get_text()
        for j in range(i):
            assert not a.overlaps(boxes[j]), (labels[i].get_text(), labels[j].get_text())


def test_trade_study(workdir):
    pytest.importorskip("pandas")
    out = run_example(workdir, "trade_study.py")
    header, rows = sweep_csv(workdir, "--tt", "32:44:2", "--alpha", "16:20:1")
    assert f"{len(rows)} flights" in out
    reached = [dict(zip(header, row)) for row in rows if row[header.index("reached")] == "yes"]
    best = max(reached, key=lambda r: float(r["SC_M"]))
    assert f"best: tt {float(best['tt']):g} s, alpha {float(best['alpha']):g} deg, SC_M {best['SC_M']} kg" in out
    lines = (workdir / "examples_out" / "trade.csv").read_text().splitlines()
    assert lines[0].split(",")[:3] == ["tt", "alpha", "tt_recommended"] and len(lines) == 36


def test_distributed_example(workdir):
    pytest.importorskip("dask.distributed")
    pytest.importorskip("pandas")
    out = run_example(workdir, "distributed_sweep.py")
    assert "45 flights on 2 workers" in out
    assert "equal to the same study on this machine: True" in out


@pytest.mark.skipif(not hasattr(__import__("ascent")._ascent, "mc_rows"), reason="this build has no dispersion study")
def test_distributed_mc_example(workdir):
    pytest.importorskip("dask.distributed")
    pytest.importorskip("pandas")
    out = run_example(workdir, "distributed_mc.py")
    assert "200 runs on 2 workers" in out
    assert "equal to the same study on this machine: True" in out
