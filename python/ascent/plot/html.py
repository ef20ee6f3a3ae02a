"""ascent-plot --html: one self-contained HTML page of interactive plots.

The page holds everything it needs: the charting library, the figures' data as
JSON, and the few lines that draw them, so that it opens from a file:// address
with no network at all and can be mailed or archived as one file.

The library is plotly.js, its cartesian bundle minified (plotly.js-cartesian-
dist-min, 1.5 MB), installed by tools/install_deps with npm under
/usr/local/share/ascent/js (ASCENT_PLOTLY_JS names another copy of the file).
It draws every picture the tool has, lines, heat maps, bars, with zoom, hover
and a legend that hides a flight on a click, out of one file. A lighter
library such as uPlot (50 KB) draws lines and points only: the heat maps of a
sweep, the histograms and the tornado of a dispersion study would each need
drawing code of our own. Debian's python3-plotly ships the full library
unminified (8.6 MB), over the size a report may have.

Sizes stay small by sending what a screen can show:
- a flight's time series are cut to at most four points a time bucket
  (FLIGHT_BUCKETS buckets over the flight, about two a pixel of a page-wide
  plot): the first, the last, the lowest and the highest of the bucket, plus
  the points on each side of every event. The drawn line keeps every peak and
  every event, at any zoom down to one bucket;
- numbers are written with seven significant digits (times to the millisecond
  over an hour's flight; values to a part in ten million, far below a pixel);
- a dispersion study's histograms are binned here (counts, not runs), and its
  perigee-apogee plane has one point a run up to SCATTER_POINTS runs, beyond
  that a heat map of counts with the runs outside the target box as points.
"""

import html
import json
import math
import os

import numpy as np

#: The environment variable that names the library's file, overriding the default.
LIBRARY_ENV = "ASCENT_PLOTLY_JS"
#: Where tools/install_deps puts the library.
LIBRARY_DEFAULT = ("/usr/local/share/ascent/js/node_modules/plotly.js-cartesian-dist-min/"
                   "plotly-cartesian.min.js")
#: Exit code when the library is missing or unreadable (as for gnuplot in the PNG pictures).
EXIT_LIBRARY = 3

FLIGHT_BUCKETS = 2000
SCATTER_POINTS = 5000
DIGITS = 7

COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b",
           "#e377c2", "#bcbd22", "#7f7f7f")
MISS = "#a0a0a0"


class ReportError(Exception):
    """A report that cannot be written: `message` is the one line to print, `code` the exit code."""

    def __init__(self, message, code):
        super().__init__(message)
        self.message = message
        self.code = code


def library_path():
    return os.environ.get(LIBRARY_ENV) or LIBRARY_DEFAULT


def load_library():
    """The library's text, or ReportError naming the file and how to install it."""
    path = library_path()
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
    except FileNotFoundError:
        raise ReportError(f"{path}: not found: the HTML report needs plotly.js "
                          f"(tools/install_deps installs it; {LIBRARY_ENV} names another copy)",
                          EXIT_LIBRARY) from None
    except (OSError, UnicodeDecodeError) as e:
        raise ReportError(f"{path}: cannot read the plotly.js library: "
                          f"{getattr(e, 'strerror', None) or e}", EXIT_LIBRARY) from None
    if "Plotly" not in text:
        raise ReportError(f"{path}: not the plotly.js library", EXIT_LIBRARY)
    return text


# ---------------------------------------------------------------- numbers


def numbers(values, digits=DIGITS):
    """A list for JSON: each value to `digits` significant digits, None where it is no number."""
    out = []
    for v in np.asarray(values, dtype=float).tolist():
        out.append(float(f"{v:.{digits}g}") if math.isfinite(v) else None)
    return out


