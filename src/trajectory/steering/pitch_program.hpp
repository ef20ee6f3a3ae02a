// The pitch programme flown through the air: the vertical rise, the
// pitch-over and pitch-back (a kick added at a constant rate) and the gravity
// turn, with the thrust along the air-relative path plus the kick; or, once
// the path is no longer followed (the coast after the core's cut-off), at the
// angle of attack frozen off the inertial path. Drag acts against the
// air-relative velocity.
#pragma once
#include <cmath>

#include "trajectory/steering.hpp"

namespace ascent {

namespace steering {

class PitchProgram final : public SteeringLaw {
 public:
  bool in_air() const override { return true; }
  bool needs_beta(const FlightState& s) const override { return !s.follow_air; }

  Accelerations accelerations(FlightState& s, const StageView& v) const override {
    const Stage& z = v.z;
    const Air& w = *v.air;
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
      double psi = s.follow_air ? theta + z.kick : s.alpha + v.beta + z.kick;
      cos_psi = std::cos(psi);
      sin_psi = std::sin(psi);
    }
    return {(w.F * cos_psi - v.D * cos_theta) / v.m - v.curvature_x,
            (w.F * sin_psi - v.D * sin_theta) / v.m + z.vx * z.vx / v.r - v.gravity};
  }

  void update_alpha(FlightState& s, const StateView& v) const override {
    if (s.follow_air) s.alpha = v.theta - v.beta;
  }
};

}  // namespace steering

}  // namespace ascent
