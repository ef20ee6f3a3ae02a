#include "phases/core_phase.hpp"

#include <cmath>

#include "phases/phase_support.hpp"

namespace ascent {

namespace {

constexpr double F_core = 9282548.16;       // N, core thrust at entry (throttle 1.11)
constexpr double c_core = 4420.8;           // m/s, exhaust velocity of the core engines
constexpr double Ae_core = 16.673713298791018;    // m^2, nozzle exit area of the four engines
constexpr double Ae_engine = 4.1684283246977545;  // m^2, nozzle exit area of one engine
constexpr double Me_core = 111580.0;        // kg, core stage mass that does not burn
constexpr double t_fairing = 330.0;         // s, fairing jettison
constexpr double M_fairing = 9707.0;        // kg
constexpr double a_lim = 39.23;             // m/s^2, thrust acceleration at which throttling starts
constexpr double alpha_end = 0.00175;       // rad, end of the mode-1 flight
constexpr double dt_throttle = 0.1;         // s, one throttle step
constexpr double Fdot_throttle = -836265.6; // N/s, lowers the thrust by 1 % of 8362656 N per step
constexpr double throttle_start = 1.11;
constexpr double throttle_step = 0.01;
constexpr double throttle_end = 0.65001;
constexpr double ha_target = 398600.0;      // m, apogee altitude of the target orbit
constexpr double tb_tolerance = 1e-05;      // s, end of the burn-time trims
constexpr double t_shutdown = 6.7;          // s, one engine's thrust falls to zero
constexpr double F_engine_low = 1358931.6;  // N, one engine at throttle 0.65
constexpr int n_engines = 4;
constexpr double dt_separation = 0.76;      // s
constexpr double h_target_descending = 155000.0;  // m
constexpr double h_target_climbing = 37000.0;     // m
constexpr double tt_upper = 90.0;           // s, largest accepted turn time
constexpr double tt_nudge = 0.1;            // s
constexpr double kv_law = 2.0;

// Flies tleft with the current dt; the last step takes what is left. On
// return dt and tleft both hold that last step's length.
void run_segment(Session& S) {
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

double v_target(const FlightState& s) {
  double r = Re + s.h0;
  double a = Re + (s.hp + ha_target) / 2;
  return std::sqrt(mu * (2 / r - 1 / a));
}

// Burn time to v_target at constant thrust and mass flow (rocket equation,
// without gravity and drag); negative after an overshoot.
double burn_time(const FlightState& s) {
  return (s.m0 + s.Me) * (std::exp((v_target(s) - s.vi) * s.mdot / s.Fvac) - 1) / s.mdot;
}

namespace {

// Time until the thrust acceleration reaches a_lim at constant thrust and flow.
double time_to_limit(const FlightState& s) { return (s.Fvac / a_lim - s.m0 - s.Me) / s.mdot; }

// Steps to the target speed with burn times from the rocket equation. With
// `signed_end`, a burn time below the tolerance (an overshoot too) ends it
// unstepped; otherwise overshoots are stepped back until the speed matches.
void trim_to_target(Session& S, bool signed_end) {
  FlightState& s = S.fs;
  long n = 0;
  for (;;) {
    step(S);
    s.dt = burn_time(s);
    bool done = signed_end ? s.dt < tb_tolerance : std::fabs(s.dt) < tb_tolerance;
    if (done || !std::isfinite(s.dt) || ++n >= max_trim_steps) break;
  }
}

// The throttle-down loop at the acceleration limit; true when the target
// speed was reached in it.
bool throttle_down(Session& S) {
  FlightState& s = S.fs;
  double throttle = throttle_start;
  bool target_reached = false;
  do {
    s.dt = dt_throttle;
    s.Fdot = Fdot_throttle;
    s.mddot = -Fdot_throttle / c_core;
    step(S);
    throttle = throttle - throttle_step;

    s.dt = 1.0;
    s.Fdot = 0;
    s.mddot = 0;
    s.tleft = time_to_limit(s);
    long n = 0;
    while (s.tleft > s.dt && s.ha < ha_target && ++n < max_search_steps) {
      step(S);
      s.tleft = s.tleft - s.dt;
    }
    if (s.ha < ha_target) {
      s.dt = s.tleft;
      double tb = burn_time(s);
      if (tb < s.dt) {
        s.dt = tb;
        trim_to_target(S, true);
        target_reached = true;
      } else {
        step(S);  // to the acceleration limit
      }
    } else {
      s.dt = burn_time(s);
      trim_to_target(S, false);
      target_reached = true;
    }
  } while (!(throttle_end > throttle || target_reached));
  return target_reached;
}

// Shuts the engines down one at a time while the acceleration limit keeps
// coming before the target speed.
void engine_shutdowns(Session& S) {
  FlightState& s = S.fs;
  for (int n = 1;; ++n) {
    S.main->line("Engine " + std::to_string(n) + " cutoff!");
    s.tleft = t_shutdown;
    s.Fdot = -F_engine_low / t_shutdown;
    s.mddot = -s.Fdot / c_core;
    s.dt = 1.0;
    run_segment(S);
    s.Ae = s.Ae - Ae_engine;
    s.dt = 1.0;
    s.Fdot = 0;
    s.mddot = 0;
    // With the last engine out there is no thrust left to burn with.
    if (n == n_engines) return;

    s.tleft = time_to_limit(s);
    double tb = burn_time(s);
    if (s.tleft < tb) {
      run_segment(S);
    } else {
      long k = 0;
      double vt;
      do {
        s.dt = 1.0;
        step(S);
        vt = v_target(s);
      } while (!(s.vi > vt) && finite2(s.vi, vt) && ++k < max_search_steps);
      s.dt = -s.dt;
      step(S);
      s.dt = burn_time(s);
      step(S);
    }
    if (tb < s.tleft) return;  // the target speed came first
  }
}

}  // namespace

void correct_turn_time(Session& S) {
  const FlightState& s = S.fs;
  double h_target = s.vy < 0 ? h_target_descending : h_target_climbing;
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

void core_phase(Session& S) {
  FlightState& s = S.fs;
  ask_real(S, "Maximum angle of attack (degrees)? ", s.alpha_max);
  if (S.iter == 1) s.alpha_max = s.alpha_max * pi / 180;

  // The core stage alone.
  s.Sref = s.Sst[2];
  s.Ae = Ae_core;
  s.Fvac = F_core;
  s.mdot = -s.Fvac / c_core;
  s.Me = s.Mst[3] + Me_core;
  s.kick_rate = 0;
  s.Fdot = 0;
  s.mddot = 0;
  s.mode = Steering::vertical_law;
  s.law_init = true;
  s.kv = kv_law;
  step(S);  // the rest of the last profile interval

  s.tleft = t_fairing - s.t;
  s.dt = 1.0;
  run_segment(S);
  S.main->line("PLF Jettison!");
  s.Me = s.Me - M_fairing;
  s.Mst[3] = s.Mst[3] - M_fairing;

  // Mode-1 flight until the angle of attack has died away or the
  // acceleration limit is near.
  s.tleft = time_to_limit(s);
  s.dt = 1.0;
  long n = 0;
  while (s.tleft > s.dt && s.alpha > alpha_end && ++n < max_search_steps) {
    step(S);
    s.tleft = s.tleft - s.dt;
  }

  s.mode = Steering::vacuum;
  run_segment(S);
  S.main->line("Maximum acceleration reached!");

  if (!throttle_down(S)) engine_shutdowns(S);

  S.main->line("Core Engine Cutoff!");
  s.mode = Steering::pitch_program;
  s.follow_air = false;
  s.Fvac = 0;
  s.mdot = 0;
  s.dt = dt_separation;
  step(S);
  S.main->line("Core Separation! Vacuum and zero gravity delta-V = " + real_text(s.dV, 3, 1) + " m/s");

  S.record.tt_flown = S.tt;
  S.record.hp_core = s.hp;
  S.record.ha_core = s.ha;
  correct_turn_time(S);
  S.record.tt_recommended = S.tt;

  write_orbit_line(S);
  S.main->end_line();
  S.main->line("Recommended tt = " + real_text(S.tt, 7, 4) + " s");
  S.main->end_line();
}

}  // namespace ascent
