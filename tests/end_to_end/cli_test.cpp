// The command-line conventions every tool shares: --help, --version, one
// exit code and one message style for a bad command line; a typo at a
// terminal; the message for a missing profile; and --utf8.
#include <gtest/gtest.h>

#include <regex>

#include "run_ascent.hpp"

namespace {

const char* const data_files[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};

std::string source_file(const std::string& rel) {
  std::ifstream f(std::string(ASCENT_SOURCE_DIR) + "/" + rel, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

// The version as the build file states it.
std::string project_version() {
  std::smatch m;
  std::string cm = source_file("CMakeLists.txt");
  if (!std::regex_search(cm, m, std::regex(R"(project\(ascent VERSION ([0-9.]+))"))) return "?";
  return m[1];
}

struct Dir : e2e::Scratch {
  Dir() { write("s1.dat", source_file("data/s1.dat")); }
  e2e::RunResult tool(const char* program, const std::vector<std::string>& args,
                      const std::string& input = "") const {
    return e2e::run_program(program, args, dir(), io_base(), input);
  }
};

TEST(CommandLine, EveryToolAnswersHelpAndVersionAndRefusesABadOptionWith64) {
  const std::pair<const char*, std::string> tools[] = {{ASCENT_BINARY, "ascent"},
                                                       {ASCENT_SWEEP_BINARY, "ascent-sweep"},
                                                       {ASCENT_MC_BINARY, "ascent-mc"}};
  for (const auto& [program, name] : tools) {
    SCOPED_TRACE(name);
    Dir d;
    e2e::RunResult r = d.tool(program, {"--version"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, name + " " + project_version() + "\r\n");
    r = d.tool(program, {"--help"});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("Usage: " + name, 0), 0u) << r.out;
    EXPECT_TRUE(e2e::all_crlf(r.out));
    EXPECT_NE(r.out.find("64"), std::string::npos);  // the help names the usage-error code
    r = d.tool(program, {"--no-such-option"});
    EXPECT_EQ(r.exit_code, 64);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, name + ": unknown option '--no-such-option' (try --help)\r\n");
    // Nothing flown, nothing written.
    for (const char* f : data_files) EXPECT_FALSE(d.exists(f));
    EXPECT_FALSE(d.exists("const_n.pas"));
  }
  Dir d;
  e2e::RunResult r = d.tool(ASCENT_SWEEP_BINARY, {"--tt", "40:30:1"});
  EXPECT_EQ(r.exit_code, 64);
  EXPECT_EQ(r.err.rfind("ascent-sweep: --tt: ", 0), 0u) << r.err;
  r = d.tool(ASCENT_SWEEP_BINARY, {"--jobs", "0"});
  EXPECT_EQ(r.exit_code, 64);
}

// The study tools read --help and --version among their other options too:
// the same answer as either alone, the usage text when both are given.
TEST(CommandLine, StudyToolsAnswerHelpAndVersionAmongOtherOptions) {
  const std::pair<const char*, std::string> tools[] = {{ASCENT_SWEEP_BINARY, "ascent-sweep"},
                                                       {ASCENT_OPTIMIZE_BINARY, "ascent-optimize"},
                                                       {ASCENT_MC_BINARY, "ascent-mc"}};
  for (const auto& [program, name] : tools) {
    SCOPED_TRACE(name);
    Dir d;
    const std::string usage = d.tool(program, {"--help"}).out;
    ASSERT_EQ(usage.rfind("Usage: " + name, 0), 0u) << usage;
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--jobs", "2", "--help"}, usage},
        {{"--jobs", "2", "--version"}, name + " " + project_version() + "\r\n"},
        {{"--version", "--jobs", "2", "--help"}, usage}};
    for (const auto& [args, out] : cases) {
      const e2e::RunResult r = d.tool(program, args);
      EXPECT_EQ(r.exit_code, 0) << args.back();
      EXPECT_EQ(r.out, out) << args.back();
    }
  }
}

TEST(CommandLine, MakeProfileParsesItsArguments) {
  if (std::system("python3 -c 1 >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  Dir d;
  const std::string script = std::string(ASCENT_SOURCE_DIR) + "/tools/make_profile.py";
  e2e::RunResult r = e2e::run_program("/usr/bin/env", {"python3", script, "--help"}, d.dir(),
                                      d.io_base(), "");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("usage: make_profile.py"), std::string::npos) << r.out;
  EXPECT_FALSE(d.exists("--help"));
  r = e2e::run_program("/usr/bin/env", {"python3", script, "--version"}, d.dir(), d.io_base(), "");
  EXPECT_EQ(r.out, "make_profile.py " + project_version() + "\n");
  r = e2e::run_program("/usr/bin/env", {"python3", script, "--bogus"}, d.dir(), d.io_base(), "");
  EXPECT_EQ(r.exit_code, 64);
  EXPECT_FALSE(d.exists("--bogus"));
  // Its profile is the bundled one.
  r = e2e::run_program("/usr/bin/env", {"python3", script, "new.dat"}, d.dir(), d.io_base(), "");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(d.read("new.dat"), source_file("data/s1.dat"));
}

TEST(CommandLine, ATypoAtATerminalIsAskedAgainAndFromAPipeItStops) {
  Dir tty, pipe;
  const std::string answers = "out.txt\n3x6\n36\n18\ny\n-1\n";
  e2e::RunResult r = e2e::run_on_terminal(ASCENT_BINARY, {}, tty.dir(), tty.io_base(), answers);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("Turn time (s)? Not a number: '3x6'. Type a number.\r\nTurn time (s)? "),
            std::string::npos)
      << r.out;
  // The session then flew 36 s as if typed first.
  Dir clean;
  ASSERT_EQ(clean.run("out.txt\n36\n18\ny\n-1\n").exit_code, 0);
  EXPECT_EQ(tty.read("out.txt"), clean.read("out.txt"));
  r = pipe.run(answers);
  EXPECT_EQ(r.exit_code, 106);
  EXPECT_EQ(r.err, "ascent: standard input: line 2: not a number: '3x6'\r\n");
}

TEST(CommandLine, AMissingProfileNamesTheFolderAndTheBundledOne) {
  e2e::Scratch d;
  e2e::RunResult r = d.run("\n36\n18\ny\n-1\n");
  EXPECT_EQ(r.exit_code, 2);
  std::string folder = std::filesystem::canonical(d.dir()).string();
  EXPECT_NE(r.err.find("s1.dat: file not found in " + folder + "; "), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("share/ascent/s1.dat"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("data/s1.dat in the source tree"), std::string::npos) << r.err;
}

// The bytes of a plain session's output as --utf8 must write them: the signs
// of the given code page as UTF-8, CR LF as LF.
std::string as_utf8(const std::string& text, bool console) {
  std::string u;
  for (std::size_t i = 0; i < text.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(text[i]);
    if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    if (console && c == 0xF8) u += "\xC2\xB0";        // degree, code page 437
    else if (console && c == 0xF1) u += "\xC2\xB1";   // plus-minus
    else if (console && c == 0xFD) u += "\xC2\xB2";   // superscript two
    else if (!console && c == 0xB0) u += "\xC2\xB0";  // the same in ISO 8859-1
    else if (!console && c == 0xB1) u += "\xC2\xB1";
    else if (!console && c == 0xB2) u += "\xC2\xB2";
    else u += static_cast<char>(c);
  }
  return u;
}

TEST(CommandLine, Utf8WritesTheSignsInUtf8AndEndsLinesWithLf) {
  for (bool console : {true, false}) {
    SCOPED_TRACE(console ? "console" : "file mode");
    const std::string answers = std::string(console ? "" : "out.txt") + "\n36\n18\ny\n-1\n";
    Dir plain, utf8;
    e2e::RunResult a = plain.run(answers);
    e2e::RunResult b = utf8.run_with({"--utf8"}, answers);
    ASSERT_EQ(a.exit_code, 0);
    ASSERT_EQ(b.exit_code, 0) << b.err;
    EXPECT_EQ(b.out, as_utf8(a.out, true));
    EXPECT_EQ(b.out.find('\r'), std::string::npos);
    if (console) {
      EXPECT_NE(b.out.find("m/s\xC2\xB2"), std::string::npos);
    }
    EXPECT_EQ(utf8.read("const_n.pas"), as_utf8(plain.read("const_n.pas"), false));
    if (!console) {
      EXPECT_EQ(utf8.read("out.txt"), as_utf8(plain.read("out.txt"), false));
      EXPECT_NE(utf8.read("out.txt").find("\xC2\xB0\n"), std::string::npos);
      for (const char* f : data_files) EXPECT_EQ(utf8.read(f), as_utf8(plain.read(f), false)) << f;
    }
  }
}

}  // namespace
