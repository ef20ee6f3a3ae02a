#!/usr/bin/env python3
"""A trade study into a pandas frame: SC_M over turn times and angle limits, the best flight that
reaches the target orbit, and the best turn time of each angle limit.

Run from a folder holding the booster profile s1.dat:

    python3 trade_study.py            # 35 flights near the user guide's best pair, about a second
    python3 trade_study.py --large    # the user guide's 2511-flight grid, 10-90 s x 0-30 degrees

Writes the frame to examples_out/trade.csv (the columns of ascent-sweep's CSV), in a folder it
creates, so that nothing of the working folder is overwritten.
"""

import argparse
import os

import ascent


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--large", action="store_true", help="the whole 1 s x 1 degree grid")
    parser.add_argument("--jobs", type=int, default=None, help="threads (default: every core)")
    parser.add_argument("-o", "--output", default=os.path.join("examples_out", "trade.csv"))
    args = parser.parse_args()

    grid = dict(tt="10:90:1", alpha="0:30:1") if args.large else dict(tt="32:44:2", alpha="16:20:1")
    frame = ascent.sweep(**grid, jobs=args.jobs)  # a pandas DataFrame, one row per flight
    if not hasattr(frame, "to_csv"):
        raise SystemExit("pandas is not installed: ascent.sweep returned a dict of arrays")
    os.makedirs(os.path.dirname(args.output) or ".", exist_ok=True)
    frame.to_csv(args.output, index=False)
    print(f"{len(frame)} flights, {int(frame['reached'].sum())} reached the target orbit; wrote {args.output}")

    reached = frame[frame["reached"]]
    if reached.empty:
        print("no flight reached the target orbit")
        return
    best = reached.loc[reached["SC_M"].idxmax()]
    print(f"best: tt {best['tt']:g} s, alpha {best['alpha']:g} deg, SC_M {best['SC_M']:.0f} kg, "
          f"orbit {best['hp_final_km']:.1f} x {best['ha_final_km']:.1f} km")
    per_limit = reached.loc[reached.groupby("alpha")["SC_M"].idxmax(), ["alpha", "tt", "SC_M"]]
    print("best turn time of each angle limit:")
    print(per_limit.to_string(index=False))
    print("SC_M (kg) of the flights that reach the orbit, turn time down, angle limit across:")
    print(reached.pivot(index="tt", columns="alpha", values="SC_M").to_string(float_format="%.0f", na_rep="-"))


if __name__ == "__main__":
    main()
