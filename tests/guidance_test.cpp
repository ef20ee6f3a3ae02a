// Closed-loop guidance against truths of its own: the thrust integrals by
// quadrature, the steering flown by an independent integrator in vacuum,
// whole guided flights by vis-viva at the cut-offs, and a stage that runs dry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "phases/guided_flight.hpp"
#include "session/flight.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/keys.hpp"
#include "test_support.hpp"

namespace ascent {
namespace {

TEST(Guidance, ThrustIntegralsMatchQuadrature) {
  // a(t) = c / (tau - t), held at a_limit once it gets there.
  const double inf = std::numeric_limits<double>::infinity();
  struct Case {
    ThrustModel m;
    double T;
  };
  const Case cases[] = {{{4420.8, 400, inf}, 150},   // constant thrust throughout
                        {{4420.8, 400, 30}, 300},    // limit reached at 252.64 s
                        {{3071.4, 100, 20}, 80}};    // limited from the start
  for (const Case& c : cases) {
    auto a = [&](double t) { return std::fmin(c.m.c / (c.m.tau - t), c.m.a_limit); };
    // Simpson's rule on L = int a, J = int a t, S = int a (T - t), Q = int a t (T - t).
    const int n = 200000;
    const double h = c.T / n;
    double L = 0, J = 0, S = 0, Q = 0;
    for (int i = 0; i <= n; ++i) {
      const double t = i * h, w = (i == 0 || i == n) ? 1 : (i % 2 ? 4 : 2), x = w * a(t) * h / 3;
      L += x;
      J += x * t;
      S += x * (c.T - t);
      Q += x * t * (c.T - t);
    }
    const ThrustIntegrals I = thrust_integrals(c.m, c.T);
    EXPECT_NEAR(I.L, L, 1e-6 * L);
    EXPECT_NEAR(I.J, J, 1e-6 * J);
    EXPECT_NEAR(I.S, S, 1e-6 * S);
    EXPECT_NEAR(I.Q, Q, 1e-6 * Q);
    EXPECT_NEAR(time_to_gain(c.m, L), c.T, 1e-6 * c.T);
  }
}

// A stage in vacuum at constant thrust, flown by an integrator of its own in
// Cartesian inertial coordinates, steered by the guidance solved every
// second (held for the last 8 s), cut off at the predicted time: it ends on
// the target state.
TEST(Guidance, SteersAVacuumStageToItsCutoffState) {
  struct Case {
    double h, vx, vy, m, F, c;
    CutoffTarget target;
  };
  const double rp = Re + 37000, ra = Re + 398600;
  // Two core-like burns to a transfer orbit, and an upper stage's weak
  // circularisation near the apogee (six minutes at 0.28 m/s^2).
  const Case cases[] = {{150000, 6000, 300, 200000, 2.0e6, 4420.8, orbit_point(mu, rp, ra, Re + 160000)},
                        {120000, 5000, 900, 250000, 2.0e6, 4420.8, orbit_point(mu, rp, ra, Re + 200000)},
                        {394367, 7568, 45, 95912, 26689, 3071.4, {ra, std::sqrt(mu / ra), 0, mu}}};
  for (const Case& k : cases) {
    const double F = k.F, c = k.c;
    double x = 0, y = Re + k.h, vx = k.vx, vy = k.vy, m = k.m, t = 0;
    const ThrustModel model{c, 0, std::numeric_limits<double>::infinity()};
    auto local = [&](double& r, double& u, double& w) {  // radius, horizontal and vertical speed
      r = std::hypot(x, y);
      u = (vx * y - vy * x) / r;
      w = (vx * x + vy * y) / r;
    };
    GuidanceSolution g;
    bool have = false;
    double t_cut = 0;
    const double dt = 0.01;
    while (true) {
      double r, u, w;
      local(r, u, w);
      if (!have || (g.tgo - (t - g.t0) >= 8 && t - g.t0 >= 1 - 1e-9)) {
        ThrustModel mm = model;
        mm.tau = m * c / F;
        g = solve_guidance(t, r, u, w, k.target, mm, have ? &g : nullptr, have ? 1 : 8);
        t_cut = g.t0 + g.tgo;
        have = true;
      }
      const double step = std::fmin(dt, t_cut - t);
      if (step <= 1e-12) break;
      // RK4 on (x, y, vx, vy, m) with the pitch of the held solution.
      auto deriv = [&](double tt, const double* s, double* d) {
        const double rr = std::hypot(s[0], s[1]);
        const double psi = guided_pitch(g, tt);
        const double ux = s[1] / rr, uy = -s[0] / rr;  // local horizontal, down-range
        const double ex = s[0] / rr, ey = s[1] / rr;   // local vertical
        const double a = F / s[4];
        d[0] = s[2];
        d[1] = s[3];
        d[2] = a * (std::cos(psi) * ux + std::sin(psi) * ex) - mu * s[0] / (rr * rr * rr);
        d[3] = a * (std::cos(psi) * uy + std::sin(psi) * ey) - mu * s[1] / (rr * rr * rr);
        d[4] = -F / c;
      };
      double s0[5] = {x, y, vx, vy, m}, k1[5], k2[5], k3[5], k4[5], z[5];
      deriv(t, s0, k1);
      for (int i = 0; i < 5; ++i) z[i] = s0[i] + k1[i] * step / 2;
      deriv(t + step / 2, z, k2);
      for (int i = 0; i < 5; ++i) z[i] = s0[i] + k2[i] * step / 2;
      deriv(t + step / 2, z, k3);
      for (int i = 0; i < 5; ++i) z[i] = s0[i] + k3[i] * step;
      deriv(t + step, z, k4);
      for (int i = 0; i < 5; ++i) s0[i] += (k1[i] + 2 * (k2[i] + k3[i]) + k4[i]) * step / 6;
      x = s0[0], y = s0[1], vx = s0[2], vy = s0[3], m = s0[4];
      t += step;
    }
    double r, u, w;
    local(r, u, w);
    EXPECT_NEAR(r, k.target.r, 100);
    EXPECT_NEAR(std::hypot(u, w), k.target.v, 0.5);
    EXPECT_NEAR(std::atan2(w, u), k.target.gamma, 2e-4);
  }
}

// The orbit of a state by vis-viva and the angular momentum.
struct Apsides {
  double rp, ra;
};
Apsides apsides(double h0, double vx, double vy) {
  const double r = Re + h0, v2 = vx * vx + vy * vy;
  const double a = 1 / (2 / r - v2 / mu);
  const double e = std::sqrt(std::fmax(0.0, 1 - (r * vx) * (r * vx) / (mu * a)));
  return {a * (1 - e), a * (1 + e)};
}

// The last step before each event, and the events' names in order.
struct Watch : StepObserver, EventObserver {
  StepRecord last;
  StepRecord at_core_cutoff;
  std::vector<std::string> events;
  void on_step(const StepRecord& r) override { last = r; }
  void on_event(const FlightEvent& e) override {
    if (e.kind == EventKind::core_cutoff) at_core_cutoff = last;
    if (e.kind == EventKind::guidance_takeover || e.kind == EventKind::guidance_converged ||
        e.kind == EventKind::propellant_depleted) {
      events.push_back(std::to_string(int(e.kind)) + e.name);
    }
  }
};

Flight fly_watched(const Description& d, const BoosterProfile& p, double tt, double alpha, Watch& w) {
  FlightAnswers a;
  a.tt = tt;
  a.alpha = alpha;
  FlightOptions o;
  o.step_observers = {&w};
  o.event_observers = {&w};
  return fly(d, p, a, o);
}

TEST(Guidance, GuidedFlightsCutOffOnTheirOrbits) {
  const std::string src = ASCENT_SOURCE_DIR;
  using Case = test::BundledFlight;
  const Case cases[] = {{"/vehicles/orvalon5_guided.toml", "/data/s1.dat", 36, 18},
                        {"/vehicles/orvalon5_guided.toml", "/data/s1.dat", 20, 25},
                        {"/vehicles/tarvos3_guided.toml", "/vehicles/tarvos3_boosters.dat", 40, 18}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.description) + " " + std::to_string(c.tt));
    const Description d = read_description(src + c.description);
    const BoosterProfile p = read_profile(src + c.profile);
    Watch w;
    const Flight f = fly_watched(d, p, c.tt, c.alpha, w);
    ASSERT_TRUE(f.ok) << f.error;
    const Target& T = d.mission.target;
    // The core's cut-off state lies on the transfer orbit.
    const StepRecord& s = w.at_core_cutoff;
    const Apsides core = apsides(s.h0, s.vx, s.vy);
    EXPECT_NEAR(core.rp - Re, T.perigee_climbing, 1000);
    EXPECT_NEAR(core.ra - Re, T.apogee_altitude, 1000);
    // The upper stage's cut-off, on the target's circle.
    const Apsides last = apsides(w.last.h0, w.last.vx, w.last.vy);
    EXPECT_NEAR(last.rp - Re, T.apogee_altitude, 1000);
    EXPECT_NEAR(last.ra - Re, T.apogee_altitude, 1000);
    EXPECT_FALSE(f.record.core_dry || f.record.upper_dry);
    EXPECT_GE(f.record.m0_core, 0);
    const std::string take = std::to_string(int(EventKind::guidance_takeover));
    const std::string conv = std::to_string(int(EventKind::guidance_converged));
    EXPECT_EQ(w.events, (std::vector<std::string>{take + "core", conv + "core", take + "upper", conv + "upper"}));
  }
}

