#!/usr/bin/env python3
"""Fly one ascent and draw it: altitude and speed against time, the flight's events marked.

Run from a folder holding the booster profile s1.dat:

    python3 fly_and_plot.py                 # 36 s, 18 degrees -> examples_out/flight.png
    python3 fly_and_plot.py --tt 44 --alpha 19
    python3 fly_and_plot.py --large         # eleven turn times, 30 to 40 s, on one picture

Without matplotlib it prints the summary and the events only.
"""

import argparse
import os
import sys

import ascent


def spread(times, gap, end):
    """Places for labels of marks at the sorted times: each at its mark where it can be, else
    pushed right until it stands `gap` from the one before, then back left to end by `end`."""
    pos = list(times)
    for i in range(1, len(pos)):
        pos[i] = max(pos[i], pos[i - 1] + gap)
    for i in range(len(pos) - 1, -1, -1):
        pos[i] = min(pos[i], end - gap / 2 if i == len(pos) - 1 else pos[i + 1] - gap)
    return pos


def picture(flights, alpha):
    """Altitude and speed against time; the first flight's announcements (the messages ending
    in "!", by their first sentence) named above the plot, spread so that none covers another,
    each tied to its time by a leader."""
    import matplotlib.pyplot as plt

    fig, (ax_h, ax_v) = plt.subplots(2, 1, sharex=True, figsize=(9, 8))
    fig.subplots_adjust(left=0.09, right=0.97, bottom=0.07, top=0.72, hspace=0.08)
    for f in flights:
        table = f.table
        label = f"tt {f.summary['tt']:g} s"
        ax_h.plot(table["t"], table["h0"] / 1000, lw=1, label=label)
        ax_v.plot(table["t"], table["vi"] / 1000, lw=1, label=label)
    marks = []
    for t, text in flights[0].events:
        if "!" in text and (t, text.split("!")[0]) not in marks:
            marks.append((t, text.split("!")[0]))
    end = max(t for f in flights for t in f.table["t"])
    ax_h.set_xlim(0, end)
    # A label stands one line height (8-point text) from the next, measured on the axis' width.
    width_px = ax_h.get_window_extent().width
    gap = 8 * 1.6 * fig.dpi / 72 * end / width_px
    for (t, text), x in zip(marks, spread([t for t, _ in marks], gap, end)):
        for ax in (ax_h, ax_v):
            ax.axvline(t, color="grey", lw=0.5, ls=":")
        ax_h.annotate(text + "!", xy=(t, 1), xycoords=("data", "axes fraction"), xytext=(x, 1.06),
                      textcoords=("data", "axes fraction"), rotation=90, fontsize=8, ha="center", va="bottom",
                      arrowprops={"arrowstyle": "-", "color": "grey", "lw": 0.6, "shrinkA": 0, "shrinkB": 0})
    ax_h.set_ylabel("altitude h0 (km)")
    ax_v.set_ylabel("inertial speed vi (km/s)")
    ax_v.set_xlabel("time t (s)")
    fig.suptitle(f"ascent, angle limit {alpha:g} degrees", y=0.985)
    if len(flights) > 1:
        ax_v.legend(fontsize=7)
    return fig


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tt", type=float, default=36.0, help="turn time, s")
    parser.add_argument("--alpha", type=float, default=18.0, help="angle limit, degrees")
    parser.add_argument("--large", action="store_true", help="fly eleven turn times from 30 to 40 s")
    parser.add_argument("-o", "--output", default=os.path.join("examples_out", "flight.png"),
                        help="the picture (its folder is created)")
    args = parser.parse_args()

    if not os.path.exists("s1.dat"):
        # The module would name the profile of an install; run from the source tree, name its own.
        bundled = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "data", "s1.dat")
        sys.exit(f"s1.dat: file not found in {os.getcwd()}: run from a folder holding the booster profile"
                 + (f" (copy {os.path.normpath(bundled)})" if os.path.isfile(bundled) else ""))
    turn_times = [30.0 + i for i in range(11)] if args.large else [args.tt]
    flights = [ascent.fly(tt, args.alpha, events=True) for tt in turn_times]
    for f in flights:
        s = f.summary
        print(f"tt {s['tt']:g} s, alpha {s['alpha']:g} deg: SC_M {s['SC_M']:.0f} kg, "
              f"orbit {s['hp_final_km']:.1f} x {s['ha_final_km']:.1f} km, reached: {s['reached']}")
    for t, text in flights[0].events:
        print(f"  {t:9.2f} s  {text}")

    try:
        import matplotlib
        matplotlib.use("Agg")
    except ImportError:
        print("matplotlib is not installed: no picture")
        return

    fig = picture(flights, args.alpha)
    os.makedirs(os.path.dirname(args.output) or ".", exist_ok=True)
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