def decimate(t, y, buckets=FLIGHT_BUCKETS, keep_times=()):
    """Indices of the points of (t, y) to draw, in order.

    Below four points a bucket everything is kept. Otherwise the time span is
    cut into `buckets` equal buckets and each keeps its first, last, lowest and
    highest point; the points that are no number are all kept (they break the
    line where they are), and so are the two points around each of
    `keep_times` (an event falls between two steps or on one).
    """
    t = np.asarray(t, dtype=float)
    y = np.asarray(y, dtype=float)
    n = len(t)
    if n <= 4 * buckets:
        return np.arange(n)
    good = np.isfinite(t) & np.isfinite(y)
    keep = [np.flatnonzero(~good)]
    idx = np.flatnonzero(good)
    if len(idx):
        tg = t[idx]
        t0, t1 = tg.min(), tg.max()
        span = t1 - t0 if t1 > t0 else 1.0
        b = np.minimum(((tg - t0) / span * buckets).astype(np.int64), buckets - 1)
        for order in (np.lexsort((y[idx], b)), np.lexsort((idx, b))):
            bs = b[order]
            starts = np.flatnonzero(np.r_[True, bs[1:] != bs[:-1]])
            ends = np.r_[starts[1:], len(bs)] - 1
            keep += [idx[order[starts]], idx[order[ends]]]
    for te in keep_times:
        k = int(np.searchsorted(t, te))
        keep.append(np.array([max(k - 1, 0), min(k, n - 1)]))
    return np.unique(np.concatenate(keep))


# ---------------------------------------------------------------- the page


def page(title, figures, notes=(), library=None):
    """The page's text: the title, notes, and one plot per figure (dicts of data and layout)."""
    lib = load_library() if library is None else library
    blob = json.dumps(figures, separators=(",", ":"), allow_nan=False)
    # Inside a script element only "</" could end it early.
    blob = blob.replace("</", "<\\/")
    lib = lib.replace("</script", "<\\/script")
    esc = html.escape(title)
    divs = "\n".join(f'<div id="fig{i}" class="fig" style="height:{f["height"]}px"></div>'
                     for i, f in enumerate(figures))
    paras = "\n".join(f"<p class=\"note\">{html.escape(n)}</p>" for n in notes)
    return f"""<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>{esc}</title>
<style>
body {{ font-family: sans-serif; margin: 1em auto; max-width: 1200px; color: #222; }}
h1 {{ font-size: 1.3em; }}
.note {{ color: #555; font-size: 0.9em; }}
.fig {{ width: 100%; margin-bottom: 1em; }}
</style>
<script>{lib}</script>
</head>
<body>
<h1>{esc}</h1>
{paras}
{divs}
<script type="application/json" id="figures">{blob}</script>
<script>
"use strict";
const figures = JSON.parse(document.getElementById("figures").textContent);
const config = {{responsive: true, displaylogo: false, showSendToCloud: false,
                 modeBarButtonsToRemove: ["select2d", "lasso2d"]}};
figures.forEach((f, i) => Plotly.newPlot("fig" + i, f.data, f.layout, config));
</script>
</body>
</html>
"""


def write_page(path, text):
    """Writes the page under a temporary name in its folder, renamed over `path` when complete."""
    path = os.fspath(path)
    folder = os.path.dirname(path) or "."
    tmp = os.path.join(folder, f".{os.path.basename(path)}.{os.getpid()}.tmp")
    try:
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        os.replace(tmp, path)
    except OSError as e:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise ReportError(f"{path}: cannot write the report: {e.strerror or e}", 1) from None


def _layout(title, height, **extra):
    layout = {"title": {"text": title, "x": 0.02}, "height": height,
              "margin": {"l": 70, "r": 30, "t": 60, "b": 50},
              "plot_bgcolor": "white", "paper_bgcolor": "white",
              "legend": {"orientation": "h", "x": 1, "xanchor": "right", "y": 1.01,
                         "yanchor": "bottom"}}
    layout.update(extra)
    return layout


def _axis(title, **extra):
    axis = {"title": {"text": title}, "showline": True, "linecolor": "#444", "mirror": True,
            "gridcolor": "#e6e6e6", "zeroline": False}
    axis.update(extra)
    return axis


# ---------------------------------------------------------------- flights

