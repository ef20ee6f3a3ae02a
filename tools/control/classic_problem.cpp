// The optimal-control problem of a classic description. Until the core's
// cut-off its propulsion is a function of time alone: the boosters follow
// their thrust profile, the core burns at its entry throttle and is then
// throttled down and shut down at times its vacuum thrust and its mass set,
// and the mass is the lift-off mass less what the flows (thrust over
// exhaust speed) and the drops (boosters, fairing) took by then. So the
// phases are cut at every point of the booster profile and of the core's
// schedule, each with a thrust and flow changing at a constant rate, and the
// steering is free in all of them but the vertical rise. The core is cut off
// on the transfer orbit; after the separation delay the upper stage, lit at
// its own loaded mass, coasts to the apogee and circularises there.
#include <algorithm>
#include <cmath>

#include "atmosphere/earth.hpp"
#include "control.hpp"
#include "phases/booster_phase.hpp"
#include "trajectory/model_environment.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/core_schedule.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent::control {
namespace {

// s: points of the two schedules closer than this are one.
constexpr double same_time = 1e-6;

// A thrust against time, straight lines between points.
struct Line {
  std::vector<double> t, F;
  // F at t on the piece holding `within` (continuous or not at the points).
  double at(double tt, double within) const {
    if (t.empty() || within < t.front() || within > t.back()) return 0;
    std::size_t k = std::upper_bound(t.begin(), t.end(), within) - t.begin();
    k = std::clamp<std::size_t>(k, 1, t.size() - 1);
    const double u = (tt - t[k - 1]) / (t[k] - t[k - 1]);
    return F[k - 1] + (F[k] - F[k - 1]) * u;
  }
};

// The boosters' thrust (all of them) from ignition to separation: from zero
// up the profile's first interval, then along its points.
Line booster_line(const Description& d, const BoosterProfile& profile) {
  const Boosters& b = d.vehicle.boosters;
  Line l{{0.0}, {0.0}};
  for (std::size_t k = 0; k < profile.t.size() && l.t.back() < b.separation_time; ++k) {
    l.t.push_back(profile.t[k]);
    l.F.push_back(b.count * profile.F[k]);
  }
  if (l.t.back() < b.separation_time) throw profile.end;
  return l;
}

// s, lift-off: the sea-level thrust equals the weight, the boosters' thrust
// rising over the profile's first interval (as the flight finds it).
double liftoff_time(const Description& d, const ascent::Environment& env, const Line& boosters, double Ae, double M) {
  const double Fc = core_thrust(d.vehicle.core, d.vehicle.core.throttle_entry);
  const double Fdot = boosters.F[1] / boosters.t[1];
  const double mdot = -Fc / d.vehicle.core.exhaust_speed, mddot = -Fdot / d.vehicle.boosters.exhaust_speed;
  const double A = -env.gs * mddot / 2, B = Fdot - env.gs * mdot, C = Fc - P0 * Ae - env.gs * M;
  return (std::sqrt(B * B - 4 * A * C) - B) / (2 * A);
}

int intervals_for(double duration, double spacing) { return std::max(1, int(std::ceil(duration / spacing - 1e-9))); }

// The vertical rise to the altitude h off the pad, thrust straight up, as a
// phase boundary of its own: the pitch is held up to its very end and free
// from there on (the pitch-over and turn of the description's programme
// are the optimum's to choose).
bool split_rise(Problem& p, double h) {
  States<double> x{p.earth.R, 0.0, p.earth.vrot, 0.0, p.m0};
  const double dt = 0.001;
  double t = 0;
  for (std::size_t k = 0; k < p.phases.size(); ++k) {
    Phase& ph = p.phases[k];
    for (double s = 0; s < ph.duration_max; s += dt, t += dt) {
      if (x[kR] - p.earth.R < h) {
        const States<double> d = rates(p.earth, ph.burn, x, 1.57079632679489661923, s);
        for (int i = 0; i < kStates; ++i) x[i] += dt * d[i];
        continue;
      }
      p.t_vertical = t;
      if (s < 1e-3 || s > ph.duration_max - 1e-3) return false;
      Phase rise = ph;
      rise.name = "vertical rise";
      rise.duration_min = rise.duration_max = s;
      rise.dropped = 0;
      rise.intervals = 1;
      ph.duration_min = ph.duration_max = ph.duration_max - s;
      ph.burn.Fvac += ph.burn.Fdot * s;
      ph.burn.mdot += ph.burn.mddot * s;
      p.phases.insert(p.phases.begin() + long(k), rise);
      return true;
    }
    x[kM] -= ph.dropped;
  }
  return false;
}

}  // namespace

