// Thrust: the vacuum thrust less the back-pressure on the nozzles' exit area
// (never below zero), pointed where the steering law says.
#pragma once

namespace ascent::forces {

// N, thrust after the back-pressure loss, at the pressure p (Pa) on the exit
// area Ae (m^2).
inline double thrust(double Fvac, double p, double Ae) {
  const double F = Fvac - p * Ae;
  return F < 0 ? 0 : F;
}

// Where a steering law points the thrust: the cosine and sine of its angle
// above the local horizontal; or, when `components`, the thrust already
// split into its horizontal and vertical components (N) by the law itself
// (the vertical-acceleration law sizes the vertical one). A law that holds
// the vertical acceleration exactly (that law again) gives it in `ay`.
struct Pointing {
  double ux = 0, uy = 0;
  bool components = false;
  bool holds_ay = false;
  double ay = 0;  // m/s^2
};

// N, the thrust's horizontal and vertical components at the thrust F.
inline double thrust_x(const Pointing& p, double F) { return p.components ? p.ux : F * p.ux; }
inline double thrust_y(const Pointing& p, double F) { return p.components ? p.uy : F * p.uy; }

}  // namespace ascent::forces
