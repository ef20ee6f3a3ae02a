#include "phases/third_stage_phase.hpp"

#include <cmath>

#include "phases/guided_flight.hpp"
#include "phases/mission_summary.hpp"
#include "phases/phase_support.hpp"
#include "trajectory/guidance.hpp"
#include "trajectory/kepler_arc.hpp"

namespace ascent {

namespace {

// m, the altitude above which the adaptive integrator's coast leaves out the
// air and follows the Keplerian arc: the standard atmosphere ends there (its
// density there, some 4e-15 kg/m^3, is held above it), and drag takes of the
// order of 1e-10 m/s^2 off a coasting upper stage of 100 t. Below it the drag of the thin air
// matters: between 150 and 350 km it moves the orbit at ignition by some
// centimetres per second, which moves the final apsides by up to 0.2 km.
constexpr double coast_air_top = 1000000;
// s, flight time between the table lines of a coast solved exactly.
constexpr double coast_line_interval = 10;
// s, the coast's step on the fixed steps.
constexpr double coast_step = 1.0;
// m, the altitude above which a guided flight's coast on the fixed steps
// follows the Keplerian arc instead of integrating the thin air's drag.
// Flown against the integrated coast of the guided Orvalon 5 (40 s, 18
// degrees), the drag above 200 km moves the orbit at ignition by under 1 m
// (0.9 m at apogee, 0.8 m at perigee), and the guided upper stage steers out
// what it moves: the final apsides move by under a millimetre. From 150 km
// the apogee moves by 8 m and the ignition by a step. The arc is evaluated
// on each coast step, so the table keeps its line a second.
constexpr double guided_arc_bottom = 200000;

// A descending vehicle may coast on only toward a perigee it will pass: it is
// above the ground, on an ellipse (apogee at or above perigee: a hyperbola
// flown underground after a crash has a huge positive "perigee" too) whose
// perigee is above the ground. NaN fails every test.
bool descends_toward_perigee_in_space(const FlightState& s) {
  return s.h0 > 0 && s.ha >= s.hp && s.hp > 0 && std::isfinite(s.ha);
}

// Whether the coast has ended at x, a state flown from one that went on
// (and had climbed, or was climbing, when `climbed_before`): at the
// ignition altitude, or past the apogee, or descending other than toward a
// perigee in space.
bool coast_ended(const Target& target, const FlightState& x, bool climbed_before) {
  return !(target.apogee_altitude > target.ignition_factor * x.h0) ||
         (x.vy < 0 && (climbed_before || !descends_toward_perigee_in_space(x)));
}

// The coast's end as an event: g crosses zero at the ignition altitude
// (m above it) or, once the vehicle has climbed, at the apogee (the rate of
// descent, m/s); passed as coast_ended says, which also ends a descent
// that does not lead to a perigee in space (a condition of the state, not
// a crossing: g leaves it to the steps).
struct CoastEnd {
  const Target& target;
  bool climbed_before;

