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

from .data import PlotError, drawn_ellipse, group_events, near_box, spread, track_reference, unwrap

#: The environment variable that names the library's file, overriding the default.
LIBRARY_ENV = "ASCENT_PLOTLY_JS"
#: Where tools/install_deps puts the library.
LIBRARY_DEFAULT = ("/usr/local/share/ascent/js/node_modules/plotly.js-cartesian-dist-min/"
                   "plotly-cartesian.min.js")
#: Exit code when the library is missing or unreadable (that of a picture that cannot be drawn).
EXIT_LIBRARY = 3

FLIGHT_BUCKETS = 2000
SCATTER_POINTS = 5000
DIGITS = 7

COLOURS = ("#1f77b4", "#d62728", "#2ca02c", "#9467bd", "#ff7f0e", "#17becf", "#8c564b",
           "#e377c2", "#bcbd22", "#7f7f7f")
MISS = "#a0a0a0"


def library_path():
    return os.environ.get(LIBRARY_ENV) or LIBRARY_DEFAULT


def load_library():
    """The library's text, or PlotError naming the file and how to install it."""
    path = library_path()
    try:
        with open(path, "rb") as f:
            text = f.read().decode("utf-8")
    except FileNotFoundError:
        raise PlotError(f"{path}: not found: the HTML report needs plotly.js "
                        f"(tools/install_deps installs it; {LIBRARY_ENV} names another copy)",
                        EXIT_LIBRARY) from None
    except (OSError, UnicodeDecodeError) as e:
        raise PlotError(f"{path}: cannot read the plotly.js library: "
                        f"{getattr(e, 'strerror', None) or e}", EXIT_LIBRARY) from None
    if "Plotly" not in text:
        raise PlotError(f"{path}: not the plotly.js library", EXIT_LIBRARY)
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


def page(title, figures, library):
    """The page's text: the title, a line on how to use it, one plot per figure (dicts of data,
    layout and height in pixels), with the library's text inlined."""
    # No "<" at all inside the script element ("</script" would end it, "<!--" can hide its
    # end): in JSON it can only be in a string, where \u003c reads back as the same character.
    blob = json.dumps(figures, separators=(",", ":"), allow_nan=False).replace("<", "\\u003c")
    lib = library.replace("</script", "<\\/script")
    esc = html.escape(title)
    divs = "\n".join(f'<div id="fig{i}" class="fig" style="height:{f["height"]}px"></div>'
                     for i, f in enumerate(figures))
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
<p class="note">Drag to zoom, double-click to zoom out; hover for values; click a legend entry
to hide or show it.</p>
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


def write_page(path, text, name=None):
    """Writes the page to path; a failure is told of `name` (default the path), the report's
    name when path is a temporary file that takes it once written."""
    try:
        with open(path, "w", encoding="utf-8") as f:
            f.write(text)
    except OSError as e:
        raise PlotError(f"{name or path}: cannot write the report: {e.strerror or e}") from None


