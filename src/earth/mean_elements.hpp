// Orbital elements, osculating and mean, over the oblate Earth.
//
// J2 makes the osculating (instantaneous Keplerian) elements of an orbit
// swing through every revolution: at 51.6 degrees the osculating perigee and
// apogee of a low orbit move by 10-20 km within one orbit, so the elements
// read at one instant (orbit injection, say) say little about the orbit the
// satellite keeps. The mean elements remove those short-period terms: they
// are the elements averaged over one revolution, constant apart from the
// slow secular drift of the node and perigee.
//
// The mean elements here are Brouwer's first-order short-period terms of J2
// (D. Brouwer, "Solution of the problem of artificial satellite theory
// without drag", Astronomical Journal 64, 1959), in Lyddane's form (R. H.
// Lyddane, Astronomical Journal 68, 1963) that stays regular at zero
// eccentricity and inclination, as written out in H. Schaub and J. L.
// Junkins, "Analytical Mechanics of Space Systems", AIAA 2009, Appendix F.
// Brouwer's long-period terms are left out on purpose: they are not removed
// by averaging over one revolution, and they divide by 1 - 5 cos^2 i, which
// vanishes at the critical inclination (63.4 degrees).
#pragma once

#include "earth/ballistic.hpp"

namespace ascent {

// Keplerian elements. Angles in [0, 2 pi) apart from the inclination
// [0, pi]; the node is measured in the inertial frame's x-y plane from x,
// the Earth's equator when z is its axis. A circular orbit has its perigee
// put at the node (argp = 0), an equatorial one its node on x (raan = 0).
struct ClassicalElements {
  double a;     // m, semi-major axis
  double e;     // eccentricity
  double i;     // rad, inclination
  double raan;  // rad, right ascension of the ascending node
  double argp;  // rad, argument of perigee
  double M;     // rad, mean anomaly
};

// The osculating elements of an inertial state about a body of parameter mu
// (m^3/s^2). Elliptic orbits only: r and v of a bound orbit.
ClassicalElements classical_elements(double mu, const Vec3& r, const Vec3& v);

// Mean elements of osculating ones, and back: the short-period terms of J2
// (e.J2, e.a, e.mu) subtracted or added, taken at the elements given. First
// order in J2, whose neglected terms are of order J2^2 a (8 m in a low
// orbit). Measured over a revolution flown in the J2 field, low orbits at
// 28.5-97.4 degrees, e up to 0.1: the mean a within 20 m of the osculating a
// averaged over the revolution and steady to 30 m where the osculating a
// swings 6-19 km; e steady to 3e-6, i to 1e-6 rad, the node and argument of
// latitude steady rates to 2e-6 rad (3e-5 rad at e = 0.1).
ClassicalElements mean_of_osculating(const Spheroid& e, const ClassicalElements& osc);
ClassicalElements osculating_of_mean(const Spheroid& e, const ClassicalElements& mean);

// The mean elements of an inertial state whose z axis is the Earth's axis.
ClassicalElements mean_elements(const Spheroid& e, const Vec3& r, const Vec3& v);

// Perigee and apogee heights above the equatorial radius (m).
inline double perigee_height(const Spheroid& e, const ClassicalElements& x) { return x.a * (1 - x.e) - e.a; }
inline double apogee_height(const Spheroid& e, const ClassicalElements& x) { return x.a * (1 + x.e) - e.a; }

}  // namespace ascent
