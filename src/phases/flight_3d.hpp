// The flight of a staged vehicle in three dimensions: position and velocity
// in an Earth-centred inertial frame over the turning WGS 84 Earth with its
// J2, the atmosphere turning with the Earth and blowing as the winds aloft
// say, the site a geodetic place, the thrust steered in pitch and yaw. The
// programme is the planar flight's (vertical rise, pitch-over, gravity turn
// along the velocity over the ground) flown in the launch azimuth the target
// plane asks for; the guidance is the planar one solved in the target plane
// for the pitch, with a yaw law that brings the plane's normal to the
// target's (the inclination, and the node when one is asked for).
//
// The frame is ballistic.hpp's inertial one: the Earth-fixed frame at
// lift-off, z along the axis and x through the Greenwich meridian; a right
// ascension is then an angle from x plus the Greenwich sidereal angle at
// lift-off, theta0.
#pragma once
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "earth/ballistic.hpp"
#include "earth/orbit_elements.hpp"
#include "phases/staged_flight.hpp"
#include "vehicle/staged.hpp"

namespace ascent {

// Where and when the vehicle flies, beside what its description says.
struct World3d {
  Spheroid earth = wgs84_earth();
  WindProfile wind;      // none: still air turning with the Earth
  Geodetic site{0, 0, 0};  // rad, rad, m: the pad on the ellipsoid
  // rad, the Greenwich sidereal angle at lift-off: right ascensions are
  // angles from the frame's x axis plus theta0.
  double theta0 = 0;
  // rad, right ascension of the target plane's ascending node; NaN: any
  // node (the plane of the target's inclination through the site, on its
  // north-going pass).
  double node = std::numeric_limits<double>::quiet_NaN();
};

// The world a staged vehicle's description asks for: its site (latitude,
// longitude, altitude), winds, target node; theta0 is the caller's (from
// the epoch).
World3d world_of(const StagedVehicle& v, double theta0);

struct Flight3dResult {
  bool reached = false;  // cut off on the target orbit (and circularised, for a coast)
  std::string failure;   // why not
  std::vector<StagedEvent> events;  // altitude geodetic, speed inertial
  std::vector<StagedDrop> drops;
  InertialState final{0, {0, 0, 0}, {0, 0, 0}};  // at the end of the flight
  double mass = 0;          // kg, final mass in orbit
  double liftoff_mass = 0;  // kg
  OrbitElements osculating{};  // of the final state, raan a right ascension (theta0 added)
  // Of the state at the guided cut-off, where the guidance puts the plane:
  // J2 turns the node back from there over a coast (by 0.15 deg over half
  // a low orbit at 51.6 deg).
  OrbitElements at_cutoff{};
  double hp = 0, ha = 0;    // m, osculating apsides' altitudes above the equatorial radius
  long steps = 0;
  // The largest axial load on the first stage's top over its burn (the
  // drag on the top's cross-section and the thrust acceleration of the
  // mass above, fairing included while carried), and the thrust
  // acceleration it came at.
  double top_load = 0;               // N
  double top_load_acceleration = 0;  // m/s^2
};

// Each step's state, with the mass (kg) after it; for a trajectory.
using Step3dObserver = std::function<void(const InertialState&, double mass)>;

// deg, the largest miss of the target's inclination a flight that ends on
// the orbit's size may have and still have reached it.
inline constexpr double inclination_tolerance_deg = 0.1;

// Flies the vehicle over the world.
Flight3dResult fly_3d(const StagedVehicle& v, const World3d& w, const Step3dObserver& observer = {});

}  // namespace ascent
