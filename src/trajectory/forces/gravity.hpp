// Gravity of a spherical Earth: mu / r^2 toward its centre. The oblateness
// (J2) will be a force of its own beside it, registered in dynamics.hpp.
#pragma once

namespace ascent::forces {

// m/s^2, downward, at the distance r (m) from the centre of an Earth of the
// gravitational parameter mu (m^3/s^2).
inline double gravity(double mu, double r) { return mu / (r * r); }

}  // namespace ascent::forces
