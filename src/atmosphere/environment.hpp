// The world a flight flies in: the Earth's gravity, size and turning, and the
// air over it. One value per flight, read by the forces and by everything
// that turns a state into an orbit (vis-viva, the Keplerian arc, guidance,
// the exported trajectory). The built-in one is the program's own Earth of
// earth.hpp and the 1976 standard atmosphere, bit for bit.
#pragma once
#include <cmath>

#include "atmosphere/atmosphere.hpp"
#include "atmosphere/earth.hpp"

namespace ascent {

struct Environment {
  double mu = ascent::mu;                      // m^3/s^2, gravitational parameter
  double Re = ascent::Re;                      // m, radius of the sphere; altitudes are above it
  double gs = ascent::gs;                      // m/s^2, surface gravity mu / Re^2
  double sidereal_day = ascent::sidereal_day;  // s, one turn against the stars, 2 pi / omega
  // The air: false, the 1976 standard; true, an isothermal exponential
  // atmosphere rho0 exp(-h / H) whose pressure falls with the same scale
  // height from the standard's sea-level pressure, and whose speed of sound
  // is that of the isothermal gas, sqrt(1.4 P0 / rho0).
  bool exponential = false;
  double rho0 = 0;          // kg/m^3, sea-level density (exponential)
  double scale_height = 0;  // m (exponential)
  double a_s = 0;           // m/s, speed of sound (exponential)

  bool operator==(const Environment&) const = default;
};

// The program's own Earth and the standard atmosphere.
const Environment& builtin_environment();

// m/s, eastward surface speed of the Earth at the latitude phi (rad).
inline double surface_speed(const Environment& e, double phi) {
  return 2 * pi * e.Re * std::cos(phi) / e.sidereal_day;
}

// Pressure (Pa), density (kg/m^3) and speed of sound (m/s) at the altitude
// h (m) in the exponential atmosphere.
inline void exponential_air(const Environment& e, double h, double& p, double& rho, double& a_s) {
  const double f = std::exp(-h / e.scale_height);
  p = P0 * f;
  rho = e.rho0 * f;
  a_s = e.a_s;
}

// The air at h in the environment: the standard's look-up or the
// exponential. With `with_p` false the standard may leave the pressure out
// (as atmosphere_without_pressure does); the answer is whether p was set.
inline bool air_of(const Environment& e, double h, bool with_p, double& p, double& rho, double& a_s) {
  if (e.exponential) {
    exponential_air(e, h, p, rho, a_s);
    return true;
  }
  if (with_p) {
    atmosphere(h, p, rho, a_s);
    return true;
  }
  return !atmosphere_without_pressure(h, p, rho, a_s);
}

}  // namespace ascent
