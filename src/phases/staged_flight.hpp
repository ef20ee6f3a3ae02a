// The flight of a staged vehicle: the vertical rise, the pitch-over and the
// gravity turn through the dense air for every stage but the last, booster
// groups lit and jettisoned at their times, each stage's burn and separation,
// the fairing's jettison; the last stage guided by the closed-loop guidance
// either straight onto the target orbit (direct injection) or onto a
// transfer orbit whose apogee is the target's, then coasting there and
// circularising.
#pragma once
#include <string>
#include <vector>

#include "atmosphere/environment.hpp"
#include "trajectory/step_record.hpp"
#include "vehicle/staged.hpp"

namespace ascent {

struct StagedEvent {
  double t;          // s after lift-off
  std::string name;  // "first stage: burn-out", ...
  double h;          // m, altitude
  double v;          // m/s, inertial speed
  double m;          // kg, mass after the event
};

// What a burn did: the mass it began and ended with, the velocity its
// vacuum thrust gave (the integral of F/m), and whether it burned alone at
// one exhaust speed (the rocket equation then holds for it exactly).
struct StagedBurn {
  std::string stage;
  double t0 = 0, t1 = 0;  // s
  double m0 = 0, m1 = 0;  // kg
  double dv = 0;          // m/s
  double exhaust_speed = 0;  // m/s, of the burn when it burned alone
  bool alone = false;
};

// A mass leaving the stack: what the flight took off, and what the
// description says leaves (structure and any propellant left unburnt).
struct StagedDrop {
  std::string what;
  double t = 0;        // s
  double before = 0;   // kg, stack mass before
  double after = 0;    // kg, and after
  double expected = 0; // kg, what the description says leaves
};

struct StagedResult {
  bool reached = false;   // cut off on the target orbit (and circularised, for a coast)
  std::string failure;    // why not
  std::vector<StagedEvent> events;
  std::vector<StagedBurn> burns;
  std::vector<StagedDrop> drops;
  double t = 0;           // s, end of the flight
  double r = 0, vx = 0, vy = 0;  // m, m/s: the final state (inertial horizontal and vertical speed)
  double hp = 0, ha = 0;  // m, final orbit's perigee and apogee altitudes
  double perigee_angle = 0;  // deg, the final orbit's perigee from the launch site along the plane (inertial)
  double mass = 0;        // kg, final mass in orbit
  double liftoff_mass = 0;   // kg
  // s after lift-off, the last stage's cut-off as the guidance foresaw it at
  // its takeover below the last stage (0: no takeover)
  double foreseen_cutoff = 0;
  long steps = 0;
};

// Flies the vehicle; observers see every step.
StagedResult fly_staged(const StagedVehicle& v, const StepObservers& observers = {});

// m, the target orbit's perigee and apogee altitudes, from its elements
// where it is given by them, above the sphere of radius Re (m).
struct TargetApsides {
  double hp, ha;
};
TargetApsides target_apsides(const StagedMission& m, double Re);

// The point at radius r (m) of the orbit of perigee and apogee radii rp and
// ra, climbing from the perigee: its radius, vis-viva's speed and its
// flight-path angle, as the guidance's cut-off target (r at most ra).
struct CutoffTarget;
CutoffTarget transfer_cutoff_point(double rp, double ra, double r, double mu);

// The launch site's rotation credited to the flight along the launch
// azimuth (m/s): the eastward surface speed times the sine of the azimuth
// whose plane has the target's inclination (a due-east launch when the
// inclination equals the latitude).
double staged_vrot(const StagedMission& m, const Environment& env);

}  // namespace ascent
