#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

// Flies the core stage from booster separation to core separation, reports
// the orbit and replaces S.tt by the recommended turn time.
void core_phase(FlightContext& S);

// Speed at the present radius on the orbit with the present perigee and the
// target apogee altitude, by default the built-in 398.6 km (vis-viva).
double v_target(const FlightState& s,
                double ha_target = builtin_description().mission.target.apogee_altitude);

// Burn time to v_target at constant thrust and mass flow (rocket equation,
// without gravity and drag); negative after an overshoot.
double burn_time(const FlightState& s,
                 double ha_target = builtin_description().mission.target.apogee_altitude);

// Secant step on the perigee altitude at core separation: sets S.tt to the
// turn time that should bring the perigee to its target, or nudges it (by
// 0.1 s for the built-in mission) when the step fails or leaves (0, 90) s;
// keeps the history in
// S.tt_prev and S.hp_prev.
void correct_turn_time(FlightContext& S);

}  // namespace ascent
