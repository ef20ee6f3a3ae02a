// The session as the real program runs it: the questions, the output
// channels and their bytes, the answers it takes and refuses, the end of the
// answers, and the faults of the output files.
#include <gtest/gtest.h>

#include "run_ascent.hpp"

namespace {

const std::string file_q = "Enter output filename (return = standard output, i = iterate): ";
const std::string tt_q = "Turn time (s)? ";
const std::string angle_q = "Maximum angle of attack (degrees)? ";
const std::string transfer_q = "Transfer to apogee? ";
const char* const data_files[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};

// The table header with the byte of the superscript two.
std::string header(unsigned char sq) {
  std::string titles = std::string("   t      a     vi     h0       r0      alpha  beta  theta     Pq") + "     m0+Me";
  std::string units = std::string("  sec    m/s") + static_cast<char>(sq) +
                      "  m/s   metres   metres     deg    deg   deg" + "      Pa       kg";
  EXPECT_EQ(titles.size(), 75u);
  EXPECT_EQ(units.size(), 74u);
  return "\r\n" + titles + "\r\n" + units + "\r\n" + std::string(77, '-') + "\r\n";
}

// A scratch directory holding a booster profile: the test profile, or the
// bundled one where any profile serves.
struct Dir : e2e::Scratch {
  explicit Dir(bool bundled = false) {
    if (bundled) {
      std::ifstream f(ASCENT_SOURCE_DIR "/data/s1.dat", std::ios::binary);
      write("s1.dat", std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()));
    } else {
      write("s1.dat", e2e::linear_profile());
    }
  }
  bool no_data_files() const {
    for (const char* f : data_files)
      if (exists(f)) return false;
    return true;
  }
};

bool one_line(const std::string& err) { return count(err, "\n") == 1 && err.back() == '\n'; }

