// Gravity of a spherical Earth: mu / r^2 toward its centre. The oblateness
// (J2) will be a force of its own beside it, registered in dynamics.hpp.
#pragma once
#include "atmosphere/earth.hpp"

namespace ascent::forces {

// m/s^2, downward, at the distance r (m) from the Earth's centre.
inline double gravity(double r) { return mu / (r * r); }

}  // namespace ascent::forces
