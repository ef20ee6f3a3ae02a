// The booster phase as the real program flies it: from the ignition line to
// booster separation, read back from the output file and the data files.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>

#include "run_ascent.hpp"

namespace {

using e2e::field;
using e2e::is_table_line;
using e2e::t_pitch;

constexpr double F0 = 18e6, slope = 6e4;  // N, N/s: the test profile's thrust law
constexpr double tt = 10;                 // s, turn time flown

std::size_t index_of(const std::vector<std::string>& L, const std::string& prefix) {
  for (std::size_t i = 0; i < L.size(); ++i)
    if (L[i].rfind(prefix, 0) == 0) return i;
  return L.size();
}

// Propellant one booster has left at 130.2 s on the test profile: the thrust
// rises linearly from zero to the first point, then follows the straight
// line, so the trapezoids over the profile sum to this integral exactly.
double hand_residual() {
  const double t1 = t_pitch, ts = 130.2, c = 2756.6;
  double burnt = 0.5 * (F0 - slope * t1) * t1 + F0 * (ts - t1) - slope / 2 * (ts * ts - t1 * t1);
  return 680388.6 - burnt / c;
}

// Residual written in the separation message of an output.
double written_residual(const std::vector<std::string>& L) {
  std::size_t i = index_of(L, "Booster seperation! Residual booster propellant = ");
  if (i == L.size()) return NAN;
  const std::string& l = L[i];
  EXPECT_EQ(l.substr(l.size() - 4), " kg.");
  return std::stod(l.substr(50));
}

// One flight of the booster phase, turn time 10 s; the answers end at the
// angle question, which ends the session there.
class BoosterFlight : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    scratch = std::make_unique<e2e::Scratch>();
    scratch->write("s1.dat", e2e::linear_profile());
    run = scratch->run("out\n10\n");
    L = e2e::crlf_lines(scratch->read("out"));
    echo = index_of(L, "Turn time (s)? ");
    pitch = index_of(L, "Pitch over!");
    end_turn = index_of(L, "End turn.");
    sep = index_of(L, "Booster seperation!");
  }
  static void TearDownTestSuite() { scratch.reset(); }

  static inline std::unique_ptr<e2e::Scratch> scratch;
  static inline e2e::RunResult run;
  static inline std::vector<std::string> L;
  static inline std::size_t echo, pitch, end_turn, sep;
};

TEST_F(BoosterFlight, EndsCleanlyWithEventsInOrder) {
  EXPECT_EQ(run.exit_code, 0);
  EXPECT_EQ(run.err, "");
  ASSERT_EQ(L[echo], "Turn time (s)? 10.000");
  ASSERT_LT(echo, pitch);
  ASSERT_LT(pitch, end_turn);
  ASSERT_LT(end_turn, sep);
  EXPECT_EQ(sep, L.size() - 1);  // nothing after separation: the answers ended
  EXPECT_EQ(e2e::lines_of(scratch->read("out")).size(), L.size());
}

TEST_F(BoosterFlight, IgnitionAndLiftoffLines) {
  EXPECT_EQ(L[echo + 1], "   0.00   9.8   283       0         0  90.00   0.00  90.00      0.0 2735709.6");
  const std::string& lo = L[echo + 2];
  ASSERT_TRUE(is_table_line(lo)) << lo;
  EXPECT_EQ(lo.substr(7, 6), "   9.8");
  EXPECT_EQ(lo.substr(13, 54), L[echo + 1].substr(13, 54));  // still on the pad

  // Liftoff: the sea-level thrust of core and boosters equals the weight.
  // Found here by bisection on the thrust-weight balance.
  const double gs = 3.986005e14 / (6378165.0 * 6378165.0);
  const double Ae = 2 * M_PI * 15.01407504 / 4 + 16.673713298791018;
  const double Fdot = 2 * (F0 - slope * t_pitch) / t_pitch;  // N/s, both boosters
  auto mass = [&](double t) {
    return 2735709.6 - 9282548.16 / 4420.8 * t - Fdot / 2756.6 * t * t / 2;
  };
  auto excess = [&](double t) { return 9282548.16 + Fdot * t - 101325 * Ae - gs * mass(t); };
  double lo_t = 0, hi_t = t_pitch;
  ASSERT_LT(excess(lo_t), 0);
  ASSERT_GT(excess(hi_t), 0);
  for (int i = 0; i < 60; ++i) (excess((lo_t + hi_t) / 2) < 0 ? lo_t : hi_t) = (lo_t + hi_t) / 2;
  EXPECT_NEAR(field(lo, 0), lo_t, 0.005);
  EXPECT_GT(field(lo, 0), 0);
  EXPECT_LT(field(lo, 0), t_pitch);
  EXPECT_NEAR(field(lo, 9), mass(lo_t), 0.1);
}

