// The program's vehicle options: the printed built-in vehicle flies exactly
// as the built-in one, a named profile is found beside its description, and a
// bad description or option stops the program before anything is created.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include <nlohmann/json.hpp>

#include "run_ascent.hpp"

namespace {

namespace fs = std::filesystem;

std::string source_file(const std::string& rel) {
  std::ifstream f(fs::path(ASCENT_SOURCE_DIR) / rel, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

e2e::RunResult run(const e2e::Scratch& s, const std::vector<std::string>& args, const std::string& input = "") {
  return e2e::run_program(ASCENT_BINARY, args, s.dir(), s.dir().parent_path() / "std", input);
}

// Everything a file-mode flight leaves behind.
std::vector<std::string> outputs(const e2e::Scratch& s) {
  std::vector<std::string> v;
  for (const char* f : {"out", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"}) {
    v.push_back(s.exists(f) ? s.read(f) : std::string("<missing ") + f + ">");
  }
  return v;
}

std::vector<std::string> entries(const e2e::Scratch& s) {
  std::vector<std::string> v;
  for (const auto& e : fs::directory_iterator(s.dir())) v.push_back(e.path().filename().string());
  std::sort(v.begin(), v.end());
  return v;
}

const std::string flight = "out\n36\n18\ny\n-1\n";

TEST(VehicleOption, PrintedBuiltInVehicleFliesByteForByteAsTheBuiltIn) {
  e2e::Scratch s;
  s.write("s1.dat", source_file("data/s1.dat"));
  e2e::RunResult p = run(s, {"--print-vehicle"});
  EXPECT_EQ(p.exit_code, 0);
  EXPECT_EQ(p.err, "");
  EXPECT_EQ(p.out, source_file("vehicles/orvalon5.toml"));
  s.write("v.toml", p.out);

  e2e::RunResult builtin = run(s, {}, flight);
  ASSERT_EQ(builtin.exit_code, 0) << builtin.err;
  std::vector<std::string> expected = outputs(s);
  e2e::RunResult console_builtin = run(s, {}, "\n36\n18\ny\n-1\n");

  e2e::RunResult described = run(s, {"--vehicle", "v.toml"}, flight);
  EXPECT_EQ(described.exit_code, 0) << described.err;
  EXPECT_EQ(described.out, builtin.out);
  EXPECT_EQ(outputs(s), expected);
  e2e::RunResult console = run(s, {"--vehicle", "v.toml"}, "\n36\n18\ny\n-1\n");
  EXPECT_EQ(console.exit_code, 0);
  EXPECT_EQ(console.out, console_builtin.out);
}

TEST(VehicleOption, NamedProfileIsReadBesideTheDescription) {
  // No s1.dat in the working directory: the description names the profile in
  // its own folder, and the flight is the one the bundled profile gives.
  e2e::Scratch ref;
  ref.write("s1.dat", source_file("data/s1.dat"));
  ASSERT_EQ(run(ref, {}, flight).exit_code, 0);

  e2e::Scratch s;
  fs::create_directories(s.dir() / "vehicles" / "thrust");
  std::string text = source_file("vehicles/orvalon5.toml");
  const std::string hint = "# profile = \"s1.dat\"\n";
  ASSERT_NE(text.find(hint), std::string::npos);
  text.replace(text.find(hint), hint.size(), "profile = \"thrust/boosters.dat\"\n");
  s.write("vehicles/v.toml", text);
  s.write("vehicles/thrust/boosters.dat", source_file("data/s1.dat"));
  e2e::RunResult r = run(s, {"--vehicle", "vehicles/v.toml"}, flight);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(outputs(s), outputs(ref));
}

TEST(VehicleOption, BadDescriptionStopsBeforeAnythingIsCreated) {
  e2e::Scratch s;
  s.write("s1.dat", source_file("data/s1.dat"));
  std::string text = source_file("vehicles/orvalon5.toml");
  const std::string good = "\nexhaust_speed = 4420.8\n";
  std::size_t at = text.find(good);
  ASSERT_NE(at, std::string::npos);
  text.replace(at, good.size(), "\nexhaust_speed = -4420.8\n");
  s.write("v.toml", text);
  const long line = std::count(text.begin(), text.begin() + at + 1, '\n') + 1;
  const std::vector<std::string> before = entries(s);

  e2e::RunResult r = run(s, {"--vehicle", "v.toml"}, flight);
  EXPECT_EQ(r.exit_code, 65);
  EXPECT_EQ(r.err, "ascent: v.toml:" + std::to_string(line) + ":17: core.exhaust_speed: must be positive, got -4420.8\r\n");
  EXPECT_EQ(r.out, "");  // not even the first question
  EXPECT_EQ(entries(s), before);

  // A table's header without a name: the parser is not shown it (it fails
  // an assertion of its own on it).
  s.write("h.toml", "[\n");
  r = run(s, {"--vehicle", "h.toml"}, flight);
  EXPECT_EQ(r.exit_code, 65);
  EXPECT_EQ(r.err, "ascent: h.toml:1:2: syntax: a table's name must follow '['\r\n");
  std::filesystem::remove(s.dir() / "h.toml");

  r = run(s, {"--vehicle", "missing.toml"}, flight);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err, "ascent: missing.toml: file not found\r\n");
  EXPECT_EQ(entries(s), before);

  for (const std::vector<std::string>& args : {std::vector<std::string>{"--vehicel", "v.toml"},
                                                std::vector<std::string>{"--vehicle"}}) {
    r = run(s, args, flight);
    EXPECT_EQ(r.exit_code, 64);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind("ascent: ", 0), 0u) << r.err;
    EXPECT_EQ(r.out, "");
  }
  EXPECT_EQ(entries(s), before);
}

}  // namespace

namespace {

// Vehicles that no flight can make work are stopped with the reason, and no
// constants file sized for them: one too heavy for its thrust (ten thousand tonnes weigh
// 98 MN, more than both boosters at the profile's peak and every core engine
// together) and sizing constants that leave no spacecraft at any stack (an
// RCS propellant as heavy as the stack; a dry mass above the whole vehicle).
TEST(VehicleOption, ImpossibleVehiclesAreRefusedWithTheirReason) {
  const std::string profile = source_file("data/s1.dat");
  double peak = 0;
  std::istringstream in(profile);
  for (double t, f; in >> t >> f;) peak = std::max(peak, f);
  const std::string base = source_file("vehicles/orvalon5.toml");
  auto number_after = [&](const std::string& key) { return std::stod(base.substr(base.find("\n" + key) + key.size() + 4)); };
  const double thrust_ever = 2 * peak + number_after("engines") * number_after("engine_thrust");
  ASSERT_GT(1e7 * 9.8, thrust_ever);

  const struct {
    const char* key;
    const char* value;
    const char* why;
  } cases[] = {
      {"stack_mass", "10000000", "cannot lift off"},
      {"rcs_per_kg", "1", "leave no spacecraft mass"},
      {"dry_constant", "1e9", "leave no spacecraft mass"},
  };
  for (const auto& c : cases) {
    e2e::Scratch s;
    s.write("s1.dat", profile);
    std::string text = base;
    std::size_t at = text.find("\n" + std::string(c.key) + " = ");
    ASSERT_NE(at, std::string::npos) << c.key;
    text.replace(at + 1, text.find('\n', at + 1) - at - 1, std::string(c.key) + " = " + c.value);
    s.write("v.toml", text);
    e2e::RunResult r = run(s, {"--vehicle", "v.toml"}, flight);
    EXPECT_EQ(r.exit_code, 65) << c.key;
    EXPECT_NE(r.err.find(c.why), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_FALSE(s.exists("const_n.pas")) << c.key;
  }
}

}  // namespace

namespace {

// Keys that change nothing in the flight described (the guidance of an
// open-loop flight, the tolerance of fixed steps) are taken with a warning
// at the key, and the flight is the one without them; a value closed loop
// would refuse is refused in an open-loop description too. Written at the
// built-in value, such a key says nothing and draws no warning.
TEST(VehicleOption, KeysWithoutEffectAreSaidAndWhatClosedLoopRefusesIsRefused) {
  const std::string base = source_file("vehicles/orvalon5.toml");
  // The line of the key after the table's header.
  const std::string text_start = base + "\n[t]\n";
  const std::string next_line = std::to_string(std::count(text_start.begin(), text_start.end(), '\n') + 1);
  struct Case {
    std::string added;
    int code;
    std::string err;
  };
  const Case cases[] = {
      {"[guidance]\ncycle = 2\n", 0,
       "ascent: warning: v.toml:" + next_line + ":9: guidance.cycle: has no effect: guidance.mode is \"open-loop\"\r\n"},
      {"[numerics]\ntolerance = 1e-6\n", 0,
       "ascent: warning: v.toml:" + next_line +
           ":13: numerics.tolerance: has no effect: numerics.integrator is not \"adaptive\"\r\n"},
      {"[guidance]\nmode = \"open-loop\"\ncycle = 1\n[numerics]\ntolerance = 1e-9\nintegrator = \"fixed\"\n", 0, ""},
      {"[guidance]\ninsertion_altitude = 1\n", 65,
       "ascent: v.toml:" + next_line +
           ":22: guidance.insertion_altitude: must lie on the transfer orbit, between target.perigee_climbing "
           "(37000) and target.apogee_altitude (398600), got 1\r\n"},
  };
  e2e::Scratch plain;
  plain.write("s1.dat", source_file("data/s1.dat"));
  plain.write("v.toml", base);
  ASSERT_EQ(run(plain, {"--vehicle", "v.toml"}, flight).exit_code, 0);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.added);
    e2e::Scratch s;
    s.write("s1.dat", source_file("data/s1.dat"));
    s.write("v.toml", base + "\n" + c.added);
    const e2e::RunResult r = run(s, {"--vehicle", "v.toml"}, flight);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.err, c.err);
    if (c.code == 0) {
      EXPECT_EQ(outputs(s), outputs(plain));
    }
  }
}

