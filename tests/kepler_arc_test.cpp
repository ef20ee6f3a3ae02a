// The coast solved in closed form against orbits worked by hand: the apsides
// and the half period, a crossing from Kepler's equation, and Kepler's
// equation solved here by bisection at an arbitrary time.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "atmosphere/earth.hpp"
#include "session/flight.hpp"
#include "trajectory/kepler_arc.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/description_file.hpp"
#include "test_support.hpp"

namespace ascent {
namespace {

constexpr double pi = std::numbers::pi;

TEST(KeplerArc, EllipsesFromPerigeeAgainstTheirClosedForms) {
  struct Case {
    double hp, ha;  // m, perigee and apogee altitudes
  };
  const Case cases[] = {{200e3, 1000e3}, {37e3, 398.6e3}, {400e3, 400.001e3}, {300e3, 35786e3}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ha);
    const double rp = Re + c.hp, ra = Re + c.ha;
    const double a = (rp + ra) / 2, e = (ra - rp) / (ra + rp);
    const double vp = std::sqrt(mu * (2 / rp - 1 / a));  // vis-viva
    KeplerArc arc;
    ASSERT_TRUE(kepler_arc(mu, rp, vp, 0, arc));
    const double half_period = pi * std::sqrt(a * a * a / mu);
    EXPECT_NEAR(time_to_apogee(arc), half_period, 1e-9 * half_period);

    // Half an orbit on: the apogee, at the vis-viva speed, level, half a
    // turn round the Earth.
    const ArcPoint p = arc_at(arc, half_period);
    const double va = std::sqrt(mu * (2 / ra - 1 / a));
    EXPECT_NEAR(p.r, ra, 1e-9 * ra);
    EXPECT_NEAR(std::hypot(p.vx, p.vy), va, 1e-9 * va);
    EXPECT_NEAR(p.vy, 0, 1e-9 * va);
    EXPECT_NEAR(p.swept, pi, 1e-9);

    // An arbitrary time, and a point past a whole revolution.
    for (double t : {0.37 * half_period, 2.61 * half_period}) {
      const ArcPoint q = arc_at(arc, t);
      const double t_mod = std::fmod(t, 2 * half_period);
      EXPECT_NEAR(q.r, test::radius_by_bisection(a, e, t_mod), 1e-9 * q.r);
      // Vis-viva and the angular momentum hold along the arc.
      EXPECT_NEAR(std::hypot(q.vx, q.vy), std::sqrt(mu * (2 / q.r - 1 / a)), 1e-9 * vp);
      EXPECT_NEAR(q.r * q.vx, rp * vp, 1e-9 * rp * vp);
    }
  }
}

TEST(KeplerArc, PointsFoundEachFromTheLastHoldKeplersEquation) {
  // From perigee to apogee in small steps, each point solved from the one
  // before: Kepler's equation (solved here by bisection), vis-viva and the
  // angular momentum at every point, and half a turn swept at the apogee.
  for (const double ha : {398.6e3, 35786e3}) {
    SCOPED_TRACE(ha);
    const double rp = Re + 100e3, ra = Re + ha;
    const double a = (rp + ra) / 2, e = (ra - rp) / (ra + rp);
    const double vp = std::sqrt(mu * (2 / rp - 1 / a));
    const double half_period = pi * std::sqrt(a * a * a / mu);
    KeplerArc arc;
    ASSERT_TRUE(kepler_arc(mu, rp, vp, 0, arc));
    ArcAnomaly anomaly = anomaly_at_start(arc);
    const int steps = 3000;
    ArcPoint p{};
    for (int k = 1; k <= steps; ++k) {
      const double t = half_period * k / steps;
      p = arc_near(arc, t, anomaly);
      if (k % 97 == 0) {
        ASSERT_NEAR(p.r, test::radius_by_bisection(a, e, t), 1e-9 * p.r) << k;
      }
      ASSERT_NEAR(std::hypot(p.vx, p.vy), std::sqrt(mu * (2 / p.r - 1 / a)), 1e-9 * vp) << k;
      ASSERT_NEAR(p.r * p.vx, rp * vp, 1e-9 * rp * vp) << k;
    }
    EXPECT_NEAR(p.r, ra, 1e-9 * ra);
    EXPECT_NEAR(p.swept, pi, 1e-9);
  }
}

TEST(KeplerArc, CrossingOfARadiusLocatedAsWorkedByHand) {
  // a = 7000 km, e = 0.1: r = a where cos E = 0, E = pi/2 climbing, so
  // M = pi/2 - 0.1 and t = (pi/2 - 0.1) / n after perigee. Started a
  // quarter period before perigee (descending toward it), the crossing
  // comes that much later; started past it, the next one is a period on.
  const double a = 7000e3, e = 0.1, rp = a * (1 - e);
  const double n = std::sqrt(mu / (a * a * a)), period = 2 * pi / n;
  const double t_cross = (pi / 2 - 0.1) / n;
  KeplerArc at_perigee;
  ASSERT_TRUE(kepler_arc(mu, rp, std::sqrt(mu * (2 / rp - 1 / a)), 0, at_perigee));
  struct Case {
    double start;  // s after perigee (negative: before it)
    double r;      // m, radius to climb through
    double expected;  // s after the start; -1: never
  };
  const Case cases[] = {{0, a, t_cross},
                        {-period / 4, a, t_cross + period / 4},
                        {t_cross + 1, a, period - 1},
                        {0, a * (1 + e) + 1, -1},
                        {0, rp - 1, -1}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.start);
    const double t0 = c.start < 0 ? c.start + period : c.start;
    const ArcPoint p0 = arc_at(at_perigee, t0);
    KeplerArc arc;
    ASSERT_TRUE(kepler_arc(mu, p0.r, p0.vx, p0.vy, arc));
    const double t = time_to_climb_through(arc, c.r);
    EXPECT_NEAR(t, c.expected, 1e-6);
    if (c.expected > 0) {
      EXPECT_NEAR(arc_at(arc, t).r, c.r, 1e-6);
    }
  }
  // Not an ellipse flown forward: a hyperbola, a retrograde state.
  KeplerArc arc;
  EXPECT_FALSE(kepler_arc(mu, rp, 1.5 * std::sqrt(2 * mu / rp), 0, arc));
  EXPECT_FALSE(kepler_arc(mu, rp, -7000, 0, arc));
}

