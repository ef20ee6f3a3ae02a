#!/usr/bin/env python3
"""A dispersion study spread over a Dask cluster, checked against the same study on this machine.

Run from a folder holding the booster profile s1.dat (the dispersions default to the bundled
vehicles/dispersions.toml beside this folder):

    python3 distributed_mc.py                            # 200 runs on a local cluster of two processes
    python3 distributed_mc.py --large                    # 100000 runs
    python3 distributed_mc.py --scheduler tcp://host:8786   # a running cluster, same code

Run r draws its vehicle from (seed, r) alone, so the cluster's answer is the single machine's.
"""

import argparse
import os
import time

import ascent
import ascent.distributed
from dask.distributed import Client, LocalCluster

BUNDLED = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "vehicles", "dispersions.toml")


def study(client, args):
    runs = 100000 if args.large else 200
    options = dict(runs=runs, tt=args.tt, alpha=args.alpha, dispersions=args.dispersions, seed=args.seed)
    start = time.perf_counter()
    mc = ascent.distributed.monte_carlo(client, **options)
    elapsed = time.perf_counter() - start
    s = mc.summary
    print(f"{runs} runs on {len(client.scheduler_info()['workers'])} workers in {elapsed:.2f} s")
    print(f"P(reached) = {s['p_reached']:.4f} (95 % interval {s['p_reached_95'][0]:.4f} to {s['p_reached_95'][1]:.4f})")
    print(f"SC_M carried to the target orbit by 99.865 % of the runs: {s['SC_M_promised_kg']} kg")
    if not args.no_check:
        local = ascent.monte_carlo(**options)
        same = local.summary == mc.summary and local.runs.equals(mc.runs)
        print("equal to the same study on this machine:", same)
        if not same:
            raise SystemExit(1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--large", action="store_true", help="100000 runs")
    parser.add_argument("--tt", type=float, default=36.0)
    parser.add_argument("--alpha", type=float, default=18.0)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--dispersions", default=BUNDLED)
    parser.add_argument("--no-check", action="store_true", help="do not fly the study again locally")
    args = parser.parse_args()
    if args.scheduler:
        with Client(args.scheduler) as client:
            study(client, args)
    else:
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
                Client(cluster) as client:
            study(client, args)


if __name__ == "__main__":
    main()
