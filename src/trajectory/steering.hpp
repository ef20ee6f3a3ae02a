// How the thrust is pointed: one interface, one implementation per steering
// law. The dynamics ask the law of the segment's mode where the thrust points
// at each Runge-Kutta stage, and the step asks it for the angle of attack of
// the new state; the phases choose the law. A new law is a new file under
// steering/ and its entry in steering/registry.hpp (a mode and its class).
#pragma once
#include "trajectory/flight_state.hpp"
#include "trajectory/forces/thrust.hpp"

namespace ascent {

// The quantities of a Runge-Kutta stage state (the integrated quantities that
// enter a rate; r0 and dV enter none).
struct Stage {
  double vx, h0, vy, kick, m0, mdot, Fvac;
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

// What a law sees at one stage: the stage state and what the dynamics have
// made of it, the terms of the acceleration the vehicle would have without
// thrust included (a law that sizes its thrust from it, the vertical law,
// asks for them here rather than writing them itself).
struct StageView {
  const Stage& z;
  double m;            // kg, total mass
  double r;            // m, distance from the Earth's centre
  double beta;         // rad, inertial flight-path angle (0 when the law needs none)
  double centrifugal;  // m/s^2, upward, of the horizontal motion over the curved Earth: vx^2 / r
  double gravity;      // m/s^2, downward
  const Air* air;      // the air, for a law flown in it; null in vacuum
  double D;            // N, drag
  // The air-relative path angle and its cosine and sine, for a law that
  // steers by it (path_by_angle); 0 otherwise.
  double theta, cos_theta, sin_theta;
};

// What a law sees of the new state after a step, to tell its angle of attack.
struct StateView {
  double F;      // N, thrust after back-pressure (0 in vacuum)
  double m;      // kg, total mass
  double r;      // m
  double D;      // N, drag
  double vr;     // m/s, speed relative to the air
  double beta;   // rad, inertial flight-path angle
  double theta;  // rad, air-relative flight-path angle
};

// Air-relative flight-path angle: vertical while the vehicle moves no faster
// horizontally than the air (on the pad, and in the vertical rise).
double path_angle(double vy, double vxr);

// A steering law says where the thrust points at each stage, and what angle
// of attack that makes of the new state; the forces and the equations of
// motion are the dynamics' (trajectory/dynamics.hpp). A law class also has
// `static constexpr bool path_by_angle`: whether it reckons the air path by
// its angle (its drag's direction then by that angle's cosine and sine).
class SteeringLaw {
 public:
  virtual ~SteeringLaw() = default;
  // Flown in the air: thrust loses its back-pressure, drag acts.
  virtual bool in_air() const = 0;
  // Whether a stage needs the inertial flight-path angle (an arc tangent
  // that a law along the air path can do without).
  virtual bool needs_beta(const FlightState& s) const = 0;
  // Where the thrust points at a stage. A law may capture its own constants
  // from the first stage it flies (it may change s).
  virtual forces::Pointing point(FlightState& s, const StageView& v) const = 0;
  // The angle of attack of the new state (s.alpha), after the step.
  virtual void update_alpha(FlightState& s, const StateView& v) const = 0;
};

// The law of each steering mode. The step itself calls each law through
// its own class (steering/*.hpp), so that a stage's arithmetic is compiled
// inline: a step costs a few hundred nanoseconds, and calls through the
// interface at every stage would add a tenth to a flight.
const SteeringLaw& steering_law(Steering mode);

}  // namespace ascent