def _layout(title, height, **extra):
    # Plotly reads a few tags in its texts: a name or title is shown as written.
    layout = {"title": {"text": html.escape(title), "x": 0.02}, "height": height,
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

#: The flight's four panels: the FlightData field, its title and unit.
PANELS = (("speed_kms", "inertial speed", "km/s"), ("alt_km", "altitude", "km"),
          ("accel", "thrust acceleration", "m/s²"), ("q_kpa", "dynamic pressure", "kPa"))
#: The fifth panel of a staged flight: the stack's mass, stage by stage.
MASS_PANEL = ("mass_t", "mass", "t")


def flight_figure(flights, axis):
    """The flights (FlightData) in four panels sharing one time axis, one colour a flight.

    The legend's entry of a flight hides or shows its curves and its events in
    every panel. Each event is a diamond on each curve with its name, time and
    value on hover. The time axis is never compressed here (the plot zooms):
    when the coast would be (axis.compressed), buttons zoom on the flight
    before and after it.
    """
    data = []
    panels = PANELS + ((MASS_PANEL,) if any(fl.mass_t is not None for fl in flights) else ())
    n = len(panels)
    events = any(fl.events for fl in flights)
    band = LABEL_BAND + (LABEL_SUFFIX if len(flights) > 1 else 0) if events else 0  # px
    if events and len(panels) > len(PANELS):
        # A staged flight's events carry their stage's name ("second stage: ignition at
        # apogee"): the band is as tall as the longest label written upwards.
        longest = max(len(e.label) for fl in flights for e in fl.events)
        band = max(band, int(LABEL_FONT * 0.65 * longest) + 30 + (LABEL_SUFFIX if len(flights) > 1 else 0))
    layout = _layout("", 250 * n + 110 + band, hovermode="x", showlegend=True)
    layout["margin"]["t"] = 70 + 24 * len(flights)
    area = layout["height"] - layout["margin"]["t"] - layout["margin"]["b"]  # px
    top0 = 1 - band / area  # the panels' top; the event labels above it
    gap = 0.035 * top0
    h = (top0 - gap * (n - 1)) / n
    layout["legend"].update({"orientation": "v", "x": 1, "xanchor": "right"})
    for p, (_, name, unit) in enumerate(panels):
        top = top0 - p * (h + gap)
        suffix = "" if p == 0 else str(p + 1)
        layout["yaxis" + suffix] = _axis(f"{name} ({unit})", domain=[top - h, top],
                                         anchor="x" + suffix)
        layout["xaxis" + suffix] = _axis("time (s)" if p == n - 1 else "", anchor="y" + suffix,
                                         showticklabels=p == n - 1)
        if p:
            layout["xaxis" + suffix]["matches"] = "x"
    for f, fl in enumerate(flights):
        colour = COLOURS[f % len(COLOURS)]
        t = np.asarray(fl.t, dtype=float)
        times = [e.t for e in fl.events]
        group = f"flight{f}"
        who = html.escape(fl.name)
        for p, (field, _, unit) in enumerate(panels):
            if getattr(fl, field) is None:
                continue
            y = np.asarray(getattr(fl, field), dtype=float)
            keep = decimate(t, y, keep_times=times)
            axes = {"xaxis": "x" if p == 0 else f"x{p + 1}", "yaxis": "y" if p == 0 else f"y{p + 1}"}
            data.append({"type": "scatter", "mode": "lines", "name": who, "legendgroup": group,
                         "showlegend": p == 0, "x": numbers(t[keep]), "y": numbers(y[keep]),
                         "line": {"color": colour, "width": 1.5},
                         "hovertemplate": f"t %{{x}} s: %{{y}} {unit}<extra>{who}</extra>", **axes})
            if times and len(t):
                data.append({"type": "scatter", "mode": "markers", "name": f"{who}: events",
                             "legendgroup": group, "showlegend": False, "x": numbers(times),
                             "y": numbers(np.interp(times, t, y)),
                             "text": [html.escape(e.label) for e in fl.events],
                             "marker": {"color": colour, "symbol": "diamond", "size": 8,
                                        "line": {"color": "black", "width": 0.8}},
                             "hovertemplate": f"<b>%{{text}}</b> at t %{{x}} s: %{{y}} {unit}"
                                              f"<extra>{who}</extra>", **axes})
    xmax = axis.xmax if axis is not None else max([float(f.t[-1]) for f in flights if len(f.t)] + [1.0])
    layout["shapes"], layout["annotations"] = event_labels(flights, xmax, top0)
    if axis is not None and axis.compressed:
        pad = 0.03 * axis.xmax
        ranges = (("whole flight", [0, axis.xmax]), ("before the coast", [0, axis.a + pad]),
                  ("after the coast", [axis.b - pad, axis.xmax]))
        auto = {f"yaxis{'' if p == 0 else p + 1}.autorange": True for p in range(n)}
        buttons = [{"label": "whole flight", "method": "relayout", "args": [{"xaxis.range": ranges[0][1], **auto}]}]
        # Plotly scales a value axis to all its data, wherever the time axis shows: each zoom
        # carries the ranges of what it shows, or the flight before the coast would be drawn
        # at the scale of the orbit after it.
        for lab, r in ranges[1:]:
            scaled = {f"yaxis{'' if p == 0 else p + 1}.range": value_range(flights, field, r)
                      for p, (field, _, _) in enumerate(panels)}
            buttons.append({"label": lab, "method": "relayout", "args": [{"xaxis.range": r, **scaled}]})
        layout["updatemenus"] = [{
            "type": "buttons", "direction": "right", "x": 0, "y": 1.0, "xanchor": "left",
            "yanchor": "bottom", "pad": {"b": 6}, "buttons": buttons}]
    return {"data": data, "layout": layout, "height": layout["height"]}


#: The room above the panels for the event labels, written up the page, px (and for the flights'
#: numbers after a label several flights do not share).
LABEL_BAND, LABEL_SUFFIX = 150, 40
#: The width of the time axis the labels are spread for, px: a page's plot at its narrowest
#: usual width; wider, they stand further apart.
LABEL_AXIS_PX = 900
LABEL_FONT = 11


def event_labels(flights, xmax, top):
    """The events named on the page: a dashed line through the panels at each event, and above
    the panels (paper height `top` up) its label written upwards, tied to it by a short leader.
    An event several flights share at one time has one label; labels are spread to stand a
    line's height apart at LABEL_AXIS_PX pixels for the axis [0, xmax], and stay apart zoomed
    in (their places are times). Returns (shapes, annotations) of the layout."""
    nfl = len(flights)
    shapes, notes = [], []
    for i, fl in enumerate(flights):
        colour = "#707070" if nfl == 1 else COLOURS[i % len(COLOURS)]
        for e in fl.events:
            shapes.append({"type": "line", "xref": "x", "yref": "paper", "x0": e.t, "x1": e.t, "y0": 0,
                           "y1": top, "line": {"color": colour, "width": 1, "dash": "dash"},
                           "layer": "below"})
    g = (LABEL_FONT * 1.5) * xmax / LABEL_AXIS_PX
    groups = group_events(flights, g)
    for (t, label, who), x in zip(groups, spread([t for t, _, _ in groups], g, xmax)):
        colour = "#202020"
        if nfl > 1 and len(who) < nfl:
            label += " (" + ", ".join(map(str, sorted(who))) + ")"
            if len(who) == 1:
                colour = COLOURS[(who[0] - 1) % len(COLOURS)]
        shapes.append({"type": "line", "xref": "x", "yref": "paper", "x0": t, "x1": x, "y0": top,
                       "y1": top + 0.012, "line": {"color": "#505050", "width": 1}})
        notes.append({"xref": "x", "yref": "paper", "x": x, "y": top + 0.015, "text": html.escape(label),
                      "textangle": -90, "showarrow": False, "xanchor": "center", "yanchor": "bottom",
                      "font": {"size": LABEL_FONT, "color": colour}})
    return shapes, notes


def value_range(flights, field, window):
    """The range a value axis takes to show the flights' `field` inside the time window: their
    lowest to highest there, with a margin of 5 % each side (as Plotly gives its own ranges)."""
    lo, hi = math.inf, -math.inf
    for fl in flights:
        if getattr(fl, field) is None:
            continue
        t, y = np.asarray(fl.t, dtype=float), np.asarray(getattr(fl, field), dtype=float)
        inside = y[(t >= window[0]) & (t <= window[1]) & np.isfinite(y)]
        if len(inside):
            lo, hi = min(lo, float(inside.min())), max(hi, float(inside.max()))
    if lo > hi:
        return [0, 1]
    pad = 0.05 * (hi - lo) if hi > lo else 0.5
    return numbers([lo - pad, hi + pad])


# ---------------------------------------------------------------- studies


def _ring(x, y, text):
    return {"type": "scatter", "mode": "markers+text", "x": numbers([x]), "y": numbers([y]),
            "text": [text], "textposition": "top center", "name": text, "cliponaxis": False,
            "marker": {"size": 18, "symbol": "circle-open", "color": "black", "line": {"width": 2.5}},
            "hovertemplate": f"{html.escape(text)}<br>%{{x}}, %{{y}}<extra></extra>"}


_COLORAXIS = {"colorscale": "Viridis", "colorbar": {"title": {"text": "SC_M (kg)"}}}
_TT, _ALPHA = "turn time tt (s)", "angle limit alpha (°)"


def _grid(sd):
    """The sweep's heat map (its misses a grey heat map of their own) over both answers."""
    xs, ys = sd.tt_values, sd.alpha_values
    ix, iy = np.searchsorted(xs, sd.tt), np.searchsorted(ys, sd.alpha)
    z = np.full((len(ys), len(xs)), np.nan)
    miss = np.full_like(z, np.nan)
    z[iy[sd.ok], ix[sd.ok]] = sd.sc[sd.ok]
    miss[iy[~sd.ok], ix[~sd.ok]] = 0
    traces = [{"type": "heatmap", "x": numbers(xs), "y": numbers(ys), "z": [numbers(r) for r in z],
               "coloraxis": "coloraxis", "name": "sweep",
               "hovertemplate": "tt %{x} s, alpha %{y}°<br>SC_M %{z:.0f} kg<extra>sweep</extra>"}]
    if (~sd.ok).any():
        traces.append({"type": "heatmap", "x": numbers(xs), "y": numbers(ys),
                       "z": [numbers(r) for r in miss], "showscale": False, "name": "missed",
                       "colorscale": [[0, MISS], [1, MISS]],
                       "hovertemplate": "tt %{x} s, alpha %{y}°<br>missed the target<extra></extra>"})
    return traces


def sweep_figure(sd, title):
    """An ascent-sweep study (SweepData): a heat map over both answers, or SC_M along one."""
    if sd.is_grid:
        layout = _layout(title or "Spacecraft mass over turn time and angle limit", 620,
                         coloraxis=_COLORAXIS)
        data = _grid(sd) + [_ring(sd.best[0], sd.best[1], f"best: {sd.best[2]:.0f} kg")]
        layout["xaxis"], layout["yaxis"] = _axis(_TT), _axis(_ALPHA)
        return {"data": data, "layout": layout, "height": 620}
    along = sd.curve_x
    x = sd.alpha if along == "alpha" else sd.tt
    order = np.argsort(x, kind="stable")
    x, sc, ok = x[order], sd.sc[order], sd.ok[order]
    fixed = (f"turn time {sd.tt[0]:g} s" if along == "alpha" and not sd.iterated
             else f"angle limit {sd.alpha[0]:g}°" if along == "tt" else "converged turn time")
    layout = _layout(title or f"Spacecraft mass, {fixed}", 560, hovermode="x")
    data = [{"type": "scatter", "mode": "lines+markers", "x": numbers(x), "y": numbers(sc),
             "name": "SC_M", "line": {"color": COLOURS[0]}, "marker": {"size": 5},
             "hovertemplate": "%{x}: SC_M %{y:.0f} kg<extra></extra>"}]
    if sd.iterated:
        data.append({"type": "scatter", "mode": "lines", "x": numbers(x), "y": numbers(sd.tt[order]),
                     "yaxis": "y2", "name": "converged turn time", "line": {"color": COLOURS[1],
                                                                          "dash": "dot"},
                     "hovertemplate": "%{x}: tt %{y} s<extra></extra>"})
        layout["yaxis2"] = _axis(_TT, overlaying="y", side="right", showgrid=False)
    # A miss has no mass to draw: a grey stripe over the whole height at its place.
    step = min(sd.steps[0 if along == "tt" else 1] or 1.0, 1e300)
    layout["shapes"] = [{"type": "rect", "xref": "x", "yref": "paper", "x0": v - step / 2,
                         "x1": v + step / 2, "y0": 0, "y1": 1, "fillcolor": MISS, "opacity": 0.4,
                         "line": {"width": 0}, "layer": "below"} for v in x[~ok]]
    bx = sd.best[1] if along == "alpha" else sd.best[0]
    data.append(_ring(bx, sd.best[2], f"best: {sd.best[2]:.0f} kg"))
    layout["xaxis"] = _axis(_ALPHA if along == "alpha" else _TT)
    layout["yaxis"] = _axis("spacecraft mass SC_M (kg)")
    return {"data": data, "layout": layout, "height": 560}


def opt_figure(od, title):
    """The flights of ascent-optimize (OptData) in the order flown, over turn time and angle limit.

    A thin line joins them in order (the search's path); each point is
    coloured by SC_M, a miss grey; the best is ringed. With a sweep, its heat
    map lies under them on the same colour scale.
    """
    layout = _layout(title or f"Optimisation: {len(od.tt)} flights over turn time and angle limit",
                     620, coloraxis=_COLORAXIS, hovermode="closest")
    data = _grid(od.sweep) if od.sweep is not None else []
    number = np.arange(1, len(od.tt) + 1)
    data.append({"type": "scatter", "mode": "lines", "x": numbers(od.tt), "y": numbers(od.alpha),
                 "name": "path (order flown)", "line": {"color": "#444", "width": 0.8},
                 "hoverinfo": "skip"})
    for sel, name, marker, what in (
            (od.reached, "reached", {"color": numbers(od.sc[od.reached]), "coloraxis": "coloraxis"},
             "SC_M %{marker.color:.0f} kg"),
            (~od.reached, "missed", {"color": MISS}, "missed the target")):
        if sel.any():
            data.append({"type": "scatter", "mode": "markers", "x": numbers(od.tt[sel]),
                         "y": numbers(od.alpha[sel]), "name": name, "customdata": number[sel].tolist(),
                         "marker": {"size": 9, "line": {"color": "black", "width": 1}, **marker},
                         "hovertemplate": f"flight %{{customdata}}: {what}"
                                          "<br>tt %{x} s, alpha %{y}°<extra></extra>"})
    if od.best is not None:
        data.append(_ring(od.tt[od.best], od.alpha[od.best],
                          f"best: flight {od.best + 1}, {od.sc[od.best]:.0f} kg"))
    layout["xaxis"], layout["yaxis"] = _axis(_TT), _axis(_ALPHA)
    return {"data": data, "layout": layout, "height": 620}


# ---------------------------------------------------------------- dispersion studies


def mc_figures(mc, title):
    """A dispersion study of ascent-mc (McData): histograms, the perigee-apogee plane, the tornado."""
    figures = []
    # SC_M, perigee and apogee side by side, the misses stacked in grey.
    data = []
    layout = _layout(title or f"Monte Carlo study: {mc.runs} runs, {mc.reached} reached the target",
                     420, barmode="stack", bargap=0.03, hovermode="closest")
    panels = ((mc.hist_sc, "SC_M (kg)"), (mc.hist_hp, "final perigee (km)"),
              (mc.hist_ha, "final apogee (km)"))
    for p, (hist, label) in enumerate(panels):
        suffix = "" if p == 0 else str(p + 1)
        layout["xaxis" + suffix] = _axis(label, domain=[p / 3 + 0.04, (p + 1) / 3 - 0.02],
                                         anchor="y" + suffix)
        layout["yaxis" + suffix] = _axis("runs" if p == 0 else "", anchor="x" + suffix)
        if hist is None:
            continue
        lo = hist.centres - hist.width / 2
        for counts, what, colour in ((hist.reached, "reached", COLOURS[0]), (hist.missed, "missed", MISS)):
            data.append({"type": "bar", "x": numbers(hist.centres), "y": np.asarray(counts).tolist(),
                         "width": float(f"{hist.width:.7g}"), "name": what, "legendgroup": what,
                         "showlegend": p == 0, "marker": {"color": colour},
                         "customdata": [[a, b] for a, b in zip(numbers(lo), numbers(lo + hist.width))],
                         "xaxis": "x" + suffix, "yaxis": "y" + suffix,
                         "hovertemplate": f"{label} %{{customdata[0]}} to %{{customdata[1]}}"
                                          f"<br>%{{y}} runs {what}<extra></extra>"})
    figures.append({"data": data, "layout": layout, "height": 420})
    figures.append(_orbit_figure(mc))
    if mc.sensitivities:
        figures.append(tornado_figure(mc))
    return figures


def _orbit_figure(mc):
    """Perigee against apogee, one point a run, the target box dashed; for a large study a heat map
    of counts with the runs outside the box as points."""
    lo, hi = mc.target - mc.tolerance, mc.target + mc.tolerance
    hp, ha, ok = np.asarray(mc.hp), np.asarray(mc.ha), np.asarray(mc.orbit_reached, bool)
    data = []
    show = np.ones(len(hp), bool)
    if len(hp) > SCATTER_POINTS:
        xe = np.linspace(mc.xrange[0], mc.xrange[1], 121)
        ye = np.linspace(mc.yrange[0], mc.yrange[1], 121)
        counts = np.histogram2d(hp, ha, bins=(xe, ye))[0].T
        # Coloured by the count's logarithm: a study piles most runs into a few cells, and a
        # linear scale would leave the rest, the ones worth looking at, all but white.
        top = max(1.0, counts.max())
        ticks = [10 ** k for k in range(int(math.log10(top)) + 1)]
        data.append({"type": "heatmap", "x": numbers((xe[1:] + xe[:-1]) / 2),
                     "y": numbers((ye[1:] + ye[:-1]) / 2),
                     "z": [numbers(np.log10(np.where(r > 0, r, np.nan)), 4) for r in counts],
                     "customdata": [[int(c) for c in r] for r in counts], "zmin": 0,
                     "zmax": math.log10(top) if top > 1 else 1,
                     "colorscale": [[0, "#c6dbef"], [1, "#08306b"]], "name": "runs a cell",
                     "colorbar": {"title": {"text": "runs"}, "tickvals": [math.log10(v) for v in ticks],
                                  "ticktext": [str(v) for v in ticks]},
                     "hovertemplate": "perigee %{x} km, apogee %{y} km<br>%{customdata} runs"
                                      "<extra></extra>"})
        show = ~((hp >= lo) & (hp <= hi) & (ha >= lo) & (ha <= hi))
        if show.sum() > SCATTER_POINTS:
            show[:] = False
    for sel, name, colour in ((show & ok, "reached", COLOURS[0]), (show & ~ok, "missed", MISS)):
        if sel.any():
            data.append({"type": "scatter", "mode": "markers", "x": numbers(hp[sel]),
                         "y": numbers(ha[sel]), "name": name,
                         "marker": {"color": colour, "size": 4, "opacity": 0.75},
                         "hovertemplate": "perigee %{x} km, apogee %{y} km<extra></extra>"})
    layout = _layout(f"Final orbit: perigee and apogee, the target box {mc.target:g} ± {mc.tolerance:g} km "
                     "dashed", 560, hovermode="closest",
                     shapes=[{"type": "rect", "xref": "x", "yref": "y", "x0": lo, "x1": hi, "y0": lo,
                              "y1": hi, "line": {"color": "black", "dash": "dash", "width": 1.5}}])
    layout["xaxis"] = _axis("final perigee (km)", range=list(mc.xrange))
    layout["yaxis"] = _axis("final apogee (km)", range=list(mc.yrange))
    return {"data": data, "layout": layout, "height": 560}


def tornado_figure(mc):
    """Each dispersed quantity's change of SC_M from the nominal flight at its low and high value.

    In the CSV's order, the first on top. An end that missed the target orbit
    or stopped carried no payload: no bar, a grey diamond at zero that says so.
    """
    names = [html.escape(s.key) for s in mc.sensitivities]
    data = []
    marks = []
    for end, colour in (("low", "#4c72b0"), ("high", "#dd8452")):
        delta = [getattr(s, end) for s in mc.sensitivities]
        data.append({"type": "bar", "orientation": "h", "y": names,
                     "x": [None if d is None else float(f"{d:.7g}") for d in delta],
                     "name": f"at the {end} value", "marker": {"color": colour},
                     "hovertemplate": f"%{{y}} at its {end} value: ΔSC_M %{{x:+.0f}} kg<extra></extra>"})
    # One mark a quantity, naming each end without a payload.
    for s_ in mc.sensitivities:
        said = [f"{end}: {getattr(s_, 'fate_' + end)}" for end in ("low", "high")
                if getattr(s_, end) is None]
        if said:
            marks.append((html.escape(s_.key), ", ".join(said)))
    if marks:
        data.append({"type": "scatter", "mode": "markers+text", "x": [0] * len(marks),
                     "y": [m[0] for m in marks], "text": [m[1] for m in marks],
                     "textposition": "middle right", "name": "no payload (miss or stopped)",
                     "marker": {"color": MISS, "symbol": "diamond", "size": 11},
                     "hovertemplate": "%{y}: %{text}<extra></extra>"})
    height = 170 + 30 * len(names)
    layout = _layout(f"Sensitivity: change of SC_M from the nominal {mc.nominal:.0f} kg at each "
                     "quantity's low and high value", height, barmode="overlay", hovermode="closest")
    layout["margin"]["l"] = 30 + 7 * max(len(n) for n in names)
    layout["xaxis"] = _axis("ΔSC_M (kg)", zeroline=True, zerolinecolor="#444")
    layout["yaxis"] = _axis("", autorange="reversed", type="category")
    return {"data": data, "layout": layout, "height": height}


# ---------------------------------------------------------------- ground track and impact points

PART_COLOURS = ("#d62728", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b", "#17becf")


def track_figure(td, title):
    """Longitude against latitude (TrackData), a degree of latitude as long on the page as the
    same distance east: the flights' ground tracks, their instantaneous impact points, the dropped
    parts' falls, and a dispersion study's points and 3-sigma ellipses."""
    ref, lat_mid = track_reference(td)
    data = []
    parts = {}
    for f in td.footprints:
        parts.setdefault(f.part, PART_COLOURS[len(parts) % len(PART_COLOURS)])
    for t in td.tracks:
        for p in t.parts:
            parts.setdefault(p.part, PART_COLOURS[len(parts) % len(PART_COLOURS)])
    where = "%{y:.4f}°, %{x:.4f}°"
    for i, t in enumerate(td.tracks):
        c = COLOURS[i % len(COLOURS)]
        name = html.escape(t.name)
        data.append({"type": "scatter", "mode": "lines", "x": numbers(unwrap(t.lon, ref)), "y": numbers(t.lat),
                     "name": f"{name}: ground track", "line": {"color": c, "width": 2.5},
                     "hovertemplate": f"{name}<br>{where}<extra></extra>"})
        if len(t.iip_lat):
            data.append({"type": "scatter", "mode": "lines+markers", "x": numbers(unwrap(t.iip_lon, ref)),
                         "y": numbers(t.iip_lat), "name": f"{name}: instantaneous impact point",
                         "line": {"color": c, "width": 1, "dash": "dash"}, "marker": {"color": c, "size": 4},
                         "hovertemplate": f"instantaneous impact point<br>{where}<extra></extra>"})
        down = [p for p in t.parts if p.impact is not None]
        if down:
            data.append({"type": "scatter", "mode": "markers+text",
                         "x": numbers(unwrap([p.impact[1] for p in down], ref)), "y": numbers([p.impact[0] for p in down]),
                         "text": [html.escape(p.part) for p in down], "textposition": "top right",
                         "name": f"{name}: dropped parts",
                         "marker": {"symbol": "x", "size": 11, "color": [parts[p.part] for p in down],
                                    "line": {"color": "black", "width": 1}},
                         "hovertemplate": "%{text} comes down at " + where + "<extra></extra>"})
    for f in td.footprints:
        pc = parts[f.part]
        part = html.escape(f.part)
        # A large study's points are thinned to SCATTER_POINTS a part, evenly over the runs: the
        # ellipse is of them all.
        every = max(1, -(-len(f.lat) // SCATTER_POINTS))
        shown = "" if every == 1 else f", every {every}th drawn"
        data.append({"type": "scatter", "mode": "markers",
                     "x": numbers(unwrap(f.lon[::every], ref)), "y": numbers(f.lat[::every]),
                     "name": f"{part}: {len(f.lat)} of {f.released} runs down{shown}",
                     "marker": {"color": pc, "size": 3, "opacity": 0.5},
                     "hovertemplate": f"{part}<br>{where}<extra></extra>"})
        if drawn_ellipse(f):
            data.append({"type": "scatter", "mode": "lines", "x": numbers(unwrap(f.ellipse[1], ref)),
                         "y": numbers(f.ellipse[0]), "line": {"color": pc, "width": 2},
                         "name": f"{part}: 3-sigma ellipse {f.semi_major / 1000:.1f} x {f.semi_minor / 1000:.1f} km",
                         "hoverinfo": "name"})
    layout = _layout(title or "Ground track and impact points", 700, hovermode="closest")
    layout["legend"] = {"orientation": "v", "x": 1.01, "y": 1}
    layout["xaxis"] = _axis("longitude (deg, east)")
    layout["yaxis"] = _axis("latitude (deg, geodetic)", scaleanchor="x",
                            scaleratio=1 / max(math.cos(math.radians(lat_mid)), 0.05))
    near = near_box(td, ref)
    if near:
        # The points of a part that may come down anywhere along an orbit spread the map over the
        # globe: a button zooms on the flight, another back out.
        layout["updatemenus"] = [{"type": "buttons", "direction": "right", "x": 0, "xanchor": "left", "y": 1.02,
                                  "yanchor": "bottom", "buttons": [
                                      {"label": "near the flight", "method": "relayout",
                                       "args": [{"xaxis.range": list(near[0]), "yaxis.range": list(near[1])}]},
                                      {"label": "whole map", "method": "relayout",
                                       "args": [{"xaxis.autorange": True, "yaxis.autorange": True}]}]}]
    return {"data": data, "layout": layout, "height": 700}


# ---------------------------------------------------------------- the report


def figures(kind, payload, title):
    """(page title, figures) of a picture of the given kind, as ascent-plot's loaders give it."""
    if kind == "flight":  # a FlightSet
        return title or "Ascent flight", [flight_figure(payload.flights, payload.axis)]
    if kind == "sweep":
        fig = sweep_figure(payload, title)
    elif kind == "opt":
        fig = opt_figure(payload, title)
    elif kind == "track":
        fig = track_figure(payload, title)
    elif kind == "mc":
        figs = mc_figures(payload, title)
        return html.unescape(figs[0]["layout"]["title"]["text"]), figs
    else:
        raise ValueError(f"no HTML report of the kind {kind!r}")
    return html.unescape(fig["layout"]["title"]["text"]), [fig]


def write_report(path, kind, payload, title=None, name=None):
    """Writes the interactive report of `payload` (the loaders' data of `kind`: a FlightSet for
    "flight", a SweepData, OptData or McData for "sweep", "opt" or "mc") to `path` as one HTML
    file; PlotError when the library or the file fails (naming `name`, default the path)."""
    library = load_library()
    head, figs = figures(kind, payload, title)
    # The page's heading names the picture; a single figure's own title would repeat it.
    if len(figs) == 1 or kind == "mc":
        figs[0]["layout"]["title"] = {"text": ""}
        figs[0]["layout"]["margin"]["t"] = max(figs[0]["layout"]["margin"]["t"], 50)
    write_page(path, page(head, figs, library=library), name)
