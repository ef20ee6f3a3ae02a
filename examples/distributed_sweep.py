#!/usr/bin/env python3
"""A trade study spread over a Dask cluster, checked against the same study on this machine.

Run from a folder holding the booster profile s1.dat:

    python3 distributed_sweep.py                          # a local cluster of two worker processes
    python3 distributed_sweep.py --large                  # the user guide's 10251-flight fine grid
    python3 distributed_sweep.py --scheduler tcp://host:8786   # a running cluster, same code

The workers need the ascent package, not the profile: it travels with the study.
"""

import argparse
import time

import ascent
import ascent.distributed
from dask.distributed import Client, LocalCluster


def study(client, grid, check):
    start = time.perf_counter()
    frame = ascent.distributed.sweep(client, **grid)
    elapsed = time.perf_counter() - start
    print(f"{len(frame)} flights on {len(client.scheduler_info()['workers'])} workers in {elapsed:.2f} s")
    reached = frame[frame["reached"]]
    if not reached.empty:
        best = reached.loc[reached["SC_M"].idxmax()]
        print(f"best: tt {best['tt']:g} s, alpha {best['alpha']:g} deg, SC_M {best['SC_M']:.0f} kg")
    if check:
        local = ascent.sweep(**grid)
        same = local.equals(frame)
        print("equal to the same study on this machine:", same)
        if not same:
            raise SystemExit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--large", action="store_true", help="the 0.1 s x 0.1 degree grid of the user guide")
    parser.add_argument("--no-check", action="store_true", help="do not fly the study again locally")
    args = parser.parse_args()

    grid = dict(tt="30:50:0.1", alpha="16:21:0.1") if args.large else dict(tt="34:38:0.5", alpha="17:19:0.5")
    if args.scheduler:
        with Client(args.scheduler) as client:
            study(client, grid, not args.no_check)
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            study(client, grid, not args.no_check)


if __name__ == "__main__":
    main()
