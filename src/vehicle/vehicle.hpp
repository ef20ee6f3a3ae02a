// The launch vehicle and its mission as data: what an engineer writes down
// about the stages, the air they fly through and the flight plan. The phases
// read it; nothing here flies. SI units inside, angles as the description
// writes them (degrees), converted where they are used.
#pragma once
#include <string>
#include <vector>

namespace ascent {

// Strap-on solid boosters, all alike; their thrust comes from the profile.
struct Boosters {
  int count = 2;                        // boosters on the core
  double mass = 777003.8;               // kg, one booster with its propellant
  double propellant_mass = 680388.6;    // kg, propellant of one booster
  double exhaust_speed = 2756.6;        // m/s, effective exhaust speed
  double diameter = 5.2883;             // m, body diameter
  double area_correction = -0.038;      // m^2, added to each booster's cross-section
  double nozzle_exit_diameter = 3.8748; // m, one nozzle's exit diameter
  double separation_time = 130.2;       // s, separation after ignition
};

// The core stage: liquid engines throttled together, shut down one by one.
struct CoreStage {
  int engines = 4;                            // engines of the stage
  double engine_thrust = 2090664.0;           // N, one engine's vacuum thrust at throttle 1
  double exhaust_speed = 4420.8;              // m/s, effective exhaust speed
  double engine_exit_area = 4.1684283246977545;  // m^2, one engine's nozzle exit area
  double dry_mass = 111580.0;                 // kg, stage mass that does not burn
  double propellant_mass = 963328.0;          // kg, propellant at ignition
  double diameter = 8.4074;                   // m, body diameter
  double area_above = 2.073;                  // m^2, added at the top of the core for the stack above it
  double throttle_entry = 1.11;               // throttle from ignition to the acceleration limit
  double throttle_minimum = 0.65;             // lowest throttle; engines are shut down after it
  double throttle_step = 0.01;                // throttle change of one throttle-down step
  double throttle_step_time = 0.1;            // s, duration of one throttle-down step
  double shutdown_time = 6.7;                 // s, one engine's thrust falls to zero
  double separation_delay = 0.76;             // s, coast from cut-off to separation
};

// The payload fairing.
struct Fairing {
  double mass = 9707.0;           // kg
  double jettison_time = 330.0;   // s after ignition
};

// The upper stage and what it carries.
struct UpperStage {
  std::string engine = "AJ10-190";      // engine name in messages
  double thrust = 26689.0;              // N, vacuum thrust
  double exhaust_speed = 3071.4;        // m/s, effective exhaust speed
  double nozzle_exit_diameter = 1.168;  // m
  double propellant_mass = 3274.0;      // kg, propellant load of the burn
  double adaptor_mass = 1175.0;         // kg, adaptor left on the core side
  double stack_mass = 106794.0;         // kg, everything above the core at liftoff (fairing included)
};

// Drag coefficient against Mach number: straight lines between the points;
// two points at one Mach number make a jump (the transonic drag rise). Below
// the first point and above the last the coefficient stays constant.
struct DragLaw {
  std::vector<double> mach = {1.0, 1.0, 1.4, 2.0, 3.0, 5.0};
  std::vector<double> cd = {0.4, 0.8, 0.8, 0.69, 0.59, 0.55};
  // One coefficient at every Mach number in place of the points above; 0:
  // the points hold.
  double coefficient = 0;
  // m^2, the area the coefficient is taken on throughout the flight; 0: the
  // stack's cross-section, which shrinks as boosters and core leave.
  double reference_area = 0;
};

struct Vehicle {
  std::string name = "Orvalon 5";  // in the messages
  Boosters boosters;
  CoreStage core;
  Fairing fairing;
  UpperStage upper;
  DragLaw drag;
};

// Launch site, target orbit and the targets of the turn-time correction.
struct Target {
  double latitude = 28.45;                 // degrees, launch site
  double longitude = -80.6;                // degrees east, launch site: places the flight on the globe only
  // The 3-D flight's site and plane (model.dynamics "3d").
  double site_altitude = 0;                // m, the pad above the ellipsoid
  double node = -1;                        // degrees, right ascension of the ascending node; < 0: any
  double inclination = 51.6;               // degrees, target orbit
  double apogee_altitude = 398600.0;       // m, target orbit's apogee; the upper stage circularises there
  double perigee_climbing = 37000.0;       // m, perigee aimed at core separation while climbing
  double perigee_descending = 155000.0;    // m, the same while descending
  double ignition_factor = 1.0108;         // the upper stage ignites at apogee altitude / this factor
};

// The flight programme: vertical rise, pitch-over, turn, steering law.
struct FlightPlan {
  double pitch_over_altitude = 110.0;      // m, end of the vertical rise
  double pitch_rate = 1.3;                 // deg/s, rate of the pitch-over and pitch-back
  double pitch_time = 0.986832971065;      // s, duration of each; also the profile's longest interval
  double acceleration_limit = 39.23;       // m/s^2, thrust acceleration held by throttling
  double alpha_end = 0.00175;              // rad, angle of attack that ends the steering law
  double law_exponent = 2.0;               // exponent of the vertical-acceleration law
  double turn_time_max = 90.0;             // s, longest turn time a correction may recommend
  double turn_time_nudge = 0.1;            // s, correction when the secant step cannot be taken
};

// Sizing rules of the upper stage and the spacecraft from the flight.
struct Sizing {
  double adaptor_per_newton = 0.00030848416995166427;  // kg/N of the largest force on the core's top
  double rcs_per_kg = 0.00040668518679110434;  // kg of RCS propellant per kg of stage and spacecraft
  double reserve_dv = 0.01;                    // reserve as a share of the burn's delta-V
  int unusable = 23;                           // kg, unusable propellant
  double dry_constant = 135.0;                 // kg, dry-mass law: constant term
  double dry_coefficient = 1.135854604616308;  // dry-mass law: coefficient
  double dry_exponent = 0.848;                 // dry-mass law: exponent of the propellant mass
};

// How finely the flight is integrated.
struct Numerics {
  int substeps = 1;  // equal sub-steps in every step; the table keeps the steps
  // "adaptive": every step divided under error control, the coast in free
  // steps of an embedded pair (above 1000 km on its Keplerian arc); left out
  // (empty) or "fixed": the classic Runge-Kutta steps.
  std::string integrator;
  // "adaptive": the largest error per step, relative to the radius (position)
  // and the speed (velocity).
  double tolerance = 1e-9;
  // "located": each threshold of the flight (the pitch-over altitude, the end
  // of the vertical-acceleration law, the cut-offs at a speed, the coast's
  // end) located where the flight meets it, by root-finding within the step
  // that passes it; left out (empty) or "steps": met on the steps, as the
  // fixed steps meet it.
  std::string events;
};

// Who steers once the vehicle has left the dense atmosphere: the open-loop
// programme alone (the flight as it always was), or closed-loop guidance of
// the core stage to the transfer orbit and of the upper stage to the target
// orbit. Every key may be left out; a description without the table flies
// open loop.
struct Guidance {
  std::string mode = "open-loop";        // "open-loop" or "closed-loop"
  double takeover_pressure = 1000.0;     // Pa, guidance takes over below this dynamic pressure, after booster separation
  double cycle = 1.0;                    // s, the steering is solved again after this much flight time
  double insertion_altitude = 150000.0;  // m, altitude of the core's cut-off on the transfer orbit
  double hold_time = 8.0;                // s, time to cut-off below which the last solution is held
};

// The Earth's orientation, for placing an exported trajectory: UT1 - UTC
// (the IERS's DUT1) turns the Earth to its true angle at the epoch.
struct Model {
  double dut1 = 0;  // s, UT1 - UTC, below 0.9 s in size
  // "" or "planar": the classic flight in one plane; "3d": the description's
  // staged form flown in three dimensions over WGS 84 with J2 (fly_3d).
  std::string dynamics;
};

// The Earth of the flight: a sphere with inverse-square gravity turning at a
// constant rate. The defaults are the program's own (atmosphere/earth.hpp).
struct EarthModel {
  double mu = 3.986005e14;                              // m^3/s^2, gravitational parameter
  double radius = 6378165.0;                            // m, radius of the sphere; altitudes are above it
  double rotation_rate = 2 * 3.14159265358979323846 / 86164.09;  // rad/s, one turn per sidereal day
};

// The air: left out (empty), the U.S. Standard Atmosphere 1976; or
// "exponential", an isothermal atmosphere of the sea-level density and the
// scale height below.
struct AirModel {
  std::string model;
  double density = 1.225;       // kg/m^3, sea-level density (exponential)
  double scale_height = 7200.0; // m, the density falls by e over this height (exponential)
};

// How the parts dropped on the way up fall back to the ground: each one's
// ballistic coefficient m/(C_D S), which sets its fall through the air. Read
// only where impact points are written (the JSON and the trajectory exports).
// The defaults are the built-in vehicle's parts tumbling (C_D about 1.2 on
// the side of the body) and the fairing's halves, light shells of large area.
struct ImpactModel {
  double booster_beta = 3700.0;  // kg/m^2, one spent booster
  double core_beta = 1700.0;     // kg/m^2, the spent core stage
  double fairing_beta = 50.0;    // kg/m^2, one half of the fairing
};

// Winds aloft for the 3-D flight: east and north speeds of the air against
// altitude, straight lines between the points; none: still air.
struct Wind {
  std::vector<double> altitude;  // m, rising
  std::vector<double> east;      // m/s, toward the east
  std::vector<double> north;     // m/s, toward the north
};

struct Mission {
  Target target;
  FlightPlan plan;
  Sizing sizing;
  Numerics numerics;
  Guidance guidance;
  Model model;
  EarthModel earth;
  AirModel atmosphere;
  ImpactModel impact;
  Wind wind;
};

// The description asks for closed-loop guidance.
inline bool closed_loop(const Mission& m) { return m.guidance.mode == "closed-loop"; }

// A whole description: the vehicle, its mission, and where its booster
// profile comes from (empty: s1.dat in the working directory).
struct Description {
  Vehicle vehicle;
  Mission mission;
  std::string profile;  // as written in the description
  std::string origin;   // the file it was read from (empty: built in)
};

// The built-in vehicle and mission: the values above.
inline const Description& builtin_description() {
  static const Description d{};
  return d;
}

// Derived values, computed where they are needed from the base quantities.

// The square of a diameter written in decimals is itself a short decimal;
// take it to 12 significant digits, so that it is the value the engineer
// computes by hand and not the product's last binary digit.
double decimal_square(double d);

// m^2, cross-section of a body of diameter d.
double circle_area(double d);

// N, vacuum thrust of all core engines at a throttle setting.
inline double core_thrust(const CoreStage& c, double throttle) {
  return throttle * (c.engines * c.engine_thrust);
}

// Throttle-down steps from the entry throttle to the minimum.
int throttle_steps(const CoreStage& c);

}  // namespace ascent
