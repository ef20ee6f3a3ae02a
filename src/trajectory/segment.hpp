// What a phase sets for a stretch of flight and the equations of motion read
// at every stage: the rates that carry thrust, flow and kick on, the
// vehicle's constants of the stretch, the air's scale, the steering law and
// its constants. One value: the adaptive integrator reuses its solution
// exactly while the segment compares equal, so a field added here is part
// of that comparison without further ado.
#pragma once
#include <cstdint>

#include "atmosphere/environment.hpp"
#include "trajectory/drag.hpp"

namespace ascent {

// How the thrust is pointed during a step.
enum class Steering : std::int32_t {
  pitch_program = 0,  // along the air-relative path (or frozen off the inertial one) plus kick
  vertical_law = 1,   // the vertical-acceleration law, limited in angle of attack
  vacuum = 2,         // at kick off the inertial velocity, no air
  guided = 3,         // at the guidance's pitch plus kick above the local horizontal, through the air
};

struct Segment {
  double kick_rate = 0;  // rad/s, rate of kick
  double mddot = 0;      // kg/s^2, rate of mdot
  double Fdot = 0;       // N/s, rate of Fvac
  double Me = 0;         // kg, mass the step holds constant (structure, upper stages)
  double Ae = 0;         // m^2, nozzle exit area of the burning engines
  double Sref = 0;       // m^2, aerodynamic reference area
  double vrot = 0;       // m/s, surface speed of the Earth credited along the flight
  double rho_scale = 1;  // factor on the standard atmosphere's density (dispersions)
  const DragTable* drag = &builtin_drag_table();  // the vehicle's drag law
  // The Earth and the air: one value per flight, so that a flight's segments
  // compare equal in it.
  const Environment* env = &builtin_environment();

  // The steering law and its constants.
  Steering mode = Steering::pitch_program;
  bool follow_air = false;  // mode 0: thrust along the air-relative path plus kick
  // rad, mode 0 off the air path: the angle of attack held off the inertial
  // path (the one the thrust had when the path was left)
  double alpha_held = 0;
  double alpha_max = 0;  // rad, largest angle of attack of steering mode 1
  double kv = 0;         // exponent of the vertical-acceleration law of mode 1
  double cv = 0;         // (m/s^2)/(m/s)^kv, coefficient of the mode-1 law (captured by its first stage)
  // Mode 3: the thrust's pitch above the local horizontal at the step's
  // start; the kick, from zero, carries it through the step.
  double pitch = 0;  // rad

  bool operator==(const Segment&) const = default;
};

// The same segment but for the rates of kick, mass flow and thrust: the
// three enter only their own rates, so the rates at a state under one are
// those under the other with these three put in.
inline bool same_but_rates(const Segment& a, const Segment& b) {
  Segment x = b;
  x.kick_rate = a.kick_rate;
  x.mddot = a.mddot;
  x.Fdot = a.Fdot;
  return x == a;
}

}  // namespace ascent
