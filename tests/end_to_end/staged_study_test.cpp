// The study tools on a staged vehicle against ascent itself: a sweep point,
// a dispersed run and the optimiser's best vehicle each fly as `ascent
// --vehicle` flies the description edited by hand to the same values; the
// promised payload reaches the target and a kilogram more does not; the
// threads change no byte; a key that names nothing is refused in one line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "run_ascent.hpp"

namespace {

namespace fs = std::filesystem;

std::string vehicle_text(const std::string& name) {
  return read_file(fs::path(ASCENT_SOURCE_DIR) / "vehicles" / name);
}

// The description with `key` of the n-th (from 1) table opened by `header`
// set to x, written as the test writes numbers: every digit.
std::string edited(std::string text, const std::string& header, int n, const std::string& key, double x) {
  std::size_t at = 0;
  for (int i = 0; i < n; ++i) {
    at = text.find("\n" + header + "\n", at);
    if (at == std::string::npos) throw std::runtime_error("no " + header + " number " + std::to_string(n));
    at += header.size() + 2;
  }
  const std::size_t line = text.find("\n" + key + " ", at - 1);
  if (line == std::string::npos) throw std::runtime_error("no " + key + " under " + header);
  const std::size_t end = text.find('\n', line + 1);
  char v[64];
  std::snprintf(v, sizeof v, "%.17g", x);
  return text.replace(line + 1, end - line - 1, key + " = " + v);
}

e2e::RunResult tool(const e2e::Scratch& s, const char* program, const std::vector<std::string>& args) {
  static int serial = 0;
  return e2e::run_program(program, args, s.dir(), s.dir().parent_path() / ("io" + std::to_string(++serial)), "",
                          false, 120);
}

// ascent's own flight of a description: its --json document.
nlohmann::json ascent_json(const e2e::Scratch& s, const std::string& text, const std::vector<std::string>& more = {}) {
  s.write("edited.toml", text);
  std::vector<std::string> args = {"--vehicle", "edited.toml", "--json", "edited.json"};
  args.insert(args.end(), more.begin(), more.end());
  const e2e::RunResult r = tool(s, ASCENT_BINARY, args);
  if (r.exit_code != 0) throw std::runtime_error("ascent: " + r.err);
  return nlohmann::json::parse(s.read("edited.json"));
}

// The data rows of a study's CSV (its '#' line and header left out), split.
std::vector<std::vector<std::string>> rows(const std::string& csv) {
  std::vector<std::vector<std::string>> out;
  std::size_t at = 0;
  bool header = true;
  while (at < csv.size()) {
    const std::size_t end = csv.find("\r\n", at);
    const std::string line = csv.substr(at, end - at);
    at = end + 2;
    if (line.rfind("#", 0) == 0) continue;
    if (!header) out.push_back(csv_fields(line));
    header = false;
  }
  return out;
}

// The staged columns of a row from `first` on (hp_final_km, ha_final_km,
// perigee_angle_deg, final_mass_kg, ...) against ascent's JSON: every digit.
void expect_same_flight(const std::vector<std::string>& row, std::size_t first, const nlohmann::json& j) {
  ASSERT_GT(row.size(), first + 8);
  const nlohmann::json& o = j.at("final_orbit");
  EXPECT_EQ(std::stod(row[first]), o.at("perigee_altitude").get<double>() / 1000);
  EXPECT_EQ(std::stod(row[first + 1]), o.at("apogee_altitude").get<double>() / 1000);
  EXPECT_EQ(std::stod(row[first + 2]), o.at("perigee_angle").get<double>());
  EXPECT_EQ(std::stod(row[first + 3]), j.at("masses").at("final").get<double>());
  EXPECT_EQ(std::stod(row[first + 5]), j.at("masses").at("liftoff").get<double>());
  EXPECT_EQ(row[first + 7], j.at("reached").get<bool>() ? "yes" : "no");
}

TEST(StagedStudy, SweepPointFliesAsAscentFliesTheFileEditedAlike) {
  struct Case {
    const char* file;
    const char* key;  // as the sweep names it
    const char* header;
    int n;
    const char* name;  // as the file writes it
    double x;
  };
  const Case cases[] = {
      {"corvane_leo.toml", "payload.mass", "[payload]", 1, "mass", 17250.5},
      {"corvane_gto.toml", "stage.2.propellant_mass", "[[stage]]", 2, "propellant_mass", 90000},
      {"delta3_gto.toml", "stage.1.boosters.2.ignition_time", "[[stage.boosters]]", 2, "ignition_time", 80},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    e2e::Scratch s;
    s.write("v.toml", vehicle_text(c.file));
    char value[64];
    std::snprintf(value, sizeof value, "%.17g", c.x);
    const e2e::RunResult r =
        tool(s, ASCENT_SWEEP_BINARY, {"--vehicle", "v.toml", "--vary", std::string(c.key) + "=" + value, "-j", "1"});
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto got = rows(r.out);
    ASSERT_EQ(got.size(), 1u) << r.out;
    EXPECT_EQ(std::stod(got[0][0]), c.x);
    expect_same_flight(got[0], 1, ascent_json(s, edited(vehicle_text(c.file), c.header, c.n, c.name, c.x)));
  }
  // A grid of two keys: the same bytes on one thread and on two.
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  std::vector<std::string> args = {"--vehicle", "v.toml", "--vary", "payload.mass=15000:18000:1500",
                                   "--vary", "stage.1.separation_delay=2:4:2", "-j"};
  const e2e::RunResult one = tool(s, ASCENT_SWEEP_BINARY, [&] { auto a = args; a.push_back("1"); return a; }());
  const e2e::RunResult two = tool(s, ASCENT_SWEEP_BINARY, [&] { auto a = args; a.push_back("2"); return a; }());
  ASSERT_EQ(one.exit_code, 0) << one.err;
  EXPECT_EQ(rows(one.out).size(), 6u);
  EXPECT_EQ(one.out, two.out);
}

TEST(StagedStudy, DispersedRunFliesAsTheSingleFlightOfItsDrawnValues) {
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  s.write("d.toml",
          "[[dispersion]]\nkey = \"stage.1.thrust\"\ndistribution = \"normal\"\nthree_sigma = 0.02\nrelative = true\n"
          "[[dispersion]]\nkey = \"stage.2.dry_mass\"\ndistribution = \"uniform\"\nhalf_width = 150\n"
          "relative = false\n");
  const std::string epoch = "2027-03-01T06:00:00";
  std::vector<std::string> args = {"--vehicle", "v.toml", "--dispersions", "d.toml", "--runs", "3", "--epoch", epoch, "-j"};
  const e2e::RunResult one = tool(s, ASCENT_MC_BINARY, [&] { auto a = args; a.insert(a.end(), {"1", "-o", "a.csv", "--impacts", "ia.csv"}); return a; }());
  const e2e::RunResult two = tool(s, ASCENT_MC_BINARY, [&] { auto a = args; a.insert(a.end(), {"2", "-o", "b.csv", "--impacts", "ib.csv"}); return a; }());
  ASSERT_EQ(one.exit_code, 0) << one.err;
  ASSERT_EQ(two.exit_code, 0) << two.err;
  EXPECT_EQ(s.read("a.csv"), s.read("b.csv"));
  EXPECT_EQ(s.read("ia.csv"), s.read("ib.csv"));
  EXPECT_EQ(one.out, two.out);
  const auto got = rows(s.read("a.csv"));
  ASSERT_EQ(got.size(), 3u);
  const std::vector<std::string>& run3 = got[2];
  EXPECT_EQ(run3[0], "3");
  // The stage's thrust and dry mass drawn for run 3, written into the file by hand.
  std::string text = edited(vehicle_text("corvane_leo.toml"), "[[stage]]", 1, "thrust", std::stod(run3[1]));
  text = edited(text, "[[stage]]", 2, "dry_mass", std::stod(run3[2]));
  const nlohmann::json flown = ascent_json(s, text, {"--epoch", epoch});
  expect_same_flight(run3, 3, flown);
  // Run 3's dropped parts, where ascent places them at the same epoch:
  // release time and height, impact point and fall, every digit.
  std::vector<std::vector<std::string>> falls;
  for (const auto& row : rows(s.read("ia.csv"))) {
    if (row[0] == "3") falls.push_back(row);
  }
  const nlohmann::json& parts = flown.at("impact_points");
  ASSERT_EQ(falls.size(), parts.size());
  ASSERT_EQ(falls.size(), 2u);  // the first stage and the fairing
  for (std::size_t i = 0; i < falls.size(); ++i) {
    const nlohmann::json& p = parts[i];
    EXPECT_EQ(falls[i][1], p.at("part").get<std::string>());
    EXPECT_EQ(std::stod(falls[i][2]), p.at("t").get<double>());
    EXPECT_EQ(std::stod(falls[i][3]), p.at("release").at("alt_m").get<double>());
    EXPECT_EQ(std::stod(falls[i][4]), p.at("impact_lat_deg").get<double>());
    EXPECT_EQ(std::stod(falls[i][5]), p.at("impact_lon_deg").get<double>());
    EXPECT_EQ(std::stod(falls[i][6]), p.at("fall_s").get<double>());
  }
}

// Shards flown apart (one thread each) and merged are the whole study flown
// at once on two threads: the runs file, the impact points, the summary and
// its JSON with the footprints, byte for byte, whatever order the shards
// are named in.
TEST(StagedStudy, MergedShardsAreTheWholeStudy) {
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  s.write("d.toml", "[[dispersion]]\nkey = \"stage.2.thrust\"\ndistribution = \"normal\"\nthree_sigma = 0.03\n"
                    "relative = true\n");
  const std::vector<std::string> study = {"--vehicle", "v.toml", "--dispersions", "d.toml", "--runs", "5"};
  auto with = [&](std::vector<std::string> more) {
    std::vector<std::string> a = study;
    a.insert(a.end(), more.begin(), more.end());
    return a;
  };
  const e2e::RunResult whole =
      tool(s, ASCENT_MC_BINARY, with({"-j", "2", "-o", "all.csv", "--json", "all.json", "--impacts", "all_i.csv"}));
  ASSERT_EQ(whole.exit_code, 0) << whole.err;
  for (const std::string k : {"1", "2"}) {
    const e2e::RunResult r =
        tool(s, ASCENT_MC_BINARY, with({"-j", "1", "--shard", k + "/2", "-o", "s" + k + ".csv", "--impacts", "i" + k + ".csv"}));
    ASSERT_EQ(r.exit_code, 0) << r.err;
  }
  EXPECT_EQ(rows(s.read("s2.csv")).size(), 2u);  // runs 2 and 4
  const e2e::RunResult merged = tool(s, ASCENT_MC_BINARY, {"--merge", "s2.csv", "s1.csv", "-o", "m.csv", "--json", "m.json",
                                                           "--merge-impacts", "i1.csv", "i2.csv", "--impacts", "m_i.csv"});
  ASSERT_EQ(merged.exit_code, 0) << merged.err;
  EXPECT_EQ(s.read("m.csv"), s.read("all.csv"));
  EXPECT_EQ(s.read("m_i.csv"), s.read("all_i.csv"));
  EXPECT_NE(s.read("m.json").find("impact_footprints"), std::string::npos);
  EXPECT_EQ(s.read("m.json"), s.read("all.json"));
  EXPECT_EQ(merged.out, whole.out);
}

// Each key alone at its ends: the ends are the nominal's 3-sigma or the
// uniform bounds, by hand, and each end flies as ascent flies the file
// edited to that value.
TEST(StagedStudy, SensitivityEndsFlyAsAscentFliesThem) {
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  s.write("d.toml",
          "[[dispersion]]\nkey = \"stage.1.thrust\"\ndistribution = \"normal\"\nthree_sigma = 0.02\nrelative = true\n"
          "[[dispersion]]\nkey = \"stage.2.dry_mass\"\ndistribution = \"uniform\"\nhalf_width = 150\n"
          "relative = false\n");
  const e2e::RunResult r = tool(s, ASCENT_MC_BINARY,
                                {"--vehicle", "v.toml", "--dispersions", "d.toml", "--runs", "0", "--sensitivity", "s.csv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  std::map<std::string, std::vector<std::string>> by_key;
  for (const auto& row : rows(s.read("s.csv"))) by_key[row[0]] = row;
  ASSERT_EQ(by_key.size(), 3u);
  const std::vector<std::string>& thrust = by_key["stage.1.thrust"];
  const std::vector<std::string>& dry = by_key["stage.2.dry_mass"];
  EXPECT_NEAR(std::stod(thrust[1]), 845000 * 0.98, 1e-6);  // one engine, as the file writes it
  EXPECT_NEAR(std::stod(thrust[2]), 845000 * 1.02, 1e-6);
  EXPECT_EQ(std::stod(dry[1]), 3900 - 150.0);
  EXPECT_EQ(std::stod(dry[2]), 3900 + 150.0);
  // key, low, high, then mass low/high, hp low/high, ha low/high, reached low/high.
  auto expect_end = [&](const std::vector<std::string>& row, bool high, const nlohmann::json& j) {
    const int e = high ? 1 : 0;
    EXPECT_EQ(std::stod(row[3 + e]), j.at("masses").at("final").get<double>());
    EXPECT_EQ(std::stod(row[5 + e]), j.at("final_orbit").at("perigee_altitude").get<double>() / 1000);
    EXPECT_EQ(std::stod(row[7 + e]), j.at("final_orbit").at("apogee_altitude").get<double>() / 1000);
    EXPECT_EQ(row[9 + e], j.at("reached").get<bool>() ? "yes" : "no");
  };
  const std::string text = vehicle_text("corvane_leo.toml");
  expect_end(by_key["nominal"], false, ascent_json(s, text));
  expect_end(thrust, true, ascent_json(s, edited(text, "[[stage]]", 1, "thrust", std::stod(thrust[2]))));
  expect_end(dry, false, ascent_json(s, edited(text, "[[stage]]", 2, "dry_mass", std::stod(dry[1]))));
}

// With nothing dispersed every run is the nominal vehicle: the promised
// payload is the heaviest that ascent itself flies to the target orbit.
TEST(StagedStudy, PromisedPayloadReachesAndAKilogramMoreDoesNot) {
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  const e2e::RunResult r = tool(s, ASCENT_MC_BINARY,
                                {"--vehicle", "v.toml", "--runs", "2", "--promise", "0.5", "--promise-check", "--json", "p.json"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json promise = nlohmann::json::parse(s.read("p.json")).at("promise");
  const double M = promise.at("payload_kg").get<double>();
  EXPECT_GT(M, 16500);  // the bundled payload reaches with propellant to spare
  const std::string text = vehicle_text("corvane_leo.toml");
  const nlohmann::json at_M = ascent_json(s, edited(text, "[payload]", 1, "mass", M));
  EXPECT_TRUE(at_M.at("reached").get<bool>());
  EXPECT_FALSE(ascent_json(s, edited(text, "[payload]", 1, "mass", M + 1)).at("reached").get<bool>());
  // The check flew both runs at M and M + 1 kg: all carry M, none M + 1.
  const nlohmann::json& check = promise.at("check");
  EXPECT_EQ(check.at("carrying").get<int>(), 2);
  EXPECT_EQ(check.at("carrying_plus_1_kg").get<int>(), 0);
  EXPECT_EQ(check.at("contradicted").get<int>(), 0);
  // A band around the 400 km circle: ascent's own flight at M ends this far
  // from it, so a band wider than that promises M again and a narrower one
  // carries nothing at any payload (the guided cut-off's offset barely moves).
  const double off_km = std::max(std::fabs(at_M.at("final_orbit").at("perigee_altitude").get<double>() - 400e3),
                                 std::fabs(at_M.at("final_orbit").at("apogee_altitude").get<double>() - 400e3)) / 1000;
  ASSERT_GT(off_km, 0.02);
  for (const double band : {off_km * 2, off_km / 2}) {
    SCOPED_TRACE(band);
    const e2e::RunResult b = tool(s, ASCENT_MC_BINARY, {"--vehicle", "v.toml", "--runs", "2", "--promise", "0.5",
                                                       "--promise-tolerance", std::to_string(band), "--json", "b.json"});
    ASSERT_EQ(b.exit_code, 0) << b.err;
    const double got = nlohmann::json::parse(s.read("b.json")).at("promise").at("payload_kg").get<double>();
    EXPECT_EQ(got, band > off_km ? M : 0.0);
  }
}

TEST(StagedStudy, OptimisedVehicleFliesAsReported) {
  e2e::Scratch s;
  s.write("v.toml", vehicle_text("corvane_leo.toml"));
  std::vector<std::string> args = {"--vehicle", "v.toml", "--free", "plan.guidance_takeover=60:120",
                                   "--max-flights", "12", "--json", "o.json", "-j"};
  const e2e::RunResult one = tool(s, ASCENT_OPTIMIZE_BINARY, [&] { auto a = args; a.insert(a.end(), {"1", "-o", "a.csv"}); return a; }());
  ASSERT_EQ(one.exit_code, 0) << one.err;
  const nlohmann::json best = nlohmann::json::parse(s.read("o.json"));
  const e2e::RunResult two = tool(s, ASCENT_OPTIMIZE_BINARY, [&] { auto a = args; a.insert(a.end(), {"2", "-o", "b.csv"}); return a; }());
  EXPECT_EQ(s.read("a.csv"), s.read("b.csv"));
  EXPECT_EQ(one.out, two.out);
  const std::string marker = "The vehicle flown:\r\n";  // standard output ends lines with CR LF
  const std::size_t at = one.out.find(marker);
  ASSERT_NE(at, std::string::npos) << one.out;
  const nlohmann::json flown = ascent_json(s, one.out.substr(at + marker.size()));
  EXPECT_EQ(flown.at("masses").at("final").get<double>(), best.at("final_mass_kg").get<double>());
  EXPECT_TRUE(flown.at("reached").get<bool>());
}

// A key that names nothing this vehicle has, or a value the reader refuses,
// stops the tool before any flight: one line, exit 64 (65 and the file's
// line and column for a dispersions file, as for a classic one).
TEST(StagedStudy, KeysThatNameNothingAreRefusedInOneLine) {
  struct Case {
    const char* program;
    std::vector<std::string> args;
    const char* says;
    int code = 64;
    const char* dispersion = nullptr;  // the one [[dispersion]] of d.toml
  };
  const std::string mc = ASCENT_MC_BINARY;
  const std::vector<std::string> disperse = {"--dispersions", "d.toml", "--runs", "2"};
  const Case cases[] = {
      {mc.c_str(), disperse, "stage.2.burn_time: not written in v.toml", 65,
       "key = \"stage.2.burn_time\"\ndistribution = \"normal\"\nthree_sigma = 1\nrelative = false\n"},
      {mc.c_str(), disperse, "stage.1.engines: a count cannot be dispersed", 65,
       "key = \"stage.1.engines\"\ndistribution = \"normal\"\nthree_sigma = 1\nrelative = false\n"},
      {mc.c_str(), disperse, "profile.thrust_scale: a factor of the classic vehicle's", 65,
       "key = \"profile.thrust_scale\"\ndistribution = \"normal\"\nthree_sigma = 0.01\n"},
      {mc.c_str(), disperse, "at its lower bound the value stage.2.thrust: above 0", 65,
       "key = \"stage.2.thrust\"\ndistribution = \"uniform\"\nhalf_width = 1e6\nrelative = false\n"},
      {ASCENT_SWEEP_BINARY, {"--vary", "stage.3.thrust=1"}, "no stage 3: the vehicle has 2"},
      {ASCENT_SWEEP_BINARY, {"--vary", "stage.1.boosters.1.count=2"}, "stage 1 has no booster group 1"},
      {ASCENT_SWEEP_BINARY, {"--vary", "stage.2.thrust=-5:5:5"}, "stage.2.thrust: above 0"},
      {ASCENT_SWEEP_BINARY, {"--vary", "stage.2.engines=1.5"}, "must be a whole number"},
      {ASCENT_SWEEP_BINARY, {"--tt", "30", "--vary", "payload.mass=1"}, "--tt: not for a staged vehicle"},
      {ASCENT_OPTIMIZE_BINARY, {"--free", "stage.2.name=1:2"}, "not a number of a stage"},
      {ASCENT_OPTIMIZE_BINARY, {"--free", "mission.latitude=10:95"}, "mission.latitude: at least -89, at most 89"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    e2e::Scratch s;
    s.write("v.toml", vehicle_text("corvane_leo.toml"));
    if (c.dispersion != nullptr) s.write("d.toml", std::string("[[dispersion]]\n") + c.dispersion);
    std::vector<std::string> args = {"--vehicle", "v.toml"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const e2e::RunResult r = tool(s, c.program, args);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1) << r.err;
    EXPECT_EQ(r.out, "");
  }
}

}  // namespace