#: The flight's four panels: (title, unit, scale from the SI value).
PANELS = (("inertial speed", "km/s", 1e-3), ("altitude", "km", 1e-3),
          ("thrust acceleration", "m/s²", 1.0), ("dynamic pressure", "kPa", 1e-3))


def coast(t, accel, share=0.4):
    """(start, end) of the longest stretch without thrust when it takes over `share` of the time, else None."""
    t = np.asarray(t, dtype=float)
    off = np.asarray(accel, dtype=float) <= 0
    best = None
    k = 0
    while k < len(t):
        if off[k]:
            j = k
            while j + 1 < len(t) and off[j + 1]:
                j += 1
            if best is None or t[j] - t[k] > best[1] - best[0]:
                best = (t[k], t[j])
            k = j + 1
        else:
            k += 1
    span = t[-1] - t[0] if len(t) else 0
    if best is None or span <= 0 or best[1] - best[0] <= share * span:
        return None
    return best


def flight_figure(flights, title):
    """One figure of four panels sharing the time axis, one colour a flight.

    `flights`: sequence of (label, t, [speed, altitude, accel, q] in SI units,
    events as (t, text)). A click on a flight's legend entry hides or shows its
    curves and events in every panel.
    """
    data = []
    n = len(PANELS)
    gap = 0.04
    h = (1 - gap * (n - 1)) / n
    layout = _layout(title, 260 * n + 120, hovermode="x", showlegend=True)
    for p, (name, unit, _) in enumerate(PANELS):
        top = 1 - p * (h + gap)
        suffix = "" if p == 0 else str(p + 1)
        layout["yaxis" + suffix] = _axis(f"{name} ({unit})", domain=[top - h, top])
        layout["xaxis" + suffix] = _axis("time (s)" if p == n - 1 else "", anchor="y" + suffix,
                                         matches=None if p == 0 else "x",
                                         showticklabels=p == n - 1)
    for f, (label, t, series, events) in enumerate(flights):
        colour = COLOURS[f % len(COLOURS)]
        t = np.asarray(t, dtype=float)
        event_times = [e[0] for e in events]
        group = f"flight{f}"
        for p, ((name, unit, scale), y) in enumerate(zip(PANELS, series)):
            y = np.asarray(y, dtype=float) * scale
            keep = decimate(t, y, keep_times=event_times)
            axes = {"xaxis": "x" if p == 0 else f"x{p + 1}", "yaxis": "y" if p == 0 else f"y{p + 1}"}
            data.append({"type": "scatter", "mode": "lines", "name": label, "legendgroup": group,
                         "showlegend": p == 0, "x": numbers(t[keep]), "y": numbers(y[keep]),
                         "line": {"color": colour, "width": 1.5},
                         "hovertemplate": f"%{{y}} {unit}<extra>{html.escape(label)}</extra>",
                         **axes})
            if events:
                ey = np.interp(event_times, t, y)
                data.append({"type": "scatter", "mode": "markers", "name": f"{label}: events",
                             "legendgroup": group, "showlegend": False,
                             "x": numbers(event_times), "y": numbers(ey),
                             "text": [html.escape(e[1]) for e in events],
                             "marker": {"color": colour, "symbol": "diamond", "size": 8,
                                        "line": {"color": "white", "width": 1}},
                             "hovertemplate": f"%{{text}}<br>t = %{{x}} s<br>%{{y}} {unit}"
                                              f"<extra>{html.escape(label)}</extra>",
                             **axes})
    # The third stage's coast can fill most of the time axis: buttons zoom on either side.
    if flights:
        label, t, series, _ = flights[0]
        c = coast(t, series[2])
        if c is not None:
            t = np.asarray(t, dtype=float)
            pad = 0.03 * (t[-1] - t[0])
            ranges = (("whole flight", [float(t[0]), float(t[-1])]),
                      ("before the coast", [float(t[0]), float(c[0] + pad)]),
                      ("after the coast", [float(c[1] - pad), float(t[-1])]))
            layout["updatemenus"] = [{"type": "buttons", "direction": "right", "x": 0, "y": 1.01,
                                      "xanchor": "left", "yanchor": "bottom", "buttons": [
                                          {"label": lab, "method": "relayout",
                                           "args": [{"xaxis.range": r, "yaxis.autorange": True,
                                                     "yaxis2.autorange": True,
                                                     "yaxis3.autorange": True,
                                                     "yaxis4.autorange": True}]}
                                          for lab, r in ranges]}]
    return {"data": data, "layout": layout, "height": layout["height"]}


