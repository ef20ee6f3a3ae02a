#pragma once
#include "trajectory/flight_state.hpp"
#include "trajectory/step_record.hpp"

namespace ascent {

// Drag coefficient of the built-in vehicle as a function of the Mach number:
// piecewise linear, with the jump of the transonic drag rise above Mach 1.
double drag_coefficient(double mach);

// Advances the flight state by s.dt (negative steps back) with one classic
// fourth-order Runge-Kutta step of the planar equations of motion over a
// spherical rotating Earth, under the steering mode s.mode; then evaluates the
// new state (speed, angles, loads, osculating orbit) and hands its record to
// each observer in turn.
void trajectory_step(FlightState& s, const StepObservers& observers);

}  // namespace ascent
