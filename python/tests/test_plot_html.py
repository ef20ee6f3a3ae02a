"""ascent-plot's HTML report: the decimated flight keeps what the eye needs, the page keeps its
data whole whatever the names hold, a large study stays small, a missing library is one line."""

import json
import os
import subprocess
import sys

import numpy as np
import pytest

from ascent.plot import data as D
from ascent.plot import html as H

BUCKETS = 500


def series(kind, n=60000):
    t = np.linspace(0.0, 3300.0, n)
    y = np.sin(t / 37.0) + 0.01 * np.cos(t * 7.3)
    if kind == "spike":
        y[12345] = 50.0  # one step's peak, narrower than any pixel
        y[40001] = -50.0
    if kind == "gap":
        y[30000:30010] = np.nan
    if kind == "flat":
        y[:] = 4.0
    return t, y


@pytest.mark.parametrize("kind", ["smooth", "spike", "gap", "flat"])
def test_decimation_keeps_each_buckets_extremes_and_the_events(kind):
    t, y = series(kind)
    events = [0.05, 130.2, 457.0001, 2990.5, 3300.0]
    keep = H.decimate(t, y, BUCKETS, events)
    assert len(keep) <= 4 * BUCKETS + 2 * len(events) + np.isnan(y).sum()
    assert np.all(np.diff(keep) > 0)
    # Each bucket's lowest and highest value, found by masks over the whole series.
    edges = np.linspace(t[0], t[-1], BUCKETS + 1)
    kept = np.zeros(len(t), bool)
    kept[keep] = True
    for b in range(BUCKETS):
        inside = (t >= edges[b]) & ((t < edges[b + 1]) | (b == BUCKETS - 1)) & np.isfinite(y)
        assert y[inside & kept].max() == y[inside].max()
        assert y[inside & kept].min() == y[inside].min()
    assert kept[np.isnan(y)].all()
    for te in events:  # the steps on either side of each event
        below, above = t[t <= te].max(initial=t[0]), t[t >= te].min(initial=t[-1])
        assert kept[t == below].all() and kept[t == above].all()


def test_a_short_series_is_kept_whole():
    t = np.arange(100.0)
    assert np.array_equal(H.decimate(t, t * t, BUCKETS), np.arange(100))


def test_names_and_titles_never_end_the_script_or_the_markup():
    hostile = "</script><script>alert(1)</script> & <b>"
    t = np.linspace(0, 100, 50)
    flight = D.FlightData(hostile, t, t, t, t, t, [D.EventMark(50.0, hostile, "pitch_over")])
    head, figures = H.figures("flight", D.FlightSet([flight], D.time_axis([flight])), hostile)
    text = H.page(head, figures, library="var Plotly = {};")
    assert text.count("<script") == 3
    inside = text.split('id="figures">', 1)[1].split("</script>", 1)[0]
    assert "<" not in inside and json.loads(inside) == json.loads(json.dumps(figures))
    assert "<title>&lt;/script&gt;&lt;script&gt;alert(1)" in text


def test_twenty_thousand_runs_stay_under_five_megabytes(tmp_path):
    # The worst case of the heat map: a quarter of the runs outside the target box, each a point.
    rng = np.random.default_rng(5)
    n = 20000
    hp = 398.6 + rng.normal(0, 8, n)
    ha = 398.6 + rng.normal(0, 8, n)
    rows = ["run,reached,SC_M,hp_final_km,ha_final_km,core.thrust"]
    for k in range(n):
        ok = abs(hp[k] - 398.6) <= 10 and abs(ha[k] - 398.6) <= 10
        rows.append(f"{k + 1},{'yes' if ok else 'no'},{96000 + rng.normal(0, 300):.0f},"
                    f"{hp[k]:.6f},{ha[k]:.6f},{rng.normal():.9f}")
    runs = tmp_path / "runs.csv"
    runs.write_text("\r\n".join(rows) + "\r\n")
    out = tmp_path / "mc.html"
    H.write_report(out, "mc", D.load_mc(str(runs)), None)
    library = os.path.getsize(H.library_path())
    assert os.path.getsize(out) < 5e6
    assert os.path.getsize(out) - library < 1e6


def test_a_missing_library_stops_with_one_line(tmp_path, monkeypatch):
    monkeypatch.setenv(H.LIBRARY_ENV, str(tmp_path / "nowhere.js"))
    with pytest.raises(D.PlotError) as e:
        H.write_report(tmp_path / "r.html", "flight", D.FlightSet([], None), "t")
    assert e.value.code == 3 and "nowhere.js" in e.value.message and "\n" not in e.value.message
    assert not (tmp_path / "r.html").exists()
