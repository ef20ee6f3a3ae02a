#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

// With the transfer to apogee, coasts to just below the
// target altitude and burns the upper stage to circular speed; then the orbit
// report and the mission summary.
void third_stage_phase(FlightContext& S, bool transfer);

// Propellant (kg) that gives a vehicle of total mass m (kg) the speed dv (m/s)
// with the exhaust velocity c (m/s), by default the built-in upper stage's
// (rocket equation).
double rocket_propellant(double m, double dv,
                         double c = builtin_description().vehicle.upper.exhaust_speed);

}  // namespace ascent
