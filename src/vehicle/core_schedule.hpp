// The core's thrust against time as the three-stage vehicle flies it. The
// core burns at its entry throttle from ignition on the pad; once its thrust
// acceleration reaches the limit it throttles down a step at a time, holding
// the limit, and below the lowest throttle shuts its engines down one by
// one. Every one of those switches is timed by the vacuum thrust and the
// mass, and the mass falls with time alone (each flow is a thrust over an
// exhaust speed, the boosters and the fairing leave at known times): so the
// whole programme is known before the flight, whatever the steering. Only
// the cut-off on the transfer orbit, which ends it early, is the flight's.
#pragma once
#include <vector>

#include "vehicle/vehicle.hpp"

namespace ascent {

struct ThrustKnot {
  double t = 0;  // s, since ignition on the pad
  double F = 0;  // N, vacuum thrust of all the core's engines
};

// The core's vacuum thrust from ignition to its last engine's shut-down,
// straight lines between the knots (a step of thrust is two knots at one
// time; none occurs). The propellant may run out first: the knots do not
// say where, the flight's bookkeeping does.
std::vector<ThrustKnot> core_thrust_schedule(const Description& d);

// N, the schedule's thrust at time t (zero outside it).
double thrust_at(const std::vector<ThrustKnot>& k, double t);

}  // namespace ascent
