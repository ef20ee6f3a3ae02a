// The files a session must never lose or reach by mistake, and the input it
// reads in bounded pieces: const_n.pas replaced only when complete, output
// names that are the standard streams or links to the session's own files,
// closed standard descriptors, endless lines and the C white space.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "run_ascent.hpp"

namespace {

const char* const data_files[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};
const std::string flight_answers = "36\n18\ny\n-1\n";

struct Dir : e2e::Scratch {
  Dir() { write("s1.dat", bundled_profile()); }
  std::vector<std::string> names() const {
    std::vector<std::string> v;
    for (const auto& e : std::filesystem::directory_iterator(dir())) v.push_back(e.path().filename());
    std::sort(v.begin(), v.end());
    return v;
  }
};

void to_dev_null(int fd) {
  int n = open("/dev/null", O_WRONLY);
  if (n < 0 || dup2(n, fd) < 0) _exit(126);
}

TEST(SafeFiles, AFailedWriteOfTheConstantsLeavesTheOldFileWhole) {
  Dir d;
  const std::string old = "  SC_M     =   12345; {kg, the constants of a good flight}\r\n";
  d.write("const_n.pas", old);
  // Console mode to /dev/null, and no file may grow past 100 bytes: the new
  // constants (about 500 bytes) cannot be written.
  e2e::RunResult r = d.run_with({}, "\n" + flight_answers, [] {
    to_dev_null(1);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {100, 100};
    setrlimit(RLIMIT_FSIZE, &lim);
  });
  EXPECT_EQ(r.exit_code, 101) << r.err;
  EXPECT_NE(r.err.find("const_n.pas: write error"), std::string::npos) << r.err;
  EXPECT_EQ(d.read("const_n.pas"), old);
  EXPECT_EQ(d.names(), (std::vector<std::string>{"const_n.pas", "s1.dat"}));  // no stray file

  // Without the limit the flight replaces it.
  r = d.run_with({}, "\n" + flight_answers, [] { to_dev_null(1); });
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(d.read("const_n.pas"), old);
  EXPECT_NE(d.read("const_n.pas").find("  SC_M     =  "), std::string::npos);
  EXPECT_EQ(d.names(), (std::vector<std::string>{"const_n.pas", "s1.dat"}));
}

TEST(SafeFiles, RefusesTheFilesOfTheStandardStreamsAndLinksToItsOwnFiles) {
  {
    SCOPED_TRACE("ascent > log.txt, answered log.txt");
    Dir d;
    e2e::RunResult r = d.run_with({}, "log.txt\n" + flight_answers, [] {
      int fd = open("log.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0 || dup2(fd, 1) < 0) _exit(126);
    });
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_NE(r.err.find("log.txt: refused: it is the session's standard output"), std::string::npos)
        << r.err;
    // Only the prompt went there, through standard output.
    EXPECT_EQ(d.read("log.txt"), "Enter output filename (return = standard output, i = iterate): ");
    for (const char* f : data_files) EXPECT_FALSE(d.exists(f)) << f;
  }
  {
    SCOPED_TRACE("the answers' own file");
    Dir d;
    const std::string answers_file = d.io_base().string() + ".in";
    e2e::RunResult r = d.run(answers_file + "\n" + flight_answers);
    EXPECT_EQ(r.exit_code, 5) << r.err;
    EXPECT_NE(r.err.find("refused: it is the session's standard input"), std::string::npos) << r.err;
  }
  // Links, dangling or not, to the profile, a data file or the constants.
  const std::vector<std::pair<std::string, std::string>> links = {
      {"s1.dat", "s1.dat"},     {"speed.dat", "speed.dat"}, {"const_n.pas", "const_n.pas"},
      {"./dynpres.dat", "dynpres.dat"}, {"hop2", "s1.dat"}};
  for (const auto& [target, clash] : links) {
    SCOPED_TRACE(target);
    Dir d;
    std::filesystem::create_symlink("hop2", d.dir() / "hop1");
    if (target != "hop2") std::filesystem::create_symlink(target, d.dir() / "hop2");
    if (target == "hop2") std::filesystem::create_symlink("s1.dat", d.dir() / "hop2");
    std::filesystem::create_symlink(target, d.dir() / "out.txt");
    for (const char* name : {"out.txt", "hop1"}) {
      e2e::RunResult r = d.run(std::string(name) + "\n" + flight_answers);
      EXPECT_EQ(r.exit_code, 5) << name << ": " << r.err;
      EXPECT_NE(r.err.find("refused: the output would overwrite " + clash), std::string::npos)
          << name << ": " << r.err;
      EXPECT_EQ(d.read("s1.dat"), bundled_profile());
      for (const char* f : data_files) EXPECT_FALSE(d.exists(f)) << f;
      EXPECT_FALSE(d.exists("const_n.pas"));
    }
  }
}

TEST(SafeFiles, AClosedStandardErrorNeverBecomesAnOutputFile) {
  Dir d;
  // fd 2 closed: out.txt would get it, and the error message with it.
  e2e::RunResult r = d.run_with({}, "out.txt\nabc\n", [] { close(2); });
  EXPECT_EQ(r.exit_code, 106);
  std::string out = d.read("out.txt");
  EXPECT_EQ(out.find("ascent:"), std::string::npos) << out;
  EXPECT_EQ(out.find("not a number"), std::string::npos) << out;
  // A closed standard input reads as an empty one: the session ends at once.
  r = d.run_with({}, "", [] { close(0); });
  EXPECT_EQ(r.exit_code, 0) << r.err;
}

TEST(BoundedInput, LinesLongerThan4096BytesAreRefusedWithTheirLineNumber) {
  Dir d;
  // 4096 bytes before the line end are an answer; one more is not.
  std::string fits = std::string(4094, ' ') + "36";
  e2e::RunResult r = d.run("\n" + fits + "\r\n18\ny\n-1\n");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find(" in Orbit! Remaining propellant = 4600 kg."), std::string::npos);
  r = d.run("\n" + std::string(4095, ' ') + "36\n18\ny\n-1\n");
  EXPECT_EQ(r.exit_code, 106);
  EXPECT_EQ(r.err, "ascent: standard input: line 2: longer than 4096 bytes\r\n");
  // An endless line: refused after a few KiB, not read into memory whole.
  r = d.run("out.txt\n" + std::string(20u << 20, '7'));
  EXPECT_EQ(r.exit_code, 106);
  EXPECT_EQ(r.err, "ascent: standard input: line 2: longer than 4096 bytes\r\n");
  // The same in the profile.
  std::string profile = bundled_profile();
  std::size_t third = profile.find('\n', profile.find('\n') + 1) + 1;
  d.write("s1.dat", profile.substr(0, third) + std::string(5000, ' ') + profile.substr(third));
  r = d.run("\n" + flight_answers);
  EXPECT_EQ(r.exit_code, 106);
  EXPECT_EQ(r.err, "ascent: s1.dat: line 3: longer than 4096 bytes\r\n");
}

TEST(BoundedInput, BlanksAreTheCWhiteSpaceInAnswersAndProfile) {
  Dir plain;
  e2e::RunResult a = plain.run("out.txt\n" + flight_answers);
  ASSERT_EQ(a.exit_code, 0) << a.err;

  Dir spaced;
  // CR CR LF, vertical tab, form feed and tab around the numbers.
  std::string profile = bundled_profile(), odd;
  for (char c : profile) {
    if (c == ' ') odd += "\t\v\f ";
    else if (c == '\n') odd += "\r\r\n";
    else odd += c;
  }
  spaced.write("s1.dat", odd);
  e2e::RunResult b = spaced.run("out.txt\n\v36\r\r\n\f18\t\r\ny\n-1\n");
  ASSERT_EQ(b.exit_code, 0) << b.err;
  EXPECT_EQ(b.out, a.out);
  for (const char* f : {"out.txt", "speed.dat", "height.dat", "accel.dat", "dynpres.dat", "const_n.pas"})
    EXPECT_EQ(spaced.read(f), plain.read(f)) << f;
}

}  // namespace

