#include "phases/guided_flight.hpp"

#include <cmath>
#include <limits>

#include "phases/phase_support.hpp"

namespace ascent {

namespace {

// The passes of the first solution, from no guess: each refines the time
// to go that the effective gravity over the burn depends on.
constexpr int first_passes = 8;
// Two successive solutions whose predicted cut-off times differ by less than
// this have converged.
constexpr double converged_cutoff_time = 0.1;  // s
// s, a cycle is due this close to its length: the steps' times carry rounding.
constexpr double cycle_slack = 1e-9;

// A converged solution steers well ahead of its own time: the linear-tangent
// law it gives holds over the rest of the burn. While the predicted cut-off
// time moves by less than reuse_moved from one solution to the next, the
// next one comes twice as late, up to reuse_cycles cycles and never later
// than a reuse_share of the time to go (the law's linearisation is about
// now); a larger move, and every solution before convergence, waits one
// cycle. Under dispersions this leaves about a fifth of the solutions and
// moves the final orbits by well under a metre (docs/guidance.md).
constexpr double reuse_moved = 0.05;  // s
constexpr int reuse_cycles = 8;
constexpr double reuse_share = 0.125;

double next_interval(const GuidanceState& G, double cycle, double moved) {
  if (!G.converged || !(std::fabs(moved) < reuse_moved)) return cycle;
  double next = std::fmin(2 * G.interval, reuse_cycles * cycle);
  // never past reuse_share of the time to go, and never below one cycle
  return std::fmax(cycle, std::fmin(next, std::floor(reuse_share * G.solution.tgo / cycle) * cycle));
}

const char* stage_name(GuidedStage st) { return st == GuidedStage::core ? "core" : "upper"; }

void announce_stage(FlightContext& S, EventKind kind, double value) {
  FlightEvent e;
  e.kind = kind;
  e.name = stage_name(S.guidance.stage);
  e.value = value;
  announce(S, std::move(e));
}

GuidanceSolution solve(FlightContext& S, const GuidanceSolution* guess, int passes) {
  FlightState& s = S.fs;
  GuidanceState& G = S.guidance;
  G.thrust.tau = (s.m0 + s.Me) / -s.mdot;
  // The core carries the fairing until its jettison: from then on the same
  // thrust pushes that much less mass.
  const Fairing& f = S.desc->vehicle.fairing;
  const bool fairing_on = G.stage == GuidedStage::core && s.t < f.jettison_time - cycle_slack;
  G.thrust.t_drop = fairing_on ? f.jettison_time - s.t : std::numeric_limits<double>::infinity();
  G.thrust.tau_drop = fairing_on ? f.mass / -s.mdot : 0.0;
  // The rocket equation's velocity from the propellant left, at any flow.
  G.thrust.L_max = -G.thrust.c * std::log1p(-s.m0 / (s.m0 + s.Me));
  return solve_guidance(s.t, s.env->Re + s.h0, s.vx, s.vy, G.target, G.thrust, guess, passes);
}

// The time in which the propellant m0 runs out at the flow mdot changing at
// mddot, if that is within dt; otherwise dt.
double time_to_empty(double m0, double mdot, double mddot, double dt) {
  if (m0 + mdot * dt + mddot * dt * dt / 2 >= 0) return dt;
  if (mddot == 0) return -m0 / mdot;
  // The smallest positive root of m0 + mdot t + mddot t^2 / 2 (mdot < 0).
  const double a = mddot / 2, disc = mdot * mdot - 4 * a * m0;
  const double q = -(mdot - std::sqrt(disc > 0 ? disc : 0)) / 2;  // mdot < 0: no cancellation
  double t1 = m0 / q, t2 = q / a;
  double t = dt;
  if (t1 > 0 && t1 < t) t = t1;
  if (t2 > 0 && t2 < t) t = t2;
  return t;
}

}  // namespace

CutoffTarget orbit_point(double mu, double rp, double ra, double r) {
  const double v = std::sqrt(mu * (2 / r - 2 / (rp + ra)));
  const double h = std::sqrt(2 * mu * rp * ra / (rp + ra));  // angular momentum of the orbit
  const double c = h / (r * v);
  return {r, v, c < 1 ? std::acos(c) : 0.0, mu};
}

void start_guided_stage(FlightContext& S, GuidedStage stage) {
  const Description& d = *S.desc;
  GuidanceState& G = S.guidance;
  G = GuidanceState{};
  G.stage = stage;
  const Environment& e = *S.fs.env;
  const double Re = e.Re, mu = e.mu;
  const double ra = Re + d.mission.target.apogee_altitude;
  if (stage == GuidedStage::core) {
    G.target = orbit_point(mu, Re + d.mission.target.perigee_climbing, ra, Re + d.mission.guidance.insertion_altitude);
    G.thrust = {d.vehicle.core.exhaust_speed, 1, d.mission.plan.acceleration_limit};
  } else {
    G.target = {ra, std::sqrt(mu / ra), 0.0, mu};
    G.thrust = {d.vehicle.upper.exhaust_speed, 1, std::numeric_limits<double>::infinity()};
  }
}

void end_guided_stage(FlightContext& S) {
  S.guidance.stage = GuidedStage::none;
  S.guidance.engaged = false;
  S.fs.kick = 0;
  S.fs.kick_rate = 0;
}

void guided_step(FlightContext& S) {
  FlightState& s = S.fs;
  GuidanceState& G = S.guidance;
  const Guidance& cfg = S.desc->mission.guidance;
  const bool burning = s.Fvac > 0 && s.mdot < 0;
  if (burning && !G.engaged && (G.stage == GuidedStage::upper || s.q < cfg.takeover_pressure)) {
    G.solution = solve(S, nullptr, first_passes);
    G.engaged = true;
    G.interval = cfg.cycle;
    announce_stage(S, EventKind::guidance_takeover, s.q);
  } else if (burning && G.engaged && !G.holding && s.t - G.solution.t0 >= G.interval - cycle_slack) {
    const GuidanceSolution prev = G.solution;
    G.solution = solve(S, &prev, 1);
    // A stage far from any way to its target (descending into the air, its
    // propellant nearly gone) can leave the law without a solution: it
    // keeps the last one.
    const bool solved = std::isfinite(G.solution.tgo + G.solution.ldx + G.solution.ldy + G.solution.t_lambda);
    if (!solved) G.solution = prev;
    const double moved = solved ? (G.solution.t0 + G.solution.tgo) - (prev.t0 + prev.tgo) : 0.0;
    if (!G.converged && solved && std::fabs(moved) < converged_cutoff_time) {
      G.converged = true;
      announce_stage(S, EventKind::guidance_converged, G.solution.tgo);
    }
    G.interval = next_interval(G, cfg.cycle, moved);
  }
  if (G.engaged && G.solution.tgo < cfg.hold_time) G.holding = true;
  if (G.engaged && burning) {
    // The pitch at the step's start, and the kick carries it at the rate
    // that reaches the pitch at its end.
    s.mode = Steering::guided;
    s.pitch = guided_pitch(G.solution, s.t);
    s.kick = 0;
    s.kick_rate = 0;
    if (s.dt != 0) s.kick_rate = (guided_pitch(G.solution, s.t + s.dt) - s.pitch) / s.dt;
  }
  if (burning && s.dt > 0) {
    const double dt = time_to_empty(s.m0, s.mdot, s.mddot, s.dt);
    if (dt < s.dt) {
      s.dt = dt;
      trajectory_step(s, S.step_observers);
      s.m0 = 0;  // what rounding leaves either side of empty
      throw StageDry{};
    }
  }
  trajectory_step(s, S.step_observers);
}

}  // namespace ascent
