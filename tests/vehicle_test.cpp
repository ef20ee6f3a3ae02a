// The vehicle as data: the built-in description's derived values against the
// constants the program flew before it was described, the drag law as a
// table, the key table, and flights that change one key.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include "atmosphere/earth.hpp"
#include "phases/booster_phase.hpp"
#include "phases/phase_support.hpp"
#include "session/flight.hpp"
#include "test_support.hpp"
#include "trajectory/drag.hpp"
#include "vehicle/keys.hpp"

namespace ascent {
namespace {

const Description& B = builtin_description();

TEST(BuiltinVehicle, DerivedValuesEqualTheConstantsTheyReplace) {
  // The literals the phases held before the vehicle was data; each derived
  // value must be the very same double, or the default flight would change.
  const Vehicle& v = B.vehicle;
  EXPECT_EQ(core_thrust(v.core, v.core.throttle_entry), 9282548.16);  // 1.11 x 8362656 N
  EXPECT_EQ(-core_thrust(v.core, v.core.throttle_step) / v.core.throttle_step_time, -836265.6);
  EXPECT_EQ(v.core.throttle_minimum * v.core.engine_thrust, 1358931.6);  // one engine at 0.65
  EXPECT_EQ(core_exit_area(v.core), 16.673713298791018);
  EXPECT_EQ(circular_speed(builtin_environment(), B.mission.target.apogee_altitude), 7669.334970678074);
  EXPECT_EQ(v.upper.stack_mass + (v.core.dry_mass + v.core.propellant_mass), 106794.0 + 1074908.0);
  EXPECT_EQ(v.boosters.count * v.boosters.mass, 1554007.6);
  EXPECT_EQ(v.core.propellant_mass + v.boosters.count * v.boosters.propellant_mass, 2324105.2);
  EXPECT_EQ(B.mission.plan.pitch_time + profile_spacing_slack, 0.986833971065);
  EXPECT_EQ(B.mission.plan.pitch_rate * pi / 180, 1.3 * pi / 180);
  // Cross-sections from diameters: the squares the program was given.
  EXPECT_EQ(circle_area(v.core.diameter), pi * 70.68437476 / 4);
  EXPECT_EQ(circle_area(v.boosters.diameter), pi * 27.96611689 / 4);
  EXPECT_EQ(v.boosters.count * circle_area(v.boosters.nozzle_exit_diameter), 2 * pi * 15.01407504 / 4);
  EXPECT_EQ(circle_area(v.upper.nozzle_exit_diameter), pi * 1.364224 / 4);
}

TEST(BuiltinVehicle, ThrottleDownTakesAsManyStepsAsTheOldSchedule) {
  // The schedule used to run from 1.11 down by 0.01 until below 0.65001.
  int steps = 0;
  for (double throttle = 1.11; !(0.65001 > throttle);) {
    throttle = throttle - 0.01;
    ++steps;
  }
  EXPECT_EQ(throttle_steps(B.vehicle.core), steps);
  CoreStage c = B.vehicle.core;
  c.throttle_entry = 1.0;
  c.throttle_minimum = 0.7;
  c.throttle_step = 0.1;
  EXPECT_EQ(throttle_steps(c), 3);
  // A step that does not divide the range: the nearest whole number of
  // steps, 0.46 / 0.013 = 35.38 -> 35 and 0.46 / 0.0128 = 35.94 -> 36.
  c = B.vehicle.core;
  for (auto [step, n] : {std::pair{0.013, 35}, {0.0128, 36}}) {
    c.throttle_step = step;
    EXPECT_EQ(throttle_steps(c), n) << step;
  }
}

// The drag law the program was written with: pieces chosen by the integer
// nearest to Mach - 0.5.
double piecewise_cd(double mach) {
  double k = std::nearbyint(mach - 0.5);
  if (k <= 0) return 0.4;
  if (k == 1) return mach < 1.4 ? 0.8 : 0.8 - 0.11 * (mach - 1.4) / 0.6;
  if (k == 2) return 0.69 - 0.1 * (mach - 2);
  if (k <= 4) return 0.59 - 0.02 * (mach - 3);
  return 0.55;
}

TEST(DragLaw, BuiltinTableEqualsThePiecewiseLawBitForBit) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> mach(0, 7);
  const DragTable& d = builtin_drag_table();
  for (int i = 0; i < 200000; ++i) {
    double m = mach(gen);
    ASSERT_EQ(drag_coefficient(d, m), piecewise_cd(m)) << m;
  }
  // At the points themselves the table's values hold to the bit, where the
  // piecewise formula's lines may end a bit off (Mach 2: 0.6900000000000001).
  for (double m : {0.0, 1.0, std::nextafter(1.0, 2.0), 40.0}) {
    EXPECT_EQ(drag_coefficient(d, m), piecewise_cd(m)) << m;
  }
  for (std::size_t i = 0; i < d.mach.size(); ++i) {
    if (i > 0 && d.mach[i - 1] == d.mach[i]) continue;  // above a jump: the lower value holds at it
    EXPECT_EQ(drag_coefficient(d, d.mach[i]), d.cd[i]) << d.mach[i];
  }
}

TEST(DragLaw, AnotherTableInterpolatesJumpsAndHoldsItsEnds) {
  DragLaw law;
  law.mach = {0.5, 0.9, 0.9, 2.5};
  law.cd = {0.3, 0.35, 0.6, 0.2};
  DragTable d = make_drag_table(law);
  EXPECT_EQ(drag_coefficient(d, 0.1), 0.3);
  EXPECT_NEAR(drag_coefficient(d, 0.7), 0.325, 1e-15);
  EXPECT_NEAR(drag_coefficient(d, 0.9), 0.35, 1e-15);  // the jump takes effect above its Mach number
  EXPECT_NEAR(drag_coefficient(d, 1.3), 0.5, 1e-15);    // 0.6 - 0.4 x 0.4 / 1.6
  EXPECT_EQ(drag_coefficient(d, 9.0), 0.2);
}

// Numbers written in the phases' code, outside comments and strings, other
// than the formulas' own small constants and the output's field widths.
std::vector<std::string> numbers_in_phases() {
  const std::set<std::string> formula = {"0", "0.0", "0.5", "1", "1.0", "2", "3", "4", "6", "90.0", "180", "1000", "8192"};
  // The numerical method's own settings: search bounds, tolerances, the profile's size.
  const std::set<std::string> method = {"max_search_steps", "max_trim_steps", "tb_tolerance",
                                        "search_refinement", "profile_spacing_slack", "max_points",
                                        "coast_air_top", "coast_tolerance", "coast_line_interval", "guided_arc_bottom",
                                        "first_passes",
                                        "converged_cutoff_time", "cycle_slack", "event_time_resolution",
                                        "reuse_moved", "reuse_cycles", "reuse_share",
                                        "max_bisections", "extension_window", "max_extension_iterations",
                                        "steer_passes", "steer_tolerance", "inclination_tolerance_deg"};
  const std::regex comment("//[^\n]*"), text("\"(\\\\.|[^\"\\\\])*\"");
  const std::regex widths(",\\s*\\d+,\\s*\\d+\\s*[,)]|indent\\(\\d+");
  const std::regex number("(^|[^A-Za-z_0-9.])(\\d+\\.?\\d*([eE][-+]?\\d+)?|\\.\\d+([eE][-+]?\\d+)?)");
  std::vector<std::string> found;
  for (const auto& e : std::filesystem::directory_iterator(std::string(ASCENT_SOURCE_DIR) + "/src/phases")) {
    std::ifstream f(e.path());
    std::stringstream ss;
    ss << f.rdbuf();
    std::string code = std::regex_replace(std::regex_replace(ss.str(), comment, ""), text, "\"\"");
    std::istringstream lines(code);
    for (std::string line; std::getline(lines, line);) {
      bool setting = false;
      for (const std::string& name : method) {
        setting = setting || (line.find("constexpr") != std::string::npos && line.find(name + " =") != std::string::npos);
      }
      if (setting) continue;
      std::string rest = std::regex_replace(line, widths, ",");
      for (std::sregex_iterator it(rest.begin(), rest.end(), number), end; it != end; ++it) {
        if (formula.count((*it)[2].str()) == 0) found.push_back(e.path().filename().string() + ": " + line);
      }
    }
  }
  return found;
}

TEST(Phases, HoldNoVehicleOrMissionNumber) {
  std::vector<std::string> found = numbers_in_phases();
  EXPECT_TRUE(found.empty()) << found.size() << " lines, the first: " << (found.empty() ? "" : found[0]);
}

TEST(KeyTable, EveryNumberKeyReachesItsOwnField) {
  // Give every number key a distinct value inside its range; each must read
  // back its own, so no two keys share a field and none writes elsewhere.
  Description d = B;
  std::vector<const Key*> keys;
  for (const Key& k : description_keys()) {
    if (k.kind == KeyKind::real || k.kind == KeyKind::count) keys.push_back(&k);
  }
  ASSERT_GT(keys.size(), 40u);
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Key& k = *keys[i];
    double x = k.kind == KeyKind::count ? k.min + static_cast<double>(i % 2) : k.min + (k.max - k.min) * (i + 1) / 1000.0;
    if (k.min_excluded && x == k.min) x = std::nextafter(k.min, k.max);
    ASSERT_EQ(set_key_value(d, k, x), "") << k.name;
  }
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Key& k = *keys[i];
    if (k.kind == KeyKind::count) continue;
    double want = k.min + (k.max - k.min) * (i + 1) / 1000.0;
    EXPECT_EQ(key_value(d, k), want) << k.name;
  }
  EXPECT_EQ(first_difference(B, d), keys[0]);
  EXPECT_EQ(first_difference(d, d), nullptr);
  Description z = B;
  z.vehicle.boosters.area_correction = -0.0;
  Description w = z;
  w.vehicle.boosters.area_correction = 0.0;  // equal as numbers, not as bits
  EXPECT_EQ(first_difference(z, w), find_key("boosters.area_correction"));
  EXPECT_EQ(find_key("core.exhaust_speed")->real(d), d.vehicle.core.exhaust_speed);
  EXPECT_EQ(find_key("core.exhaust_spede"), nullptr);
}

