// What one integration step hands to those who follow the flight: the ten
// values of the step table, as the step computed them, and the state they
// were computed from.
#pragma once
#include <vector>

#include "trajectory/integrators/extension.hpp"

namespace ascent {

struct StepRecord {
  double t = 0;          // s, time since ignition
  double a = 0;          // m/s^2, thrust acceleration
  double vi = 0;         // m/s, inertial speed
  double h0 = 0;         // m, altitude
  double r0 = 0;         // m, ground range
  double alpha_deg = 0;  // degrees, angle of attack
  double beta_deg = 0;   // degrees, inertial flight-path angle
  double theta_deg = 0;  // degrees, air-relative flight-path angle
  double q = 0;          // Pa, dynamic pressure
  double m = 0;          // kg, total mass
  double vx = 0, vy = 0; // m/s, horizontal and vertical inertial velocity
  // A line of the vehicle standing on the pad (ignition, liftoff), not a
  // step: the table shows it; it counts as no step and writes no data line.
  bool pad = false;
  // The step's continuous extension, where the flight asked the integrator
  // for it (located events): the state at any time within the step.
  const StepExtension* extension = nullptr;
};

// Follows the flight step by step: every step, in the order taken (steps
// back to a threshold included). An observer may stop the flight by
// throwing; the steps after it then see nothing of that step.
class StepObserver {
 public:
  virtual ~StepObserver() = default;
  virtual void on_step(const StepRecord& r) = 0;
};

using StepObservers = std::vector<StepObserver*>;

}  // namespace ascent
