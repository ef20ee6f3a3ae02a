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