TEST(KeyTable, RefusesValuesOutsideTheirRangeAndDescriptionsThatDoNotAddUp) {
  Description d = B;
  EXPECT_EQ(set_key_value(d, *find_key("core.exhaust_speed"), -4420.8), "must be positive, got -4420.8");
  EXPECT_EQ(set_key_value(d, *find_key("core.engines"), 2.5), "must be a whole number, got 2.5");
  EXPECT_EQ(set_key_value(d, *find_key("core.engines"), 0), "must be at least 1, got 0");
  EXPECT_NE(set_key_value(d, *find_key("target.apogee_altitude"), 50000), "");  // inside the atmosphere
  EXPECT_NE(set_key_value(d, *find_key("name"), 1), "");                      // not a number
  EXPECT_EQ(d.vehicle.core.exhaust_speed, 4420.8);                           // nothing changed
  EXPECT_TRUE(check_description(d).empty());

  auto problem_at = [](const Description& x) { return check_description(x).at(0).key; };
  Description t = B;
  t.vehicle.core.throttle_minimum = 1.2;  // above the entry throttle: no descent
  EXPECT_EQ(problem_at(t), "core.throttle_minimum");
  t = B;
  t.vehicle.drag.mach = {1.0, 1.4, 1.2, 2.0, 3.0, 5.0};
  EXPECT_EQ(problem_at(t), "drag.mach");
  t = B;
  t.vehicle.drag.cd.pop_back();
  EXPECT_EQ(problem_at(t), "drag.cd");
  t = B;
  t.vehicle.upper.stack_mass = 10000;  // less than the fairing, adaptor and propellant
  EXPECT_EQ(problem_at(t), "upper.stack_mass");
  t = B;
  t.mission.target.inclination = 20;  // below the launch site's latitude
  EXPECT_EQ(problem_at(t), "target.inclination");
}

