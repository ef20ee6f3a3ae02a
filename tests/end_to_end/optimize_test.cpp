// ascent-optimize against ascent itself: the answers it writes fly, in
// ascent, the very flight it reported; the number of jobs changes no byte;
// bad bounds, keys and tolerances stop it before any flight; bounds where no
// flight can reach the orbit end with the documented status and the outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <vector>

#include "run_ascent.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double h_target_km = 398.6;  // the bundled mission's target altitude

// A scratch folder holding the bundled profile as s1.dat.
struct Folder {
  e2e::Scratch s;
  Folder() { s.write("s1.dat", read_file(fs::path(ASCENT_SOURCE_DIR) / "data" / "s1.dat")); }
  e2e::RunResult optimize(const std::vector<std::string>& args) const {
    static int serial = 0;
    return e2e::run_program(ASCENT_OPTIMIZE_BINARY, args, s.dir(), s.dir() / ("io" + std::to_string(++serial)), "",
                            false, 60);
  }
};

std::vector<std::string> fields(const std::string& line) {
  std::vector<std::string> f(1);
  for (char c : line) {
    if (c == ',') {
      f.emplace_back();
    } else {
      f.back() += c;
    }
  }
  return f;
}

// The last number after `label` in a text (ascent writes a report per pass).
double last_number_after(const std::string& text, const std::string& label) {
  std::size_t at = text.rfind(label);
  if (at == std::string::npos) return std::nan("");
  return std::strtod(text.c_str() + at + label.size(), nullptr);
}

// Runs the optimiser with `args` plus --answers and --json, then ascent with
// the answers (and `ascent_args`); checks that ascent reports the same SC_M
// and orbit, and that the orbit meets `tolerance_km` around `h_km` by
// ascent's own report. Returns the JSON summary.
nlohmann::json optimise_and_replay(const Folder& f, std::vector<std::string> args,
                                   const std::vector<std::string>& ascent_args, double h_km, double tolerance_km) {
  args.insert(args.end(), {"--answers", "best.ans", "--json", "best.json", "--jobs", "2"});
  e2e::RunResult r = f.optimize(args);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  nlohmann::json j = nlohmann::json::parse(f.s.read("best.json"));
  EXPECT_TRUE(j["reached"].get<bool>());

  // ascent, given the answers, flies the same flight to the digit.
  e2e::RunResult a = e2e::run_program(ASCENT_BINARY, ascent_args, f.s.dir(), f.s.dir() / "replay", f.s.read("best.ans"));
  EXPECT_EQ(a.exit_code, 0) << a.err;
  const std::string report = f.s.read("best.out");  // named after the answers
  EXPECT_EQ(last_number_after(report, "SC_M    ="), j["SC_M"].get<double>());
  double hp = last_number_after(report, "Perigee ="), ha = last_number_after(report, "Apogee =");
  EXPECT_NEAR(hp, j["hp_final_km"].get<double>(), 0.05 + 1e-9);
  EXPECT_NEAR(ha, j["ha_final_km"].get<double>(), 0.05 + 1e-9);
  // And that flight meets the conditions asked for, read from ascent's report.
  EXPECT_LE(std::fabs(hp - h_km), tolerance_km + 0.05);
  EXPECT_LE(std::fabs(ha - h_km), tolerance_km + 0.05);
  // The answers give tt and alpha with every digit the optimiser flew.
  std::vector<std::string> lines = e2e::lines_of(f.s.read("best.ans"));
  EXPECT_EQ(lines.size(), 5u);
  if (lines.size() == 5) {
    EXPECT_EQ(std::strtod(lines[1].c_str(), nullptr), j["tt"].get<double>());
    EXPECT_EQ(std::strtod(lines[2].c_str(), nullptr), j["alpha"].get<double>());
    EXPECT_EQ(lines[3], "y");
    EXPECT_EQ(lines[4], "-1");
  }
  return j;
}

TEST(Optimize, AnswersFlyInAscentTheFlightItReported) {
  Folder f;
  nlohmann::json j = optimise_and_replay(
      f, {"--tt", "30:40", "--alpha", "17:19", "--tolerance", "5", "--max-flights", "40"}, {}, h_target_km, 5);
  EXPECT_EQ(j["flights"].get<int>(), 40);
  EXPECT_FALSE(f.s.exists("best.toml"));  // nothing of the vehicle was changed
}

TEST(Optimize, AnotherVehicleWithAFreeKeyIsWrittenBesideTheAnswersAndFliesAlike) {
  Folder f;
  // The second bundled vehicle aims at 350 km and names its own profile.
  const std::string tarvos = (fs::path(ASCENT_SOURCE_DIR) / "vehicles" / "tarvos3.toml").string();
  nlohmann::json j = optimise_and_replay(f,
                                         {"--vehicle", tarvos, "--tt", "30:45", "--alpha", "16:20", "--max-flights",
                                          "40", "--free", "plan.acceleration_limit=38:41"},
                                         {"--vehicle", "best.toml"}, 350.0, 10);
  const double limit = j["plan.acceleration_limit"].get<double>();
  EXPECT_GE(limit, 38.0);
  EXPECT_LE(limit, 41.0);
  std::smatch m;
  const std::string toml = f.s.read("best.toml");
  ASSERT_TRUE(std::regex_search(toml, m, std::regex("\\nacceleration_limit = ([^\\r\\n]+)")));
  EXPECT_EQ(std::strtod(m[1].str().c_str(), nullptr), limit);
}

