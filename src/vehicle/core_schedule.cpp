#include "vehicle/core_schedule.hpp"

#include <algorithm>

namespace ascent {

std::vector<ThrustKnot> core_thrust_schedule(const Description& d) {
  const CoreStage& c = d.vehicle.core;
  const Fairing& fairing = d.vehicle.fairing;
  const double a_lim = d.mission.plan.acceleration_limit;
  const double ce = c.exhaust_speed;
  double F = core_thrust(c, c.throttle_entry);
  std::vector<ThrustKnot> k{{0, F}};
  // The boosters leave with all they carry, burnt or not, so after their
  // separation the stack is the core and what stands on it, less what the
  // core has burnt at its entry throttle. The acceleration limit is first
  // looked for after the fairing has gone.
  double t = fairing.jettison_time;
  double m = d.vehicle.upper.stack_mass + c.dry_mass + c.propellant_mass - F / ce * t - fairing.mass;
  // Burns at constant thrust until F/m reaches the limit (at once where it
  // already has); the mass there is F/a_lim.
  auto hold = [&] {
    const double dt = std::max(0.0, (F / a_lim - m) / (-F / ce));
    t += dt;
    m -= F / ce * dt;
    k.push_back({t, F});
  };
  // Lowers the thrust by dF linearly over tau: the mass falls by the mean
  // flow over it.
  auto ramp = [&](double dF, double tau) {
    m -= (F - dF / 2) / ce * tau;
    F -= dF;
    t += tau;
    k.push_back({t, F});
  };
  hold();
  // At least one throttle step, as the flight takes one even where the entry
  // throttle is the lowest.
  const int steps = std::max(1, throttle_steps(c));
  for (int i = 0; i < steps; ++i) {
    ramp(core_thrust(c, c.throttle_step), c.throttle_step_time);
    hold();
  }
  for (int n = 1; n <= c.engines; ++n) {
    ramp(c.throttle_minimum * c.engine_thrust, c.shutdown_time);
    if (n < c.engines) hold();
  }
  // Steps that do not divide the throttle range leave the last engine a
  // little thrust, or take a little too much: it ends there either way.
  k.back().F = std::max(0.0, k.back().F);
  return k;
}

double thrust_at(const std::vector<ThrustKnot>& k, double t) {
  if (k.empty() || t < k.front().t || t > k.back().t) return 0;
  auto hi = std::upper_bound(k.begin(), k.end(), t, [](double x, const ThrustKnot& p) { return x < p.t; });
  if (hi == k.end()) return k.back().F;
  auto lo = hi - 1;
  return lo->F + (hi->F - lo->F) * (t - lo->t) / (hi->t - lo->t);
}

}  // namespace ascent
