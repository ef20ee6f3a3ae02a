#pragma once
#include <cmath>
#include <string>

#include "session/session.hpp"
#include "io/number_format.hpp"
#include "trajectory/trajectory_step.hpp"

namespace ascent {

// One trajectory step with the session's current dt.
inline void step(Session& S) { trajectory_step(S.fs, S.out); }

// Searches that repeat steps until a comparison turns true would never end on
// a state the comparison cannot settle (a vehicle flown into the ground ends
// in infinities and NaN). Each is bounded: by this many steps, and by a test
// that both sides of its comparison are still finite.
constexpr long max_search_steps = 100000;
// The rocket-equation trims at the end of a burn converge in a few steps;
// past this many the burn carries on as if converged.
constexpr long max_trim_steps = 1000;

inline bool finite2(double a, double b) { return std::isfinite(a) && std::isfinite(b); }

// The orbit line shared by the core and third-stage reports:
// perigee, apogee, average altitude plus-or-minus its deviation, in km.
inline void write_orbit_line(Session& S) {
  const FlightState& s = S.fs;
  S.h_avg = (s.ha + s.hp) / 2;
  S.h_dev = s.ha - S.h_avg;
  std::string line = "Perigee = ";
  append_real(line, s.hp / 1000, 5, 1);
  line += " km, Apogee = ";
  append_real(line, s.ha / 1000, 5, 1);
  line += " km, Average Altitude = ";
  append_real(line, S.h_avg / 1000, 5, 1);
  line += static_cast<char>(S.ch_pm);
  append_real(line, S.h_dev / 1000, 3, 1);
  line += " km";
  S.main->line(line);
}

}  // namespace ascent
