#include "earth/frames.hpp"

#include <erfa.h>
#include <erfam.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace ascent {

Vec3 times(const Mat3& m, const Vec3& x) {
  Vec3 y;
  for (int i = 0; i < 3; ++i) y[i] = m[i][0] * x[0] + m[i][1] * x[1] + m[i][2] * x[2];
  return y;
}

Mat3 times(const Mat3& a, const Mat3& b) {
  Mat3 c;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) c[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
  }
  return c;
}

Mat3 transposed(const Mat3& m) {
  Mat3 t;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) t[i][j] = m[j][i];
  }
  return t;
}

namespace {

Mat3 from_erfa(const double r[3][3]) {
  Mat3 m;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) m[i][j] = r[i][j];
  }
  return m;
}

// ERFA refuses only what the callers have checked before (a date the
// calendar has, a time of day below 24 h): a refusal here is a fault of the
// program, named with the routine and its status.
void check(int status, const char* routine) {
  if (status < 0) throw std::logic_error(std::string("ERFA ") + routine + " refused its input, status " + std::to_string(status));
}

}  // namespace

TimeScales time_scales(long long day, double second, double dut1) {
  // The civil date of the day and the time of day, through ERFA's calendar
  // (2440587.5 is the Julian date of 1970-01-01 0h).
  double whole = std::floor(second / 86400);
  double s = second - whole * 86400;
  if (s < 0) whole -= 1, s += 86400;  // the quotient rounded up
  if (s >= 86400) whole += 1, s -= 86400;
  int iy, im, id;
  double fd;
  check(eraJd2cal(2440587.5, static_cast<double>(day) + whole, &iy, &im, &id, &fd), "jd2cal");
  const int ih = static_cast<int>(s / 3600), imin = static_cast<int>((s - ih * 3600.0) / 60);
  double utc1, utc2;
  // Dtf2d takes the second of a minute; a time of day rounded to 86400 s is
  // the next day's midnight, which it accepts as 23:59:60.
  int st = eraDtf2d("UTC", iy, im, id, ih, imin, s - ih * 3600.0 - imin * 60.0, &utc1, &utc2);
  check(st, "dtf2d");
  bool dubious = (st & 1) != 0;  // 2 (a second past the minute's end) cannot come
  double tai1, tai2;
  st = eraUtctai(utc1, utc2, &tai1, &tai2);
  check(st, "utctai");
  dubious = dubious || st == 1;
  TimeScales t{};
  check(eraTaitt(tai1, tai2, &t.tt1, &t.tt2), "taitt");
  st = eraUtcut1(utc1, utc2, dut1, &t.ut11, &t.ut12);
  check(st, "utcut1");
  t.dubious = dubious || st == 1;
  t.tt_utc = ((t.tt1 - utc1) + (t.tt2 - utc2)) * 86400;
  return t;
}

Mat3 frame_bias() {
  double rb[3][3], rp[3][3], rbp[3][3];
  eraBp06(ERFA_DJ00, 0, rb, rp, rbp);  // the bias does not depend on the date
  return from_erfa(rb);
}

Mat3 celestial_to_intermediate(const TimeScales& t) {
  double rc2i[3][3];
  eraC2i06a(t.tt1, t.tt2, rc2i);
  return from_erfa(rc2i);
}

Mat3 true_of_date(const TimeScales& t) {
  double rbpn[3][3];
  eraPnm06a(t.tt1, t.tt2, rbpn);
  return from_erfa(rbpn);
}

Mat3 earth_rotation(const TimeScales& t) {
  double r[3][3];
  eraIr(r);
  eraRz(eraEra00(t.ut11, t.ut12), r);
  return from_erfa(r);
}

double greenwich_sidereal_angle(const TimeScales& t) { return eraGst06a(t.ut11, t.ut12, t.tt1, t.tt2); }

Vec3 wgs84_cartesian(const Geodetic& g) {
  double x[3];
  check(eraGd2gc(ERFA_WGS84, g.lon, g.lat, g.h, x), "gd2gc");
  return {x[0], x[1], x[2]};
}

Geodetic wgs84_geodetic(const Vec3& x) {
  double xyz[3] = {x[0], x[1], x[2]};
  Geodetic g;
  check(eraGc2gd(ERFA_WGS84, xyz, &g.lon, &g.lat, &g.h), "gc2gd");
  return g;
}

}  // namespace ascent
