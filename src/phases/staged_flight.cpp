#include "phases/staged_flight.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "atmosphere/atmosphere.hpp"
#include "trajectory/drag.hpp"
#include "trajectory/guidance.hpp"
#include "trajectory/model_environment.hpp"
#include "trajectory/trajectory_step.hpp"
#include "trajectory/forces/thrust.hpp"
#include "earth/ballistic.hpp"
#include "phases/stage_burner.hpp"

namespace ascent {

namespace {

constexpr double inf = std::numeric_limits<double>::infinity();
// s, an event this close is due: the steps' times carry rounding.
constexpr double cycle_slack = 1e-9;
// Halvings of the step that passes a cut-off or the apogee: the step of a
// quarter second to far below a nanosecond.
constexpr int max_bisections = 60;
// The passes of the guidance's first solution, from no guess.
constexpr int first_passes = 8;
constexpr double deg = 180 / pi;

// m, how far below the reference sphere a step may end before the flight
// counts as having struck the ground (the pad's first steps start on it).
constexpr double ground_margin = 1;

struct Crashed {};

using staging::Burner;
using staging::stage_throttle;

struct Flight {
  const StagedVehicle& v;
  const StepObservers* observers;  // none for a trial step
  FlightState s;
  Environment env;  // the Earth and the air of the description
  DragTable drag;
  StagedResult out;
  double mass = 0;            // kg, the whole stack
  std::size_t stage = 0;      // the stage burning or next to
  Burner engines;             // the stage's engines
  std::vector<Burner> groups; // the first stage's booster groups
  std::vector<bool> group_on; // still attached
  double t_ignition = 0;      // s, the stage's ignition
  bool fairing_on = true;
  double nu_cut = 0;          // rad, true anomaly on the target orbit where the last stage cuts off

  Flight(const StagedVehicle& veh, const StepObservers& obs) : v(veh), observers(&obs) {}

  // A copy to try a step on: what it flies, no observer sees.
  Flight trial() const {
    static const StepObservers none;
    Flight t = *this;
    t.observers = &none;
    return t;
  }

  void event(const std::string& what) {
    out.events.push_back({s.t, what, s.h0, std::hypot(s.vx, s.vy), mass});
  }

  double reference_area() const {
    if (v.drag.reference_area > 0) return v.drag.reference_area;
    double d = 0;
    for (std::size_t i = stage; i < v.stages.size(); ++i) d = std::max(d, v.stages[i].diameter);
    double S = circle_area(d);
    for (std::size_t j = 0; j < groups.size(); ++j) {
      if (group_on[j]) S += v.stages[0].boosters[j].count * circle_area(v.stages[0].boosters[j].diameter);
    }
    return S;
  }

  // Sets thrust, flow, nozzle area and the masses from the burners for a
  // step of dt: a thrust profile's straight line through the step (the
  // steps end at its points) as the rates of thrust and flow.
  void set_burn(double dt) {
    double F = 0, mdot = 0, Ae = 0, m0 = 0, Fdot = 0, mddot = 0;
    auto add = [&](const Burner& b) {
      if (!b.lit) return;
      F += b.thrust(s.t);
      mdot += b.flow(s.t);
      Ae += b.area;
      m0 += b.left;
      if (b.profile) {
        const double rate = (b.thrust(s.t + dt) - b.thrust(s.t)) / dt;
        Fdot += rate;
        mddot += rate / b.c;
      }
    };
    add(engines);
    for (const Burner& b : groups) add(b);
    s.Fvac = F;
    s.mdot = -mdot;
    s.mddot = -mddot;
    s.Fdot = Fdot;
    s.Ae = Ae;
    s.m0 = m0;
    s.Me = mass - m0;
    s.Sref = reference_area();
  }

  // One step of dt; the burners' propellant follows the flow.
  void step(double dt) {
    set_burn(dt);
    s.dt = dt;
    const double t0 = s.t, mdot0 = s.mdot, mddot = s.mddot;
    trajectory_step(s, *observers);
    ++out.steps;
    auto burn = [dt, t0](Burner& b) {
      if (!b.lit) return;
      // A profile's flow is straight through the step: its mean is the mean of its ends.
      const double burnt = b.profile ? (b.thrust(t0) + b.thrust(t0 + dt)) / 2 / b.c * dt : b.flow() * dt;
      b.left = std::max(0.0, b.left - burnt);
    };
    // Below the ground (or a state no longer a number): the flight ends.
    if (!(s.h0 >= -ground_margin)) throw Crashed{};
    const double m_before = mass;
    burn(engines);
    for (Burner& b : groups) burn(b);
    mass = mddot == 0 ? m_before + s.mdot * dt : m_before + (mdot0 + mddot * dt / 2) * dt;
  }

