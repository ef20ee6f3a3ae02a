#pragma once
#include <cmath>
#include <string>

#include "phases/flight_context.hpp"
#include "vehicle/vehicle.hpp"
#include "trajectory/step_event.hpp"
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

// s: a located threshold's flight time is where the step flown from the
// step's start, as long as the time tried, first ends past it: found to
// within this, by at most this many halvings of the step (a step of 1e9 s
// would need some 60).
constexpr double event_time_resolution = 1e-9;
constexpr int max_bisections = 200;
// The threshold found on the step's continuous extension decides the
// bisection's halvings whose time lies farther from it than this fraction
// of the step; those nearer are flown. The extension of a one-second step
// puts a threshold within some 1e-7 s of the steps' (the Hermite's error
// goes as the step's fourth power); a search the extension misled is flown
// again in full.
constexpr double extension_window = 1e-6;
// Iterations of the search on the extension (regula falsi, each an
// evaluation of a state, no step).
constexpr int max_extension_iterations = 60;

// The time within [0, dt] after the start of the step `ext` spans at which
// the event's g crosses zero on the extension, to within `width`; NaN where
// g does not change sign from below to above zero between the step's ends,
// turns non-finite or the search does not close in. The Illinois variant of
// regula falsi: the end that stays is halved in weight.
template <class E>
double crossing_on_extension(const FlightState& at_end, const StepExtension& ext, double g0, double g1,
                             const E& e, double width) {
  const double t0 = ext.t0;
  double a = 0, b = ext.t1 - t0, ga = g0, gb = g1;
  if (!(ga < 0 && gb > 0 && std::isfinite(ga) && std::isfinite(gb))) return NAN;
  int side = 0;
  for (int i = 0; i < max_extension_iterations && b - a > width; ++i) {
    double c = b - gb * (b - a) / (gb - ga);
    if (!(a < c && c < b)) c = a + (b - a) / 2;
    const double gc = e.g(state_on(at_end, ext, t0 + c));
    if (!std::isfinite(gc)) return NAN;
    if (gc > 0) {
      b = c;
      gb = gc;
      if (side == 1) ga /= 2;
      side = 1;
    } else {
      a = c;
      ga = gc;
      if (side == -1) gb /= 2;
      side = -1;
    }
  }
  return b - a <= width ? a + (b - a) / 2 : NAN;
}

// The flight time, within one step of dt from `from`, at which the event is
// passed: bisection over steps flown from `from` on copies that no observer
// sees, each as long as the time tried. The event is not passed at `from`
// and is at the step's end; the answer is the shortest step tried at whose
// end it is passed.
//
// With the step's completed continuous extension (`ext`, ending in
// `at_end`), the threshold is first found on it, and the halvings far from
// it are decided there instead of flown. The steps flown are monotone in
// their length, so the halvings decided on the extension are those the
// flown steps would decide as long as the nearest of them on either side
// agrees with its flown step: both are flown, and where one disagrees the
// bisection is flown in full. Either way the answer is the bisection's.
template <class E>
double crossing_within(const FlightState& from, double dt, const E& e, const StepExtension* ext = nullptr,
                       const FlightState* at_end = nullptr) {
  const StepObservers quiet;
  auto passed_after = [&](double t) {
    FlightState x = from;
    x.dt = t;
    trajectory_step(x, quiet);
    return e.passed(x);
  };
  const double window = extension_window * std::fabs(dt);
  double t_ext = NAN;
  if (ext && at_end && dt > 0) t_ext = crossing_on_extension(*at_end, *ext, e.g(from), e.g(*at_end), e, window / 4);
  double lo = 0, hi = dt;
  double last_before = 0, first_after = dt;  // halvings decided on the extension
  bool decided_before = false, decided_after = false;
  for (int i = 0; i < max_bisections && hi - lo > event_time_resolution; ++i) {
    const double mid = lo + (hi - lo) / 2;
    if (!(lo < mid && mid < hi)) break;
    bool past;
    if (std::fabs(mid - t_ext) > window) {
      past = mid > t_ext;
      (past ? first_after : last_before) = mid;
      (past ? decided_after : decided_before) = true;
    } else {
      past = passed_after(mid);
    }
    (past ? hi : lo) = mid;
  }
  if ((decided_before && passed_after(last_before)) || (decided_after && !passed_after(first_after))) {
    return crossing_within(from, dt, e);
  }
  return hi;
}

// One step of s.dt; with located events and open loop, only up to where
// the event is passed within it, the step's table line falling on the
// threshold itself (s.dt is then the part flown). True when the event is
// passed at the step's end.
template <class E>
bool step_until(FlightContext& S, const E& e) {
  FlightState& s = S.fs;
  if (located_events(S) && S.guidance.stage == GuidedStage::none) {
    FlightState x = s;
    StepExtension ext;
    trajectory_step(x, StepObservers{}, ext);
    if (!e.passed(x)) {
      // The step as flown; the observers see its state as a step's (the
      // evaluation gives the same numbers again).
      s = x;
      evaluate_state(s, S.step_observers, ext.complete() ? &ext : nullptr);
      return false;
    }
    complete_extension(x, ext);
    s.dt = crossing_within(s, s.dt, e, &ext, &x);
  }
  step(S);
  return e.passed(s);
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
