// The classic fourth-order Runge-Kutta step, and its equal sub-steps: the
// fixed steps every flight takes unless numerics.integrator asks for error
// control. Generic over the right-hand side f, the rates of the integrated
// quantities at a state vector (trajectory/dynamics.hpp gives the flight's).
#pragma once
#include <utility>

#include "trajectory/state.hpp"

namespace ascent {

// Classic RK4 over dt: stage weights 1/2, 1/2, 1; final weights
// (k1 + 2(k2 + k3) + k4)/6. f maps a state vector to its rates. The rates
// at the start go to `start_rates` when given (the step's continuous
// extension begins with them).
template <class Rhs>
void rk4_step(State& s, double dt, Rhs&& f, StateVector* start_rates = nullptr) {
  const StateVector y = vector_of(s);
  auto scaled = [dt](StateVector k) {
    for_each_quantity([&](std::size_t i) { k[i] *= dt; });
    return k;
  };
  auto advanced = [&y](const StateVector& k, double w) {
    StateVector z;
    for_each_quantity([&](std::size_t i) { z[i] = y[i] + k[i] * w; });
    return z;
  };
  StateVector f1 = f(y);
  if (start_rates) *start_rates = f1;
  const StateVector k1 = scaled(std::move(f1));
  const StateVector k2 = scaled(f(advanced(k1, 0.5)));
  const StateVector k3 = scaled(f(advanced(k2, 0.5)));
  const StateVector k4 = scaled(f(advanced(k3, 1.0)));
  StateVector y1 = y;
  for_each_quantity([&](std::size_t i) { y1[i] += (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) / 6; });
  assign(s, y1);
  s.t += dt;
}

// One step of dt as `substeps` equal classic steps; the step ends at t + dt
// exactly, as a single step does.
template <class Rhs>
void rk4_substeps(State& s, double dt, int substeps, Rhs&& f, StateVector* start_rates = nullptr) {
  if (substeps <= 1) return rk4_step(s, dt, f, start_rates);
  const double t0 = s.t, h = dt / substeps;
  for (int i = 0; i < substeps; ++i) rk4_step(s, h, f, i == 0 ? start_rates : nullptr);
  s.t = t0 + dt;
}

}  // namespace ascent
