#!/usr/bin/env python3
"""What the Python module costs over the C++ core (a benchmark, not a test).

    cd scratch && PYTHONPATH=../build/python python3 ../bench/python_overhead.py [--repetitions 7]

On the sweep benchmark's 64 flights (turn times 30 to 44 s by 2, angle limits 20 to 27 degrees,
with the transfer), each figure the median of the repetitions, interleaved:
  - the C++ flight in process: the sweep engine on one thread, one angle limit a call, so that
    every one of the 64 flights is flown (a sweep of the whole grid takes a flight's result for
    the larger angle limits a flight never reached: it flies about 52 of the 64, which made
    ascent.fly look 1.26x the C++ flight when it is about 1.04x);
  - ascent.fly with its step table, one call per flight, from a Python loop;
  - two Python threads each calling ascent.fly (the GIL is released while a flight flies);
  - ascent.sweep on one and on two threads.
CPU/wall is the process's CPU time (every thread) over the wall time: about 2 when two threads fly
at once. On a machine whose other core is busy, the two-thread speed-up cannot show, but CPU/wall
still tells whether the threads ran side by side.
"""

import argparse
import os
import statistics
import threading
import time

import ascent
from ascent import _ascent

TT = [30.0 + 2 * i for i in range(8)]
ALPHA = [20.0 + i for i in range(8)]
POINTS = [(tt, alpha) for tt in TT for alpha in ALPHA]


def timed(fn):
    """Wall time of fn(), and the process's CPU time over it (all threads)."""
    start, cpu = time.perf_counter(), time.process_time()
    fn()
    return time.perf_counter() - start, time.process_time() - cpu


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repetitions", type=int, default=7)
    args = parser.parse_args()

    vehicle = ascent.Vehicle()
    profile = ascent.Profile.read("s1.dat")
    n = len(POINTS)

    def cpp_flights():
        for alpha in ALPHA:
            _ascent.sweep(TT, [alpha], True, False, vehicle._v, profile, 1)

    def python_flights():
        for tt, alpha in POINTS:
            ascent.fly(tt, alpha, vehicle=vehicle, profile=profile)

    def python_threads():
        halves = [POINTS[0::2], POINTS[1::2]]
        threads = [threading.Thread(target=lambda h=h: [ascent.fly(t, a, vehicle=vehicle, profile=profile)
                                                          for t, a in h]) for h in halves]
        for t in threads:
            t.start()
        for t in threads:
            t.join()

    def sweep(jobs):
        return lambda: ascent.sweep(tt=TT, alpha=ALPHA, vehicle=vehicle, profile=profile, jobs=jobs, as_frame=False)

    cases = {
        "C++ flight in process (1 thread)": cpp_flights,
        "ascent.fly with its table": python_flights,
        "ascent.fly from 2 Python threads": python_threads,
        "ascent.sweep, jobs=1": sweep(1),
        "ascent.sweep, jobs=2": sweep(2),
    }
    times = {name: [] for name in cases}
    cpu = {name: [] for name in cases}
    python_flights()  # warm up
    for _ in range(args.repetitions):
        for name, fn in cases.items():
            wall, used = timed(fn)
            times[name].append(wall)
            cpu[name].append(used / wall)
    med = {name: statistics.median(t) for name, t in times.items()}
    print(f"load average (1 min): {os.getloadavg()[0]:.2f}; {os.cpu_count()} cores")
    for name, t in med.items():
        print(f"{name:36s} {t / n * 1e3:7.3f} ms a flight  {n / t:7.0f} flights/s  "
              f"(range {min(times[name]) / n * 1e3:.3f} to {max(times[name]) / n * 1e3:.3f}), "
              f"CPU/wall {statistics.median(cpu[name]):.2f}")
    cpp = med["C++ flight in process (1 thread)"]
    print(f"ascent.fly with the table / C++ flight: {med['ascent.fly with its table'] / cpp:.3f}x (target at most 1.1x)")
    print(f"2 Python threads calling ascent.fly: {med['ascent.fly with its table'] / med['ascent.fly from 2 Python threads']:.2f}x one")
    print(f"ascent.sweep 2 threads over 1: {med['ascent.sweep, jobs=1'] / med['ascent.sweep, jobs=2']:.2f}x (target at least 1.8x)")


if __name__ == "__main__":
    main()
