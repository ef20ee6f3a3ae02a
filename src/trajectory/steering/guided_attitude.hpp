// Closed-loop guidance's attitude: the thrust at a pitch above the local
// horizontal that the guidance sets at the start of each step (s.pitch), the
// kick carrying it on at the rate the guidance asks for through the step.
// Flown through the air: guidance takes over in the thin upper atmosphere,
// where drag and back-pressure are small but not nothing.
#pragma once
#include <cmath>

#include "trajectory/steering.hpp"

namespace ascent {

namespace steering {

class GuidedAttitude final : public SteeringLaw {
 public:
  bool in_air() const override { return true; }
  bool needs_beta(const FlightState&) const override { return false; }

  Accelerations accelerations(FlightState& s, const StageView& v) const override {
    const Stage& z = v.z;
    const Air& w = *v.air;
    const double theta = path_angle(z.vy, w.vxr);
    const double psi = s.pitch + z.kick;
    return {(w.F * std::cos(psi) - v.D * std::cos(theta)) / v.m - v.curvature_x,
            (w.F * std::sin(psi) - v.D * std::sin(theta)) / v.m + z.vx * z.vx / v.r - v.gravity};
  }

  void update_alpha(FlightState& s, const StateView& v) const override { s.alpha = s.pitch + s.kick - v.beta; }
};

}  // namespace steering

}  // namespace ascent
