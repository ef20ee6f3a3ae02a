#!/usr/bin/env python3
"""Generates data/s1.dat, the bundled thrust profile of one strap-on booster.

The curve is designed here, not taken from any real motor. The file holds one
point per line, the time in seconds and the vacuum thrust of ONE booster in
newtons; the program adds the implied point (0 s, 0 N), joins the points with
straight lines and doubles the thrust for the pair of boosters.

What the file has to satisfy (the script checks each and stops otherwise):

* points exactly t_pitch = 0.986832971065 s apart, the k-th at k * t_pitch
  (written from integer arithmetic, so every time is the exact decimal
  product), the last past 140 s: the booster phase's step plan assumes that
  spacing, and a long turn hold reads a few points past separation;
* liftoff inside the first interval: with the thrust rising linearly from
  0 at ignition, the sea-level thrust of both boosters and the core
  (vacuum thrust less 101325 Pa on 40.26 m^2 of nozzle exits) has to overtake
  the 26.8 MN weight before the first point.  The script solves the booster
  phase's own quadratic for the liftoff time and checks it;
* each booster burns close to its 680388.6 kg by separation at 130.2 s,
  counted as the program counts it (trapezoids of thrust / 2756.6 m/s, the
  interval that straddles 130.2 s cut there), leaving a small positive
  residual: RESIDUAL below;
* zero thrust from burn-out on, burn-out before separation.

Why this shape.  Every trial curve was flown through the whole program,
booster phase to orbit, over a grid of turn times (1 - 89 s) and angle limits
(14 - 35 degrees and 90); the total impulse is fixed by the propellant
(1.874e9 N s per booster at this residual), so a shape only redistributes it
in time.  SC_M below is the best spacecraft mass over that grid among the
flights that reach orbit (final perigee and apogee within 10 km of 398.6 km,
SC_M > 0, no core propellant overdrawn).

* Thrust early is what matters most.  At liftoff the vehicle weighs 26.8 MN
  and the core gives only 9.3 MN in vacuum, so the boosters carry the climb.
  A curve that starts low (a flat 15.3 MN, say) leaves the vehicle slow and low
  while the pitch-over kick tips it: the gravity turn collapses into the
  ground and no turn time at all reaches orbit.  Hence a quick rise: 96 % of
  the peak at the first point (the ignition transient), the peak at 4.5 s.
  The peak follows from the impulse once the shape is set: 19.3 MN.
* A dip of a quarter of the thrust: down from 21 s to a floor at 54.5 -
  64.5 s, back up by 74 s.  Maximum dynamic pressure (39 kPa) comes at
  52 - 54 s, on the floor.  The dip eases the drag loss and the axial load on
  the upper stage there, and it keeps thrust for later: without it (floor at
  90 %) SC_M drops by 0.6 t, less than half as many turn times reach orbit,
  and the largest axial force on the upper stage rises from 4.0 to 4.25 MN
  (the adaptor is sized on it).  A floor anywhere from 68 to 78 % of the
  peak, or a dip 5 s earlier, changes SC_M by less than 0.4 t.
* A long, slowly regressing second plateau from 95 % of the peak at 74 s to
  80 % at 104 s.  Thrust late in the burn counts: the core alone has a
  thrust-to-weight ratio below one at separation, so the boosters have to
  hand it a steep, fast trajectory.  A second plateau at 85 % or a tail-off
  starting at 100 s costs 2.8 - 2.9 t of spacecraft.
* Burn-out at 118 s, 12 s before separation.  An earlier burn-out packs the
  impulse into a shorter, stronger burn (less gravity loss) but leaves the
  weak core to carry 193 t of empty cases: burn-out at 112 s costs 2.9 t, at
  124 s 1.0 t (and more than half the good flights), at 128 s almost no flight
  reaches orbit.  116 - 118 s is the flat top.
* A monotone cubic through the knots (Fritsch-Carlson slopes) gives smooth
  plateaus and rounded corners without overshooting a knot; peaks, the floor
  and burn-out get zero slope, so the tail-off is an S-shaped fall that meets
  zero tangentially.

Flights with this profile (answers: empty line for the console, turn time,
angle limit, "y"):

* Best flight found (0.1 s and 0.1 degree steps): turn time 36.4 s, angle
  limit 18.0 degrees: perigee 389.0 km, apogee 401.4 km, SC_M 96735 kg,
  remaining core propellant 4662 kg.  It lies on the edge of the good region
  (perigee 9.6 km off); turn time 36 s with 18 degrees gives 393.9 x 399.0 km,
  SC_M 96660 kg, 4600 kg remaining.  For each angle limit the best turn time
  is the longest that still reaches orbit (18.5 degrees: 40 s; 20 degrees:
  53.5 s); longer turns leave the core cutting off on a descending path.
  With limits of 23 degrees or more every turn time from 15.5 to 89 s
  reaches orbit (SC_M 90.8 - 95.7 t).
* On a grid of 0.5 s by 0.5 degree (turn times 1 - 89 s, limits 15 - 35
  degrees and 90: 7434 flights) the first version of this curve (slower
  rise, burn-out at 127.5 s) reached orbit 208 times, best SC_M 94.3 t; this
  one 4507 times, best 96.7 t.  A flat 15.3 MN curve: never.
* Iterate mode ("i" at the first question) drives the perigee at core
  separation to 37 km.  Started from turn time 20 s, angle limit 25 degrees
  it settles in 5 passes on 19.8072 s: orbit 400.0 x 400.1 km, SC_M 91866 kg,
  600 kg of core propellant left.  Starts of 18 - 40 s with limits of 20
  degrees or more settle in 5 - 10 passes.  A start below about 15 s gives a negative
  perigee, which only nudges the turn time by 0.1 s per pass, and 49 passes
  run out first.

Usage: tools/make_profile.py [output]   (default data/s1.dat)
"""
import argparse
import math
import os
import re
import sys

