#include "phases/core_phase.hpp"

#include <gtest/gtest.h>

namespace ascent {
namespace {

// The turn-time correction after a pass with turn time tt that reached the
// perigee hp, climbing (vy > 0) or descending, with the given history.
struct Correction {
  FlightContext S;
  Correction(double tt, double hp, double vy, double tt_prev = 0, double hp_prev = 0) {
    S.tt = tt;
    S.tt_prev = tt_prev;
    S.hp_prev = hp_prev;
    S.fs.hp = hp;
    S.fs.vy = vy;
    correct_turn_time(S);
  }
};

TEST(TurnTimeCorrection, FirstSecantStepRunsThroughTheOrigin) {
  // Climbing: target perigee 37 km; 40 s x 37000 / 74000 = 20 s.
  Correction c(40, 74000, 12.5);
  EXPECT_DOUBLE_EQ(c.S.tt, 20);
  EXPECT_EQ(c.S.tt_prev, 40);
  EXPECT_EQ(c.S.hp_prev, 74000);

  // Descending: target perigee 155 km; 40 s x 155000 / 310000 = 20 s.
  Correction d(40, 310000, -3);
  EXPECT_DOUBLE_EQ(d.S.tt, 20);
}

TEST(TurnTimeCorrection, LaterStepsUseTheTwoLatestPoints) {
  // (10 s, 17 km) and (20 s, 57 km): 4 km per second, 20 km too high: 15 s.
  Correction c(20, 57000, 1, 10, 17000);
  EXPECT_DOUBLE_EQ(c.S.tt, 15);
  EXPECT_EQ(c.S.tt_prev, 20);
  EXPECT_EQ(c.S.hp_prev, 57000);
}

TEST(TurnTimeCorrection, ResultsOutsideTheOpenRangeAreNudgedAndClearTheHistory) {
  // 45 x 37000 / 18500 = 90 exactly: refused; perigee below target: up 0.1 s.
  Correction at90(45, 18500, 1);
  EXPECT_DOUBLE_EQ(at90.S.tt, 45.1);
  EXPECT_EQ(at90.S.tt_prev, 0);
  EXPECT_EQ(at90.S.hp_prev, 0);

  // Far beyond 90 s.
  Correction above(40, 10000, 1);
  EXPECT_DOUBLE_EQ(above.S.tt, 40.1);

  // (10 s, 50 km) then (20 s, 63 km): 20 - 26000 x 10 / 13000 = 0 exactly:
  // refused; perigee above target: down 0.1 s.
  Correction at0(20, 63000, 1, 10, 50000);
  EXPECT_DOUBLE_EQ(at0.S.tt, 19.9);
  EXPECT_EQ(at0.S.tt_prev, 0);
  EXPECT_EQ(at0.S.hp_prev, 0);

  // A negative result while descending: 20 - 45000 x 10 / 10000 = -25 s.
  Correction negative(20, 200000, -1, 10, 190000);
  EXPECT_DOUBLE_EQ(negative.S.tt, 19.9);
}

TEST(TurnTimeCorrection, EqualPerigeesNudgeInsteadOfDividingByZero) {
  Correction high(20, 50000, 1, 30, 50000);
  EXPECT_DOUBLE_EQ(high.S.tt, 19.9);
  EXPECT_EQ(high.S.tt_prev, 0);
  EXPECT_EQ(high.S.hp_prev, 0);

  // No history and a perigee of exactly 0 m: below the target, so up.
  Correction zero(20, 0, 1);
  EXPECT_DOUBLE_EQ(zero.S.tt, 20.1);
}

// Vis-viva at r = Re + 200 km on the orbit with perigee 150 km and apogee
// 398.6 km: v^2 = mu (2/r - 1/a), a = Re + 274.3 km; worked by hand.
TEST(CoreTargets, TargetSpeedIsVisVivaOnTheTargetOrbit) {
  FlightState s;
  s.h0 = 200000;
  s.hp = 150000;
  EXPECT_NEAR(v_target(s), 7827.59536, 1e-5);

  // On the circular target orbit it is the circular speed at 398.6 km.
  s.h0 = 398600;
  s.hp = 398600;
  EXPECT_NEAR(v_target(s), 7669.334970678074, 1e-9);
}

// Rocket equation by hand: 500 t at 5 MN with c = 4420.8 m/s burns
// m (1 - e^(-dv/c)) at 5e6/4420.8 kg/s for the missing dv.
TEST(CoreTargets, BurnTimeIsTheRocketEquationAtConstantThrust) {
  FlightState s;
  s.h0 = 398600;
  s.hp = 398600;  // v_target = 7669.334970678074 m/s
  s.m0 = 300000;
  s.Me = 200000;
  s.Fvac = 5e6;
  s.mdot = -s.Fvac / 4420.8;

  s.vi = 7669.334970678074 - 100;
  EXPECT_NEAR(burn_time(s), 9.887746297683917, 1e-9);
  s.vi = 7669.334970678074 + 100;  // overshot: a backward burn
  EXPECT_NEAR(burn_time(s), -10.113959345256726, 1e-9);
  s.vi = 7669.334970678074;
  EXPECT_NEAR(burn_time(s), 0, 1e-9);
}

}  // namespace
}  // namespace ascent

