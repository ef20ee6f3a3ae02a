// Staged vehicles: the bundled two-stage launcher's orbits, each burn against
// the rocket equation, what leaves at each separation against the
// description, the refusals, and the classic vehicles in the staged form.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <numbers>
#include <string>

#include "io/fatal_error.hpp"
#include "phases/flight_3d.hpp"
#include "phases/staged_flight.hpp"
#include "test_support.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/staged_file.hpp"

namespace ascent {
namespace {

StagedVehicle bundled(const char* name, const std::string& more = "") {
  const std::string path = std::string(ASCENT_SOURCE_DIR).append("/vehicles/").append(name);
  return parse_staged(test::read_file(path) + more, path);
}

// Apsides (m, altitudes above the sphere of radius Re) of the orbit through
// a state about a centre of parameter mu, from vis-viva and the angular
// momentum, written out apart from the flight's own evaluation.
struct Apsides {
  double hp, ha;
};
Apsides apsides(double r, double vx, double vy, double mu, double Re) {
  const double v2 = vx * vx + vy * vy;
  const double a = 1 / (2 / r - v2 / mu);
  const double h = r * vx;
  const double p = h * h / mu;
  const double e = std::sqrt(1 - p / a);
  return {a * (1 - e) - Re, a * (1 + e) - Re};
}

// kg, what was jettisoned during a burn.
double dropped_within(const StagedResult& r, const StagedBurn& b) {
  double m = 0;
  for (const StagedDrop& d : r.drops) {
    if (d.t > b.t0 && d.t < b.t1) m += d.before - d.after;
  }
  return m;
}

// ln(m0 / m1) of the rocket equation for a burn alone, piecewise between the
// masses jettisoned during it.
double rocket_log(const StagedResult& r, const StagedBurn& b) {
  double ln = std::log(b.m0 / b.m1);
  for (const StagedDrop& d : r.drops) {
    if (d.t > b.t0 && d.t < b.t1) ln += std::log(d.after / d.before);
  }
  return ln;
}

// Delta III flies in the Earth its file gives (mu 3.986012e14, R 6,378,145 m),
// not the program's own, and the launcher once more about a lighter, smaller
// and slower Earth: each orbit is judged by its file's mu and radius.
TEST(StagedFlight, BundledLauncherReachesItsTargetsWithinAKilometre) {
  const struct {
    const char* file;
    const char* more;  // tables added to the file
  } cases[] = {
      {"corvane_leo.toml", ""},
      {"corvane_gto.toml", ""},
      {"delta3_gto.toml", ""},
      {"corvane_leo.toml", "[earth]\nmu = 3.9e14\nradius = 6300000\nrotation_rate = 5e-5\n"
                           "[atmosphere]\nmodel = \"exponential\"\nscale_height = 8000\n"},
  };
  for (const auto& [file, more] : cases) {
    SCOPED_TRACE(std::string(file) + more);
    const StagedVehicle v = bundled(file, more);
    ASSERT_EQ(v.stages.size(), 2u);
    const double mu = v.earth.mu, Re = v.earth.radius;
    const StagedResult r = fly_staged(v);
    ASSERT_TRUE(r.reached) << r.failure;
    // The target as the file writes it: apsides, or a and e.
    const StagedMission& m = v.mission;
    const double a = m.semi_major_axis > 0 ? m.semi_major_axis : Re + (m.perigee_altitude + m.apogee_altitude) / 2;
    const double e = m.semi_major_axis > 0 ? m.eccentricity : (m.apogee_altitude - m.perigee_altitude) / 2 / a;
    const Apsides o = apsides(r.r, r.vx, r.vy, mu, Re);
    EXPECT_NEAR(o.hp, a * (1 - e) - Re, 1000);
    EXPECT_NEAR(o.ha, a * (1 + e) - Re, 1000);
    // A direct injection into an elliptic orbit places its perigee where asked.
    if (m.perigee_angle >= 0 && m.injection == Injection::direct) {
      EXPECT_NEAR(r.perigee_angle, m.perigee_angle, 0.01);
    }
    // At the cut-off, the speed is vis-viva's on the target orbit at that radius.
    EXPECT_NEAR(std::hypot(r.vx, r.vy), std::sqrt(mu * (2 / r.r - 1 / a)), 0.05);
    // Mass balance to the end: the payload, the adaptor and the last stage
    // with what its burns left of its propellant (a burn's loss less what
    // was jettisoned during it).
    double burnt = 0;
    for (const StagedBurn& b : r.burns) {
      if (b.stage == v.stages.back().name) burnt += b.m0 - b.m1 - dropped_within(r, b);
    }
    EXPECT_NEAR(r.mass, v.payload_mass + v.adaptor_mass + v.stages.back().dry_mass +
                            v.stages.back().propellant_mass - burnt, 1e-6);
  }
}

// A vehicle with boosters lit on the pad and in the air, one group
// jettisoned while it still burns: it need not reach orbit to show its
// separations and burns.
const char* const boosted = R"(name = "Boosted"
[[stage]]
name = "core"
engines = 1
thrust = 1000000
exhaust_speed = 3000
propellant_mass = 60000
dry_mass = 8000
diameter = 3
separation_delay = 2
[[stage.boosters]]
count = 2
thrust = 400000
exhaust_speed = 2500
mass = 12000
propellant_mass = 10000
diameter = 1
[[stage.boosters]]
count = 2
thrust = 400000
exhaust_speed = 2500
mass = 12000
propellant_mass = 10000
diameter = 1
ignition_time = 20
jettison_time = 50
[[stage]]
name = "upper"
thrust = 100000
exhaust_speed = 3400
propellant_mass = 8000
dry_mass = 1000
burn_end = "target"
[fairing]
mass = 500
jettison_time = 150
[payload]
mass = 1000
[mission]
latitude = 5
inclination = 5
perigee_altitude = 200000
apogee_altitude = 200000
)";

TEST(StagedFlight, BurnsFollowTheRocketEquationAndSeparationsShedWhatTheDescriptionSays) {
  const StagedVehicle v = parse_staged(boosted, "boosted.toml");
  const StagedResult flown = fly_staged(v);
  // The groups' flows, from thrust and exhaust speed: the group lit at 20 s
  // and jettisoned at 50 s leaves with 30 s of its propellant unburnt.
  const double flow = 2 * 400000.0 / 2500;  // kg/s, two boosters
  const double unburnt = 2 * 10000 - flow * 30;
  struct Case {
    const char* what;
    double t;       // s, when, from the description (nan: not checked)
    double leaves;  // kg
  } cases[] = {
      {"booster group 1: jettison", 2 * 10000 / flow, 2 * 2000},  // at burn-out, empty
      {"booster group 2: jettison", 50, 2 * 2000 + unburnt},
      {"fairing: jettison", 150, 500},
      {"core: separation", NAN, 8000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const StagedDrop* d = nullptr;
    for (const StagedDrop& x : flown.drops) {
      if (x.what == c.what) d = &x;
    }
    ASSERT_NE(d, nullptr);
    if (!std::isnan(c.t)) {
      EXPECT_NEAR(d->t, c.t, 1e-6);
    }
    EXPECT_NEAR(d->before - d->after, c.leaves, 1e-6);
  }
  // A core cut off by time leaves with what it has not burnt: 60 t less
  // 150 s at 1000 kN / 3000 m/s (a cut-off that once never let the flight go on).
  std::string timed = boosted;
  timed.replace(timed.find("separation_delay = 2"), 20, "separation_delay = 2\nburn_end = \"time\"\nburn_time = 150");
  int separations = 0;
  for (const StagedDrop& d : fly_staged(parse_staged(timed, "timed.toml")).drops) {
    if (d.what == "core: separation") {
      EXPECT_NEAR(d.before - d.after, 8000 + 60000 - 150 * (1000000.0 / 3000), 1e-6);
      ++separations;
    }
  }
  EXPECT_EQ(separations, 1);
  // The core burns 60 t at 1000 kN / 3000 m/s after lift-off.
  ASSERT_GE(flown.burns.size(), 2u);
  EXPECT_NEAR(flown.burns[0].t1, 60000 / (1000000.0 / 3000), 1e-6);
  int checked = 0;
  for (const StagedVehicle& w : {v, bundled("corvane_leo.toml")}) {
    const StagedResult r = fly_staged(w);
    for (const StagedBurn& b : r.burns) {
      if (!b.alone) continue;
      SCOPED_TRACE(w.name + ": " + b.stage);
      EXPECT_NEAR(b.dv, b.exhaust_speed * rocket_log(r, b), 1e-6 * b.dv);
      ++checked;
    }
  }
  EXPECT_GE(checked, 4);  // the boosted vehicle's upper stage, the launcher's two stages and its circularisation
}

// A folder of thrust profiles for one test, removed after it.
struct ProfileFolder {
  std::filesystem::path dir;
  ProfileFolder() {
    std::string templ = (std::filesystem::temp_directory_path() / "staged-profile-XXXXXX").string();
    if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp");
    dir = templ;
  }
  ~ProfileFolder() { std::filesystem::remove_all(dir); }
  std::string put(const char* name, const std::string& text) const {
    test::write_file(dir / name, text);
    return (dir / name).string();
  }
};

// The flight follows a thrust profile: each burn ends where the profile's
// impulse, integrated here by hand, burns the propellant (or where it ends),
// and the velocity a profile gives obeys the rocket equation all the same.
TEST(StagedFlight, ThrustProfilesSetTheBurnsAsTheirImpulseSays) {
  const ProfileFolder folder;
  // Per booster: 500 kN at ignition, straight down to 300 kN at 40 s:
  // 16 MN s, then 300 kN. Propellant 10 t at 2500 m/s is 25 MN s: the last
  // 9 MN s take 30 s, burn-out at 70 s.
  const std::string burns = folder.put("group.dat", "0 500000\n40 300000\n200 300000\n");
  // The same to 40 s only: 16 MN s burn 6.4 t, 3.6 t of each booster left.
  const std::string ends = folder.put("short.dat", "0 500000\n40 300000\n");
  // The second stage of the launcher: 934 kN, falling to 700 kN from 250 s
  // to 600 s; relative to the description's folder.
  folder.put("upper.dat", "0 934000\n250 934000\n600 700000\n");
  struct Case {
    std::string profile;  // of group 1 (jettisoned at burn-out)
    double t_jettison;    // s
    double leaves;        // kg
  } cases[] = {{burns, 70, 2 * 2000}, {ends, 40, 2 * (2000 + 3600)}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.profile);
    std::string text = boosted;
    text.replace(text.find("thrust = 400000"), 15, "thrust_profile = \"" + c.profile + "\"");
    // The 3-D flight burns the profile as the planar one does.
    const StagedVehicle v = parse_staged(text, "boosted.toml");
    for (const std::vector<StagedDrop>& drops : {fly_staged(v).drops, fly_3d(v, world_of(v, 0)).drops}) {
      bool seen = false;
      for (const StagedDrop& d : drops) {
        if (d.what != "booster group 1: jettison") continue;
        EXPECT_NEAR(d.t, c.t_jettison, 1e-6);
        EXPECT_NEAR(d.before - d.after, c.leaves, 1e-6);
        seen = true;
      }
      EXPECT_TRUE(seen);
    }
  }
  std::string leo = test::read_file(std::string(ASCENT_SOURCE_DIR).append("/vehicles/corvane_leo.toml"));
  leo.replace(leo.find("thrust = 934000"), 15, "thrust_profile = \"upper.dat\"");
  // What a profile cannot be: 934 kN for 100 s burns 27.4 t of the 92.7 t,
  // so a timed burn of 150 s outlasts the profile.
  const struct {
    const char* points;
    const char* more;
    const char* message;
  } refused[] = {
      {"0 934000\n50 934000\n40 934000\n", "", "point 3: the times must increase"},
      {"0 934000\n50 lots\n", "", "leo.dat: line 2"},
      {"0 934000\n100 934000\n", "burn_end = \"time\"\nburn_time = 150\n", "is longer than the thrust profile (100 s)"},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.points);
    std::string text = leo;
    text.replace(text.find("upper.dat"), 9, "leo.dat");
    if (*c.more != 0) text.replace(text.find("burn_end = \"target\""), 19, c.more);
    folder.put("leo.dat", c.points);
    try {
      (void)parse_staged(text, (folder.dir / "leo.toml").string());
      ADD_FAILURE() << "taken";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.code, err_description);
      EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    }
  }
  const StagedVehicle v = parse_staged(leo, (folder.dir / "leo.toml").string());
  const StagedResult r = fly_staged(v);
  ASSERT_TRUE(r.reached) << r.failure;
  const Apsides o = apsides(r.r, r.vx, r.vy, v.earth.mu, v.earth.radius);
  EXPECT_NEAR(o.hp, 400000, 1000);
  EXPECT_NEAR(o.ha, 400000, 1000);
  int burns_checked = 0;
  for (const StagedBurn& b : r.burns) {
    if (b.stage != "second stage") continue;
    EXPECT_NEAR(b.dv, b.exhaust_speed * rocket_log(r, b), 1e-6 * b.dv);
    ++burns_checked;
  }
  EXPECT_EQ(burns_checked, 2);  // to the transfer orbit, and circularising
}

