#pragma once
#include "trajectory/flight_state.hpp"
#include "trajectory/step_table.hpp"

namespace ascent {

// Drag coefficient of the built-in vehicle as a function of the Mach number:
// piecewise linear, with the jump of the transonic drag rise above Mach 1.
double drag_coefficient(double mach);

// Advances the flight state by s.dt (negative steps back) with one classic
// fourth-order Runge-Kutta step of the planar equations of motion over a
// spherical rotating Earth, under the steering mode s.mode; then evaluates the
// new state (speed, angles, loads, extremes, osculating orbit) and writes one
// table line and, in file mode, one line to each data file.
void trajectory_step(FlightState& s, StepOutputs& out);

}  // namespace ascent