// The vertical rise passes 110 m by whole intervals, steps back one, passes
// it again by tenths, steps back, and again by hundredths, and steps back.
TEST_F(BoosterFlight, SearchFor110mStepsBackThreeTimes) {
  std::vector<double> drops, first_steps;
  for (std::size_t i = echo + 3; i < pitch; ++i) {
    ASSERT_TRUE(is_table_line(L[i])) << L[i];
    double dt = field(L[i], 0) - field(L[i - 1], 0);
    if (dt < 0) {
      drops.push_back(-dt);
      EXPECT_GE(field(L[i - 1], 3), 110) << "stepped back before passing 110 m: " << L[i - 1];
      if (i + 1 < pitch) first_steps.push_back(field(L[i + 1], 0) - field(L[i], 0));
    }
  }
  ASSERT_EQ(drops.size(), 3u);
  EXPECT_EQ(L[pitch - 1], L[pitch - 3]);  // the last step back returns to the state before
  EXPECT_NEAR(drops[0], t_pitch, 0.011);
  EXPECT_NEAR(drops[1], t_pitch / 10, 0.011);
  EXPECT_NEAR(drops[2], t_pitch / 100, 0.011);
  ASSERT_EQ(first_steps.size(), 2u);
  EXPECT_NEAR(first_steps[0], t_pitch / 10, 0.011);
  EXPECT_NEAR(first_steps[1], t_pitch / 100, 0.011);
  EXPECT_LE(field(L[pitch - 1], 3), 110);
}

// Pitch-over: to the end of the interval, on to t_pitch after its start, on to
// the next point. The hold lasts tt from there; the pitch-back takes t_pitch.
TEST_F(BoosterFlight, PitchOverAndEndTurnInTheirPlaces) {
  auto on_point = [](double t) { return std::fabs(t - t_pitch * std::round(t / t_pitch)) < 0.006; };
  const double t_po = field(L[pitch - 1], 0);
  EXPECT_TRUE(on_point(field(L[pitch + 1], 0))) << L[pitch + 1];
  EXPECT_GT(field(L[pitch + 1], 0), t_po);
  EXPECT_NEAR(field(L[pitch + 2], 0), t_po + t_pitch, 0.0101);
  EXPECT_TRUE(on_point(field(L[pitch + 3], 0))) << L[pitch + 3];

  EXPECT_NEAR(field(L[end_turn - 1], 0), t_po + tt + 2 * t_pitch, 0.0101);
  EXPECT_TRUE(on_point(field(L[end_turn + 1], 0))) << L[end_turn + 1];
  EXPECT_GT(field(L[end_turn + 1], 0), field(L[end_turn - 1], 0));
  for (std::size_t i = pitch + 1; i < sep; ++i)
    if (i != end_turn) {
      EXPECT_TRUE(is_table_line(L[i])) << L[i];
    }
}

TEST_F(BoosterFlight, SeparationAt130_2WithTheResidualOfTheProfile) {
  EXPECT_EQ(L[sep - 1].substr(0, 7), " 130.20");
  EXPECT_LT(field(L[sep - 2], 0), 130.2);
  EXPECT_NEAR(written_residual(L), hand_residual(), 0.51);
}

// Each step writes one line to each data file, after its table line; the
// pad lines are no steps.
TEST_F(BoosterFlight, DataFilesHoldOneLinePerStep) {
  std::vector<std::string> steps;
  for (std::size_t i = echo + 3; i < L.size(); ++i)
    if (is_table_line(L[i])) steps.push_back(L[i]);
  const char* names[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};
  const int column[] = {2, 3, 1, 8};           // table column of the second field
  const double scale[] = {1000, 1000, 1, 1000};  // table unit per data-file unit
  const double tol[] = {1.01, 1.01, 0.051, 0.11};
  const std::size_t width[] = {13, 16, 15, 16};
  for (int f = 0; f < 4; ++f) {
    std::string text = scratch->read(names[f]);
    EXPECT_TRUE(e2e::all_crlf(text)) << names[f];
    std::vector<std::string> D = e2e::crlf_lines(text);
    ASSERT_EQ(D.size(), steps.size()) << names[f];
    for (std::size_t i = 0; i < D.size(); ++i) {
      ASSERT_EQ(D[i].size(), width[f]) << names[f] << ": " << D[i];
      ASSERT_EQ(D[i].substr(0, 7), steps[i].substr(0, 7)) << names[f] << " line " << i + 1;
      EXPECT_NEAR(field(D[i], 1) * scale[f], field(steps[i], column[f]), tol[f]) << names[f] << ": " << D[i];
    }
  }
}

