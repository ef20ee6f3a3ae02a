// Optimal control of a planar ascent: the steering as a free function of
// time, the flight's equations as constraints of a large sparse nonlinear
// programme (Hermite-Simpson collocation, one mesh per phase), solved by
// IPOPT. The problem is a value a staged vehicle fills: the Earth, the
// phases between the vehicle's events with what burns in each and what is
// dropped after it, and the target orbit.
#pragma once
#include <string>
#include <vector>

#include "equations.hpp"

namespace ascent {
struct StagedVehicle;
}

namespace ascent::control {

// One phase of powered flight, between two of the vehicle's events.
struct Phase {
  std::string name;
  Propulsion burn;
  double duration_min = 0, duration_max = 0;  // s; equal: a fixed duration
  double m_min = 0;      // kg, the lightest the vehicle may be in the phase (its propellant spent)
  double dropped = 0;    // kg, let go at the phase's end (spent boosters, a stage's dry mass)
  int intervals = 10;    // collocation intervals of the phase's mesh
  // The flight coasts from the phase's end to the apogee of its orbit, where
  // the next phase starts (the last stage lit again to circularise).
  bool coast_after = false;
};

// The orbit to reach, in the plane of flight: semi-major axis, eccentricity
// and the angle of the perigee measured from the launch site's inertial
// direction at lift-off, along the flight (a circular target leaves it free).
struct Target {
  double a = 0;        // m
  double e = 0;
  double perigee = 0;  // rad
};

// Limits along the path; zero: none. (An acceleration limit needs the
// throttle, which no phase has yet: with a fixed thrust and mass flow the
// acceleration is the phase's, whatever the steering.)
struct PathLimits {
  double q_max = 0;       // Pa, dynamic pressure
  double qalpha_max = 0;  // Pa rad, dynamic pressure times the angle of attack (as q sin alpha; either sign)
};

// A point of a flight's thrust pitch against time, the solver's first guess.
struct GuessPoint {
  double t;      // s since lift-off
  double pitch;  // rad above the local horizontal
};

struct Problem {
  std::string name;
  Environment earth;
  double m0 = 0;           // kg, mass at lift-off
  double t_vertical = 0;   // s, vertical rise after lift-off (0: none)
  std::vector<Phase> phases;
  Target target;
  // m, the radius of the perigee of the transfer orbit a coast starts on
  // (0: free): the mission's own transfer orbit, which also keeps the
  // optimum off the degenerate coast of a circular orbit.
  double transfer_rp = 0;
  PathLimits limits;
  double published = 0;    // kg, a published optimum of the same problem (0: none)
  // The steering to start from (the vehicle's guided flight), in time order;
  // empty: a pitch falling linearly to level through the air phases.
  std::vector<GuessPoint> guess;
};

// The Delta III transfer-orbit ascent (the published benchmark), planar:
// due east from 28.5 deg into the 28.5 deg orbit whose plane holds the site.
Problem delta3();

// The problem of a staged vehicle flying straight onto its target (direct
// injection) through an exponential air with one drag coefficient; what the
// transcription cannot take (a coast to apogee, the standard atmosphere, a
// drag table, a throttle schedule) stops with err_description, naming it.
// The vertical rise lasts until the description's pitch-over altitude, or
// is left out (rise false: the thrust free from lift-off on).
Problem problem_of(const StagedVehicle& v, bool rise = true);

// One point of the optimal flight.
struct Point {
  double t;      // s since lift-off
  double alpha;  // rad, thrust pitch above the local horizontal
  States<double> x;
  int phase;
};

struct Orbit {
  double a, e, perigee;  // m, -, rad (as Target)
  double m;              // kg
};
Orbit orbit_of(const Environment& e, const States<double>& x);

struct Solution {
  bool converged = false;
  std::string status;      // IPOPT's word on the finish
  int iterations = 0;
  double cpu_seconds = 0;  // of the solve
  std::vector<Point> points;  // nodes and midpoints, in time order
  Orbit final{};
  double defect_max = 0;      // largest collocation residual (scaled)
};

struct Options {
  int print_level = 0;    // IPOPT's
  double tol = 1e-9;
  int max_iter = 3000;
};

// Solves the problem from the flight of its guess steering integrated
// through the phases (or, without one, of a pitch programme tilting from
// vertical to horizontal).
Solution solve(const Problem& p, const Options& o = {});

// The steering of a solution as a table of (time, pitch) flown back through
// the core's fixed-step integrator (classic RK4 at `dt`), the pitch read
// quadratically within each collocation interval.
struct Replay {
  States<double> x;
  Orbit final;
};
Replay replay(const Problem& p, const Solution& s, double dt = 0.05);

// The gap in words: "the guided ascent carries X kg less than the optimum
// (Y %)" for what = "guided ascent" and its mass beside the optimum.
std::string gap_words(const std::string& what, double mass, double optimum);

// The rates of the scaled collocation problem for a test of its derivatives:
// the constraints and their Jacobian at z (dense, row-major), and the number of
// variables and constraints. z empty: the starting guess.
struct Linearised {
  std::vector<double> z, g, jac;
  int n = 0, m = 0;
};
Linearised linearise(const Problem& p, std::vector<double> z = {});
std::vector<double> constraints_at(const Problem& p, const std::vector<double>& z);

}  // namespace ascent::control