# ---------------------------------------------------------------- studies


def column(table, name):
    """The column `name` of a table (a mapping of names to sequences) as floats, NaN where no number."""
    out = []
    for v in table[name]:
        try:
            out.append(float(v))
        except (TypeError, ValueError):
            out.append(math.nan)
    return np.array(out, dtype=float)


def reached(table, name="reached"):
    return np.array([str(v).strip() == "yes" for v in table[name]], dtype=bool)


def _best(mass, ok):
    """Index of the largest mass among the flights that reached the target, or None."""
    good = ok & np.isfinite(mass)
    return int(np.flatnonzero(good)[np.argmax(mass[good])]) if good.any() else None


def _sweep_traces(sweep, coloraxis):
    """The sweep's heat map (misses grey) over turn time and angle limit; its best flight."""
    tt, alpha, mass, ok = (column(sweep, "tt"), column(sweep, "alpha"), column(sweep, "SC_M"),
                           reached(sweep))
    xs, ys = np.unique(tt), np.unique(alpha)
    z = np.full((len(ys), len(xs)), np.nan)
    miss = np.full_like(z, np.nan)
    ix, iy = np.searchsorted(xs, tt), np.searchsorted(ys, alpha)
    z[iy[ok], ix[ok]] = mass[ok]
    miss[iy[~ok], ix[~ok]] = 0
    traces = [{"type": "heatmap", "x": numbers(xs), "y": numbers(ys), "z": [numbers(r) for r in z],
               "coloraxis": coloraxis, "name": "sweep",
               "hovertemplate": "tt %{x} s, alpha %{y}°<br>SC_M %{z:.0f} kg<extra>sweep</extra>"}]
    if (~ok).any():
        traces.append({"type": "heatmap", "x": numbers(xs), "y": numbers(ys),
                       "z": [numbers(r) for r in miss], "showscale": False, "name": "missed",
                       "colorscale": [[0, MISS], [1, MISS]],
                       "hovertemplate": "tt %{x} s, alpha %{y}°<br>missed the target<extra></extra>"})
    return traces, _best(mass, ok), (tt, alpha, mass)


def sweep_figure(sweep, title):
    """A sweep of ascent-sweep: a heat map over both answers, or a curve when one is fixed."""
    tt, alpha, mass, ok = (column(sweep, "tt"), column(sweep, "alpha"), column(sweep, "SC_M"),
                           reached(sweep))
    layout = _layout(title, 620, coloraxis={"colorscale": "Viridis",
                                            "colorbar": {"title": {"text": "SC_M (kg)"}}})
    if len(np.unique(tt)) > 1 and len(np.unique(alpha)) > 1:
        data, best, _ = _sweep_traces(sweep, "coloraxis")
        layout["xaxis"] = _axis("turn time tt (s)")
        layout["yaxis"] = _axis("angle-of-attack limit alpha (°)")
        if best is not None:
            data.append(_ring(tt[best], alpha[best], mass[best]))
        return {"data": data, "layout": layout, "height": 620}
    # One answer varies: SC_M against it, each miss a grey stripe (it has no mass to draw).
    x, name = (tt, "turn time tt (s)") if len(np.unique(tt)) > 1 else (alpha, "angle-of-attack limit alpha (°)")
    order = np.argsort(x, kind="stable")
    x, mass, ok = x[order], mass[order], ok[order]
    shown = np.where(ok, mass, np.nan)
    data = [{"type": "scatter", "mode": "lines+markers", "x": numbers(x), "y": numbers(shown),
             "name": "SC_M", "line": {"color": COLOURS[0]}, "marker": {"size": 4},
             "hovertemplate": "%{x}<br>SC_M %{y:.0f} kg<extra></extra>"}]
    step = np.min(np.diff(np.unique(x))) if len(np.unique(x)) > 1 else 1.0
    layout["shapes"] = [{"type": "rect", "xref": "x", "yref": "paper", "x0": v - step / 2,
                         "x1": v + step / 2, "y0": 0, "y1": 1, "fillcolor": MISS, "opacity": 0.35,
                         "line": {"width": 0}, "layer": "below"} for v in x[~ok]]
    if (~ok).any():
        data.append({"type": "scatter", "mode": "markers", "x": numbers(x[~ok]),
                     "y": [None] * int((~ok).sum()), "name": "missed the target (grey)",
                     "marker": {"color": MISS, "symbol": "square"}, "hoverinfo": "skip"})
    best = _best(mass, ok)
    if best is not None:
        data.append(_ring(x[best], mass[best], mass[best]))
    layout["xaxis"] = _axis(name)
    layout["yaxis"] = _axis("spacecraft mass SC_M (kg)")
    return {"data": data, "layout": layout, "height": 620}


