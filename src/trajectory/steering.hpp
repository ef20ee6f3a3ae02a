// How the thrust is pointed: one interface, one implementation per steering
// law. The step asks the law of the flight state's mode for the accelerations
// at each Runge-Kutta stage and for the angle of attack of the new state; the
// phases choose the law. A new law is a new file under steering/, a new
// mode, and its case in the step's dispatch (trajectory_step.cpp).
#pragma once
#include "trajectory/flight_state.hpp"

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

// What a law sees at one stage: the stage state and what the step has made
// of it.
struct StageView {
  const Stage& z;
  double m;            // kg, total mass
  double r;            // m, distance from the Earth's centre
  double beta;         // rad, inertial flight-path angle (0 when the law needs none)
  double curvature_x;  // m/s^2, turning of the local horizontal: vx vy / r
  double gravity;      // m/s^2, mu / r^2
  const Air* air;      // the air, for a law flown in it; null in vacuum
  double D;            // N, drag: Cd(M) * Sref * q, in that order
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

struct Accelerations {
  double ax, ay;  // m/s^2, rates of vx and vy
};

// Air-relative flight-path angle: vertical while the vehicle moves no faster
// horizontally than the air (on the pad, and in the vertical rise).
double path_angle(double vy, double vxr);

class SteeringLaw {
 public:
  virtual ~SteeringLaw() = default;
  // Flown in the air: thrust loses its back-pressure, drag acts.
  virtual bool in_air() const = 0;
  // Whether a stage needs the inertial flight-path angle (an arc tangent
  // that a law along the air path can do without).
  virtual bool needs_beta(const FlightState& s) const = 0;
  // The rates of vx and vy at a stage. A law may capture its own constants
  // from the first stage it flies (it may change s).
  virtual Accelerations accelerations(FlightState& s, const StageView& v) const = 0;
  // The angle of attack of the new state (s.alpha), after the step.
  virtual void update_alpha(FlightState& s, const StateView& v) const = 0;
};

// The law of each steering mode. The step itself calls each law through
// its own class (steering/*.hpp), so that a stage's arithmetic is compiled
// inline: a step costs a few hundred nanoseconds, and calls through the
// interface at every stage would add a tenth to a flight.
const SteeringLaw& steering_law(Steering mode);

}  // namespace ascent
