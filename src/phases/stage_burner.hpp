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
#include <vector>

#include "vehicle/staged.hpp"

namespace ascent::staging {

// s, an event this close is due: the steps' times carry rounding.
inline constexpr double cycle_slack = 1e-9;
inline constexpr double inf = std::numeric_limits<double>::infinity();
// Halvings of the interval that holds the lift-off: far below a nanosecond.
inline constexpr int max_bisections = 60;

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
    if (!profile) return left <= flow() * cycle_slack;
    return left <= 0 || t - t_on + cycle_slack >= profile->end();
  }
  // s from t to where it runs dry within the profile's present interval
  // (its end, at the last point); infinite beyond it: the steps stop at
  // every point, so the next interval answers there.
  double dry_in(double t) const {
    if (!profile) return left / flow();
    const ThrustProfile& p = *profile;
    const double tb = t - t_on;
    const double tn = *std::upper_bound(p.t.begin(), p.t.end() - 1, tb + cycle_slack);
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
    const auto it = std::upper_bound(profile->t.begin(), profile->t.end(), tb + cycle_slack);
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

// The burners burning: the stage's engines and the booster groups lit.
inline std::vector<Burner*> lit_burners(Burner& engines, std::vector<Burner>& groups) {
  std::vector<Burner*> lit;
  if (engines.lit) lit.push_back(&engines);
  for (Burner& b : groups) {
    if (b.lit) lit.push_back(&b);
  }
  return lit;
}

// A booster group as one burner, all its boosters alike, not yet lit; on a
// profile its thrust is the profile's mean over the burn.
inline Burner booster_burner(const BoosterGroup& g) {
  Burner b{"booster group", g.count * g.thrust, g.exhaust_speed, g.count * g.exit_area, g.count * g.propellant_mass, 1, false};
  if (g.profile) {
    b.profile = g.profile.get();
    b.units = g.count;
    b.F = g.count * g.profile->impulse(group_burn_time(g)) / group_burn_time(g);
  }
  return b;
}

// The throttle of a stage's schedule at t_burn after its ignition.
inline double stage_throttle(const StagedStage& z, double t_burn) {
  double level = 1;
  for (std::size_t k = 0; k < z.throttle_times.size(); ++k) {
    if (t_burn + cycle_slack >= z.throttle_times[k]) level = z.throttle_levels[k];
  }
  return level;
}

// s after the ignition (at 0) at which the stack of mass m0 on the pad
// lifts off, held down until the pad thrust pad(Fvac, Ae) (N, after the
// back-pressure on the nozzles of area Ae) exceeds its weight m g as its
// lit burners burn in place: a thrust profile rising from nothing at the
// ignition lifts it within its first interval. 0: it lifts at once, or has
// no profile rising, or is still too heavy at the interval's end (it then
// flies from the ignition and comes down on the pad).
template <class PadThrust>
double lift_off_time(const std::vector<const Burner*>& lit, double m0, double g, PadThrust&& pad) {
  double t1 = inf;
  for (const Burner* b : lit) t1 = std::min(t1, b->next_point(0));
  if (!(t1 < inf)) return 0;
  auto margin = [&](double t) {  // N, pad thrust less weight at t
    double F = 0, Ae = 0, m = m0;
    for (const Burner* b : lit) {
      F += b->thrust(t);
      Ae += b->area;
      m -= b->profile ? (b->thrust(0) + b->thrust(t)) / 2 / b->c * t : b->flow() * t;
    }
    return pad(F, Ae) - m * g;
  };
  if (margin(0) > 0 || !(margin(t1) > 0)) return 0;
  double lo = 0, hi = t1;
  for (int i = 0; i < max_bisections; ++i) {
    const double mid = (lo + hi) / 2;
    (margin(mid) > 0 ? hi : lo) = mid;
  }
  return hi;
}

// What the lit burners burn in place from the ignition (at 0) to t (kg).
inline double burn_in_place(const std::vector<Burner*>& lit, double t) {
  double burnt = 0;
  for (Burner* b : lit) {
    const double x = b->profile ? (b->thrust(0) + b->thrust(t)) / 2 / b->c * t : b->flow() * t;
    b->left = std::max(0.0, b->left - x);
    burnt += x;
  }
  return burnt;
}

// s from a state at radius r (m) with speed squared v2 (m^2/s^2) and r.v
// rv (m^2/s) to the apogee of its orbit about mu (m^3/s^2), Kepler's
// equation between the two; 0 past the apogee (descending) or off a
// closed orbit.
inline double time_to_apogee(double mu, double r, double v2, double rv) {
  const double a = 1 / (2 / r - v2 / mu);
  if (!(a > 0) || rv < 0) return 0;
  const double es = rv / std::sqrt(mu * a), ec = 1 - r / a;  // e sin E, e cos E
  const double E = std::atan2(es, ec), e = std::hypot(es, ec);
  const double pi = std::acos(-1.0);
  return (pi - (E - e * std::sin(E))) * std::sqrt(a * a * a / mu);
}

// s, a burn at exhaust speed c and flow mdot (kg/s) from mass m (kg) that
// gives the velocity dv (m/s): the rocket equation.
inline double burn_time_for(double dv, double m, double mdot, double c) {
  return m / mdot * (1 - std::exp(-dv / c));
}

}  // namespace ascent::staging
