// Closed-loop guidance to a cut-off state: a planar form of the powered
// explicit guidance that steered the Space Shuttle (PEG, and its unified
// successor UPFG). The thrust direction follows the linearised linear-tangent
// law
//
//   u(t) = lambda + lambda_dot (t - t0 - t_lambda)   (then normalised)
//
// whose end conditions are solved from the current state every guidance
// cycle. The velocity to be gained fixes lambda and, through the thrust
// integrals L, J, S, Q of the stage's thrust history, the time to go; the
// altitude to be gained fixes lambda_dot across lambda; the down-range
// position at cut-off is left free.
//
// References: W. Jaggers, "An explicit solution to the exoatmospheric powered
// flight guidance and trajectory optimization problem for rocket propelled
// vehicles", AIAA 77-1051 (1977); R. McHenry, T. Brand, A. Long, B. Cockrell,
// J. Thibodeau, "Space Shuttle ascent guidance, navigation, and control",
// Journal of the Astronautical Sciences 27 (1979) 1-38; T. Brand, D. Brown,
// J. Higgins, "Space Shuttle GN&C equation document No. 24: Unified powered
// flight guidance", NASA CR-128600 (1973).
//
// The frame is the local one the flight is written in (x horizontal, y up,
// inertial velocities), taken as flat: the turning of the horizontal enters
// as the effective gravity mu/r^2 - vx^2/r and the horizontal term
// -vx vy / r, integrated along the path the previous solution predicts. In
// an inertial frame the same law would need the gravity vector's turn over
// the burn, which a weak upper stage's long burn (a quarter of a radian of
// arc) makes far larger than the velocity it gains; in the local frame the
// effective gravity is small and smooth. The angles are measured from the
// local horizontal.
#pragma once

#include <limits>
#include <span>

namespace ascent {

// The state the guidance steers to at cut-off.
struct CutoffTarget {
  double r;      // m, distance from the Earth's centre
  double v;      // m/s, inertial speed
  double gamma;  // rad, inertial flight-path angle
  double mu;     // m^3/s^2, the gravitational parameter of the Earth it is aimed over
};

// The stage's thrust history as the guidance predicts it: constant thrust
// from the present mass until the thrust acceleration reaches a_limit, then
// that acceleration held by throttling. A mass the stage sheds while it
// burns (a fairing) shortens tau by tau_drop from t_drop on: the same thrust
// then pushes less mass.
struct ThrustModel {
  double c;        // m/s, effective exhaust speed
  double tau;      // s, time to burn the whole present mass at the present flow: m / |mdot|
  double a_limit;  // m/s^2, acceleration held by throttling (infinite: none)
  double t_drop = std::numeric_limits<double>::infinity();  // s from now, when the mass is shed (infinite: none)
  double tau_drop = 0;  // s, the shed mass over |mdot|
  // m/s, the velocity the propellant left can give (infinite: unbounded).
  // No time to go is longer than its burn: a stage that cannot make its
  // target is steered as if it cut off where it runs dry.
  double L_max = std::numeric_limits<double>::infinity();
};

// The integrals of the thrust acceleration a(t) over the time to go T:
// L = int a, J = int a t, S = int int a, Q = int int a t.
struct ThrustIntegrals {
  double L, J, S, Q;
};
ThrustIntegrals thrust_integrals(const ThrustModel& m, double T);

// The time over which the model gives the velocity L (the inverse of
// thrust_integrals(m, T).L); infinite when it never does.
double time_to_gain(const ThrustModel& m, double L);

struct GuidanceSolution {
  double t0 = 0;                 // s, flight time of the solution
  double lx = 1, ly = 0;         // the unit thrust direction lambda (horizontal, vertical)
  double ldx = 0, ldy = 0;       // 1/s, its rate lambda_dot
  double t_lambda = 0;           // s after t0, where the direction is lambda
  double tgo = 0;                // s, time to go to cut-off
  double vgo = 0;                // m/s, velocity to be gained
};

// A stage still to burn, as the guidance sees a vehicle of several: its
// thrust model from its ignition (the burning stage's: from now), how long
// it burns (the burning stage's: from now; infinite, or the last stage's:
// until the cut-off) and the unpowered time after it before the next one
// lights (separation, ullage).
struct StageBurn {
  ThrustModel thrust;
  double burn = std::numeric_limits<double>::infinity();  // s
  double coast = 0;                                       // s
};

// The same over the stages still to burn, in order: the integrals summed
// over their burns (each shifted to its ignition), the time to go across
// them, the loss to turning over all of them. One stage burning to the
// cut-off gives the single stage's figures, bit for bit.
ThrustIntegrals thrust_integrals(std::span<const StageBurn> stages, double T);
double time_to_gain(std::span<const StageBurn> stages, double L);

// Solves the steering from radius r, inertial velocity (vx, vy) at flight
// time t to the target. `guess` is the previous solution (its time to go
// starts the iteration) or null. `passes` repeats the predictor-corrector
// within the call: a few at the first solution, one each cycle after.
GuidanceSolution solve_guidance(double t, double r, double vx, double vy, const CutoffTarget& target,
                                const ThrustModel& thrust, const GuidanceSolution* guess, int passes);
// The same for a vehicle that reaches the target across the stages still to
// burn (the multi-stage form of the law: one lambda and lambda_dot for the
// whole of them, the last stage cut off at the target).
GuidanceSolution solve_guidance(double t, double r, double vx, double vy, const CutoffTarget& target,
                                std::span<const StageBurn> stages, const GuidanceSolution* guess, int passes);

// The velocity the linear-tangent steering of g loses to its own turning
// over the time to go T from flight time t: the thrust points along lambda + lambda_dot k
// (normalised), so of its acceleration a only a / sqrt(1 + |lambda_dot k|^2)
// is along lambda. Integrated by Simpson's rule on the guidance's nodes.
double turning_loss(const ThrustModel& m, const GuidanceSolution& g, double t, double T);
double turning_loss(std::span<const StageBurn> stages, const GuidanceSolution& g, double t, double T);

// The thrust's pitch above the local horizontal at flight time t.
double guided_pitch(const GuidanceSolution& g, double t);

}  // namespace ascent
