#include "trajectory/kepler_arc.hpp"

#include <cmath>
#include <numbers>

namespace ascent {

namespace {

constexpr double two_pi = 2 * std::numbers::pi;

// Eccentric anomaly E with E - e sin E = M (e < 1): Newton's method from
// E = M (or pi for the highly eccentric), which converges for every M there;
// a few steps reach the rounding of M.
double eccentric_anomaly(double M, double e) {
  double E = e < 0.8 ? M : M + (std::sin(M) >= 0 ? 1 : -1) * e;
  for (int i = 0; i < 50; ++i) {
    const double f = E - e * std::sin(E) - M;
    const double dE = f / (1 - e * std::cos(E));
    E -= dE;
    if (std::fabs(dE) <= 1e-15 * (1 + std::fabs(E))) break;
  }
  return E;
}

// True anomaly of the eccentric anomaly E, on the same turn as E (both grow
// together through every revolution).
double true_anomaly(double E, double e) {
  const double turns = std::floor((E + std::numbers::pi) / two_pi);
  const double Er = E - turns * two_pi;  // in [-pi, pi)
  const double nu = 2 * std::atan2(std::sqrt(1 + e) * std::sin(Er / 2), std::sqrt(1 - e) * std::cos(Er / 2));
  return nu + turns * two_pi;
}

double mean_of(double E, double e) { return E - e * std::sin(E); }

}  // namespace

bool kepler_arc(double mu, double r, double vx, double vy, KeplerArc& arc) {
  if (!(std::isfinite(r) && std::isfinite(vx) && std::isfinite(vy) && r > 0 && vx > 0)) return false;
  const double energy = (vx * vx + vy * vy) / 2 - mu / r;
  if (!(energy < 0)) return false;
  arc.mu = mu;
  arc.a = -mu / (2 * energy);
  arc.hm = r * vx;
  const double e2 = 1 - arc.hm * arc.hm / (mu * arc.a);
  arc.e = e2 > 0 ? std::sqrt(e2) : 0;
  if (!(arc.e < 1)) return false;
  arc.n = std::sqrt(mu / (arc.a * arc.a * arc.a));
  // e cos E = 1 - r/a, e sin E = r vy / sqrt(mu a).
  arc.E0 = std::atan2(r * vy / std::sqrt(mu * arc.a), 1 - r / arc.a);
  arc.M0 = mean_of(arc.E0, arc.e);
  return true;
}

ArcPoint arc_at(const KeplerArc& arc, double dt) {
  const double E = eccentric_anomaly(arc.M0 + arc.n * dt, arc.e);
  ArcPoint p;
  p.r = arc.a * (1 - arc.e * std::cos(E));
  p.vx = arc.hm / p.r;
  p.vy = std::sqrt(arc.mu * arc.a) * arc.e * std::sin(E) / p.r;
  p.swept = true_anomaly(E, arc.e) - true_anomaly(arc.E0, arc.e);
  return p;
}

ArcAnomaly anomaly_at_start(const KeplerArc& arc) {
  return {arc.E0, std::sin(arc.E0), std::cos(arc.E0), true_anomaly(arc.E0, arc.e)};
}

ArcPoint arc_near(const KeplerArc& arc, double dt, ArcAnomaly& last) {
  const double M = arc.M0 + arc.n * dt, e = arc.e;
  double E = last.E, s = last.sinE, c = last.cosE;
  for (int i = 0; i < 50; ++i) {
    const double dE = (E - e * s - M) / (1 - e * c);
    E -= dE;
    if (std::fabs(dE) <= 1e-15 * (1 + std::fabs(E))) {
      // The last correction moves the sine and cosine to first order: its
      // square is below their rounding.
      const double s1 = s - dE * c;
      c += dE * s;
      s = s1;
      break;
    }
    s = std::sin(E);
    c = std::cos(E);
  }
  last.E = E;
  last.sinE = s;
  last.cosE = c;
  ArcPoint p;
  p.r = arc.a * (1 - e * c);
  p.vx = arc.hm / p.r;
  p.vy = std::sqrt(arc.mu * arc.a) * e * s / p.r;
  // The true anomaly has the sign of E's sine: on E's own turn it lies
  // within half a turn of E.
  const double nu = std::atan2(std::sqrt(1 - e * e) * s, c - e);
  p.swept = nu + two_pi * std::round((E - nu) / two_pi) - last.nu0;
  return p;
}

double time_to_climb_through(const KeplerArc& arc, double r) {
  if (arc.e == 0) return -1;
  const double c = (1 - r / arc.a) / arc.e;  // cos E at r
  if (!(c >= -1 && c <= 1)) return -1;
  double E = std::acos(c);  // on the climbing half, [0, pi]
  if (E < arc.E0) E += two_pi;
  return (mean_of(E, arc.e) - arc.M0) / arc.n;
}

double time_to_apogee(const KeplerArc& arc) {
  return (std::numbers::pi - arc.M0) / arc.n;
}

}  // namespace ascent
