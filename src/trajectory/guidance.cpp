#include "trajectory/guidance.hpp"

#include <cmath>
#include <limits>

#include "atmosphere/earth.hpp"

namespace ascent {

namespace {

// The time at which the thrust acceleration reaches the limit (0: it is
// there already; infinite: never). Shedding mass before that brings it
// closer; after it, the throttle holds the limit all the same.
double time_to_limit(const ThrustModel& m) {
  if (!std::isfinite(m.a_limit)) return std::numeric_limits<double>::infinity();
  double t1 = m.tau - m.c / m.a_limit;
  if (t1 <= m.t_drop) return t1 > 0 ? t1 : 0;
  t1 = m.tau - m.tau_drop - m.c / m.a_limit;
  return t1 > m.t_drop ? t1 : m.t_drop;
}

// The thrust acceleration at t from now.
double acceleration(const ThrustModel& m, double t, double t1) {
  if (t >= t1) return m.a_limit;
  return m.c / ((t < m.t_drop ? m.tau : m.tau - m.tau_drop) - t);
}

// int a, int a t, int a t^2 over [ta, tb] of a constant-thrust arc
// a = c / (theta - t), added to L, J, H.
void add_constant_thrust(double c, double theta, double ta, double tb, double& L, double& J, double& H) {
  if (!(tb > ta)) return;
  const double l = -c * std::log1p(-(tb - ta) / (theta - ta));
  const double j = theta * l - c * (tb - ta);
  L += l;
  J += j;
  H += theta * j - c * (tb * tb - ta * ta) / 2;
}

struct Vec {
  double x, y;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(double k, Vec a) { return {k * a.x, k * a.y}; }

// Simpson's rule over the time to go on this many intervals (even): the
// frame's accelerations along the predicted path are smooth. Against 16
// intervals, 8 move a guided flight's cut-off by under 0.01 s and its
// spacecraft by at most 1 kg, at half the cost.
constexpr int guidance_nodes = 8;
// The largest share of the velocity to be gained counted as lost to turning.
constexpr double max_turning_loss = 0.1;
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }

}  // namespace

namespace {

// int a, int a t, int a t^2 over [0, T].
struct Moments {
  double L, J, H;
};
Moments moments(const ThrustModel& m, double T) {
  // On a constant-thrust arc a = c / (theta - t):
  //   int a = -c ln((theta - t) / (theta - ta)), int a t = theta int a - c t,
  //   int a t^2 = theta int a t - c t^2 / 2 (from ta);
  // on the limited arc a is constant. S = T L - J and Q = T J - H follow by
  // exchanging the order of the double integrals (H = int a t^2).
  const double t1 = time_to_limit(m);
  const double ta = T < t1 ? T : t1;  // the end of the constant-thrust arcs
  double L = 0, J = 0, H = 0;
  add_constant_thrust(m.c, m.tau, 0, ta < m.t_drop ? ta : m.t_drop, L, J, H);
  add_constant_thrust(m.c, m.tau - m.tau_drop, m.t_drop, ta, L, J, H);
  if (T > t1) {
    const double a = m.a_limit;
    L += a * (T - t1);
    J += a * (T * T - t1 * t1) / 2;
    H += a * (T * T * T - t1 * t1 * t1) / 3;
  }
  return {L, J, H};
}

}  // namespace

ThrustIntegrals thrust_integrals(const ThrustModel& m, double T) {
  const Moments M = moments(m, T);
  return {M.L, M.J, T * M.L - M.J, T * M.J - M.H};
}

double time_to_gain(const ThrustModel& m, double L) {
  const double inf = std::numeric_limits<double>::infinity();
  const double t1 = time_to_limit(m);
  // Arc by arc: to the shedding (or the limit), then to the limit.
  const double tA = t1 < m.t_drop ? t1 : m.t_drop;
  const double LA = std::isfinite(tA) ? -m.c * std::log1p(-tA / m.tau) : inf;
  if (L <= LA) return -m.tau * std::expm1(-L / m.c);
  L -= LA;
  if (m.t_drop < t1) {
    const double theta = m.tau - m.tau_drop;
    const double LB = std::isfinite(t1) ? -m.c * std::log1p(-(t1 - m.t_drop) / (theta - m.t_drop)) : inf;
    if (L <= LB) return m.t_drop - (theta - m.t_drop) * std::expm1(-L / m.c);
    L -= LB;
  }
  return t1 + L / m.a_limit;
}

double turning_loss(const ThrustModel& m, const GuidanceSolution& g, double t, double T) {
  const double w2 = g.ldx * g.ldx + g.ldy * g.ldy;
  const double k0 = g.t0 + g.t_lambda - t;
  const double t1 = time_to_limit(m);
  double sum = 0;
  for (int i = 0; i <= guidance_nodes; ++i) {
    const double tau = T * i / guidance_nodes, k = tau - k0;
    // 1 - 1 / sqrt(1 + x) without the cancellation for small x
    const double x = w2 * k * k, q = std::sqrt(1 + x);
    const double w = (i == 0 || i == guidance_nodes) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
    sum += w * acceleration(m, tau, t1) * (x / (q * (q + 1)));
  }
  return T / (3.0 * guidance_nodes) * sum;
}

namespace {

// One stage burning to the cut-off: the single stage's own functions.
bool single(std::span<const StageBurn> st) { return st.size() == 1 && !std::isfinite(st[0].burn); }

// The thrust acceleration tau after now, across the stages (0 while coasting).
double acceleration(std::span<const StageBurn> st, double tau) {
  double t0 = 0;
  for (std::size_t k = 0; k < st.size(); ++k) {
    const StageBurn& b = st[k];
    if (tau < t0 + b.burn || k + 1 == st.size()) return acceleration(b.thrust, tau - t0, time_to_limit(b.thrust));
    if (tau < t0 + b.burn + b.coast) return 0;
    t0 += b.burn + b.coast;
  }
  return 0;
}

// The velocity all the stages' propellant can give.
double velocity_capacity(std::span<const StageBurn> st) {
  double L = 0;
  for (const StageBurn& b : st) L += b.thrust.L_max;
  return L;
}

}  // namespace

ThrustIntegrals thrust_integrals(std::span<const StageBurn> st, double T) {
  if (single(st)) return thrust_integrals(st[0].thrust, T);
  // Stage k's moments about its ignition t0, moved to now:
  // int a (t0 + s) = J + t0 L, int a (t0 + s)^2 = H + 2 t0 J + t0^2 L.
  double L = 0, J = 0, H = 0, t0 = 0;
  for (std::size_t k = 0; k < st.size() && T > t0; ++k) {
    const StageBurn& b = st[k];
    const double Tk = k + 1 == st.size() ? T - t0 : std::fmin(b.burn, T - t0);
    const Moments M = moments(b.thrust, Tk);
    L += M.L;
    J += M.J + t0 * M.L;
    H += M.H + 2 * t0 * M.J + t0 * t0 * M.L;
    t0 += b.burn + b.coast;
  }
  return {L, J, T * L - J, T * J - H};
}

double time_to_gain(std::span<const StageBurn> st, double L) {
  if (single(st)) return time_to_gain(st[0].thrust, L);
  double t0 = 0;
  for (std::size_t k = 0; k < st.size(); ++k) {
    const StageBurn& b = st[k];
    const double Lk = k + 1 == st.size() ? std::numeric_limits<double>::infinity() : moments(b.thrust, b.burn).L;
    if (L <= Lk) return t0 + time_to_gain(b.thrust, L);
    L -= Lk;
    t0 += b.burn + b.coast;
  }
  return std::numeric_limits<double>::infinity();
}

double turning_loss(std::span<const StageBurn> st, const GuidanceSolution& g, double t, double T) {
  if (single(st)) return turning_loss(st[0].thrust, g, t, T);
  const double w2 = g.ldx * g.ldx + g.ldy * g.ldy;
  const double k0 = g.t0 + g.t_lambda - t;
  double sum = 0;
  for (int i = 0; i <= guidance_nodes; ++i) {
    const double tau = T * i / guidance_nodes, k = tau - k0;
    const double x = w2 * k * k, q = std::sqrt(1 + x);
    const double w = (i == 0 || i == guidance_nodes) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
    sum += w * acceleration(st, tau) * (x / (q * (q + 1)));
  }
  return T / (3.0 * guidance_nodes) * sum;
}

GuidanceSolution solve_guidance(double t, double r, double vx, double vy, const CutoffTarget& target,
                                const ThrustModel& thrust, const GuidanceSolution* guess, int passes) {
  const StageBurn one[] = {{thrust}};
  return solve_guidance(t, r, vx, vy, target, one, guess, passes);
}

GuidanceSolution solve_guidance(double t, double r, double vx, double vy, const CutoffTarget& target,
                                std::span<const StageBurn> thrust, const GuidanceSolution* guess, int passes) {
  GuidanceSolution g;
  g.t0 = t;
  const Vec Vd{target.v * std::cos(target.gamma), target.v * std::sin(target.gamma)};
  if (guess != nullptr) {
    g.tgo = std::fmax(guess->tgo - (t - guess->t0), 0.0);
  } else {
    // From nothing: the time to gain the velocity difference alone.
    g.tgo = time_to_gain(thrust, std::sqrt(dot(Vd - Vec{vx, vy}, Vd - Vec{vx, vy})));
  }
  // The frame's own accelerations now and at the cut-off: horizontal
  // -vx vy / r, vertical vx^2 / r - mu / r^2.
  const double mu = target.mu;
  const Vec f0{-vx * vy / r, vx * vx / r - mu / (r * r)};
  const Vec fd{-Vd.x * Vd.y / target.r, Vd.x * Vd.x / target.r - mu / (target.r * target.r)};
  // The steering the frame's accelerations are predicted along: the
  // previous solution's, as seen from now (null: none yet).
  const GuidanceSolution* along = guess;
  for (int pass = 0; pass < passes; ++pass) {
    const double T = g.tgo;
    // Linear in time from here to the cut-off, until there is a steering to
    // predict the path with.
    Vec v_f = (T / 2) * (f0 + fd);
    Vec r_f = (T * T) * ((1.0 / 3) * f0 + (1.0 / 6) * fd);
    if (along != nullptr && T > 0) {
      // The centrifugal relief vx^2 / r grows with the square of the
      // horizontal speed, which the thrust builds up nearly linearly: a
      // straight line from f0 to fd overstates the relief in mid-burn, and
      // the guidance would fly low and climb late at a steep attitude. So the
      // accelerations are integrated along the path the steering predicts
      // (the thrust integrals of the linear-tangent law, the frame's own
      // accelerations on that path taken from the straight line), by
      // Simpson's rule.
      const double k0 = along->t0 + along->t_lambda - t;
      const Vec la{along->lx, along->ly}, lad{along->ldx, along->ldy};
      Vec vi{0, 0}, ri{0, 0};
      for (int i = 0; i <= guidance_nodes; ++i) {
        const double tau = T * i / guidance_nodes;
        const ThrustIntegrals I = thrust_integrals(thrust, tau);
        const Vec dv = I.L * la + (I.J - k0 * I.L) * lad;
        const Vec dr = I.S * la + (I.Q - k0 * I.S) * lad;
        const Vec fv = tau * f0 + (tau * tau / (2 * T)) * (fd - f0);
        const double ux = vx + dv.x + fv.x, uy = vy + dv.y + fv.y;
        const double ry = r + vy * tau + dr.y + (tau * tau / 2) * f0.y + (tau * tau * tau / (6 * T)) * (fd.y - f0.y);
        const Vec f{-ux * uy / ry, ux * ux / ry - mu / (ry * ry)};
        const double w = (i == 0 || i == guidance_nodes) ? 1.0 : (i % 2 == 1 ? 4.0 : 2.0);
        vi = vi + w * f;
        ri = ri + (w * (T - tau)) * f;
      }
      v_f = (T / (3.0 * guidance_nodes)) * vi;
      r_f = (T / (3.0 * guidance_nodes)) * ri;
    }
    const Vec v_go = Vd - Vec{vx, vy} - v_f;
    const double L = std::sqrt(dot(v_go, v_go));
    const Vec lambda = (1 / L) * v_go;
    // The thrust also turns (lambda_dot): the burn must supply what the
    // turn takes off the velocity along lambda, as the previous steering
    // predicts it: the solution of the previous cycle, not the passes of a
    // first solution from nothing, whose steering is still far from the
    // one flown. A few per cent on a flight that reaches its target; a
    // larger share means a steering far outside its linearisation (a stage
    // that cannot make the target), where the loss and the time to go
    // would feed each other without end: it is held at max_turning_loss.
    double loss = guess != nullptr && T > 0 ? turning_loss(thrust, *along, t, T) : 0.0;
    loss = std::fmin(loss, max_turning_loss * L);
    const double Tn = time_to_gain(thrust, std::fmin(L + loss, velocity_capacity(thrust)));
    const ThrustIntegrals I = thrust_integrals(thrust, Tn);
    const double t_lambda = I.J / I.L;
    // The altitude to be gained is steered; down-range is free: along
    // lambda the position gained is whatever the thrust gives (S).
    const double ry = target.r - r - vy * Tn - r_f.y;
    const Vec r_go{(I.S - lambda.y * ry) / lambda.x, ry};
    const Vec lambda_dot = (1 / (I.Q - I.S * t_lambda)) * (r_go - I.S * lambda);
    g.lx = lambda.x;
    g.ly = lambda.y;
    g.ldx = lambda_dot.x;
    g.ldy = lambda_dot.y;
    g.t_lambda = t_lambda;
    g.tgo = Tn;
    g.vgo = L;
    along = &g;
  }
  return g;
}

double guided_pitch(const GuidanceSolution& g, double t) {
  const double k = t - g.t0 - g.t_lambda;
  return std::atan2(g.ly + g.ldy * k, g.lx + g.ldx * k);
}

}  // namespace ascent
