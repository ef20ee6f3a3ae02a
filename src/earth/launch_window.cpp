#include "earth/launch_window.hpp"

#include <erfa.h>

#include <algorithm>
#include <cmath>

#include "atmosphere/earth.hpp"
#include "earth/ballistic.hpp"

namespace ascent {

namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

constexpr double day_s = 86400.0;
// Sampling step of the search. Two crossings come close together only where
// the site's latitude nears the inclination (74 minutes apart at 0.3 degrees
// below it, the gap shrinking as the square root of the difference): a step of
// five minutes misses a pair only within about 0.002 degrees of grazing.
constexpr double search_step = 300.0;  // s

}  // namespace

SiteInSpace site_in_space(const Geodetic& site, PlaneFrame frame, long long day, double second, double dut1) {
  const TimeScales t = time_scales(day, second, dut1);
  Mat3 to_frame;
  if (frame == PlaneFrame::eme2000) {
    // r_eme = B Q^T R_3(ERA)^T r_itrs.
    to_frame = times(frame_bias(), transposed(times(earth_rotation(t), celestial_to_intermediate(t))));
  } else {
    // r_tod = R_3(-GAST) r_itrs: the true equinox lies GAST west of Greenwich.
    double r[3][3];
    eraIr(r);
    eraRz(-eraGst06a(t.ut11, t.ut12, t.tt1, t.tt2), r);
    for (int i = 0; i < 3; ++i) to_frame[i] = {r[i][0], r[i][1], r[i][2]};
  }
  const Mat3 ned = ned_axes(site.lat, site.lon);
  return {times(to_frame, wgs84_cartesian(site)), times(to_frame, ned[0]), times(to_frame, ned[1]), t.dubious};
}

std::vector<PlanePass> plane_passes(const Geodetic& site, const OrbitPlane& plane, long long day, double dut1) {
  // The plane's normal, along the orbit's angular momentum.
  const Vec3 n = {std::sin(plane.i) * std::sin(plane.raan), -std::sin(plane.i) * std::cos(plane.raan), std::cos(plane.i)};
  auto side = [&](double s) {
    const Vec3 r = site_in_space(site, plane.frame, day, s, dut1).r;
    return dot(n, r) / std::sqrt(dot(r, r));
  };
  std::vector<PlanePass> passes;
  double s0 = 0.0, g0 = side(s0);
  for (int k = 1; k * search_step <= day_s; ++k) {
    const double s1 = k * search_step, g1 = side(s1);
    if ((g0 < 0) != (g1 < 0)) {
      double lo = s0, hi = s1, glo = g0;
      while (hi - lo > 1e-6) {
        const double mid = 0.5 * (lo + hi), gm = side(mid);
        if ((gm < 0) == (glo < 0)) {
          lo = mid, glo = gm;
        } else {
          hi = mid;
        }
      }
      const double s = 0.5 * (lo + hi);
      const SiteInSpace x = site_in_space(site, plane.frame, day, s, dut1);
      // The orbit's direction of motion over the site: h x r.
      const Vec3 d = {n[1] * x.r[2] - n[2] * x.r[1], n[2] * x.r[0] - n[0] * x.r[2], n[0] * x.r[1] - n[1] * x.r[0]};
      const double dn = dot(d, x.north), de = dot(d, x.east);
      double az = std::atan2(de, dn);
      if (az < 0) az += 2 * std::acos(-1.0);
      passes.push_back({s, dn > 0, az, x.dubious});
    }
    s0 = s1, g0 = g1;
  }
  return passes;
}

double plane_change(const Geodetic& site, const OrbitPlane& plane, long long day, double second, double dut1) {
  const Vec3 r = site_in_space(site, plane.frame, day, second, dut1).r;
  const double rho = std::hypot(r[0], r[1]), alpha = std::atan2(r[1], r[0]);
  const double sin_i = std::sin(plane.i), cos_i = std::cos(plane.i);
  // A plane of inclination i and node W holds the site when
  // sin(W - alpha) = -cot(i) tan(phi): two nodes, one for each pass; past
  // the plane's reach, the one nearest to holding it.
  const double x = -cos_i * r[2] / std::max(sin_i * rho, 1e-300);
  const double w = std::asin(std::clamp(x, -1.0, 1.0));
  const Vec3 n = {sin_i * std::sin(plane.raan), -sin_i * std::cos(plane.raan), cos_i};
  double best = pi;
  for (const double node : {alpha + w, alpha + pi - w}) {
    const Vec3 m = {sin_i * std::sin(node), -sin_i * std::cos(node), cos_i};
    // The angle between the normals, from its sine and cosine: true to the
    // last bits near a pass too.
    const Vec3 c = {n[1] * m[2] - n[2] * m[1], n[2] * m[0] - n[0] * m[2], n[0] * m[1] - n[1] * m[0]};
    best = std::min(best, std::atan2(std::sqrt(dot(c, c)), dot(n, m)));
  }
  return best;
}

double ground_azimuth(double inertial, double v, double v_site) {
  const double a = std::atan2(v * std::sin(inertial) - v_site, v * std::cos(inertial));
  return a < 0 ? a + 2 * std::acos(-1.0) : a;
}

}  // namespace ascent