TEST(Session, HeaderInBothCodesAndEndOnMinusOne) {
  Dir f;
  e2e::RunResult r = f.run("out\n-1\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(f.read("out"), header(0xB2) + tt_q + "-1.000\r\n");
  EXPECT_EQ(r.out, file_q + tt_q);  // the console shows only the prompts
  for (const char* d : data_files) EXPECT_EQ(f.read(d), "") << d;

  Dir c;
  r = c.run("\n-1\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + header(0xFD) + tt_q);
  EXPECT_TRUE(c.no_data_files());
}

TEST(Session, EveryLineOfEveryFileEndsInCrLf) {
  Dir f(true);
  e2e::RunResult r = f.run("out\n10\n5\ny\n-1\n");
  EXPECT_EQ(r.exit_code, 0);
  for (const char* name : {"out", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"}) {
    std::string text = f.read(name);
    EXPECT_GT(text.size(), 0u) << name;
    EXPECT_TRUE(e2e::all_crlf(text)) << name;
  }
  Dir c(true);
  r = c.run("\n10\n5\ny\n-1\n");
  ASSERT_GT(r.out.size(), tt_q.size());
  EXPECT_EQ(r.out.substr(r.out.size() - tt_q.size()), tt_q);
  EXPECT_TRUE(e2e::all_crlf(r.out.substr(0, r.out.size() - tt_q.size())));
  EXPECT_TRUE(e2e::all_crlf(c.read("const_n.pas")));
}

TEST(Session, AnswersEchoedInFileMode) {
  Dir f;
  e2e::RunResult r = f.run("out\n40\n5\nn\n-123.4567\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + tt_q + angle_q + transfer_q + tt_q);
  std::string out = f.read("out");
  EXPECT_EQ(out.rfind(header(0xB2) + tt_q + "40.000\r\n   0.00   9.8 ", 0), 0u);
  EXPECT_EQ(count(out, "\r\n" + angle_q + " 5.000\r\n"), 1u);
  EXPECT_EQ(out.substr(out.size() - tt_q.size() - 12), "\r\n" + tt_q + "-123.457\r\n");
}

TEST(Session, TurnTimeBelowOneSecondRefused) {
  Dir f;
  e2e::RunResult r = f.run("out\n0\n0.5\n-0\n1\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + tt_q + tt_q + tt_q + tt_q + angle_q);
  std::vector<std::string> L = e2e::crlf_lines(f.read("out"));
  ASSERT_GT(L.size(), 12u);
  const std::string refusal = "Error! Turn time must be greater than one second.";
  EXPECT_EQ(L[4], tt_q + " 0.000");
  EXPECT_EQ(L[5], refusal);
  EXPECT_EQ(L[6], tt_q + " 0.500");
  EXPECT_EQ(L[7], refusal);
  EXPECT_EQ(L[8].rfind(tt_q, 0), 0u);  // minus zero: refused, not an end
  EXPECT_NE(L[8].find("0.000"), std::string::npos);
  EXPECT_EQ(L[9], refusal);
  EXPECT_EQ(L[10], tt_q + " 1.000");  // one second is flown
  EXPECT_EQ(L[11], "   0.00   9.8   283       0         0  90.00   0.00  90.00      0.0 2735709.6");
  EXPECT_NE(f.read("out").find("Booster seperation!"), std::string::npos);
}

TEST(Session, FileNameReplies) {
  for (const std::string& name : std::vector<std::string>{"I", " i", "out", std::string(255, 'n')}) {
    Dir d;
    e2e::RunResult r = d.run(name + "\n-1\n");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(d.read(name), header(0xB2) + tt_q + "-1.000\r\n") << name;
    EXPECT_FALSE(d.no_data_files());
  }
  // Iterate mode and an empty reply in CR LF: both write to the console.
  for (const std::string reply : {"i\n", "\r\n", "i\r\n"}) {
    Dir d;
    e2e::RunResult r = d.run(reply + "-1\n");
    EXPECT_EQ(r.out, file_q + header(0xFD) + tt_q);
    EXPECT_TRUE(d.no_data_files());
    EXPECT_FALSE(d.exists("i"));
  }
  // A name ending in CR LF names the file without the CR.
  Dir crlf;
  crlf.run("out\r\n-1\r\n");
  EXPECT_TRUE(crlf.exists("out"));
  for (const auto& e : std::filesystem::directory_iterator(crlf.dir()))
    EXPECT_EQ(e.path().filename().string().find('\r'), std::string::npos);
  // A longer name is cut to its first 255 characters.
  Dir longname;
  e2e::RunResult r = longname.run(std::string(255, 'a') + std::string(45, 'b') + "\n-1\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(longname.exists(std::string(255, 'a')));
}

// On the console every prompt starts on a line of its own: whatever the
// program wrote before asking is out first.
TEST(Session, ConsolePromptsFollowTheLinesBeforeThem) {
  Dir c(true);
  e2e::RunResult r = c.run("\n10\n5\ny\n-1\n");
  EXPECT_EQ(r.exit_code, 0);
  const std::string& o = r.out;
  EXPECT_EQ(o.rfind(file_q + header(0xFD) + tt_q + "   0.00   9.8   283 ", 0), 0u);
  EXPECT_EQ(count(o, tt_q), 2u);
  EXPECT_EQ(count(o, "\r\n" + tt_q), 2u);
  EXPECT_EQ(count(o, " kg.\r\n" + angle_q), 1u);  // right after the separation message
  EXPECT_LT(o.find("Booster seperation!"), o.find(angle_q));
  EXPECT_EQ(count(o, "\r\n" + transfer_q), 1u);
  EXPECT_LT(o.find("Recommended tt = "), o.find(transfer_q));
  EXPECT_EQ(o.substr(o.size() - tt_q.size() - 2), "\r\n" + tt_q);
}

TEST(Session, NumberFormsAccepted) {
  const std::pair<const char*, const char*> forms[] = {
      {"5", " 5.000"}, {"+5", " 5.000"},      {"5.", " 5.000"},
      {".5", " 0.500"}, {"5.e3", "5000.000"}, {"-1e-2", "-0.010"}};
  for (const auto& [typed, echo] : forms) {
    Dir d;
    e2e::RunResult r = d.run(std::string("out\n10\n") + typed + "\nn\n-1\n");
    EXPECT_EQ(r.exit_code, 0) << typed << ": " << r.err;
    EXPECT_EQ(count(d.read("out"), "\r\n" + angle_q + echo + "\r\n"), 1u) << typed;
  }
}

TEST(Session, NotANumberStopsWith106) {
  for (const char* typed : {"abc", "40abc", "1.2.3", "5e", "0x10", "nan", "inf", "1e999"}) {
    Dir d;
    e2e::RunResult r = d.run(std::string("out\n") + typed + "\n10\n-1\n");
    EXPECT_EQ(r.exit_code, 106) << typed;
    EXPECT_TRUE(one_line(r.err)) << typed << ": " << r.err;
    EXPECT_NE(r.err.find(typed), std::string::npos) << r.err;
    EXPECT_EQ(d.read("out"), header(0xB2)) << typed;  // nothing flown, nothing echoed
  }
}

TEST(Session, BlanksAndEmptyLinesBeforeANumberSkipped) {
  Dir d;
  e2e::RunResult r = d.run("out\n\n   \n \t 0.5  7 junk\n\n  -1\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(d.read("out"), header(0xB2) + tt_q + " 0.500\r\n" +
                               "Error! Turn time must be greater than one second.\r\n" + tt_q + "-1.000\r\n");
}

TEST(Session, CrLfAnswersGiveTheSameSession) {
  Dir lf(true), crlf(true);
  e2e::RunResult a = lf.run("out\n10\n5\ny\n-1\n");
  e2e::RunResult b = crlf.run("out\r\n10\r\n5\r\ny\r\n-1\r\n");
  EXPECT_EQ(a.exit_code, 0);
  EXPECT_EQ(b.exit_code, 0);
  EXPECT_EQ(a.out, b.out);
  for (const char* name : {"out", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"})
    EXPECT_TRUE(lf.read(name) == crlf.read(name)) << name;
  EXPECT_NE(lf.read("out").find("AJ10-190 ignition!"), std::string::npos);  // "y" read as y
}

TEST(Session, EndOfAnswers) {
  Dir none;  // at the file-name question: an empty reply
  e2e::RunResult r = none.run("");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + header(0xFD) + tt_q);

  Dir at_tt;  // at the turn time: closed and complete
  r = at_tt.run("out\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(at_tt.read("out"), header(0xB2));

  Dir at_angle;
  r = at_angle.run("out\n10\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + tt_q + angle_q);

  // At "Transfer to apogee? " the end reads as an empty line: the transfer is flown.
  Dir eof(true), empty(true);
  r = eof.run("out\n10\n5\n");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, file_q + tt_q + angle_q + transfer_q + tt_q);
  empty.run("out\n10\n5\n\n");
  EXPECT_NE(eof.read("out").find("AJ10-190 ignition!"), std::string::npos);
  EXPECT_TRUE(eof.read("out") == empty.read("out"));
  EXPECT_TRUE(eof.read("const_n.pas") == empty.read("const_n.pas"));
}

TEST(Session, OutputThatCannotBeCreated) {
  Dir missing;
  e2e::RunResult r = missing.run("nodir/out\n10\n-1\n");
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_TRUE(one_line(r.err)) << r.err;
  EXPECT_TRUE(missing.no_data_files());

  Dir folder;
  std::filesystem::create_directory(folder.dir() / "sub");
  r = folder.run("sub\n10\n-1\n");
  EXPECT_EQ(r.exit_code, 5);
  EXPECT_TRUE(one_line(r.err)) << r.err;
  EXPECT_TRUE(std::filesystem::is_directory(folder.dir() / "sub"));
}

// A reply naming a file the session reads or writes itself is refused before
// anything is created or emptied.
TEST(Session, OutputNamedLikeItsOwnFilesRefused) {
  for (const char* name :
       {"s1.dat", "./s1.dat", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"}) {
    SCOPED_TRACE(name);
    Dir d;
    const std::string profile = d.read("s1.dat");
    d.write("speed.dat", "old speeds\r\n");
    d.write("const_n.pas", "old constants\r\n");
    e2e::RunResult r = d.run(std::string(name) + "\n10\n5\n\n-1\n");
    EXPECT_EQ(r.exit_code, 5);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_EQ(d.read("s1.dat"), profile);
    EXPECT_EQ(d.read("speed.dat"), "old speeds\r\n");
    EXPECT_EQ(d.read("const_n.pas"), "old constants\r\n");
    for (const char* f : {"height.dat", "accel.dat", "dynpres.dat"}) EXPECT_FALSE(d.exists(f)) << f;
  }
  {
    SCOPED_TRACE("a NUL byte would end the name at s1.dat");
    Dir d;
    const std::string profile = d.read("s1.dat");
    static const char answers[] = "s1.dat\0x\n10\n5\n\n-1\n";
    e2e::RunResult r = d.run(std::string(answers, sizeof answers - 1));
    EXPECT_EQ(r.exit_code, 3);
    EXPECT_TRUE(one_line(r.err)) << r.err;
    EXPECT_EQ(d.read("s1.dat"), profile);
    EXPECT_FALSE(d.exists("speed.dat"));
  }
}

TEST(Session, FailedWritesStopWith101) {
  Dir named;
  e2e::RunResult r = named.run("/dev/full\n10\n5\n\n-1\n");
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 101);
  EXPECT_TRUE(one_line(r.err)) << r.err;

  for (const char* answers : {"\n10\n5\n\n-1\n", "out\n10\n5\n\n-1\n", ""}) {
    Dir d;
    r = d.run(answers, /*stdout_full=*/true);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_code, 101) << answers;
    EXPECT_TRUE(one_line(r.err)) << r.err;
  }
}

}  // namespace
