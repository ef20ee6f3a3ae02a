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
  static constexpr Steering mode = Steering::pitch_program;
  static constexpr bool path_by_angle = true;
  bool in_air() const override { return true; }
  bool needs_beta(const FlightState& s) const override { return !s.follow_air; }

  forces::Pointing point(FlightState& s, const StageView& v) const override {
    if (s.follow_air && v.z.kick == 0) {
      // Thrust along the air path with no kick (the coast between the
      // pitch manoeuvres): the thrust's angle is the path angle itself,
      // theta + 0 == theta, so its sine and cosine are the same numbers.
      return {v.cos_theta, v.sin_theta};
    }
    const double psi = s.follow_air ? v.theta + v.z.kick : s.alpha_held + v.beta + v.z.kick;
    return {std::cos(psi), std::sin(psi)};
  }

  void update_alpha(FlightState& s, const StateView& v) const override {
    if (s.follow_air) s.alpha = v.theta - v.beta;
  }
};

}  // namespace steering

}  // namespace ascent