// The time and state of the upper stage's ignition.
struct Ignition final : EventObserver, StepObserver {
  StepRecord last, at_ignition;
  double t = -1;
  void on_step(const StepRecord& r) override { last = r; }
  void on_event(const FlightEvent& e) override {
    if (e.kind == EventKind::upper_ignition) {
      t = e.t;
      at_ignition = last;
    }
  }
};

TEST(AdaptiveCoast, TheCoastOfAFlightAgainstTheFixedSteps) {
  // Both integrators ignite on the first whole step of the coast at or past
  // the ignition altitude. The adaptive one flies the powered phases to
  // within metres of the converged fixed steps and the coast in a few steps of its own
  // through the thin air: it ignites at the same time, within metres of the
  // same altitude and centimetres per second of the same speed.
  const std::string src = ASCENT_SOURCE_DIR;
  for (const test::BundledFlight& c : test::readme_flights) {
    SCOPED_TRACE(c.description);
    Description d = read_description(src + c.description);
    const BoosterProfile profile = read_profile(src + c.profile);
    FlightAnswers a;
    a.tt = c.tt;
    a.alpha = c.alpha;
    Ignition fixed, exact;
    FlightOptions o;
    o.step_observers = {&fixed};
    o.event_observers = {&fixed};
    d.mission.numerics.substeps = 64;  // the converged fixed steps
    const Flight f = fly(d, profile, a, o);
    d.mission.numerics.substeps = 1;
    d.mission.numerics.integrator = "adaptive";
    o.step_observers = {&exact};
    o.event_observers = {&exact};
    const Flight k = fly(d, profile, a, o);
    ASSERT_TRUE(f.ok && k.ok);
    const double h_ignition = d.mission.target.apogee_altitude / d.mission.target.ignition_factor;
    EXPECT_GE(exact.at_ignition.h0, h_ignition);
    EXPECT_NEAR(exact.t, fixed.t, 0.01);  // the cut-offs' trims differ by far less than a step
    EXPECT_NEAR(exact.at_ignition.h0, fixed.at_ignition.h0, 20.0);
    EXPECT_NEAR(exact.at_ignition.vi, fixed.at_ignition.vi, 0.05);
    EXPECT_NEAR(k.record.hp_core, f.record.hp_core, 200.0);
    EXPECT_LT(k.steps, f.steps / 2);
  }
}

}  // namespace
}  // namespace ascent
