#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

void booster_phase(FlightContext& S);

// The launch azimuth (rad from north, towards the east) of the plane that
// holds the site and has the target's inclination: sin A = cos i / cos lat.
double launch_azimuth(const Target& target);

// The launch site's rotation credited to the flight (m/s, the initial v_x):
// the target orbital speed less the speed still to be gained once the
// surface velocity is counted.
double launch_site_vrot(const Target& target);

}  // namespace ascent