Problem problem_of(const Description& d, const BoosterProfile& profile, double t_cut) {
  const Vehicle& v = d.vehicle;
  const Mission& mission = d.mission;
  const Boosters& b = v.boosters;
  const CoreStage& c = v.core;
  const ascent::Environment env = make_environment(d);
  Problem p;
  p.name = v.name;
  p.earth.mu = env.mu;
  p.earth.R = env.Re;
  p.earth.vrot = launch_site_vrot(mission.target, env);
  p.earth.standard_air = !env.exponential;
  p.earth.rho0 = env.rho0;
  p.earth.H = env.scale_height;
  p.earth.p0 = P0;
  if (!(v.drag.coefficient > 0)) p.earth.drag = {v.drag.mach, v.drag.cd};
  const double Cd = v.drag.coefficient;
  auto area = [&](double stack) { return v.drag.reference_area > 0 ? v.drag.reference_area : stack; };

  const Line boosters = booster_line(d, profile);
  Line core;
  for (const ThrustKnot& k : core_thrust_schedule(d)) core.t.push_back(k.t), core.F.push_back(k.F);
  const double t_sep = b.separation_time, t_fairing = v.fairing.jettison_time;
  const double Ae_b = b.count * circle_area(b.nozzle_exit_diameter);
  const double Mst3 = v.upper.stack_mass, Mst2 = Mst3 + c.dry_mass + c.propellant_mass;
  const double Mst1 = Mst2 + b.count * b.mass;
  const double S3 = circle_area(c.diameter), S2 = S3 + c.area_above;
  const double S1 = b.count * (circle_area(b.diameter) + b.area_correction) + S2;
  const double t_lo = liftoff_time(d, env, boosters, Ae_b + c.engines * c.engine_exit_area, Mst1);

  // Every point of either schedule after lift-off; the core's cut-off lies
  // in the piece holding t_cut, its time there left to the optimum.
  std::vector<double> cuts{t_lo};
  for (double t : boosters.t)
    if (t > t_lo && t < t_sep) cuts.push_back(t);
  for (double t : core.t)
    if (t > t_lo) cuts.push_back(t);
  cuts.push_back(t_sep);
  if (v.fairing.mass > 0) cuts.push_back(t_fairing);
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end(), [](double a, double b) { return b - a < same_time; }),
             cuts.end());
  std::size_t last = 1;
  while (last + 1 < cuts.size() && cuts[last] <= t_cut) ++last;
  const double F_low = c.throttle_minimum * c.engine_thrust;

  double m = Mst1, burnt_b = 0;
  auto flows = [&](double a, double b_, double mid, double& F0, double& F1, double& m0, double& m1) {
    const double Fb0 = mid < t_sep ? boosters.at(a, mid) : 0, Fb1 = mid < t_sep ? boosters.at(b_, mid) : 0;
    const double Fc0 = core.at(a, mid), Fc1 = core.at(b_, mid);
    F0 = Fb0 + Fc0, F1 = Fb1 + Fc1;
    m0 = Fb0 / b.exhaust_speed + Fc0 / c.exhaust_speed;
    m1 = Fb1 / b.exhaust_speed + Fc1 / c.exhaust_speed;
    return (Fb0 + Fb1) / 2 * (b_ - a) / b.exhaust_speed;
  };
  // The pad: the engines burn from ignition to lift-off.
  {
    double F0, F1, m0, m1;
    burnt_b = flows(0, t_lo, t_lo / 2, F0, F1, m0, m1);
    m -= (m0 + m1) / 2 * t_lo;
  }
  p.m0 = m;
  p.t0 = t_lo;
  double top = Mst3;
  for (std::size_t k = 0; k < last; ++k) {
    const double a = cuts[k], e = cuts[k + 1], mid = (a + e) / 2, dt = e - a;
    double F0, F1, m0, m1;
    burnt_b += flows(a, e, mid, F0, F1, m0, m1);
    Propulsion burn;
    burn.Fvac = F0, burn.Fdot = (F1 - F0) / dt;
    burn.mdot = m0, burn.mddot = (m1 - m0) / dt;
    const double Fc_mid = core.at(mid, mid);
    const int on = std::min(c.engines, int(std::ceil(Fc_mid / F_low - 1e-6)));
    burn.Ae = (mid < t_sep ? Ae_b : 0.0) + on * c.engine_exit_area;
    burn.Sref = area(mid < t_sep ? S1 : S2);
    burn.Cd = Cd;
    Phase ph{mid < t_sep ? "boosters and core" : "core", burn, dt, dt, 0, 0, intervals_for(dt, 10)};
    ph.m_max = m + 1;
    m -= (m0 + m1) / 2 * dt;
    if (std::abs(e - t_sep) < same_time) ph.dropped = b.count * b.mass - burnt_b;
    if (v.fairing.mass > 0 && std::abs(e - t_fairing) < same_time) ph.dropped += v.fairing.mass;
    ph.m_min = 0.5 * (m - ph.dropped);
    ph.top_mass = top, ph.top_area = S3;
    if (v.fairing.mass > 0 && e >= t_fairing - same_time) top = Mst3 - v.fairing.mass;
    m -= ph.dropped;
    p.phases.push_back(ph);
  }
  // The cut-off: the last piece's time free, on the transfer orbit.
  Phase& cut = p.phases.back();
  cut.duration_min = 0;
  cut.m_min = c.dry_mass + top;
  cut.name = "core to its cut-off";
  cut.cut_rp = env.Re + mission.target.perigee_climbing;
  cut.cut_ra = env.Re + mission.target.apogee_altitude;
  if (closed_loop(mission)) cut.cut_r = env.Re + mission.guidance.insertion_altitude;
  const int cut_phase = int(p.phases.size()) - 1;

  // The separation delay, engines off; the upper stage then flies at its
  // own loaded mass, the core's propellant left counted in the sizing.
  const double upper_loaded = top - v.upper.adaptor_mass;
  Phase sep{"separation delay", Propulsion{0, 0, 0, area(S2), Cd}, c.separation_delay, c.separation_delay, 0, 0, 1};
  sep.m_min = cut.m_min;
  sep.coast_after = true;
  sep.mass_after = upper_loaded;
  sep.m_max = cut.m_max;
  p.phases.push_back(sep);
  const double mdot3 = v.upper.thrust / v.upper.exhaust_speed;
  Phase upper{v.upper.engine + " at apogee",
              Propulsion{v.upper.thrust, mdot3, circle_area(v.upper.nozzle_exit_diameter), area(S3), Cd},
              0,
              v.upper.propellant_mass / mdot3,
              upper_loaded - v.upper.propellant_mass,
              0,
              10};
  upper.m_max = upper_loaded;
  p.phases.push_back(upper);
  p.target = {env.Re + mission.target.apogee_altitude, 0, 0};

  const ascent::Sizing& rules = mission.sizing;
  Sizing& z = p.sizing;
  z.active = true;
  z.cut_phase = cut_phase;
  z.t_cut = t_cut;
  z.core_rest = c.dry_mass + top;
  z.top = top;
  z.upper_loaded = upper_loaded;
  z.ve_upper = v.upper.exhaust_speed;
  z.adaptor_per_newton = rules.adaptor_per_newton;
  z.rcs_per_kg = rules.rcs_per_kg;
  z.reserve_dv = rules.reserve_dv;
  z.unusable = rules.unusable;
  z.dry_constant = rules.dry_constant;
  z.dry_coefficient = rules.dry_coefficient;
  z.dry_exponent = rules.dry_exponent;
  if (split_rise(p, mission.plan.pitch_over_altitude)) ++z.cut_phase;
  return p;
}

}  // namespace ascent::control