T_PITCH_PS = 986832971065  # profile spacing in picoseconds (0.986832971065 s)
T_PITCH = T_PITCH_PS / 1e12
C_BOOSTER = 2756.6         # m/s, effective exhaust speed of a booster
MP_BOOSTER = 680388.6      # kg, propellant of one booster
T_SEP = 130.2              # s, booster separation
RESIDUAL = 0.001           # fraction of the load left unburnt at separation
N_POINTS = 143             # the last point, 143 * t_pitch = 141.1 s, is past 140 s

# Lift-off: vehicle and core stage at ignition, as the booster phase sets them.
M_IGNITION = 2735709.6     # kg
F_CORE = 9282548.16        # N, vacuum thrust of the core
C_CORE = 4420.8            # m/s, core exhaust speed
AE_P0 = 101325 * (2 * math.pi * 15.01407504 / 4 + 16.673713298791018)  # N
G_SURFACE = 9.798200881516824  # m/s^2

# Shape: (time s, thrust relative to the peak) knots, joined by a monotone
# cubic; the peak itself follows from the propellant load.
SHAPE = [
    (0.0, 0.0),        # ignition
    (T_PITCH, 0.96),   # ignition transient nearly over at the first point
    (4.5, 1.00),       # peak
    (21.0, 0.98),      # end of the first plateau
    (54.5, 0.75),      # floor of the dip through maximum dynamic pressure
    (64.5, 0.75),
    (74.0, 0.95),      # back up: second plateau, slowly regressing
    (104.0, 0.80),     # tail-off begins
    (118.0, 0.0),      # burn-out, 12 s before separation
    (130.0, 0.0),      # burnt out: the curve meets zero with zero slope
]


def knot_slopes(knots):
    """Slopes at the knots of a monotone piecewise-cubic (Fritsch-Carlson).

    Every knot that is a peak, a floor or the edge of a flat stretch gets zero
    slope, so the curve never overshoots its knots; elsewhere the curve runs
    through a knot without a corner or a shoulder.
    """
    secants = [(f1 - f0) / (t1 - t0) for (t0, f0), (t1, f1) in zip(knots, knots[1:])]
    slopes = [0.0] * len(knots)
    for i in range(1, len(knots) - 1):
        a, b = secants[i - 1], secants[i]
        if a * b > 0:
            h0 = knots[i][0] - knots[i - 1][0]
            h1 = knots[i + 1][0] - knots[i][0]
            w0, w1 = 2 * h1 + h0, h1 + 2 * h0
            slopes[i] = (w0 + w1) / (w0 / a + w1 / b)
    return slopes


