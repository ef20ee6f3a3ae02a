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
  bool in_air() const override { return false; }
  bool needs_beta(const FlightState&) const override { return true; }

  Accelerations accelerations(FlightState&, const StageView& v) const override {
    const Stage& z = v.z;
    double a = z.Fvac / v.m;
    double psi = v.beta + z.kick;
    return {a * std::cos(psi) - v.curvature_x, z.vx * z.vx / v.r + a * std::sin(psi) - v.gravity};
  }

  void update_alpha(FlightState& s, const StateView&) const override { s.alpha = 0; }
};

}  // namespace steering

}  // namespace ascent
