#include "vehicle/staged.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "io/number_format.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/core_schedule.hpp"
#include "vehicle/keys.hpp"

namespace ascent {

namespace {

std::string stage_key(std::size_t i, const char* key) { return "stage." + std::to_string(i + 1) + "." + key; }

std::string group_key(std::size_t i, std::size_t j, const char* key) {
  return "stage." + std::to_string(i + 1) + ".boosters." + std::to_string(j + 1) + "." + key;
}

double group_mass(const BoosterGroup& g) { return g.count * g.mass; }

double stage_mass(const StagedStage& z) {
  double m = z.dry_mass + z.propellant_mass;
  for (const BoosterGroup& g : z.boosters) m += group_mass(g);
  return m;
}

// s after ignition at which a stage of flow mdot at throttle 1 has burnt
// propellant mp under its throttle schedule.
double burn_out_under_schedule(const StagedStage& z) {
  // Each engine burns propellant_mass / engines: the impulse that takes at
  // the exhaust speed.
  if (z.profile) return z.profile->time_of_impulse(z.propellant_mass / z.engines * z.exhaust_speed);
  const double mdot = stage_thrust(z) / z.exhaust_speed;  // kg/s at throttle 1
  if (z.throttle_times.empty()) return z.propellant_mass / mdot;
  double left = z.propellant_mass;
  for (std::size_t k = 0; k < z.throttle_levels.size(); ++k) {
    const double flow = mdot * z.throttle_levels[k];
    const bool last = k + 1 == z.throttle_levels.size();
    const double span = last ? INFINITY : z.throttle_times[k + 1] - z.throttle_times[k];
    if (flow * span >= left) return z.throttle_times[k] + left / flow;
    left -= flow * span;
  }
  return INFINITY;
}

// The interval [t[k-1], t[k]] holding tb (k at least 1).
std::size_t interval_of(const ThrustProfile& p, double tb) {
  const auto it = std::upper_bound(p.t.begin() + 1, p.t.end() - 1, tb);
  return static_cast<std::size_t>(it - p.t.begin());
}

}  // namespace

double ThrustProfile::thrust(double tb) const {
  if (tb < 0 || tb > end()) return 0;
  const std::size_t k = interval_of(*this, tb);
  return F[k - 1] + (F[k] - F[k - 1]) * ((tb - t[k - 1]) / (t[k] - t[k - 1]));
}

double ThrustProfile::impulse(double tb) const {
  if (tb <= 0) return 0;
  if (tb > end()) tb = end();
  double I = 0;
  std::size_t k = 1;
  for (; t[k] < tb; ++k) I += (F[k - 1] + F[k]) / 2 * (t[k] - t[k - 1]);
  return I + (F[k - 1] + thrust(tb)) / 2 * (tb - t[k - 1]);
}

double ThrustProfile::time_of_impulse(double I) const {
  for (std::size_t k = 1; k < t.size(); ++k) {
    const double dt = t[k] - t[k - 1];
    const double dI = (F[k - 1] + F[k]) / 2 * dt;
    if (dI >= I) {
      // F = F0 + s x on the interval: I = F0 x + s x^2 / 2, in the form that
      // keeps its precision when s is small.
      const double s = (F[k] - F[k - 1]) / dt;
      const double root = std::sqrt(std::max(0.0, F[k - 1] * F[k - 1] + 2 * s * I));
      return t[k - 1] + (F[k - 1] + root > 0 ? 2 * I / (F[k - 1] + root) : 0.0);
    }
    I -= dI;
  }
  return end();
}

double ThrustProfile::rising() const {
  for (double x : F) {
    if (x > 0) return x;
  }
  return 0;
}

double stage_thrust(const StagedStage& z) { return z.engines * (z.profile ? z.profile->rising() : z.thrust); }

double full_burn_propellant(const StagedStage& z) {
  if (!z.profile) return z.propellant_mass;
  return std::min(z.propellant_mass, z.engines * z.profile->impulse(z.profile->end()) / z.exhaust_speed);
}

double group_burn_time(const BoosterGroup& g) {
  if (g.profile) return g.profile->time_of_impulse(g.propellant_mass * g.exhaust_speed);
  return g.propellant_mass / (g.thrust / g.exhaust_speed);
}

double liftoff_mass(const StagedVehicle& v) {
  double m = v.fairing_mass + v.adaptor_mass + v.payload_mass;
  for (const StagedStage& z : v.stages) m += stage_mass(z);
  return m;
}

double full_burn_time(const StagedStage& z) { return burn_out_under_schedule(z); }

StagedVehicle staged_from(const Description& d, const BoosterProfile* boosters) {
  const Vehicle& c = d.vehicle;
  StagedVehicle v;
  v.name = c.name;
  StagedStage core;
  core.name = "core";
  core.engines = c.core.engines;
  core.thrust = c.core.engine_thrust;
  core.exhaust_speed = c.core.exhaust_speed;
  core.exit_area = c.core.engine_exit_area;
  core.propellant_mass = c.core.propellant_mass;
  // The adaptor stays on the core's side: it leaves with the core.
  core.dry_mass = c.core.dry_mass + c.upper.adaptor_mass;
  core.diameter = c.core.diameter;
  core.separation_delay = c.core.separation_delay;
  core.burn_end = BurnEnd::target;
  // The classic programme, known before the flight: each engine's share.
  auto schedule = std::make_shared<ThrustProfile>();
  schedule->path = "the core's throttle programme";
  for (const ThrustKnot& k : core_thrust_schedule(d)) {
    schedule->t.push_back(k.t);
    schedule->F.push_back(k.F / c.core.engines);
  }
  core.profile = std::move(schedule);
  BoosterGroup b;
  b.count = c.boosters.count;
  b.mass = c.boosters.mass;
  b.propellant_mass = c.boosters.propellant_mass;
  b.exhaust_speed = c.boosters.exhaust_speed;
  // The profile's thrust as its mean over the burn: the propellant it
  // burns, at the exhaust speed, over the time to separation.
  b.thrust = c.boosters.propellant_mass * c.boosters.exhaust_speed / c.boosters.separation_time;
  b.exit_area = circle_area(c.boosters.nozzle_exit_diameter);
  b.diameter = c.boosters.diameter;
  b.ignition_time = 0;
  b.jettison_time = c.boosters.separation_time;
  if (boosters) {
    auto p = std::make_shared<ThrustProfile>();
    p->path = boosters->name;
    // From no thrust at the ignition, unless the profile starts there itself.
    if (boosters->t.empty() || boosters->t.front() > 0) {
      p->t.push_back(0);
      p->F.push_back(0);
    }
    p->t.insert(p->t.end(), boosters->t.begin(), boosters->t.end());
    p->F.insert(p->F.end(), boosters->F.begin(), boosters->F.end());
    b.profile = std::move(p);
  }
  core.boosters.push_back(b);
  v.stages.push_back(core);
  StagedStage upper;
  upper.name = c.upper.engine;
  upper.engines = 1;
  upper.thrust = c.upper.thrust;
  upper.exhaust_speed = c.upper.exhaust_speed;
  upper.exit_area = circle_area(c.upper.nozzle_exit_diameter);
  // The classic flight sizes the spacecraft from the flight: here the whole
  // stack above the core, less what is written apart, is the upper stage.
  // Its load is what the circle asks, not the description's nominal one:
  // the classic upper stage burns beyond that load (the spacecraft sized
  // afterwards comes out lighter by what it burnt), so it may burn all of
  // the stack but what the sizing rule keeps in any case (the unusable
  // propellant and the dry-mass law's constant term).
  const double stage = c.upper.stack_mass - c.fairing.mass - c.upper.adaptor_mass;
  const Sizing& rules = d.mission.sizing;
  upper.propellant_mass = std::max(c.upper.propellant_mass, stage - rules.unusable - rules.dry_constant);
  upper.dry_mass = stage - upper.propellant_mass;
  upper.diameter = c.core.diameter;
  upper.burn_end = BurnEnd::target;
  v.stages.push_back(upper);
  v.fairing_mass = c.fairing.mass;
  v.fairing_jettison_time = c.fairing.jettison_time;
  v.drag = c.drag;
  v.earth = d.mission.earth;
  v.atmosphere = d.mission.atmosphere;
  v.impact = d.mission.impact;
  v.dut1 = d.mission.model.dut1;
  const Target& t = d.mission.target;
  v.mission.latitude = t.latitude;
  v.mission.longitude = t.longitude;
  v.mission.site_altitude = t.site_altitude;
  v.mission.node = t.node;
  v.dynamics = d.mission.model.dynamics == "3d" ? "3d" : "planar";
  v.wind.altitude = d.mission.wind.altitude;
  v.wind.east = d.mission.wind.east;
  v.wind.north = d.mission.wind.north;
  v.mission.inclination = t.inclination;
  v.mission.perigee_altitude = t.apogee_altitude;
  v.mission.apogee_altitude = t.apogee_altitude;
  // The core carries the upper stage to the transfer orbit the classic
  // guidance aims at: the climbing perigee, cut off at the insertion
  // altitude; the upper stage only circularises.
  v.mission.injection = Injection::transfer;
  v.mission.transfer_perigee = t.perigee_climbing;
  v.mission.transfer_cutoff = d.mission.guidance.insertion_altitude;
  v.plan.pitch_over_altitude = d.mission.plan.pitch_over_altitude;
  v.plan.pitch_rate = d.mission.plan.pitch_rate;
  // The classic turn (the vertical-acceleration law to the turn time the
  // session asks for) has no staged form: the staged pitch-over kicks the
  // velocity and the gravity turn follows it. Held three times as long as
  // the classic pitch-over (a kick of 3.85 deg for 1.3 deg/s), it puts both
  // bundled three-stage vehicles at the boosters' separation where the
  // classic flight at its best turn time does (Orvalon 5 guided: 53.6 km
  // and 1980 m/s, against 52.9 km and 1977 m/s at 31.8 s and 7.5 deg).
  v.plan.pitch_time = 3 * d.mission.plan.pitch_time;
  v.plan.guidance_cycle = d.mission.guidance.cycle;
  // The classic flight's step (its table's second): the profiles' points
  // and the throttle-down's steps end steps of their own. Against the
  // staged default of a quarter second, Orvalon 5's orbit is the same to
  // the metre and its core's cut-off 7 kg lighter.
  v.plan.step = 1;
  v.plan.hold_time = d.mission.guidance.hold_time;
  // The classic guidance takes over after the boosters' separation (once
  // the dynamic pressure is low): here at the separation itself.
  v.plan.guidance_takeover = c.boosters.separation_time;
  v.classic = std::make_shared<const ClassicSizing>(ClassicSizing{rules, c.upper, c.fairing.mass});
  return v;
}

std::vector<StagedProblem> check_staged(const StagedVehicle& v) {
  std::vector<StagedProblem> p;
  auto add = [&p](std::string key, std::string what) { p.push_back({std::move(key), std::move(what)}); };
  if (v.stages.empty()) {
    add("stage", "a vehicle needs at least one stage");
    return p;
  }
  // Names are written in the events, one to a line.
  auto has_control = [](const std::string& s) {
    for (unsigned char c : s) {
      if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
  };
  if (has_control(v.name)) add("name", "must not contain control characters (line ends, tabs)");
  const std::size_t n = v.stages.size();
  for (std::size_t i = 0; i < n; ++i) {
    const StagedStage& z = v.stages[i];
    if (has_control(z.name)) add(stage_key(i, "name"), "must not contain control characters (line ends, tabs)");
    const double t_out = burn_out_under_schedule(z);
    if (z.profile && !z.throttle_times.empty()) {
      add(stage_key(i, "throttle_times"), "a thrust profile already gives the thrust against time: leave out the "
                                          "throttle schedule");
    } else if (z.throttle_times.size() != z.throttle_levels.size()) {
      add(stage_key(i, "throttle_levels"), "must hold one level per time of throttle_times (" +
                                               std::to_string(z.throttle_times.size()) + "), got " +
                                               std::to_string(z.throttle_levels.size()));
    } else if (!z.throttle_times.empty() && z.throttle_times.front() != 0) {
      add(stage_key(i, "throttle_times"), "must start at 0 (the ignition), got " + number_text(z.throttle_times.front()));
    } else {
      for (std::size_t k = 1; k < z.throttle_times.size(); ++k) {
        if (!(z.throttle_times[k] > z.throttle_times[k - 1])) {
          add(stage_key(i, "throttle_times"), "must increase: entry " + std::to_string(k + 1) + " (" +
                                                  number_text(z.throttle_times[k]) + ") is not after the one before");
          break;
        }
      }
    }
    if (z.burn_end == BurnEnd::time && z.burn_time > t_out) {
      const bool profile_ends = z.profile && full_burn_propellant(z) < z.propellant_mass;
      add(stage_key(i, "burn_time"), std::string(profile_ends ? "is longer than the thrust profile" : "is longer than the propellant allows") +
                                         " (" + number_text(t_out) + " s), got " + number_text(z.burn_time));
    }
    const bool cut_to_transfer = v.mission.injection == Injection::transfer && i + 2 == n;
    if (cut_to_transfer && z.burn_end != BurnEnd::target) {
      add(stage_key(i, "burn_end"), "mission.injection is \"transfer\": the stage below the last is cut off on the "
                                    "transfer orbit, its burn must end at \"target\"");
    }
    if (z.burn_end == BurnEnd::target && i + 1 != n && !cut_to_transfer) {
      add(stage_key(i, "burn_end"), "only the last stage's burn ends at the target; stage " + std::to_string(i + 2) +
                                        " comes after it");
    }
    if (i + 1 == n && z.burn_end != BurnEnd::target) {
      add(stage_key(i, "burn_end"), "the last stage carries the payload to the target: its burn must end at \"target\"");
    }
    if (i > 0 && stage_mass(z) > stage_mass(v.stages[i - 1])) {
      add(stage_key(i, "propellant_mass"), "stages are listed bottom first: stage " + std::to_string(i + 1) + " (" +
                                               number_text(stage_mass(z)) + " kg) outweighs stage " +
                                               std::to_string(i) + " below it (" +
                                               number_text(stage_mass(v.stages[i - 1])) + " kg)");
    }
    if (i > 0 && !z.boosters.empty()) {
      add(group_key(i, 0, "count"), "boosters are attached to the first stage, which they lift off with");
    }
    for (std::size_t j = 0; j < z.boosters.size(); ++j) {
      const BoosterGroup& g = z.boosters[j];
      if (!(g.propellant_mass < g.mass)) {
        add(group_key(i, j, "propellant_mass"), "must be less than the booster's mass (" + number_text(g.mass) +
                                                    "), got " + number_text(g.propellant_mass));
      }
      if (g.jettison_time >= 0 && !(g.jettison_time > g.ignition_time)) {
        add(group_key(i, j, "jettison_time"), "comes before the group ignites (" + number_text(g.ignition_time) +
                                                  " s), got " + number_text(g.jettison_time));
      }
      if (!(g.ignition_time < t_out)) {
        add(group_key(i, j, "ignition_time"), "comes after the stage's burn-out (" + number_text(t_out) +
                                                  " s), got " + number_text(g.ignition_time));
      }
    }
  }
  // The thrust at lift-off must lift the stack.
  double F0 = stage_thrust(v.stages[0]);
  for (const BoosterGroup& g : v.stages[0].boosters) {
    if (g.ignition_time == 0) F0 += g.count * (g.profile ? g.profile->rising() : g.thrust);
  }
  const double W0 = liftoff_mass(v) * 9.80665;
  if (!(F0 > W0)) {
    add(stage_key(0, "thrust"), "the thrust at lift-off (" + number_text(F0) + " N) does not lift the stack's weight (" +
                                    number_text(W0) + " N)");
  }
  if (v.fairing_mass > 0 && !(v.fairing_jettison_time > 0)) add("fairing.jettison_time", "must be after lift-off");
  const StagedMission& m = v.mission;
  if (m.semi_major_axis == 0 && !(m.perigee_altitude <= m.apogee_altitude)) {
    add("mission.perigee_altitude", "must not be above mission.apogee_altitude (" + number_text(m.apogee_altitude) +
                                        "), got " + number_text(m.perigee_altitude));
  }
  if (!(m.inclination >= std::fabs(m.latitude))) {
    add("mission.inclination", "must be at least the launch site's latitude (" + number_text(std::fabs(m.latitude)) +
                                   " degrees), got " + number_text(m.inclination));
  }
  if (m.injection == Injection::transfer && n < 2) {
    add("mission.injection", "\"transfer\" needs a stage below the last to carry it to the transfer orbit");
  }
  if (m.semi_major_axis == 0 && m.injection != Injection::direct && !(m.transfer_perigee < m.apogee_altitude)) {
    add("mission.transfer_perigee", "must be below mission.apogee_altitude (" + number_text(m.apogee_altitude) +
                                        "), got " + number_text(m.transfer_perigee));
  }
  return p;
}

}  // namespace ascent
