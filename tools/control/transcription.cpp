// Hermite-Simpson collocation of the planar ascent, phase by phase, handed
// to IPOPT. Each phase's mesh has N equal intervals whose ends and
// midpoints carry the state and the pitch (the separated form); in each
// interval the midpoint state is the cubic Hermite interpolant's,
//   x_m = (x_k + x_k+1) / 2 + h/8 (f_k - f_k+1),
// and the step Simpson's rule,
//   x_k+1 = x_k + h/6 (f_k + 4 f_m + f_k+1),
// a fourth-order method: halving h shrinks the defect of a smooth flight
// sixteenfold. Phases join by continuity of position and velocity, the mass
// less what is dropped at the event. All quantities are scaled by the
// Earth's radius, the circular speed at its surface and the lift-off mass.
#include <IpIpoptApplication.hpp>
#include <IpSolveStatistics.hpp>
#include <IpTNLP.hpp>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <stdexcept>

#include "control.hpp"
#include "trajectory/integrators/rk4.hpp"

namespace ascent::control {
namespace {

constexpr int kPoint = kStates + 1;  // variables at a point: the state and the pitch
constexpr double half_pi = 1.57079632679489661923;

struct Scales {
  double R, V, T, M;
  explicit Scales(const Problem& p)
      : R(p.earth.R), V(std::sqrt(p.earth.mu / p.earth.R)), T(p.earth.R / V), M(p.m0) {}
  double of(int i) const { return i == kR ? R : i == kTheta ? 1.0 : i == kM ? M : V; }
};

// Where each phase's variables lie in the programme's vector.
struct Layout {
  std::vector<int> offset;  // first variable of each phase
  int n = 0, m = 0;         // variables, constraints
  int rows_dynamics = 0, rows_links = 0, rows_q = 0, rows_qalpha = 0, rows_top = 0;
  int top = -1;  // the largest force on the core's top, where the problem sizes the spacecraft
  explicit Layout(const Problem& p) {
    for (const Phase& ph : p.phases) {
      offset.push_back(n);
      n += kPoint * (2 * ph.intervals + 1) + 1;
      rows_dynamics += 2 * kStates * ph.intervals;
    }
    rows_links = kStates * int(p.phases.size() - 1);
    for (const Phase& ph : p.phases) {
      if (ph.coast_after && p.transfer_rp > 0) ++rows_links;
      rows_links += (ph.cut_r > 0) + (ph.cut_rp > 0) + (ph.cut_ra > 0);
    }
    int points = 0;
    for (const Phase& ph : p.phases) points += 2 * ph.intervals + 1;
    rows_q = p.limits.q_max > 0 ? points : 0;
    rows_qalpha = p.limits.qalpha_max > 0 ? points : 0;
    if (p.sizing.active) {
      top = n++;
      for (const Phase& ph : p.phases)
        if (ph.top_mass > 0) rows_top += 2 * ph.intervals + 1;
    }
    m = rows_dynamics + rows_links + 3 + rows_q + rows_qalpha + rows_top;
  }
  int point(const Problem& p, int ph, int j) const {
    (void)p;
    return offset[ph] + kPoint * j;
  }
  int duration(const Problem& p, int ph) const { return offset[ph] + kPoint * (2 * p.phases[ph].intervals + 1); }
  int last(const Problem& p) const {
    const int ph = int(p.phases.size()) - 1;
    return point(p, ph, 2 * p.phases[ph].intervals);
  }
};

using D6 = Dual<kPoint>;
// A point's variables and the time into its phase (s), the last direction.
using D7 = Dual<kPoint + 1>;

// The scaled rates at one point and their Jacobian (row-major, kStates x
// kPoint); ftau: their slope along the phase's scaled duration, where the
// engines follow a schedule (the point's time into the phase, u of it, moves with it).
struct PointRates {
  std::array<double, kStates> f;
  std::array<double, kStates * kPoint> J;
  std::array<double, kStates> ftau{};
};
PointRates point_rates(const Problem& p, const Scales& s, const Propulsion& burn, const double* z, double tau,
                       double u) {
  States<D7> x;
  for (int i = 0; i < kStates; ++i) x[i] = D7::variable(z[i], i) * s.of(i);
  const D7 alpha = D7::variable(z[kStates], kStates);
  const D7 t = D7::variable(tau * s.T * u, kPoint);
  const States<D7> dx = rates(p.earth, burn, x, alpha, t);
  PointRates out;
  for (int i = 0; i < kStates; ++i) {
    const double k = s.T / s.of(i);
    out.f[i] = dx[i].v * k;
    for (int j = 0; j < kPoint; ++j) out.J[i * kPoint + j] = dx[i].d[j] * k;
    out.ftau[i] = dx[i].d[kPoint] * k * s.T * u;
  }
  return out;
}

// N, the axial force on the core's top: the drag on the area of the stack
// above it and that stack's mass under the thrust acceleration.
template <class T>
T top_force(const Environment& e, const Propulsion& f, const States<T>& x, const T& s, double mass, double area) {
  const AirAt<T> w = air_at(e, x[kR], x[kVx], x[kVy]);
  const T F = f.scheduled() ? thrust(f.Fvac + f.Fdot * s, w.p, f.Ae) : thrust(f.Fvac, w.p, f.Ae);
  const T CdQ = e.drag.empty() ? f.Cd * w.q : mach_drag(e.drag, w.vr / w.a) * w.q;
  return CdQ * area + F / x[kM] * mass;
}

// The three conditions on the final state for the target orbit, in units of
// the Earth's radius and circular speed (mu = 1): the semi-latus rectum
// h^2, and the eccentricity vector's two components, its perigee angle
// measured from the launch site's direction.
template <class T>
std::array<T, 3> orbit_conditions(const Target& t, double R, const T& r, const T& theta, const T& vx, const T& vy) {
  using std::cos, std::sin;
  const T h = r * vx;
  const T er = r * vx * vx - 1.0;
  const T et = -(r * vy * vx);
  const T ex = er * cos(theta) - et * sin(theta);
  const T ey = er * sin(theta) + et * cos(theta);
  return {h * h - t.a * (1 - t.e * t.e) / R, ex - t.e * std::cos(t.perigee), ey - t.e * std::sin(t.perigee)};
}

struct Triplet {
  int row, col;
  double v;
};

// The orbit a phase cuts off on, at its last point xe (variables from
// column c): the radius, and the perigee and apogee radii h^2 / (1 +- e)
// (scaled: mu = 1), each where the phase gives it.
template <class Put>
void cut_rows(const Problem& p, const Phase& P, const Scales& s, const double* xe, int c, double* g, int& row,
              const Put& put) {
  using D5 = Dual<kStates>;
  States<D5> x;
  for (int i = 0; i < kStates; ++i) x[i] = D5::variable(xe[i], i);
  const D5 h = x[kR] * x[kVx], ec = h * x[kVx] - 1.0, es = h * x[kVy];
  const D5 e = sqrt(ec * ec + es * es);
  const std::array<std::pair<double, D5>, 3> rows{
      {{P.cut_r, x[kR]}, {P.cut_rp, h * h / (1.0 + e)}, {P.cut_ra, h * h / (1.0 - e)}}};
  (void)p;
  for (const auto& [want, have] : rows) {
    if (!(want > 0)) continue;
    const D5 d = have - want / s.R;
    if (g) g[row] = d.v;
    for (int j = 0; j < kStates; ++j) put(row, c + j, d.d[j]);
    ++row;
  }
}

// The constraints and their Jacobian at z, in one fixed order (the order
// of the rows and of the entries is the sparsity pattern IPOPT is given).
void assemble(const Problem& p, const Layout& L, const double* z, double* g, std::vector<Triplet>* jac) {
  const Scales s(p);
  auto put = [&](int row, int col, double v) {
    if (jac) jac->push_back({row, col, v});
  };
  int row = 0;
  for (int ph = 0; ph < int(p.phases.size()); ++ph) {
    const Phase& P = p.phases[ph];
    const int N = P.intervals;
    const double tau = z[L.duration(p, ph)];
    const double h = tau / N;
    std::vector<PointRates> pr;
    for (int j = 0; j <= 2 * N; ++j) pr.push_back(point_rates(p, s, P.burn, z + L.point(p, ph, j), tau, j / (2.0 * N)));
    for (int k = 0; k < N; ++k) {
      const int c0 = L.point(p, ph, 2 * k), cm = c0 + kPoint, c1 = cm + kPoint, cd = L.duration(p, ph);
      const PointRates &f0 = pr[2 * k], &fm = pr[2 * k + 1], &f1 = pr[2 * k + 2];
      for (int i = 0; i < kStates; ++i) {
        // The midpoint: x_m - (x_0 + x_1)/2 - h/8 (f_0 - f_1).
        if (g) g[row] = z[cm + i] - (z[c0 + i] + z[c1 + i]) / 2 - h / 8 * (f0.f[i] - f1.f[i]);
        for (int j = 0; j < kPoint; ++j) {
          put(row, c0 + j, (j == i ? -0.5 : 0.0) - h / 8 * f0.J[i * kPoint + j]);
          put(row, cm + j, j == i ? 1.0 : 0.0);
          put(row, c1 + j, (j == i ? -0.5 : 0.0) + h / 8 * f1.J[i * kPoint + j]);
        }
        put(row, cd, P.burn.scheduled() ? -(f0.f[i] - f1.f[i]) / (8 * N) - h / 8 * (f0.ftau[i] - f1.ftau[i])
                                         : -(f0.f[i] - f1.f[i]) / (8 * N));
        ++row;
        // Simpson: x_1 - x_0 - h/6 (f_0 + 4 f_m + f_1).
        if (g) g[row] = z[c1 + i] - z[c0 + i] - h / 6 * (f0.f[i] + 4 * fm.f[i] + f1.f[i]);
        for (int j = 0; j < kPoint; ++j) {
          put(row, c0 + j, (j == i ? -1.0 : 0.0) - h / 6 * f0.J[i * kPoint + j]);
          put(row, cm + j, -4 * h / 6 * fm.J[i * kPoint + j]);
          put(row, c1 + j, (j == i ? 1.0 : 0.0) - h / 6 * f1.J[i * kPoint + j]);
        }
        put(row, cd, P.burn.scheduled()
                         ? -(f0.f[i] + 4 * fm.f[i] + f1.f[i]) / (6 * N) - h / 6 * (f0.ftau[i] + 4 * fm.ftau[i] + f1.ftau[i])
                         : -(f0.f[i] + 4 * fm.f[i] + f1.f[i]) / (6 * N));
        ++row;
      }
    }
  }
  // The events: position and velocity carry on, the mass drops; after a
  // coast the next phase starts at the apogee of the orbit the phase ended on.
  for (int ph = 0; ph + 1 < int(p.phases.size()); ++ph) {
    const int end = L.point(p, ph, 2 * p.phases[ph].intervals), next = L.point(p, ph + 1, 0);
    cut_rows(p, p.phases[ph], s, z + end, end, g, row, put);
    if (p.phases[ph].coast_after) {
      using D5 = Dual<kStates>;
      States<D5> x;
      for (int i = 0; i < kStates; ++i) x[i] = D5::variable(z[end + i], i);
      const States<D5> a = apogee_of(1.0, x);  // scaled: mu = 1
      for (int i = 0; i < kStates; ++i) {
        const double drop = i == kM ? p.phases[ph].dropped / s.M : 0.0;
        if (i == kM && p.phases[ph].mass_after > 0) {
          if (g) g[row] = z[next + i] - p.phases[ph].mass_after / s.M;
          put(row, next + i, 1.0);
          ++row;
          continue;
        }
        if (g) g[row] = z[next + i] - a[i].v + drop;
        put(row, next + i, 1.0);
        for (int j = 0; j < kStates; ++j) put(row, end + j, -a[i].d[j]);
        ++row;
      }
      if (p.transfer_rp > 0) {
        // The transfer orbit's perigee, h^2 / (1 + e) (scaled), where the mission puts it.
        const D5 h = x[kR] * x[kVx], ec = h * x[kVx] - 1.0, es = h * x[kVy];
        const D5 rp = h * h / (1.0 + sqrt(ec * ec + es * es)) - p.transfer_rp / s.R;
        if (g) g[row] = rp.v;
        for (int j = 0; j < kStates; ++j) put(row, end + j, rp.d[j]);
        ++row;
      }
      continue;
    }
    for (int i = 0; i < kStates; ++i) {
      const double drop = i == kM ? p.phases[ph].dropped / s.M : 0.0;
      const bool reset = i == kM && p.phases[ph].mass_after > 0;
      if (g) g[row] = reset ? z[next + i] - p.phases[ph].mass_after / s.M : z[next + i] - z[end + i] + drop;
      put(row, next + i, 1.0);
      if (!reset) put(row, end + i, -1.0);
      ++row;
    }
  }
  {
    const Phase& P = p.phases.back();
    const int end = L.point(p, int(p.phases.size()) - 1, 2 * P.intervals);
    cut_rows(p, P, s, z + end, end, g, row, put);
  }
  // The target orbit.
  {
    using D4 = Dual<4>;
    const int c = L.last(p);
    const auto o = orbit_conditions(p.target, s.R, D4::variable(z[c + kR], 0), D4::variable(z[c + kTheta], 1),
                                    D4::variable(z[c + kVx], 2), D4::variable(z[c + kVy], 3));
    for (const D4& oi : o) {
      if (g) g[row] = oi.v;
      for (int j = 0; j < 4; ++j) put(row, c + j, oi.d[j]);
      ++row;
    }
  }
  // The dynamic-pressure limit and the limit of its product with the angle
  // of attack (as q sin alpha, smooth at rest), at every point, as
  // fractions of the limits.
  for (int kind = 0; kind < 2; ++kind) {
    const double limit = kind == 0 ? p.limits.q_max : p.limits.qalpha_max;
    if (!(limit > 0)) continue;
    for (int ph = 0; ph < int(p.phases.size()); ++ph) {
      for (int j = 0; j <= 2 * p.phases[ph].intervals; ++j) {
        const int c = L.point(p, ph, j);
        States<D6> x;
        for (int i = 0; i < kStates; ++i) x[i] = D6::variable(z[c + i], i) * s.of(i);
        const D6 alpha = D6::variable(z[c + kStates], kStates);
        const D6 v = kind == 0 ? air_at(p.earth, x[kR], x[kVx], x[kVy]).q / limit
                               : q_sin_alpha(p.earth, x[kR], x[kVx], x[kVy], alpha) / limit;
        if (g) g[row] = v.v;
        for (int i = 0; i < (kind == 0 ? kStates : kPoint); ++i) put(row, c + i, v.d[i]);
        ++row;
      }
    }
  }
  // The largest force on the core's top bounds the force at every point
  // that loads it: F(point) / Fscale - F_top <= 0.
  if (L.top >= 0) {
    const double Fs = p.sizing.Fscale;
    for (int ph = 0; ph < int(p.phases.size()); ++ph) {
      const Phase& P = p.phases[ph];
      if (!(P.top_mass > 0)) continue;
      const int N = P.intervals;
      const double tau = z[L.duration(p, ph)];
      for (int j = 0; j <= 2 * N; ++j) {
        const int c = L.point(p, ph, j);
        const double u = j / (2.0 * N);
        States<D7> x;
        for (int i = 0; i < kStates; ++i) x[i] = D7::variable(z[c + i], i) * s.of(i);
        const D7 F = top_force(p.earth, P.burn, x, D7::variable(tau * s.T * u, kPoint), P.top_mass, P.top_area) / Fs;
        if (g) g[row] = F.v - z[L.top];
        for (int i = 0; i < kStates; ++i) put(row, c + i, F.d[i]);
        if (P.burn.scheduled()) put(row, L.duration(p, ph), F.d[kPoint] * s.T * u);
        put(row, L.top, -1.0);
        ++row;
      }
    }
  }
}

// s, how long the phase burns from x at time t under the steering pitch
// until the apogee of its orbit reaches the target's (at most what its
// propellant allows), by RK4 in 0.1 s steps.
template <class Pitch>
double burn_to_apogee(const Problem& p, const Phase& P, States<double> x, double t, const Pitch& pitch) {
  const double ra = p.target.a * (1 + p.target.e), dt = 0.1;
  const double t_max = std::min(P.duration_max, 0.999 * (x[kM] - P.m_min) / P.burn.mdot);
  auto f = [&](const States<double>& y, double tt) { return rates(p.earth, P.burn, y, pitch(tt)); };
  auto add = [](States<double> a, const States<double>& b, double w) {
    for (int i = 0; i < kStates; ++i) a[i] += b[i] * w;
    return a;
  };
  for (double burnt = 0; burnt < t_max; burnt += dt, t += dt) {
    const Orbit o = orbit_of(p.earth, x);
    if (o.a > 0 && o.a * (1 + o.e) >= ra) return burnt;
    const auto k1 = f(x, t), k2 = f(add(x, k1, dt / 2), t + dt / 2), k3 = f(add(x, k2, dt / 2), t + dt / 2),
               k4 = f(add(x, k3, dt), t + dt);
    for (int i = 0; i < kStates; ++i) x[i] += dt * (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) / 6;
  }
  return t_max;
}

// The largest force on the core's top over the flight z (scaled).
double guess_top_force(const Problem& p, const Layout& L, const std::vector<double>& z) {
  const Scales s(p);
  double F = 0;
  for (int ph = 0; ph < int(p.phases.size()); ++ph) {
    const Phase& P = p.phases[ph];
    if (!(P.top_mass > 0)) continue;
    for (int j = 0; j <= 2 * P.intervals; ++j) {
      States<double> x;
      for (int i = 0; i < kStates; ++i) x[i] = z[L.point(p, ph, j) + i] * s.of(i);
      const double t = z[L.duration(p, ph)] * s.T * j / (2.0 * P.intervals);
      F = std::max(F, top_force(p.earth, P.burn, x, t, P.top_mass, P.top_area) / p.sizing.Fscale);
    }
  }
  return F;
}

// The flight to start from: the guess steering where the problem has one
// (the vehicle's guided flight, read linearly between its points), else
// vertical for a few seconds, then a pitch falling linearly to level at
// the end of the air phases, the rest flown level; integrated through the
// phases with RK4.
std::vector<double> first_guess(const Problem& p, const Layout& L) {
  const Scales s(p);
  std::vector<double> z(L.n, 0.0);
  States<double> x{p.earth.R, 0.0, p.earth.vrot, 0.0, p.m0};
  double t = p.t0, t_air = 0;
  for (std::size_t ph = 0; ph + 1 < p.phases.size(); ++ph) t_air += p.phases[ph].duration_max;
  const double t_rise = std::max(p.t_vertical, 8.0);
  const std::vector<GuessPoint>& g = p.guess;
  auto pitch = [&](double tt) {
    if (!g.empty()) {
      if (tt <= g.front().t) return g.front().pitch;
      if (tt >= g.back().t) return g.back().pitch;
      const auto k = std::upper_bound(g.begin(), g.end(), tt, [](double a, const GuessPoint& b) { return a < b.t; });
      const GuessPoint &a = k[-1], &b = k[0];
      return a.pitch + (b.pitch - a.pitch) * (tt - a.t) / (b.t - a.t);
    }
    if (tt < t_rise) return half_pi;
    return std::max(0.0, half_pi * (1 - (tt - t_rise) / (t_air - t_rise)));
  };
  for (int ph = 0; ph < int(p.phases.size()); ++ph) {
    const Phase& P = p.phases[ph];
    double dur = P.duration_min;
    if (P.duration_max > P.duration_min) {
      // The guess's own cut-off, or most of the propellant left; a burn
      // that coasts after it to the apogee, until that apogee is the
      // target's; the burn at apogee, the rocket equation's for the speed
      // the target orbit has there.
      double want = g.empty() ? 0.95 * (x[kM] - P.m_min) / P.burn.mdot : g.back().t - t;
      if (P.coast_after) want = burn_to_apogee(p, P, x, t, pitch);
      if (p.sizing.active && ph == p.sizing.cut_phase) want = p.sizing.t_cut - t;
      if (ph > 0 && p.phases[ph - 1].coast_after) {
        const double r = x[kR], v = std::sqrt(p.earth.mu * (2 / r - 1 / p.target.a));
        const double ve = P.burn.Fvac / P.burn.mdot;
        want = x[kM] * (1 - std::exp(-std::max(0.0, v - x[kVx]) / ve)) / P.burn.mdot;
      }
      dur = std::clamp(want, P.duration_min, std::min(P.duration_max, 0.999 * (x[kM] - P.m_min) / P.burn.mdot));
    }
    z[L.duration(p, ph)] = dur / s.T;
    const int N = P.intervals;
    const double dt = dur / (2 * N), t_start = t;
    for (int j = 0; j <= 2 * N; ++j) {
      double* zp = &z[L.point(p, ph, j)];
      for (int i = 0; i < kStates; ++i) zp[i] = x[i] / s.of(i);
      zp[kStates] = pitch(t);
      if (j == 2 * N) break;
      const int sub = 10;
      for (int q = 0; q < sub; ++q) {
        const double h = dt / sub;
        auto f = [&](const States<double>& y, double tt) { return rates(p.earth, P.burn, y, pitch(tt), tt - t_start); };
        auto add = [](States<double> a, const States<double>& b, double w) {
          for (int i = 0; i < kStates; ++i) a[i] += b[i] * w;
          return a;
        };
        const auto k1 = f(x, t), k2 = f(add(x, k1, h / 2), t + h / 2), k3 = f(add(x, k2, h / 2), t + h / 2),
                   k4 = f(add(x, k3, h), t + h);
        for (int i = 0; i < kStates; ++i) x[i] += h * (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) / 6;
        x[kR] = std::max(x[kR], p.earth.R);
        t += h;
      }
    }
    x[kM] -= P.dropped;
    if (P.coast_after) {
      t += coast_time(p.earth.mu, x);
      x = apogee_of(p.earth.mu, x);
    }
    if (P.mass_after > 0) x[kM] = P.mass_after;
  }
  if (L.top >= 0) z[L.top] = guess_top_force(p, L, z);
  return z;
}

class Nlp : public Ipopt::TNLP {
 public:
  Nlp(const Problem& p, Solution& out) : p_(p), L_(p), out_(out) {}
  bool get_nlp_info(Ipopt::Index& n, Ipopt::Index& m, Ipopt::Index& nnz_jac, Ipopt::Index& nnz_h,
                    IndexStyleEnum& style) override {
    n = L_.n;
    m = L_.m;
    std::vector<double> z = first_guess(p_, L_);
    std::vector<Triplet> t;
    assemble(p_, L_, z.data(), nullptr, &t);
    nnz_jac = Ipopt::Index(t.size());
    nnz_h = 0;
    style = C_STYLE;
    return true;
  }
  bool get_bounds_info(Ipopt::Index n, double* xl, double* xu, Ipopt::Index m, double* gl, double* gu) override {
    const Scales s(p_);
    for (int i = 0; i < n; ++i) xl[i] = -1e19, xu[i] = 1e19;
    double t0 = 0;
    for (int ph = 0; ph < int(p_.phases.size()); ++ph) {
      const Phase& P = p_.phases[ph];
      for (int j = 0; j <= 2 * P.intervals; ++j) {
        const int c = L_.point(p_, ph, j);
        xl[c + kR] = 1.0, xu[c + kR] = 10.0;
        xl[c + kM] = P.m_min / s.M, xu[c + kM] = (P.m_max > 0 ? P.m_max : p_.m0) / s.M;
        xl[c + kStates] = -half_pi, xu[c + kStates] = half_pi;
        // The vertical rise: the pitch held straight up to its end (the
        // phase's times are fixed while it lasts). A phase starting there
        // is free from its first point: the optimum pitches over at once.
        const double t = t0 + P.duration_min * j / (2.0 * P.intervals);
        const bool rising = t < p_.t_vertical * (1 - 1e-12) ||
                            (j == 2 * P.intervals && t <= p_.t_vertical * (1 + 1e-12));
        if (rising) xl[c + kStates] = xu[c + kStates] = half_pi;
      }
      const int d = L_.duration(p_, ph);
      xl[d] = P.duration_min / s.T, xu[d] = P.duration_max / s.T;
      t0 += P.duration_min;
    }
    // Lift-off: at rest on the turning Earth.
    const int c = L_.point(p_, 0, 0);
    const double x0[kStates] = {1.0, 0.0, p_.earth.vrot / s.V, 0.0, 1.0};
    for (int i = 0; i < kStates; ++i) xl[c + i] = xu[c + i] = x0[i];
    for (int i = 0; i < m; ++i) gl[i] = gu[i] = 0;
    const int q_end = m - L_.rows_top;
    for (int i = q_end - L_.rows_q - L_.rows_qalpha; i < q_end - L_.rows_qalpha; ++i) gl[i] = -1e19, gu[i] = 1;
    for (int i = q_end - L_.rows_qalpha; i < q_end; ++i) gl[i] = -1, gu[i] = 1;
    for (int i = q_end; i < m; ++i) gl[i] = -1e19, gu[i] = 0;
    if (L_.top >= 0) xl[L_.top] = 0, xu[L_.top] = 1e19;
    return true;
  }
  bool get_starting_point(Ipopt::Index n, bool init_x, double* x, bool, double*, double*, Ipopt::Index, bool,
                          double*) override {
    if (init_x) {
      const std::vector<double> z = first_guess(p_, L_);
      std::copy(z.begin(), z.begin() + n, x);
    }
    return true;
  }
  bool eval_f(Ipopt::Index, const double* x, bool, double& f) override {
    f = p_.sizing.active ? -sized(x).v : -x[L_.last(p_) + kM];
    return true;
  }
  bool eval_grad_f(Ipopt::Index n, const double* x, bool, double* grad) override {
    std::fill(grad, grad + n, 0.0);
    if (!p_.sizing.active) {
      grad[L_.last(p_) + kM] = -1;
      return true;
    }
    const Dual<3> m = sized(x);
    grad[cut_mass()] -= m.d[0];
    grad[L_.last(p_) + kM] -= m.d[1];
    grad[L_.top] -= m.d[2];
    return true;
  }
  // The spacecraft's mass over the lift-off mass, along the cut-off mass,
  // the final mass and the largest force (all scaled).
  Dual<3> sized(const double* x) const {
    const Scales s(p_);
    using D3 = Dual<3>;
    const D3 m = spacecraft_mass(p_.sizing, D3::variable(x[cut_mass()], 0) * s.M,
                                 D3::variable(x[L_.last(p_) + kM], 1) * s.M,
                                 D3::variable(x[L_.top], 2) * p_.sizing.Fscale);
    return m / s.M;
  }
  int cut_mass() const {
    const int ph = p_.sizing.cut_phase;
    return L_.point(p_, ph, 2 * p_.phases[ph].intervals) + kM;
  }
  bool eval_g(Ipopt::Index, const double* x, bool, Ipopt::Index, double* g) override {
    assemble(p_, L_, x, g, nullptr);
    return true;
  }
  bool eval_jac_g(Ipopt::Index, const double* x, bool, Ipopt::Index, Ipopt::Index, Ipopt::Index* iRow,
                  Ipopt::Index* jCol, double* values) override {
    std::vector<Triplet> t;
    if (values) {
      assemble(p_, L_, x, nullptr, &t);
      for (std::size_t k = 0; k < t.size(); ++k) values[k] = t[k].v;
    } else {
      std::vector<double> z = first_guess(p_, L_);
      assemble(p_, L_, z.data(), nullptr, &t);
      for (std::size_t k = 0; k < t.size(); ++k) iRow[k] = t[k].row, jCol[k] = t[k].col;
    }
    return true;
  }
  void finalize_solution(Ipopt::SolverReturn status, Ipopt::Index n, const double* x, const double*, const double*,
                         Ipopt::Index m, const double* g, const double*, double, const Ipopt::IpoptData*,
                         Ipopt::IpoptCalculatedQuantities*) override {
    out_.converged = status == Ipopt::SUCCESS || status == Ipopt::STOP_AT_ACCEPTABLE_POINT;
    z_.assign(x, x + n);
    if (p_.sizing.active) {
      out_.objective = sized(x).v * Scales(p_).M;
      out_.top_force = x[L_.top] * p_.sizing.Fscale;
    }
    out_.defect_max = 0;
    for (int i = 0; i < L_.rows_dynamics && i < m; ++i) out_.defect_max = std::max(out_.defect_max, std::abs(g[i]));
  }
  const std::vector<double>& z() const { return z_; }

