// The continuous extension of one step: the state at any time within the
// step, from what the integrator that took it knows. Event location reads it
// to find where a threshold lies inside a step without flying the step again;
// the observers may read it to draw the flight between its steps.
//
// The classic Runge-Kutta step and a restarted step of the adaptive
// integrator give the cubic Hermite on the step's end values and rates:
// third-order accurate in the step (its error goes as h^4 times the state's
// fourth derivative, 1/384 of it at the middle of the step). A step of the
// adaptive integrator read off its solution gives that solution's own
// continuous extension, of order four (PairCache::at), over the pair's step
// that holds it.
#pragma once
#include "trajectory/integrators/pair_cache.hpp"
#include "trajectory/state.hpp"

namespace ascent {

struct StepExtension {
  double t0 = 0, t1 = 0;   // s, the step's start and end
  StateVector y0{}, y1{};  // the state at t0 and at t1
  // The rates at t0 and t1 (the Hermite's); an integrator that has not
  // computed one leaves its flag false for the flight to complete.
  StateVector k0{}, k1{};
  bool has_k0 = false, has_k1 = false;
  // Read off the adaptive integrator's solution instead, whose step spans
  // [pair.t0, pair.t1] around [t0, t1].
  bool on_pair = false;
  PairCache pair;

  bool complete() const { return on_pair || (has_k0 && has_k1); }

  // The state at time t, t within [t0, t1]: its ends as they are.
  StateVector at(double t) const {
    if (t == t1) return y1;
    if (t == t0) return y0;
    if (on_pair) return pair.at(t);
    const double h = t1 - t0;
    const double u = (t - t0) / h, w = 1 - u;
    // The Hermite basis: y0 and y1 weighted by (1 + 2u) w^2 and (3 - 2u) u^2,
    // the rates by u w^2 h and -u^2 w h.
    const double c0 = (1 + 2 * u) * w * w, c1 = (3 - 2 * u) * u * u;
    const double d0 = u * w * w * h, d1 = -u * u * w * h;
    StateVector y;
    for_each_quantity([&](std::size_t i) { y[i] = c0 * y0[i] + c1 * y1[i] + d0 * k0[i] + d1 * k1[i]; });
    return y;
  }
};

}  // namespace ascent
