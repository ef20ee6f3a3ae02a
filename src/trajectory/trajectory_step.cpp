#include "trajectory/trajectory_step.hpp"

#include <bit>
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
  if (!s.air_kept || h_bits != s.air_h_bits) {
    atmosphere(h0, s.air_p, s.air_rho, s.air_a_s);
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

// One step under the law `law`, called through its own class.
template <class Law>
void step_with(FlightState& s, const Law& law, const StepObservers& observers) {
  integrate(s, law);

  // Evaluation of the new state.
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