// Delta III is taken over at 90 s with its air-lit boosters still burning:
// the cut-off the guidance foresees then must count their 60 s of thrust
// (some 570 m/s, which would move it by some 40 s of the second stage's
// burn), and a few seconds is what drag, left out of its model, accounts for.
TEST(StagedFlight, GuidanceTakenOverUnderBoostersForeseesTheCutOff) {
  const StagedResult r = fly_staged(bundled("delta3_gto.toml"));
  ASSERT_TRUE(r.reached) << r.failure;
  double t_takeover = NAN, t_jettison = NAN;
  for (const StagedEvent& e : r.events) {
    if (e.name == "guidance takeover") t_takeover = e.t;
    if (e.name == "booster group 2: jettison") t_jettison = e.t;
  }
  EXPECT_LT(t_takeover, t_jettison);
  EXPECT_NEAR(r.foreseen_cutoff, r.t, 10);
}

TEST(StagedDescription, RefusesWhatCannotFlyAtItsLineAndColumn) {
  const std::string base = test::read_file(std::string(ASCENT_SOURCE_DIR).append("/vehicles/corvane_leo.toml"));
  struct Case {
    const char* from;
    const char* to;
    const char* message;  // a part of the refusal
  } cases[] = {
      {"burn_end = \"depletion\"", "burn_end = \"time\"\nburn_time = 200",
       "t.toml:18:13: stage.1.burn_time: is longer than the propellant allows"},
      {"throttle_levels = [1, 0.8, 1]", "throttle_levels = [1, 0.8, 1]\n[[stage.boosters]]\ncount = 2\nthrust = 1e6\nspecific_impulse = 270\n"
                               "mass = 30000\npropellant_mass = 25000\nignition_time = 40\njettison_time = 30",
       "t.toml:29:17: stage.1.boosters.1.jettison_time: comes before the group ignites (40 s)"},
      {"propellant_mass = 92670", "propellant_mass = 592670", "stage.2.propellant_mass: stages are listed bottom first"},
      {"burn_end = \"target\"", "burn_end = \"depletion\"", "stage.2.burn_end: the last stage carries the payload"},
      {"specific_impulse = 348", "specific_impulse = 348\nexhaust_speed = 3400",
       "stage.2.exhaust_speed: give exhaust_speed or specific_impulse, not both"},
      {"engines = 9", "engines = 9.5", "t.toml:10:11: stage.1.engines: must be a whole number"},
      {"thrust = 934000", "thrust = 934000\nthrust_profile = \"x.dat\"", "stage.2.thrust: give thrust or thrust_profile, not both"},
      {"thrust = 934000", "thrust_profile = \"/no-such-folder/x.dat\"", "t.toml:26:18: stage.2.thrust_profile: cannot be read"},
      {"dry_mass = 3900", "dry_mas = 3900", "stage.2.dry_mas: unknown key"},
      {"injection = \"coast\"", "injection = \"ballistic\"", "mission.injection: must be \"coast\", \"direct\" or \"transfer\""},
      {"injection = \"coast\"", "injection = \"transfer\"", "stage.1.burn_end: mission.injection is \"transfer\""},
      {"inclination = 51.6", "inclination = 20", "mission.inclination: must be at least the launch site's latitude"},
      {"engines = 9", "engines = 2", "stage.1.thrust: the thrust at lift-off"},
      {"[mission]", "[earth]\nmu = -4e14\n[mission]", "t.toml:43:6: earth.mu: must be positive"},
      {"[mission]", "[atmosphere]\nmodel = \"thin\"\n[mission]", "atmosphere.model: must be \"standard\" or \"exponential\""},
      {"[mission]", "[impact]\ncore_beta = 0\n[mission]", "t.toml:43:13: impact.core_beta: must be positive"},
      {"latitude = 28.5", "latitude = 28.5\nlongitude = 200", "mission.longitude: at least -180, at most 180, got 200"},
      {"[mission]", "[model]\ndynamics = \"6dof\"\n[mission]", "t.toml:43:12: model.dynamics: must be \"planar\" or \"3d\""},
      {"[mission]", "[wind]\naltitude = [0, 5000, 3000]\neast = [1, 2, 3]\nnorth = [0, 0, 0]\n[mission]",
       "wind.altitude: must rise from point to point"},
      {"[mission]", "[wind]\naltitude = [0, 5000]\neast = [1, 2, 3]\nnorth = [0, 0]\n[mission]",
       "wind.altitude: must rise from point to point, with one east and one north speed at each"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.to);
    std::string text = base;
    const std::size_t at = text.find(c.from);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, std::string(c.from).size(), c.to);
    try {
      (void)parse_staged(text, "t.toml");
      ADD_FAILURE() << "taken";
    } catch (const FatalError& e) {
      EXPECT_EQ(e.code, err_description);
      EXPECT_NE(e.message.find(c.message), std::string::npos) << e.message;
    }
  }
}