  double g(const FlightState& x) const {
    const double above = target.ignition_factor * x.h0 - target.apogee_altitude;
    return climbed_before ? std::max(above, -x.vy) : above;
  }
  bool passed(const FlightState& x) const { return coast_ended(target, x, climbed_before); }
};

// The adaptive integrator's coast above the air: the arc of the conic the
// vehicle is on, from Kepler's equation, to the end the fixed steps look for:
// the ignition altitude on the way up, or the apogee if the arc stays below
// it, located exactly and then moved on to the first whole coast step from
// t_grid at or past it (with located events, not moved on). A table line
// every coast_line_interval seconds of flight time and one at the end.
// False, with nothing flown, for a state the closed form does not take (not
// on an ellipse, or descending other than toward a perigee in space): the
// pair flies it.
bool kepler_coast(FlightContext& S, double t_grid) {
  FlightState& s = S.fs;
  const Target& target = S.desc->mission.target;
  KeplerArc arc;
  const double Re = s.env->Re;
  if (!kepler_arc(s.env->mu, Re + s.h0, s.vx, s.vy, arc)) return false;
  if (s.vy < 0 && !descends_toward_perigee_in_space(s)) return false;
  double T = time_to_climb_through(arc, Re + target.apogee_altitude / target.ignition_factor);
  const double T_apogee = time_to_apogee(arc);
  if (T < 0 || T > T_apogee) T = T_apogee;
  const double t0 = s.t, range0 = s.r0;
  // The coast ends on its first whole step at or past that point, where the
  // fixed steps end it: the ignition is looked for once a step, and the
  // burn's steps run from it. Located events end it at the point itself.
  if (!located_events(S)) T = t_grid + std::ceil((t0 + T - t_grid) / coast_step) * coast_step - t0;
  auto place = [&](double dt) {
    const ArcPoint p = arc_at(arc, dt);
    s.h0 = p.r - Re;
    s.vx = p.vx;
    s.vy = p.vy;
    // The ground range: the arc swept at the reference radius, less the
    // Earth's turning under it (the integral of vx Re / r - vrot).
    s.r0 = range0 + Re * p.swept - s.vrot * dt;
    s.t = t0 + dt;
    evaluate_state(s, S.step_observers);
  };
  for (double k = std::floor(t0 / coast_line_interval) + 1; k * coast_line_interval < t0 + T; ++k) {
    place(k * coast_line_interval - t0);
  }
  place(T);
  return true;
}

// The adaptive coast: free steps of the pair through the air (and, above
// coast_air_top, the Keplerian arc). The coast's end is where the fixed
// steps put it, on the first whole coast step at or past the ignition
// altitude (or past the apogee): a step of the pair that would pass it is
// not taken; the end is looked for by bisection over the whole coast steps
// it spans, each flown from the step's start, and the flight goes on from
// there.
void adaptive_coast(FlightContext& S) {
  FlightState& s = S.fs;
  const Target& target = S.desc->mission.target;
  const double t_grid = s.t;
  bool climbed = false;
  const StepObservers quiet;
  auto ends = [&](const FlightState& x, bool climbed_before) { return coast_ended(target, x, climbed_before); };
  // The state at the k-th whole coast step, flown from s.
  auto at_step = [&](long k) {
    FlightState x = s;
    x.dt = t_grid + k * coast_step - s.t;
    trajectory_step(x, quiet);
    return x;
  };
  s.dt = coast_step;
  long n = 0;
  while (target.apogee_altitude > target.ignition_factor * s.h0 && ++n < max_search_steps) {
    if (s.h0 >= coast_air_top && kepler_coast(S, t_grid)) return;
    FlightState trial = s;
    if (coast_step_adaptive(trial, s.tolerance, quiet) == 0) {
      s.dt = trial.dt;
      step(S);
    } else if (!ends(trial, climbed || s.vy >= 0)) {
      s = trial;
      evaluate_state(s, S.step_observers);
    } else if (located_events(S)) {
      // The end located within the pair's step that passes it.
      const bool climbed_before = climbed || s.vy >= 0;
      const double proposal = trial.dt;
      s.dt = crossing_within(s, trial.t - s.t, CoastEnd{target, climbed_before});
      trajectory_step(s, quiet);
      s.dt = proposal;
      evaluate_state(s, S.step_observers);
    } else {
      const bool climbed_before = climbed || s.vy >= 0;
      // Whole steps after s (s itself went on) up to one at or past the
      // trial's end, where the coast has ended.
      long lo = static_cast<long>(std::floor((s.t - t_grid) / coast_step)) + 1;
      long hi = std::max(lo, static_cast<long>(std::ceil((trial.t - t_grid) / coast_step)));
      FlightState end = at_step(hi);
      for (long m = 0; !ends(end, climbed_before) && m < max_search_steps; ++m) end = at_step(++hi);
      while (lo < hi) {
        const long mid = lo + (hi - lo) / 2;
        FlightState x = at_step(mid);
        if (ends(x, climbed_before)) {
          hi = mid;
          end = x;
        } else {
          lo = mid + 1;
        }
      }
      const double proposal = trial.dt;
      s = end;
      s.dt = proposal;
      evaluate_state(s, S.step_observers);
    }
    if (s.vy >= 0) {
      climbed = true;
    } else if (climbed || !descends_toward_perigee_in_space(s)) {
      break;
    }
  }
}

// Coast up to just below the target altitude. It also ends where coasting on
// would never get there: when the vehicle turns downward after it has
// climbed (the apogee lies below the target: it would go round and round the
// orbit), and at once when it is descending other than toward a perigee in
// space (below the ground, on a hyperbola, or already underground: it would
// fall through re-entry). A vehicle separated just before a perigee above
// the ground, on an ellipse, coasts through it and up to the target.
void coast(FlightContext& S) {
  FlightState& s = S.fs;
  const Target& target = S.desc->mission.target;
  if (S.desc->mission.numerics.integrator == "adaptive") return adaptive_coast(S);
  long n = 0;
  bool climbed = false;
  const bool located = located_events(S);
  // A guided flight's coast above the drag's reach: the arc's state at each
  // whole step from where it joined it (k steps on, from t_arc).
  const bool may_arc = !located && closed_loop(S.desc->mission);
  KeplerArc arc;
  ArcAnomaly anomaly{};
  bool on_arc = false;
  long k = 0;
  double t_arc = 0, range_arc = 0;
  while (target.apogee_altitude > target.ignition_factor * s.h0 && ++n < max_search_steps) {
    if (!on_arc && may_arc && s.h0 >= guided_arc_bottom && (s.vy >= 0 || s.hp >= guided_arc_bottom)) {
      on_arc = kepler_arc(s.env->mu, s.env->Re + s.h0, s.vx, s.vy, arc);
      if (on_arc) anomaly = anomaly_at_start(arc);
      t_arc = s.t;
      range_arc = s.r0;
    }
    if (on_arc) {
      const double dt = static_cast<double>(++k) * coast_step;
      const ArcPoint p = arc_near(arc, dt, anomaly);
      s.h0 = p.r - s.env->Re;
      s.vx = p.vx;
      s.vy = p.vy;
      s.r0 = range_arc + s.env->Re * p.swept - s.vrot * dt;
      s.t = t_arc + dt;
      evaluate_state(s, S.step_observers);
    } else if (located) {
      const bool climbed_before = climbed || s.vy >= 0;
      step_until(S, CoastEnd{target, climbed_before});
    } else {
      step(S);
    }
    if (s.vy >= 0) {
      climbed = true;
    } else if (climbed || !descends_toward_perigee_in_space(s)) {
      break;
    }
  }
}

// The upper stage's burn along the velocity to circular speed, trimmed at the end
// with the rocket equation; with located events, cut off where the speed
// reaches it.
void burn_to_circular(FlightContext& S) {
  FlightState& s = S.fs;
  const UpperStage& u = S.desc->vehicle.upper;
  s.mode = Steering::vacuum;
  s.Ae = circle_area(u.nozzle_exit_diameter);
  s.Fvac = u.thrust;
  s.mdot = -s.Fvac / u.exhaust_speed;
  s.dt = 1.0;
  // Cut off where the speed reaches the circular speed.
  const auto fast = event([](const FlightState& x) { return x.vi - circular_speed(*x.env, x.h0); });
  if (located_events(S)) {
    long n = 0;
    do {
      s.dt = 1.0;
    } while (!step_until(S, fast) && ++n < max_search_steps);
    return;
  }
  step_past_and_back(S, [&] { step(S); }, [&] { return fast.passed(s); });
  double v_circ = circular_speed(*s.env, s.h0);
  double m_burn = rocket_propellant(s.m0 + s.Me, v_circ - s.vi, u.exhaust_speed);
  s.dt = -m_burn / s.mdot;
  step(S);
}

// The guided burn: the attitude from the guidance, the cut-off where the
// speed gives the target orbit's semi-major axis at the present radius
// (the guidance has turned the velocity to the circle's), the last step from
// the rocket equation as in the open-loop burn. A stage that runs out of
// propellant ends its burn there.
void guided_burn(FlightContext& S) {
  FlightState& s = S.fs;
  const UpperStage& u = S.desc->vehicle.upper;
  const Environment& e = *s.env;
  const double ra = e.Re + S.desc->mission.target.apogee_altitude;
  s.Ae = circle_area(u.nozzle_exit_diameter);
  s.Fvac = u.thrust;
  s.mdot = -s.Fvac / u.exhaust_speed;
  s.dt = 1.0;
  start_guided_stage(S, GuidedStage::upper);
  auto v_cut = [&] { return std::sqrt(e.mu * (2 / (e.Re + s.h0) - 1 / ra)); };
  try {
    step_past_and_back(S, [&] { step(S); },
                       [&] {
                         double v = v_cut();
                         return s.vi > v || !finite2(s.vi, v);
                       });
    // The guidance points the thrust off the velocity (by 8 to 20 degrees
    // near the cut-off): only the share along it adds speed, and the last
    // step burns for the delta-V whose projection is the speed missing.
    const GuidanceState& G = S.guidance;
    const double off = G.engaged ? guided_pitch(G.solution, s.t) - std::atan2(s.vy, s.vx) : 0.0;
    const double along = std::cos(off);
    double dv = v_cut() - s.vi;
    if (along > 0.5) dv = dv / along;  // beyond 60 degrees off, the plain rocket equation
    double m_burn = rocket_propellant(s.m0 + s.Me, dv, u.exhaust_speed);
    s.dt = -m_burn / s.mdot;
    step(S);
  } catch (const StageDry&) {
    S.record.upper_dry = true;
    FlightEvent e;
    e.kind = EventKind::propellant_depleted;
    e.name = "upper";
    e.value = v_cut() - s.vi;
    announce(S, std::move(e));
  }
  end_guided_stage(S);
}

// The flight ends in orbit when its osculating orbit is an ellipse with a
// finite perigee and apogee and the perigee is at or above 100 km, the edge
// of space: below it the vehicle re-enters within the revolution.
bool in_orbit(const FlightState& s) {
  return std::isfinite(s.hp) && std::isfinite(s.ha) && s.ha >= s.hp && s.hp >= h_edge_of_space;
}


}  // namespace

double rocket_propellant(double m, double dv, double c) { return m * (1 - std::exp(-dv / c)); }

void third_stage_phase(FlightContext& S, bool transfer) {
  FlightState& s = S.fs;
  const Vehicle& v = S.desc->vehicle;
  double m0_core = s.m0;
  double dV_start = s.dV;
  double dV3 = 0;

  if (transfer) {
    s.Sref = drag_area(S, s.Sst[3]);
    s.Ae = 0;
    s.m0 = v.upper.propellant_mass;
    s.Me = s.Mst[3] - v.upper.adaptor_mass - v.upper.propellant_mass;
    s.Fvac = 0;
    s.mdot = 0;
    s.kick = 0;
    s.dt = 1.0;
    s.kick_rate = 0;
    s.Fdot = 0;
    s.mddot = 0;
    s.mode = Steering::pitch_program;
    s.follow_air = true;
    coast(S);
    announce_orbit(S);
    FlightEvent ignition;
    ignition.kind = EventKind::upper_ignition;
    ignition.name = v.upper.engine;
    announce(S, std::move(ignition));
    if (closed_loop(S.desc->mission)) {
      guided_burn(S);
    } else {
      burn_to_circular(S);
    }
    dV3 = s.dV - dV_start;
  }
  FlightEvent cutoff;
  cutoff.kind = EventKind::upper_cutoff;
  cutoff.name = v.upper.engine;
  announce(S, std::move(cutoff));
  announce(S, EventKind::upper_delta_v, dV3);

  FlightEvent verdict;
  verdict.kind = EventKind::verdict;
  verdict.name = v.name;
  verdict.tt = S.tt;
  verdict.alpha_max = s.alpha_max;
  verdict.in_orbit = in_orbit(s);
  verdict.value = m0_core;
  announce(S, std::move(verdict));
  announce_orbit(S);
  announce(S, EventKind::total_delta_v, s.dV);

  S.record.transfer = transfer;
  S.record.m0_core = m0_core;
  S.record.dV3 = dV3;
  S.record.m0_upper = transfer ? s.m0 : 0;
  S.record.alpha_limited = s.alpha_limited;
  S.record.hp_final = s.hp;
  S.record.ha_final = s.ha;
  mission_summary(S, m0_core, dV3);
}

}  // namespace ascent
