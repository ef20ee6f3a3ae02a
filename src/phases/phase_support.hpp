#pragma once
#include <cmath>
#include <string>

#include "phases/flight_context.hpp"
#include "vehicle/vehicle.hpp"
#include "trajectory/trajectory_step.hpp"

namespace ascent {

// A step of a stage burning under closed loop (guided_flight.cpp): the
// guidance's attitude, and the burn ended where the propellant runs out.
void guided_step(FlightContext& S);

// One trajectory step with the session's current dt.
inline void step(FlightContext& S) {
  if (S.guidance.stage != GuidedStage::none) return guided_step(S);
  trajectory_step(S.fs, S.step_observers);
}

// Searches that repeat steps until a comparison turns true would never end on
// a state the comparison cannot settle (a vehicle flown into the ground ends
// in infinities and NaN). Each is bounded: by this many steps, and by a test
// that both sides of its comparison are still finite.
constexpr long max_search_steps = 100000;
// The rocket-equation trims at the end of a burn converge in a few steps;
// past this many the burn carries on as if converged.
constexpr long max_trim_steps = 1000;

// s: a burn-time trim at the end of a burn ends when the rocket equation
// leaves less than this to burn.
constexpr double tb_tolerance = 1e-05;

// The search for the pitch-over altitude refines its step by this factor,
// twice: to a tenth, then a hundredth, of a profile interval.
constexpr double search_refinement = 10;
// A profile interval may exceed the pitch-over duration by this much (s)
// before the program warns: the profile's own rounding.
constexpr double profile_spacing_slack = 1e-6;

// m/s, speed on a circular orbit at altitude h.
inline double circular_speed(const Environment& e, double h) { return std::sqrt(e.mu / (e.Re + h)); }

// m^2, the drag's reference area while the stack's cross-section is `stack`:
// the description's one area where it gives one.
inline double drag_area(const FlightContext& S, double stack) {
  const double A = S.desc->vehicle.drag.reference_area;
  return A > 0 ? A : stack;
}

// m^2, nozzle exit area of all core engines.
inline double core_exit_area(const CoreStage& c) { return c.engines * c.engine_exit_area; }

inline bool finite2(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

// Flies `advance` (one step with its bookkeeping) until `passed` says the
// threshold lies behind, then steps back once, to where the search refines
// or trims. `passed` also answers true when its comparison can no longer be
// settled (non-finite values); the steps are bounded by max_search_steps.
template <class Advance, class Passed>
void step_past_and_back(FlightContext& S, Advance advance, Passed passed) {
  long n = 0;
  do {
    advance();
  } while (!passed() && ++n < max_search_steps);
  S.fs.dt = -S.fs.dt;
  step(S);
}

// Whether the flight locates its thresholds where it meets them
// (numerics.events = "located") instead of on its steps.
inline bool located_events(const FlightContext& S) { return S.desc->mission.numerics.events == "located"; }

// s: a located threshold's flight time is found to within this, by at most
// this many halvings of the step (a step of 1e9 s would need some 60).
constexpr double event_time_resolution = 1e-9;
constexpr int max_bisections = 200;

// The flight time, within one step of dt from `from`, at which `passed`
// turns true: bisection over steps flown from `from` on copies that no
// observer sees, each as long as the time tried. `passed` is false at
// `from` and true at the step's end; the answer is the shortest step tried
// at whose end it holds.
template <class Passed>
double crossing_within(const FlightState& from, double dt, Passed passed) {
  const StepObservers quiet;
  double lo = 0, hi = dt;
  for (int i = 0; i < max_bisections && hi - lo > event_time_resolution; ++i) {
    const double mid = lo + (hi - lo) / 2;
    if (!(lo < mid && mid < hi)) break;
    FlightState x = from;
    x.dt = mid;
    trajectory_step(x, quiet);
    (passed(x) ? hi : lo) = mid;
  }
  return hi;
}

// One step of s.dt; with located events and open loop, only up to where
// `passed` turns true within it, the step's table line falling on the
// threshold itself (s.dt is then the part flown). True when `passed` holds
// at the step's end.
template <class Passed>
bool step_until(FlightContext& S, Passed passed) {
  FlightState& s = S.fs;
  if (located_events(S) && S.guidance.stage == GuidedStage::none) {
    FlightState x = s;
    trajectory_step(x, StepObservers{});
    if (!passed(x)) {
      // The step as flown; the observers see its state as a step's (the
      // evaluation gives the same numbers again).
      s = x;
      evaluate_state(s, S.step_observers);
      return false;
    }
    s.dt = crossing_within(s, s.dt, passed);
  }
  step(S);
  return passed(s);
}

// The osculating orbit, announced after core separation, before the upper
// stage's ignition and at the end of the flight.
inline void announce_orbit(FlightContext& S) {
  FlightEvent e;
  e.kind = EventKind::orbit;
  e.hp = S.fs.hp;
  e.ha = S.fs.ha;
  announce(S, std::move(e));
}

}  // namespace ascent
