// The core stage's law: the vertical acceleration follows cv |vy|^kv (with
// the sign of vy), cv captured from the acceleration the thrust direction
// gives when the law takes over; the rest of the thrust points forward. The
// angle of attack this asks for is limited to alpha_max: beyond it the
// thrust is held at the limit off the inertial path.
#pragma once
#include <cmath>

#include "trajectory/forces/gravity.hpp"
#include "trajectory/steering.hpp"

namespace ascent {

namespace steering {

inline constexpr double thrust_margin = 1e-6;  // N, margin of the vertical thrust against the thrust available

// Its target acceleration, the vertical thrust that meets it (limited to the
// thrust available), and the angle of attack that this thrust direction needs.
struct Law {
  double a_target;   // m/s^2
  double Fv;         // N
  double alpha_req;  // rad
};

// centrifugal and gravity: the vertical acceleration's terms other than the
// forces (m/s^2), as the dynamics have them.
inline Law vertical_law(const FlightState& s, double F, double m, double centrifugal, double gravity, double vy,
                        double D, double vr, double beta) {
  Law law;
  double sign = vy < 0 ? -1.0 : 1.0;
  law.a_target = sign * s.cv * std::exp(s.kv * std::log(std::fabs(vy)));
  double Fv = m * (law.a_target - centrifugal + gravity) + D * vy / vr;
  if (F < Fv + thrust_margin) {
    Fv = F;
  } else if (F < -Fv + thrust_margin) {
    Fv = -F;
  }
  law.Fv = Fv;
  double abs_psi = std::fabs(Fv) == F ? pi / 2 : std::asin(std::fabs(Fv) / F);
  double psi_c = Fv > 0 ? abs_psi : -abs_psi;
  law.alpha_req = psi_c - beta;
  return law;
}

class VerticalAcceleration final : public SteeringLaw {
 public:
  static constexpr Steering mode = Steering::vertical_law;
  static constexpr bool path_by_angle = false;
  bool in_air() const override { return true; }
  bool needs_beta(const FlightState&) const override { return true; }

  forces::Pointing point(FlightState& s, const StageView& v) const override {
    const Stage& z = v.z;
    const Air& w = *v.air;
    const double D = v.D, m = v.m, beta = v.beta;
    if (s.law_init) {
      // Start the law from the vertical acceleration that the present
      // thrust direction gives.
      s.cv = ((w.F * std::sin(s.alpha + beta) - D * z.vy / w.vr) / m + v.centrifugal - v.gravity) /
             std::exp(s.kv * std::log(std::fabs(z.vy)));
      s.law_init = false;
    }
    Law law = vertical_law(s, w.F, m, v.centrifugal, v.gravity, z.vy, D, w.vr, beta);
    if (std::fabs(law.alpha_req) > s.alpha_max) {
      s.alpha_limited = true;
      double alpha_l = law.alpha_req > 0 ? s.alpha_max : -s.alpha_max;
      double psi = alpha_l + beta;
      return {std::cos(psi), std::sin(psi)};
    }
    // The rest of the thrust always points forward; the vertical
    // acceleration is the law's target itself.
    forces::Pointing p;
    p.ux = std::sqrt(w.F * w.F - law.Fv * law.Fv);
    p.uy = law.Fv;
    p.components = true;
    p.holds_ay = true;
    p.ay = law.a_target;
    return p;
  }

  void update_alpha(FlightState& s, const StateView& v) const override {
    Law law = vertical_law(s, v.F, v.m, s.vx * s.vx / v.r, forces::gravity(s.env->mu, v.r), s.vy, v.D, v.vr, v.beta);
    if (std::fabs(law.alpha_req) > s.alpha_max) {
      s.alpha_limited = true;
      s.alpha = law.alpha_req > 0 ? s.alpha_max : -s.alpha_max;
    } else {
      s.alpha = law.alpha_req;
    }
  }
};

}  // namespace steering

}  // namespace ascent
