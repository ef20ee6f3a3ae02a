// Answers at the limits of the arithmetic, and a few hundred generated
// sessions with odd answers and damaged profiles: every run must end, by a
// normal end or a documented exit code, never by a signal or a hang, and must
// never change the booster profile.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <map>
#include <random>
#include <set>
#include <string>

#include "run_ascent.hpp"

namespace {

// A finished flight: the in-orbit report, the summary and the constants file.
void expect_flown(const e2e::Scratch& s, const e2e::RunResult& r, const std::string& out) {
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(r.signaled);
  EXPECT_EQ(count(out, "in Orbit! Remaining propellant"), 1);
  EXPECT_EQ(count(out, "  SC_M    = "), 1);
  ASSERT_TRUE(s.exists("const_n.pas"));
  EXPECT_TRUE(e2e::all_crlf(s.read("const_n.pas")));
}

TEST(AnswersAtTheLimits, TurnTimes) {
  {
    SCOPED_TRACE("1e6 s: the profile ends long before the turn");
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    e2e::RunResult r = s.run("\n1e6\n18\ny\n-1\n");
    EXPECT_EQ(r.exit_code, 100);
    EXPECT_NE(r.err.find("s1.dat"), std::string::npos);
    EXPECT_NE(r.err.find("end of file"), std::string::npos);
  }
  for (const char* tt : {"89.9999", "90", "1"}) {
    SCOPED_TRACE(tt);
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    e2e::RunResult r = s.run(std::string("\n") + tt + "\n18\ny\n-1\n");
    expect_flown(s, r, r.out);
    EXPECT_EQ(count(r.out, "Pitch over!"), 1);
  }
  {
    SCOPED_TRACE("90 s in iterate mode: the recommendation leaves (0, 90), one pass");
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    e2e::RunResult r = s.run("i\n90\n18\ny\n-1\n");
    expect_flown(s, r, r.out);
    EXPECT_EQ(count(r.out, "Recommended tt = "), 1);
    EXPECT_NE(r.out.find("Recommended tt = 90.1000 s"), std::string::npos);
  }
}

TEST(AnswersAtTheLimits, AngleLimits) {
  for (const char* alpha : {"0", "-5", "180", "1e300"}) {
    SCOPED_TRACE(alpha);
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    e2e::RunResult r = s.run(std::string("out.txt\n36\n") + alpha + "\ny\n-1\n");
    std::string out = s.read("out.txt");
    expect_flown(s, r, out);
    EXPECT_TRUE(e2e::all_crlf(out));
    // The echo carries the angle as typed; 1e300 takes all the room it needs.
    EXPECT_NE(out.find("Maximum angle of attack (degrees)? "), std::string::npos);
  }
}

// ---------------------------------------------------------------------------
// Generated sessions.

struct Generator {
  std::mt19937_64 rng;
  explicit Generator(unsigned seed) : rng(seed) {}

  int pick(int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); }
  double uniform(double a, double b) {
    return a + (b - a) * static_cast<double>(rng() >> 11) * 0x1.0p-53;
  }

  std::string number(double x) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.6g", x);
    return buf;
  }

  // A booster profile: the bundled one or a straight line, then damaged in
  // one of several ways.
  std::string profile(const std::string& bundled) {
    std::string text;
    int n = pick(4) == 0 ? 20 + pick(120) : 140 + pick(30);
    double F0 = uniform(0, 4e7);
    switch (pick(10)) {
      case 0: return bundled;
      case 1: text = bundled.substr(0, static_cast<std::size_t>(pick(static_cast<int>(bundled.size())))); break;
      case 2: return "";
      default: text = e2e::linear_profile(n, F0, uniform(-1e5, 3e5)); break;
    }
    std::vector<std::string> lines = e2e::lines_of(text);
    switch (pick(9)) {
      case 0: if (!lines.empty()) lines.erase(lines.begin() + pick(static_cast<int>(lines.size()))); break;  // a gap
      case 1: for (auto& l : lines) l = "0 0"; break;                                                       // no thrust
      case 2: if (!lines.empty()) lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))] = "12.5 1e30"; break;
      case 3: if (lines.size() > 3) std::swap(lines[1], lines[2]); break;                                    // times go back
      case 4: if (!lines.empty()) lines[static_cast<std::size_t>(pick(static_cast<int>(lines.size())))] = "thrust data follows"; break;
      case 5: for (auto& l : lines) l += "\r"; break;                                                        // CR LF
      case 6: if (!lines.empty()) lines[0] = "-1 " + number(F0); break;                                      // negative time
      case 7: lines.insert(lines.begin(), "  "); break;                                                      // blank line
      default: break;
    }
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      out += lines[i];
      if (i + 1 < lines.size() || pick(2) == 0) out += "\n";  // sometimes no final line end
    }
    return out;
  }

  std::string turn_time() {
    static const char* odd[] = {"-1", "0", "0.5", "-0", "1", "90", "1e6", "abc", "1e999", "5e", " 40 extra words"};
    if (pick(4) == 0) return odd[pick(11)];
    return number(uniform(1, 95));
  }

  std::string angle() {
    static const char* odd[] = {"0", "-5", "180", "1e300", "x"};
    if (pick(4) == 0) return odd[pick(5)];
    return number(uniform(0, 40));
  }

  std::string answers() {
    // Mostly the three ways a session runs; now and then a name it must refuse.
    static const char* first[] = {"", "", "", "i", "i", "i", "out.txt", "out.txt", "I",
                                  "s1.dat", "sub/none.txt", "speed.dat"};
    int k = pick(10);
    std::string a = std::string(first[k == 9 ? 9 + pick(3) : k]) + "\n";
    int flights = 1 + pick(2);
    for (int k = 0; k < flights; ++k) {
      a += turn_time() + "\n" + angle() + "\n" + (pick(3) == 0 ? "n" : "y") + "\n";
    }
    if (pick(4) != 0) a += "-1\n";  // otherwise the answers just run out
    return a;
  }
};

