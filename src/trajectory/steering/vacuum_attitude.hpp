// Outside the air: the thrust at the kick angle off the inertial velocity
// (zero: along it), no drag and no back-pressure. The angle of attack is
// reported as zero.
#pragma once
#include <cmath>

#include "trajectory/steering.hpp"

namespace ascent {

namespace steering {

class VacuumAttitude final : public SteeringLaw {
 public:
  static constexpr Steering mode = Steering::vacuum;
  static constexpr bool path_by_angle = false;
  bool in_air() const override { return false; }
  bool needs_beta(const FlightState&) const override { return true; }

  forces::Pointing point(FlightState&, const StageView& v) const override {
    const double psi = v.beta + v.z.kick;
    return {std::cos(psi), std::sin(psi)};
  }

  void update_alpha(FlightState& s, const StateView&) const override { s.alpha = 0; }
};

}  // namespace steering

}  // namespace ascent
