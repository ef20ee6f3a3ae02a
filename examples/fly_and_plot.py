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

import ascent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tt", type=float, default=36.0, help="turn time, s")
    parser.add_argument("--alpha", type=float, default=18.0, help="angle limit, degrees")
    parser.add_argument("--large", action="store_true", help="fly eleven turn times from 30 to 40 s")
    parser.add_argument("-o", "--output", default=os.path.join("examples_out", "flight.png"),
                        help="the picture (its folder is created)")
    args = parser.parse_args()

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
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no picture")
        return

    fig, (ax_h, ax_v) = plt.subplots(2, 1, sharex=True, figsize=(9, 7))
    for f in flights:
        table = f.table
        label = f"tt {f.summary['tt']:g} s"
        ax_h.plot(table["t"], table["h0"] / 1000, lw=1, label=label)
        ax_v.plot(table["t"], table["vi"] / 1000, lw=1, label=label)
    for t, text in flights[0].events:
        if "!" in text:
            ax_h.axvline(t, color="grey", lw=0.5, ls=":")
            ax_h.annotate(text, (t, 0), rotation=90, fontsize=6, va="bottom", ha="right")
    ax_h.set_ylabel("altitude h0 (km)")
    ax_v.set_ylabel("inertial speed vi (km/s)")
    ax_v.set_xlabel("time t (s)")
    ax_h.set_title(f"ascent, angle limit {args.alpha:g} degrees")
    if len(flights) > 1:
        ax_h.legend(fontsize=7)
    fig.tight_layout()
    os.makedirs(os.path.dirname(args.output) or ".", exist_ok=True)
    fig.savefig(args.output, dpi=100)
    print(f"wrote {args.output}")


if __name__ == "__main__":
    main()
