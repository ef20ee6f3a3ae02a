// Launch windows: when a launch site passes under an orbit's plane.
//
// A plane through the Earth's centre, fixed in inertial space, is swept by
// the turning Earth; a site below its inclination's latitude crosses it twice
// a sidereal day, once where the orbit runs north (the ascending pass, a
// north-easterly launch for a prograde orbit) and once where it runs south
// (the descending pass, south-easterly). Launched at such an instant, the
// vehicle flies in the plane without turning out of it.
//
// The plane is given in one of two inertial frames. Of date: the true equator
// and equinox of the day (IAU 2006/2000A), the frame whose pole is the
// Earth's axis, to which the vehicle's inclination and J2's pull are
// referred, and in which the 3-D flight aims at a node (through Greenwich
// apparent sidereal time). Or EME2000 (the mean equator and equinox of
// J2000.0, the frame of the OEM export): its equator is tilted from today's
// by precession and nutation, so the same plane has a node and an
// inclination a few tenths of a degree apart in the two frames. The site is
// carried into either through ERFA (earth/frames.hpp): UT1 from UTC and
// DUT1, then Greenwich apparent sidereal time, or the Earth rotation angle,
// the precession-nutation and the frame bias to EME2000. Polar motion is
// neglected (15 m at the surface, a few milliseconds of crossing time).
#pragma once
#include <vector>

#include "earth/frames.hpp"

namespace ascent {

enum class PlaneFrame { of_date, eme2000 };

struct OrbitPlane {
  double i;     // rad, inclination to the frame's equator
  double raan;  // rad, right ascension of the ascending node in the frame
  PlaneFrame frame;
};

struct PlanePass {
  double second;   // s after 0h UTC of the day
  bool ascending;  // the orbit runs north over the site
  // rad from north towards east, of the plane's direction of motion at the
  // site, against the stars (the inertial azimuth).
  double azimuth;
  bool dubious;  // the instant is past what ERFA's leap-second table vouches for
};

// The site's position (m) in the frame at `second` seconds into day `day`
// (days from 1970-01-01, UTC), with UT1 - UTC = dut1 (s); north and east are
// the site's horizontal axes there (unit vectors of the geodetic horizon).
struct SiteInSpace {
  Vec3 r, north, east;
  bool dubious;
};
SiteInSpace site_in_space(const Geodetic& site, PlaneFrame frame, long long day, double second, double dut1);

// The instants of day `day` (from 0h UTC to the next 0h) at which the site's
// geocentric direction lies in the plane, in time order, each to a
// microsecond. None when the site's latitude is beyond the plane's reach
// (above the inclination of a prograde plane), and none where the site only
// grazes the plane (its latitude within about 0.002 degrees of the
// inclination, the two crossings then under five minutes apart).
std::vector<PlanePass> plane_passes(const Geodetic& site, const OrbitPlane& plane, long long day, double dut1);

// The plane change (rad) the plane asks of a launch from the site at
// `second` seconds into day `day`: the angle between the plane and the
// nearer of the two planes of its inclination through the site then (the
// ascending and the descending pass), the turn a vehicle launched at that
// instant must make out of the plane it can fly into unaided. Zero at a
// pass; for a site above the inclination's latitude, measured from the
// plane whose highest point is the site, the nearest it can fly.
double plane_change(const Geodetic& site, const OrbitPlane& plane, long long day, double second, double dut1);

// The azimuth over the ground (rad) of a launch that must leave the site at
// `inertial` azimuth with speed v (m/s, the orbit's speed at injection),
// the site moving east at v_site (m/s, the Earth's rotation there): the
// ground speed that the Earth's turn does not give.
double ground_azimuth(double inertial, double v, double v_site);

}  // namespace ascent
