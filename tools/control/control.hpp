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
struct Description;
struct BoosterProfile;
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
  // kg, the mass the next phase starts with, whatever this one ends with
  // (0: this one's less what is dropped): an upper stage flown at its own
  // loaded mass once the core below it has gone.
  double mass_after = 0;
  // The orbit the phase cuts off on: the radius of the cut-off (m) and the
  // orbit's perigee and apogee radii (m); 0: free.
  double cut_r = 0, cut_rp = 0, cut_ra = 0;
  // The mass above the core's top (kg) and the area its drag acts on (m^2)
  // while the phase loads it; 0: the phase does not (see Sizing).
  double top_mass = 0, top_area = 0;
  double m_max = 0;  // kg, the heaviest the vehicle may be in the phase (0: its lift-off mass)
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

// The spacecraft's mass as the vehicle sizes it from its flight, the
// objective where the vehicle has one: the core's propellant left at its
// cut-off and the stack above it make the upper stage and spacecraft, less
// the adaptor (sized from the largest axial force on the core's top), the
// propellant of the upper stage's burn, its reserve for one more share of
// that burn's delta-V, its reaction-control propellant, what cannot be
// burnt and its dry mass (a power law of all the propellant it carries).
struct Sizing {
  bool active = false;
  int cut_phase = 0;        // the phase whose end is the core's cut-off
  double t_cut = 0;         // s, the cut-off of the flight the solver starts from
  double core_rest = 0;     // kg, what is not core propellant at the cut-off (core dry mass and the stack above)
  double top = 0;           // kg, the stack above the core after the fairing has gone
  double upper_loaded = 0;  // kg, the upper stage as it is lit
  double ve_upper = 0;      // m/s, its exhaust speed
  double adaptor_per_newton = 0, rcs_per_kg = 0, reserve_dv = 0, unusable = 0;
  double dry_constant = 0, dry_coefficient = 0, dry_exponent = 0;
  double Fscale = 1e6;      // N, the unit of the largest force in the programme
};

// kg, the spacecraft's mass from the mass at the core's cut-off, the upper
// stage's at its burn's end and the largest force on the core's top (N).
template <class T>
T spacecraft_mass(const Sizing& z, const T& m_cut, const T& m_end, const T& F_top) {
  using std::exp, std::log;
  const T Mad = F_top * z.adaptor_per_newton;
  const T Mstack = m_cut - z.core_rest + z.top - Mad;
  const T Mrcs = Mstack * z.rcs_per_kg;
  const T Mused = z.upper_loaded - m_end;
  // The reserve: (1 - exp(-k dV / ve)) of the mass left, dV = ve ln(m0 / m1).
  const T Mres = (Mstack - Mused - Mrcs) * (1.0 - exp(-z.reserve_dv * log(z.upper_loaded / m_end)));
  const T Mtot = Mres + Mused + Mrcs + z.unusable;
  const T Mdry = z.dry_constant + z.dry_coefficient * exp(z.dry_exponent * log(Mtot));
  const T Mcut = Mres + Mdry + Mrcs + z.unusable;
  return Mstack - Mcut - Mused;
}

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
  double t0 = 0;           // s, lift-off on the vehicle's clock (its engines lit on the pad before)
  Sizing sizing;           // the objective: the spacecraft's mass where active, else the final mass
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

// The problem of a classic description (boosters on their profile, the core
// on its thrust schedule, an upper stage coasting to apogee and
// circularising), the spacecraft's mass its objective; profile: the
// boosters' thrust against time.
// The cut-off lies in the piece of the schedule holding t_cut (s).
Problem problem_of(const Description& d, const BoosterProfile& profile, double t_cut);

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
  double objective = 0;    // kg, the spacecraft's mass where the problem sizes it, else the final mass
  double top_force = 0;    // N, the largest force on the core's top (sized problems)
  double cut_mass = 0;     // kg, the mass at the core's cut-off (sized problems)
  double cut_time = 0;     // s, its time
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
  // Sized problems: the spacecraft's mass from the replay's own cut-off
  // mass, final mass and largest force on the core's top.
  double objective = 0;
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
