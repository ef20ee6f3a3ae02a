#pragma once
#include <array>
#include <cstdint>
#include <stdexcept>

#include "atmosphere/earth.hpp"
#include "trajectory/drag.hpp"

namespace ascent {

// Values at the load stations 1 to 3 (bottom of the vehicle upwards). Indexed
// as the stations are numbered; an index outside 1..3 throws instead of
// reading a neighbour's value.
class StationArray {
 public:
  double& operator[](int i) { return v_.at(check(i)); }
  double operator[](int i) const { return v_.at(check(i)); }

 private:
  static std::size_t check(int i) {
    if (i < 1 || i > 3) throw std::out_of_range("load station index");
    return static_cast<std::size_t>(i - 1);
  }
  std::array<double, 3> v_{};
};

// How the thrust is pointed during a step.
enum class Steering : std::int32_t {
  pitch_program = 0,  // along the air-relative path (or frozen off the inertial one) plus kick
  vertical_law = 1,   // the vertical-acceleration law, limited in angle of attack
  vacuum = 2,         // at kick off the inertial velocity, no air
  guided = 3,         // at the guidance's pitch plus kick above the local horizontal, through the air
};

// The one record of simulation variables that the trajectory step advances
// and the flight phases read and set between steps. SI units; angles in rad.
struct FlightState {
  // Integrated quantities.
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

  // Rates and vehicle parameters, constant through a step.
  double dt = 0;         // s, length of the next step (negative steps back)
  double kick_rate = 0;  // rad/s, rate of kick
  double mddot = 0;      // kg/s^2, rate of mdot
  double Fdot = 0;       // N/s, rate of Fvac
  double Me = 0;         // kg, mass the step holds constant (structure, upper stages)
  double Ae = 0;         // m^2, nozzle exit area of the burning engines
  double Sref = 0;       // m^2, aerodynamic reference area
  double vrot = 0;       // m/s, surface speed of the Earth credited along the flight
  double alpha_max = 0;  // rad, largest angle of attack of steering mode 1
  double kv = 0;         // exponent of the vertical-acceleration law of mode 1
  const DragTable* drag = &builtin_drag_table();  // the vehicle's drag law
  int substeps = 1;       // equal sub-steps of every step (numerics.substeps)
  // Relative error per step of the embedded Runge-Kutta pair that divides
  // every step when above zero (numerics.integrator = "adaptive"); zero: the
  // classic Runge-Kutta steps (and their sub-steps).
  double tolerance = 0;
  double h_pair = 0;      // s, the pair's proposal for its next sub-step (0: none yet)
  // The adaptive integrator's last solution: from t0 to t1 (equal: a point,
  // where a step landed), its end state and the rates there, the
  // coefficients of its continuous extension, the parameters it was flown
  // with and the state last handed to the phase. While the phase changes
  // neither that state nor a rate or a parameter, its next steps are read
  // off this solution, carried on in long steps, instead of flown anew.
  struct Arc {
    bool kept = false;
    double t0 = 0, t1 = 0;
    std::array<double, 9> y0{}, y1{}, k1{};
    std::array<std::array<double, 9>, 4> dense{};
    std::array<double, 14> parameters{};
    std::array<double, 9> handed{};
    double t_handed = 0;
  } arc;
  double rho_scale = 1;  // factor on the standard atmosphere's density (dispersions)

  // Steering controls.
  Steering mode = Steering::pitch_program;
  bool law_init = false;  // next mode-1 step captures cv first
  bool follow_air = false;  // mode 0: thrust along the air-relative path plus kick
  // The angle-of-attack limit has held the thrust at least once: a flight
  // that never met it flies bit for bit alike under any larger limit.
  bool alpha_limited = false;

  // Results of the latest step.
  double a = 0;      // m/s^2, thrust acceleration (thrust after back-pressure / total mass)
  double vi = 0;     // m/s, inertial speed
  double alpha = 0;  // rad, angle of attack (thrust direction minus inertial path, without kick)
  double hp = 0;     // m, perigee altitude of the osculating orbit
  double ha = 0;     // m, apogee altitude of the osculating orbit
  double cv = 0;     // (m/s^2)/(m/s)^kv, coefficient of the mode-1 law
  double q = 0;      // Pa, dynamic pressure

  // Mode 3: the thrust's pitch above the local horizontal at the step's
  // start; the kick, from zero, carries it through the step.
  double pitch = 0;  // rad

  // Load stations.
  std::int16_t nst = 0;           // number of load stations in use (at most 3)
  StationArray Mst;               // kg, mass carried above station i
  StationArray Sst;               // m^2, reference area above station i
  StationArray Fst_max;           // N, largest axial force at station i
  StationArray t_Fst_max;         // s, its time

  // Phase bookkeeping, never touched by the step.
  double tleft = 0;  // s, time left in the current flight segment

  // The last atmosphere look-up, by the bits of its altitude: a step's first
  // Runge-Kutta stage starts from the state the previous step ended on and
  // evaluated, so the same altitude is looked up twice in a row. The
  // atmosphere is a function of the altitude alone, so the numbers kept are
  // the numbers a new look-up would give.
  bool air_kept = false;         // a look-up is kept
  bool air_p_kept = false;       // with its pressure (left out, as 0, where no nozzle needs it)
  std::uint64_t air_h_bits = 0;  // the bits of its altitude (m)
  double air_p = 0, air_rho = 0, air_a_s = 0;  // Pa, kg/m^3, m/s
};

}  // namespace ascent