namespace {

// A finished file takes the place of the old one by a rename only where the
// old one is a plain file: a link (or a device such as /dev/null, a pipe) is
// written through, or the rename would put a plain file where it was.
TEST(SafeFiles, LinkedOutputsAreWrittenThroughNotReplaced) {
  Dir d;
  namespace fs = std::filesystem;
  d.write("kept.pas", "old\r\n");
  fs::create_symlink("kept.pas", d.dir() / "const_n.pas");
  e2e::RunResult r = d.run("\n" + flight_answers);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(d.dir() / "const_n.pas"));
  EXPECT_NE(d.read("kept.pas").find("  SC_M     =  "), std::string::npos);

  d.write("kept.csv", "old\r\n");
  fs::create_symlink("kept.csv", d.dir() / "trade.csv");
  r = e2e::run_program(ASCENT_SWEEP_BINARY, {"--tt", "36", "--alpha", "18", "-o", "trade.csv"}, d.dir(),
                       d.io_base(), "");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(d.dir() / "trade.csv"));
  EXPECT_EQ(d.read("kept.csv").rfind("tt,alpha,", 0), 0u);
  EXPECT_FALSE(d.exists("trade.csv.partial"));
}

}  // namespace

namespace {

// The outputs named on the command line (--json, --trajectory) and the one
// answered are refused (5) when they are an input, a standard stream's file
// or a file the session writes anyway, through links too; two of them that
// are one file are a bad command line (64). Nothing is emptied or created.
TEST(SafeFiles, RefusesOutputsThatAreInputsOrEachOther) {
  namespace fs = std::filesystem;
  const std::string vehicle = read_file(std::string(ASCENT_SOURCE_DIR) + "/vehicles/orvalon5.toml");
  struct Case {
    std::vector<std::string> args;
    std::string first_answer;
    std::vector<std::pair<std::string, std::string>> links;  // name, target
    int code;
    std::string message;
  };
  const std::string answers_file = "../std.in";  // where Scratch keeps standard input
  const Case cases[] = {
      {{"--json", "s1.dat"}, "", {}, 5, "--json s1.dat: refused: it would overwrite the booster profile s1.dat"},
      {{"--trajectory", "pl.oem"}, "", {{"pl.oem", "s1.dat"}}, 5, "--trajectory pl.oem: refused: it would overwrite the booster profile s1.dat"},
      {{"--trajectory", "pl.oem"}, "", {{"pl.oem", "hop"}, {"hop", "./s1.dat"}}, 5, "it would overwrite the booster profile"},
      {{"--vehicle", "v.toml", "--json", "v.toml"}, "", {}, 5, "--json v.toml: refused: it would overwrite the vehicle description v.toml"},
      {{"--vehicle", "v.toml", "--trajectory", "v.kml"}, "", {{"v.kml", "v.toml"}}, 5, "it would overwrite the vehicle description"},
      {{"--vehicle", "v.toml"}, "v.toml", {}, 5, "v.toml: refused: the output would overwrite v.toml"},
      {{"--vehicle", "v.toml"}, "out.txt", {{"out.txt", "v.toml"}}, 5, "refused: the output would overwrite v.toml"},
      {{"--json", answers_file}, "", {}, 5, "--json ../std.in: refused: it is the session's standard input"},
      {{"--trajectory", "a.czml"}, "", {{"a.czml", answers_file}}, 5, "--trajectory a.czml: refused: it is the session's standard input"},
      {{"--json", "const_n.pas"}, "", {}, 5, "--json const_n.pas: refused: it would overwrite const_n.pas"},
      {{"--utf8"}, "", {{"const_n.pas", answers_file}}, 5,
       "const_n.pas (which every flight writes): refused: it is the session's standard input"},
      {{"--json", "a.json"}, "a.json", {}, 5, "a.json: refused: the output would overwrite a.json"},
      {{"--json", "speed.dat"}, "out.txt", {}, 5, "speed.dat: refused: the data file would overwrite speed.dat"},
      {{"--json", "j.json", "--trajectory", "t.oem"}, "", {{"j.json", "old"}, {"t.oem", "old"}}, 64,
       "--trajectory t.oem: the same file as --json"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back() + " answered '" + c.first_answer + "'");
    Dir d;
    d.write("v.toml", vehicle);
    d.write("old", "old\n");
    for (const auto& [name, target] : c.links) fs::create_symlink(target, d.dir() / name);
    const std::vector<std::string> before = d.names();
    e2e::RunResult r = d.run_with(c.args, c.first_answer + "\n" + flight_answers);
    EXPECT_EQ(r.exit_code, c.code) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_TRUE(d.read("s1.dat") == bundled_profile());
    EXPECT_TRUE(d.read("v.toml") == vehicle);
    EXPECT_EQ(d.read("old"), "old\n");
    EXPECT_EQ(d.names(), before);  // nothing created, nothing removed
  }
}

// --json and --trajectory replace their files only when the session has
// written every output: through a link the file it points to is replaced
// and the link stays; a session that fails leaves the old files whole.
TEST(SafeFiles, ExportsReplaceTheirFilesOnlyAfterASessionThatSucceeded) {
  namespace fs = std::filesystem;
  Dir d;
  d.write("old.json", "old json\n");
  d.write("old.czml", "old czml\n");
  fs::create_symlink("old.json", d.dir() / "a.json");
  fs::create_symlink("old.czml", d.dir() / "a.czml");
  const std::vector<std::string> args = {"--json", "a.json", "--trajectory", "a.czml"};
  // No file may grow past 20 KB: the JSON (some 4 KB) could be written, the
  // CZML (some 160 KB) cannot.
  e2e::RunResult r = d.run_with(args, "\n" + flight_answers, [] {
    to_dev_null(1);
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit lim = {20000, 20000};
    setrlimit(RLIMIT_FSIZE, &lim);
  });
  EXPECT_EQ(r.exit_code, 101) << r.err;
  EXPECT_NE(r.err.find("a.czml: write error"), std::string::npos) << r.err;
  EXPECT_EQ(d.read("old.json"), "old json\n");
  EXPECT_EQ(d.read("old.czml"), "old czml\n");
  const std::vector<std::string> kept = {"a.czml", "a.json", "const_n.pas", "old.czml", "old.json", "s1.dat"};
  EXPECT_EQ(d.names(), kept);  // no stray file

  r = d.run_with(args, "\n" + flight_answers, [] { to_dev_null(1); });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(d.dir() / "a.json"));
  EXPECT_TRUE(fs::is_symlink(d.dir() / "a.czml"));
  EXPECT_EQ(d.read("old.json").rfind("{\"vehicle\":\"Orvalon 5\"", 0), 0u);
  EXPECT_EQ(d.read("old.czml").rfind("[{\"id\":\"document\"", 0), 0u);
  EXPECT_EQ(d.names(), kept);

  // A dangling link: the file it names is created.
  fs::create_symlink("new.json", d.dir() / "b.json");
  r = d.run_with({"--json", "b.json"}, "\n" + flight_answers, [] { to_dev_null(1); });
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_TRUE(fs::is_symlink(d.dir() / "b.json"));
  EXPECT_EQ(d.read("new.json").rfind("{\"vehicle\":", 0), 0u);
}

}  // namespace