TEST(Optimize, NumberOfJobsChangesNoByteAndTheCsvHoldsEveryFlight) {
  Folder f;
  const std::vector<std::string> common = {"--tt", "25:45", "--alpha", "16:20", "--max-flights", "50",
                                           "--free", "plan.acceleration_limit=38:41"};
  auto with = [&](const std::string& jobs, const std::string& tag) {
    std::vector<std::string> a = common;
    for (const char* s : {"--jobs", jobs.c_str(), "-o", "", "--json", ""}) a.push_back(s);
    a[a.size() - 3] = tag + ".csv";
    a[a.size() - 1] = tag + ".json";
    return f.optimize(a);
  };
  e2e::RunResult one = with("1", "one"), two = with("2", "two");
  ASSERT_EQ(one.exit_code, 0) << one.err;
  ASSERT_EQ(two.exit_code, 0) << two.err;
  EXPECT_EQ(one.out, two.out);
  const std::string csv = f.s.read("one.csv");
  EXPECT_EQ(csv, f.s.read("two.csv"));
  EXPECT_EQ(f.s.read("one.json"), f.s.read("two.json"));

  // One row per flight, the sweep's columns then the free key; a row is
  // marked reached exactly when its orbit is within 10 km and the core kept
  // its propellant; the JSON's best is the largest mass of those rows.
  std::vector<std::string> lines = e2e::crlf_lines(csv);
  ASSERT_EQ(lines.size(), 51u);
  std::vector<std::string> head = fields(lines[0]);
  ASSERT_EQ(head.size(), 19u);
  EXPECT_EQ(head[0], "tt");
  EXPECT_EQ(head[12], "SC_M");
  EXPECT_EQ(head[16], "reached");
  EXPECT_EQ(head[18], "plan.acceleration_limit");
  nlohmann::json j = nlohmann::json::parse(f.s.read("one.json"));
  double best = 0;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::vector<std::string> v = fields(lines[i]);
    ASSERT_EQ(v.size(), 19u) << lines[i];
    double limit = std::strtod(v[18].c_str(), nullptr);
    EXPECT_GE(limit, 38.0);
    EXPECT_LE(limit, 41.0);
    if (v[17] != "ok") continue;
    double hp = std::strtod(v[7].c_str(), nullptr), ha = std::strtod(v[8].c_str(), nullptr);
    bool reached = std::fabs(hp - h_target_km) <= 10 && std::fabs(ha - h_target_km) <= 10 &&
                   std::strtod(v[5].c_str(), nullptr) >= 0;
    EXPECT_EQ(v[16], reached ? "yes" : "no") << lines[i];
    if (reached) best = std::max(best, std::strtod(v[12].c_str(), nullptr));
  }
  EXPECT_GT(best, 0);
  EXPECT_EQ(j["SC_M"].get<double>(), best);
  EXPECT_GE(j["plan.acceleration_limit"].get<double>(), 38.0);
}

TEST(Optimize, BadBoundsKeysAndTolerancesStopItBeforeAnyFlight) {
  Folder f;
  const std::vector<std::vector<std::string>> cases = {
      {"--tt", "40:30"},                               // bounds reversed
      {"--tt", "0.5:30"},                              // ascent refuses turns under 1 s
      {"--alpha", "-1:10"},                            // a limit is a magnitude
      {"--alpha", "5"},                                // not LOW:HIGH
      {"--tt", "abc:30"},                              // not a number
      {"--free", "plan.no_such_key=1:2"},              // unknown key
      {"--free", "name=1:2"},                          // a text key
      {"--free", "drag.cd=0:1"},                       // a list
      {"--free", "plan.acceleration_limit=-5:40"},     // outside the key's range
      {"--free", "plan.acceleration_limit=40:40"},     // empty interval
      {"--free", "plan.acceleration_limit"},           // no bounds
      {"--tolerance", "0"},                            // nothing can meet it
      {"--tolerance", "-3"},
      {"--tolerance", "400"},                          // admits an orbit below the ground
      {"--max-flights", "0"},
      {"--jobs", "0"},
      {"--bogus"},
      {"--answers", "out.json"},                       // one file for two outputs
  };
  for (const std::vector<std::string>& c : cases) {
    std::vector<std::string> args = c;
    args.insert(args.end(), {"-o", "out.csv", "--json", "out.json"});
    e2e::RunResult r = f.optimize(args);
    std::string what = c[0] + (c.size() > 1 ? " " + c[1] : "");
    EXPECT_EQ(r.exit_code, 64) << what;
    EXPECT_EQ(r.err.rfind("ascent-optimize: ", 0), 0u) << what << ": " << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
    EXPECT_FALSE(f.s.exists("out.csv")) << what;
    EXPECT_FALSE(f.s.exists("out.json")) << what;
  }
  // Said twice, an option is refused rather than the last taken; --free adds.
  EXPECT_EQ(f.optimize({"--json", "a.json", "--json", "b.json"}).exit_code, 64);
  // Two outputs that are one file through a link: one would be lost.
  fs::create_symlink("a.csv", f.s.dir() / "b.json");
  e2e::RunResult linked = f.optimize({"-o", "a.csv", "--json", "b.json", "--max-flights", "2"});
  EXPECT_EQ(linked.exit_code, 5) << linked.err;
  EXPECT_NE(linked.err.find("a.csv and b.json: refused: one file through a link"), std::string::npos) << linked.err;
  EXPECT_FALSE(f.s.exists("a.csv"));
  // The key named is the one at fault.
  EXPECT_NE(f.optimize({"--free", "name=1:2"}).err.find("name"), std::string::npos);
  EXPECT_NE(f.optimize({"--free", "plan.no_such_key=1:2"}).err.find("plan.no_such_key"), std::string::npos);
}

