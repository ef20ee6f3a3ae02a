#include "trajectory/trajectory_step.hpp"

#include <bit>
#include <cmath>
#include <cstdint>

#include "atmosphere/atmosphere.hpp"

namespace ascent {

namespace {

constexpr double guard = 1e-6;  // m/s smallest air-relative horizontal speed with a path angle; N margin of the mode-1 limit
constexpr double deg = 180.0 / pi;  // degrees per radian

// The quantities of the Runge-Kutta stage state (the integrated quantities that
// enter a rate; r0 and dV enter none).
struct Stage {
  double vx, h0, vy, kick, m0, mdot, Fvac;
};

// Rates of the nine integrated quantities.
struct Rates {
  double vx, h0, vy, r0, kick, m0, mdot, Fvac, dV;
};

// The air around the vehicle at one state: relative motion, thrust after the
// back-pressure loss, dynamic pressure and drag.
struct Air {
  double vxr;    // m/s, horizontal speed relative to the air
  double vr;     // m/s, speed relative to the air
  double F;      // N, thrust after back-pressure loss
  double q;      // Pa, dynamic pressure
  double Cd;     // drag coefficient at the Mach number
  double CdQ;    // Pa, drag coefficient times q
};

// Air-relative flight-path angle: vertical while the vehicle moves no faster
// horizontally than the air (on the pad, and in the vertical rise).
double path_angle(double vy, double vxr) { return vxr < guard ? pi / 2 : std::atan(vy / vxr); }

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

// The vertical-acceleration law of mode 1: its target acceleration, the
// vertical thrust that meets it (limited to the thrust available), and the
// angle of attack that this thrust direction needs.
struct Law {
  double a_target;   // m/s^2
  double Fv;         // N
  double alpha_req;  // rad
};

Law vertical_law(const FlightState& s, double F, double m, double r, double vx, double vy,
                 double D, double vr, double beta) {
  Law law;
  double sign = vy < 0 ? -1.0 : 1.0;
  law.a_target = sign * s.cv * std::exp(s.kv * std::log(std::fabs(vy)));
  double Fv = m * (law.a_target - vx * vx / r + mu / (r * r)) + D * vy / vr;
  if (F < Fv + guard) {
    Fv = F;
  } else if (F < -Fv + guard) {
    Fv = -F;
  }
  law.Fv = Fv;
  double abs_psi = std::fabs(Fv) == F ? pi / 2 : std::asin(std::fabs(Fv) / F);
  double psi_c = Fv > 0 ? abs_psi : -abs_psi;
  law.alpha_req = psi_c - beta;
  return law;
}

Rates rates(FlightState& s, const Stage& z) {
  const double r = Re + z.h0;
  const double m = z.m0 + s.Me;
  // The inertial flight-path angle; a mode-0 step along the air path has no
  // use for it, and the arc tangent is a good part of a stage's cost.
  const bool needs_beta = s.mode != Steering::pitch_program || !s.follow_air;
  const double beta = needs_beta ? std::atan(z.vy / z.vx) : 0.0;
  const double curvature_x = z.vx * z.vy / r;  // m/s^2, turning of the local horizontal
  const double gravity = mu / (r * r);         // m/s^2
  double ax, ay;
  if (s.mode == Steering::vacuum) {
    // Vacuum steering: thrust at kick off the inertial velocity, no air.
    double a = z.Fvac / m;
    double psi = beta + z.kick;
    ax = a * std::cos(psi) - curvature_x;
    ay = z.vx * z.vx / r + a * std::sin(psi) - gravity;
  } else {
    Air w = air_at(s, z.vx, z.h0, z.vy, z.Fvac, r);
    double D = w.Cd * s.Sref * w.q;  // the rates' order: Cd(M) * Sref * q
    if (s.mode == Steering::pitch_program) {
      // Pitch program: along the air-relative path, or at the frozen angle
      // off the inertial path; drag against the air-relative velocity.
      double theta = path_angle(z.vy, w.vxr);
      double cos_theta = std::cos(theta), sin_theta = std::sin(theta);
      double cos_psi, sin_psi;
      if (s.follow_air && z.kick == 0) {
        // Thrust along the air path with no kick (the coast between the
        // pitch manoeuvres): the thrust's angle is the path angle itself,
        // theta + 0 == theta, so its sine and cosine are the same numbers.
        cos_psi = cos_theta;
        sin_psi = sin_theta;
      } else {
        double psi = s.follow_air ? theta + z.kick : s.alpha + beta + z.kick;
        cos_psi = std::cos(psi);
        sin_psi = std::sin(psi);
      }
      ax = (w.F * cos_psi - D * cos_theta) / m - curvature_x;
      ay = (w.F * sin_psi - D * sin_theta) / m + z.vx * z.vx / r - gravity;
    } else {
      if (s.law_init) {
        // Start the law from the vertical acceleration that the present
        // thrust direction gives.
        s.cv = ((w.F * std::sin(s.alpha + beta) - D * z.vy / w.vr) / m + z.vx * z.vx / r - gravity) /
               std::exp(s.kv * std::log(std::fabs(z.vy)));
        s.law_init = false;
      }
      Law law = vertical_law(s, w.F, m, r, z.vx, z.vy, D, w.vr, beta);
      if (std::fabs(law.alpha_req) > s.alpha_max) {
        double alpha_l = law.alpha_req > 0 ? s.alpha_max : -s.alpha_max;
        double psi = alpha_l + beta;
        ax = (w.F * std::cos(psi) - D * w.vxr / w.vr) / m - curvature_x;
        ay = (w.F * std::sin(psi) - D * z.vy / w.vr) / m + z.vx * z.vx / r - gravity;
      } else {
        // The rest of the thrust always points forward.
        ax = (std::sqrt(w.F * w.F - law.Fv * law.Fv) - D * w.vxr / w.vr) / m - curvature_x;
        ay = law.a_target;
      }
    }
  }
  return {ax, z.vy, ay, z.vx * Re / r - s.vrot, s.kick_rate, z.mdot, s.mddot, s.Fdot, z.Fvac / m};
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
void rk4_step(FlightState& s) {
  const Stage z1{s.vx, s.h0, s.vy, s.kick, s.m0, s.mdot, s.Fvac};
  const Rates k1 = scaled(rates(s, z1), s.dt);
  const Rates k2 = scaled(rates(s, advanced(s, k1, 0.5)), s.dt);
  const Rates k3 = scaled(rates(s, advanced(s, k2, 0.5)), s.dt);
  const Rates k4 = scaled(rates(s, advanced(s, k3, 1.0)), s.dt);
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
void integrate(FlightState& s) {
  if (s.substeps <= 1) {
    rk4_step(s);
    return;
  }
  const double dt = s.dt, t0 = s.t;
  s.dt = dt / s.substeps;
  for (int i = 0; i < s.substeps; ++i) rk4_step(s);
  s.dt = dt;
  s.t = t0 + dt;
}

}  // namespace

double drag_coefficient(double mach) { return drag_coefficient(builtin_drag_table(), mach); }

void trajectory_step(FlightState& s, const StepObservers& observers) {
  integrate(s);

  // Evaluation of the new state.
  const double r = Re + s.h0;
  const double m = s.m0 + s.Me;
  s.vi = std::sqrt(s.vx * s.vx + s.vy * s.vy);
  const double beta = std::atan(s.vy / s.vx);
  double vxr, vr = 0, q, F = 0, CdQ;
  if (s.mode == Steering::vacuum) {
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

  if (s.mode == Steering::pitch_program) {
    if (s.follow_air) s.alpha = theta - beta;
  } else if (s.mode == Steering::vertical_law) {
    Law law = vertical_law(s, F, m, r, s.vx, s.vy, D, vr, beta);
    s.alpha = std::fabs(law.alpha_req) > s.alpha_max
                  ? (law.alpha_req > 0 ? s.alpha_max : -s.alpha_max)
                  : law.alpha_req;
  } else {
    s.alpha = 0;
  }

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

}  // namespace ascent
