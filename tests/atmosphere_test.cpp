#include "atmosphere/atmosphere.hpp"
#include "atmosphere/environment.hpp"
#include "vehicle/vehicle.hpp"
#include "trajectory/model_environment.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace ascent {
namespace {

struct Air {
  double p, rho, a_s;
  double T() const { return a_s * a_s / sound_k; }  // K, back from the speed of sound
};

Air at(double h) {
  atmosphere_init();
  Air w{};
  atmosphere(h, w.p, w.rho, w.a_s);
  return w;
}

Air upper_at(double Z) {
  Air w{};
  upper_atmosphere(atmosphere_tables(), Z, w.p, w.rho, w.a_s);
  return w;
}

TEST(Atmosphere, LayerBasesAreThoseOfTheStandard) {
  const AtmosphereTables& t = atmosphere_tables();
  const double Tb[] = {288.15, 216.65, 216.65, 228.65, 270.65, 270.65, 214.65, 186.946};
  const double Pb[] = {101325,    22632.064, 5474.8887, 868.01868,
                       110.90631, 66.938873, 3.9564204, 0.37338359};
  for (int i = 0; i < n_layers; ++i) {
    EXPECT_NEAR(t.Tb[i], Tb[i], 1e-9) << "layer " << i;
    EXPECT_NEAR(t.Pb[i], Pb[i], 0.5e-8 * std::pow(10.0, std::floor(std::log10(Pb[i])) + 1))
        << "layer " << i;  // half a unit of the eighth digit
  }
}

TEST(Atmosphere, LowerLayersAtWorkedAltitudes) {
  Air w = at(0);
  EXPECT_EQ(w.p, 101325.0);
  EXPECT_NEAR(w.rho, 1.2249991558877, 5e-14);
  EXPECT_NEAR(w.a_s, 340.29410778694, 5e-12);

  w = at(1000);
  EXPECT_NEAR(w.T(), 281.65662, 5e-6);
  EXPECT_NEAR(w.p, 89885.671, 5e-4);
  EXPECT_NEAR(w.rho, 1.1117530, 5e-8);
  EXPECT_NEAR(w.a_s, 336.43804, 5e-6);

  w = at(11000);  // H just below 11000: still the troposphere
  EXPECT_NEAR(w.T(), 216.83460, 5e-6);
  EXPECT_NEAR(w.p, 22733.600, 5e-4);

  w = at(50000);  // isothermal layer 4
  EXPECT_NEAR(w.T(), 270.65, 1e-9);
  EXPECT_NEAR(w.p, 80.197542, 5e-7);
  EXPECT_NEAR(w.rho, 0.0010322641, 5e-11);
  EXPECT_NEAR(w.a_s, 329.79885, 5e-6);

  w = at(80000);
  EXPECT_NEAR(w.T(), 198.76813, 5e-6);
  EXPECT_NEAR(w.p, 1.0642607, 5e-8);

  w = at(-500);  // below the reference sphere the troposphere is extrapolated
  EXPECT_NEAR(w.T(), 291.39745, 5e-6);
  EXPECT_NEAR(w.p, 107472.57, 5e-3);
}

TEST(Atmosphere, SwitchToTheUpperAtmosphereAt86km) {
  Air lower = at(86071.25);  // Z just below 86000: isothermal layer 7
  EXPECT_NEAR(lower.T(), 186.946, 1e-9);
  EXPECT_NEAR(lower.p, 0.37338066, 5e-9);
  EXPECT_NEAR(lower.rho, 6.9578240e-06, 5e-14);
  EXPECT_NEAR(lower.a_s, 274.09632, 5e-6);

  Air upper = at(86071.26);  // 1 cm higher: the splines answer
  EXPECT_NEAR(upper.p / lower.p, 1.0, 5e-6);
  EXPECT_NEAR(upper_at(86000).p / lower.p, 1.0, 2e-6);
  EXPECT_NEAR(upper.rho / lower.rho, 1.0, 1e-4);
  EXPECT_DOUBLE_EQ(upper.a_s, lower.a_s);
  EXPECT_NEAR(upper.a_s, 274.09632, 5e-6);
}

TEST(UpperAtmosphere, SplinesPassThroughEveryKnot) {
  for (int k = 0; k < n_knots; ++k) {
    Air w = upper_at(Zk[k]);
    EXPECT_NEAR(w.p / Pk[k], 1.0, 1e-12) << "knot " << k;
    EXPECT_NEAR(w.rho / rhok[k], 1.0, 1e-12) << "knot " << k;
    EXPECT_NEAR(w.a_s, 274.09632, 5e-6);
  }
}

TEST(UpperAtmosphere, ValuesBetweenKnots) {
  Air w = upper_at(90000);
  EXPECT_NEAR(w.p, 0.181179305, 5e-10);
  EXPECT_NEAR(w.rho, 3.40453965e-06, 5e-15);
  w = upper_at(120000);
  EXPECT_NEAR(w.p, 0.00250071375, 5e-12);
  EXPECT_NEAR(w.rho, 2.22484937e-08, 5e-17);
  w = upper_at(350000);
  EXPECT_NEAR(w.p, 3.44414403e-06, 5e-15);
  EXPECT_NEAR(w.rho, 7.00038390e-12, 5e-21);
}

TEST(UpperAtmosphere, FirstPressureCoefficients) {
  const SplineSet& s = atmosphere_tables().lnP;
  EXPECT_NEAR(s.b[0], -1.8124954e-04, 5e-12);
  EXPECT_EQ(s.c[0], 0.0);
  EXPECT_NEAR(s.d[0], 2.9510374e-14, 5e-22);
}

TEST(UpperAtmosphere, ClampedAboveTheTopKnot) {
  Air top = upper_at(1000000);
  EXPECT_NEAR(top.p, 7.5138e-09, 5e-18);
  EXPECT_NEAR(top.rho, 3.561e-15, 5e-24);
  for (double h : {1000470.0, 1.5e6, 4.0e7}) {
    Air w = at(h);
    EXPECT_EQ(w.p, top.p) << h;
    EXPECT_EQ(w.rho, top.rho) << h;
  }
  Air below = at(1000469.0);  // still inside the table
  EXPECT_GT(below.p, top.p);
}

// The exponential atmosphere of 1.225 kg/m^3 and a 7200 m scale height: the
// density and pressure fall by e every scale height (values of
// 1.225 exp(-h / 7200) and 101325 exp(-h / 7200) worked apart from the
// program), at the isothermal speed of sound sqrt(1.4 x 101325 / 1.225),
// 340.294 m/s. The standard model looks the air up as it always did.
TEST(ExponentialAtmosphere, DensityPressureAndSoundFromItsFormula) {
  Description d;
  d.mission.atmosphere = {"exponential", 1.225, 7200};
  const Environment e = make_environment(d);
  struct Case {
    double h, rho, p;
  } cases[] = {{0, 1.225, 101325},
               {7200, 0.4506523154350169, 37275.38437669639},
               {36000, 0.008253985073879698, 682.7224796823349},
               {100000, 1.1383302697607986e-06, 0.09415617517021461}};
  for (const Case& c : cases) {
    Air w{};
    EXPECT_TRUE(air_of(e, c.h, false, w.p, w.rho, w.a_s));
    EXPECT_NEAR(w.rho, c.rho, 1e-14 * c.rho) << c.h;
    EXPECT_NEAR(w.p, c.p, 1e-14 * c.p) << c.h;
    EXPECT_NEAR(w.a_s, 340.29399054347, 1e-9) << c.h;
    Air standard{}, looked_up = at(c.h);
    air_of(builtin_environment(), c.h, true, standard.p, standard.rho, standard.a_s);
    EXPECT_EQ(standard.rho, looked_up.rho) << c.h;
  }
}

}  // namespace
}  // namespace ascent
