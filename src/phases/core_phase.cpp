#include "phases/core_phase.hpp"

#include <cmath>

#include "phases/guided_flight.hpp"
#include "phases/phase_support.hpp"

namespace ascent {

namespace {

// Flies tleft with the current dt; the last step takes what is left. On
// return dt and tleft both hold that last step's length.
void run_segment(FlightContext& S) {
  FlightState& s = S.fs;
  long n = 0;
  while (s.tleft > s.dt && ++n < max_search_steps) {
    step(S);
    s.tleft = s.tleft - s.dt;
  }
  s.dt = s.tleft;
  step(S);
}

}  // namespace

double v_target(const FlightState& s, double ha_target) {
  const Environment& e = *s.env;
  double r = e.Re + s.h0;
  double a = e.Re + (s.hp + ha_target) / 2;
  return std::sqrt(e.mu * (2 / r - 1 / a));
}

// Burn time to v_target at constant thrust and mass flow (rocket equation,
// without gravity and drag); negative after an overshoot.
double burn_time(const FlightState& s, double ha_target) {
  return (s.m0 + s.Me) * (std::exp((v_target(s, ha_target) - s.vi) * s.mdot / s.Fvac) - 1) / s.mdot;
}

namespace {

// Time until the thrust acceleration reaches a_lim at constant thrust and flow.
double time_to_limit(const FlightState& s, double a_lim) { return (s.Fvac / a_lim - s.m0 - s.Me) / s.mdot; }

// Steps to the target speed with burn times from the rocket equation. With
// `signed_end`, a burn time below the tolerance (an overshoot too) ends it
// unstepped; otherwise overshoots are stepped back until the speed matches.
void trim_to_target(FlightContext& S, bool signed_end) {
  FlightState& s = S.fs;
  const double ha_target = S.desc->mission.target.apogee_altitude;
  long n = 0;
  for (;;) {
    step(S);
    s.dt = burn_time(s, ha_target);
    bool done = signed_end ? s.dt < tb_tolerance : std::fabs(s.dt) < tb_tolerance;
    if (done || !std::isfinite(s.dt) || ++n >= max_trim_steps) break;
  }
}

// The throttle-down loop at the acceleration limit; true when the target
// speed was reached in it.
bool throttle_down(FlightContext& S) {
  FlightState& s = S.fs;
  const CoreStage& c = S.desc->vehicle.core;
  const double ha_target = S.desc->mission.target.apogee_altitude;
  const double a_lim = S.desc->mission.plan.acceleration_limit;
  // Each throttle step lowers the thrust of all engines by one step of
  // throttle over the step's duration.
  const double Fdot_throttle = -core_thrust(c, c.throttle_step) / c.throttle_step_time;
  const int steps = throttle_steps(c);
  bool target_reached = false;
  int n_step = 0;
  do {
    s.dt = c.throttle_step_time;
    s.Fdot = Fdot_throttle;
    s.mddot = -Fdot_throttle / c.exhaust_speed;
    step(S);
    ++n_step;

    s.dt = 1.0;
    s.Fdot = 0;
    s.mddot = 0;
    s.tleft = time_to_limit(s, a_lim);
    long n = 0;
    while (s.tleft > s.dt && s.ha < ha_target && ++n < max_search_steps) {
      step(S);
      s.tleft = s.tleft - s.dt;
    }
    if (s.ha < ha_target) {
      s.dt = s.tleft;
      double tb = burn_time(s, ha_target);
      if (tb < s.dt) {
        s.dt = tb;
        trim_to_target(S, true);
        target_reached = true;
      } else {
        step(S);  // to the acceleration limit
      }
    } else {
      s.dt = burn_time(s, ha_target);
      trim_to_target(S, false);
      target_reached = true;
    }
  } while (!(n_step >= steps || target_reached));
  return target_reached;
}

// Shuts the engines down one at a time while the acceleration limit keeps
// coming before the target speed.
void engine_shutdowns(FlightContext& S) {
  FlightState& s = S.fs;
  const CoreStage& c = S.desc->vehicle.core;
  const double ha_target = S.desc->mission.target.apogee_altitude;
  const double a_lim = S.desc->mission.plan.acceleration_limit;
  // One engine at the lowest throttle.
  const double F_engine_low = c.throttle_minimum * c.engine_thrust;
  for (int n = 1;; ++n) {
    announce(S, EventKind::engine_cutoff, n);
    s.tleft = c.shutdown_time;
    s.Fdot = -F_engine_low / c.shutdown_time;
    s.mddot = -s.Fdot / c.exhaust_speed;
    s.dt = 1.0;
    run_segment(S);
    s.Ae = s.Ae - c.engine_exit_area;
    s.dt = 1.0;
    s.Fdot = 0;
    s.mddot = 0;
    // With the last engine out there is no thrust left to burn with.
    if (n == c.engines) return;

    s.tleft = time_to_limit(s, a_lim);
    double tb = burn_time(s, ha_target);
    // Cut off where the speed reaches the target's.
    const auto fast = event([&](const FlightState& x) { return x.vi - v_target(x, ha_target); });
    if (s.tleft < tb) {
      run_segment(S);
    } else if (located_events(S)) {
      long m = 0;
      do {
        s.dt = 1.0;
      } while (!step_until(S, fast) && ++m < max_search_steps);
    } else {
      step_past_and_back(
          S,
          [&] {
            s.dt = 1.0;
            step(S);
          },
          [&] { return fast.passed(s); });
      s.dt = burn_time(s, ha_target);
      step(S);
    }
    if (tb < s.tleft) return;  // the target speed came first
  }
}

}  // namespace

void correct_turn_time(FlightContext& S) {
  const FlightState& s = S.fs;
  const Target& target = S.desc->mission.target;
  const double tt_upper = S.desc->mission.plan.turn_time_max;
  const double tt_nudge = S.desc->mission.plan.turn_time_nudge;
  double h_target = s.vy < 0 ? target.perigee_descending : target.perigee_climbing;
  bool nudge = true;
  if (S.hp_prev != s.hp) {
    double tt_new = S.tt - (s.hp - h_target) * (S.tt - S.tt_prev) / (s.hp - S.hp_prev);
    if (0 < tt_new && tt_new < tt_upper) {
      S.hp_prev = s.hp;
      S.tt_prev = S.tt;
      S.tt = tt_new;
      nudge = false;
    }
  }
  if (nudge) {
    S.tt = s.hp > h_target ? S.tt - tt_nudge : S.tt + tt_nudge;
    S.hp_prev = 0;
    S.tt_prev = 0;
  }
}

namespace {
void core_burn(FlightContext& S);
}  // namespace

void core_phase(FlightContext& S) {
  FlightState& s = S.fs;
  const Vehicle& v = S.desc->vehicle;
  const FlightPlan& plan = S.desc->mission.plan;

  // The core stage alone.
  s.Sref = drag_area(S, s.Sst[2]);
  s.Ae = core_exit_area(v.core);
  s.Fvac = core_thrust(v.core, v.core.throttle_entry);
  s.mdot = -s.Fvac / v.core.exhaust_speed;
  s.Me = s.Mst[3] + v.core.dry_mass;
  s.kick_rate = 0;
  s.Fdot = 0;
  s.mddot = 0;
  s.mode = Steering::vertical_law;
  s.law_init = true;
  s.kv = plan.law_exponent;
  const bool guided = closed_loop(S.desc->mission);
  if (guided) start_guided_stage(S, GuidedStage::core);
  try {
    core_burn(S);
  } catch (const StageDry&) {
    S.record.core_dry = true;
    s.mddot = 0;
    s.Fdot = 0;
    announce(S, EventKind::core_cutoff);
    FlightEvent e;
    e.kind = EventKind::propellant_depleted;
    e.name = "core";
    e.value = v_target(s, S.desc->mission.target.apogee_altitude) - s.vi;
    announce(S, std::move(e));
  }
  if (guided) end_guided_stage(S);
  s.mode = Steering::pitch_program;
  s.follow_air = false;
  s.alpha_held = s.alpha;
  s.Fvac = 0;
  s.mdot = 0;
  s.dt = v.core.separation_delay;
  step(S);
  announce(S, EventKind::core_separation, s.dV);

  S.record.tt_flown = S.tt;
  S.record.hp_core = s.hp;
  S.record.ha_core = s.ha;
  if (guided) {
    // The guidance puts the core's cut-off on the transfer orbit whatever
    // the turn time: there is no perigee error to correct, and a series
    // ends after its first pass.
    S.tt_prev = S.tt;
  } else {
    correct_turn_time(S);
  }
  S.record.tt_recommended = S.tt;

  announce_orbit(S);
  announce(S, EventKind::recommended_turn_time, S.tt);
}

namespace {

// The core's burn from booster separation to its cut-off.
void core_burn(FlightContext& S) {
  FlightState& s = S.fs;
  const Vehicle& v = S.desc->vehicle;
  const FlightPlan& plan = S.desc->mission.plan;
  step(S);  // the rest of the last profile interval

  s.tleft = v.fairing.jettison_time - s.t;
  s.dt = 1.0;
  run_segment(S);
  announce(S, EventKind::fairing_jettison);
  s.Me = s.Me - v.fairing.mass;
  s.Mst[3] = s.Mst[3] - v.fairing.mass;

  // Mode-1 flight until the angle of attack has died away or the
  // acceleration limit is near.
  s.tleft = time_to_limit(s, plan.acceleration_limit);
  s.dt = 1.0;
  long n = 0;
  const bool located = located_events(S);
  while (s.tleft > s.dt && s.alpha > plan.alpha_end && ++n < max_search_steps) {
    if (located) {
      // The law ends where the angle of attack falls to its end value.
      step_until(S, event([&](const FlightState& x) { return plan.alpha_end - x.alpha; }, Crossing::at_or_past));
    } else {
      step(S);
    }
    s.tleft = s.tleft - s.dt;
  }
  if (located) s.dt = 1.0;

  s.mode = Steering::vacuum;
  run_segment(S);
  announce(S, EventKind::acceleration_limit);

  if (!throttle_down(S)) engine_shutdowns(S);

  announce(S, EventKind::core_cutoff);
}

}  // namespace

}  // namespace ascent
