#include "earth/orbit_elements.hpp"

#include <cmath>
#include <limits>

namespace ascent {

namespace {

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// An angle into [0, 2 pi).
double turn(double x) {
  constexpr double two_pi = 2 * 3.14159265358979323846;
  x = std::fmod(x, two_pi);
  return x < 0 ? x + two_pi : x;
}

}  // namespace

OrbitElements osculating_elements(double mu, const Vec3& r, const Vec3& v) {
  const double rn = std::sqrt(dot(r, r)), v2 = dot(v, v);
  const Vec3 h = cross(r, v);
  const double hn = std::sqrt(dot(h, h));
  // The eccentricity vector points at the perigee.
  const Vec3 vh = cross(v, h);
  Vec3 ev;
  for (int k = 0; k < 3; ++k) ev[k] = vh[k] / mu - r[k] / rn;
  OrbitElements o;
  o.a = 1 / (2 / rn - v2 / mu);
  o.e = std::sqrt(dot(ev, ev));
  o.i = std::atan2(std::hypot(h[0], h[1]), h[2]);
  // The node line: z x h, toward the ascending node.
  const double nx = -h[1], ny = h[0];
  const double nn = std::hypot(nx, ny);
  const bool equatorial = nn <= 1e-12 * hn;
  o.raan = equatorial ? 0.0 : turn(std::atan2(ny, nx));
  // Angles in the plane from the node line n, with m = h x n / |h x n| the
  // direction 90 degrees ahead of it along the motion.
  const Vec3 n = equatorial ? Vec3{1, 0, 0} : Vec3{nx / nn, ny / nn, 0};
  Vec3 m = cross(h, n);
  const double mn = std::sqrt(dot(m, m));
  for (double& x : m) x /= mn;
  auto angle = [&](const Vec3& x) { return std::atan2(dot(x, m), dot(x, n)); };
  const double u = angle(r);  // argument of latitude
  const bool circular = o.e <= 1e-12;
  o.argp = circular ? 0.0 : turn(angle(ev));
  o.nu = turn(u - o.argp);
  o.rp = o.a * (1 - o.e);
  o.ra = o.e < 1 ? o.a * (1 + o.e) : std::numeric_limits<double>::infinity();
  return o;
}

}  // namespace ascent
