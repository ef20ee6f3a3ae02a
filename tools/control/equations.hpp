// The planar ascent's equations on any scalar: the forces of the flight
// (gravity, thrust less the back-pressure on the nozzle exit area, drag on
// the speed through the air turning with the Earth) and their sum as the
// rates of radius, downrange angle, the two velocity components and mass.
// The same formulas as trajectory/forces, in the same order of operations,
// written over a scalar type so that one instantiation on Dual gives the
// transcription its exact first derivatives and one on double flies the
// replay. On doubles they are the core's functions bit for bit (a test holds
// them so); the Earth's constants come from the problem, not from the core's
// own Earth, for a published case brings its own.
#pragma once
#include <array>
#include <cmath>
#include <vector>

#include "atmosphere/atmosphere.hpp"

namespace ascent::control {

// A value with its first derivatives along N directions (forward mode).
template <int N>
struct Dual {
  double v = 0;
  std::array<double, N> d{};
  Dual() = default;
  Dual(double x) : v(x) {}  // a constant: no derivatives
  static Dual variable(double x, int i) {
    Dual a(x);
    a.d[i] = 1;
    return a;
  }
};
template <int N>
Dual<N> operator+(Dual<N> a, const Dual<N>& b) {
  a.v += b.v;
  for (int i = 0; i < N; ++i) a.d[i] += b.d[i];
  return a;
}
template <int N>
Dual<N> operator-(Dual<N> a, const Dual<N>& b) {
  a.v -= b.v;
  for (int i = 0; i < N; ++i) a.d[i] -= b.d[i];
  return a;
}
template <int N>
Dual<N> operator-(Dual<N> a) {
  a.v = -a.v;
  for (int i = 0; i < N; ++i) a.d[i] = -a.d[i];
  return a;
}
template <int N>
Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
  Dual<N> c(a.v * b.v);
  for (int i = 0; i < N; ++i) c.d[i] = a.d[i] * b.v + a.v * b.d[i];
  return c;
}
template <int N>
Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
  Dual<N> c(a.v / b.v);
  for (int i = 0; i < N; ++i) c.d[i] = (a.d[i] - c.v * b.d[i]) / b.v;
  return c;
}
template <int N> Dual<N> operator+(Dual<N> a, double b) { return a + Dual<N>(b); }
template <int N> Dual<N> operator-(Dual<N> a, double b) { return a - Dual<N>(b); }
template <int N> Dual<N> operator*(Dual<N> a, double b) { return a * Dual<N>(b); }
template <int N> Dual<N> operator/(Dual<N> a, double b) { return a / Dual<N>(b); }
template <int N> Dual<N> operator+(double a, const Dual<N>& b) { return Dual<N>(a) + b; }
template <int N> Dual<N> operator-(double a, const Dual<N>& b) { return Dual<N>(a) - b; }
template <int N> Dual<N> operator*(double a, const Dual<N>& b) { return Dual<N>(a) * b; }
template <int N> Dual<N> operator/(double a, const Dual<N>& b) { return Dual<N>(a) / b; }
template <int N>
Dual<N> chain(const Dual<N>& a, double value, double slope) {
  Dual<N> c(value);
  for (int i = 0; i < N; ++i) c.d[i] = slope * a.d[i];
  return c;
}
template <int N> Dual<N> exp(const Dual<N>& a) { const double e = std::exp(a.v); return chain(a, e, e); }
template <int N> Dual<N> log(const Dual<N>& a) { return chain(a, std::log(a.v), 1 / a.v); }
template <int N> Dual<N> sin(const Dual<N>& a) { return chain(a, std::sin(a.v), std::cos(a.v)); }
template <int N> Dual<N> cos(const Dual<N>& a) { return chain(a, std::cos(a.v), -std::sin(a.v)); }
template <int N>
Dual<N> atan2(const Dual<N>& y, const Dual<N>& x) {
  const double r2 = x.v * x.v + y.v * y.v;
  Dual<N> c(std::atan2(y.v, x.v));
  for (int i = 0; i < N; ++i) c.d[i] = (x.v * y.d[i] - y.v * x.d[i]) / r2;
  return c;
}
// The square root's slope is taken as zero at zero: the speed through the
// air is zero at lift-off, where the drag it multiplies is zero to second
// order and so has no slope either.
template <int N>
Dual<N> sqrt(const Dual<N>& a) {
  const double s = std::sqrt(a.v);
  return chain(a, s, s > 0 ? 0.5 / s : 0.0);
}
inline double value(double x) { return x; }
template <int N> double value(const Dual<N>& x) { return x.v; }
// A value computed on doubles given the slope it has along its argument a:
// a double drops the slope, a dual number carries it on.
inline double along(double, double value, double) { return value; }
template <int N> Dual<N> along(const Dual<N>& a, double value, double slope) { return chain(a, value, slope); }