TEST(Optimize, ACountSetFreeIsFlownAtWholeValuesOnly) {
  Folder f;
  e2e::RunResult r = f.optimize({"--tt", "30:40", "--alpha", "17:19", "--max-flights", "24", "--free",
                                 "core.engines=3:5", "-o", "n.csv"});
  ASSERT_TRUE(r.exit_code == 0 || r.exit_code == 4) << r.err;
  std::vector<std::string> lines = e2e::crlf_lines(f.s.read("n.csv"));
  ASSERT_EQ(lines.size(), 25u);
  EXPECT_EQ(fields(lines[0]).back(), "core.engines");
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::string v = fields(lines[i]).back();
    EXPECT_TRUE(v == "3" || v == "4" || v == "5") << lines[i];
  }
}

TEST(Optimize, HelpAndVersionAnswerWithoutFlying) {
  Folder f;
  fs::remove(f.s.dir() / "s1.dat");  // neither needs the profile
  e2e::RunResult h = f.optimize({"--help"});
  EXPECT_EQ(h.exit_code, 0) << h.err;
  for (const char* option : {"--tt", "--alpha", "--free", "--tolerance", "--max-flights", "--vehicle", "--profile",
                             "--jobs", "--json", "--answers", "Exit status"}) {
    EXPECT_NE(h.out.find(option), std::string::npos) << option;
  }
  e2e::RunResult v = f.optimize({"--version"});
  EXPECT_EQ(v.exit_code, 0) << v.err;
  EXPECT_EQ(v.out.rfind("ascent-optimize ", 0), 0u) << v.out;
}

TEST(Optimize, NoFlightReachingTheTargetEndsWithStatus4AndTheOutputs) {
  Folder f;
  // Below 8 degrees the steering cannot hold the vehicle up: every flight
  // falls short of orbit.
  e2e::RunResult r = f.optimize({"--tt", "40:80", "--alpha", "0:5", "--max-flights", "20", "-o", "miss.csv",
                                 "--json", "miss.json", "--answers", "miss.ans"});
  EXPECT_EQ(r.exit_code, 4) << r.err;
  EXPECT_NE(r.err.find("no flight reached the target"), std::string::npos) << r.err;
  std::vector<std::string> lines = e2e::crlf_lines(f.s.read("miss.csv"));
  ASSERT_EQ(lines.size(), 21u);
  for (std::size_t i = 1; i < lines.size(); ++i) EXPECT_EQ(fields(lines[i])[16], "no") << lines[i];
  nlohmann::json j = nlohmann::json::parse(f.s.read("miss.json"));
  EXPECT_FALSE(j["reached"].get<bool>());
  EXPECT_EQ(j["flights"].get<int>(), 20);
  EXPECT_FALSE(j["converged"].get<bool>()) << "every flight of the budget flown: it ran out";
  EXPECT_NE(r.out.find("ran out of flights (--max-flights 20)"), std::string::npos) << r.out;
  EXPECT_TRUE(f.s.exists("miss.ans"));
  EXPECT_EQ(e2e::lines_of(f.s.read("miss.ans")).front(), "miss.out");

  // A missing profile: ascent's own code for it.
  fs::remove(f.s.dir() / "s1.dat");
  e2e::RunResult m = f.optimize({"--max-flights", "10"});
  EXPECT_EQ(m.exit_code, 2) << m.err;
  EXPECT_NE(m.err.find("s1.dat"), std::string::npos) << m.err;
  // So is a missing vehicle, named.
  e2e::RunResult v = f.optimize({"--vehicle", "no_such.toml", "--max-flights", "10"});
  EXPECT_EQ(v.exit_code, 2) << v.err;
  EXPECT_NE(v.err.find("no_such.toml"), std::string::npos) << v.err;
}

}  // namespace
