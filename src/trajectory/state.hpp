// The state the equations of motion advance: the time and the integrated
// quantities, nothing else. Planar flight over a spherical rotating Earth:
// position as altitude and ground range, the inertial velocity in the local
// horizontal and vertical, and the mass with what drives it (flow and
// thrust, each carried on by its rate), the pitch programme's kick and the
// velocity given by thrust alone. SI units; angles in rad.
#pragma once
#include <array>
#include <cstddef>
#include <utility>

namespace ascent {

struct State {
  double t = 0;     // s, time since ignition on the pad
  double vx = 0;    // m/s, local-horizontal component of the inertial velocity
  double h0 = 0;    // m, altitude above the reference sphere
  double vy = 0;    // m/s, vertical velocity (rate of climb)
  double r0 = 0;    // m, ground range over the rotating Earth, on the reference sphere
  double kick = 0;  // rad, pitch-program angle added to the thrust direction
  double m0 = 0;    // kg, mass the step changes: propellant of the burning engines
  double mdot = 0;  // kg/s, mass-flow rate (negative while burning)
  double Fvac = 0;  // N, vacuum thrust of all burning engines
  double dV = 0;    // m/s, velocity given by thrust alone since liftoff
};

// The integrated quantities of a state (the time aside) as one vector, in
// the order the integrators hold them, and their rates: what the
// integrators add, scale and combine.
using StateVector = std::array<double, 9>;

inline StateVector vector_of(const State& s) { return {s.vx, s.h0, s.vy, s.r0, s.kick, s.m0, s.mdot, s.Fvac, s.dV}; }

inline void assign(State& s, const StateVector& y) {
  s.vx = y[0];
  s.h0 = y[1];
  s.vy = y[2];
  s.r0 = y[3];
  s.kick = y[4];
  s.m0 = y[5];
  s.mdot = y[6];
  s.Fvac = y[7];
  s.dV = y[8];
}

// Calls op(i) for each position i of a StateVector, unrolled: the
// integrators' arithmetic is the step's inner loop, and a rolled loop over
// nine doubles costs a fifth of a classic step.
template <class Op>
inline void for_each_quantity(Op&& op) {
  [&]<std::size_t... I>(std::index_sequence<I...>) { (op(I), ...); }(std::make_index_sequence<9>{});
}

// The positions in a StateVector of the quantities whose error the adaptive
// integrator controls: velocity and position (relative to the speed and the
// radius), and the thrust velocity. Mass, its flow, thrust and kick change
// linearly or quadratically in a step and carry no error.
inline constexpr std::size_t controlled[] = {0, 1, 2, 3, 8};
inline constexpr bool is_position(std::size_t i) { return i == 1 || i == 3; }

}  // namespace ascent
