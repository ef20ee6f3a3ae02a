#pragma once
#include <cmath>

#include "phases/flight_context.hpp"

namespace ascent {

void booster_phase(FlightContext& S);

// The azimuth (rad from north, towards the east) of the plane through a site
// whose ratio cos(latitude) / cos(inclination) is x: sin A = 1 / x, taken as
// atan(1 / sqrt(x^2 - 1)). At x = 1, the inclination equal to the latitude,
// the plane leaves due east (A = 90 degrees), where that form divides by
// zero; a ratio a rounding below 1 is the same due-east plane, not a NaN.
inline double plane_azimuth(double x) { return x > 1 ? std::atan(1 / std::sqrt(x * x - 1)) : pi / 2; }

// The launch azimuth (rad from north, towards the east) of the plane that
// holds the site and has the target's inclination: sin A = cos i / cos lat.
double launch_azimuth(const Target& target);

// The launch site's rotation credited to the flight (m/s, the initial v_x):
// the target orbital speed less the speed still to be gained once the
// surface velocity is counted.
double launch_site_vrot(const Target& target, const Environment& e);

}  // namespace ascent
