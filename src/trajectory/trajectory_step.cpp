#include "trajectory/trajectory_step.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <initializer_list>
#include <utility>
#include <cmath>
#include <cstdint>

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

// One step of dt, as substeps equal Runge-Kutta steps; the step ends at
// t + dt exactly, as a single step does.
template <class Law>
void integrate(FlightState& s, const Law& law) {
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

// One step under the law `law`, called through its own class.
template <class Law>
void step_with(FlightState& s, const Law& law, const StepObservers& observers) {
  integrate(s, law);
  evaluate_with(s, law, observers);
}

}  // namespace

void trajectory_step(FlightState& s, const StepObservers& observers) {
  switch (s.mode) {
    case Steering::vertical_law: return step_with(s, steering::VerticalAcceleration{}, observers);
    case Steering::vacuum: return step_with(s, steering::VacuumAttitude{}, observers);
    case Steering::guided: return step_with(s, steering::GuidedAttitude{}, observers);
    case Steering::pitch_program: break;
  }
  step_with(s, steering::PitchProgram{}, observers);
}

}  // namespace ascent

namespace ascent {

void evaluate_state(FlightState& s, const StepObservers& observers) {
  switch (s.mode) {
    case Steering::vertical_law: return evaluate_with(s, steering::VerticalAcceleration{}, observers);
    case Steering::vacuum: return evaluate_with(s, steering::VacuumAttitude{}, observers);
    case Steering::guided: return evaluate_with(s, steering::GuidedAttitude{}, observers);
    case Steering::pitch_program: break;
  }
  evaluate_with(s, steering::PitchProgram{}, observers);
}

}  // namespace ascent

namespace ascent {

namespace {

using Vec9 = std::array<double, 9>;

Vec9 as_vec(const Rates& k) { return {k.vx, k.h0, k.vy, k.r0, k.kick, k.m0, k.mdot, k.Fvac, k.dV}; }
Vec9 state_vec(const FlightState& s) { return {s.vx, s.h0, s.vy, s.r0, s.kick, s.m0, s.mdot, s.Fvac, s.dV}; }
Stage stage_of(const Vec9& y) { return {y[0], y[1], y[2], y[4], y[5], y[6], y[7]}; }

// Dormand and Prince's pair (J. Comput. Appl. Math. 6, 1980): seven stages,
// the fifth-order solution carried on, the fourth-order one for the error.
constexpr double c2 = 1.0 / 5, c3 = 3.0 / 10, c4 = 4.0 / 5, c5 = 8.0 / 9;
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

}  // namespace

double coast_step_adaptive(FlightState& s, double tolerance, const StepObservers& observers) {
  const steering::PitchProgram law;
  const Vec9 y = state_vec(s);
  auto f = [&](const Vec9& z) { return as_vec(rates(s, law, stage_of(z))); };
  auto at = [&](std::initializer_list<std::pair<double, const Vec9*>> terms, double h) {
    Vec9 z = y;
    for (const auto& [w, k] : terms) {
      for (std::size_t i = 0; i < z.size(); ++i) z[i] += h * w * (*k)[i];
    }
    return z;
  };
  double h = s.dt;
  for (int attempt = 0; attempt < 60; ++attempt) {
    const Vec9 k1 = f(y);
    const Vec9 k2 = f(at({{a21, &k1}}, h));
    const Vec9 k3 = f(at({{a31, &k1}, {a32, &k2}}, h));
    const Vec9 k4 = f(at({{a41, &k1}, {a42, &k2}, {a43, &k3}}, h));
    const Vec9 k5 = f(at({{a51, &k1}, {a52, &k2}, {a53, &k3}, {a54, &k4}}, h));
    const Vec9 k6 = f(at({{a61, &k1}, {a62, &k2}, {a63, &k3}, {a64, &k4}, {a65, &k5}}, h));
    const Vec9 y5 = at({{b1, &k1}, {b3, &k3}, {b4, &k4}, {b5, &k5}, {b6, &k6}}, h);
    const Vec9 k7 = f(y5);
    // The error of position and velocity, relative to the radius and the
    // speed: the orbit's own scales.
    const double r = Re + y[1], v = std::hypot(y[0], y[2]);
    double err = 0;
    for (std::size_t i : {0u, 1u, 2u, 3u}) {
      const double e = h * (e1 * k1[i] + e3 * k3[i] + e4 * k4[i] + e5 * k5[i] + e6 * k6[i] + e7 * k7[i]);
      const double scale = (i == 1 || i == 3) ? r : v;
      err = std::max(err, std::fabs(e) / (tolerance * scale));
    }
    // The usual controller: the error goes as h^5; a safety factor of 0.9,
    // growth at most fivefold, shrinking at most tenfold.
    const double grow = err > 0 ? std::clamp(0.9 * std::pow(err, -0.2), 0.1, 5.0) : 5.0;
    if (err <= 1 || !std::isfinite(err)) {
      s.vx = y5[0];
      s.h0 = y5[1];
      s.vy = y5[2];
      s.r0 = y5[3];
      s.kick = y5[4];
      s.m0 = y5[5];
      s.mdot = y5[6];
      s.Fvac = y5[7];
      s.dV = y5[8];
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
