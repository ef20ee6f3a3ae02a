// The optimal-control problem of a staged vehicle: its stages, booster
// groups and fairing laid out on one time line from lift-off, cut into
// phases at every ignition, burn-out and jettison, each phase burning what
// is lit in it and dropping what leaves at its end. The last stage burns
// from its ignition for as long as the optimum wants, at most its full burn.
#include <algorithm>
#include <cmath>

#include "atmosphere/earth.hpp"
#include "control.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "phases/staged_flight.hpp"
#include "trajectory/model_environment.hpp"

namespace ascent::control {
namespace {

constexpr double rad = 3.14159265358979323846 / 180;
// s: events closer than this are one: a booster group lit as another burns
// out differ by the rounding of the exhaust speeds the description gives
// (Delta III's by 1.3 ms), and a phase that short only slows the solver.
constexpr double same_time = 0.01;

// Something on the stack with a fixed time line: lit at t_on, burning to
// t_off, leaving at t_drop with what is then left of it.
struct Element {
  std::string name;
  double F = 0, mdot = 0, Ae = 0;  // N, kg/s, m^2
  double t_on = 0, t_off = 0, t_drop = 0;
  double mass = 0, propellant = 0;  // kg, at lift-off
  double area = 0;      // m^2, boosters: their cross-sections, added to the stack's
  double diameter = 0;  // m, a stage's body
  // The throttle from each time on (s since lift-off); empty: 1 throughout.
  std::vector<double> level_t, level;
  double level_at(double t) const {
    double l = 1;
    for (std::size_t k = 0; k < level_t.size(); ++k)
      if (t >= level_t[k]) l = level[k];
    return l;
  }
  // kg burnt by t: the flow at each throttle level over its span.
  double burnt(double t) const {
    const double end = std::clamp(t, t_on, t_off);
    if (level_t.empty()) return mdot * (end - t_on);
    double m = 0;
    for (std::size_t k = 0; k < level_t.size(); ++k) {
      const double a = std::max(t_on, level_t[k]), b = k + 1 < level_t.size() ? std::min(end, level_t[k + 1]) : end;
      if (b > a) m += mdot * level[k] * (b - a);
    }
    return m;
  }
};

[[noreturn]] void refuse(const StagedVehicle& v, const std::string& why) {
  throw FatalError{err_description, v.name + ": " + why + ": the optimal ascent cannot be transcribed"};
}

void check_transcribable(const StagedVehicle& v) {
  if (v.mission.injection == Injection::transfer)
    refuse(v, "a lower stage cut off on the transfer orbit (only a classic description's is transcribed)");
  if (v.mission.injection == Injection::coast) {
    const TargetApsides t = target_apsides(v.mission, v.earth.radius);
    if (t.ha != t.hp) refuse(v, "the last stage coasts to the apogee of an elliptic target (only a circular one is transcribed)");
  }
  for (const StagedStage& z : v.stages) {
    if (z.profile) refuse(v, z.name + " has a thrust profile");
    for (const BoosterGroup& g : z.boosters)
      if (g.profile) refuse(v, std::to_string(g.count) + " boosters have a thrust profile");
  }
  const StagedStage& last = v.stages.back();
  for (double l : last.throttle_levels)
    if (l != last.throttle_levels.front()) refuse(v, last.name + ", the last stage, has a throttle schedule");
  if (v.stages.size() == 1 && !v.stages[0].boosters.empty())
    refuse(v, "its boosters are strapped to the stage that injects");
  for (std::size_t i = 0; i + 1 < v.stages.size(); ++i)
    if (v.stages[i].burn_end == BurnEnd::target) refuse(v, v.stages[i].name + " is cut off by the target");
}

Target target_of(const StagedVehicle& v) {
  const StagedMission& m = v.mission;
  if (m.semi_major_axis > 0) return {m.semi_major_axis, m.eccentricity, m.perigee_angle * rad};
  const TargetApsides t = target_apsides(m, v.earth.radius);
  const double rp = v.earth.radius + t.hp, ra = v.earth.radius + t.ha;
  return {(rp + ra) / 2, (ra - rp) / (ra + rp), std::max(0.0, m.perigee_angle) * rad};
}

// The time line of everything but the last stage's burn; t_last: that burn's ignition.
std::vector<Element> time_line(const StagedVehicle& v, double& t_last) {
  std::vector<Element> line;
  for (const BoosterGroup& g : v.stages[0].boosters) {
    Element b;
    b.name = std::to_string(g.count) + " boosters";
    b.F = g.count * g.thrust;
    b.mdot = b.F / g.exhaust_speed;
    b.Ae = g.count * g.exit_area;
    b.mass = g.count * g.mass;
    b.propellant = g.count * g.propellant_mass;
    b.t_on = g.ignition_time;
    b.t_off = b.t_on + b.propellant / b.mdot;
    b.t_drop = g.jettison_time < 0 ? b.t_off : g.jettison_time;
    b.area = g.count * circle_area(g.diameter);
    line.push_back(b);
  }
  double t = 0;
  for (std::size_t i = 0; i + 1 < v.stages.size(); ++i) {
    const StagedStage& z = v.stages[i];
    Element s;
    s.name = z.name;
    s.F = stage_thrust(z);
    s.mdot = s.F / z.exhaust_speed;
    s.Ae = z.engines * z.exit_area;
    s.mass = z.dry_mass + z.propellant_mass;
    s.propellant = z.propellant_mass;
    s.t_on = t;
    s.t_off = t + (z.burn_end == BurnEnd::time ? z.burn_time : full_burn_time(z));
    s.t_drop = s.t_off + z.separation_delay;
    s.diameter = z.diameter;
    for (std::size_t k = 0; k < z.throttle_times.size(); ++k) {
      s.level_t.push_back(t + z.throttle_times[k]);
      s.level.push_back(z.throttle_levels[k]);
    }
    line.push_back(s);
    t = s.t_drop;
  }
  t_last = t;
  if (v.fairing_mass > 0) {
    Element f;
    f.mass = v.fairing_mass;
    f.t_on = f.t_off = 0;
    f.t_drop = v.fairing_jettison_time;
    line.push_back(f);
  }
  return line;
}

// s, the vertical rise to the altitude h (m) off the pad, thrust straight up.
double rise_time(const Problem& p, double h) {
  if (h <= 0) return 0;
  States<double> x{p.earth.R, 0.0, p.earth.vrot, 0.0, p.m0};
  const double dt = 0.01;
  double t = 0, t_phase = 0;
  for (const Phase& ph : p.phases) {
    t_phase += ph.duration_max;
    for (; t < t_phase; t += dt) {
      if (x[kR] - p.earth.R >= h) return t;
      const States<double> d = rates(p.earth, ph.burn, x, 1.57079632679489661923);
      for (int i = 0; i < kStates; ++i) x[i] += dt * d[i];
    }
  }
  return t;
}

int intervals_for(double duration, double spacing) { return std::max(1, int(std::ceil(duration / spacing - 1e-9))); }

}  // namespace

Problem problem_of(const StagedVehicle& v, bool rise) {
  check_transcribable(v);
  Problem p;
  p.name = v.name;
  p.earth.mu = v.earth.mu;
  p.earth.R = v.earth.radius;
  p.earth.vrot = staged_vrot(v.mission, make_environment(v.earth, v.atmosphere));
  p.earth.standard_air = v.atmosphere.model != "exponential";
  p.earth.rho0 = v.atmosphere.density;
  p.earth.H = v.atmosphere.scale_height;
  p.earth.p0 = P0;  // the exponential air's pressure falls from the standard's sea-level value
  if (!(v.drag.coefficient > 0)) p.earth.drag = {v.drag.mach, v.drag.cd};
  p.m0 = liftoff_mass(v);
  p.target = target_of(v);
  // The target conditions place the eccentricity vector, so an elliptic
  // orbit needs its perigee placed too.
  if (p.target.e > 0 && v.mission.perigee_angle < 0) refuse(v, "the perigee of the elliptic target is left free");
  const double Cd = v.drag.coefficient;
  const StagedStage& top = v.stages.back();

  double t_last = 0;
  const std::vector<Element> line = time_line(v, t_last);
  std::vector<double> cuts{0.0};
  for (const Element& e : line) {
    for (double t : {e.t_on, e.t_off, e.t_drop})
      if (t > 0 && t < t_last + same_time) cuts.push_back(t);
    for (double t : e.level_t)
      if (t > 0 && t < e.t_off) cuts.push_back(t);
  }
  cuts.push_back(t_last);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end(), [](double a, double b) { return b - a < same_time; }),
             cuts.end());

  // The drag's area: the description's, or the stack's cross-section at t
  // (its widest stage still on, and the boosters from ignition to jettison).
  auto area_at = [&](double t) {
    if (v.drag.reference_area > 0) return v.drag.reference_area;
    double d = top.diameter, boosters = 0;
    for (const Element& e : line) {
      if (e.t_drop <= t) continue;
      d = std::max(d, e.diameter);
      if (e.t_on <= t) boosters += e.area;
    }
    return circle_area(d) + boosters;
  };
  const StagedStage& last = v.stages.back();
  const double level = last.throttle_levels.empty() ? 1.0 : last.throttle_levels.front();
  const double last_mdot = stage_thrust(last) * level / last.exhaust_speed;
  double m = p.m0;
  // The lightest the stack may be in a phase: all it carries less all its propellant.
  auto lightest = [&](double t) {
    double left = last.propellant_mass - last_mdot * std::max(0.0, t - t_last);
    for (const Element& e : line)
      if (e.t_drop > t + same_time) left += e.propellant - e.burnt(t);
    return m - left;
  };
  auto dropped_at = [&](double t) {
    double d = 0;
    for (const Element& e : line)
      if (std::abs(e.t_drop - t) < same_time) d += e.mass - e.burnt(t);  // with what it had no time to burn
    return d;
  };
  for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
    const double a = cuts[k], b = cuts[k + 1];
    Propulsion burn{0, 0, 0, area_at((a + b) / 2), Cd};
    std::string name;
    for (const Element& e : line) {
      if (e.t_on < a + same_time && e.t_off > b - same_time && e.mdot > 0) {
        const double level = e.level_at((a + b) / 2);
        name += (name.empty() ? "" : " and ") + e.name;
        burn.Fvac += e.F * level;
        burn.mdot += e.mdot * level;
        burn.Ae += e.Ae;
      }
    }
    Phase ph{name.empty() ? "coast to separation" : name, burn, b - a, b - a, lightest(a), dropped_at(b),
             intervals_for(b - a, 10)};
    m -= burn.mdot * (b - a) + ph.dropped;
    p.phases.push_back(ph);
  }
  // The last stage: from its ignition to a cut-off the optimum chooses, split
  // where the fairing leaves during the burn.
  const double t_full = t_last + full_burn_time(last);
  const Propulsion burn{stage_thrust(last) * level, last_mdot, last.engines * last.exit_area,
                        area_at(t_last + same_time), Cd};
  double a = t_last;
  if (v.fairing_mass > 0 && v.fairing_jettison_time > t_last + same_time && v.fairing_jettison_time < t_full) {
    const double b = v.fairing_jettison_time;
    p.phases.push_back({last.name + " until the fairing leaves", burn, b - a, b - a, lightest(a), v.fairing_mass,
                        intervals_for(b - a, 10)});
    m -= last_mdot * (b - a) + v.fairing_mass;
    a = b;
  }
  p.phases.push_back({last.name, burn, 0, t_full - a, lightest(a), 0, intervals_for(t_full - t_last, 24)});
  // A transfer orbit: the burn ends on an orbit whose apogee the flight
  // coasts to (in closed form), where the stage is lit again to circularise
  // with what it has left.
  if (v.mission.injection == Injection::coast) {
    p.transfer_rp = v.earth.radius + v.mission.transfer_perigee;
    p.phases.back().coast_after = true;
    Phase at_apogee = p.phases.back();
    at_apogee.name = last.name + " at apogee";
    at_apogee.coast_after = false;
    at_apogee.intervals = 10;
    p.phases.push_back(at_apogee);
  }
  // The vertical rise, a phase of its own so that the pitch is held up to
  // its very end and is free from there on.
  p.t_vertical = rise ? rise_time(p, v.plan.pitch_over_altitude) : 0.0;
  Phase& first = p.phases.front();
  if (p.t_vertical > same_time && p.t_vertical < first.duration_min - same_time) {
    Phase rise = first;
    rise.name = "vertical rise";
    rise.duration_min = rise.duration_max = p.t_vertical;
    rise.dropped = 0;
    rise.intervals = 1;
    first.duration_min = first.duration_max = first.duration_min - p.t_vertical;
    first.intervals = intervals_for(first.duration_min, 10);
    p.phases.insert(p.phases.begin(), rise);
  }
  return p;
}

}  // namespace ascent::control
