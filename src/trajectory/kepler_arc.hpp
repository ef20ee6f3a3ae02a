#pragma once

namespace ascent {

// A coast with no thrust and no air is an arc of a conic about the Earth's
// centre, known in closed form: Kepler's equation gives the eccentric anomaly
// at any time, and the state follows from it. Only ellipses are kept (a
// coast that leaves the Earth is stepped).
//
// The state is the flight's own: radius r, local-horizontal inertial speed vx
// (along the motion, positive) and vertical speed vy.
struct KeplerArc {
  double mu = 0;   // m^3/s^2
  double a = 0;    // m, semi-major axis
  double e = 0;    // eccentricity
  double n = 0;    // rad/s, mean motion
  double hm = 0;   // m^2/s, angular momentum per unit mass, r vx
  double E0 = 0;   // rad, eccentric anomaly at the start, in (-pi, pi]
  double M0 = 0;   // rad, mean anomaly at the start
};

// The arc through (r, vx, vy); false if the state is not on an ellipse flown
// forward (vx > 0, negative energy, every value finite).
bool kepler_arc(double mu, double r, double vx, double vy, KeplerArc& arc);

// The state dt after the start (dt >= 0): radius, horizontal and vertical
// speed, and the angle swept about the Earth's centre since the start (rad).
struct ArcPoint {
  double r, vx, vy, swept;
};
ArcPoint arc_at(const KeplerArc& arc, double dt);

// A point's eccentric anomaly with its sine and cosine, and the true anomaly
// at the start: what a coast evaluated step by step carries from one point
// to the next, whose anomaly Newton's method then finds in two steps.
struct ArcAnomaly {
  double E, sinE, cosE, nu0;  // rad, -, -, rad
};
ArcAnomaly anomaly_at_start(const KeplerArc& arc);

// The state dt after the start, Kepler's equation solved from the anomaly
// `last` (a point close by on the arc), which it replaces with dt's own.
ArcPoint arc_near(const KeplerArc& arc, double dt, ArcAnomaly& last);

// Time from the start to the first point at radius r while climbing (the
// crossing on the way from perigee to apogee); -1 if the arc never climbs
// through r (r above the apogee or below the perigee).
double time_to_climb_through(const KeplerArc& arc, double r);

// Time from the start to the next apogee (0 at the apogee itself).
double time_to_apogee(const KeplerArc& arc);

}  // namespace ascent