#include <string>
#include <vector>

#include "report/table_recorder.hpp"
#include "session/flight.hpp"
#include "test_support.hpp"
#include "vehicle/core_schedule.hpp"
#include "vehicle/description_file.hpp"

namespace ascent {
namespace {

// The schedule, known before the flight, against the masses the flight
// itself integrates: the stack's mass after the boosters have gone, from the
// schedule's thrust integrated by hand (each flow is the thrust over the
// exhaust speed, exact on straight lines), at every step of the core's burn
// until its cut-off. A throttle step a tenth of a second early or late moves
// the mass by about 200 kg.
TEST(CoreSchedule, IsTheMassTheFlightBurns) {
  struct Case {
    const char* description;
    const char* profile;
    double tt, alpha;
  };
  const Case cases[] = {{"/vehicles/orvalon5.toml", "/data/s1.dat", 36, 18},
                        {"/vehicles/orvalon5_guided.toml", "/data/s1.dat", 31.828, 7.502},
                        {"/vehicles/tarvos3_guided.toml", "/vehicles/tarvos3_boosters.dat", 40, 18}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.description);
    const Description d = read_description(std::string(ASCENT_SOURCE_DIR).append(c.description));
    const BoosterProfile profile = read_profile(std::string(ASCENT_SOURCE_DIR).append(c.profile));
    std::vector<double> rows;
    TableRecorder recorder(rows);
    FlightOptions o;
    o.step_observers.push_back(&recorder);
    FlightAnswers a;
    a.tt = c.tt;
    a.alpha = c.alpha;
    const Flight f = fly(d, profile, a, o);
    ASSERT_TRUE(f.ok) << f.error;

    const std::vector<ThrustKnot> k = core_thrust_schedule(d);
    const CoreStage& core = d.vehicle.core;
    const double above = d.vehicle.upper.stack_mass + core.dry_mass;
    int compared = 0, throttled = 0;
    for (std::size_t i = 0; i + 10 <= rows.size(); i += 10) {
      const double t = rows[i], m = rows[i + 9];
      if (t < d.vehicle.boosters.separation_time + 1) continue;
      double burnt = 0;  // kg, the core's propellant burnt by t
      for (std::size_t j = 1; j < k.size() && k[j - 1].t < t; ++j) {
        const double t1 = std::min(t, k[j].t);
        const double F1 = thrust_at(k, t1);
        burnt += (k[j - 1].F + F1) / 2 * (t1 - k[j - 1].t) / core.exhaust_speed;
      }
      const double left = core.propellant_mass - burnt;
      if (left < f.record.m0_core + 1) break;  // the cut-off came
      const double fairing = t > d.vehicle.fairing.jettison_time ? d.vehicle.fairing.mass : 0;
      EXPECT_NEAR(m, above - fairing + left, 0.01) << "t = " << t;
      ++compared;
      throttled += t > k[1].t;
    }
    // Steps at the entry throttle and under the throttle-down were compared.
    EXPECT_GT(compared, 100);
    EXPECT_GT(throttled, 5);
  }
}

}  // namespace
}  // namespace ascent