// In-process flights of the bundled profile.
const BoosterProfile& bundled() {
  static const BoosterProfile p = read_profile(std::string(ASCENT_SOURCE_DIR) + "/data/s1.dat");
  return p;
}

Flight fly_with(const Description& d, double tt = 36, double alpha = 18) {
  FlightAnswers a;
  a.tt = tt;
  a.alpha = alpha;
  FlightOptions o;
  o.outputs = FlightOutputs::memory;
  Flight f = fly(d, bundled(), a, o);
  EXPECT_TRUE(f.ok) << f.error;
  return f;
}

// Time of the last table line before the first line that starts with `event`.
double time_before(const std::string& main_text, const std::string& event) {
  std::vector<std::string> L = test::lines(main_text);
  double t = std::nan("");
  for (const std::string& l : L) {
    if (l.rfind(event, 0) == 0) return t;
    std::istringstream in(l);
    double v[10];
    int n = 0;
    while (n < 10 && in >> v[n]) ++n;
    if (n == 10) t = v[0];  // a table line: ten numbers
  }
  ADD_FAILURE() << "no " << event;
  return t;
}

TEST(VehicleKeys, MoreUpperStageThrustShortensItsBurn) {
  // At constant thrust and exhaust speed the flow is F/c: the burn lasts the
  // propellant used times c over F.
  auto burn = [](const Description& d) {
    Flight f = fly_with(d);
    double t = time_before(f.main_text, "AJ10-190 cutoff!") - time_before(f.main_text, "AJ10-190 ignition!");
    double by_flow = f.record.Mused * d.vehicle.upper.exhaust_speed / d.vehicle.upper.thrust;
    EXPECT_NEAR(t, by_flow, 0.02 * by_flow + 0.05) << d.vehicle.upper.thrust;
    return t;
  };
  Description strong = B;
  strong.vehicle.upper.thrust = 2 * B.vehicle.upper.thrust;
  EXPECT_LT(burn(strong), 0.6 * burn(B));
}