def shape(t, knots=None):
    """Relative thrust at time t: a monotone cubic through the knots."""
    knots = knots or SHAPE
    if t >= knots[-1][0]:
        return knots[-1][1]
    slopes = knot_slopes(knots)
    for i in range(len(knots) - 1):
        (t0, f0), (t1, f1) = knots[i], knots[i + 1]
        if t0 <= t <= t1:
            h = t1 - t0
            u = (t - t0) / h
            return (f0 * (2 * u**3 - 3 * u**2 + 1) + h * slopes[i] * (u**3 - 2 * u**2 + u)
                    + f1 * (-2 * u**3 + 3 * u**2) + h * slopes[i + 1] * (u**3 - u**2))
    raise ValueError(f"time {t} before the first knot")


def time_text(k):
    """k * t_pitch as an exact decimal with 12 places."""
    ps = k * T_PITCH_PS
    return f"{ps // 10**12}.{ps % 10**12:012d}"


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


def liftoff_time(t1, f1):
    """When sea-level thrust first equals the weight (thrust rising from 0)."""
    fdot = 2 * f1 / t1
    mddot = -fdot / C_BOOSTER
    mdot = -F_CORE / C_CORE
    a = -G_SURFACE * mddot / 2
    b = fdot - G_SURFACE * mdot
    c = F_CORE - AE_P0 - G_SURFACE * M_IGNITION
    return (math.sqrt(b * b - 4 * a * c) - b) / (2 * a)


def build():
    times = [k * T_PITCH for k in range(1, N_POINTS + 1)]
    unit = [shape(t) for t in times]
    target = MP_BOOSTER * (1 - RESIDUAL)
    peak = target / burnt_by_separation(list(zip(times, unit)))  # N at relative thrust 1
    thrust = [round(f * peak, 1) for f in unit]
    return times, thrust, peak


def check(times, thrust):
    """Stops with a message unless the profile meets every requirement."""
    for k, t in enumerate(times, start=1):
        if abs(float(time_text(k)) - t) > 1e-9:
            raise SystemExit(f"point {k} off the t_pitch grid")
    if times[-1] < 140.0:
        raise SystemExit("profile ends before 140 s")
    t_lo = liftoff_time(times[0], thrust[0])
    if not 0 < t_lo < times[0]:
        raise SystemExit(f"liftoff at {t_lo:.3f} s is outside the first interval")
    resid = MP_BOOSTER - burnt_by_separation(list(zip(times, thrust)))
    if not 0 < resid < 0.01 * MP_BOOSTER:
        raise SystemExit(f"residual {resid:.1f} kg is not a small positive amount")
    burning = [t for t, f in zip(times, thrust) if f > 0]
    t_out = min(t for t, f in zip(times, thrust) if t > burning[-1])
    if t_out > T_SEP or any(f != 0 for t, f in zip(times, thrust) if t >= t_out):
        raise SystemExit("thrust must end before separation and stay zero")
    if any(f < 0 for f in thrust):
        raise SystemExit("negative thrust")
    return t_lo, resid, t_out


EXIT_USAGE = 64  # the usage-error code of every ascent tool


def project_version():
    """The version of the project the script belongs to, from its CMakeLists.txt."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "CMakeLists.txt")
    try:
        with open(path) as f:
            m = re.search(r"project\(ascent VERSION ([0-9.]+)", f.read())
    except OSError:
        m = None
    return m.group(1) if m else "unknown"


class Parser(argparse.ArgumentParser):
    """argparse with the tools' usage-error code and message style."""

    def error(self, message):
        sys.stderr.write(f"{self.prog}: {message} (try --help)\n")
        sys.exit(EXIT_USAGE)


def parse_args(argv):
    p = Parser(prog="make_profile.py",
               description="Writes the bundled booster thrust profile: one point per line, "
                           "time in s and one booster's vacuum thrust in N.")
    p.add_argument("output", nargs="?", default="data/s1.dat",
                   help="the file to write (default data/s1.dat)")
    p.add_argument("--version", action="version", version=f"%(prog)s {project_version()}")
    return p.parse_args(argv)


def main():
    out = parse_args(sys.argv[1:]).output
    times, thrust, peak = build()
    t_lo, resid, t_out = check(times, thrust)
    with open(out, "w", newline="\n") as f:
        for k, F in enumerate(thrust, start=1):
            f.write(f"{time_text(k)} {F:.1f}\n")
    print(f"peak {peak / 1e6:.3f} MN, first point {thrust[0] / 1e6:.3f} MN, liftoff at "
          f"{t_lo:.3f} s, burnt out at {t_out:.2f} s, residual at separation {resid:.1f} kg "
          f"({100 * resid / MP_BOOSTER:.2f} %)", file=sys.stderr)


if __name__ == "__main__":
    main()
