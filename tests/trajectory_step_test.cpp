#include "trajectory/trajectory_step.hpp"

#include <gtest/gtest.h>

#include <cmath>

#include "atmosphere/atmosphere.hpp"
#include "trajectory/dynamics.hpp"
#include "trajectory/steering/registry.hpp"
#include "test_support.hpp"
#include "trajectory/model_environment.hpp"

namespace ascent {
namespace {

using test::bytes;
using test::lines;

double radius(const FlightState& s) { return s.env->Re + s.h0; }
double energy(const FlightState& s) {  // J/kg, orbital energy per unit mass
  return (s.vx * s.vx + s.vy * s.vy) / 2 - s.env->mu / radius(s);
}

// A small airless world (the Moon's figures) and the benchmark Earth of an
// exponential atmosphere, as descriptions give them.
const Environment& moon() {
  static const Environment e = [] {
    Description d;
    d.mission.earth = {4.9048695e12, 1737400, 2.6617e-6};
    return make_environment(d);
  }();
  return e;
}
const Environment& exponential_earth() {
  static const Environment e = [] {
    Description d;
    d.mission.earth = {3.986012e14, 6378145, 7.29211585e-5};
    d.mission.atmosphere = {"exponential", 1.225, 7200};
    return make_environment(d);
  }();
  return e;
}

FlightState vehicle(int mode, double h0, double vx, double vy, double m0, double Me, double Fvac) {
  FlightState s;
  s.mode = static_cast<Steering>(mode);
  s.h0 = h0;
  s.vx = vx;
  s.vy = vy;
  s.m0 = m0;
  s.Me = Me;
  s.Fvac = Fvac;
  return s;
}

// A vehicle low in the atmosphere at Mach 2.4, burning, with every rate in use.
FlightState climbing() {
  FlightState s = vehicle(0, 10000, 1050, 300, 1.5e6, 5e5, 3e7);
  s.t = 5;
  s.vrot = 400;
  s.Fdot = 1e4;
  s.mdot = -1e4;
  s.mddot = 1;
  s.kick = 0.01;
  s.kick_rate = -0.02;
  s.Ae = 10;
  s.Sref = 50;
  s.follow_air = true;
  return s;
}

// Steps by dt, or only evaluates the state when dt is 0.
void step(FlightState& s, const StepObservers& out, double dt) {
  s.dt = dt;
  trajectory_step(s, out);
}

// Columns of a step-table line.
std::string field(const std::string& line, std::size_t from, std::size_t width) {
  return line.substr(from, width);
}
constexpr std::size_t col_alpha = 37, col_beta = 44, col_theta = 51, col_Pq = 58;

TEST(DragCoefficient, AtAndAroundEveryBreakpoint) {
  EXPECT_EQ(drag_coefficient(0.0), 0.4);
  EXPECT_EQ(drag_coefficient(0.5), 0.4);
  EXPECT_EQ(drag_coefficient(1.0), 0.4);  // Mach 1 itself is still subsonic
  EXPECT_EQ(drag_coefficient(std::nextafter(1.0, 2.0)), 0.8);
  EXPECT_EQ(drag_coefficient(1.2), 0.8);
  EXPECT_NEAR(drag_coefficient(1.4 - 1e-9), 0.8, 1e-12);
  EXPECT_NEAR(drag_coefficient(1.4), 0.8, 1e-12);
  EXPECT_NEAR(drag_coefficient(1.7), 0.745, 1e-12);
  EXPECT_NEAR(drag_coefficient(2.0), 0.69, 1e-12);
  EXPECT_NEAR(drag_coefficient(2.5), 0.64, 1e-12);
  EXPECT_NEAR(drag_coefficient(3.0), 0.59, 1e-12);
  EXPECT_NEAR(drag_coefficient(4.0), 0.57, 1e-12);
  EXPECT_NEAR(drag_coefficient(5.0), 0.55, 1e-12);
  EXPECT_EQ(drag_coefficient(6.0), 0.55);
  for (double m : {2.0, 3.0, 5.0}) {  // continuous where the pieces meet
    EXPECT_NEAR(drag_coefficient(m - 1e-9), drag_coefficient(m), 1e-8) << m;
    EXPECT_NEAR(drag_coefficient(m + 1e-9), drag_coefficient(m), 1e-8) << m;
  }
}

// A coast in vacuum from perigee, in the classic steps and under error
// control, where every step after the first is read off the solution's
// continuous extension: energy and angular momentum kept, the apsides of the
// orbit, and the radius at each step's time from Kepler's equation.
TEST(TrajectoryStep, VacuumCoastKeepsEnergyAngularMomentumAndOrbit) {
  struct Case {
    const char* what;
    double excess;     // speed above circular, relative
    double tolerance;  // 0: the classic steps
    double r_within;   // m
    const Environment* world = &builtin_environment();
  };
  const Case cases[] = {
      {"classic steps, nearly circular", 1e-6, 0, 1},
      {"error control, nearly circular", 1e-6, 1e-10, 1},
      {"error control, eccentric", 0.05, 1e-10, 1},
      {"another world's mu and radius, eccentric", 0.05, 1e-10, 1, &moon()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const double mu = c.world->mu, Re = c.world->Re;
    // Horizontal at 400 km, faster than circular, so that the orbit has a
    // perigee (the start) and an apogee apart; vis-viva gives the apogee.
    const double h = 400e3, r = Re + h, v = std::sqrt(mu / r) * (1 + c.excess);
    const double a = 1 / (2 / r - v * v / mu), e = r / a > 1 ? 0 : 1 - r / a;
    const double h_apogee = r / (2 * mu / (r * v * v) - 1) - Re;
    FlightState s = vehicle(2, h, v, 0, 0, 1000, 0);
    s.env = c.world;
    s.vrot = 400;  // moves the ground track only
    s.tolerance = c.tolerance;
    const double E0 = energy(s), L0 = r * s.vx;
    const StepObservers out;
    for (int i = 0; i < 1000; ++i) {
      step(s, out, 1);
      ASSERT_NEAR(energy(s) / E0, 1.0, 1e-9) << "step " << i;
      ASSERT_NEAR(radius(s) * s.vx / L0, 1.0, 1e-9) << "step " << i;
      ASSERT_NEAR(s.hp, h, 1.0) << "step " << i;
      ASSERT_NEAR(s.ha, h_apogee, 1.0) << "step " << i;
      ASSERT_NEAR(radius(s), test::radius_by_bisection(a, e, s.t, mu), c.r_within) << "step " << i;
    }
    EXPECT_GT(std::fabs(s.vy), 0.01);  // it really went round part of the orbit
    EXPECT_DOUBLE_EQ(s.t, 1000);
    if (c.excess < 1e-3) {
      // Ground range: the arc under the orbit at the reference radius, less
      // the Earth's turning under it.
      EXPECT_NEAR(s.r0, Re * (v / r) * 1000 - 400 * 1000, 50);
    }
    EXPECT_EQ(s.dV, 0);
  }
}

TEST(TrajectoryStep, ApsidesOfAnEllipseFromAnyPointOnIt) {
  // Perigee 200 km, apogee 1000 km, entered at several true anomalies.
  const double rp = Re + 200e3, ra = Re + 1000e3;
  const double e = (ra - rp) / (ra + rp), p = 2 * rp * ra / (ra + rp), vp = std::sqrt(mu / p);
  test::MemoryOutputs o;
  for (double nu : {0.0, 0.7, 2.0, pi}) {
    FlightState s = vehicle(2, p / (1 + e * std::cos(nu)) - Re, vp * (1 + e * std::cos(nu)),
                            vp * e * std::sin(nu), 0, 1000, 0);
    step(s, o.out, 0);
    EXPECT_NEAR(s.hp, 200e3, 1e-3) << "true anomaly " << nu;
    EXPECT_NEAR(s.ha, 1000e3, 1e-3) << "true anomaly " << nu;
  }
}

TEST(TrajectoryStep, CircularToRoundingIsACircle) {
  // Close to a circular orbit e^2 is the difference of two nearly equal
  // numbers, and rounding makes it negative for some speeds. Those orbits
  // are circles: perigee and apogee both at the altitude flown.
  const double r = Re + 400e3;
  double vx = std::sqrt(mu / r);
  for (int i = 0; i < 40; ++i) vx = std::nextafter(vx, 0.0);
  test::MemoryOutputs o;
  int negative = 0;
  for (int i = 0; i < 80; ++i, vx = std::nextafter(vx, 1e9)) {
    FlightState s = vehicle(2, 400e3, vx, 0, 0, 1000, 0);
    step(s, o.out, 0);
    double sma = 1 / (2 / r - vx * vx / mu);
    if (1 - (vx * r) * (vx * r) / (mu * sma) < 0) ++negative;
    EXPECT_NEAR(s.hp, 400e3, 1.0);
    EXPECT_NEAR(s.ha, 400e3, 1.0);
  }
  EXPECT_GT(negative, 0) << "no speed gave a negative e^2; the case went untested";
}

TEST(TrajectoryStep, ForwardThenBackwardStepReturnsAndWritesTwoLines) {
  FlightState s = climbing();
  const FlightState start = s;
  test::MemoryOutputs o;
  o.report.style.tofile = true;
  step(s, o.out, 1);
  EXPECT_GT(s.h0, start.h0 + 200);
  step(s, o.out, -1);
  EXPECT_NEAR(s.vx, start.vx, 1e-6);
  EXPECT_NEAR(s.vy, start.vy, 1e-6);
  EXPECT_NEAR(s.h0, start.h0, 1e-6);
  EXPECT_NEAR(s.m0, start.m0, 1e-6);
  EXPECT_NEAR(s.kick, start.kick, 1e-12);
  EXPECT_EQ(s.t, 5);
  auto table = lines(bytes(o.main));
  ASSERT_EQ(table.size(), 2u);
  EXPECT_EQ(table[0].substr(0, 7), "   6.00");
  EXPECT_EQ(table[1].substr(0, 7), "   5.00");
  for (const std::string& l : table) {  // along the air path: alpha = theta - beta
    ASSERT_EQ(l.size(), 77u);
    double alpha = std::stod(field(l, col_alpha, 7)), beta = std::stod(field(l, col_beta, 7));
    EXPECT_NEAR(alpha, std::stod(field(l, col_theta, 7)) - beta, 0.011) << l;
    EXPECT_GT(alpha, 1);
  }
  auto speed = lines(bytes(o.speed));
  ASSERT_EQ(speed.size(), 2u);
  EXPECT_EQ(speed[1].substr(0, 7), "   5.00");
}

TEST(TrajectoryStep, OnThePadThrustPointsStraightUp) {
  FlightState s = vehicle(0, 0, 408.2, 0, 1.6e6, 4e5, 3.3e7);
  s.vrot = s.vx;
  s.mdot = -1.2e4;
  s.Ae = 10;
  s.Sref = 80;
  s.follow_air = true;
  test::MemoryOutputs o;
  step(s, o.out, 0);
  EXPECT_EQ(field(lines(bytes(o.main)).at(0), col_alpha, 21), "  90.00   0.00  90.00");
  EXPECT_DOUBLE_EQ(s.alpha, pi / 2);

  // Thrust, drag and gravity all radial: the angular momentum r*vx is kept,
  // so vx changes only as the local horizontal turns with the climb.
  const double L0 = radius(s) * s.vx;
  for (int i = 0; i < 20; ++i) step(s, o.out, 0.5);
  EXPECT_GT(s.h0, 50);
  EXPECT_NEAR(radius(s) * s.vx / L0, 1.0, 1e-13);
  for (const std::string& l : lines(bytes(o.main))) EXPECT_EQ(field(l, col_theta, 7), "  90.00");
}

// Mode 1 inside its limit: d|vy|/dt = cv*|vy|^kv, whose solution is
// |vy|^(1-kv) = |vy0|^(1-kv) - (kv-1)*cv*t.
void expect_law_followed(double vy0, double kv, double cv) {
  FlightState s = vehicle(1, 150e3, 6000, vy0, 1e5, 2e4, 1e6);
  s.vrot = 400;
  s.mdot = -300;
  s.Ae = 1;
  s.Sref = 10;
  s.kv = kv;
  s.cv = cv;
  s.alpha_max = 1.2;
  test::MemoryOutputs o;
  for (int i = 1; i <= 10; ++i) {
    step(s, o.out, 1);
    double expected = std::pow(std::pow(std::fabs(vy0), 1 - kv) - (kv - 1) * cv * i, 1 / (1 - kv));
    ASSERT_NEAR(s.vy / std::copysign(expected, vy0), 1.0, 1e-10) << "step " << i;
    ASSERT_LT(std::fabs(s.alpha), s.alpha_max) << "step " << i;
  }
}

TEST(TrajectoryStep, Mode1WithinItsLimitFollowsTheVerticalLaw) {
  expect_law_followed(500, 2.0, 1e-5);
  expect_law_followed(-300, 1.5, 2e-4);
}

TEST(TrajectoryStep, VacuumThrustHasItsFullSizeAlongAlphaPlusBetaPlusKick) {
  // Without drag the thrust acceleration is what is left of the motion once
  // gravity and the turning frame are taken out: horizontally the torque
  // r*a_h = d(r*vx)/dt, vertically dvy/dt - vx^2/r + mu/r^2. Mode 1 within
  // its limit, above and below it; mode 2 at a kick off the velocity.
  for (double cv : {2e-5, 1e-2, -1e-2, 0.0}) {
    FlightState s = vehicle(cv == 0 ? 2 : 1, 200e3, 7000, 200, 1e5, 2e4, 1e6);
    s.kv = 2;
    s.cv = cv;
    s.alpha_max = 0.5;
    s.kick = cv == 0 ? 0.1 : 0;
    s.alpha = 0.3;  // left from an earlier step; only the mode decides the new one
    const FlightState b = s;
    test::MemoryOutputs o;
    const double dt = 1e-2;
    step(s, o.out, dt);
    const double r = (radius(b) + radius(s)) / 2, vx = (b.vx + s.vx) / 2;
    const double ah = (radius(s) * s.vx - radius(b) * b.vx) / dt / r;
    const double av = (s.vy - b.vy) / dt - vx * vx / r + mu / (r * r);
    const double beta = std::atan((b.vy + s.vy) / (b.vx + s.vx)), m = s.m0 + s.Me;
    EXPECT_NEAR(std::hypot(ah, av) / (s.Fvac / m), 1.0, 1e-6) << cv;
    // alpha as evaluated at the step's end
    EXPECT_NEAR(std::atan2(av, ah), s.alpha + beta + s.kick, 1e-5) << cv;
    if (s.mode == Steering::vacuum) {
      EXPECT_EQ(s.alpha, 0.0);
    } else if (std::fabs(cv) > 1e-3) {
      EXPECT_EQ(s.alpha, std::copysign(0.5, cv)) << cv;
    }
  }
}

TEST(TrajectoryStep, Mode1CaptureStartsFromThePresentAcceleration) {
  // The first mode-1 step climbs at first exactly as thrust held at alpha
  // off the inertial path (mode 0 without follow_air) would.
  FlightState frozen = climbing();
  frozen.mdot = frozen.mddot = frozen.Fdot = frozen.kick = frozen.kick_rate = 0;
  frozen.follow_air = false;
  frozen.alpha = frozen.alpha_held = 0.05;
  FlightState law = frozen;
  law.mode = Steering::vertical_law;
  law.law_init = true;
  law.kv = 2;
  law.alpha_max = 0.3;
  test::MemoryOutputs o;
  step(frozen, o.out, 1e-3);
  step(law, o.out, 1e-3);
  EXPECT_FALSE(law.law_init);
  EXPECT_GT(std::fabs(frozen.vy - 300), 1e-3);
  EXPECT_NEAR((law.vy - 300) / 1e-3, (frozen.vy - 300) / 1e-3, 1e-3);
}

TEST(TrajectoryStep, VelocityGainFollowsTheRocketEquation) {
  // Constant thrust and mass flow: dV = ve*ln(m_start/m_end) in mode 2, and
  // also in mode 0 at sea level where back-pressure leaves no thrust at all.
  const double Fvac = 1e6, ve = 3000, m_end = 1e5 - 100 * Fvac / ve;
  FlightState s = vehicle(2, 300e3, 7700, 0, 5e4, 5e4, Fvac);
  s.mdot = -Fvac / ve;
  test::MemoryOutputs o;
  o.report.style.tofile = true;
  for (int i = 0; i < 100; ++i) step(s, o.out, 1);
  EXPECT_NEAR(s.m0 + s.Me, m_end, 1e-6);
  EXPECT_NEAR(s.dV, ve * std::log(1e5 / m_end), 1e-7);
  EXPECT_NEAR(s.a, Fvac / m_end, 1e-9);
  std::string last = lines(bytes(o.main)).back();
  EXPECT_EQ(field(last, col_alpha, 7), "   0.00");
  EXPECT_EQ(field(last, col_Pq, 9), "      0.0");
  EXPECT_EQ(lines(bytes(o.dynpres)).back(), " 100.00   0.0000");

  FlightState pad = vehicle(0, 0, 408, 0, 5e4, 5e4, Fvac);
  pad.vrot = 408;
  pad.mdot = -Fvac / ve;
  pad.Ae = 20;  // 20 m^2 at sea level hold back twice the thrust
  pad.follow_air = true;
  step(pad, o.out, 1);
  EXPECT_EQ(pad.a, 0);
  EXPECT_LT(pad.vy, 0);
  EXPECT_NEAR(pad.dV, ve * std::log(1e5 / (1e5 - Fvac / ve)), 1e-9);
}

// Under error control the thrust velocity a burn gains is the rocket
// equation's, ve ln(m_start / m_end), whatever the thrust does in time, as
// long as the mass flow follows it (F = -ve mdot): the integral of F / m is
// that of -ve dm / m. Each step ends at t + dt exactly, forward or back.
TEST(AdaptiveStep, ThrustVelocityFollowsTheRocketEquation) {
  const double ve = 3000;
  struct Case {
    const char* what;
    int mode;
    double h0, vx, Fdot, dt, steps;
    bool empty_first = false;  // a step of no length first (no proposal yet to carry on with)
  };
  const Case cases[] = {
      {"vacuum attitude, constant thrust", 2, 300e3, 7700, 0, 1, 100},
      {"vacuum attitude, throttled down", 2, 300e3, 7700, -5e3, 1, 100},
      {"pitch programme high in the air, throttled up", 0, 120e3, 3000, 5e3, 1, 100},
      {"pitch programme, whole burn in one step", 0, 120e3, 3000, 5e3, 100, 1},
      {"vacuum attitude, stepped back", 2, 300e3, 7700, -5e3, -1, 50},
      {"vacuum attitude, a step of no length first", 2, 300e3, 7700, 0, 1, 100, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const double Fvac = 1e6;
    FlightState s = vehicle(c.mode, c.h0, c.vx, 0, 5e4, 5e4, Fvac);
    s.tolerance = 1e-12;
    s.follow_air = true;
    s.Sref = 10;
    s.vrot = 400;
    s.Fdot = c.Fdot;
    s.mdot = -Fvac / ve;
    s.mddot = -c.Fdot / ve;
    const double m_start = s.m0 + s.Me, T = c.dt * c.steps;
    if (c.empty_first) step(s, {}, 0);
    for (int i = 0; i < c.steps; ++i) step(s, {}, c.dt);
    EXPECT_DOUBLE_EQ(s.t, T);
    // The mass is a quadratic in time, carried exactly.
    const double m_end = m_start - Fvac / ve * T - c.Fdot / ve * T * T / 2;
    EXPECT_NEAR(s.m0 + s.Me, m_end, 1e-6);
    EXPECT_NEAR(s.dV / (ve * std::log(m_start / m_end)), 1, 1e-9);
  }
}

// The rates a step keeps for the next one stand for an evaluation anew at the
// same state when the phase has changed only the rates of change of kick,
// mass flow and thrust, as the boosters' profile does at each of its points:
// the next step comes out the same to the bit as from a state that kept
// nothing.
TEST(AdaptiveStep, KeptRatesAcrossANewThrustRateAreTheRatesAnew) {
  FlightState s = climbing();
  s.tolerance = 1e-9;
  step(s, {}, 1);
  s.Fdot = -2e4;
  s.mddot = 2;
  s.kick_rate = 0.01;
  FlightState anew = s;
  anew.pair.kept = false;
  step(s, {}, 1);
  step(anew, {}, 1);
  const double FlightState::*fields[] = {&FlightState::vx,   &FlightState::h0,   &FlightState::vy,
                                         &FlightState::r0,   &FlightState::kick, &FlightState::m0,
                                         &FlightState::mdot, &FlightState::Fvac, &FlightState::dV};
  for (auto f : fields) EXPECT_EQ(s.*f, anew.*f);
}

// The adaptive integrator reads its next steps off the solution it kept
// only while the segment compares equal: a change of any quantity of the
// segment between two steps gives the next step the one a state that kept
// nothing takes, to the bit. Each case changes a quantity under a law that
// reads it.
TEST(AdaptiveStep, AChangeOfAnySegmentQuantityRestartsTheSolution) {
  static const DragTable other = make_drag_table(DragLaw{{0, 1, 5}, {0.3, 0.9, 0.5}});
  auto vertical = [](FlightState& s) {
    s.mode = Steering::vertical_law;
    s.kv = 2;
    s.cv = 1e-4;
    s.alpha_max = 0.3;
  };
  auto off_air = [](FlightState& s) {
    s.follow_air = false;
    s.alpha_held = 0.05;
  };
  auto guided = [](FlightState& s) {
    s.mode = Steering::guided;
    s.pitch = 0.4;
  };
  auto none = [](FlightState&) {};
  struct Case {
    const char* what;
    void (*law)(FlightState&);
    void (*change)(FlightState&);
  };
  const Case cases[] = {
      {"kick_rate", none, [](FlightState& s) { s.kick_rate = 0.01; }},
      {"mddot", none, [](FlightState& s) { s.mddot = 2; }},
      {"Fdot", none, [](FlightState& s) { s.Fdot = -2e4; }},
      {"Me", none, [](FlightState& s) { s.Me -= 1e3; }},
      {"Ae", none, [](FlightState& s) { s.Ae = 5; }},
      {"Sref", none, [](FlightState& s) { s.Sref = 60; }},
      {"vrot", none, [](FlightState& s) { s.vrot = 300; }},
      {"rho_scale", none, [](FlightState& s) { s.rho_scale = 1.1; }},
      {"drag", none, [](FlightState& s) { s.drag = &other; }},
      {"env", none, [](FlightState& s) { s.env = &exponential_earth(); }},
      {"mode", none, [](FlightState& s) { s.mode = Steering::vacuum; }},
      {"follow_air", none, [](FlightState& s) { s.follow_air = false; }},
      {"alpha_held", off_air, [](FlightState& s) { s.alpha_held = 0.06; }},
      {"alpha_max", vertical, [](FlightState& s) { s.alpha_max = 1e-3; }},
      {"kv", vertical, [](FlightState& s) { s.kv = 1.5; }},
      {"cv", vertical, [](FlightState& s) { s.cv = 2e-4; }},
      {"pitch", guided, [](FlightState& s) { s.pitch = 0.41; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FlightState s = climbing();
    c.law(s);
    s.tolerance = 1e-9;
    step(s, {}, 1);
    step(s, {}, 1);  // kept and read on
    c.change(s);
    FlightState anew = s;
    anew.pair.kept = false;
    step(s, {}, 1);
    step(anew, {}, 1);
    EXPECT_EQ(vector_of(s), vector_of(anew));
  }
}

// A force of its own, registered for the dynamics: a tow of 1e4 N along the
// local horizontal. The rates carry its acceleration in the horizontal
// velocity's rate and change nothing else, under every law.
struct Tow {
  static Acceleration acceleration(const FlightState&, const ForcePoint& p) { return {1e4 / p.m, 0}; }
};

TEST(Dynamics, AForceOfItsOwnAddsItsAccelerationAndNothingElse) {
  FlightState s = climbing();
  const StateVector y = vector_of(s);
  for (Steering mode : {Steering::pitch_program, Steering::vertical_law, Steering::vacuum, Steering::guided}) {
    SCOPED_TRACE(int(mode));
    s.mode = mode;
    s.kv = 2;
    s.cv = 1e-4;
    s.alpha_max = 0.3;
    steering::with_law(mode, [&](const auto& law) {
      const StateVector plain = derivatives(s, law, y);
      const StateVector towed = derivatives<std::decay_t<decltype(law)>, ForceList<Tow>>(s, law, y);
      EXPECT_NEAR(towed[0] - plain[0], 1e4 / (s.m0 + s.Me), 1e-12);
      for (std::size_t i = 1; i < y.size(); ++i) EXPECT_EQ(towed[i], plain[i]) << i;
    });
  }
  // The laws as the interface has them, by their mode.
  EXPECT_FALSE(steering_law(Steering::vacuum).in_air());
  EXPECT_TRUE(steering_law(Steering::guided).in_air());
  EXPECT_FALSE(steering_law(Steering::pitch_program).needs_beta(climbing()));
}

// One drag coefficient on a fixed area in the exponential atmosphere, no
// thrust: the rates are drag, gravity and the turning of the horizontal,
// each written out here from the air's formula, q = rho0 exp(-h/H) vr^2 / 2,
// and D = q Cd S against the air-relative path.
TEST(Dynamics, ConstantCoefficientDragInTheExponentialAtmosphere) {
  static const DragTable one_cd = make_drag_table(DragLaw{{1, 2}, {0.3, 0.9}, 0.5, 0});
  const Environment& e = exponential_earth();
  for (double h : {0.0, 12000.0, 60000.0}) {
    SCOPED_TRACE(h);
    FlightState s = vehicle(0, h, 1500, 400, 2e5, 1e5, 0);
    s.follow_air = true;
    s.vrot = 408;
    s.Sref = 4 * pi;
    s.drag = &one_cd;
    s.env = &e;
    const double r = 6378145 + h, vxr = 1500 - r * 408 / 6378145, vr = std::hypot(vxr, 400.0);
    const double q = 1.225 * std::exp(-h / 7200) * vr * vr / 2, D = q * 0.5 * (4 * pi), m = 3e5;
    const double ax = -D * vxr / vr / m - 1500 * 400 / r;
    const double ay = -D * 400 / vr / m + 1500 * 1500 / r - 3.986012e14 / (r * r);
    steering::with_law(s.mode, [&](const auto& law) {
      const StateVector rates = derivatives(s, law, vector_of(s));
      EXPECT_NEAR(rates[0], ax, 1e-12 * std::fabs(ax) + 1e-13);
      EXPECT_NEAR(rates[2], ay, 1e-12 * std::fabs(ay) + 1e-13);
    });
    step(s, {}, 0);
    EXPECT_NEAR(s.q, q, 1e-12 * q);
  }
}

TEST(TrajectoryStep, ExtremesAreTrackedOnlyInFileMode) {
  test::MemoryOutputs o;
  const Extremes& x = o.report.extremes;
  FlightState s = climbing();
  step(s, o.out, 1);
  EXPECT_GT(s.a, 0);
  EXPECT_EQ(x.amax + x.t_amax + x.Pqmax + x.t_Pqmax, 0);

  o.report.style.tofile = true;
  step(s, o.out, 1);
  EXPECT_EQ(x.amax, s.a);
  EXPECT_EQ(x.t_amax, 7);
  double p, rho, a_s;  // dynamic pressure from the air moving with the Earth
  atmosphere(s.h0, p, rho, a_s);
  const double vxr = s.vx - radius(s) * s.vrot / Re;
  EXPECT_NEAR(x.Pqmax, rho * (vxr * vxr + s.vy * s.vy) / 2, 1e-9 * x.Pqmax);
  EXPECT_EQ(x.t_Pqmax, 7);

  o.report.extremes.amax = 1e9;  // only a strictly greater value replaces the maximum
  step(s, o.out, 1);
  EXPECT_EQ(x.amax, 1e9);
  EXPECT_EQ(x.t_amax, 7);
}

TEST(TrajectoryStep, LoadStationsUpdateOnlyBelowTheCurrentMass) {
  // In vacuum the axial force at a station is the inertia of the mass above
  // it under the thrust acceleration, here 2e6 N / 1e5 kg.
  FlightState s = vehicle(2, 300e3, 7700, 0, 6e4, 4e4, 2e6);
  s.nst = 2;
  s.Mst[1] = 1e5;  // the whole vehicle: never lighter than the mass it carries
  s.Fst_max[1] = 9.8e5;
  s.Mst[2] = 4e4;
  s.Mst[3] = 1e4;  // beyond nst: not visited
  test::MemoryOutputs o;
  step(s, o.out, 1);
  EXPECT_EQ(s.Fst_max[1], 9.8e5);
  EXPECT_EQ(s.t_Fst_max[1], 0);
  EXPECT_NEAR(s.Fst_max[2], 20 * 4e4, 1e-6);
  EXPECT_EQ(s.t_Fst_max[2], 1);
  EXPECT_EQ(s.Fst_max[3], 0);
  EXPECT_THROW(s.Mst[4], std::out_of_range);
}

}  // namespace
}  // namespace ascent
