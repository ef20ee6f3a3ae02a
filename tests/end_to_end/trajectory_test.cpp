// ascent --trajectory: the usual outputs stay as they are, and a name, an
// epoch or a folder it cannot use is refused with one line before anything
// is flown.
#include <gtest/gtest.h>

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
      {{"--epoch", "2027-06-01T10:00:00"}, 64, "ascent: --epoch: only the trajectory uses it"},
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