// The drag coefficient against Mach number as the description tables it:
// straight lines between points, two points at one Mach number a jump,
// constant outside. The table is written as a sum of ramps (a change of
// slope at a point) and steps (a jump), each rounded over +-width in Mach
// so that the rates have a continuous slope, which the solver's Newton
// steps need: a ramp becomes the integral of a smoothstep, which leaves the
// table exact beyond +-width of a point and off by at most a quarter of the
// slope change times the width at a corner; a jump becomes the smoothstep
// itself, the whole jump spread over +-width.
struct MachDrag {
  std::vector<double> mach, cd;
  double width = 0.02;  // Mach number, half-width of the rounding
  bool empty() const { return mach.empty(); }
};
template <class T>
T mach_drag(const MachDrag& t, const T& M) {
  auto step = [&](double at) -> T {
    const double u = (value(M) - at + t.width) / (2 * t.width);
    if (u <= 0) return T(0.0);
    if (u >= 1) return T(1.0);
    return along(M, u * u * (3 - 2 * u), 6 * u * (1 - u) / (2 * t.width));
  };
  auto ramp = [&](double at) -> T {
    const double u = (value(M) - at + t.width) / (2 * t.width);
    if (u <= 0) return T(0.0);
    if (u >= 1) return M - at;
    return along(M, 2 * t.width * u * u * u * (1 - u / 2), u * u * (3 - 2 * u));
  };
  T cd = t.cd.front();
  for (std::size_t i = 0; i + 1 < t.mach.size(); ++i) {
    const double dM = t.mach[i + 1] - t.mach[i], dc = t.cd[i + 1] - t.cd[i];
    if (dM == 0)
      cd = cd + dc * step(t.mach[i]);
    else
      cd = cd + dc / dM * (ramp(t.mach[i]) - ramp(t.mach[i + 1]));
  }
  return cd;
}

// The Earth and its air, as the problem gives them (SI).
struct Environment {
  double mu = 0;     // m^3/s^2, gravitational parameter
  double R = 0;      // m, radius of the sphere; altitudes are above it
  double vrot = 0;   // m/s, eastward speed of the surface under the launch site
  double rho0 = 0;   // kg/m^3, air density at the surface
  double H = 0;      // m, scale height of density and pressure
  double p0 = 0;     // Pa, air pressure at the surface (back-pressure on the nozzles)
  // The 1976 standard atmosphere in place of the exponential one above
  // (the core's look-up for the values, its layers' formulas for the slopes).
  bool standard_air = false;
  MachDrag drag;     // empty: each phase's one coefficient
};

// What drives one phase of powered flight: the engines burning in it.
// A phase whose engines follow a schedule (boosters on their profile, a
// core throttled down or shutting its engines down) has its thrust and flow
// changing at a constant rate between two of the schedule's points.
struct Propulsion {
  double Fvac = 0;  // N, vacuum thrust (at the phase's start)
  double mdot = 0;  // kg/s, mass flow (positive)
  double Ae = 0;    // m^2, nozzle exit area
  double Sref = 0;  // m^2, reference area of the drag coefficient
  double Cd = 0;    // drag coefficient (constant)
  double Fdot = 0;   // N/s, the vacuum thrust's rate through the phase
  double mddot = 0;  // kg/s^2, the mass flow's
  bool scheduled() const { return Fdot != 0 || mddot != 0; }
};

