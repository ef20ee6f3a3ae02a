// The Earth's orientation in space, through ERFA (the IAU's SOFA models in
// C): UTC to TT with the leap seconds, UT1 = UTC + DUT1, the Earth rotation
// angle and the IAU 2006/2000A precession-nutation, the frame bias from the
// GCRS to EME2000 (the mean equator and equinox of J2000.0), and the WGS 84
// ellipsoid. Polar motion is taken as zero: the terrestrial frame is the one
// of the celestial intermediate pole (it is ITRS to 0.5", about 15 m).
#pragma once
#include <array>

namespace ascent {

using Vec3 = std::array<double, 3>;
using Mat3 = std::array<Vec3, 3>;  // rows

Vec3 times(const Mat3& m, const Vec3& x);
Mat3 times(const Mat3& a, const Mat3& b);
Mat3 transposed(const Mat3& m);

// One UTC instant in the time scales of the Earth's orientation, each as a
// two-part Julian date.
struct TimeScales {
  double tt1, tt2;    // TT
  double ut11, ut12;  // UT1
  double tt_utc;      // s, TT - UTC at the instant
  // ERFA's leap-second table does not vouch for TAI - UTC at this date: the
  // year is before UTC (1960) or more than five years past the table's
  // release, where a leap second may have come that the table does not know.
  bool dubious;
};

// The instant `second` seconds into day `day` (days from 1970-01-01, UTC; the
// seconds may run past the day), with UT1 - UTC = `dut1` seconds.
TimeScales time_scales(long long day, double second, double dut1);

// The frame bias: GCRS to EME2000 (IAU 2006), r_eme2000 = B r_gcrs.
Mat3 frame_bias();

// GCRS to the terrestrial frame at the instant, r_itrs = R_3(ERA) Q r_gcrs
// (the CIO-based chain): Q the IAU 2006/2000A celestial-to-intermediate
// matrix, ERA the Earth rotation angle of UT1.
Mat3 celestial_to_intermediate(const TimeScales& t);  // Q
Mat3 earth_rotation(const TimeScales& t);             // R_3(ERA)

// GCRS to the true equator and equinox of date (IAU 2006/2000A, the bias
// included): the equinox-based chain's bias-precession-nutation matrix, the
// frame in which the Greenwich apparent sidereal angle is reckoned.
Mat3 true_of_date(const TimeScales& t);

// rad, Greenwich apparent sidereal time (IAU 2006/2000A): the angle from the
// true equinox of date to the Greenwich meridian, which turns a longitude in
// the Earth-fixed frame into a right ascension.
double greenwich_sidereal_angle(const TimeScales& t);

// WGS 84: the Earth-fixed cartesian (m) of a geodetic latitude and longitude
// (rad) and height above the ellipsoid (m), and back.
struct Geodetic {
  double lat, lon, h;  // rad, rad, m
};
Vec3 wgs84_cartesian(const Geodetic& g);
Geodetic wgs84_geodetic(const Vec3& x);

}  // namespace ascent
