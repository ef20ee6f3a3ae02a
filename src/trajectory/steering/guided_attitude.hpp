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
  static constexpr Steering mode = Steering::guided;
  static constexpr bool path_by_angle = true;
  bool in_air() const override { return true; }
  bool needs_beta(const FlightState&) const override { return false; }

  forces::Pointing point(FlightState& s, const StageView& v) const override {
    const double psi = s.pitch + v.z.kick;
    return {std::cos(psi), std::sin(psi)};
  }

  void update_alpha(FlightState& s, const StateView& v) const override { s.alpha = s.pitch + s.kick - v.beta; }
};

}  // namespace steering

}  // namespace ascent