// The core's forces (trajectory/forces) on the scalar T.
template <class T>
T gravity(double mu, const T& r) { return mu / (r * r); }
template <class T, class F0>
T thrust(const F0& Fvac, const T& p, double Ae) {
  const T F = Fvac - p * Ae;
  return value(F) < 0 ? T(0.0) : F;
}
template <class C, class T>
T drag(const C& Cd, double Sref, const T& q) { return Cd * Sref * q; }
// The drag's component along u (the horizontal or vertical speed through the
// air) of the air speed vr: against the air path.
template <class T>
T drag_along(const T& D, const T& u, const T& vr) { return -(D * u / vr); }

// The state: r (m), downrange angle theta (rad, inertial), vx (m/s, local
// horizontal, inertial), vy (m/s, vertical), m (kg).
enum { kR, kTheta, kVx, kVy, kM, kStates };
template <class T>
using States = std::array<T, kStates>;

// The 1976 standard atmosphere on the scalar T: the core's values at the
// altitude h, with the slopes of its formulas. Below 86 km each layer is
// hydrostatic with a linear temperature T in geopotential height H:
// dp/dH = -k p / T, rho = c p / T and a = sqrt(g T), so drho/dH = -rho (k +
// L) / T and da/dH = a L / (2 T). Above, ln p and ln rho are cubic splines
// in the standard's geometric altitude Z and a is constant; above the top
// of the table everything is.
template <class T>
struct StandardAir {
  T p, rho, a;
};
template <class T>
StandardAir<T> standard_air(const T& h) {
  double p, rho, a;
  atmosphere(value(h), p, rho, a);
  const double hv = value(h);
  const double H = (gs / g0) * Re * hv / (hv + Re);
  const double dH = (gs / g0) * Re * Re / ((hv + Re) * (hv + Re));
  const double Z = Rstd * H / (Rstd - H);
  double dp, drho, da;
  if (Z < Z_switch) {
    int i = 0;
    while (i < n_layers - 1 && Hb[i + 1] < H) ++i;
    const double temperature = atmosphere_tables().Tb[i] + Lb[i] * (H - Hb[i]);
    dp = -hydrostatic_k * p / temperature * dH;
    drho = -rho * (hydrostatic_k + Lb[i]) / temperature * dH;
    da = a * Lb[i] / (2 * temperature) * dH;
  } else if (Z > Z_clamp) {
    dp = drho = da = 0;
  } else {
    int k = 0;
    while (k < n_knots - 2 && Zk[k + 1] < Z) ++k;
    const double s = Z - Zk[k], dZ = Rstd * Rstd / ((Rstd - H) * (Rstd - H)) * dH;
    const SplineSet &P = atmosphere_tables().lnP, &D = atmosphere_tables().lnrho;
    dp = p * (P.b[k] + (2 * P.c[k] + 3 * P.d[k] * s) * s) * dZ;
    drho = rho * (D.b[k] + (2 * D.c[k] + 3 * D.d[k] * s) * s) * dZ;
    da = 0;
  }
  return {along(h, p, dp), along(h, rho, drho), along(h, a, da)};
}

// The air at radius r for the inertial velocity (vx, vy): the velocity
// through the turning atmosphere, the density, the dynamic pressure, the
// pressure and the speed of sound.
template <class T>
struct AirAt {
  T vxr, vr, rho, q, p, a;
};
template <class T>
AirAt<T> air_at(const Environment& e, const T& r, const T& vx, const T& vy) {
  using std::exp, std::sqrt;
  AirAt<T> w;
  // The atmosphere turns with the Earth: its horizontal speed grows with r.
  w.vxr = vx - r * e.vrot / e.R;
  w.vr = sqrt(w.vxr * w.vxr + vy * vy);
  if (e.standard_air) {
    const StandardAir<T> s = standard_air(r - e.R);
    w.rho = s.rho;
    w.q = s.rho * (w.vr * w.vr) / 2.0;
    w.p = s.p;
    w.a = s.a;
    return w;
  }
  const T decay = exp(-(r - e.R) / e.H);
  w.rho = e.rho0 * decay;
  w.q = e.rho0 * decay * (w.vr * w.vr) / 2.0;
  w.p = e.p0 * decay;
  // An ideal diatomic gas at one temperature: a^2 = 1.4 p / rho.
  w.a = T(std::sqrt(1.4 * e.p0 / e.rho0));
  return w;
}

