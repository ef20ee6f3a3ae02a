// A launch vehicle as a sequence of stages, bottom first, with groups of
// strap-on boosters attached to a stage, and the mission it flies: any
// launcher from a two-stage rocket with no boosters to a core with boosters
// lit in the air. The classic description (boosters, core and an upper stage
// that coasts to apogee and circularises) is one such vehicle: staged_from()
// expresses it in this form. SI units; angles in degrees as written.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "vehicle/vehicle.hpp"

namespace ascent {

// How a stage's burn ends.
enum class BurnEnd {
  depletion,  // the propellant runs out
  time,       // at burn_time after ignition
  target,     // the target commands the cut-off (the last stage, or a stage guided to the transfer orbit)
};

// One engine's (one booster's) vacuum thrust against the time from its
// ignition, from a file of time and thrust points: straight lines between
// the points, rising from no thrust at the ignition to the first one (as the
// booster profile of the classic description does), none after the last.
// The flow follows the thrust at the engine's exhaust speed, so the burn
// ends where the propellant runs out or at the last point, whichever comes
// first; what is left then is carried to the separation.
struct ThrustProfile {
  std::string path;           // the file, as found from the description's folder
  std::vector<double> t, F;   // s, N: from the ignition's (0, 0) on (or the file's own point at 0)
  double thrust(double tb) const;            // N at tb after ignition
  double impulse(double tb) const;           // N s from the ignition to tb
  double time_of_impulse(double I) const;    // s at which the impulse reaches I; the last point's time if never
  double end() const { return t.back(); }    // s, the last point
  // N, the thrust as the engine comes up: at the first point with thrust.
  double rising() const;
};

// Strap-on boosters of one kind, lit together and jettisoned together.
struct BoosterGroup {
  int count = 0;                // boosters of the group
  double thrust = 0;            // N, one booster's vacuum thrust
  double exhaust_speed = 0;     // m/s, effective exhaust speed
  double exit_area = 0;         // m^2, one booster's nozzle exit area
  double mass = 0;              // kg, one booster with its propellant
  double propellant_mass = 0;   // kg, propellant of one booster
  double diameter = 0;          // m, body diameter (adds to the cross-section)
  double ignition_time = 0;     // s after lift-off; 0: lit on the pad
  double jettison_time = -1;    // s after lift-off; negative: at burn-out
  // The thrust from a file instead of `thrust` (null: constant thrust).
  std::shared_ptr<const ThrustProfile> profile;
};

struct StagedStage {
  std::string name;             // written in the events
  int engines = 1;              // engines of the stage
  double thrust = 0;            // N, one engine's vacuum thrust
  double exhaust_speed = 0;     // m/s, effective exhaust speed
  double exit_area = 0;         // m^2, one engine's nozzle exit area
  double propellant_mass = 0;   // kg, propellant at ignition
  double dry_mass = 0;          // kg, what remains of the stage when its burn ends, less unburnt propellant
  double diameter = 0;          // m, body diameter; 0: the stage below's
  BurnEnd burn_end = BurnEnd::depletion;
  double burn_time = 0;         // s, burn_end = time: the burn's length
  double separation_delay = 0;  // s, coast from cut-off to separation (and to the next stage's ignition)
  // Throttle schedule: the throttle from each time after ignition on (the
  // first entry at 0); empty: full thrust throughout.
  std::vector<double> throttle_times, throttle_levels;
  // Each engine's thrust from a file instead of `thrust` and a throttle
  // schedule (null: constant thrust).
  std::shared_ptr<const ThrustProfile> profile;
  std::vector<BoosterGroup> boosters;
};

// How the last stage reaches its target orbit.
enum class Injection {
  coast,   // burns to a transfer orbit whose apogee is the target's, coasts and circularises there
  direct,  // burns once, from its ignition to cut-off on the target orbit
  // The stage below the last burns to the transfer orbit and is cut off on
  // it; the last stage, carried there, burns only at the apogee to
  // circularise (a core with a small upper stage).
  transfer,
};

struct StagedMission {
  double latitude = 28.45;         // deg, launch site
  double longitude = -80.6;        // deg east, launch site: places the exported path on the globe only
  double inclination = 51.6;       // deg, target orbit; at least the latitude
  double perigee_altitude = 0;     // m, target orbit
  double apogee_altitude = 0;      // m, target orbit
  // The target given as elements instead (semi_major_axis above 0): the
  // apsides' altitudes follow from the Earth's radius where it is flown.
  double semi_major_axis = 0;      // m
  double eccentricity = 0;
  // deg, elliptic target: the perigee's angle from the launch site along the
  // flight plane (inertial), where the flight is asked to place it; < 0:
  // wherever the cut-off places it.
  double perigee_angle = -1;
  Injection injection = Injection::coast;
  double transfer_perigee = 150000;  // m, coast: the transfer orbit's perigee altitude
  // m, transfer: the altitude of the cut-off on the transfer orbit, climbing
  // from its perigee toward its apogee; at most the perigee's: at the perigee.
  double transfer_cutoff = 0;
  // The 3-D flight's site and plane (the planar flight needs only the
  // latitude and the inclination, and the exports the longitude above).
  double site_altitude = 0;        // m, the pad above the ellipsoid
  double node = -1;                // deg, right ascension of the target's ascending node; < 0: any
};

// Winds aloft, for the 3-D flight: east and north speeds of the air against
// altitude, linear between the points; none: still air.
struct WindTable {
  std::vector<double> altitude;  // m, increasing
  std::vector<double> east;      // m/s, toward the east
  std::vector<double> north;     // m/s, toward the north
};

// The programme through the dense air, then guidance.
struct StagedPlan {
  double pitch_over_altitude = 110;  // m, end of the vertical rise
  double pitch_rate = 1.3;           // deg/s, rate of the pitch-over and the pitch-back
  double pitch_time = 1;             // s, duration of each
  double guidance_cycle = 1;         // s, the steering solved again after this much flight
  // s after lift-off: from then on (once no booster group is attached) the
  // stages below the last are guided too, over all the stages still to
  // burn; 0: they fly the gravity turn to their burn-out.
  double guidance_takeover = 0;
  double hold_time = 8;              // s, time to cut-off below which the last steering is held
  double step = 0.25;                // s, integration step of the burns
  double coast_step = 5;             // s, integration step of the coast to apogee
};

// What a classic description sizes its spacecraft by after the flight:
// the rules, its upper stage as written (the nominal load, the stack above
// the core, the adaptor) and the fairing carried on that stack.
struct ClassicSizing {
  Sizing rules;
  UpperStage upper;
  double fairing_mass = 0;  // kg
};

struct StagedVehicle {
  std::string name;
  std::vector<StagedStage> stages;  // bottom first
  double fairing_mass = 0;           // kg
  double fairing_jettison_time = 0;  // s after lift-off
  double adaptor_mass = 0;           // kg, payload adaptor, flies to orbit with the payload
  double payload_mass = 0;           // kg
  DragLaw drag;                      // drag coefficient against Mach number on the largest cross-section
  // The world it flies in: the classic description's [earth] and
  // [atmosphere], read by the same keys; left out, the program's own Earth
  // and the 1976 standard atmosphere.
  EarthModel earth;
  AirModel atmosphere;
  StagedMission mission;
  StagedPlan plan;
  // Where the spent parts come down (booster groups, the stages below the
  // last, the fairing): [impact] as the classic description reads it; the
  // spent stages fall as its core stage does.
  ImpactModel impact;
  double dut1 = 0;  // s, UT1 - UTC: turns the Earth under the exported path
  // "planar" (the flight in one plane over a sphere) or "3d" (fly_3d).
  std::string dynamics = "planar";
  WindTable wind;
  // Set by staged_from: the spacecraft is sized from what the flight burnt.
  std::shared_ptr<const ClassicSizing> classic;
};

// The stage the target cuts off on its way to orbit: the last one, or the
// one below it when that stage carries the last to the transfer orbit.
inline std::size_t guided_stage(const StagedVehicle& v) {
  return v.mission.injection == Injection::transfer && v.stages.size() > 1 ? v.stages.size() - 2 : v.stages.size() - 1;
}

// kg, the stack at lift-off: every stage, booster, the fairing, the adaptor and the payload.
double liftoff_mass(const StagedVehicle& v);

// N, vacuum thrust of a stage's engines at full throttle (at ignition, for a
// stage with a thrust profile).
double stage_thrust(const StagedStage& z);

// s, the burn of a stage at full throttle until its propellant runs out (or
// its thrust profile ends).
double full_burn_time(const StagedStage& z);

// kg, the propellant a full burn of the stage burns: all it carries, or what
// its thrust profile burns before it ends.
double full_burn_propellant(const StagedStage& z);

// s, a booster group's burn from its ignition to its burn-out.
double group_burn_time(const BoosterGroup& g);

// The classic description in the staged form: the boosters as one group lit
// on the pad and jettisoned at their separation time, following the booster
// profile given (none: its mean thrust, the propellant it burns over the
// time to separation); the core's thrust against time its classic
// programme (core_thrust_schedule: the throttle-down to the acceleration
// limit and the engines' shut-downs), guided from the boosters' separation
// and cut off on the transfer orbit (injection "transfer"); the upper stage
// lit before the apogee and guided onto the circle; the classic Earth, air
// and site. The classic phases keep flying the classic description itself.
struct BoosterProfile;
StagedVehicle staged_from(const Description& d, const BoosterProfile* boosters = nullptr);

// What cannot fly: each fault with the key it is at ("stage.2.burn_time")
// and why; empty when the vehicle can be flown.
struct StagedProblem {
  std::string key;
  std::string what;
};
std::vector<StagedProblem> check_staged(const StagedVehicle& v);

}  // namespace ascent
