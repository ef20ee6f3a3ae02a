#pragma once
#include "trajectory/flight_state.hpp"
#include "trajectory/step_record.hpp"

namespace ascent {

// Drag coefficient of the built-in vehicle as a function of the Mach number:
// piecewise linear, with the jump of the transonic drag rise above Mach 1.
double drag_coefficient(double mach);

// Advances the flight state by s.dt (negative steps back) along the planar
// equations of motion over a spherical rotating Earth (dynamics.hpp), under
// the segment's steering mode, by the integrator the flight asks for: the
// classic fourth-order Runge-Kutta step in s.substeps equal parts
// (integrators/rk4.hpp), or with s.tolerance above zero the adaptive one
// (integrators/dormand_prince.hpp); then evaluates the new state (speed,
// angles, loads, osculating orbit) and hands its record to each observer in
// turn.
void trajectory_step(FlightState& s, const StepObservers& observers);

// The same step, its continuous extension left in `ext` and handed to the
// observers with the record. The integrator leaves out rates it has not
// computed (the classic step's at its end); complete_extension adds them,
// under the segment of s (the step's end), when the extension is to be read.
void trajectory_step(FlightState& s, const StepObservers& observers, StepExtension& ext);
void complete_extension(const FlightState& s, StepExtension& ext);

// The state at time t within the step s has just taken, read off its
// completed extension and evaluated (speed, angles, osculating orbit) as a
// step's end is, seen by no observer.
FlightState state_on(const FlightState& s, const StepExtension& ext, double t);

// The evaluation that ends a step, of a state set without one (a coast
// solved in closed form): speed, angles, loads, osculating orbit, and the
// record to each observer.
void evaluate_state(FlightState& s, const StepObservers& observers, const StepExtension* ext = nullptr);

// One step of a coast through the air under the pitch programme (no thrust),
// by an embedded Runge-Kutta pair with error control: from s.dt, shortened
// until the estimated error of position and velocity is within `tolerance`
// times the radius and the speed. Advances and evaluates the state, leaves
// in s.dt the next step's proposal and returns the step taken (0 if none
// was accepted: a state the error cannot be estimated on).
double coast_step_adaptive(FlightState& s, double tolerance, const StepObservers& observers);

}  // namespace ascent
