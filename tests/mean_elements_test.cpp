// Mean elements against the orbit itself: an orbit flown numerically over
// one revolution in the WGS 84 + J2 field (no air), its osculating elements
// read at every step. The mean elements must hold still where the osculating
// ones swing (a, e, i constant; node and argument of latitude moving at a
// steady rate), the mean a must be the osculating a averaged over the
// revolution, and the node must regress at the textbook secular rate
// -3/2 n J2 (R/p)^2 cos i.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

#include "earth/ballistic.hpp"
#include "earth/mean_elements.hpp"

namespace ascent {
namespace {

struct Track {
  std::vector<double> t;
  std::vector<ClassicalElements> osc, mean;
};

// One revolution from the ascending node to the next (the period of the
// short-period terms, which go with twice the argument of latitude), the
// perigee at the first, heights above the equatorial radius.
Track fly_revolution(const Spheroid& earth, double hp, double ha, double inc, double raan) {
  const double rp = earth.a + hp, a = earth.a + (hp + ha) / 2;
  const double vp = std::sqrt(earth.mu * (2 / rp - 1 / a));
  InertialState s{0.0,
                  {rp * std::cos(raan), rp * std::sin(raan), 0.0},
                  {-vp * std::cos(inc) * std::sin(raan), vp * std::cos(inc) * std::cos(raan), vp * std::sin(inc)}};
  const double period = 2 * std::numbers::pi * std::sqrt(a * a * a / earth.mu);
  Track tr;
  const std::vector<InertialState> xs = fly_ballistic(earth, FallingBody{0.0}, WindProfile{}, s, 1.1 * period, 0.5, false);
  for (std::size_t k = 0; k < xs.size(); ++k) {
    if (k > 0 && xs[k].t > 0.5 * period && xs[k - 1].r[2] < 0 && xs[k].r[2] >= 0) {
      // The node, by the fly's fine steps: the last one crosses it within 0.5 s,
      // the sample there is kept with its time (the average weighs by time).
      break;
    }
    tr.t.push_back(xs[k].t);
    tr.osc.push_back(classical_elements(earth.mu, xs[k].r, xs[k].v));
    tr.mean.push_back(mean_of_osculating(earth, tr.osc.back()));
  }
  return tr;
}

double spread(const std::vector<ClassicalElements>& xs, double ClassicalElements::*m) {
  auto [lo, hi] = std::minmax_element(xs.begin(), xs.end(), [m](auto& p, auto& q) { return p.*m < q.*m; });
  return (*hi).*m - (*lo).*m;
}

// Angle of each element, unwrapped, less the chord from its first to its
// last value: what of the angle is not a steady rate.
double off_steady(const std::vector<double>& t, std::vector<double> y) {
  for (std::size_t k = 1; k < y.size(); ++k) {
    y[k] -= 2 * std::numbers::pi * std::round((y[k] - y[k - 1]) / (2 * std::numbers::pi));
  }
  double worst = 0;
  for (std::size_t k = 0; k < y.size(); ++k) {
    const double chord = y.front() + (y.back() - y.front()) * (t[k] - t.front()) / (t.back() - t.front());
    worst = std::max(worst, std::abs(y[k] - chord));
  }
  return worst;
}

TEST(MeanElements, HoldStillOverARevolutionWhereTheOsculatingOnesSwing) {
  struct Case {
    double hp, ha, inc_deg;
    double lat_tol;  // rad; Brouwer's first order leaves more at e = 0.1
  };
  const Spheroid earth = wgs84_earth();
  const double deg = std::numbers::pi / 180;
  for (const Case c : {Case{200e3, 250e3, 51.6, 5e-6}, Case{500e3, 500e3, 97.4, 5e-6}, Case{300e3, 1700e3, 28.5, 5e-5}}) {
    SCOPED_TRACE(c.inc_deg);
    const Track tr = fly_revolution(earth, c.hp, c.ha, c.inc_deg * deg, 40 * deg);
    // The osculating a averaged over the revolution (trapezoids).
    double sum = 0;
    for (std::size_t k = 1; k < tr.t.size(); ++k) sum += 0.5 * (tr.osc[k].a + tr.osc[k - 1].a) * (tr.t[k] - tr.t[k - 1]);
    const double a_avg = sum / (tr.t.back() - tr.t.front());
    EXPECT_NEAR(tr.mean.front().a, a_avg, 25.0);
    EXPECT_LT(spread(tr.mean, &ClassicalElements::a), 40.0);
    EXPECT_GT(spread(tr.osc, &ClassicalElements::a), 5e3);
    EXPECT_LT(spread(tr.mean, &ClassicalElements::e), 3e-6);
    EXPECT_LT(spread(tr.mean, &ClassicalElements::i), 2e-6);
    EXPECT_GT(spread(tr.osc, &ClassicalElements::i), 1e-4);
    std::vector<double> raan, lat;
    for (const ClassicalElements& x : tr.mean) raan.push_back(x.raan), lat.push_back(x.M + x.argp);
    EXPECT_LT(off_steady(tr.t, raan), 2e-6);
    EXPECT_LT(off_steady(tr.t, lat), c.lat_tol);
    // Secular regression of the node over the revolution.
    const ClassicalElements& m = tr.mean.front();
    const double p = m.a * (1 - m.e * m.e), n = std::sqrt(earth.mu / (m.a * m.a * m.a));
    const double rate = -1.5 * n * earth.J2 * (earth.a / p) * (earth.a / p) * std::cos(m.i);
    EXPECT_NEAR(raan.back() - raan.front(), rate * (tr.t.back() - tr.t.front()), 0.01 * std::abs(rate) * tr.t.back());
    if (c.inc_deg == 51.6) {
      // J2 swings the osculating perigee of a low orbit at 51.6 degrees by
      // 10-20 km within a revolution; the mean perigee stays put.
      std::vector<double> hp_osc, hp_mean;
      for (std::size_t k = 0; k < tr.t.size(); ++k) {
        hp_osc.push_back(perigee_height(earth, tr.osc[k]));
        hp_mean.push_back(perigee_height(earth, tr.mean[k]));
      }
      const auto [lo, hi] = std::minmax_element(hp_osc.begin(), hp_osc.end());
      EXPECT_GT(*hi - *lo, 10e3);
      EXPECT_LT(*hi - *lo, 20e3);
      const auto [mlo, mhi] = std::minmax_element(hp_mean.begin(), hp_mean.end());
      EXPECT_LT(*mhi - *mlo, 100.0);
    }
  }
}

}  // namespace
}  // namespace ascent
