#pragma once
#include <array>
#include <cstdint>
#include <stdexcept>

#include "atmosphere/earth.hpp"
#include "trajectory/integrators/pair_cache.hpp"
#include "trajectory/segment.hpp"
#include "trajectory/state.hpp"

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

// The one record of simulation variables that the trajectory step advances
// and the flight phases read and set between steps: the state, the segment
// the phase has set, the step's controls and results, the load stations and
// what the integrators and the air keep between steps. SI units; angles in
// rad.
struct FlightState : State, Segment {
  // The step's controls.
  double dt = 0;          // s, length of the next step (negative steps back)
  int substeps = 1;       // equal sub-steps of every step (numerics.substeps)
  // Relative error per step of the embedded Runge-Kutta pair that divides
  // every step when above zero (numerics.integrator = "adaptive"); zero: the
  // classic Runge-Kutta steps (and their sub-steps).
  double tolerance = 0;
  bool law_init = false;  // next mode-1 step captures cv first

  // The adaptive integrator's solution, carried with the flight it belongs
  // to (a copy of the flight flies on from it as the flight would).
  PairCache pair;

  // The angle-of-attack limit has held the thrust at least once: a flight
  // that never met it flies bit for bit alike under any larger limit.
  bool alpha_limited = false;

  // Results of the latest step.
  double a = 0;      // m/s^2, thrust acceleration (thrust after back-pressure / total mass)
  double vi = 0;     // m/s, inertial speed
  double alpha = 0;  // rad, angle of attack (thrust direction minus inertial path, without kick)
  double hp = 0;     // m, perigee altitude of the osculating orbit
  double ha = 0;     // m, apogee altitude of the osculating orbit
  double q = 0;      // Pa, dynamic pressure

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
  const Environment* air_env = nullptr;  // the environment it was looked up in
  double air_p = 0, air_rho = 0, air_a_s = 0;  // Pa, kg/m^3, m/s
};

}  // namespace ascent
