// The step's continuous extension and the events located on it, on a coast
// in vacuum whose every point Kepler's equation gives in closed form.
#include <gtest/gtest.h>

#include <cmath>

#include "phases/phase_support.hpp"
#include "test_support.hpp"

namespace ascent {
namespace {

// An orbit of eccentricity 0.05 entered at its perigee, 400 km up, at t = 0.
struct Orbit {
  double rp = Re + 400e3;
  double v = std::sqrt(mu / rp) * 1.05;
  double a = 1 / (2 / rp - v * v / mu);
  double e = 1 - rp / a;
};

// Coasting on the orbit, flown in 10 s steps from the perigee to t0.
FlightState coasting(const Orbit& o, double tolerance, double t0) {
  FlightState s;
  s.mode = Steering::vacuum;
  s.h0 = o.rp - Re;
  s.vx = o.v;
  s.Me = 1000;
  s.tolerance = tolerance;
  for (s.dt = 10; s.t < t0;) trajectory_step(s, StepObservers{});
  evaluate_state(s, StepObservers{});
  return s;
}

struct Integrator {
  const char* what;
  double tolerance;  // 0: the classic step
  int substeps;
};
const Integrator integrators[] = {
    {"classic step", 0, 1},
    {"classic sub-steps", 0, 4},
    {"error control", 1e-10, 1},
};

// Between its ends, a 60 s step's extension lies on the orbit, within the
// Hermite's error; at its ends it is the step's states exactly.
TEST(StepExtension, FollowsTheOrbitAndEndsOnTheStep) {
  const Orbit o;
  for (const Integrator& c : integrators) {
    SCOPED_TRACE(c.what);
    FlightState x = coasting(o, c.tolerance, 600);
    x.substeps = c.substeps;
    const FlightState start = x;
    StepExtension ext;
    x.dt = 60;
    trajectory_step(x, StepObservers{}, ext);
    complete_extension(x, ext);
    EXPECT_EQ(ext.at(ext.t0), vector_of(start));
    EXPECT_EQ(ext.at(ext.t1), vector_of(x));
    // m: the Hermite's error at the middle of the step, h^4 / 384 times the
    // radius's fourth derivative, of size a e n^4 on this orbit; a quarter
    // more for the terms of higher order in e.
    const double n = std::sqrt(mu / (o.a * o.a * o.a));
    const double bound = 1.25 * std::pow(60.0, 4) / 384 * o.a * o.e * std::pow(n, 4);
    for (double u : {0.1, 0.25, 0.5, 0.75, 0.9}) {
      const double t = ext.t0 + u * 60;
      const FlightState p = state_on(x, ext, t);
      EXPECT_NEAR(Re + p.h0, test::radius_by_bisection(o.a, o.e, t), bound) << "u " << u;
    }
  }
}

// An altitude and a speed located within a step: on the extension, at the
// times the orbit crosses them; through it, at the time the bisection of
// flown steps alone gives, to the bit.
TEST(StepEvent, LocatedOnTheExtensionWhereTheOrbitCrosses) {
  const Orbit o;
  const double t_h = 630, t_v = 650;  // s after perigee, inside the step from 600 s
  // The thresholds the orbit crosses then, from Kepler's equation (the
  // radius) and vis-viva (the speed there).
  const double h_at = test::radius_by_bisection(o.a, o.e, t_h) - Re;
  const double r_v = test::radius_by_bisection(o.a, o.e, t_v);
  const double v_slow = std::sqrt(mu * (2 / r_v - 1 / o.a));
  const auto above = event([&](const FlightState& x) { return x.h0 - h_at; });
  const auto slow = event([&](const FlightState& x) { return v_slow - x.vi; }, Crossing::at_or_past);
  for (const Integrator& c : integrators) {
    SCOPED_TRACE(c.what);
    const FlightState from = [&] {
      FlightState s = coasting(o, c.tolerance, 600);
      s.substeps = c.substeps;
      return s;
    }();
    FlightState x = from;
    StepExtension ext;
    x.dt = 60;
    trajectory_step(x, StepObservers{}, ext);
    complete_extension(x, ext);
    struct Crossed {
      const char* what;
      double t;  // s after the step's start
      double on_ext, flown, plain;
    };
    const Crossed crossed[] = {
        {"altitude", t_h - from.t,
         crossing_on_extension(x, ext, above.g(from), above.g(x), above, 1e-9),
         crossing_within(from, 60, above, &ext, &x), crossing_within(from, 60, above)},
        {"speed", t_v - from.t,
         crossing_on_extension(x, ext, slow.g(from), slow.g(x), slow, 1e-9),
         crossing_within(from, 60, slow, &ext, &x), crossing_within(from, 60, slow)},
    };
    for (const Crossed& k : crossed) {
      SCOPED_TRACE(k.what);
      EXPECT_NEAR(k.on_ext, k.t, 1e-4);
      EXPECT_NEAR(k.flown, k.t, 1e-4);
      EXPECT_EQ(k.flown, k.plain);
    }
  }
}

}  // namespace
}  // namespace ascent