def _ring(x, y, mass, text="best"):
    return {"type": "scatter", "mode": "markers+text", "x": numbers([x]), "y": numbers([y]),
            "text": [f"{text}: {mass:.0f} kg"], "textposition": "top center", "name": text,
            "marker": {"size": 18, "symbol": "circle-open", "color": "black",
                       "line": {"width": 2.5}},
            "hovertemplate": f"{text}<br>%{{x}}, %{{y}}<br>SC_M {mass:.0f} kg<extra></extra>"}


def optimiser_figure(flights, title, sweep=None):
    """The flights of ascent-optimize in the order flown, over turn time and angle limit.

    A thin line joins them in order (the search's path); each is coloured by
    SC_M, a miss grey; the best is ringed. With a sweep, its heat map lies
    under them on the same colour scale.
    """
    tt, alpha, mass, ok = (column(flights, "tt"), column(flights, "alpha"),
                           column(flights, "SC_M"), reached(flights))
    number = np.arange(1, len(tt) + 1)
    layout = _layout(title, 620, coloraxis={"colorscale": "Viridis",
                                            "colorbar": {"title": {"text": "SC_M (kg)"}}})
    data = []
    if sweep is not None:
        data += _sweep_traces(sweep, "coloraxis")[0]
    free = [c for c in flights if c not in _SUMMARY and c != "flight"]
    extra = [[f"{c} {v}" for c in free for v in [flights[c][k]]] for k in range(len(tt))]
    hover = ["<br>".join([f"flight {number[k]}", f"SC_M {mass[k]:.0f} kg" if ok[k] else
                          "missed the target"] + extra[k]) for k in range(len(tt))]
    data.append({"type": "scatter", "mode": "lines", "x": numbers(tt), "y": numbers(alpha),
                 "name": "path (order flown)", "line": {"color": "#555", "width": 0.8},
                 "hoverinfo": "skip"})
    for sel, name, marker in ((ok, "reached", {"color": numbers(mass[ok]), "coloraxis": "coloraxis"}),
                              (~ok, "missed", {"color": MISS})):
        if sel.any():
            data.append({"type": "scatter", "mode": "markers", "x": numbers(tt[sel]),
                         "y": numbers(alpha[sel]), "name": name,
                         "text": [h for h, s in zip(hover, sel) if s],
                         "marker": {"size": 9, "line": {"color": "black", "width": 1}, **marker},
                         "hovertemplate": "%{text}<br>tt %{x} s, alpha %{y}°<extra></extra>"})
    best = _best(mass, ok)
    if best is not None:
        data.append(_ring(tt[best], alpha[best], mass[best], f"best (flight {best + 1})"))
    layout["xaxis"] = _axis("turn time tt (s)")
    layout["yaxis"] = _axis("angle-of-attack limit alpha (°)")
    return {"data": data, "layout": layout, "height": 620}