// A pitch-back that ends after 130.2 s: the phase reads one more point and
// steps back to separation. The propellant burnt by 130.2 s does not depend
// on the turn time.
TEST(BoosterPhase, LatePitchBackStepsBackToSeparation) {
  e2e::Scratch s;
  s.write("s1.dat", e2e::linear_profile());
  e2e::RunResult r = s.run("out\n123.4567\n");
  EXPECT_EQ(r.exit_code, 0);
  std::vector<std::string> L = e2e::crlf_lines(s.read("out"));
  std::size_t echo = index_of(L, "Turn time (s)? "), end_turn = index_of(L, "End turn."),
              sep = index_of(L, "Booster seperation!");
  ASSERT_LT(sep, L.size());
  EXPECT_EQ(L[echo], "Turn time (s)? 123.457");
  EXPECT_EQ(sep, end_turn + 3);
  EXPECT_GT(field(L[end_turn - 1], 0), 130.2);
  EXPECT_EQ(L[sep - 1].substr(0, 7), " 130.20");
  EXPECT_NEAR(written_residual(L), hand_residual(), 0.51);
}

TEST(BoosterPhase, ProfileFaults) {
  std::string good = e2e::linear_profile();
  struct Case {
    const char* what;
    bool present;
    std::string profile;
    int code;
    std::vector<std::string> in_message;
  };
  std::string bad = good;
  std::size_t line5 = 0;
  for (int i = 0; i < 4; ++i) line5 = bad.find('\n', line5) + 1;
  std::size_t end5 = bad.find('\n', line5);
  bad = bad.substr(0, end5) + "x" + bad.substr(end5);  // "1.0x": not a number
  const Case cases[] = {
      {"missing", false, "", 2, {"s1.dat"}},
      {"bad number", true, bad, 106, {"s1.dat", "line 5"}},
      {"empty", true, "", 100, {"s1.dat", "end"}},
      {"ends at 50 points", true, e2e::linear_profile(50), 100, {"s1.dat", "end"}},
      {"ends inside a line", true, e2e::linear_profile(50) + "50.3", 100, {"s1.dat", "end"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    e2e::Scratch s;
    if (c.present) s.write("s1.dat", c.profile);
    e2e::RunResult r = s.run("out\n10\n5\n\n-1\n");
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(e2e::lines_of(r.err).size(), 1u) << r.err;
    for (const std::string& m : c.in_message) EXPECT_NE(r.err.find(m), std::string::npos) << r.err;
    std::string out = s.read("out");
    EXPECT_EQ(out.find("Booster seperation!"), std::string::npos);
    // Lines written before the fault stay written.
    EXPECT_TRUE(e2e::all_crlf(out));
    EXPECT_NE(out.find("Turn time (s)? 10.000\r\n"), std::string::npos);
    if (c.present) {
      EXPECT_NE(out.find("\r\n   0.00   9.8   283 "), std::string::npos);
    }
  }
}

// An interval longer than the pitch time draws the warning and is flown.
TEST(BoosterPhase, LongIntervalWarnsAndFliesOn) {
  std::string profile = e2e::linear_profile();
  std::size_t p = 0;
  for (int i = 0; i < 29; ++i) p = profile.find('\n', p) + 1;
  profile.erase(p, profile.find('\n', p) + 1 - p);  // point 30 gone: one interval of 2 t_pitch
  e2e::Scratch s;
  s.write("s1.dat", profile);
  e2e::RunResult r = s.run("out\n10\n");
  EXPECT_EQ(r.exit_code, 0);
  std::vector<std::string> L = e2e::crlf_lines(s.read("out"));
  int warnings = 0;
  for (const std::string& l : L)
    warnings += l == "Error! Booster time increments must be at most 0.986832971065 seconds";
  EXPECT_EQ(warnings, 1);
  // Every point still lies on the thrust line, so the trapezoids still sum exactly.
  EXPECT_NEAR(written_residual(L), hand_residual(), 0.51);
}

}  // namespace