// Inputs that are no regular file or are far too long: refused with a line
// naming the file (100) at once, never read until memory runs out or the
// run hangs on a pipe that nobody writes.
TEST(InputFiles, DevicesPipesAndHugeFilesAreRefused) {
  e2e::Scratch s;
  s.write("s1.dat", bundled_profile());
  ASSERT_EQ(mkfifo((s.dir() / "fifo").c_str(), 0600), 0);
  std::string vehicle = e2e::run_program(ASCENT_BINARY, {"--print-vehicle"}, s.dir(), s.dir() / "pv", "").out;
  s.write("zero.toml", "profile = \"/dev/zero\"\n" + vehicle);
  s.write("huge.toml", vehicle + std::string(5u << 20, '#') + "\n");
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string names;
    int code = 100;
  };
  const Case cases[] = {
      {ASCENT_BINARY, {"--vehicle", "/dev/zero"}, "/dev/zero: not a regular file"},
      {ASCENT_BINARY, {"--vehicle", "/dev/urandom"}, "/dev/urandom: not a regular file"},
      {ASCENT_BINARY, {"--vehicle", "fifo"}, "fifo: not a regular file"},
      // A description that names such a profile is one that cannot be flown.
      {ASCENT_BINARY, {"--vehicle", "zero.toml"}, "profile: cannot be read: /dev/zero: not a regular file", 65},
      {ASCENT_BINARY, {"--vehicle", "huge.toml"}, "huge.toml: larger than 4 MiB"},
      {ASCENT_SWEEP_BINARY, {"--profile", "fifo"}, "fifo: not a regular file"},
      {ASCENT_MC_BINARY, {"--dispersions", "/dev/zero"}, "/dev/zero: not a regular file"},
      {ASCENT_MC_BINARY, {"--merge", "/dev/zero", "-o", "m.csv"}, "/dev/zero: not a regular file"},
  };
  for (const Case& c : cases) {
    e2e::RunResult r = e2e::run_program(c.program, c.args, s.dir(), s.dir() / "io", "", false, 20);
    EXPECT_FALSE(r.timed_out || r.signaled) << c.args[1];
    EXPECT_EQ(r.exit_code, c.code) << c.args[1] << ": " << r.err;
    EXPECT_NE(r.err.find(c.names), std::string::npos) << r.err;
  }
}

TEST(GeneratedSessions, EndCleanlyAndNeverTouchTheProfile) {
  const std::set<int> documented = {0, 2, 3, 5, 65, 100, 101, 106};
  const std::string bundled = bundled_profile();
  int runs = 300;
  if (const char* env = std::getenv("ASCENT_STRESS_RUNS")) runs = std::atoi(env);
  Generator g(20261207);
  std::map<int, int> by_code;
  for (int i = 0; i < runs; ++i) {
    std::string profile = g.profile(bundled);
    std::string answers = g.answers();
    bool with_profile = g.pick(20) != 0;
    e2e::Scratch s;
    if (with_profile) s.write("s1.dat", profile);
    e2e::RunResult r = s.run(answers, false, 30);
    SCOPED_TRACE("run " + std::to_string(i) + " answers: " + answers);
    ASSERT_FALSE(r.timed_out);
    ASSERT_FALSE(r.signaled);
    ASSERT_TRUE(documented.count(r.exit_code)) << "exit code " << r.exit_code << ": " << r.err;
    if (r.exit_code != 0) {
      EXPECT_EQ(count(r.err, "\n"), 1) << r.err;  // one line naming the fault
    }
    if (with_profile) {
      EXPECT_EQ(s.read("s1.dat"), profile);
    }
    ++by_code[r.exit_code];
  }
  // The generator must reach the normal end and the common faults.
  if (runs >= 100) {
    for (int code : {0, 5, 100, 106}) EXPECT_GT(by_code[code], 0) << "exit code " << code;
  }
}

}  // namespace