// Keys that cannot matter are taken and said, each at its place; the
// bundled vehicles give none.
TEST(StagedDescription, WarnsOfKeysWithoutEffect) {
  const std::string leo = test::read_file(std::string(ASCENT_SOURCE_DIR).append("/vehicles/corvane_leo.toml"));
  const struct {
    const char* from;
    const char* to;
    const char* warning;  // empty: none
  } cases[] = {
      {"", "", ""},
      {"burn_end = \"depletion\"", "burn_time = 100", "t.toml:17:13: stage.1.burn_time: has no effect: the burn does not end by time"},
      {"burn_end = \"target\"", "burn_end = \"target\"\nseparation_delay = 2", "stage.2.separation_delay: has no effect"},
      {"injection = \"coast\"", "injection = \"direct\"", "t.toml:48:20: mission.transfer_perigee: has no effect"},
      {"[mission]", "[atmosphere]\nscale_height = 7000\n[mission]", "atmosphere.scale_height: has no effect"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.to);
    std::string text = leo;
    if (*c.from != 0) text.replace(text.find(c.from), std::string(c.from).size(), c.to);
    std::vector<std::string> warnings{"stale"};
    (void)parse_staged(text, "t.toml", &warnings);
    if (*c.warning == 0) {
      EXPECT_TRUE(warnings.empty()) << warnings.front();
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_NE(warnings[0].find(c.warning), std::string::npos) << warnings[0];
    }
  }
}

