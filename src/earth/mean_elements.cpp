#include "earth/mean_elements.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace ascent {

namespace {

constexpr double two_pi = 6.283185307179586476925;

double wrapped(double x) {
  x = std::fmod(x, two_pi);
  return x < 0 ? x + two_pi : x;
}

double dot(const Vec3& a, const Vec3& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }
Vec3 cross(const Vec3& a, const Vec3& b) {
  return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

// Kepler's equation M = E - e sin E by Newton from E = M + e sin M, then the
// true anomaly. Orbits after injection have e well below 0.5, where this
// converges in a handful of steps.
double true_anomaly(double M, double e) {
  double E = M + e * std::sin(M);
  for (int k = 0; k < 30; ++k) {
    const double dE = (E - e * std::sin(E) - M) / (1 - e * std::cos(E));
    E -= dE;
    if (std::abs(dE) < 1e-15) break;
  }
  return std::atan2(std::sqrt(1 - e * e) * std::sin(E), std::cos(E) - e);
}

// Brouwer's short-period terms of J2 added to the elements x, with
// gamma2 = +-J2/2 (R/a)^2: + takes mean elements to osculating ones, - the
// osculating back to the mean (to first order the same terms, evaluated at
// the elements at hand). The eccentricity and mean anomaly are changed
// together through (e + de, e dM), the inclination and node through
// (sin(i/2) + cos(i/2) di/2, sin(i/2) dnode), so that neither e nor i near
// zero divides anything.
ClassicalElements with_short_period(const Spheroid& earth, const ClassicalElements& x, double sign) {
  const double g2 = sign * 0.5 * earth.J2 * (earth.a / x.a) * (earth.a / x.a);
  const double e = x.e, eta2 = 1 - e * e, eta = std::sqrt(eta2);
  const double g2p = g2 / (eta2 * eta2);
  const double c = std::cos(x.i), c2 = c * c, s2 = 1 - c2;
  const double f = true_anomaly(x.M, e), cf = std::cos(f), sf = std::sin(f);
  const double w = x.argp;
  const double ar = (1 + e * cf) / eta2;  // a/r
  const double ar3 = ar * ar * ar;
  const double c2f = std::cos(2 * w + 2 * f), c1f = std::cos(2 * w + f), c3f = std::cos(2 * w + 3 * f);
  const double s2f = std::sin(2 * w + 2 * f), s1f = std::sin(2 * w + f), s3f = std::sin(2 * w + 3 * f);
  // Equation of the centre plus e sin f: the part of the node's and the
  // latitude's terms that grows with the eccentricity.
  const double centre = std::remainder(f - x.M, two_pi) + e * sf;

  const double da = x.a * g2 * ((3 * c2 - 1) * (ar3 - 1 / (eta2 * eta)) + 3 * s2 * ar3 * c2f);
  const double eta6 = eta2 * eta2 * eta2;
  const double cube = 3 * cf + 3 * e * cf * cf + e * e * cf * cf * cf;
  const double de = 0.5 * eta2 *
                    (g2 * ((3 * c2 - 1) / eta6 * (e * eta + e / (1 + eta) + cube) + 3 * s2 / eta6 * (e + cube) * c2f) -
                     g2p * s2 * (3 * c1f + c3f));
  const double di = 0.5 * g2p * c * std::sqrt(s2) * (3 * c2f + 3 * e * c1f + e * c3f);
  const double e_dM = -0.25 * g2p * eta2 * eta *
                      (2 * (3 * c2 - 1) * (ar * ar * eta2 + ar + 1) * sf +
                       3 * s2 * ((-ar * ar * eta2 - ar + 1) * s1f + (ar * ar * eta2 + ar + 1.0 / 3) * s3f));
  const double dnode = -0.5 * g2p * c * (6 * centre - 3 * s2f - 3 * e * s1f - e * s3f);
  const double dlat = 0.25 * g2p * (-6 * (1 - 5 * c2) * centre + (3 - 5 * c2) * (3 * s2f + 3 * e * s1f + e * s3f)) + dnode;

  ClassicalElements y;
  y.a = x.a + da;
  const double d1 = (e + de) * std::sin(x.M) + e_dM * std::cos(x.M);
  const double d2 = (e + de) * std::cos(x.M) - e_dM * std::sin(x.M);
  y.e = std::hypot(d1, d2);
  y.M = wrapped(std::atan2(d1, d2));
  const double sh = std::sin(0.5 * x.i), ch = std::cos(0.5 * x.i);
  const double d3 = (sh + 0.5 * ch * di) * std::sin(x.raan) + sh * dnode * std::cos(x.raan);
  const double d4 = (sh + 0.5 * ch * di) * std::cos(x.raan) - sh * dnode * std::sin(x.raan);
  y.i = 2 * std::asin(std::min(1.0, std::hypot(d3, d4)));
  y.raan = wrapped(std::atan2(d3, d4));
  y.argp = wrapped(x.M + x.argp + x.raan + dlat - y.M - y.raan);
  return y;
}

}  // namespace

ClassicalElements classical_elements(double mu, const Vec3& r, const Vec3& v) {
  const double rn = std::sqrt(dot(r, r)), v2 = dot(v, v);
  const double energy = 0.5 * v2 - mu / rn;
  if (!(energy < 0)) {
    throw std::domain_error("the state is not on a bound orbit (energy " + std::to_string(energy) + " J/kg)");
  }
  const Vec3 h = cross(r, v);
  const double hn = std::sqrt(dot(h, h)), hxy = std::hypot(h[0], h[1]);
  ClassicalElements x;
  x.a = -mu / (2 * energy);
  x.i = std::atan2(hxy, h[2]);
  x.raan = hxy > 0 ? wrapped(std::atan2(h[0], -h[1])) : 0.0;
  // In-plane axes: p along the line of nodes, q 90 degrees ahead in the motion.
  const Vec3 p = {std::cos(x.raan), std::sin(x.raan), 0.0};
  const Vec3 hu = {h[0] / hn, h[1] / hn, h[2] / hn};
  const Vec3 q = cross(hu, p);
  const Vec3 vxh = cross(v, h);
  const Vec3 ev = {vxh[0] / mu - r[0] / rn, vxh[1] / mu - r[1] / rn, vxh[2] / mu - r[2] / rn};
  x.e = std::sqrt(dot(ev, ev));
  const double u = std::atan2(dot(r, q), dot(r, p));  // argument of latitude
  x.argp = x.e > 0 ? wrapped(std::atan2(dot(ev, q), dot(ev, p))) : 0.0;
  const double f = u - x.argp;
  const double E = std::atan2(std::sqrt(1 - x.e * x.e) * std::sin(f), x.e + std::cos(f));
  x.M = wrapped(E - x.e * std::sin(E));
  return x;
}

ClassicalElements mean_of_osculating(const Spheroid& e, const ClassicalElements& osc) { return with_short_period(e, osc, -1.0); }

ClassicalElements osculating_of_mean(const Spheroid& e, const ClassicalElements& mean) {
  return with_short_period(e, mean, 1.0);
}

ClassicalElements mean_elements(const Spheroid& e, const Vec3& r, const Vec3& v) {
  return mean_of_osculating(e, classical_elements(e.mu, r, v));
}

}  // namespace ascent
