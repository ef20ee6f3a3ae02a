// A point mass falling or coasting over a rotating Earth in three dimensions:
// the equations the jettisoned parts fall on, that impact points come from and
// that a 3-D flight adds its thrust to. The state is position and velocity in
// an Earth-centred inertial frame whose z axis is the Earth's axis and which
// coincides with the Earth-fixed frame at t = 0; the Earth turns about z at
// omega. Latitudes and altitudes are geodetic, on the model's ellipsoid.
#pragma once
#include <string>
#include <vector>

#include "earth/frames.hpp"

namespace ascent {

// The figure, gravity and spin of the Earth. A round Earth is an ellipsoid
// with f = 0 and J2 = 0: its geodetic latitude is the geocentric one and its
// gravitation is inverse-square.
struct Spheroid {
  double a;      // m, equatorial radius
  double f;      // flattening
  double mu;     // m^3/s^2, gravitational parameter
  double J2;     // second zonal harmonic
  double omega;  // rad/s, rotation rate
};

// WGS 84 with its J2 (EGM 96, unnormalised) and the rotation rate of the
// Earth against the stars.
Spheroid wgs84_earth();
// A sphere of radius R with inverse-square gravity, turning as WGS 84 does.
// The sphere of the ellipsoid's area (the authalic sphere) stands for a round
// Earth of the same size.
constexpr double authalic_radius = 6371007.1809;  // m
Spheroid round_earth(double R);

// Gravitation (no centrifugal term) of the oblate Earth at r, inertial or
// Earth-fixed alike since the field is axisymmetric about z (m/s^2).
Vec3 gravitation(const Spheroid& e, const Vec3& r);

// Earth-fixed cartesian of a geodetic point on the model's ellipsoid, and back.
Vec3 cartesian_of(const Spheroid& e, const Geodetic& g);
Geodetic geodetic_of(const Spheroid& e, const Vec3& r_ecef);

// Rotation from the Earth-fixed frame to the local north, east and down axes
// at a geodetic latitude and longitude (rows north, east, down).
Mat3 ned_axes(double lat, double lon);

// Winds aloft: east and north speeds of the air over the ground against
// geodetic altitude, linear between points and held beyond the first and last.
struct WindProfile {
  std::vector<double> h;      // m, increasing
  std::vector<double> east;   // m/s, toward the east (a wind from the west is > 0)
  std::vector<double> north;  // m/s, toward the north
  // Empty when the profile is usable, else why not.
  std::string fault() const;
  void at(double alt, double& v_east, double& v_north) const;
};

// What the air does to the body: m/(C_D S) (kg/m^2). Zero means no drag.
struct FallingBody {
  double beta;
};

// The 1976 standard atmosphere at the geometric altitude z (m) above the
// ellipsoid: pressure (Pa), density (kg/m^3) and speed of sound (m/s).
void standard_air(double z, double& p, double& rho, double& a_s);

// Inertial state.
struct InertialState {
  double t;  // s
  Vec3 r;    // m
  Vec3 v;    // m/s
};

// The velocity against the air of a body at r moving at v (inertial): the
// air turns with the Earth (omega x r) and blows as `wind` says at the
// height h along the local north and east, the rows of `ned` (ned_axes at
// the place's latitude and inertial longitude).
Vec3 air_velocity(const Spheroid& e, const WindProfile& wind, double h, const Mat3& ned, const Vec3& r,
                  const Vec3& v);

// The rates of the inertial state: gravitation plus drag on the velocity of
// the body against the air, which turns with the Earth and blows as `wind`
// says; the atmosphere is the 1976 standard at the geodetic altitude.
void ballistic_rates(const Spheroid& e, const FallingBody& b, const WindProfile& wind, const Vec3& r,
                     const Vec3& v, Vec3& dr, Vec3& dv);

// The Earth-fixed frame at t: r_ecef = rotation_to_fixed(e, t) r_eci.
Mat3 rotation_to_fixed(const Spheroid& e, double t);

// Inertial state at t of a body at a geodetic place (Earth-fixed) moving
// over the ground at north/east/down speeds v_ned (m/s).
InertialState inertial_of(const Spheroid& e, double t, const Geodetic& g, const Vec3& v_ned);
// Geodetic place and speeds over the ground (north, east, down) of a state.
void ground_of(const Spheroid& e, const InertialState& s, Geodetic& g, Vec3& v_ned);

// Classic RK4 from s for `duration` seconds with steps of dt (the last one
// shortened to end there), or of dt_high where a step starts above high_air
// and dt_high is the longer; every step's state is kept, the first included.
// With stop_at_ground the flight ends where the geodetic altitude crosses
// zero downward, found by bisection of the last step's length (to 1 us).
constexpr double high_air = 120e3;  // m, above it the air is too thin to ask for short steps
std::vector<InertialState> fly_ballistic(const Spheroid& e, const FallingBody& b, const WindProfile& wind,
                                         const InertialState& s, double duration, double dt,
                                         bool stop_at_ground, double dt_high = 0.0);

// Where a body released in the state s comes to the ground (altitude 0 above
// the ellipsoid): geodetic place and the time of fall. Falls longer than
// max_s are cut there (the place is then the one at max_s, above the ground).
// Steps are dt, and high_step above high_air: there a step of 10 s stays
// within centimetres over an orbit (measured: 1.6 cm after 5400 s of a low
// orbit, against steps of 0.5 s).
struct Impact {
  Geodetic where;  // rad, rad, m
  double t;        // s, time from the release
  bool reached;    // false when max_s passed first
};
Impact impact_point(const Spheroid& e, const FallingBody& b, const WindProfile& wind, const InertialState& s,
                    double dt = 0.5, double max_s = 7200.0);
constexpr double high_step = 10.0;  // s

}  // namespace ascent
