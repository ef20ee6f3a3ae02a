// How a flight ends: the third stage's coast after a crash, and the verdict
// of the final report, judged from the orbit the report itself states.
#include <gtest/gtest.h>

#include <cmath>

#include "run_ascent.hpp"

namespace {

struct Flown {
  e2e::Scratch dir;
  e2e::RunResult run;
  std::vector<std::string> lines;
  explicit Flown(const std::string& answers) {
    dir.write("s1.dat", bundled_profile());
    run = dir.run(answers);
    lines = e2e::crlf_lines(run.out);
  }
  std::size_t find(const std::string& what, std::size_t from = 0) const {
    for (std::size_t i = from; i < lines.size(); ++i)
      if (lines[i].find(what) != std::string::npos) return i;
    return lines.size();
  }
};

// Perigee and apogee (km) of an orbit line; NaN where it says nan.
std::pair<double, double> orbit_km(const std::string& line) {
  auto num = [&](const std::string& key) {
    std::size_t p = line.find(key);
    return p == std::string::npos ? NAN : std::strtod(line.c_str() + p + key.size(), nullptr);
  };
  return {num("Perigee = "), num("Apogee = ")};
}

TEST(Verdict, ACrashEndsTheCoastAtOnce) {
  // Angle limit -5 with a 10 s turn: the vehicle falls through the ground;
  // the hyperbola it is on underground has a huge positive "perigee".
  Flown f("\n10\n-5\ny\n-1\n");
  ASSERT_EQ(f.run.exit_code, 0) << f.run.err;
  std::size_t asked = f.find("Transfer to apogee? ");
  std::size_t ignition = f.find("AJ10-190 ignition!", asked);
  ASSERT_LT(ignition, f.lines.size());
  EXPECT_LT(ignition - asked, 300u);   // a few hundred lines at most, not 100,000 steps
  EXPECT_LT(f.lines.size(), 2000u);
  EXPECT_NE(f.find("Orvalon 5 not in Orbit! Remaining propellant = "), f.lines.size());
}

TEST(Verdict, NotInOrbitUnlessTheFinalOrbitIsAnEllipseWithPerigeeAbove100Km) {
  struct Case {
    const char* answers;
    const char* why;
  };
  const Case cases[] = {
      {"\n36\n18\ny\n-1\n", "the default flight: 393.9 x 399.0 km"},
      {"\n36\n18\nn\n-1\n", "transfer declined, perigee above 100 km"},
      {"\n20\n13\nn\n-1\n", "transfer declined, perigee below 100 km"},
      {"\n20\n0\ny\n-1\n", "angle limit 0: the vehicle falls, nan"},
      {"\n60\n14\ny\n-1\n", "the burn from a negative perigee"},
      {"\n10\n-5\ny\n-1\n", "crashed"},
  };
  int in = 0, out = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    Flown f(c.answers);
    ASSERT_EQ(f.run.exit_code, 0) << f.run.err;
    std::size_t v = f.find("in Orbit! Remaining propellant = ");
    ASSERT_LT(v + 1, f.lines.size());
    auto [hp, ha] = orbit_km(f.lines[v + 1]);
    bool orbit = std::isfinite(hp) && std::isfinite(ha) && ha >= hp && hp >= 100.0;
    std::string rest = f.lines[v].substr(f.lines[v].find(" Remaining propellant = "));
    EXPECT_EQ(f.lines[v], (orbit ? "Orvalon 5 in Orbit!" : "Orvalon 5 not in Orbit!") + rest);
    (orbit ? in : out) += 1;
  }
  // Both verdicts are exercised.
  EXPECT_EQ(in, 2);
  EXPECT_EQ(out, 4);
}

TEST(Verdict, TheDefaultFlightReportsAsTheReadmeShowsIt) {
  Flown f("\n36\n18\ny\n-1\n");
  EXPECT_NE(f.find("Orvalon 5 in Orbit! Remaining propellant = 4600 kg."), f.lines.size());
  EXPECT_NE(f.find("Perigee = 393.9 km, Apogee = 399.0 km, "), f.lines.size());
}

}  // namespace

namespace {

// A number that follows `key` in `text` from `from` on.
double number_after(const std::string& text, const std::string& key, std::size_t from = 0) {
  const std::size_t p = text.find(key, from);
  return p == std::string::npos ? NAN : std::strtod(text.c_str() + p + key.size(), nullptr);
}

// The guided upper stage cuts off on the target's circle: its final orbit
// (the JSON's last, to the millimetre) has the perigee and the apogee of
// target.apogee_altitude within a metre, whatever the angle between its
// thrust and its velocity at the cut-off.
TEST(Verdict, GuidedFlightsEndOnTheTargetCircle) {
  const std::string src = ASCENT_SOURCE_DIR;
  const struct {
    const char* vehicle;
    const char* answers;
  } cases[] = {{"/vehicles/orvalon5_guided.toml", "\n36\n18\ny\n-1\n"},
               {"/vehicles/orvalon5_guided.toml", "\n20\n25\ny\n-1\n"},
               {"/vehicles/tarvos3_guided.toml", "\n40\n18\ny\n-1\n"},
               {"/vehicles/tarvos3_guided.toml", "\n30\n12\ny\n-1\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.vehicle) + c.answers);
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    const e2e::RunResult r = s.run_with({"--vehicle", src + c.vehicle, "--json", "f.json"}, c.answers);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const double target = number_after(read_file(src + c.vehicle), "\napogee_altitude = ");
    const std::string json = s.read("f.json");
    const std::size_t last = json.rfind("\"kind\":\"orbit\"");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NEAR(number_after(json, "\"perigee_m\":", last), target, 1.0);
    EXPECT_NEAR(number_after(json, "\"apogee_m\":", last), target, 1.0);
  }
}

// The built-in vehicle under closed loop runs its upper stage dry within a
// hundredth of a metre per second of its cutoff speed (the JSON's value):
// the report says it reached the cutoff, and then that it is in orbit.
TEST(Verdict, AStageThatRunsDryAtItsCutoffSaysSo) {
  e2e::Scratch s;
  s.write("s1.dat", bundled_profile());
  const e2e::RunResult printed = s.run_with({"--print-vehicle"}, "");
  ASSERT_EQ(printed.exit_code, 0);
  s.write("v.toml", printed.out + "\n[guidance]\nmode = \"closed-loop\"\n");
  const e2e::RunResult r = s.run_with({"--vehicle", "v.toml", "--json", "f.json"}, "\n36\n18\ny\n-1\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string json = s.read("f.json");
  const std::size_t dry = json.find("\"kind\":\"propellant_depleted\"");
  ASSERT_NE(dry, std::string::npos);
  EXPECT_LT(std::fabs(number_after(json, "\"velocity_to_go_ms\":", dry)), 0.05);
  EXPECT_NE(r.out.find("Propellant depleted! The upper stage burns out as it reaches its cutoff.\r\n"),
            std::string::npos);
  EXPECT_EQ(r.out.find(" m/s short of its cutoff"), std::string::npos);
  EXPECT_NE(r.out.find("Orvalon 5 in Orbit! Remaining propellant = "), std::string::npos);
}

}  // namespace
