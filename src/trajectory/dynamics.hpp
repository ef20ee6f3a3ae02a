// The planar equations of motion over a spherical rotating Earth: the air
// at a state, the forces on the vehicle, and their sum as the rates of the
// integrated quantities, `derivatives(s, law, y)`, in one fixed order:
//
//   horizontal: (thrust + drag) / m                       - vx vy / r  + further forces
//   vertical:   (thrust + drag) / m + vx^2 / r - gravity               + further forces
//
// Thrust and drag are added as forces (N) and divided by the mass; in vacuum
// the thrust acceleration F / m is formed first. The terms vx vy / r and
// vx^2 / r turn the local horizontal with the flight over the curved Earth.
// A force is a file under forces/; one that acts as an acceleration of its
// own (J2) is registered in RegisteredForces below and added after gravity,
// in the order listed. The order is part of the numbers: every flight's bits
// depend on it.
#pragma once
#include <bit>
#include <cmath>
#include <cstdint>

#include "atmosphere/atmosphere.hpp"
#include "trajectory/forces/drag.hpp"
#include "trajectory/forces/gravity.hpp"
#include "trajectory/forces/thrust.hpp"
#include "trajectory/steering.hpp"

namespace ascent {

// What a further force sees at a stage (m/s, m, kg).
struct ForcePoint {
  const Stage& z;
  double r;  // m, distance from the Earth's centre
  double m;  // kg, total mass
};

// An acceleration (m/s^2), horizontal and vertical (upward).
struct Acceleration {
  double ax = 0, ay = 0;
};

// The further forces, each a class with
//   static Acceleration acceleration(const FlightState&, const ForcePoint&);
// added in this order after gravity.
template <class... Force>
struct ForceList {
  static void add(const FlightState& s, const ForcePoint& p, double& ax, double& ay) {
    (
        [&] {
          const Acceleration a = Force::acceleration(s, p);
          ax += a.ax;
          ay += a.ay;
        }(),
        ...);
  }
};

using RegisteredForces = ForceList<>;

// The air around the vehicle at a stage. The last look-up is kept in s, by
// the bits of its altitude and the environment (the atmosphere is a function
// of the altitude alone, so the numbers kept are those a new look-up would
// give).
inline Air air_at(FlightState& s, double vx, double h0, double vy, double Fvac, double r) {
  Air w;
  // The atmosphere turns with the Earth: its horizontal speed grows with r.
  const Environment& e = *s.env;
  w.vxr = vx - r * s.vrot / e.Re;
  w.vr = std::sqrt(w.vxr * w.vxr + vy * vy);
  const std::uint64_t h_bits = std::bit_cast<std::uint64_t>(h0);
  // Without a nozzle (a coast) the back-pressure loads nothing: the
  // pressure, an exponential of its own above 86 km, is left out there. Any
  // finite pressure times a zero area takes nothing off the thrust, so the
  // thrust below comes out bit for bit as with it.
  const bool needs_p = s.Ae != 0;
  if (!s.air_kept || h_bits != s.air_h_bits || s.air_env != &e || (needs_p && !s.air_p_kept)) {
    s.air_p_kept = air_of(e, h0, needs_p, s.air_p, s.air_rho, s.air_a_s);
    s.air_h_bits = h_bits;
    s.air_env = &e;
    s.air_kept = true;
  }
  const double p = s.air_p, rho = s.air_rho, a_s = s.air_a_s;
  w.F = forces::thrust(Fvac, p, s.Ae);
  w.q = rho * s.rho_scale * (w.vr * w.vr) / 2;
  w.Cd = drag_coefficient(*s.drag, w.vr / a_s);
  w.CdQ = w.Cd * w.q;
  return w;
}

// The rates of the integrated quantities at the state vector y, under the
// segment in s and its steering law.
template <class Law, class Further = RegisteredForces>
StateVector derivatives(FlightState& s, const Law& law, const StateVector& y) {
  const Stage z{y[0], y[1], y[2], y[4], y[5], y[6], y[7]};
  const Environment& e = *s.env;
  const double r = e.Re + z.h0;
  const double m = z.m0 + s.Me;
  // The inertial flight-path angle; a law along the air path has no use for
  // it, and the arc tangent is a good part of a stage's cost.
  const double beta = law.needs_beta(s) ? std::atan(z.vy / z.vx) : 0.0;
  const double curvature_x = z.vx * z.vy / r;  // m/s^2, turning of the local horizontal
  const double centrifugal = z.vx * z.vx / r;  // m/s^2
  const double g = forces::gravity(e.mu, r);
  double ax, ay;
  if (law.in_air()) {
    const Air w = air_at(s, z.vx, z.h0, z.vy, z.Fvac, r);
    const double D = forces::drag(w.Cd, s.Sref, w.q);
    forces::AirPath path{Law::path_by_angle, 0, 0, w.vxr, z.vy, w.vr};
    double theta = 0;
    if constexpr (Law::path_by_angle) {
      theta = path_angle(z.vy, w.vxr);
      path.cos_theta = std::cos(theta);
      path.sin_theta = std::sin(theta);
    }
    const forces::Pointing p =
        law.point(s, StageView{z, m, r, beta, centrifugal, g, &w, D, theta, path.cos_theta, path.sin_theta});
    ax = (forces::thrust_x(p, w.F) + forces::drag_x(path, D)) / m - curvature_x;
    ay = p.holds_ay ? p.ay : (forces::thrust_y(p, w.F) + forces::drag_y(path, D)) / m + centrifugal - g;
  } else {
    const forces::Pointing p = law.point(s, StageView{z, m, r, beta, centrifugal, g, nullptr, 0.0, 0, 0, 0});
    const double a = z.Fvac / m;
    ax = a * p.ux - curvature_x;
    ay = a * p.uy + centrifugal - g;
  }
  Further::add(s, ForcePoint{z, r, m}, ax, ay);
  return {ax, z.vy, ay, z.vx * e.Re / r - s.vrot, s.kick_rate, z.mdot, s.mddot, s.Fdot, z.Fvac / m};
}

}  // namespace ascent