 private:
  const Problem& p_;
  Layout L_;
  Solution& out_;
  std::vector<double> z_;
};

// The points of the solution vector in SI, in time order (a phase's last
// point and the next one's first share a time: both are kept).
std::vector<Point> points_of(const Problem& p, const Layout& L, const std::vector<double>& z) {
  const Scales s(p);
  std::vector<Point> out;
  double t0 = p.t0;
  for (int ph = 0; ph < int(p.phases.size()); ++ph) {
    const int N = p.phases[ph].intervals;
    const double dur = z[L.duration(p, ph)] * s.T;
    for (int j = 0; j <= 2 * N; ++j) {
      const double* zp = &z[L.point(p, ph, j)];
      Point pt{t0 + dur * j / (2 * N), zp[kStates], {}, ph};
      for (int i = 0; i < kStates; ++i) pt.x[i] = zp[i] * s.of(i);
      out.push_back(pt);
    }
    t0 += dur;
    if (p.phases[ph].coast_after) t0 += coast_time(p.earth.mu, out.back().x);
  }
  return out;
}

}  // namespace

Orbit orbit_of(const Environment& e, const States<double>& x) {
  const double r = x[kR], vx = x[kVx], vy = x[kVy];
  const double v2 = vx * vx + vy * vy;
  const double a = 1 / (2 / r - v2 / e.mu);
  const double er = (r * vx * vx - e.mu) / e.mu, et = -(r * vy * vx) / e.mu;
  const double ex = er * std::cos(x[kTheta]) - et * std::sin(x[kTheta]);
  const double ey = er * std::sin(x[kTheta]) + et * std::cos(x[kTheta]);
  return {a, std::hypot(ex, ey), std::atan2(ey, ex), x[kM]};
}

Solution solve(const Problem& p, const Options& o) {
  Solution out;

  Ipopt::SmartPtr<Nlp> nlp = new Nlp(p, out);
  Ipopt::SmartPtr<Ipopt::IpoptApplication> app = IpoptApplicationFactory();
  app->Options()->SetIntegerValue("print_level", o.print_level);
  app->Options()->SetStringValue("sb", "yes");
  app->Options()->SetStringValue("hessian_approximation", "limited-memory");
  app->Options()->SetNumericValue("tol", o.tol);
  app->Options()->SetIntegerValue("max_iter", o.max_iter);
  app->Options()->SetStringValue("mu_strategy", "adaptive");
  // The solver's own choice of the sparse factorisation's ordering takes a
  // randomised one for the larger problems (a classic flight's hundreds of
  // phases), and the optimum's last digits then differ from run to run:
  // those take the approximate minimum degree, which is repeatable (and, of the
  // fixed orderings tried, the one that led IPOPT to the optimum of both vehicles).
  if (p.sizing.active) app->Options()->SetIntegerValue("mumps_pivot_order", 0);
  if (app->Initialize() != Ipopt::Solve_Succeeded) throw std::runtime_error("IPOPT would not start");
  const std::clock_t c0 = std::clock();
  const Ipopt::ApplicationReturnStatus st = app->OptimizeTNLP(nlp);
  out.cpu_seconds = double(std::clock() - c0) / CLOCKS_PER_SEC;
  out.status = st == Ipopt::Solve_Succeeded            ? "optimal"
               : st == Ipopt::Solved_To_Acceptable_Level ? "acceptable"
               : st == Ipopt::Maximum_Iterations_Exceeded ? "iteration limit"
               : st == Ipopt::Infeasible_Problem_Detected ? "infeasible"
                                                          : "failed (IPOPT status " + std::to_string(int(st)) + ")";
  out.iterations = IsValid(app->Statistics()) ? app->Statistics()->IterationCount() : 0;
  if (nlp->z().empty()) return out;
  const Layout L(p);
  out.points = points_of(p, L, nlp->z());
  out.final = orbit_of(p.earth, out.points.back().x);
  if (!p.sizing.active) out.objective = out.final.m;
  if (p.sizing.active) {
    std::size_t k = 0;
    for (int i = 0; i <= p.sizing.cut_phase; ++i) k += 2 * p.phases[i].intervals + 1;
    out.cut_mass = out.points[k - 1].x[kM];
    out.cut_time = out.points[k - 1].t;
  }
  return out;
}

std::string gap_words(const std::string& what, double mass, double optimum) {
  const double gap = optimum - mass;
  char text[160];
  std::snprintf(text, sizeof text, "the %s carries %.1f kg %s than the optimum (%.2f %%)", what.c_str(),
                std::abs(gap), gap >= 0 ? "less" : "more", 100 * std::abs(gap) / optimum);
  return text;
}

Linearised linearise(const Problem& p, std::vector<double> z) {
  const Layout L(p);
  Linearised out;
  out.z = z.empty() ? first_guess(p, L) : std::move(z);
  out.n = L.n, out.m = L.m;
  out.g.assign(L.m, 0.0);
  out.jac.assign(std::size_t(L.m) * L.n, 0.0);
  std::vector<Triplet> t;
  assemble(p, L, out.z.data(), out.g.data(), &t);
  for (const Triplet& e : t) out.jac[std::size_t(e.row) * L.n + e.col] += e.v;
  return out;
}

std::vector<double> constraints_at(const Problem& p, const std::vector<double>& z) {
  const Layout L(p);
  std::vector<double> g(L.m);
  assemble(p, L, z.data(), g.data(), nullptr);
  return g;
}

Replay replay(const Problem& p, const Solution& sol, double dt) {
  State s;
  s.vx = p.earth.vrot;
  s.m0 = p.m0;
  std::size_t first = 0;  // the phase's first point in sol.points
  double F_top = 0, m_cut = 0;
  for (int ph = 0; ph < int(p.phases.size()); ++ph) {
    const Phase& P = p.phases[ph];
    const int N = P.intervals;
    const Point* q = &sol.points[first];
    const double t0 = q[0].t, dur = q[2 * N].t - t0, h = dur / N;
    // The pitch: the quadratic through an interval's ends and midpoint.
    auto pitch = [&](double t) {
      const int k = std::clamp(int((t - t0) / h), 0, N - 1);
      const double u = (t - q[2 * k].t) / h;  // 0..1 across the interval
      const double a0 = q[2 * k].alpha, am = q[2 * k + 1].alpha, a1 = q[2 * k + 2].alpha;
      return a0 * (2 * u - 1) * (u - 1) + am * 4 * u * (1 - u) + a1 * u * (2 * u - 1);
    };
    // The integrator knows its state vector, not the time of the stage it
    // asks the rates for: a classic step asks at t, t + dt/2 (twice) and t + dt.
    const int steps = std::max(1, int(std::ceil(dur / dt)));
    const double step = dur / steps;
    int stage = 0;
    double t_step = t0;
    auto f = [&](const StateVector& y) {
      static constexpr double at[4] = {0, 0.5, 0.5, 1};
      const double t = t_step + at[stage] * step;
      stage = (stage + 1) % 4;
      const States<double> x{p.earth.R + y[1], y[3] / p.earth.R, y[0], y[2], y[5]};
      const States<double> d = rates(p.earth, P.burn, x, pitch(t), t - t0);
      // The ground-range slot carries the inertial downrange arc R theta.
      return StateVector{d[kVx], d[kR], d[kVy], d[kTheta] * p.earth.R, 0, d[kM], 0, 0, 0};
    };
    s.t = t0;
    for (int i = 0; i < steps; ++i) {
      t_step = t0 + i * step;
      rk4_step(s, step, f);
      if (P.top_mass > 0) {
        const States<double> x{p.earth.R + s.h0, s.r0 / p.earth.R, s.vx, s.vy, s.m0};
        F_top = std::max(F_top, top_force(p.earth, P.burn, x, (i + 1) * step, P.top_mass, P.top_area));
      }
    }
    if (p.sizing.active && ph == p.sizing.cut_phase) m_cut = s.m0;
    if (ph + 1 < int(p.phases.size())) s.m0 -= P.dropped;
    if (P.coast_after) {
      // The coast integrated, not taken in closed form: engines off, for the
      // time Kepler's equation gives from the replay's own cut-off.
      const States<double> x{p.earth.R + s.h0, s.r0 / p.earth.R, s.vx, s.vy, s.m0};
      const double span = coast_time(p.earth.mu, x);
      const Propulsion off{0, 0, 0, P.burn.Sref, P.burn.Cd};
      const int n = std::max(1, int(std::ceil(span / dt)));
      auto coast = [&](const StateVector& y) {
        const States<double> c{p.earth.R + y[1], y[3] / p.earth.R, y[0], y[2], y[5]};
        const States<double> d = rates(p.earth, off, c, 0.0);
        return StateVector{d[kVx], d[kR], d[kVy], d[kTheta] * p.earth.R, 0, d[kM], 0, 0, 0};
      };
      for (int i = 0; i < n; ++i) rk4_step(s, span / n, coast);
    }
    if (P.mass_after > 0) s.m0 = P.mass_after;
    first += 2 * N + 1;
  }
  Replay out;
  out.x = {p.earth.R + s.h0, s.r0 / p.earth.R, s.vx, s.vy, s.m0};
  out.final = orbit_of(p.earth, out.x);
  if (p.sizing.active) out.objective = spacecraft_mass(p.sizing, m_cut, s.m0, F_top);
  return out;
}

}  // namespace ascent::control
