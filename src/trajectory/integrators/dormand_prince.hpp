// The adaptive integrator: Dormand and Prince's embedded Runge-Kutta pair
// (J. Comput. Appl. Math. 6, 1980) under error control, its solution kept in
// a PairCache and read off its continuous extension while the segment stays
// the same; for segments whose rates are smooth within a step, the classic
// step with an embedded estimate. Generic over the right-hand side f, the
// rates of the integrated quantities at a state vector.
#pragma once
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "atmosphere/earth.hpp"
#include "trajectory/integrators/extension.hpp"
#include "trajectory/integrators/pair_cache.hpp"

namespace ascent {

namespace pair {

// Seven stages, the fifth-order solution carried on, the fourth-order one for
// the error. The rates depend on the state alone, not on the time within the
// step (the phases change them between steps), so the stages' nodes are not
// needed.
inline constexpr double a21 = 1.0 / 5;
inline constexpr double a31 = 3.0 / 40, a32 = 9.0 / 40;
inline constexpr double a41 = 44.0 / 45, a42 = -56.0 / 15, a43 = 32.0 / 9;
inline constexpr double a51 = 19372.0 / 6561, a52 = -25360.0 / 2187, a53 = 64448.0 / 6561, a54 = -212.0 / 729;
inline constexpr double a61 = 9017.0 / 3168, a62 = -355.0 / 33, a63 = 46732.0 / 5247, a64 = 49.0 / 176,
                        a65 = -5103.0 / 18656;
inline constexpr double b1 = 35.0 / 384, b3 = 500.0 / 1113, b4 = 125.0 / 192, b5 = -2187.0 / 6784, b6 = 11.0 / 84;
// Fifth order minus fourth order, weights of the seventh stage included.
inline constexpr double e1 = 71.0 / 57600, e3 = -71.0 / 16695, e4 = 71.0 / 1920, e5 = -17253.0 / 339200,
                        e6 = 22.0 / 525, e7 = -1.0 / 40;
// The continuous extension (PairCache::at): over a step from y0 to y1 of
// length h, r1 = y1 - y0, r2 = h k1 - r1, r3 = r1 - h k7 - r2 and
// r4 = h (d1 k1 + d3 k3 + d4 k4 + d5 k5 + d6 k6 + d7 k7).
inline constexpr double d1 = -12715105075.0 / 11282082432, d3 = 87487479700.0 / 32700410799,
                        d4 = -10690763975.0 / 1880347072, d5 = 701980252875.0 / 199316789632,
                        d6 = -1453857185.0 / 822651844, d7 = 69997945.0 / 29380423;

// Failed attempts within one step before the rest of the step is taken in
// one sub-step as it is: a state whose error cannot be brought down (a
// vehicle flown into the ground) still ends its step. Each failure shortens
// the sub-step at most tenfold, so the shortest stays far above zero.
inline constexpr int max_attempts = 100;
// Sub-steps taken within one step before the rest is taken in one as it
// is: accepted sub-steps may each be shorter than the last (at least 0.9
// times), and near a singular state (a vehicle flown toward the Earth's
// centre) they shrink without end. A flight's step takes a few.
inline constexpr int max_sub_steps = 1000;

// m/s, the scale of a velocity's error: the speed itself. Near the pad, where
// the speed is small, this asks for the most: an error there grows through
// the gravity turn into the orbit (measured against the circular speed as the
// scale instead, the final apsides of the bundled vehicles move by 0.3 km).
inline double speed_of(const StateVector& y) { return std::hypot(y[0], y[2]); }

// The largest error of the controlled quantities, relative to `tolerance`
// times the radius (position: the distance from the centre of the Earth of
// radius Re the segment flies over) and the speed (velocities, thrust
// velocity); e(i) is the estimated error of quantity i.
template <class Error>
double relative_error(const StateVector& y, double tolerance, double Re, Error&& e) {
  const double r = Re + y[1], v = speed_of(y);
  double err = 0;
  for (std::size_t i : controlled) {
    const double scale = is_position(i) ? r : v;
    err = std::max(err, std::fabs(e(i)) / (tolerance * scale));
  }
  return err;
}

// One attempt of the pair over h from y, whose rates are k1: the
// fifth-order state, its rates (the first stage of the next sub-step), the
// estimated error (1 or less: within the tolerance) and the last coefficient
// of the continuous extension.
struct Attempt {
  StateVector y5, k7;
  double err;
  StateVector r4;
};

template <class Rhs>
Attempt attempt(Rhs& f, const StateVector& y, const StateVector& k1, double h, double tolerance, double Re) {
  auto at = [&](std::initializer_list<std::pair<double, const StateVector*>> terms) {
    StateVector z = y;
    for (const auto& [w, k] : terms) {
      for (std::size_t i = 0; i < z.size(); ++i) z[i] += h * w * (*k)[i];
    }
    return z;
  };
  const StateVector k2 = f(at({{a21, &k1}}));
  const StateVector k3 = f(at({{a31, &k1}, {a32, &k2}}));
  const StateVector k4 = f(at({{a41, &k1}, {a42, &k2}, {a43, &k3}}));
  const StateVector k5 = f(at({{a51, &k1}, {a52, &k2}, {a53, &k3}, {a54, &k4}}));
  const StateVector k6 = f(at({{a61, &k1}, {a62, &k2}, {a63, &k3}, {a64, &k4}, {a65, &k5}}));
  Attempt p;
  p.y5 = at({{b1, &k1}, {b3, &k3}, {b4, &k4}, {b5, &k5}, {b6, &k6}});
  p.k7 = f(p.y5);
  const StateVector& k7 = p.k7;
  p.err = relative_error(y, tolerance, Re, [&](std::size_t i) {
    return h * (e1 * k1[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k7[i]);
  });
  for (std::size_t i = 0; i < y.size(); ++i) {
    p.r4[i] = h * (d1 * k1[i] + d3 * k3[i] + d4 * k4[i] + d5 * k5[i] + d6 * k6[i] + d7 * k7[i]);
  }
  return p;
}

// The usual controller: the error goes as h^5; a safety factor of 0.9,
// growth at most fivefold, shrinking at most tenfold.
inline double step_factor(double err) { return err > 0 ? std::clamp(0.9 * std::pow(err, -0.2), 0.1, 5.0) : 5.0; }

inline bool same_bits(const StateVector& a, const StateVector& b) {
  return std::memcmp(a.data(), b.data(), sizeof(double) * a.size()) == 0;
}

// Carries the cached solution on by one step of the pair from its end toward
// `target`, shortened until within the tolerance; the proposal carries over
// in c.h. Each attempt takes one from `attempts`. False when no step could
// be taken (an error that is not finite: a state the phase would not have
// flown to, or one it cannot be estimated on; a step too short to move the
// time on; or no attempts left), and the solution is left as it was.
template <class Rhs>
bool extend(Rhs& f, PairCache& c, double target, double tolerance, double Re, int& attempts) {
  double h = c.h > 0 && std::isfinite(c.h) ? c.h : target - c.t1;
  while (attempts-- > 0) {
    if (!(c.t1 + h > c.t1)) return false;
    const Attempt p = attempt(f, c.y1, c.k1, h, tolerance, Re);
    if (!std::isfinite(p.err)) return false;
    const double grow = step_factor(p.err);
    if (p.err <= 1) {
      for (std::size_t i = 0; i < c.y1.size(); ++i) {
        const double r1 = p.y5[i] - c.y1[i];
        const double r2 = h * c.k1[i] - r1;
        c.dense[0][i] = r1;
        c.dense[1][i] = r2;
        c.dense[2][i] = r1 - h * p.k7[i] - r2;
        c.dense[3][i] = p.r4[i];
      }
      c.y0 = c.y1;
      c.t0 = c.t1;
      c.y1 = p.y5;
      c.k1 = p.k7;
      c.t1 = c.t0 + h;
      c.h = h * grow;
      return true;
    }
    h *= grow;
  }
  return false;
}

}  // namespace pair

// One step of T from s under error control, the segment g in force.
//
// A step that starts where the last one ended, under the same segment, is
// read off the solution the last step left (its continuous extension),
// carried on in steps of the pair as long as the error allows: within a burn
// of constant thrust law, 5 to 12 of the phases' steps of a second to one
// step of the pair on average. Where the phase has changed something, the
// solution restarts from the state, as it must (a rate that changes at a
// step's end changes the solution's derivatives there); so does a step with
// `restart` (a law about to capture a constant from its first stage).
//
// A step that restarts is divided where the error asks for it into
// sub-steps, the last one shortened to end at t + T exactly: the phases'
// steps, their thresholds and the table stay where they are, and only the
// error inside each step is controlled, relative to the radius (altitude,
// range) and the speed (velocities, thrust velocity).
//
// Where the segment's rates are `smooth` within a step (the core's laws, the
// upper stage's burn), the sub-step is the classic Runge-Kutta step, whose
// error is estimated with the rates at its end (a fifth stage, the next
// step's first): the third-order solution with the weights (1/6, 1/3, 1/3,
// 0, 1/6) differs from the fourth-order one by h (k4 - k5)/6. That estimate
// compares two rates at the step's end and cannot see a jump of the rates
// inside the step; the pitch programme flies through one, the drag
// coefficient's jump at Mach 1, and takes the pair, whose stages spread over
// the step.
//
// The rates do not change within a step (the phases change them between
// steps only), so the last stage of one sub-step is the first of the next,
// and of the next step when the phase has changed nothing. The proposal
// carries over to the next step in c.h. g may change during the step (a law
// capturing its constant); the solution is kept under g as it ends.
//
// With `ext`, the step's continuous extension goes there: the solution's
// own where one step of the pair spans the whole step, else the cubic
// Hermite on the step's ends (the rates the step has not computed left for
// the flight to complete).
template <class Rhs>
void integrate_adaptive(State& s, double T, const Segment& g, bool restart, bool smooth, double tolerance,
                        PairCache& c, Rhs&& f, StepExtension* ext = nullptr) {
  using namespace pair;
  const double t0 = s.t;
  const double target = t0 + T;
  const double span = std::fabs(T);
  StateVector y = vector_of(s);
  const bool same_state = c.kept && !restart && t0 == c.t_handed && same_bits(c.handed, y);
  const bool same = same_state && c.segment == g;
  auto hand = [&](const StateVector& z) {
    assign(s, z);
    s.t = target;
    c.handed = z;
    c.t_handed = target;
  };
  if (same && target >= c.t0) {
    // A phase's step spans a few of the solution's steps at most; a state
    // that asks for more (steps of the pair that shrink and shrink, a
    // vehicle flown into the ground) is flown anew by the sub-steps below,
    // whose failures are bounded.
    int attempts = max_attempts;
    bool carried = true;
    while (target > c.t1 && carried) carried = extend(f, c, target, tolerance, g.env->Re, attempts);
    if (carried) {
      if (ext) {
        *ext = StepExtension{};
        ext->t0 = t0;
        ext->y0 = y;
        ext->on_pair = c.t0 <= t0 && target <= c.t1;
        if (ext->on_pair) ext->pair = c;
      }
      hand(c.at(target));
      if (ext) {
        ext->t1 = target;
        ext->y1 = c.handed;
      }
      return;
    }
  }
  // Where the phase has changed only the rates of kick, mass flow and thrust
  // (the boosters' profile, point by point), the rates at the solution's end
  // are those kept, with these three put in.
  StateVector k1;
  if (same_state && same_bits(c.y1, y) && same_but_rates(c.segment, g)) {
    k1 = c.k1;
    k1[4] = g.kick_rate;
    k1[6] = g.mddot;
    k1[7] = g.Fdot;
  } else {
    k1 = f(y);
  }
  if (ext) {
    *ext = StepExtension{};
    ext->t0 = t0;
    ext->y0 = y;
    ext->k0 = k1;
    ext->has_k0 = true;
  }
  double done = 0;  // s, magnitude of the step flown
  double proposal = c.h > 0 ? c.h : span;
  int attempts = 0, taken = 0;
  while (done < span) {
    const double rest = span - done;
    // Land on the step's end; split what is left evenly rather than leave a
    // sliver of it for a last sub-step.
    const double h = proposal >= rest ? rest : (2 * proposal > rest ? rest / 2 : proposal);
    const bool last = h == rest;
    const double hs = std::copysign(h, T);
    double err, grow;
    StateVector y4, k5;
    if (!smooth) {
      const Attempt p = attempt(f, y, k1, hs, tolerance, g.env->Re);
      err = p.err;
      y4 = p.y5;
      k5 = p.k7;
      grow = step_factor(err);
    } else {
      auto at = [&](const StateVector& k, double w) {
        StateVector z = y;
        for (std::size_t i = 0; i < z.size(); ++i) z[i] += hs * w * k[i];
        return z;
      };
      const StateVector k2 = f(at(k1, 0.5));
      const StateVector k3 = f(at(k2, 0.5));
      const StateVector k4 = f(at(k3, 1.0));
      y4 = y;
      for (std::size_t i = 0; i < y4.size(); ++i) y4[i] += hs * (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) / 6;
      k5 = f(y4);
      err = relative_error(y, tolerance, g.env->Re, [&](std::size_t i) { return hs * (k4[i] - k5[i]) / 6; });
      // The estimate goes as h^4: a safety factor of 0.9, growth at most
      // fivefold, shrinking at most tenfold.
      grow = err > 0 ? std::clamp(0.9 * std::pow(err, -0.25), 0.1, 5.0) : 5.0;
    }
    if (err <= 1 || !std::isfinite(err) || attempts >= max_attempts) {
      y = y4;
      k1 = k5;
      done = last ? span : done + h;
      // A sub-step shortened to land keeps the proposal it was cut from.
      proposal = std::max(h * grow, h < proposal ? proposal : 0.0);
      if (++taken >= max_sub_steps) attempts = max_attempts;
      if (attempts >= max_attempts) proposal = span;
    } else if (++attempts >= max_attempts) {
      proposal = span;
    } else {
      proposal = h * grow;
    }
  }
  c.h = proposal;
  // The solution is now the point the step landed on, the start of the next.
  c.kept = true;
  c.t0 = c.t1 = target;
  c.y0 = c.y1 = y;
  c.k1 = k1;
  hand(y);
  c.segment = g;  // a law may have captured its constant in the step
  if (ext) {
    ext->t1 = target;
    ext->y1 = y;
    ext->k1 = k1;
    ext->has_k1 = true;
  }
}

// One free step of the pair from s, from the proposal h, shortened until
// the estimated error is within `tolerance`: advances s and leaves in h the
// next step's proposal; returns the step taken (0 if none was accepted: a
// state the error cannot be estimated on, s left as it was).
template <class Rhs>
double pair_free_step(State& s, double& h, double tolerance, double Re, Rhs&& f) {
  const StateVector y = vector_of(s);
  const StateVector k1 = f(y);
  for (int n = 0; n < 60; ++n) {
    const pair::Attempt p = pair::attempt(f, y, k1, h, tolerance, Re);
    const double grow = pair::step_factor(p.err);
    if (p.err <= 1 || !std::isfinite(p.err)) {
      assign(s, p.y5);
      s.t += h;
      const double taken = h;
      h = h * grow;
      return taken;
    }
    h *= grow;
  }
  return 0;
}

}  // namespace ascent