  void drop(const std::string& what, double leaves, double expected) {
    const double before = mass;
    mass -= leaves;
    out.drops.push_back({what, s.t, before, mass, expected});
    event(what);
  }

  // s, when each burner still lit runs dry, from now.
  double next_dry() const {
    double t = inf;
    if (engines.lit) t = std::min(t, engines.dry_in(s.t));
    for (const Burner& b : groups) {
      if (b.lit) t = std::min(t, b.dry_in(s.t));
    }
    return t;
  }

  // s, the next point of a thrust profile burning, from now.
  double next_point() const {
    double t = engines.next_point(s.t);
    for (const Burner& b : groups) t = std::min(t, b.next_point(s.t));
    return t;
  }
};

// The stage's engines, lit now (or only made ready: a last stage carried to
// the transfer orbit lights at the apogee).
void light_stage(Flight& f, bool lit = true) {
  const StagedStage& z = f.v.stages[f.stage];
  f.engines = Burner{z.name, stage_thrust(z), z.exhaust_speed, z.engines * z.exit_area, z.propellant_mass, 1, true};
  if (z.profile) {
    f.engines.F = full_burn_propellant(z) * z.exhaust_speed / full_burn_time(z);
    f.engines.profile = z.profile.get();
    f.engines.units = z.engines;
    f.engines.t_on = f.s.t;
  }
  if (!z.throttle_levels.empty()) f.engines.throttle = z.throttle_levels.front();
  f.t_ignition = f.s.t;
  f.engines.lit = lit;
  if (lit) f.event(z.name + ": ignition");
}

// The next time-tabled event of the first stages' flight, from now.
double next_event(const Flight& f) {
  const StagedStage& z = f.v.stages[f.stage];
  const double t = f.s.t, tb = t - f.t_ignition;
  double next = std::min(f.next_dry(), f.next_point());
  if (f.engines.lit) {
    for (double tk : z.throttle_times) {
      if (tk > tb + cycle_slack) next = std::min(next, tk - tb);
    }
    if (z.burn_end == BurnEnd::time && z.burn_time > tb + cycle_slack) next = std::min(next, z.burn_time - tb);
  }
  if (f.stage == 0) {
    for (std::size_t j = 0; j < f.groups.size(); ++j) {
      const BoosterGroup& g = z.boosters[j];
      if (!f.group_on[j]) continue;
      if (!f.groups[j].lit && g.ignition_time > t + cycle_slack) next = std::min(next, g.ignition_time - t);
      if (g.jettison_time >= 0 && g.jettison_time > t + cycle_slack) next = std::min(next, g.jettison_time - t);
    }
  }
  if (f.fairing_on && f.v.fairing_jettison_time > t + cycle_slack) next = std::min(next, f.v.fairing_jettison_time - t);
  return next;
}

// The events due now: groups lit, run dry or jettisoned, the fairing, the throttle.
void time_events(Flight& f) {
  const StagedVehicle& v = f.v;
  const double t = f.s.t;
  if (f.stage == 0) {
    const StagedStage& z = v.stages[0];
    for (std::size_t j = 0; j < f.groups.size(); ++j) {
      const BoosterGroup& g = z.boosters[j];
      Burner& b = f.groups[j];
      const std::string name = "booster group " + std::to_string(j + 1);
      if (!f.group_on[j]) continue;
      if (!b.lit && !b.out && b.left > 0 && g.ignition_time <= t + cycle_slack) {
        b.lit = true;
        b.t_on = g.ignition_time;
        f.event(name + ": ignition");
      }
      if (b.lit && b.spent(t)) {
        b.lit = false;
        b.out = true;
        // A thrust profile may end with propellant left: it leaves at the jettison.
        if (!b.profile) b.left = 0;
        f.event(name + ": burn-out");
      }
      const bool jettison = g.jettison_time >= 0 ? g.jettison_time <= t + cycle_slack : b.out;
      if (jettison) {
        const double expected = g.count * (g.mass - g.propellant_mass) + b.left;
        f.group_on[j] = false;
        b.lit = false;
        f.drop(name + ": jettison", g.count * (g.mass - g.propellant_mass) + b.left, expected);
      }
    }
  }
  if (f.fairing_on && v.fairing_jettison_time <= t + cycle_slack) {
    f.fairing_on = false;
    f.drop("fairing: jettison", v.fairing_mass, v.fairing_mass);
  }
  f.engines.throttle = stage_throttle(v.stages[f.stage], t - f.t_ignition);
}

void begin_burn(Flight& f, StagedBurn& b) {
  b.stage = f.v.stages[f.stage].name;
  b.t0 = f.s.t;
  b.m0 = f.mass;
  b.exhaust_speed = f.engines.c;
  b.alone = true;
  b.dv = -f.s.dV;
}

void end_burn(Flight& f, StagedBurn& b) {
  b.t1 = f.s.t;
  b.m1 = f.mass;
  b.dv += f.s.dV;
  f.out.burns.push_back(b);
}

// The cut-off the last stage is guided to: the perigee of the target orbit
// (direct injection) or of the transfer orbit to its apogee (coast).
// A direct injection may be asked to cut off past the perigee, at the true
// anomaly nu_cut, to place the perigee where the mission asks: the point of
// the target orbit there, at its radius, vis-viva's speed and its
// flight-path angle.
CutoffTarget last_stage_target(const Flight& f) {
  const StagedMission& m = f.v.mission;
  const double mu = f.env.mu, Re = f.env.Re;
  const TargetApsides target = target_apsides(m, Re);
  const double ra = Re + target.ha;
  // The last stage carried to the transfer orbit is guided onto the target
  // orbit itself, from the burn about its apogee.
  const bool onto_target = m.injection == Injection::direct || f.stage > guided_stage(f.v);
  const double rp = Re + (onto_target ? target.hp : m.transfer_perigee);
  if (m.injection == Injection::transfer && !onto_target && m.transfer_cutoff > m.transfer_perigee) {
    return transfer_cutoff_point(rp, ra, Re + m.transfer_cutoff, mu);
  }
  if (f.nu_cut != 0 && onto_target) {
    const double a = (rp + ra) / 2, e = (ra - rp) / (ra + rp), nu = f.nu_cut;
    const double r = a * (1 - e * e) / (1 + e * std::cos(nu));
    return CutoffTarget{r, std::sqrt(mu * (2 / r - 1 / a)), std::atan2(e * std::sin(nu), 1 + e * std::cos(nu)), mu};
  }
  return CutoffTarget{rp, std::sqrt(mu * (2 / rp - 2 / (rp + ra))), 0.0, mu};
}

// The burning stage with booster groups still on it, as the guidance sees
// it: the engines' burn of T s from now at `flow`, cut into constant-thrust
// arcs at every ignition, burn-out and jettison of a group and at the
// fairing's jettison, each arc burning what is lit across it (its thrust the
// sum, its exhaust speed the thrust over the summed flow) and each shedding
// what leaves at its end; the last arc coasts to the separation, which
// takes the stage and any group still on it. m, t and fairing move on to the
// stage above's ignition.
void add_boosted_arcs(const Flight& f, double flow, double T, double& m, double& t, bool& fairing,
                      std::vector<StageBurn>& out) {
  const StagedVehicle& v = f.v;
  const StagedStage& z = v.stages[f.stage];
  struct Group {
    double on = 0, off = 0, leaves = inf;  // s from now: lit, burnt out, jettisoned
    double F = 0, flow = 0, left = 0;      // N, kg/s, kg of propellant
    double structure = 0;                  // kg
    bool attached = true;
  };
  std::vector<Group> groups;
  std::vector<double> cuts{T};
  for (std::size_t j = 0; j < f.groups.size(); ++j) {
    if (!f.group_on[j]) continue;
    const BoosterGroup& g = z.boosters[j];
    const Burner& b = f.groups[j];
    Group x;
    x.left = b.left;
    x.structure = g.count * (g.mass - g.propellant_mass);
    if (b.lit) {
      x.flow = b.mean_flow(t);
      x.off = b.dry_left(t);
    } else if (!b.out) {
      // Its mean flow over the burn: all of it for a constant thrust.
      const double t_burn = group_burn_time(g);
      x.on = std::max(0.0, g.ignition_time - t);
      x.off = x.on + t_burn;
      x.flow = b.profile ? g.count * g.profile->impulse(t_burn) / g.exhaust_speed / t_burn : b.flow();
    }
    x.F = x.flow * g.exhaust_speed;
    x.leaves = g.jettison_time >= 0 ? g.jettison_time - t : x.off;
    x.off = std::min(x.off, x.leaves);
    cuts.insert(cuts.end(), {x.on, x.off, x.leaves});
    groups.push_back(x);
  }
  if (fairing) cuts.push_back(v.fairing_jettison_time - t);
  std::sort(cuts.begin(), cuts.end());
  const std::size_t first_arc = out.size();
  double from = 0;
  for (double to : cuts) {
    to = std::min(to, T);
    if (to > from + cycle_slack || (to == T && out.size() == first_arc)) {
      double F = flow * z.exhaust_speed, mdot = flow;
      for (Group& g : groups) {
        if (g.attached && g.on <= from + cycle_slack && g.off >= to - cycle_slack) {
          F += g.F;
          mdot += g.flow;
          g.left -= g.flow * (to - from);
        }
      }
      StageBurn arc;
      arc.thrust = ThrustModel{F / mdot, m / mdot, inf};
      arc.burn = to - from;
      out.push_back(arc);
      m -= mdot * (to - from);
      from = to;
    }
    // What leaves here.
    for (Group& g : groups) {
      if (g.attached && g.leaves <= from + cycle_slack) {
        g.attached = false;
        m -= g.structure + g.left;
      }
    }
    if (fairing && v.fairing_jettison_time - t <= from + cycle_slack) {
      fairing = false;
      m -= v.fairing_mass;
    }
  }
  // The coast to the separation; the stage leaves with what it has not
  // burnt and the groups still on it.
  out.back().coast = z.separation_delay;
  const double t_sep = t + T + z.separation_delay;
  if (fairing && v.fairing_jettison_time <= t_sep) {
    fairing = false;
    m -= v.fairing_mass;
  }
  m -= z.dry_mass + (f.engines.left - flow * T);
  for (const Group& g : groups) {
    if (g.attached) m -= g.structure + g.left;
  }
  t = t_sep;
}

// The stages still to burn as the guidance sees them, from now: the burning
// stage until it runs dry (or its timed cut-off), each stage above at full
// thrust from the mass the separation below leaves it, the last one until
// its propellant is gone. A fairing still on is shed at its time.
std::vector<StageBurn> stages_to_burn(const Flight& f) {
  const StagedVehicle& v = f.v;
  std::vector<StageBurn> out;
  double m = f.mass, t = f.s.t;
  bool fairing = f.fairing_on;
  const std::size_t last = std::max(guided_stage(v), f.stage);
  for (std::size_t k = f.stage; k <= last; ++k) {
    const StagedStage& z = v.stages[k];
    const bool burning = k == f.stage;
    // A thrust profile as its mean flow over what is left of its burn.
    const double flow = burning ? f.engines.mean_flow(t)
                        : z.profile ? full_burn_propellant(z) / full_burn_time(z)
                                    : stage_thrust(z) / z.exhaust_speed;
    const double left = burning ? f.engines.left : z.propellant_mass;
    // kg, what the burn can burn: a profile may end with propellant left.
    const double usable = !z.profile ? left : burning ? std::min(left, flow * f.engines.dry_left(t)) : full_burn_propellant(z);
    StageBurn b;
    b.thrust = ThrustModel{z.exhaust_speed, m / flow, inf};
    b.burn = usable / flow;
    if (burning && z.burn_end == BurnEnd::time) b.burn = std::min(b.burn, z.burn_time - (t - f.t_ignition));
    const bool boosted = std::find(f.group_on.begin(), f.group_on.end(), true) != f.group_on.end();
    if (burning && boosted && k != last) {
      add_boosted_arcs(f, flow, b.burn, m, t, fairing, out);
      continue;
    }
    if (fairing && v.fairing_jettison_time > t) {
      b.thrust.t_drop = v.fairing_jettison_time - t;
      b.thrust.tau_drop = v.fairing_mass / flow;
    }
    if (k == last) {
      b.burn = inf;
      b.thrust.L_max = z.exhaust_speed * std::log(m / (m - usable));
    } else {
      b.coast = z.separation_delay;
      const double t_sep = t + b.burn + b.coast;
      if (fairing && v.fairing_jettison_time <= t_sep) {
        fairing = false;
        m -= v.fairing_mass;
      }
      m -= flow * b.burn + z.dry_mass + (left - flow * b.burn);
      t = t_sep;
    }
    out.push_back(b);
  }
  return out;
}

// s, where within the step of dt from f, which reaches the point `reached`
// marks (a cut-off, the apogee), that point lies: the step halved on copies
// of the flight until the interval is far below a nanosecond. `prepare`
// sets a copy's controls for a step of the given length.
template <class Reached, class Prepare>
double located_within(const Flight& f, double dt, Reached&& reached, Prepare&& prepare) {
  double lo = 0, hi = dt;
  for (int i = 0; i < max_bisections; ++i) {
    const double mid = (lo + hi) / 2;
    Flight t2 = f.trial();
    prepare(t2, mid);
    t2.step(mid);
    (reached(t2.s) ? hi : lo) = mid;
  }
  return hi;
}

void no_preparation(Flight&, double) {}

// The stack held on the pad until its rising thrust lifts it: the burners
// burn in place.
void hold_on_pad(Flight& f) {
  const std::vector<Burner*> lit = staging::lit_burners(f.engines, f.groups);
  const std::vector<const Burner*> seen(lit.begin(), lit.end());
  double p = 0, rho = 0, a_s = 1;
  if (f.env.exponential) {
    exponential_air(f.env, 0, p, rho, a_s);
  } else {
    standard_air(0, p, rho, a_s);
  }
  const double t_lo = staging::lift_off_time(seen, f.mass, f.env.gs,
                                             [p](double F, double Ae) { return forces::thrust(F, p, Ae); });
  if (t_lo == 0) return;
  f.mass -= staging::burn_in_place(lit, t_lo);
  f.s.t = t_lo;
  f.event("lift-off");
}

// A stage below the last: the pitch programme through its burn; from the
// plan's takeover on, the guidance over the stages still to burn (and the
// booster groups still on this one) steers it instead of the gravity turn.
void fly_lower_stage(Flight& f) {
  FlightState& s = f.s;
  const StagedPlan& p = f.v.plan;
  const StagedStage& z = f.v.stages[f.stage];
  light_stage(f);
  StagedBurn burn;
  begin_burn(f, burn);
  time_events(f);
  if (f.stage == 0) hold_on_pad(f);
  enum { rise, over, back, turn, guided } phase = f.stage == 0 ? rise : turn;
  double phase_end = inf;
  GuidanceSolution g;
  const CutoffTarget target = last_stage_target(f);
  auto solve = [&](const GuidanceSolution* guess, int passes) {
    const std::vector<StageBurn> stages = stages_to_burn(f);
    return solve_guidance(s.t, f.env.Re + s.h0, s.vx, s.vy, target, stages, guess, passes);
  };
  // The stage that carries the last to the transfer orbit is cut off there,
  // where its apogee reaches the target's; its steering is held for the
  // last seconds as the last stage's is.
  const bool cut_by_target = f.stage == guided_stage(f.v);
  auto on_transfer = [h = target_apsides(f.v.mission, f.env.Re).ha](const FlightState& x) { return x.ha >= h; };
  bool holding = false, cut = false;
  for (;;) {
    const double tb = s.t - f.t_ignition;
    const bool burnt_out = f.engines.spent(s.t);
    const bool timed_out = z.burn_end == BurnEnd::time && tb + cycle_slack >= z.burn_time;
    if (burnt_out || timed_out) break;
    if (phase == turn && p.guidance_takeover > 0 && s.t + cycle_slack >= p.guidance_takeover) {
      phase = guided;
      g = solve(nullptr, first_passes);
      s.mode = Steering::guided;
      s.follow_air = true;
      f.event("guidance takeover");
      f.out.foreseen_cutoff = s.t + g.tgo;
    } else if (phase == guided && !holding && s.t - g.t0 >= p.guidance_cycle - cycle_slack) {
      const GuidanceSolution prev = g;
      g = solve(&prev, 1);
    }
    if (cut_by_target && phase == guided && g.tgo < p.hold_time) holding = true;
    if (phase == rise && s.h0 >= p.pitch_over_altitude) {
      phase = over;
      s.kick_rate = -p.pitch_rate / deg;
      phase_end = s.t + p.pitch_time;
      f.event("pitch-over");
    } else if (phase == over && s.t + cycle_slack >= phase_end) {
      phase = back;
      s.kick_rate = p.pitch_rate / deg;
      phase_end = s.t + p.pitch_time;
    } else if (phase == back && s.t + cycle_slack >= phase_end) {
      phase = turn;
      s.kick_rate = 0;
      s.kick = 0;
    }
    double dt = std::min(f.v.plan.step, next_event(f));
    if (phase == over || phase == back) dt = std::min(dt, phase_end - s.t);
    if (phase == guided) {
      s.pitch = guided_pitch(g, s.t);
      s.kick = 0;
      s.kick_rate = (guided_pitch(g, s.t + dt) - s.pitch) / dt;
    }
    if (cut_by_target && phase >= turn) {
      Flight trial = f.trial();
      trial.step(dt);
      if (on_transfer(trial.s)) {
        const bool steered = phase == guided;
        const double hi = located_within(f, dt, on_transfer, [&](Flight& t2, double mid) {
          if (steered) t2.s.kick_rate = (guided_pitch(g, s.t + mid) - s.pitch) / mid;
        });
        if (steered) s.kick_rate = (guided_pitch(g, s.t + hi) - s.pitch) / hi;
        f.step(hi);
        cut = true;
        break;
      }
    }
    f.step(dt);
    if (f.groups.size() != 0) {
      for (std::size_t j = 0; j < f.groups.size(); ++j) burn.alone = burn.alone && !f.groups[j].lit;
    }
    time_events(f);
  }
  for (std::size_t j = 0; j < f.groups.size(); ++j) {
    if (f.group_on[j] || f.groups[j].F > 0) burn.alone = false;
  }
  f.engines.lit = false;
  end_burn(f, burn);
  f.event(z.name + (z.burn_end == BurnEnd::time || cut ? ": cut-off" : ": burn-out"));
  // Coast to separation, still in the programme (no thrust).
  if (phase == guided) s.kick_rate = 0;
  double left = z.separation_delay;
  while (left > cycle_slack) {
    const double dt = std::min({f.v.plan.step, left, next_event(f)});
    f.step(dt);
    left -= dt;
    time_events(f);
  }
  // Boosters still on the stage leave with it.
  double leaves = z.dry_mass + f.engines.left, expected = z.dry_mass + f.engines.left;
  for (std::size_t j = 0; j < f.groups.size(); ++j) {
    if (!f.group_on[j]) continue;
    const BoosterGroup& g = z.boosters[j];
    leaves += g.count * (g.mass - g.propellant_mass) + f.groups[j].left;
    expected += g.count * (g.mass - g.propellant_mass) + f.groups[j].left;
    f.group_on[j] = false;
    f.groups[j].lit = false;
  }
  f.drop(z.name + ": separation", leaves, expected);
  ++f.stage;
}

// m, osculating semi-major axis of a state.
double sma_of(const FlightState& s) {
  const double r = s.env->Re + s.h0;
  return 1 / (2 / r - (s.vx * s.vx + s.vy * s.vy) / s.env->mu);
}


// The last stage's burn to the cut-off point `target`, cut off when
// `reached` says the state is on its orbit: the guidance steers, the
// cut-off is located within the step that passes it.
template <class Reached>
bool guided_burn(Flight& f, const CutoffTarget& target, Reached&& reached) {
  FlightState& s = f.s;
  const StagedPlan& p = f.v.plan;
  const double Re = f.env.Re;
  ThrustModel model{f.engines.c, 1, inf};
  auto solve = [&](const GuidanceSolution* guess, int passes) {
    model.tau = f.mass / f.engines.mean_flow(s.t);
    return solve_guidance(s.t, Re + s.h0, s.vx, s.vy, target, model, guess, passes);
  };
  GuidanceSolution g = solve(nullptr, first_passes);
  bool holding = false;
  s.mode = Steering::guided;
  s.follow_air = true;
  for (;;) {
    if (!holding && s.t - g.t0 >= p.guidance_cycle - cycle_slack) {
      const GuidanceSolution prev = g;
      g = solve(&prev, 1);
    }
    if (g.tgo < p.hold_time) holding = true;
    double dt = std::min(f.v.plan.step, next_event(f));
    const double dry = f.next_dry();
    const bool last = dry <= dt;
    dt = std::min(dt, dry);
    s.pitch = guided_pitch(g, s.t);
    s.kick = 0;
    s.kick_rate = (guided_pitch(g, s.t + dt) - s.pitch) / dt;
    // The step on a copy first: if it passes the target, the cut-off lies
    // within it, found by halving.
    Flight trial = f.trial();
    trial.step(dt);
    if (reached(trial.s)) {
      const double hi = located_within(f, dt, reached, [&](Flight& t2, double mid) {
        t2.s.kick_rate = (guided_pitch(g, s.t + mid) - s.pitch) / mid;
      });
      s.kick_rate = (guided_pitch(g, s.t + hi) - s.pitch) / hi;
      f.step(hi);
      return true;
    }
    f.step(dt);
    time_events(f);
    if (last) return false;
  }
}

// Coasts along the velocity until `reached` says the state is where the
// coast ends, located within the step that passes it.
template <class Reached>
void coast_until(Flight& f, Reached&& reached) {
  FlightState& s = f.s;
  s.mode = Steering::vacuum;
  s.kick = 0;
  s.kick_rate = 0;
  for (;;) {
    Flight trial = f.trial();
    trial.step(f.v.plan.coast_step);
    if (reached(trial.s)) {
      const double hi = located_within(f, f.v.plan.coast_step, reached, no_preparation);
      f.step(hi);
      return;
    }
    f.step(f.v.plan.coast_step);
  }
}

void coast_to_apogee(Flight& f) {
  coast_until(f, [](const FlightState& x) { return x.vy <= 0; });
}

// Along the velocity, from the apogee, until the orbit has the target's
// energy: its semi-major axis is a. (Its perigee cannot mark the end: once
// the orbit is round, the perigee is the point the stage burns at, a hair
// below the apogee it started from.)
bool circularise(Flight& f, double a) {
  FlightState& s = f.s;
  f.engines.lit = true;
  s.mode = Steering::vacuum;
  auto reached = [a](const FlightState& x) { return sma_of(x) >= a; };
  for (;;) {
    const double dry = f.next_dry();
    const double dt = std::min({f.v.plan.step, dry, f.next_point()});
    Flight trial = f.trial();
    trial.step(dt);
    if (reached(trial.s)) {
      const double hi = located_within(f, dt, reached, no_preparation);
      f.step(hi);
      return true;
    }
    f.step(dt);
    if (dry <= dt) return false;
  }
}

// The last stage carried to the transfer orbit: it coasts, lights half its
// burn before the apogee (a long burn of a small stage spans a good part
// of the orbit, and a burn along the velocity from the apogee on would
// leave it eccentric) and is guided onto the target orbit, cut off on its
// energy (semi-major axis a).
void apogee_burn(Flight& f, double a) {
  FlightState& s = f.s;
  const StagedStage& z = f.v.stages[f.stage];
  const double mu = f.env.mu, r = f.env.Re + s.h0;
  const double v2 = s.vx * s.vx + s.vy * s.vy, a_transfer = 1 / (2 / r - v2 / mu), h = r * s.vx;
  const double ra = a_transfer * (1 + std::sqrt(std::max(0.0, 1 - h * h / (mu * a_transfer))));
  const double dv = std::sqrt(mu * (2 / ra - 1 / a)) - h / ra;  // to the target's energy at the apogee
  const double T = staging::burn_time_for(dv, f.mass, f.engines.mean_flow(s.t), z.exhaust_speed);
  const double t_coast = s.t;
  coast_until(f, [&](const FlightState& x) {
    const double rx = f.env.Re + x.h0;
    return staging::time_to_apogee(mu, rx, x.vx * x.vx + x.vy * x.vy, rx * x.vy) <= T / 2;
  });
  if (f.engines.profile) f.engines.t_on += s.t - t_coast;
  f.t_ignition = s.t;
  f.engines.lit = true;
  StagedBurn burn;
  begin_burn(f, burn);
  f.event(z.name + ": ignition before apogee");
  const bool ok = guided_burn(f, last_stage_target(f), [a](const FlightState& x) { return sma_of(x) >= a; });
  f.engines.lit = false;
  end_burn(f, burn);
  f.event(z.name + (ok ? ": cut-off" : ": burn-out before the target"));
  if (!ok) {
    f.out.failure = z.name + " ran out of propellant before the target orbit";
    return;
  }
  f.out.reached = true;
}

void fly_last_stage(Flight& f) {
  const StagedMission& m = f.v.mission;
  const StagedStage& z = f.v.stages[f.stage];
  // Carried to the transfer orbit, it burns only at the apogee.
  const bool carried = m.injection == Injection::transfer;
  light_stage(f, !carried);
  const double Re = f.env.Re;
  const TargetApsides target = target_apsides(m, Re);
  const double ra = Re + target.ha;
  bool ok = true;
  if (!carried) {
    StagedBurn burn;
    begin_burn(f, burn);
    const CutoffTarget cut = last_stage_target(f);
    if (m.injection == Injection::direct) {
      const double rp = Re + target.hp, a = (rp + ra) / 2;
      ok = guided_burn(f, cut, [a](const FlightState& x) { return sma_of(x) >= a; });
    } else {
      ok = guided_burn(f, cut, [h = target.ha](const FlightState& x) { return x.ha >= h; });
    }
    f.engines.lit = false;
    end_burn(f, burn);
    f.event(z.name + (ok ? ": cut-off" : ": burn-out before the target"));
    if (!ok) {
      f.out.failure = z.name + " ran out of propellant before the target orbit";
      return;
    }
  }
  if (carried) {
    apogee_burn(f, Re + (target.hp + target.ha) / 2);
    return;
  }
  if (m.injection != Injection::direct) {
    const double t_cut = f.s.t;
    coast_to_apogee(f);
    f.event("apogee");
    // A thrust profile takes up again where the cut-off left it.
    f.engines.t_on += f.s.t - t_cut;
    StagedBurn second;
    begin_burn(f, second);
    f.event(z.name + ": ignition at apogee");
    ok = circularise(f, Re + (target.hp + target.ha) / 2);
    f.engines.lit = false;
    end_burn(f, second);
    f.event(z.name + (ok ? ": cut-off" : ": burn-out before the target"));
    if (!ok) {
      f.out.failure = z.name + " ran out of propellant before circularising";
      return;
    }
  }
  f.out.reached = true;
}

}  // namespace

TargetApsides target_apsides(const StagedMission& m, double Re) {
  if (m.semi_major_axis > 0) {
    return {m.semi_major_axis * (1 - m.eccentricity) - Re, m.semi_major_axis * (1 + m.eccentricity) - Re};
  }
  return {m.perigee_altitude, m.apogee_altitude};
}

CutoffTarget transfer_cutoff_point(double rp, double ra, double r, double mu) {
  const double a = (rp + ra) / 2, e = (ra - rp) / (ra + rp);
  // r = a (1 - e^2) / (1 + e cos nu), nu in (0, pi): climbing.
  const double cos_nu = std::clamp((a * (1 - e * e) / r - 1) / e, -1.0, 1.0);
  const double sin_nu = std::sqrt(1 - cos_nu * cos_nu);
  return CutoffTarget{r, std::sqrt(mu * (2 / r - 1 / a)), std::atan2(e * sin_nu, 1 + e * cos_nu), mu};
}

double staged_vrot(const StagedMission& m, const Environment& env) {
  const double phi = m.latitude / deg, incl = m.inclination / deg;
  const double ve = surface_speed(env, phi);
  // sin A = cos i / cos lat: at most 1, a due-east launch, when i is the latitude.
  const double sin_az = std::min(1.0, std::cos(incl) / std::cos(phi));
  return ve * sin_az;
}

namespace {

// The passes that place the perigee, and the miss (deg) that ends them.
constexpr int steer_passes = 8;
constexpr double steer_tolerance = 0.01;

bool target_eccentric(const StagedMission& m) {
  return m.semi_major_axis > 0 ? m.eccentricity > 0 : m.apogee_altitude > m.perigee_altitude;
}

StagedResult fly_once(const StagedVehicle& v, const StepObservers& observers, double nu_cut) {
  Flight f(v, observers);
  f.nu_cut = nu_cut;
  f.env = make_environment(v.earth, v.atmosphere);
  f.drag = make_drag_table(v.drag);
  FlightState& s = f.s;
  s.env = &f.env;
  s.drag = &f.drag;
  s.vrot = staged_vrot(v.mission, f.env);
  s.vx = s.vrot;
  s.mode = Steering::pitch_program;
  s.follow_air = true;
  f.mass = liftoff_mass(v);
  f.out.liftoff_mass = f.mass;
  f.fairing_on = v.fairing_mass > 0 || v.fairing_jettison_time > 0;
  for (const BoosterGroup& g : v.stages[0].boosters) {
    f.groups.push_back(staging::booster_burner(g));
    f.group_on.push_back(true);
  }
  try {
    while (f.stage + 1 < v.stages.size()) fly_lower_stage(f);
    fly_last_stage(f);
  } catch (const Crashed&) {
    f.event("ground");
    f.out.reached = false;
    f.out.failure = "the vehicle struck the ground";
  }
  StagedResult& out = f.out;
  const double mu = f.env.mu, Re = f.env.Re;
  out.t = s.t;
  out.r = Re + s.h0;
  out.vx = s.vx;
  out.vy = s.vy;
  out.hp = s.hp;
  out.ha = s.ha;
  out.mass = f.mass;
  // The perigee lies the true anomaly behind the present point; the point
  // itself has swept (r0 + vrot t) / Re about the centre since lift-off.
  const double hm = out.r * s.vx;
  const double ec = hm * hm / (mu * out.r) - 1, es = hm * s.vy / mu;
  const double nu = std::atan2(es, ec);
  double angle = ((s.r0 + s.vrot * s.t) / Re - nu) * deg;
  angle = std::fmod(angle, double(2 * 180));  // a whole turn
  if (angle < 0) angle += 2 * 180;
  out.perigee_angle = angle;
  return out;
}

}  // namespace

StagedResult fly_staged(const StagedVehicle& v, const StepObservers& observers) {
  atmosphere_init();
  const StagedMission& m = v.mission;
  const bool steer = m.perigee_angle >= 0 && m.injection == Injection::direct && target_eccentric(m);
  if (!steer) return fly_once(v, observers, 0);
  // The perigee lies the cut-off's true anomaly behind it: cutting off nu
  // later along the target orbit moves the perigee back by nu less what the
  // longer flight sweeps. Corrected by the miss, flown unseen, until the
  // miss is below steer_tolerance; the flight then flown for the observers.
  static const StepObservers none;
  double nu = 0;
  for (int i = 0; i < steer_passes; ++i) {
    const StagedResult r = fly_once(v, none, nu);
    if (!r.reached) break;
    double miss = r.perigee_angle - m.perigee_angle;  // deg
    miss -= 2 * 180 * std::round(miss / (2 * 180));  // a whole turn
    if (std::fabs(miss) < steer_tolerance) break;
    nu += miss / deg;
  }
  return fly_once(v, observers, nu);
}

}  // namespace ascent
