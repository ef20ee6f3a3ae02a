// ascent --trajectory: the usual outputs stay as they are, and a name, an
// epoch or a folder it cannot use is refused with one line before anything
// is flown.
#include <gtest/gtest.h>

#include <cmath>

#include "run_ascent.hpp"

namespace {

const std::string answers = "out.txt\n36\n18\ny\n-1\n";

TEST(Trajectory, TheUsualOutputsDoNotChange) {
  e2e::Scratch plain, exported;
  plain.write("s1.dat", bundled_profile());
  exported.write("s1.dat", bundled_profile());
  const e2e::RunResult a = plain.run_with({}, answers);
  const e2e::RunResult b = exported.run_with({"--trajectory", "f.kml", "--epoch", "2025-06-01T10:00:00"}, answers);
  ASSERT_EQ(a.exit_code, 0) << a.err;
  ASSERT_EQ(b.exit_code, 0) << b.err;
  EXPECT_EQ(b.out, a.out);
  EXPECT_EQ(b.err, "");
  for (const char* f : {"out.txt", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"}) {
    EXPECT_EQ(exported.read(f), plain.read(f)) << f;
  }
  EXPECT_NE(exported.read("f.kml").find("<when>2025-06-01T10:00:00.000000Z</when>"), std::string::npos);
  // An epoch past what ERFA's leap-second table vouches for: one line of
  // warning, and the run as it would be.
  const e2e::RunResult c = exported.run_with({"--trajectory", "f.oem", "--epoch", "2099-06-01T10:00:00"}, answers);
  ASSERT_EQ(c.exit_code, 0) << c.err;
  EXPECT_EQ(c.out, a.out);
  EXPECT_EQ(c.err.rfind("ascent: warning: epoch 2099-06-01T10:00:00.000000 ", 0), 0u) << c.err;
  EXPECT_EQ(count(c.err, "\n"), 1u) << c.err;
  EXPECT_NE(exported.read("f.oem").find("\n2099-06-01T10:00:00.000000 "), std::string::npos);
}

// The epoch places the JSON's impact points whether or not a path is
// exported: with --json alone they are those of the run that exports too.
TEST(Trajectory, TheEpochPlacesTheJsonWithoutATrajectory) {
  e2e::Scratch s;
  s.write("s1.dat", bundled_profile());
  const char* epoch = "2025-06-01T10:00:00";
  const e2e::RunResult a = s.run_with({"--json", "a.json", "--epoch", epoch}, answers);
  const e2e::RunResult b = s.run_with({"--json", "b.json", "--epoch", epoch, "--trajectory", "f.oem"}, answers);
  const e2e::RunResult c = s.run_with({"--json", "c.json"}, answers);
  for (const e2e::RunResult* r : {&a, &b, &c}) ASSERT_EQ(r->exit_code, 0) << r->err;
  EXPECT_EQ(a.err, "");
  EXPECT_EQ(s.read("a.json"), s.read("b.json"));
  EXPECT_NE(s.read("a.json"), s.read("c.json"));
}

TEST(Trajectory, ABadNameEpochOrFolderIsRefusedWithOneLine) {
  struct Case {
    std::vector<std::string> args;
    int code;
    const char* message_start;
  };
  const Case cases[] = {
      {{"--trajectory", "f.txt"}, 64, "ascent: --trajectory f.txt: the name must end in .oem, .czml or .kml"},
      {{"--trajectory"}, 64, "ascent: --trajectory needs a file name"},
      {{"--trajectory", "f.oem", "--epoch", "2027-02-30T00:00:00"}, 64, "ascent: --epoch: epoch '2027-02-30"},
      {{"--trajectory", "f.oem", "--epoch", "tomorrow"}, 64, "ascent: --epoch: 'tomorrow' is not a UTC time"},
      {{"--epoch", "2027-06-01T10:00:00"}, 64, "ascent: --epoch: only the trajectory and the JSON's impact points"},
      {{"--trajectory", "f.json", "--json", "f.json"}, 64, "ascent: --trajectory f.json: the name must end"},
      {{"--trajectory", "f.czml", "--json", "f.czml"}, 64, "ascent: --trajectory f.czml: the same file as --json"},
      {{"--trajectory", "no/such/folder/f.oem"}, 3, "ascent: "},
      // A real UTC time the days of 86400 s do not hold: said so.
      {{"--trajectory", "f.oem", "--epoch", "2016-12-31T23:59:60"}, 64,
       "ascent: --epoch: epoch '2016-12-31T23:59:60': leap seconds (23:59:60) are not supported"},
      // Given twice, an option is refused: the second would silently win.
      {{"--trajectory", "f.oem", "--json", "a.json", "--json", "b.json"}, 64, "ascent: --json: given twice"},
      {{"--trajectory", "f.oem", "--trajectory=g.oem"}, 64, "ascent: --trajectory: given twice"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    s.write("f.oem", "old\n");
    const e2e::RunResult r = s.run_with(c.args, answers);
    EXPECT_EQ(r.exit_code, c.code);
    EXPECT_EQ(r.err.rfind(c.message_start, 0), 0u) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(s.exists("out.txt"));
    EXPECT_EQ(s.read("f.oem"), "old\n");
  }
}

}  // namespace

namespace {

// The times of the table's lines whose speed is a speed (a number, below
// the speed of light): the states a flight had.
std::vector<double> times_of_real_states(const std::string& out) {
  std::vector<double> t;
  for (const std::string& l : e2e::crlf_lines(out)) {
    std::istringstream in(l);
    std::vector<std::string> f{std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
    if (f.size() != 10 || f[0].find_first_not_of("0123456789.-+infa") != std::string::npos) continue;
    const double vi = std::strtod(f[2].c_str(), nullptr);
    if (std::isfinite(vi) && vi < 299792458) t.push_back(std::strtod(f[0].c_str(), nullptr));
  }
  return t;
}

// A flight that falls (a documented answer: no angle of attack) ends in
// states that are no numbers (a guided flight to a target it cannot reach
// burns its stages out and ends on a real orbit): the path exported is the flight's up to its last real state,
// every date a date of the flight, and one line says where it ends.
TEST(Trajectory, AFlightThatEndsInNoNumbersExportsTheStatesItHad) {
  struct Case {
    std::vector<std::string> args;
    std::string answers;
  };
  // An epoch inside ERFA's leap-second table, so that the line on the path's
  // end is the only one.
  const Case cases[] = {{{"--epoch", "2025-01-01T00:00:00", "--trajectory", "f.oem"}, "out.txt\n36\n0\ny\n-1\n"},
                        {{"--epoch", "2025-01-01T00:00:00", "--trajectory", "f.kml"}, "out.txt\n36\n0\ny\n-1\n"},
                        {{"--epoch", "2025-01-01T00:00:00", "--trajectory", "f.czml"}, "out.txt\n36\n0\ny\n-1\n"}};
  const std::regex date(R"(-?\d+-\d+-\d+T[^ "/<\n]*)");
  const std::regex flight_date(R"(2025-01-01T0[01]:\d\d:\d\d\.\d{6}Z?)");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    e2e::Scratch s;
    s.write("s1.dat", bundled_profile());
    const e2e::RunResult r = s.run_with(c.args, c.answers);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const std::string file = s.read(c.args.back());
    const std::vector<double> real = times_of_real_states(s.read("out.txt"));
    ASSERT_GT(real.size(), 100u);
    char end[32];
    std::snprintf(end, sizeof end, "T+%.2f s", real.back());
    EXPECT_EQ(r.err, "ascent: --trajectory " + c.args.back() + ": the flight's state is no place after " + end +
                         ": the path written ends there\r\n");
    for (const char* bad : {"nan", "inf"}) EXPECT_EQ(file.find(bad), std::string::npos) << bad;
    std::string last;
    for (std::sregex_iterator i(file.begin(), file.end(), date), e; i != e; ++i) {
      EXPECT_TRUE(std::regex_match(i->str(), flight_date)) << i->str();
      last = std::max(last, i->str());
    }
    // The last date is the last real state's, to the table's hundredth.
    const double t_last = std::stod(last.substr(11, 2)) * 3600 + std::stod(last.substr(14, 2)) * 60 +
                          std::stod(last.substr(17, 9));
    EXPECT_NEAR(t_last, real.back(), 0.005 + 1e-9);
  }
}

}  // namespace

namespace {

// A CZML description is HTML: names are written in it as text, their
// markup characters escaped.
TEST(Trajectory, NamesInTheCzmlDescriptionsAreTextNotMarkup) {
  std::string v = read_file(std::string(ASCENT_SOURCE_DIR) + "/vehicles/orvalon5.toml");
  const std::size_t at = v.find("\nengine = \"AJ10-190\"");
  ASSERT_NE(at, std::string::npos);
  v.replace(at + 1, 19, R"(engine = "<img src=x onerror='alert(1)'>&")");
  e2e::Scratch s;
  s.write("s1.dat", bundled_profile());
  s.write("v.toml", v);
  const e2e::RunResult r = s.run_with({"--vehicle", "v.toml", "--trajectory", "f.czml"}, answers);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string czml = s.read("f.czml");
  int descriptions = 0;
  for (std::size_t p = czml.find("\"description\":\""); p != std::string::npos;
       p = czml.find("\"description\":\"", p + 1), ++descriptions) {
    const std::string d = czml.substr(p + 15, czml.find('"', p + 15) - p - 15);
    EXPECT_EQ(d.find_first_of("<>'"), std::string::npos) << d;
  }
  EXPECT_GE(descriptions, 9);
  EXPECT_NE(czml.find("\"description\":\"&lt;img src=x onerror=&apos;alert(1)&apos;&gt;&amp; ignition at T+"),
            std::string::npos);
}

}  // namespace