// The transfer orbit's perigee lies the argument of perigee past the node;
// a site at the plane's highest latitude (i = latitude) lies at the argument
// of latitude whose sine is sin(latitude) / sin(i): 90 deg.
TEST(StagedDescription, TransferOrbitsPerigeeAngleFollowsFromItsElements) {
  const StagedVehicle v = bundled("delta3_gto.toml");
  const double to_rad = std::numbers::pi / 180, omega = 130.5;  // deg, published argument of perigee
  const double u_site = std::asin(std::min(1.0, std::sin(v.mission.latitude * to_rad) /
                                                    std::sin(v.mission.inclination * to_rad))) / to_rad;
  EXPECT_NEAR(v.mission.perigee_angle, omega - u_site, 1e-9);
}

TEST(StagedDescription, ClassicVehiclesReadAsBeforeAndHoldTheirMassesStaged) {
  for (const char* file : {"orvalon5.toml", "tarvos3.toml", "orvalon5_guided.toml", "tarvos3_guided.toml"}) {
    SCOPED_TRACE(file);
    const std::string path = std::string(ASCENT_SOURCE_DIR).append("/vehicles/").append(file);
    const std::string text = test::read_file(path);
    EXPECT_FALSE(is_staged_text(text));
    const Description d = parse_description(text, path);
    const StagedVehicle v = staged_from(d);
    EXPECT_TRUE(check_staged(v).empty()) << check_staged(v).front().key << ": " << check_staged(v).front().what;
    // The stack at lift-off as the classic description adds it up.
    const Vehicle& c = d.vehicle;
    const double m = c.boosters.count * c.boosters.mass + c.core.dry_mass + c.core.propellant_mass + c.upper.stack_mass;
    EXPECT_NEAR(liftoff_mass(v), m, 1e-9 * m);
    EXPECT_EQ(v.stages.back().burn_end, BurnEnd::target);
  }
}

}  // namespace
}  // namespace ascent