// Guidance must lose nothing against the best open-loop programme: the
// open-loop optimum within 2 km (ascent-optimize on orvalon5.toml: 33.714 s,
// 17.685 degrees) against the guided vehicle at its own optimum.
TEST(Guidance, CarriesAtLeastTheBestOpenLoopFlight) {
  const std::string src = ASCENT_SOURCE_DIR;
  const BoosterProfile p = read_profile(src + "/data/s1.dat");
  Watch open_watch, guided_watch;
  const Flight open = fly_watched(read_description(src + "/vehicles/orvalon5.toml"), p, 33.714, 17.685, open_watch);
  const Flight guided =
      fly_watched(read_description(src + "/vehicles/orvalon5_guided.toml"), p, 31.828, 7.502, guided_watch);
  ASSERT_TRUE(open.ok && guided.ok);
  const Apsides o = apsides(open_watch.last.h0, open_watch.last.vx, open_watch.last.vy);
  const Apsides g = apsides(guided_watch.last.h0, guided_watch.last.vx, guided_watch.last.vy);
  EXPECT_NEAR(o.rp - Re, 398600, 2500);  // the open-loop flight ends a little low
  EXPECT_NEAR(g.rp - Re, 398600, 100);
  EXPECT_NEAR(g.ra - Re, 398600, 100);
  EXPECT_GE(guided.record.Msc, open.record.Msc);
}

