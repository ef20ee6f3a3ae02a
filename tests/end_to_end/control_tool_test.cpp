// ascent-control as a user runs it: the Delta III optimum in the JSON and
// the steering CSV, and bad use refused before anything is written.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "run_ascent.hpp"

namespace {

using e2e::Scratch;

TEST(ControlTool, WritesTheOptimumAndRefusesBadUse) {
  struct Bad {
    std::vector<std::string> args;
    const char* says;
    int code = 64;
  } bad[] = {
      {{}, "give one of --problem"},
      {{"--problem", "delta3", "--vehicle", "v.toml"}, "give one of --problem"},
      {{"--problem", "delta4"}, "unknown problem 'delta4'"},
      {{"--problem", "delta3", "--mesh", "0"}, "--mesh"},
      {{"--problem", "delta3", "--no-rise"}, "only a --vehicle"},
      {{"--problem", "delta3", "--q-alpha-max", "0"}, "not a limit above 0"},
      {{"--problem", "delta3", "--open-loop", "33.7"}, "is not TT:ALPHA"},
      {{"--problem", "delta3", "--open-loop", "33.7:-1"}, "not a limit above 0"},
      {{"--problem", "delta3", "-o", "a.csv", "--json", "a.csv"}, "named for two outputs"},
      {{"--vehicle", std::string(ASCENT_SOURCE_DIR).append("/vehicles/corvane_gto.toml"), "-o", "a.csv"}, "perigee of the elliptic target", 65},
      {{"--vehicle", std::string(ASCENT_SOURCE_DIR).append("/vehicles/orvalon5.toml"), "-o", "a.csv"}, "open-loop classic description", 65},
      {{"--vehicle", std::string(ASCENT_SOURCE_DIR).append("/vehicles/delta3_gto.toml"), "--turn-time", "30", "-o", "a.csv"},
       "only a classic description"},
  };
  for (const Bad& b : bad) {
    Scratch s;
    const e2e::RunResult r = e2e::run_program(ASCENT_CONTROL_BINARY, b.args, s.dir(), s.dir() / "std", "");
    EXPECT_EQ(r.exit_code, b.code) << b.says;
    EXPECT_NE(r.err.find(b.says), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(s.dir() / "a.csv"));
  }
  Scratch s;
  const e2e::RunResult r = e2e::run_program(ASCENT_CONTROL_BINARY, {"--problem", "delta3", "-o", "s.csv", "--json",
                                                                    "r.json"}, s.dir(), s.dir() / "std", "", false, 60);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const nlohmann::json j = nlohmann::json::parse(read_file(s.dir() / "r.json"));
  for (const char* key : {"objective", "optimum", "replay", "guided", "open_loop", "guided_gap", "open_loop_gap"})
    EXPECT_TRUE(j.contains(key)) << key;
  EXPECT_NEAR(j["optimum"].get<double>(), 7529.712, 7.5);
  EXPECT_NEAR(j["replay"]["a_km"].get<double>(), 24361.14, 1.0);
  // The default mesh: 16, 16, 20 and 60 intervals, each with its ends and
  // midpoints, 2 N + 1 points a phase; a header above them.
  const std::string csv = read_file(s.dir() / "s.csv");
  ASSERT_TRUE(e2e::all_crlf(csv));
  const std::vector<std::string> rows = e2e::crlf_lines(csv);
  ASSERT_EQ(rows.size(), 1u + 33 + 33 + 41 + 121);
  EXPECT_EQ(std::stod(ascent::test::csv_fields(rows.back()).back()), j["optimum"].get<double>());
}

}  // namespace
