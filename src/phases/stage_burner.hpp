// What the planar and the 3-D flights of a staged vehicle share of its
// bookkeeping: a burning thing (a stage's engines, a booster group) with
// its propellant, throttle and thrust profile, and a stage's throttle
// schedule. Both flights step it the same way, so a vehicle burns alike in
// either.
#pragma once
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "vehicle/staged.hpp"

namespace ascent::staging {

// s, an event this close is due: the steps' times carry rounding.
inline constexpr double burn_slack = 1e-9;
inline constexpr double inf = std::numeric_limits<double>::infinity();

// Something that burns: a stage's engines or a booster group.
struct Burner {
  std::string name;
  double F = 0;          // N, vacuum thrust at throttle 1 (a thrust profile's: its mean over the burn)
  double c = 0;          // m/s
  double area = 0;       // m^2, nozzle exit area of all its nozzles
  double left = 0;       // kg, propellant left
  double throttle = 1;
  bool lit = false;
  // The thrust against time of each of its `units` engines, from the
  // ignition at t_on (null: F throughout).
  const ThrustProfile* profile = nullptr;
  int units = 1;
  double t_on = 0;       // s after lift-off
  bool out = false;      // burnt out

  double flow() const { return F * throttle / c; }
  // N and kg/s at flight time t.
  double thrust(double t) const { return profile ? units * profile->thrust(t - t_on) : F * throttle; }
  double flow(double t) const { return profile ? thrust(t) / c : flow(); }
  // Burnt out by time t: no propellant left, or past the profile's end.
  bool spent(double t) const {
    if (!profile) return left <= flow() * burn_slack;
    return left <= 0 || t - t_on + burn_slack >= profile->end();
  }
  // s from t to where it runs dry within the profile's present interval
  // (its end, at the last point); infinite beyond it: the steps stop at
  // every point, so the next interval answers there.
  double dry_in(double t) const {
    if (!profile) return left / flow();
    const ThrustProfile& p = *profile;
    const double tb = t - t_on;
    const double tn = *std::upper_bound(p.t.begin(), p.t.end() - 1, tb + burn_slack);
    const double I = left * c / units;  // N s, each engine's impulse left
    const double F0 = p.thrust(tb), slope = (p.thrust(tn) - F0) / (tn - tb);
    const double root = std::sqrt(std::max(0.0, F0 * F0 + 2 * slope * I));
    const double x = F0 + root > 0 ? 2 * I / (F0 + root) : inf;
    if (x <= tn - tb && (F0 * F0 + 2 * slope * I) >= 0) return x;
    return tn == p.end() ? tn - tb : inf;
  }
  // s from t to the next point of its profile (infinite: none).
  double next_point(double t) const {
    if (!profile || !lit) return inf;
    const double tb = t - t_on;
    const auto it = std::upper_bound(profile->t.begin(), profile->t.end(), tb + burn_slack);
    return it == profile->t.end() ? inf : *it - tb;
  }
  // s from t to its burn-out, over the whole of what is left.
  double dry_left(double t) const {
    if (!profile) return left / flow();
    const double tb = t - t_on;
    return profile->time_of_impulse(left * c / units + profile->impulse(tb)) - tb;
  }
  // kg/s, the mean flow over what is left of the burn: the guidance's
  // constant-thrust model of a profile.
  double mean_flow(double t) const {
    if (!profile) return flow();
    const double tb = t - t_on;
    const double t_out = tb + dry_left(t);
    const double burnt = (profile->impulse(t_out) - profile->impulse(tb)) * units / c;
    return t_out > tb ? burnt / (t_out - tb) : flow(t);
  }
};

// The throttle of a stage's schedule at t_burn after its ignition.
inline double stage_throttle(const StagedStage& z, double t_burn) {
  double level = 1;
  for (std::size_t k = 0; k < z.throttle_times.size(); ++k) {
    if (t_burn + burn_slack >= z.throttle_times[k]) level = z.throttle_levels[k];
  }
  return level;
}

}  // namespace ascent::staging