_SUMMARY = ("tt", "alpha", "tt_recommended", "hp_core_km", "ha_core_km", "core_propellant_left_kg",
            "s3_propellant_used_kg", "hp_final_km", "ha_final_km", "S3_Mi", "S3_Mp", "S3_Ms", "SC_M",
            "S3_Mt", "max_q_Pa", "max_accel_ms2", "reached", "status")


# ---------------------------------------------------------------- dispersion studies


def histogram(values, ok, bins=60):
    """Bin edges and the counts of the runs that reached the target and of those that missed."""
    finite = np.isfinite(values)
    if not finite.any():
        return np.array([0.0, 1.0]), np.zeros(1, int), np.zeros(1, int)
    lo, hi = values[finite].min(), values[finite].max()
    if hi <= lo:
        lo, hi = lo - 0.5, hi + 0.5
    edges = np.linspace(lo, hi, bins + 1)
    return (edges, np.histogram(values[finite & ok], edges)[0],
            np.histogram(values[finite & ~ok], edges)[0])


def mc_figures(runs, title, sensitivity=None, target_km=398.6, tolerance_km=10.0):
    """A dispersion study of ascent-mc: histograms, the perigee-apogee plane, the tornado."""
    ok = reached(runs)
    n = len(ok)
    figures = []
    # Histograms of SC_M, perigee and apogee: three panels side by side, misses stacked grey.
    data = []
    layout = _layout(f"{title}: {n} runs, {int(ok.sum())} reached the target", 420,
                     barmode="stack", bargap=0.02, hovermode="closest")
    for p, (name, label) in enumerate((("SC_M", "SC_M (kg)"), ("hp_final_km", "perigee (km)"),
                                       ("ha_final_km", "apogee (km)"))):
        edges, good, bad = histogram(column(runs, name), ok)
        mid, width = (edges[1:] + edges[:-1]) / 2, np.diff(edges)
        suffix = "" if p == 0 else str(p + 1)
        for counts, what, colour in ((good, "reached", COLOURS[0]), (bad, "missed", MISS)):
            data.append({"type": "bar", "x": numbers(mid), "y": counts.tolist(),
                         "width": numbers(width), "name": what, "legendgroup": what,
                         "showlegend": p == 0, "marker": {"color": colour},
                         "xaxis": "x" + suffix, "yaxis": "y" + suffix,
                         "customdata": [[float(f"{a:.7g}"), float(f"{b:.7g}")]
                                        for a, b in zip(edges[:-1], edges[1:])],
                         "hovertemplate": f"{label} %{{customdata[0]}} to %{{customdata[1]}}"
                                          f"<br>%{{y}} runs {what}<extra></extra>"})
        layout["xaxis" + suffix] = _axis(label, domain=[p / 3 + 0.03, (p + 1) / 3 - 0.03],
                                         anchor="y" + suffix)
        layout["yaxis" + suffix] = _axis("runs" if p == 0 else "", anchor="x" + suffix)
    figures.append({"data": data, "layout": layout, "height": 420})

    # The perigee-apogee plane with the target box.
    hp, ha = column(runs, "hp_final_km"), column(runs, "ha_final_km")
    hover = [f"run {k + 1}" for k in range(n)]
    data = []
    box = (target_km - tolerance_km, target_km + tolerance_km)
    inside = (np.abs(hp - target_km) <= tolerance_km) & (np.abs(ha - target_km) <= tolerance_km)
    if n > SCATTER_POINTS:
        finite = np.isfinite(hp) & np.isfinite(ha)
        counts, xe, ye = np.histogram2d(hp[finite], ha[finite], bins=120)
        counts = np.where(counts > 0, counts, np.nan)
        data.append({"type": "heatmap", "x": numbers((xe[1:] + xe[:-1]) / 2),
                     "y": numbers((ye[1:] + ye[:-1]) / 2), "z": [numbers(r) for r in counts.T],
                     "colorscale": [[0, "#deebf7"], [1, "#08306b"]], "name": "runs a cell",
                     "colorbar": {"title": {"text": "runs"}},
                     "hovertemplate": "perigee %{x} km<br>apogee %{y} km<br>%{z} runs<extra></extra>"})
        show = ~inside
        if show.sum() > SCATTER_POINTS:
            show = np.zeros(n, bool)
    else:
        show = np.ones(n, bool)
    for sel, name, colour in ((show & ok, "reached", COLOURS[0]), (show & ~ok, "missed", MISS)):
        if sel.any():
            data.append({"type": "scatter", "mode": "markers", "x": numbers(hp[sel]),
                         "y": numbers(ha[sel]), "name": name,
                         "text": [h for h, s in zip(hover, sel) if s],
                         "marker": {"color": colour, "size": 4, "opacity": 0.7},
                         "hovertemplate": "%{text}<br>perigee %{x} km<br>apogee %{y} km"
                                          "<extra></extra>"})
    layout = _layout("final orbit: perigee and apogee, the target box dashed", 560,
                     hovermode="closest",
                     shapes=[{"type": "rect", "xref": "x", "yref": "y", "x0": box[0], "x1": box[1], "y0": box[0], "y1": box[1],
                              "line": {"color": "black", "dash": "dash", "width": 1.5}}])
    layout["xaxis"] = _axis("perigee (km)")
    layout["yaxis"] = _axis("apogee (km)")
    figures.append({"data": data, "layout": layout, "height": 560})

    if sensitivity is not None:
        figures.append(tornado_figure(sensitivity))
    return figures