// A staged vehicle flies at once: the text and the JSON tell the same
// orbit; one that cannot fly is refused before any output is created.
TEST(VehicleOption, StagedVehicleFliesAtOnceAndWritesItsOrbitAsTextAndJson) {
  e2e::Scratch s;
  const std::string good = source_file("vehicles/corvane_gto.toml");
  s.write("v.toml", good);
  e2e::RunResult r = run(s, {"--vehicle", "v.toml", "--json", "v.json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("second stage: cut-off"), std::string::npos) << r.out;
  const nlohmann::json j = nlohmann::json::parse(s.read("v.json"));
  EXPECT_TRUE(j.at("reached").get<bool>());
  char apogee[64];
  std::snprintf(apogee, sizeof apogee, "apogee %.3f km", j.at("final_orbit").at("apogee_altitude").get<double>() / 1000);
  EXPECT_NE(r.out.find(apogee), std::string::npos) << apogee;
  // Flown due east, the spent first stage comes down east of the pad.
  const nlohmann::json& stage = j.at("impact_points").at(0);
  EXPECT_EQ(stage.at("part"), "first stage");
  EXPECT_GT(stage.at("impact_lon_deg").get<double>(), -80.6);
  EXPECT_FALSE(j.at("instantaneous_impact_points").empty());
  // The path on the globe with its events under their stages' names; never
  // over the description.
  r = run(s, {"--vehicle", "v.toml", "--trajectory", "v.kml", "--epoch", "2027-06-01T12:00:00"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(s.read("v.kml").find("<name>second stage: cut-off</name>"), std::string::npos);
  s.write("d.kml", good);
  r = run(s, {"--vehicle", "d.kml", "--trajectory", "d.kml"});
  EXPECT_EQ(r.exit_code, 5) << r.err;
  EXPECT_EQ(s.read("d.kml"), good);
  std::string bad = good;
  bad.replace(bad.find("inclination = 28.5"), 18, "inclination = 10.0");
  s.write("bad.toml", bad);
  r = run(s, {"--vehicle", "bad.toml", "--json", "b.json"});
  EXPECT_EQ(r.exit_code, 65);
  EXPECT_EQ(r.err.rfind("ascent: bad.toml:", 0), 0u) << r.err;
  EXPECT_FALSE(s.exists("b.json"));
  // Its JSON places its impact points at the epoch given, as a classic flight's does.
  r = run(s, {"--vehicle", "v.toml", "--json", "e.json", "--epoch", "2027-06-01T00:00:00"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(nlohmann::json::parse(s.read("e.json")).at("impact_points").empty());
}

}  // namespace

namespace {

// In 3-D the flight is launched at the epoch: flown an hour later from the
// same pad into any node, its plane is the same in the turning Earth, so its
// node's right ascension moves by the Earth's turn in that hour. A classic
// three-stage description flies its staged form so.
TEST(VehicleOption, ThreeDimensionalFlightReachesItsInclinationAndTurnsWithTheEpoch) {
  e2e::Scratch s;
  s.write("s1.dat", bundled_profile());
  for (const char* file : {"vehicles/corvane_leo.toml", "vehicles/orvalon5_guided.toml"}) {
    SCOPED_TRACE(file);
    s.write("v.toml", source_file(file) + "\n[model]\ndynamics = \"3d\"\n");
    double node[2];
    const char* epochs[] = {"2026-03-01T12:00:00", "2026-03-01T13:00:00"};
    for (int k = 0; k < 2; ++k) {
      const e2e::RunResult r = run(s, {"--vehicle", "v.toml", "--json", "v.json", "--epoch", epochs[k]});
      ASSERT_EQ(r.exit_code, 0) << r.err;
      const nlohmann::json orbit = nlohmann::json::parse(s.read("v.json")).at("final_orbit");
      EXPECT_NEAR(orbit.at("inclination_osculating_deg").get<double>(), 51.6, 0.01);
      node[k] = orbit.at("node_osculating_deg").get<double>();
      char line[64];
      std::snprintf(line, sizeof line, "inclination %.4f deg", orbit.at("inclination_osculating_deg").get<double>());
      EXPECT_NE(r.out.find(line), std::string::npos) << r.out;
    }
    const double turn = 7.292115e-5 * 3600 * 180 / 3.14159265358979323846;  // deg, WGS 84's rate for an hour
    EXPECT_NEAR(std::remainder(node[1] - node[0] - turn, 360.0), 0, 1e-4);
  }
}

}  // namespace
