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


def test_the_flight_names_its_events_and_its_zooms_scale_every_panel():
    # Under thrust to 99 s and from 1001 to 1100 s, coasting between: the coast is compressed
    # (111 to 989 s; the axis to 1120 s, as in test_plot's hand calculation), and "before the
    # coast" shows 0 to 111 + 0.03 * 1120 = 144.6 s. The altitude t / 10 until 500 s, then
    # 400 km: there (steps of 1 s, the last at 144 s) it spans 0 to 14.4 km, drawn with 5 % of
    # that each side.
    t = np.arange(0.0, 1101.0)
    accel = np.where((t <= 99) | (t >= 1001), 10.0, 0.0)
    alt = np.where(t < 500, t / 10, 400.0)
    marks = [D.EventMark(6.7, "pitch-over", "pitch_over"), D.EventMark(99.0, "core cut-off", "core_cutoff"),
             D.EventMark(100.0, "booster separation", "booster_separation"),
             D.EventMark(1001.0, "AJ10-190 ignition", "upper_ignition")]
    flight = D.FlightData("f", t, t / 100, alt, accel, t * 0, marks)
    fig = H.figures("flight", D.FlightSet([flight], D.time_axis([flight])), "t")[1][0]
    layout = fig["layout"]
    assert sorted(a["text"] for a in layout["annotations"]) == sorted(m.label for m in marks)
    before = next(b for b in layout["updatemenus"][0]["buttons"] if b["label"] == "before the coast")
    assert before["args"][0]["xaxis.range"] == pytest.approx([0, 144.6])
    assert before["args"][0]["yaxis2.range"] == pytest.approx([-0.72, 15.12])
    # The labels stand apart on the page: checked in a browser by html_report_browser.py.