def tornado_figure(sens):
    """Each dispersed quantity's change of SC_M from the nominal flight at its low and high value.

    In the CSV's order, the first on top. An end that missed the target orbit
    or stopped carried no payload: no bar, a grey diamond at zero that says so.
    """
    keys = [str(k) for k in sens["key"]]
    rows = [k for k, name in enumerate(keys) if name != "nominal"]
    nominal = [k for k, name in enumerate(keys) if name == "nominal"]
    m0 = column(sens, "SC_M_low")[nominal[0]] if nominal else math.nan
    names = [keys[k] for k in rows]
    data = []
    marks_x, marks_y, marks_text = [], [], []
    for end, colour in (("low", "#4c72b0"), ("high", "#dd8452")):
        mass = column(sens, f"SC_M_{end}")[rows]
        ok = reached(sens, f"reached_{end}")[rows] if f"reached_{end}" in sens else np.ones(len(rows), bool)
        ok &= np.isfinite(mass)
        value = [str(sens[end][k]) for k in rows] if end in sens else [""] * len(rows)
        delta = np.where(ok, mass - m0, np.nan)
        data.append({"type": "bar", "orientation": "h", "y": names, "x": numbers(delta),
                     "name": f"at the {end} value", "marker": {"color": colour},
                     "customdata": value,
                     "hovertemplate": f"%{{y}} = %{{customdata}} ({end})<br>ΔSC_M %{{x:+.0f}} kg"
                                      "<extra></extra>"})
        for k, r in enumerate(rows):
            if not ok[k]:
                stopped = not math.isfinite(column(sens, f"SC_M_{end}")[r])
                marks_x.append(0)
                marks_y.append(names[k])
                marks_text.append(f"{end}: {'stopped' if stopped else 'miss'}")
    if marks_x:
        data.append({"type": "scatter", "mode": "markers+text", "x": marks_x, "y": marks_y,
                     "text": marks_text, "textposition": "middle right", "name": "no payload",
                     "marker": {"color": MISS, "symbol": "diamond", "size": 10},
                     "hovertemplate": "%{y}: %{text}<extra></extra>"})
    height = 160 + 28 * len(names)
    title = "sensitivity: change of SC_M at each quantity's low and high value"
    if math.isfinite(m0):
        title += f" (nominal {m0:.0f} kg)"
    layout = _layout(title, height, barmode="overlay", hovermode="closest",
                     margin={"l": 220, "r": 30, "t": 60, "b": 50})
    layout["xaxis"] = _axis("ΔSC_M (kg)", zeroline=True, zerolinecolor="#444")
    layout["yaxis"] = _axis("", autorange="reversed", type="category")
    return {"data": data, "layout": layout, "height": height}