TEST(Guidance, AStageThatRunsDryEndsItsBurnThere) {
  const std::string src = ASCENT_SOURCE_DIR;
  Description d = read_description(src + "/vehicles/orvalon5_guided.toml");
  const BoosterProfile p = read_profile(src + "/data/s1.dat");
  struct Case {
    double core_propellant, upper_propellant;
    bool core_dry, upper_dry;
  };
  const Case cases[] = {{d.vehicle.core.propellant_mass - 40000, d.vehicle.upper.propellant_mass, true, false},
                        {d.vehicle.core.propellant_mass, 500, false, true}};
  for (const Case& c : cases) {
    Description e = d;
    e.vehicle.core.propellant_mass = c.core_propellant;
    e.vehicle.upper.propellant_mass = c.upper_propellant;
    Watch w;
    const Flight f = fly_watched(e, p, 36, 18, w);
    ASSERT_TRUE(f.ok) << f.error;
    // A core that ran dry may leave the upper stage too much to make up.
    EXPECT_EQ(f.record.core_dry, c.core_dry);
    if (!c.core_dry) {
      EXPECT_EQ(f.record.upper_dry, c.upper_dry);
    }
    // Nothing borrowed: each stage ends with what it loaded, or less.
    EXPECT_GE(f.record.m0_core, 0);
    EXPECT_GE(f.record.m0_upper, 0);
    if (c.core_dry) {
      EXPECT_EQ(f.record.m0_core, 0);
    }
    if (c.upper_dry) {
      EXPECT_EQ(f.record.m0_upper, 0);
    }
    const std::string dry = std::to_string(int(EventKind::propellant_depleted)) + (c.core_dry ? "core" : "upper");
    EXPECT_EQ(std::count(w.events.begin(), w.events.end(), dry), 1);
    // Short of its cut-off speed, the orbit is not the target's.
    EXPECT_GT(std::fabs(f.record.hp_final - d.mission.target.apogee_altitude), 2000);
  }
}

TEST(Guidance, TheDescriptionAsksForItAndChecksIt) {
  Description d = builtin_description();
  d.mission.guidance.mode = "closed-loop";
  const std::string text = write_description(d);
  EXPECT_NE(text.find("[guidance]\n"), std::string::npos);
  EXPECT_EQ(first_difference(parse_description(text, "g.toml"), d), nullptr);
  struct Case {
    const char* mode;
    double insertion;
    const char* fault;  // the key a problem is reported at, or empty
  };
  const Case cases[] = {{"closed-loop", 150000, ""},
                        {"closedloop", 150000, "guidance.mode"},
                        {"closed-loop", 30000, "guidance.insertion_altitude"},   // below the transfer's perigee
                        {"closed-loop", 400000, "guidance.insertion_altitude"},  // above its apogee
                        {"open-loop", 400000, ""}};                              // not used in open loop
  for (const Case& c : cases) {
    Description x = builtin_description();
    x.mission.guidance.mode = c.mode;
    x.mission.guidance.insertion_altitude = c.insertion;
    const std::vector<Problem> p = check_description(x);
    EXPECT_EQ(p.empty() ? std::string() : p.front().key, c.fault) << c.mode << " " << c.insertion;
  }
}

}  // namespace
}  // namespace ascent
