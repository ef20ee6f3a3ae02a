#include "trajectory/guidance.hpp"

#include <cmath>
#include <limits>

#include "atmosphere/earth.hpp"

namespace ascent {

namespace {

// The time at which the constant-thrust arc reaches the acceleration limit
// (0: it is there already; infinite: never).
double time_to_limit(const ThrustModel& m) {
  if (!std::isfinite(m.a_limit)) return std::numeric_limits<double>::infinity();
  double t1 = m.tau - m.c / m.a_limit;
  return t1 > 0 ? t1 : 0;
}

struct Vec {
  double x, y;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y}; }
Vec operator*(double k, Vec a) { return {k * a.x, k * a.y}; }

// Simpson's rule over the time to go on this many intervals (even): the
// frame's accelerations along the predicted path are smooth, and this keeps
// their integrals to well under a metre per second on a core's burn.
constexpr int guidance_nodes = 16;
double dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y; }

}  // namespace

ThrustIntegrals thrust_integrals(const ThrustModel& m, double T) {
  // On the constant-thrust arc a = c / (tau - t):
  //   L = -c ln(1 - t/tau), J = tau L - c t, H = int a t^2 = tau J - c t^2 / 2;
  // on the limited arc a is constant. S = T L - J and Q = T J - H follow by
  // exchanging the order of the double integrals.
  const double t1 = time_to_limit(m);
  const double ta = T < t1 ? T : t1;
  double L = -m.c * std::log1p(-ta / m.tau);
  double J = m.tau * L - m.c * ta;
  double H = m.tau * J - m.c * ta * ta / 2;
  if (T > t1) {
    const double a = m.a_limit;
    L += a * (T - t1);
    J += a * (T * T - t1 * t1) / 2;
    H += a * (T * T * T - t1 * t1 * t1) / 3;
  }
  return {L, J, T * L - J, T * J - H};
}

double time_to_gain(const ThrustModel& m, double L) {
  const double t1 = time_to_limit(m);
  const double L1 = std::isfinite(t1) ? -m.c * std::log1p(-t1 / m.tau) : std::numeric_limits<double>::infinity();
  if (L <= L1) return -m.tau * std::expm1(-L / m.c);
  return t1 + (L - L1) / m.a_limit;
}

GuidanceSolution solve_guidance(double t, double r, double vx, double vy, const CutoffTarget& target,
                                const ThrustModel& thrust, const GuidanceSolution* guess, int passes) {
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
    const double Tn = time_to_gain(thrust, L);
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