TEST(VehicleKeys, FasterCoreExhaustLeavesMoreCorePropellant) {
  // The same speed from the same mass costs less propellant at a higher
  // exhaust speed: m (1 - exp(-dv/c)) falls as c rises.
  Description better = B;
  better.vehicle.core.exhaust_speed = 4500;
  Flight base = fly_with(B), fast = fly_with(better);
  EXPECT_GT(fast.record.m0_core, base.record.m0_core + 1000);
}

TEST(VehicleKeys, AnotherTargetAltitudeEndsOnThatOrbit) {
  Description high = B;
  high.mission.target.apogee_altitude = 450000;
  Flight f = fly_with(high, 20, 20);
  // The core aims its apogee at the target; the upper stage circularises there.
  EXPECT_NEAR(f.record.ha_core, 450000, 1);
  EXPECT_NEAR(f.record.hp_final, 450000, 10000);
  EXPECT_NEAR(f.record.ha_final, 450000, 10000);
  EXPECT_GT(fly_with(B, 20, 20).record.Msc, f.record.Msc);  // higher costs payload
}

// The plane through the site at the target inclination: at an inclination
// equal to the latitude it leaves due east, and the rotation credited is the
// whole surface speed omega R cos(latitude) (the triangle of speeds closes on
// one line); just above it the azimuth is a number near 90 degrees.
TEST(LaunchPlane, DueEastAtAnInclinationEqualToTheLatitude) {
  const Environment& e = builtin_environment();
  struct Case {
    double latitude, inclination, azimuth_deg;  // deg
  } cases[] = {{28.5, 28.5, 90}, {-28.45, 28.45, 90}, {51.6, 51.6, 90}, {28.45, 28.45 + 1e-12, 90}, {0, 51.6, 38.4}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.latitude);
    Target t;
    t.latitude = c.latitude;
    t.inclination = c.inclination;
    EXPECT_NEAR(launch_azimuth(t) * 180 / pi, c.azimuth_deg, 1e-4);
    if (c.azimuth_deg == 90) {
      const double omega = 2 * pi / 86164.09;
      EXPECT_NEAR(launch_site_vrot(t, e), omega * 6378165 * std::cos(c.latitude * pi / 180), 1e-6);
    }
  }
}

}  // namespace
}  // namespace ascent
