"""ascent-plot's pictures drawn with matplotlib (Agg): PNG, SVG or PDF of the data of data.py."""

from __future__ import annotations

import math

import matplotlib

matplotlib.use("Agg")

import numpy as np  # noqa: E402
from matplotlib.figure import Figure  # noqa: E402
from matplotlib.lines import Line2D  # noqa: E402
from matplotlib.patches import Patch, Rectangle  # noqa: E402
from matplotlib.transforms import blended_transform_factory  # noqa: E402

from . import data as D  # noqa: E402

# The flight colours, in order; the eleventh and later flights reuse them.
COLOURS = ("#1f4e9c", "#d62728", "#2a9d3a", "#ff7f0e", "#8e44ad", "#8c564b", "#e377c2", "#17becf", "#7f7f7f",
           "#bcbd22")
GRID = "#e4e4e4"
#: The most runs drawn as points on a dispersion study's orbit plane; beyond, a map of counts.
SCATTER_POINTS = 100_000
CMAP = "viridis"


def _plain(text):
    """A name or title drawn as written: matplotlib reads a text between two dollar signs as
    TeX (where "$\\frac$" stops the drawing); each dollar escaped is drawn as itself."""
    return text.replace("$", "\\$")


def _font_px(width):
    return min(max(width // 90, 9), 16)


def _pt(px):
    """A font size in points for one of px pixels at 100 dots per inch."""
    return px * 0.9


def draw(path, fmt, size, mode, payload, title):
    w, h = size
    rc = {"font.family": "DejaVu Sans", "svg.hashsalt": "ascent-plot", "axes.unicode_minus": True,
          "text.usetex": False}
    with matplotlib.rc_context(rc):
        fig = Figure(figsize=(w / 100, h / 100), dpi=100, facecolor="white")
        {"flight": _flights, "sweep": _sweep, "opt": _opt, "mc": _mc, "control": _control,
         "track": _track}[mode](fig, w, h, payload, title)
        # No date in SVG and PDF: the same input draws the same bytes.
        meta = {"Date": None} if fmt in ("svg", "pdf") else {"Software": None}
        if fmt == "pdf":
            meta["CreationDate"] = None
            del meta["Date"]
        fig.savefig(path, format=fmt, dpi=100, metadata=meta, facecolor="white")


# ------------------------------------------------------------------ flights


def _flights(fig, w, h, payload, title):
    flights, axis = payload.flights, payload.axis
    nfl = len(flights)
    fs = _font_px(w)
    lfs = fs - 1
    left, right, bottom, title_px = fs * 9, fs * 2, fs * 5, fs * 5
    nev = sum(len(f.events) for f in flights)
    band = (lfs * 18 if nfl > 1 else lfs * 15) if nev else fs
    if nev and any(f.mass_t is not None for f in flights):
        # A staged flight's events carry their stage's name ("second stage: ignition at
        # apogee"): the band is as tall as the longest label written upwards (a character
        # about 0.65 of the font size), with its leader.
        longest = max(len(e.label) for f in flights for e in f.events) + (7 if nfl > 1 else 0)
        band = max(band, int(lfs * 0.65 * longest) + 2 * fs)
    key_px, key_cols, key_colw, key_rowh = 0, 1, 0, lfs * 17 // 10
    if nfl > 1:
        # A character of the legend is about 0.8 of the font size wide.
        key_colw = max(lfs * (30 + 8 * len(f.name) + 12) // 10 for f in flights)
        key_cols = min(max((w - left - right) // key_colw, 1), nfl)
        key_px = (nfl + key_cols - 1) // key_cols * key_rowh + fs // 2
    gap = fs
    panels = (("inertial speed (km/s)", "speed_kms"), ("altitude (km)", "alt_km"),
              ("thrust acceleration (m/s²)", "accel"), ("dynamic pressure (kPa)", "q_kpa"))
    if any(f.mass_t is not None for f in flights):
        panels += (("mass (t)", "mass_t"),)  # a staged flight's stack, stage by stage
    n = len(panels)
    panel = (h - title_px - key_px - band - bottom - (n - 1) * gap) // n
    if panel < 60:
        raise D.PlotError(f"--size {w}x{h} leaves no room for the {'four' if n == 4 else 'five'} panels",
                          D.EXIT_USAGE)
    top0 = h - title_px - key_px - band
    umax = axis.umax
    fig.text(0.5, 1 - title_px / 2 / h, _plain(title), ha="center", va="center", fontsize=_pt(fs + 4))

    ticks = axis.ticks()
    axes = []
    for p, (ylab, attr) in enumerate(panels):
        ptop = top0 - p * (panel + gap)
        ax = fig.add_axes([left / w, (ptop - panel) / h, (w - left - right) / w, panel / h])
        axes.append(ax)
        ax.set_xlim(0, umax)
        ax.set_xticks([float(axis.u(x)) for x, major in ticks if major])
        ax.set_xticks([float(axis.u(x)) for x, major in ticks if not major], minor=True)
        ax.set_xticklabels(["%g" % x for x, major in ticks if major] if p == n - 1 else [])
        ax.tick_params(labelsize=_pt(fs), top=True, which="both", direction="in")
        ax.tick_params(axis="y", right=False)
        ax.grid(True, color="#e8e8e8", lw=1)
        ax.set_axisbelow(True)
        fig.text(fs * 1.5 / w, (ptop - panel / 2) / h, ylab, rotation=90, ha="center", va="center",
                 fontsize=_pt(fs))
        if p == n - 1:
            ax.set_xlabel("time (s)", fontsize=_pt(fs))
        for i, f in enumerate(flights):
            if getattr(f, attr) is None:
                continue
            ax.plot(axis.u(f.t), getattr(f, attr), lw=1.6, color=COLOURS[i % 10], zorder=3)
            for e in f.events:
                ax.axvline(float(axis.u(e.t)), color="#707070" if nfl == 1 else COLOURS[i % 10],
                           lw=1.2, dashes=(5, 4), zorder=2)
        ax.margins(x=0, y=0.05)
        if axis.compressed:
            band_end = axis.a + (axis.b - axis.a) * axis.k
            ax.axvspan(axis.a, band_end, color="#ececec", zorder=1, lw=0)
            _axis_break(ax, (axis.a + band_end) / 2, fs, w - left - right, panel, umax)
            if attr == "accel":
                ax.text((axis.a + band_end) / 2, 0.55, f"coast\n{axis.coast:.0f} s\n(compressed)",
                        transform=blended_transform_factory(ax.transData, ax.transAxes), ha="center", va="center",
                        fontsize=_pt(lfs), color="#505050", zorder=4)

    # The legend of several flights has a strip of its own between the title and the event
    # labels, where it covers no curve.
    for i, f in enumerate(flights if nfl > 1 else []):
        kx = left + (i % key_cols) * key_colw
        ky = h - title_px - (i // key_cols) * key_rowh - key_rowh / 2
        fig.add_artist(Line2D([kx / w, (kx + lfs * 2.5) / w], [ky / h, ky / h], lw=2.5, color=COLOURS[i % 10]))
        fig.text((kx + lfs * 3) / w, ky / h, _plain(f.name), ha="left", va="center", fontsize=_pt(lfs))

    # Event labels above the top panel, spread so that neighbours do not touch, each tied to
    # its line by a short leader.
    plotw = w - left - right
    g = lfs * 1.5 * umax / plotw
    groups = D.group_events(flights, g, axis.u)
    pos = D.spread([t for t, _, _ in groups], g, umax)
    tr = blended_transform_factory(axes[0].transData, fig.transFigure)
    for (t, label, who), x in zip(groups, pos):
        colour = "#202020"
        if nfl > 1 and len(who) < nfl:
            label += " (" + ", ".join(map(str, sorted(who))) + ")"
            if len(who) == 1:
                colour = COLOURS[(who[0] - 1) % 10]
        fig.add_artist(Line2D([t, x], [(top0 + 2) / h, (top0 + fs) / h], transform=tr, lw=1, color="#505050"))
        fig.text(x, (top0 + fs + fs / 3) / h, _plain(label), transform=tr, rotation=90, ha="center", va="bottom",
                 fontsize=_pt(lfs), color=colour)


def _axis_break(ax, x, fs, plotw_px, panel_px, umax):
    """The usual pair of slanted strokes across the bottom and top axis at x, the axis blanked
    between them."""
    tr = blended_transform_factory(ax.transData, ax.transAxes)
    bw = (fs / 3 + 1) * umax / plotw_px
    bs = fs / 3 * umax / plotw_px
    bh = fs * 2 / 3 / panel_px
    for y in (0.0, 1.0):
        ax.add_patch(Rectangle((x - bw, y - bh / 2), 2 * bw, bh, transform=tr, color="white", zorder=5,
                               clip_on=False, lw=0))
        for xe in (x - bw, x + bw):
            ax.add_line(Line2D([xe - bs, xe + bs], [y - bh / 2, y + bh / 2], transform=tr, color="black",
                               lw=1.3, zorder=6, clip_on=False))


# ------------------------------------------------------------------ trade study


def _best_text(sd):
    tt, al, sc = sd.best
    return "best (ringed): SC_M = %.0f kg at turn time %g s, angle limit %g°" % (sc, tt, al)


def _edges(values):
    """Cell edges around sorted centres: half-way between neighbours, half a step at the ends."""
    v = np.asarray(values, dtype=float)
    if len(v) == 1:
        return np.array([v[0] - 0.5, v[0] + 0.5])
    mid = (v[1:] + v[:-1]) / 2
    return np.concatenate([[v[0] - (mid[0] - v[0])], mid, [v[-1] + (v[-1] - mid[-1])]])


def _heat(ax, sd, norm=None, missed_colour="#b0b0b0"):
    """The sweep's cells coloured by SC_M, the flights that missed grey; returns the mesh."""
    tv, av = sd.tt_values, sd.alpha_values
    grid = np.full((len(av), len(tv)), np.nan)
    miss = np.full((len(av), len(tv)), np.nan)
    it, ia = np.searchsorted(tv, sd.tt), np.searchsorted(av, sd.alpha)
    grid[ia[sd.ok], it[sd.ok]] = sd.sc[sd.ok]
    miss[ia[~sd.ok], it[~sd.ok]] = 1
    xe, ye = _edges(tv), _edges(av)
    mesh = ax.pcolormesh(xe, ye, np.ma.masked_invalid(grid), cmap=CMAP, norm=norm, shading="flat",
                         rasterized=False)
    if np.isfinite(miss).any():
        ax.pcolormesh(xe, ye, np.ma.masked_invalid(miss), cmap=matplotlib.colors.ListedColormap([missed_colour]),
                      shading="flat")
    return mesh


def _sweep(fig, w, h, sd, title):
    fs = _font_px(w)
    note = _best_text(sd)
    if sd.nfail:
        note += f"; {sd.nfail} of {sd.rows} flights missed their targets"
    tt, al, sc = sd.best
    if sd.is_grid:
        if sd.nfail:
            note += " (grey)"
        ax = fig.add_axes([fs * 7 / w, fs * 5 / h, 1 - fs * 20 / w, 1 - fs * 12 / h])
        mesh = _heat(ax, sd)
        cb = fig.colorbar(mesh, ax=ax, pad=0.02)
        cb.set_label("spacecraft mass SC_M (kg)", fontsize=_pt(fs))
        cb.ax.tick_params(labelsize=_pt(fs))
        ax.set_xlabel("turn time (s)", fontsize=_pt(fs))
        ax.set_ylabel("maximum angle of attack (°)", fontsize=_pt(fs))
        ax.plot([tt], [al], "o", ms=14, mfc="none", mec="white", mew=4.5, zorder=5)
        ax.plot([tt], [al], "o", ms=14, mfc="none", mec="black", mew=2.5, zorder=6)
        head = title or "Spacecraft mass over turn time and angle limit"
    else:
        x = sd.alpha if sd.curve_x == "alpha" else sd.tt
        if sd.curve_x == "alpha":
            xlab = "maximum angle of attack (°)"
            fixed = ("turn time converged per angle limit" if sd.iterated else "turn time %g s" % sd.tt[0])
            bx = al
        else:
            xlab = "turn time (s)"
            fixed = "angle limit %g°" % sd.alpha[0]
            bx = tt
        order = np.argsort(x, kind="stable")
        xs, ys = x[order], sd.sc[order]
        ax = fig.add_axes([fs * 7 / w, fs * (9 if sd.iterated else 5) / h, 1 - fs * (14 if sd.iterated else 9) / w,
                           1 - fs * (16 if sd.iterated else 12) / h])
        ax.plot(xs, ys, "-o", ms=4, lw=2, color="#1f4e9c", label="spacecraft mass", zorder=3)
        step = D._min_gap(x) or 1.0
        for x0, x1 in _stripes(xs[~sd.ok[order]], step):
            ax.axvspan(x0, x1, color="#dcdcdc", lw=0, zorder=1)
        if sd.nfail:
            note += " (grey stripes)"
        lo, hi = float(x.min()), float(x.max())
        pad = (hi - lo) * 0.03 if hi > lo else 0.5
        ax.set_xlim(lo - pad, hi + pad)
        ax.margins(y=0.08)
        ax.plot([bx], [sc], "o", ms=14, mfc="none", mec="#d62728", mew=2.5, zorder=5)
        ax.set_xlabel(xlab, fontsize=_pt(fs))
        ax.set_ylabel("spacecraft mass SC_M (kg)", fontsize=_pt(fs))
        ax.grid(True, color=GRID)
        ax.set_axisbelow(True)
        if sd.iterated:
            ax2 = ax.twinx()
            ax2.plot(xs, sd.tt[order], "--s", ms=4, lw=1.5, color="#2a9d3a", label="turn time", mfc="none")
            ax2.set_ylabel("converged turn time (s)", color="#2a9d3a", fontsize=_pt(fs))
            ax2.tick_params(axis="y", colors="#2a9d3a", labelsize=_pt(fs))
            handles = ax.get_lines()[:1] + ax2.get_lines()[:1]
            if sd.nfail:
                handles.append(Patch(color="#dcdcdc", label="missed the target orbit"))
            fig.legend(handles=handles, loc="lower center", ncol=len(handles), frameon=False, fontsize=_pt(fs))
        head = title or f"Spacecraft mass, {fixed}"
    ax.tick_params(labelsize=_pt(fs))
    fig.text(0.5, 1 - fs * 3.6 / h, note, ha="center", va="center", fontsize=_pt(fs - 1))
    fig.suptitle(_plain(head), fontsize=_pt(fs + 2), y=1 - fs * 1.2 / h, va="top")


def _stripes(xs, step):
    """Neighbouring missed flights as one stripe each, half a step either side."""
    out = []
    for x in sorted(xs):
        if out and x - step / 2 <= out[-1][1] + step * 1e-6:
            out[-1][1] = x + step / 2
        else:
            out.append([x - step / 2, x + step / 2])
    return out


# ------------------------------------------------------------------ optimisation


def _opt(fig, w, h, od, title):
    fs = _font_px(w)
    ax = fig.add_axes([fs * 7 / w, fs * 9 / h, 1 - fs * 20 / w, 1 - fs * 16 / h])
    vals = list(od.sc[od.reached])
    if od.sweep is not None:
        vals += list(od.sweep.sc[od.sweep.ok])
    norm = None
    if vals:
        lo, hi = min(vals), max(vals)
        if lo == hi:
            lo, hi = lo - 1, hi + 1
        norm = matplotlib.colors.Normalize(lo, hi)
    handles = []
    xs, ys = list(od.tt), list(od.alpha)
    if od.sweep is not None:
        mesh = _heat(ax, od.sweep, norm, "#dedede")
        handles.append(Patch(color=matplotlib.colormaps[CMAP](0.6), label="sweep (colour: SC_M)"))
        if od.sweep.nfail:
            handles.append(Patch(color="#dedede", label="sweep: missed"))
        e1, e2 = _edges(od.sweep.tt_values), _edges(od.sweep.alpha_values)
        xs += [e1[0], e1[-1]]
        ys += [e2[0], e2[-1]]
    miss = ~od.reached
    if miss.any():
        handles.append(ax.scatter(od.tt[miss], od.alpha[miss], s=45, c="#a0a0a0", edgecolors="#606060",
                                  linewidths=1, zorder=3, label="flown: missed the target"))
    sc = None
    if od.reached.any():
        sc = ax.scatter(od.tt[od.reached], od.alpha[od.reached], s=60, c=od.sc[od.reached], cmap=CMAP, norm=norm,
                        edgecolors="black", linewidths=1, zorder=4, label="flown: reached (colour: SC_M)")
        handles.append(sc)
        b = od.best
        ax.plot([od.tt[b]], [od.alpha[b]], "o", ms=22, mfc="none", mec="white", mew=4.5, zorder=5)
        ax.plot([od.tt[b]], [od.alpha[b]], "o", ms=22, mfc="none", mec="#d62728", mew=2.5, zorder=6)
        handles.append(Line2D([], [], ls="none", marker="o", ms=11, mfc="none", mec="#d62728", mew=2,
                              label="best"))
        ax.annotate("best: %.0f kg" % od.sc[b], (od.tt[b], od.alpha[b]), xytext=(fs * 1.8, fs * 1.2),
                    textcoords="offset pixels", fontsize=_pt(fs), zorder=7,
                    bbox={"boxstyle": "square,pad=0.2", "fc": "white", "ec": "none"})
        note = "best (ringed): flight %d, SC_M = %.0f kg at turn time %g s, angle limit %g°" % (
            b + 1, od.sc[b], od.tt[b], od.alpha[b])
    else:
        note = "no flight reached the target"
    note += f"; {int(miss.sum())} of {len(od.tt)} flights missed (grey)"
    mappable = sc if sc is not None else (mesh if od.sweep is not None else None)
    if mappable is not None:
        cb = fig.colorbar(mappable, ax=ax, pad=0.02)
        cb.set_label("spacecraft mass SC_M (kg)", fontsize=_pt(fs))
        cb.ax.tick_params(labelsize=_pt(fs))
    px = (max(xs) - min(xs)) * 0.04 or 0.5
    py = (max(ys) - min(ys)) * 0.04 or 0.5
    ax.set_xlim(min(xs) - px, max(xs) + px)
    ax.set_ylim(min(ys) - py, max(ys) + py)
    ax.grid(True, color="#d0d0d0")
    ax.set_xlabel("turn time (s)", fontsize=_pt(fs))
    ax.set_ylabel("maximum angle of attack (°)", fontsize=_pt(fs))
    ax.tick_params(labelsize=_pt(fs))
    fig.text(0.5, 1 - fs * 3.6 / h, note, ha="center", va="center", fontsize=_pt(fs - 1))
    fig.suptitle(_plain(title) if title else f"Optimisation: {len(od.tt)} flights over turn time and angle limit",
                 fontsize=_pt(fs + 2), y=1 - fs * 1.2 / h, va="top")
    fig.legend(handles=handles, loc="lower center", ncol=len(handles), frameon=False, fontsize=_pt(fs - 1))


# ------------------------------------------------------------------ dispersion study


def _hist(ax, hist, colour, fs):
    if hist is None:
        ax.text(0.5, 0.5, "no run has a value", transform=ax.transAxes, ha="center", va="center")
        return
    total = hist.reached + hist.missed
    ax.bar(hist.centres, total, width=hist.width, color="#b0b0b0", edgecolor="white", label="missed", zorder=2)
    ax.bar(hist.centres, hist.reached, width=hist.width, color=colour, edgecolor="white", label="reached",
           zorder=3)
    ax.set_ylim(0, max(1, total.max()) * 1.12)
    ax.yaxis.get_major_locator().set_params(integer=True)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False, fontsize=_pt(fs - 1),
              borderaxespad=1.6)


def _mc(fig, w, h, mc, title):
    fs = _font_px(w)
    nrow = 3 if mc.sensitivities else 2
    summary = "%d runs, %d reached the target (%.1f %%)" % (mc.runs, mc.reached, 100 * mc.reached / mc.runs)
    fig.text(0.5, 1 - 2 * fs / h, _plain(title) if title else f"Monte Carlo study: {summary}", ha="center", va="center",
             fontsize=_pt(fs + 4))
    # Rows of equal height under the title, each with room for its panels' titles and legends
    # above and their axis labels below; the tornado's names get the room they need at its left.
    top, bottom = h - fs * 4, fs * 1.5
    row = (top - bottom) / nrow

    def at(r, x0, x1):
        return fig.add_axes([x0 / w, (top - (r + 1) * row + fs * 5) / h, (x1 - x0) / w, (row - fs * 10.5) / h])

    cells = [at(0, fs * 6, w / 2 - fs * 1.5), at(0, w / 2 + fs * 6, w - fs * 2),
             at(1, fs * 6, w / 2 - fs * 1.5), at(1, w / 2 + fs * 6, w - fs * 2)]
    T, tol = mc.target, mc.tolerance
    lab = _pt(fs)

    ax = cells[0]
    _hist(ax, mc.hist_sc, "#1f4e9c", fs)
    ax.set_title("spacecraft mass SC_M", fontsize=lab, pad=fs * 3.2)
    ax.set_xlabel("SC_M (kg)", fontsize=lab)
    ax.set_ylabel("runs", fontsize=lab)

    ax = cells[1]
    ax.add_patch(Rectangle((T - tol, T - tol), 2 * tol, 2 * tol, fc="#dff0d8", ec="#2a7a2a", lw=1.2, zorder=1))
    if len(mc.hp) > SCATTER_POINTS:
        # A point a run would cost the drawing memory and time in proportion to the study: beyond
        # SCATTER_POINTS runs the plane is a map of how many runs end in each cell.
        xe, ye = np.linspace(*mc.xrange, 161), np.linspace(*mc.yrange, 161)
        counts = np.histogram2d(mc.hp, mc.ha, bins=(xe, ye))[0].T
        ax.pcolormesh(xe, ye, np.ma.masked_equal(counts, 0), cmap="Blues", zorder=2,
                      norm=matplotlib.colors.LogNorm(1, max(2.0, counts.max())))
        ax.scatter([], [], s=12, marker="s", c=[matplotlib.colormaps["Blues"](0.7)], label="runs (darker: more)")
        ax.add_patch(Rectangle((T - tol, T - tol), 2 * tol, 2 * tol, fill=False, ec="#2a7a2a", lw=1.2, zorder=4))
    elif len(mc.hp):
        ok = mc.orbit_reached
        ax.scatter(mc.hp[~ok], mc.ha[~ok], s=12, c="#909090", label="missed", zorder=2)
        ax.scatter(mc.hp[ok], mc.ha[ok], s=12, c="#1f4e9c", label="reached", zorder=3)
    ax.plot([T], [T], "x", ms=10, mew=2, color="#2a7a2a", label="target", zorder=4)
    ax.set_xlim(*mc.xrange)
    ax.set_ylim(*mc.yrange)
    ax.set_title("final orbit, target box ±%g km" % tol, fontsize=lab, pad=fs * 3.2)
    ax.set_xlabel("perigee (km)", fontsize=lab)
    ax.set_ylabel("apogee (km)", fontsize=lab)
    ax.legend(loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=3, frameon=False, fontsize=_pt(fs - 1),
              borderaxespad=1.6)

    for col, (name, hist) in enumerate((("perigee", mc.hist_hp), ("apogee", mc.hist_ha))):
        ax = cells[2 + col]
        ax.axvspan(T - tol, T + tol, color="#dff0d8", lw=0, zorder=0)
        ax.axvline(T, color="#2a7a2a", dashes=(4, 3), lw=1.2, zorder=1)
        _hist(ax, hist, "#1f4e9c", fs)
        ax.set_title(f"final {name}", fontsize=lab, pad=fs * 3.2)
        ax.set_xlabel(f"{name} (km)", fontsize=lab)
        ax.set_ylabel("runs", fontsize=lab)

    for a in fig.axes:
        a.grid(True, color=GRID)
        a.set_axisbelow(True)
        a.tick_params(labelsize=lab)

    if mc.sensitivities:
        n = len(mc.sensitivities)
        names = max(fs * 6, max(len(s.key) for s in mc.sensitivities) * fs * 0.72 + fs * 2)
        ax = at(2, names, w - fs * 2)
        # The first row on top; the low end drawn above the row line, the high end below it.
        for i, s in enumerate(mc.sensitivities):
            y = n - i
            if s.low is not None:
                ax.barh(y + 0.19, s.low, height=0.38, color="#4c78a8", label="low value" if i == 0 else None)
            if s.high is not None:
                ax.barh(y - 0.19, s.high, height=0.38, color="#f58518", label="high value" if i == 0 else None)
            for fate, dy, end in ((s.fate_low, 0.19, "low"), (s.fate_high, -0.19, "high")):
                if fate != "ok":
                    ax.plot([0], [y + dy], "D", ms=6, color="#808080", zorder=4)
                    ax.annotate(f"{fate} ({end})", (0, y + dy), xytext=(8, 0), textcoords="offset points",
                                va="center", fontsize=_pt(fs - 2), color="#606060")
        ax.axvline(0, color="black", lw=1.2, zorder=3)
        ax.set_yticks(range(n, 0, -1))
        ax.set_yticklabels([_plain(s.key) for s in mc.sensitivities])
        ax.set_ylim(0.4, n + 0.6)
        ax.margins(x=0.08)
        ax.tick_params(axis="y", length=0, labelsize=lab)
        ax.tick_params(axis="x", labelsize=lab)
        ax.grid(True, axis="x", color=GRID)
        ax.set_axisbelow(True)
        ax.set_title("sensitivity: each quantity alone at its low and high value", fontsize=lab, pad=fs * 3.2)
        ax.set_xlabel("change of SC_M from the nominal %.0f kg (kg)" % mc.nominal, fontsize=lab)
        handles = [Patch(color="#4c78a8", label="low value"), Patch(color="#f58518", label="high value")]
        ax.legend(handles=handles, loc="lower center", bbox_to_anchor=(0.5, 1.0), ncol=2, frameon=False,
                  fontsize=_pt(fs - 1), borderaxespad=1.6)


# ------------------------------------------------------------------ optimal ascent


def _control(fig, w, h, cd, title):
    """The optimal steering and altitude against time, the guided flights' beside them."""
    fs = _font_px(w)
    left, right, bottom, title_px, gap = fs * 9, fs * 2, fs * 5, fs * 5, fs
    curves = [cd.optimal] + list(cd.flights)
    key_px = len(curves) * fs * 17 // 10 + fs // 2
    panel = (h - title_px - key_px - bottom - gap) // 2
    if panel < 60:
        raise D.PlotError(f"--size {w}x{h} leaves no room for the two panels", D.EXIT_USAGE)
    fig.text(0.5, 1 - title_px / 2 / h, _plain(title or "Optimal ascent"), ha="center", va="center",
             fontsize=_pt(fs + 4))
    top0 = h - title_px - key_px
    tmax = max(float(c.t[-1]) for c in curves)
    for p, (ylab, attr) in enumerate((("thrust pitch (deg)", "pitch_deg"), ("altitude (km)", "alt_km"))):
        ptop = top0 - p * (panel + gap)
        ax = fig.add_axes([left / w, (ptop - panel) / h, (w - left - right) / w, panel / h])
        ax.set_xlim(0, tmax)
        ax.tick_params(labelsize=_pt(fs), top=True, direction="in")
        if p == 0:
            ax.set_xticklabels([])
        else:
            ax.set_xlabel("time (s)", fontsize=_pt(fs))
        ax.grid(True, color="#e8e8e8", lw=1)
        ax.set_axisbelow(True)
        fig.text(fs * 1.5 / w, (ptop - panel / 2) / h, ylab, rotation=90, ha="center", va="center", fontsize=_pt(fs))
        for i, c in enumerate(curves):
            y = getattr(c, attr)
            if y is not None:
                ax.plot(c.t, y, lw=1.6, color=COLOURS[i % 10], zorder=3)
        if cd.optimal.alt_km is None and p == 1:
            ax.text(0.5, 0.9, "the optimum's altitude is in ascent-control's CSV (-o), not its JSON",
                    transform=ax.transAxes, ha="center", va="center", fontsize=_pt(fs - 1), color="#505050")
    for i, c in enumerate(curves):
        ky = h - title_px - i * fs * 17 // 10 - fs * 17 // 20
        fig.add_artist(Line2D([left / w, (left + fs * 2.5) / w], [ky / h, ky / h], lw=2.5, color=COLOURS[i % 10]))
        fig.text((left + fs * 3) / w, ky / h, _plain(c.name), ha="left", va="center", fontsize=_pt(fs - 1))


# ------------------------------------------------------------------ ground track and impact points

#: The dropped parts' colours, in the order a footprint file first names them.
PART_COLOURS = ("#d62728", "#2a9d3a", "#ff7f0e", "#8e44ad", "#8c564b", "#17becf")


def _track(fig, w, h, td, title):
    """Longitude against latitude, a degree of latitude drawn as long as the same distance east:
    each flight's ground track and its instantaneous impact point, where each dropped part was
    released and comes down, and a dispersion study's points and 3-sigma ellipses. Under the whole
    map, a second one near the flight: the ground track, the parts and the ellipses, which the
    points of a part that may come down anywhere along an orbit would shrink to specks."""
    fs = _font_px(w)
    ref, lat_mid = D.track_reference(td)
    colours = {}
    for name in [f.part for f in td.footprints] + [p.part for t in td.tracks for p in t.parts]:
        colours.setdefault(name, PART_COLOURS[len(colours) % len(PART_COLOURS)])
    near = D.near_box(td, ref)
    top = h - fs * 4
    panels = 2 if near else 1
    panel = (top - fs * 1) / panels
    for k in range(panels):
        ax = fig.add_axes([fs * 7 / w, (top - (k + 1) * panel + fs * 4) / h, 1 - fs * 9 / w, (panel - fs * 7) / h])
        _map(ax, td, ref, colours, fs, legend=k == panels - 1)
        if k == 1:
            ax.set_xlim(*near[0])
            ax.set_ylim(*near[1])
            ax.set_title("near the flight", fontsize=_pt(fs), pad=fs * 0.6)
        ax.set_aspect(1 / max(math.cos(math.radians(lat_mid)), 0.05), adjustable="datalim")
    if not title:
        what = [f"{len(td.tracks)} flight{'s' if len(td.tracks) != 1 else ''}"] if td.tracks else []
        what += ["impact footprints"] if td.footprints else []
        title = "Ground track and impact points: " + ", ".join(what)
    fig.text(0.5, 1 - 2 * fs / h, _plain(title), ha="center", va="center", fontsize=_pt(fs + 4))


def _map(ax, td, ref, colours, fs, legend):
    lab = _pt(fs)
    un = lambda lon: D.unwrap(lon, ref)  # noqa: E731
    for i, t in enumerate(td.tracks):
        c = COLOURS[i % len(COLOURS)]
        ax.plot(un(t.lon), t.lat, color=c, lw=2, label=_plain(t.name) + ": ground track", zorder=4)
        if len(t.lat):
            ax.plot(un(t.lon[:1]), t.lat[:1], "^", ms=9, color=c, mec="black", zorder=6,
                    label="T+%.1f s, the track's first point" % t.t0)
        if len(t.iip_lat):
            ax.plot(un(t.iip_lon), t.iip_lat, "o--", ms=3, lw=1, color=c, alpha=0.7, zorder=3,
                    label="instantaneous impact point")
        for p in t.parts:
            if p.impact is None:
                continue
            pc = colours[p.part]
            ax.plot(un([p.release[1], p.impact[1]]), [p.release[0], p.impact[0]], ":", color=pc, lw=1.2, zorder=3)
            ax.plot(un([p.impact[1]]), [p.impact[0]], "X", ms=11, mec="black", mew=0.8, color=pc, zorder=7,
                    label=_plain(f"{p.part}: the flight's impact") if i == 0 else None)
    for f in td.footprints:
        pc = colours[f.part]
        ax.scatter(un(f.lon), f.lat, s=6, color=pc, alpha=0.45, lw=0, zorder=2,
                   label=_plain("%s: %d of %d runs down" % (f.part, len(f.lat), f.released)))
        if D.drawn_ellipse(f):
            ax.plot(un(f.ellipse[1]), f.ellipse[0], color=pc, lw=1.6, zorder=5,
                    label="3-sigma ellipse %.1f x %.1f km" % (f.semi_major / 1000, f.semi_minor / 1000))
        elif f.semi_major is not None:
            ax.plot([], [], " ", label="(%.0f km across: no ellipse on the map)" % (f.semi_major / 1000))
    ax.set_xlabel("longitude (deg, east)", fontsize=lab)
    ax.set_ylabel("latitude (deg, geodetic)", fontsize=lab)
    ax.grid(True, color=GRID)
    ax.set_axisbelow(True)
    ax.tick_params(labelsize=lab)
    if legend:
        ax.legend(loc="best", fontsize=_pt(fs - 2), framealpha=0.9)
