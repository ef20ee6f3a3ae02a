#!/usr/bin/env python3
"""Generates data/s1.dat, the bundled thrust profile of one strap-on booster.

The curve is designed here, not taken from any real motor. What it has to do:

* points exactly t_pitch = 0.986832971065 s apart, the first at t_pitch, the
  last past 140 s: the booster phase assumes that spacing;
* enough thrust at the first point that the vehicle lifts off inside the first
  interval (2 boosters + core at sea level above the 26.8 MN weight);
* burn close to the 680388.6 kg of propellant of one booster by separation at
  130.2 s, leaving a small positive residual (the phase reports it), using the
  program's own bookkeeping: trapezoids of thrust / 2756.6 m/s;
* look like a solid motor: a fast rise to a peak, a dip through maximum dynamic
  pressure (the grain is shaped to ease the load), a second, lower plateau, and
  a tail-off that ends before separation, with zero thrust after it.

Usage: tools/make_profile.py [output]   (default data/s1.dat)
"""
import math
import sys

T_PITCH = 0.986832971065   # s, profile spacing
C_BOOSTER = 2756.6         # m/s, effective exhaust speed of a booster
MP_BOOSTER = 680388.6      # kg, propellant of one booster
T_SEP = 130.2              # s, booster separation
RESIDUAL = 0.004           # fraction of the load left unburnt at separation
N_POINTS = 143             # last point past 140 s

# Shape: (time s, relative thrust) knots, joined by smooth cosine blends.
SHAPE = [
    (0.0, 0.0),
    (T_PITCH, 0.93),   # ignition transient nearly complete at the first point
    (4.0, 1.00),       # peak
    (22.0, 0.98),
    (38.0, 0.80),      # dip for maximum dynamic pressure
    (55.0, 0.80),
    (70.0, 0.90),      # second plateau
    (100.0, 0.84),
    (112.0, 0.60),     # tail-off
    (120.0, 0.22),
    (126.0, 0.03),
    (127.5, 0.0),      # burnt out before separation
]


def shape(t):
    if t >= SHAPE[-1][0]:
        return 0.0
    for (t0, f0), (t1, f1) in zip(SHAPE, SHAPE[1:]):
        if t0 <= t <= t1:
            u = (t - t0) / (t1 - t0)
            w = 0.5 - 0.5 * math.cos(math.pi * u)
            return f0 + (f1 - f0) * w
    return 0.0


def burnt_by_separation(points):
    """Propellant one booster burns up to T_SEP, trapezoid by trapezoid."""
    used, t_prev, f_prev = 0.0, 0.0, 0.0
    for t, f in points:
        if t >= T_SEP:
            # the part of this interval before separation (thrust linear in it)
            dt = T_SEP - t_prev
            f_sep = f_prev + (f - f_prev) * dt / (t - t_prev)
            return used + 0.5 * (f_prev + f_sep) * dt / C_BOOSTER
        used += 0.5 * (f_prev + f) * (t - t_prev) / C_BOOSTER
        t_prev, f_prev = t, f
    raise SystemExit("profile ends before separation")


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else "data/s1.dat"
    times = [k * T_PITCH for k in range(1, N_POINTS + 1)]
    unit = [(t, shape(t)) for t in times]
    target = MP_BOOSTER * (1 - RESIDUAL)
    peak = target / burnt_by_separation(unit)  # N at relative thrust 1
    points = [(t, round(f * peak, 1)) for t, f in unit]
    used = burnt_by_separation(points)
    with open(out, "w", newline="\n") as f:
        for t, thrust in points:
            f.write(f"{t:.12f} {thrust:.1f}\n")
    print(f"peak {peak/1e6:.3f} MN, burnt by separation {used:.1f} kg, "
          f"residual {MP_BOOSTER - used:.1f} kg", file=sys.stderr)


if __name__ == "__main__":
    main()