// The dynamic pressure times the sine of the angle of attack, the angle
// from the path through the air to the thrust pitched alpha above the local
// horizontal (the body taken along the thrust): rho vr (vxr sin alpha - vy
// cos alpha) / 2. Written so, it is smooth everywhere, at rest in the air
// too, where the angle itself is undefined; for the angles a limit allows
// it is q alpha within a few parts in a thousand (0.5 % at 10 deg).
template <class T>
T q_sin_alpha(const Environment& e, const T& r, const T& vx, const T& vy, const T& alpha) {
  using std::cos, std::sin;
  const AirAt<T> w = air_at(e, r, vx, vy);
  return w.rho * w.vr * (w.vxr * sin(alpha) - vy * cos(alpha)) / 2.0;
}

// The rates of the state x with the thrust pitched alpha (rad) above the
// local horizontal, s seconds into the phase; the terms in the core's
// order: (thrust + drag) / m, then the turning of the local horizontal, the
// centrifugal term and gravity.
template <class T>
States<T> rates(const Environment& e, const Propulsion& f, const States<T>& x, const T& alpha,
                const T& s = T(0.0)) {
  using std::cos, std::sin;
  const T& r = x[kR];
  const T& vx = x[kVx];
  const T& vy = x[kVy];
  const T& m = x[kM];
  const AirAt<T> w = air_at(e, r, vx, vy);
  const T F = f.scheduled() ? thrust(f.Fvac + f.Fdot * s, w.p, f.Ae) : thrust(f.Fvac, w.p, f.Ae);
  const T D = e.drag.empty() ? drag(f.Cd, f.Sref, w.q) : drag(mach_drag(e.drag, w.vr / w.a), f.Sref, w.q);
  // At rest in the air (lift-off) the drag has no direction and is zero.
  const bool moving = value(w.vr) > 0;
  const T Dx = moving ? drag_along(D, w.vxr, w.vr) : T(0.0);
  const T Dy = moving ? drag_along(D, vy, w.vr) : T(0.0);
  const T ax = (F * cos(alpha) + Dx) / m - vx * vy / r;
  const T ay = (F * sin(alpha) + Dy) / m + vx * vx / r - gravity(e.mu, r);
  return {vy, vx / r, ax, ay, f.scheduled() ? -(f.mdot + f.mddot * s) : T(-f.mdot)};
}

// The vacuum coast from x to the apogee of its orbit, in closed form: the
// angular momentum h = r vx and the eccentricity vector (e cos nu = h vx /
// mu - 1, e sin nu = h vy / mu, nu the true anomaly) are kept, so the
// apogee lies at r_a = h^2 / (mu (1 - e)), pi - nu further downrange, its
// speed all horizontal, h / r_a. The mass is unchanged.
template <class T>
States<T> apogee_of(double mu, const States<T>& x) {
  using std::atan2, std::sqrt;
  const T h = x[kR] * x[kVx];
  const T ec = h * x[kVx] / mu - 1.0, es = h * x[kVy] / mu;
  const T e = sqrt(ec * ec + es * es);
  const T ra = h * h / mu / (1.0 - e);
  return {ra, x[kTheta] + (3.14159265358979323846 - atan2(es, ec)), h / ra, T(0.0), x[kM]};
}

// s, the time of that coast, from Kepler's equation: the eccentric anomaly
// E of nu, the mean anomaly E - e sin E, and pi less it over the mean motion.
inline double coast_time(double mu, const States<double>& x) {
  const double h = x[kR] * x[kVx];
  const double ec = h * x[kVx] / mu - 1.0, es = h * x[kVy] / mu, e = std::sqrt(ec * ec + es * es);
  const double a = 1 / (2 / x[kR] - (x[kVx] * x[kVx] + x[kVy] * x[kVy]) / mu);
  const double nu = std::atan2(es, ec);
  const double E = 2 * std::atan(std::sqrt((1 - e) / (1 + e)) * std::tan(nu / 2));
  return (3.14159265358979323846 - (E - e * std::sin(E))) * std::sqrt(a * a * a / mu);
}

}  // namespace ascent::control
