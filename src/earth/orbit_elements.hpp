// The Keplerian elements of an inertial state: the conic a point mass would
// follow if the Earth were a point from this instant on. Under J2 they swing
// along the orbit (the apsides by 10-20 km in a low orbit), so they describe
// the state, not the orbit's mean shape.
#pragma once
#include "earth/frames.hpp"

namespace ascent {

struct OrbitElements {
  double a;     // m, semi-major axis (negative on a hyperbola)
  double e;     // eccentricity
  double i;     // rad, inclination to the frame's equator (its xy plane)
  double raan;  // rad, right ascension of the ascending node from the frame's x axis, [0, 2 pi)
  double argp;  // rad, argument of perigee, [0, 2 pi)
  double nu;    // rad, true anomaly, [0, 2 pi)
  double rp;    // m, perigee radius a (1 - e)
  double ra;    // m, apogee radius a (1 + e); infinite when the orbit is open
};

// Elements of position r (m) and velocity v (m/s) about a body of
// gravitational parameter mu (m^3/s^2). The node of an equatorial orbit is
// taken at the x axis, the perigee of a circular one at the node: the angles
// then still add up to the state's true longitude.
OrbitElements osculating_elements(double mu, const Vec3& r, const Vec3& v);

}  // namespace ascent
