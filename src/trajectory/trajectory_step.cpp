#include "trajectory/trajectory_step.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <type_traits>
#include <utility>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "atmosphere/atmosphere.hpp"
#include "trajectory/steering.hpp"
#include "trajectory/steering/guided_attitude.hpp"
#include "trajectory/steering/pitch_program.hpp"
#include "trajectory/steering/vacuum_attitude.hpp"
#include "trajectory/steering/vertical_acceleration.hpp"

namespace ascent {

namespace {

constexpr double guard = 1e-6;  // m/s, smallest air-relative horizontal speed with a path angle
constexpr double deg = 180.0 / pi;  // degrees per radian

// Rates of the nine integrated quantities.
struct Rates {
  double vx, h0, vy, r0, kick, m0, mdot, Fvac, dV;
};

Air air_at(FlightState& s, double vx, double h0, double vy, double Fvac, double r) {
  Air w;
  // The atmosphere turns with the Earth: its horizontal speed grows with r.
  w.vxr = vx - r * s.vrot / Re;
  w.vr = std::sqrt(w.vxr * w.vxr + vy * vy);
  const std::uint64_t h_bits = std::bit_cast<std::uint64_t>(h0);
  // Without a nozzle (a coast) the back-pressure loads nothing: the
  // pressure, an exponential of its own above 86 km, is left out there. Any
  // finite pressure times a zero area takes nothing off the thrust, so the
  // thrust below comes out bit for bit as with it.
  const bool needs_p = s.Ae != 0;
  if (!s.air_kept || h_bits != s.air_h_bits || (needs_p && !s.air_p_kept)) {
    if (needs_p) {
      atmosphere(h0, s.air_p, s.air_rho, s.air_a_s);
      s.air_p_kept = true;
    } else {
      s.air_p_kept = !atmosphere_without_pressure(h0, s.air_p, s.air_rho, s.air_a_s);
    }
    s.air_h_bits = h_bits;
    s.air_kept = true;
  }
  const double p = s.air_p, rho = s.air_rho, a_s = s.air_a_s;
  w.F = Fvac - p * s.Ae;
  if (w.F < 0) w.F = 0;
  w.q = rho * s.rho_scale * (w.vr * w.vr) / 2;
  w.Cd = drag_coefficient(*s.drag, w.vr / a_s);
  w.CdQ = w.Cd * w.q;
  return w;
}

template <class Law>
Rates rates(FlightState& s, const Law& law, const Stage& z) {
  const double r = Re + z.h0;
  const double m = z.m0 + s.Me;
  // The inertial flight-path angle; a law along the air path has no use for
  // it, and the arc tangent is a good part of a stage's cost.
  const double beta = law.needs_beta(s) ? std::atan(z.vy / z.vx) : 0.0;
  const double curvature_x = z.vx * z.vy / r;  // m/s^2, turning of the local horizontal
  const double gravity = mu / (r * r);         // m/s^2
  Accelerations acc;
  if (law.in_air()) {
    Air w = air_at(s, z.vx, z.h0, z.vy, z.Fvac, r);
    double D = w.Cd * s.Sref * w.q;  // the rates' order: Cd(M) * Sref * q
    acc = law.accelerations(s, StageView{z, m, r, beta, curvature_x, gravity, &w, D});
  } else {
    acc = law.accelerations(s, StageView{z, m, r, beta, curvature_x, gravity, nullptr, 0.0});
  }
  return {acc.ax, z.vy, acc.ay, z.vx * Re / r - s.vrot, s.kick_rate, z.mdot, s.mddot, s.Fdot, z.Fvac / m};
}

Rates scaled(const Rates& k, double dt) {
  return {k.vx * dt,   k.h0 * dt,   k.vy * dt,   k.r0 * dt, k.kick * dt,
          k.m0 * dt,   k.mdot * dt, k.Fvac * dt, k.dV * dt};
}

// The stage state: the current values plus `f` times the increments k.
Stage advanced(const FlightState& s, const Rates& k, double f) {
  return {s.vx + k.vx * f,     s.h0 + k.h0 * f,     s.vy + k.vy * f,    s.kick + k.kick * f,
          s.m0 + k.m0 * f,     s.mdot + k.mdot * f, s.Fvac + k.Fvac * f};
}

// Classic RK4: stage weights 1/2, 1/2, 1; final weights (k1 + 2(k2 + k3) + k4)/6.
template <class Law>
void rk4_step(FlightState& s, const Law& law) {
  const Stage z1{s.vx, s.h0, s.vy, s.kick, s.m0, s.mdot, s.Fvac};
  const Rates k1 = scaled(rates(s, law, z1), s.dt);
  const Rates k2 = scaled(rates(s, law, advanced(s, k1, 0.5)), s.dt);
  const Rates k3 = scaled(rates(s, law, advanced(s, k2, 0.5)), s.dt);
  const Rates k4 = scaled(rates(s, law, advanced(s, k3, 1.0)), s.dt);
  auto combine = [](double k_1, double k_2, double k_3, double k_4) {
    return (k_1 + 2 * (k_2 + k_3) + k_4) / 6;
  };
  s.vx += combine(k1.vx, k2.vx, k3.vx, k4.vx);
  s.h0 += combine(k1.h0, k2.h0, k3.h0, k4.h0);
  s.vy += combine(k1.vy, k2.vy, k3.vy, k4.vy);
  s.r0 += combine(k1.r0, k2.r0, k3.r0, k4.r0);
  s.kick += combine(k1.kick, k2.kick, k3.kick, k4.kick);
  s.m0 += combine(k1.m0, k2.m0, k3.m0, k4.m0);
  s.mdot += combine(k1.mdot, k2.mdot, k3.mdot, k4.mdot);
  s.Fvac += combine(k1.Fvac, k2.Fvac, k3.Fvac, k4.Fvac);
  s.dV += combine(k1.dV, k2.dV, k3.dV, k4.dV);
  s.t += s.dt;
}

using Vec9 = std::array<double, 9>;

Vec9 as_vec(const Rates& k) { return {k.vx, k.h0, k.vy, k.r0, k.kick, k.m0, k.mdot, k.Fvac, k.dV}; }
Vec9 state_vec(const FlightState& s) { return {s.vx, s.h0, s.vy, s.r0, s.kick, s.m0, s.mdot, s.Fvac, s.dV}; }
Stage stage_of(const Vec9& y) { return {y[0], y[1], y[2], y[4], y[5], y[6], y[7]}; }

// Dormand and Prince's pair (J. Comput. Appl. Math. 6, 1980): seven stages,
// the fifth-order solution carried on, the fourth-order one for the error.
// The rates depend on the state alone, not on the time within the step (the
// phases change them between steps), so the stages' nodes are not needed.
constexpr double a21 = 1.0 / 5;
constexpr double a31 = 3.0 / 40, a32 = 9.0 / 40;
constexpr double a41 = 44.0 / 45, a42 = -56.0 / 15, a43 = 32.0 / 9;
constexpr double a51 = 19372.0 / 6561, a52 = -25360.0 / 2187, a53 = 64448.0 / 6561, a54 = -212.0 / 729;
constexpr double a61 = 9017.0 / 3168, a62 = -355.0 / 33, a63 = 46732.0 / 5247, a64 = 49.0 / 176,
                 a65 = -5103.0 / 18656;
constexpr double b1 = 35.0 / 384, b3 = 500.0 / 1113, b4 = 125.0 / 192, b5 = -2187.0 / 6784, b6 = 11.0 / 84;
// Fifth order minus fourth order, weights of the seventh stage included.
constexpr double e1 = 71.0 / 57600, e3 = -71.0 / 16695, e4 = 71.0 / 1920, e5 = -17253.0 / 339200,
                 e6 = 22.0 / 525, e7 = -1.0 / 40;
// The continuous extension of order four (Hairer, Norsett and Wanner,
// Solving Ordinary Differential Equations I, section II.6): over a step from
// y0 to y1 of length h, at the fraction u of it,
//   y(u) = y0 + u (r1 + (1 - u) (r2 + u (r3 + (1 - u) r4)))
// with r1 = y1 - y0, r2 = h k1 - r1, r3 = r1 - h k7 - r2 and
// r4 = h (d1 k1 + d3 k3 + d4 k4 + d5 k5 + d6 k6 + d7 k7).
constexpr double d1 = -12715105075.0 / 11282082432, d3 = 87487479700.0 / 32700410799,
                 d4 = -10690763975.0 / 1880347072, d5 = 701980252875.0 / 199316789632,
                 d6 = -1453857185.0 / 822651844, d7 = 69997945.0 / 29380423;

// m/s, the scale of a velocity's error: the speed itself. Near the pad, where
// the speed is small, this asks for the most: an error there grows through
// the gravity turn into the orbit (measured against the circular speed as the
// scale instead, the final apsides of the bundled vehicles move by 0.3 km).
double speed_of(const std::array<double, 9>& y) { return std::hypot(y[0], y[2]); }

// One attempt of the pair over h from y, whose rates are k1: the
// fifth-order state, its rates (the first stage of the next sub-step) and
// the estimated error of position, velocity and thrust velocity, relative to
// `tolerance` times the radius and the speed. An error of 1 or less is
// within the tolerance.
struct PairAttempt {
  Vec9 y5, k7;
  double err;
  Vec9 r4;  // the last coefficient of the continuous extension
};

template <class Law>
PairAttempt pair_attempt(FlightState& s, const Law& law, const Vec9& y, const Vec9& k1, double h,
                         double tolerance) {
  auto f = [&](const Vec9& z) { return as_vec(rates(s, law, stage_of(z))); };
  auto at = [&](std::initializer_list<std::pair<double, const Vec9*>> terms) {
    Vec9 z = y;
    for (const auto& [w, k] : terms) {
      for (std::size_t i = 0; i < z.size(); ++i) z[i] += h * w * (*k)[i];
    }
    return z;
  };
  const Vec9 k2 = f(at({{a21, &k1}}));
  const Vec9 k3 = f(at({{a31, &k1}, {a32, &k2}}));
  const Vec9 k4 = f(at({{a41, &k1}, {a42, &k2}, {a43, &k3}}));
  const Vec9 k5 = f(at({{a51, &k1}, {a52, &k2}, {a53, &k3}, {a54, &k4}}));
  const Vec9 k6 = f(at({{a61, &k1}, {a62, &k2}, {a63, &k3}, {a64, &k4}, {a65, &k5}}));
  PairAttempt p;
  p.y5 = at({{b1, &k1}, {b3, &k3}, {b4, &k4}, {b5, &k5}, {b6, &k6}});
  p.k7 = f(p.y5);
  const Vec9& k7 = p.k7;
  const double r = Re + y[1], v = speed_of(y);
  double err = 0;
  // Mass, mass flow, thrust and kick change linearly or quadratically in a
  // step: the fifth-order solution carries them exactly, and they have no
  // error to control.
  for (std::size_t i : {0u, 1u, 2u, 3u, 8u}) {
    const double e = h * (e1 * k1[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k7[i]);
    const double scale = (i == 1 || i == 3) ? r : v;
    err = std::max(err, std::fabs(e) / (tolerance * scale));
  }
  p.err = err;
  for (std::size_t i = 0; i < y.size(); ++i) {
    p.r4[i] = h * (d1 * k1[i] + d3 * k3[i] + d4 * k4[i] + d5 * k5[i] + d6 * k6[i] + d7 * k7[i]);
  }
  return p;
}

// The usual controller: the error goes as h^5; a safety factor of 0.9,
// growth at most fivefold, shrinking at most tenfold.
double step_factor(double err) { return err > 0 ? std::clamp(0.9 * std::pow(err, -0.2), 0.1, 5.0) : 5.0; }

void set_state(FlightState& s, const Vec9& y) {
  s.vx = y[0];
  s.h0 = y[1];
  s.vy = y[2];
  s.r0 = y[3];
  s.kick = y[4];
  s.m0 = y[5];
  s.mdot = y[6];
  s.Fvac = y[7];
  s.dV = y[8];
}

// Failed attempts within one step before the rest of the step is taken in
// one sub-step as it is: a state whose error cannot be brought down (a
// vehicle flown into the ground) still ends its step. Each failure shortens
// the sub-step at most tenfold, so the shortest stays far above zero.
constexpr int max_pair_attempts = 100;
// Sub-steps taken within one step before the rest is taken in one as it
// is: accepted sub-steps may each be shorter than the last (at least 0.9
// times), and near a singular state (a vehicle flown toward the Earth's
// centre) they shrink without end. A flight's step takes a few.
constexpr int max_sub_steps = 1000;

// What the rates depend on besides the state: the rates of change, the
// vehicle's constants of the step and the steering's parameters.
std::array<double, 14> rate_parameters(const FlightState& s) {
  // The pitch programme off the air path holds the angle of attack; the
  // other laws read it only when the vertical law starts (never kept).
  const double alpha = s.mode == Steering::pitch_program && !s.follow_air ? s.alpha : 0.0;
  return {s.kick_rate, s.mddot, s.Fdot,  s.Me, s.Ae,       s.Sref, s.vrot, s.alpha_max, s.kv, s.cv, s.rho_scale,
          s.pitch,     alpha,   double(int(s.mode) * 2 + (s.follow_air ? 1 : 0))};
}

template <std::size_t N>
bool same_bits(const std::array<double, N>& a, const std::array<double, N>& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * N) == 0;
}

using Arc = FlightState::Arc;

// The state at time t on the arc's solution, t within [t0, t1]: its ends as
// they are, between them the continuous extension.
Vec9 on_arc(const Arc& a, double t) {
  if (t == a.t1) return a.y1;
  if (t == a.t0) return a.y0;
  const double u = (t - a.t0) / (a.t1 - a.t0);
  const double w = 1 - u;
  Vec9 y;
  for (std::size_t i = 0; i < y.size(); ++i) {
    y[i] = a.y0[i] + u * (a.dense[0][i] + w * (a.dense[1][i] + u * (a.dense[2][i] + w * a.dense[3][i])));
  }
  return y;
}

// Carries the arc's solution on by one step of the pair from its end toward
// `target`, shortened until within the tolerance; the proposal carries over
// in s.h_pair. Each attempt takes one from `attempts`. False when no step
// could be taken (an error that is not finite: a state the phase would not
// have flown to, or one it cannot be estimated on; a step too short to move
// the time on; or no attempts left), and the arc is left as it was.
template <class Law>
bool extend_arc(FlightState& s, const Law& law, Arc& a, double target, int& attempts) {
  double h = s.h_pair > 0 && std::isfinite(s.h_pair) ? s.h_pair : target - a.t1;
  while (attempts-- > 0) {
    if (!(a.t1 + h > a.t1)) return false;
    const PairAttempt p = pair_attempt(s, law, a.y1, a.k1, h, s.tolerance);
    if (!std::isfinite(p.err)) return false;
    const double grow = step_factor(p.err);
    if (p.err <= 1) {
      for (std::size_t i = 0; i < a.y1.size(); ++i) {
        const double r1 = p.y5[i] - a.y1[i];
        const double r2 = h * a.k1[i] - r1;
        a.dense[0][i] = r1;
        a.dense[1][i] = r2;
        a.dense[2][i] = r1 - h * p.k7[i] - r2;
        a.dense[3][i] = p.r4[i];
      }
      a.y0 = a.y1;
      a.t0 = a.t1;
      a.y1 = p.y5;
      a.k1 = p.k7;
      a.t1 = a.t0 + h;
      s.h_pair = h * grow;
      return true;
    }
    h *= grow;
  }
  return false;
}

// One step of dt under error control.
//
// A step that starts where the last one ended, with every rate and
// parameter as it was, is read off the solution the last step left (its
// continuous extension), carried on in steps of the pair as long as the
// error allows: within a burn of constant thrust law, 5 to 12 of the
// phases' steps of a second to one step of the pair on average. Where the phase has changed
// something, the solution restarts from the state, as it must (a rate that
// changes at a step's end changes the solution's derivatives there).
//
// A step that restarts is divided where the error asks for it into
// sub-steps, the last one shortened to end at t + dt exactly: the
// phases' steps, their thresholds and the table stay where they are, and
// only the error inside each step is controlled, relative to the radius
// (altitude, range) and the speed (velocities, thrust velocity).
//
// Off the pitch programme (the core's laws, the upper stage's burn) the
// rates are smooth within a step: the classic Runge-Kutta step, whose error
// is estimated with the rates at its end (a fifth stage, the next step's
// first): the third-order solution with the weights (1/6, 1/3, 1/3, 0, 1/6)
// differs from the fourth-order one by h (k4 - k5)/6. That estimate compares
// two rates at the step's end and cannot see a jump of the rates inside the
// step; the pitch programme flies through one, the drag coefficient's jump
// at Mach 1, and takes Dormand and Prince's pair, whose stages spread over
// the step.
//
// The rates do not change within a step (the phases change them between
// steps only), so the last stage of one sub-step is the first of the next,
// and of the next step when the phase has changed nothing. The proposal
// carries over to the next step in s.h_pair.
template <class Law>
void integrate_pair(FlightState& s, const Law& law) {
  const double T = s.dt, t0 = s.t;
  const double target = t0 + T;
  const double span = std::fabs(T);
  Vec9 y = state_vec(s);
  auto f = [&](const Vec9& z) { return as_vec(rates(s, law, stage_of(z))); };
  Arc& arc = s.arc;
  const std::array<double, 14> parameters = rate_parameters(s);
  const bool same_state = arc.kept && !s.law_init && t0 == arc.t_handed && same_bits(arc.handed, y);
  const bool same = same_state && same_bits(arc.parameters, parameters);
  auto hand = [&](const Vec9& z) {
    set_state(s, z);
    s.t = target;
    arc.handed = z;
    arc.t_handed = target;
  };
  if (same && target >= arc.t0) {
    // A phase's step spans a few of the solution's steps at most; a state
    // that asks for more (steps of the pair that shrink and shrink, a
    // vehicle flown into the ground) is flown anew by the sub-steps below,
    // whose failures are bounded.
    int attempts = max_pair_attempts;
    bool carried = true;
    while (target > arc.t1 && carried) carried = extend_arc(s, law, arc, target, attempts);
    if (carried) return hand(on_arc(arc, target));
  }
  // The rates of change of the kick, the mass flow and the thrust (the first
  // three parameters) are three of the rates and enter no other: where the
  // phase has changed only them (the boosters' profile, point by point), the
  // rates at the solution's end are those kept, with these three put in.
  Vec9 k1;
  if (same_state && same_bits(arc.y1, y) &&
      std::memcmp(arc.parameters.data() + 3, parameters.data() + 3, sizeof(double) * 11) == 0) {
    k1 = arc.k1;
    k1[4] = s.kick_rate;
    k1[6] = s.mddot;
    k1[7] = s.Fdot;
  } else {
    k1 = f(y);
  }
  double done = 0;  // s, magnitude of the step flown
  double proposal = s.h_pair > 0 ? s.h_pair : span;
  int attempts = 0, taken = 0;
  while (done < span) {
    const double rest = span - done;
    // Land on the step's end; split what is left evenly rather than leave a
    // sliver of it for a last sub-step.
    const double h = proposal >= rest ? rest : (2 * proposal > rest ? rest / 2 : proposal);
    const bool last = h == rest;
    const double hs = std::copysign(h, T);
    double err, grow;
    Vec9 y4, k5;
    if constexpr (std::is_same_v<Law, steering::PitchProgram>) {
      const PairAttempt p = pair_attempt(s, law, y, k1, hs, s.tolerance);
      err = p.err;
      y4 = p.y5;
      k5 = p.k7;
      grow = step_factor(err);
    } else {
      auto at = [&](const Vec9& k, double w) {
        Vec9 z = y;
        for (std::size_t i = 0; i < z.size(); ++i) z[i] += hs * w * k[i];
        return z;
      };
      const Vec9 k2 = f(at(k1, 0.5));
      const Vec9 k3 = f(at(k2, 0.5));
      const Vec9 k4 = f(at(k3, 1.0));
      y4 = y;
      for (std::size_t i = 0; i < y4.size(); ++i) y4[i] += hs * (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) / 6;
      k5 = f(y4);
      const double r = Re + y[1], v = speed_of(y);
      err = 0;
      for (std::size_t i : {0u, 1u, 2u, 3u, 8u}) {
        const double scale = (i == 1 || i == 3) ? r : v;
        err = std::max(err, std::fabs(hs * (k4[i] - k5[i]) / 6) / (s.tolerance * scale));
      }
      // The estimate goes as h^4: a safety factor of 0.9, growth at most
      // fivefold, shrinking at most tenfold.
      grow = err > 0 ? std::clamp(0.9 * std::pow(err, -0.25), 0.1, 5.0) : 5.0;
    }
    if (err <= 1 || !std::isfinite(err) || attempts >= max_pair_attempts) {
      y = y4;
      k1 = k5;
      done = last ? span : done + h;
      // A sub-step shortened to land keeps the proposal it was cut from.
      proposal = std::max(h * grow, h < proposal ? proposal : 0.0);
      if (++taken >= max_sub_steps) attempts = max_pair_attempts;
      if (attempts >= max_pair_attempts) proposal = span;
    } else if (++attempts >= max_pair_attempts) {
      proposal = span;
    } else {
      proposal = h * grow;
    }
  }
  s.h_pair = proposal;
  // The solution is now the point the step landed on, the start of the next.
  arc.kept = true;
  arc.t0 = arc.t1 = target;
  arc.y0 = arc.y1 = y;
  arc.k1 = k1;
  hand(y);
  arc.parameters = rate_parameters(s);  // a law may have captured its constant in the step
}

// One step of dt, as substeps equal Runge-Kutta steps; the step ends at
// t + dt exactly, as a single step does.
template <class Law>
void integrate(FlightState& s, const Law& law) {
  // A step of no finite length (a search gone astray) is left to the
  // classic step, which carries the non-finite values on for the phases'
  // guards to see.
  if (s.tolerance > 0 && std::isfinite(s.dt)) {
    integrate_pair(s, law);
    return;
  }
  if (s.substeps <= 1) {
    rk4_step(s, law);
    return;
  }
  const double dt = s.dt, t0 = s.t;
  s.dt = dt / s.substeps;
  for (int i = 0; i < s.substeps; ++i) rk4_step(s, law);
  s.dt = dt;
  s.t = t0 + dt;
}

}  // namespace

double path_angle(double vy, double vxr) { return vxr < guard ? pi / 2 : std::atan(vy / vxr); }

const SteeringLaw& steering_law(Steering mode) {
  static const steering::PitchProgram pitch_program;
  static const steering::VerticalAcceleration vertical_acceleration;
  static const steering::VacuumAttitude vacuum_attitude;
  static const steering::GuidedAttitude guided_attitude;
  switch (mode) {
    case Steering::guided: return guided_attitude;
    case Steering::vertical_law: return vertical_acceleration;
    case Steering::vacuum: return vacuum_attitude;
    case Steering::pitch_program: break;
  }
  return pitch_program;
}

double drag_coefficient(double mach) { return drag_coefficient(builtin_drag_table(), mach); }

namespace {

// Evaluation of the state a step (or a closed-form arc) has reached: speed,
// angles, loads, the record to the observers, the osculating orbit.
template <class Law>
void evaluate_with(FlightState& s, const Law& law, const StepObservers& observers) {
  const double r = Re + s.h0;
  const double m = s.m0 + s.Me;
  s.vi = std::sqrt(s.vx * s.vx + s.vy * s.vy);
  const double beta = std::atan(s.vy / s.vx);
  double vxr, vr = 0, q, F = 0, CdQ;
  if (!law.in_air()) {
    vxr = s.vx - r * s.vrot / Re;
    q = 0;
    s.a = s.Fvac / m;
    CdQ = 0;
  } else {
    Air w = air_at(s, s.vx, s.h0, s.vy, s.Fvac, r);
    vxr = w.vxr;
    vr = w.vr;
    q = w.q;
    F = w.F;
    s.a = F / m;
    CdQ = w.CdQ;
  }
  const double theta = path_angle(s.vy, vxr);
  s.q = q;

  // Axial load at each station: drag on the area above it plus the inertia of
  // the mass above it under thrust acceleration.
  for (int i = 1; i <= s.nst; ++i) {
    if (s.Mst[i] < m) {
      double Fst = CdQ * s.Sst[i] + s.a * s.Mst[i];
      if (Fst > s.Fst_max[i]) {
        s.Fst_max[i] = Fst;
        s.t_Fst_max[i] = s.t;
      }
    }
  }
  const double D = s.Sref * CdQ;
  law.update_alpha(s, StateView{F, m, r, D, vr, beta, theta});

  if (!observers.empty()) {
    const StepRecord r{s.t, s.a, s.vi, s.h0, s.r0, s.alpha * deg, beta * deg, theta * deg, q, m, s.vx, s.vy};
    for (StepObserver* o : observers) o->on_step(r);
  }

  // Osculating orbit (vis-viva for the semi-major axis; the angular momentum
  // from the horizontal inertial velocity).
  const double sma = 1 / (2 / r - s.vi * s.vi / mu);
  const double e2 = 1 - (s.vx * r) * (s.vx * r) / (mu * sma);
  // On an orbit that is circular to rounding, e^2 is the difference of two
  // nearly equal numbers and may come out a hair below zero: that orbit is a
  // circle, not one that dips to the Earth's centre.
  const double ecc = e2 >= 0 ? std::sqrt(e2) : 0;
  s.hp = (1 - ecc) * sma - Re;
  s.ha = (1 + ecc) * sma - Re;
}

// Calls f with the law of `mode`, as its own class: the steps and the
// evaluations go through the one dispatch, each law's calls inlined.
template <class F>
void with_law(Steering mode, F&& f) {
  switch (mode) {
    case Steering::vertical_law: return f(steering::VerticalAcceleration{});
    case Steering::vacuum: return f(steering::VacuumAttitude{});
    case Steering::guided: return f(steering::GuidedAttitude{});
    case Steering::pitch_program: break;
  }
  f(steering::PitchProgram{});
}

}  // namespace

void trajectory_step(FlightState& s, const StepObservers& observers) {
  with_law(s.mode, [&](const auto& law) {
    integrate(s, law);
    evaluate_with(s, law, observers);
  });
}

void evaluate_state(FlightState& s, const StepObservers& observers) {
  with_law(s.mode, [&](const auto& law) { evaluate_with(s, law, observers); });
}

double coast_step_adaptive(FlightState& s, double tolerance, const StepObservers& observers) {
  const steering::PitchProgram law;
  const Vec9 y = state_vec(s);
  const Vec9 k1 = as_vec(rates(s, law, stage_of(y)));
  double h = s.dt;
  for (int attempt = 0; attempt < 60; ++attempt) {
    const PairAttempt p = pair_attempt(s, law, y, k1, h, tolerance);
    const double grow = step_factor(p.err);
    if (p.err <= 1 || !std::isfinite(p.err)) {
      set_state(s, p.y5);
      s.t += h;
      evaluate_with(s, law, observers);
      s.dt = h * grow;
      return h;
    }
    h *= grow;
  }
  s.dt = h;
  return 0;
}

}  // namespace ascent
