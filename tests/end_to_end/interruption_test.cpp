// Interruptions of the real programs: a signal at a question or in the middle
// of a flight, a sweep stopped halfway, and the faults of its threads and
// its output pipe. Nothing already flown may be lost.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "run_ascent.hpp"

namespace {

const char* const data_files[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};
const std::string flight = "36\n18\ny\n";

struct Dir : e2e::Scratch {
  Dir() { write("s1.dat", bundled_profile()); }
};

std::string repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

// The reference: the same flights in a session that ends normally, in a
// directory of its own.
struct Reference : Dir {
  explicit Reference(int flights) {
    e2e::RunResult r = run("out.txt\n" + repeat(flight, flights) + "-1\n");
    EXPECT_EQ(r.exit_code, 0) << r.err;
  }
};

// `done` is `ref` (what a session that ends after those flights writes),
// possibly followed by more.
void expect_starts_with(const std::string& done, const std::string& ref, const char* what) {
  ASSERT_GE(done.size(), ref.size()) << what;
  EXPECT_TRUE(done.compare(0, ref.size(), ref) == 0) << what;
}

TEST(Interruption, ASignalAtAQuestionKeepsEveryFinishedFlightInEveryFile) {
  const int signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int sig : signals) {
    SCOPED_TRACE(sig);
    Reference ref(2);
    Dir d;
    // Two flights, then the session waits for the third turn time.
    e2e::Child c = d.start("out.txt\n" + repeat(flight, 2));
    ASSERT_TRUE(e2e::wait_for_text(d.io_base().string() + ".out", "Turn time (s)? ", 3));
    kill(c.pid, sig);
    e2e::RunResult r = e2e::wait_program(c);
    EXPECT_FALSE(r.signaled);
    EXPECT_EQ(r.exit_code, 128 + sig);
    EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
    EXPECT_NE(r.err.find("ascent: stopped by SIG"), std::string::npos) << r.err;
    // The data files and the constants file are exactly those of the session
    // that ended there; the main output lacks only the final "-1" echo.
    for (const char* f : data_files) EXPECT_EQ(d.read(f), ref.read(f)) << f;
    EXPECT_EQ(d.read("const_n.pas"), ref.read("const_n.pas"));
    std::string ref_out = ref.read("out.txt");
    ref_out.erase(ref_out.rfind("Turn time (s)? -1.000\r\n"));
    EXPECT_EQ(d.read("out.txt"), ref_out);
  }
}

TEST(Interruption, ASignalMidFlightKeepsTheFlightsBeforeIt) {
  // Far more flights queued than fly before the signal comes (each takes
  // milliseconds; sixty once all flew before a loaded machine delivered it):
  // it comes while one of them is flying.
  constexpr int queued = 1000;
  Dir d;
  e2e::Child c = d.start("out.txt\n" + repeat(flight, queued) + "-1\n");
  ASSERT_TRUE(e2e::wait_for_text(d.dir() / "out.txt", "  SC_M    = ", 2));
  kill(c.pid, SIGTERM);
  e2e::RunResult r = e2e::wait_program(c);
  ASSERT_EQ(r.exit_code, 128 + SIGTERM) << r.err;
  EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
  const std::string out = d.read("out.txt");
  const int finished = static_cast<int>(count(out, "  SC_M    = "));
  ASSERT_GE(finished, 2);
  ASSERT_LT(finished, queued);
  // Every file begins with what a session of exactly those flights writes.
  Reference ref(finished);
  for (const char* f : data_files) expect_starts_with(d.read(f), ref.read(f), f);
  std::string ref_out = ref.read("out.txt");
  ref_out.erase(ref_out.rfind("Turn time (s)? -1.000\r\n"));
  expect_starts_with(out, ref_out, "out.txt");
}

TEST(Interruption, ASignalEndsAWriteThatAStalledReaderBlocks) {
  // Console mode into a pipe that nobody reads: the table fills it and the
  // program waits in a write when the signal comes.
  Dir d;
  e2e::Child c = e2e::start_program(ASCENT_BINARY, {}, d.dir(), d.io_base(),
                                    "\n" + repeat(flight, 50) + "-1\n", false, false, [] {
                                      int p[2];
                                      if (pipe(p) != 0 || dup2(p[1], 1) < 0) _exit(126);
                                    });
  // The handler first (a loaded machine may start the program late), then
  // time for the table to fill the pipe.
  ASSERT_TRUE(e2e::wait_for_handler(c.pid, SIGINT));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  kill(c.pid, SIGINT);
  e2e::RunResult r = e2e::wait_program(c, 10);
  EXPECT_FALSE(r.timed_out);
  EXPECT_EQ(r.exit_code, 128 + SIGINT) << r.err;
  EXPECT_EQ(count(r.err, "\n"), 1u) << r.err;
}

// ---------------------------------------------------------------------------
// ascent-sweep

e2e::RunResult sweep(const Dir& d, const std::vector<std::string>& args,
                     const std::function<void()>& setup = {}) {
  return e2e::run_program(ASCENT_SWEEP_BINARY, args, d.dir(), d.io_base(), "", false, 60, setup);
}

std::vector<std::string> rows_of(const std::string& csv) {
  std::vector<std::string> v = e2e::crlf_lines(csv);
  return v;
}

TEST(SweepInterruption, KeepsTheRowsFlownInThePartialFileAndThePreviousCsv) {
  Dir d;
  d.write("grid.csv", "the previous sweep\r\n");
  // A link planted where the rows of a stopped sweep are kept is replaced,
  // never followed.
  d.write("victim", "not to be touched\r\n");
  std::filesystem::create_symlink("victim", d.dir() / "grid.csv.partial");
  const std::vector<std::string> args = {"--tt", "20:60:0.1", "--alpha", "10:40:0.5", "-j", "2",
                                         "-o", "grid.csv"};
  e2e::Child c = e2e::start_program(ASCENT_SWEEP_BINARY, args, d.dir(), d.io_base(), "");
  // A few rows on disk, then the signal.
  // The rows go to a file of the run's own while it flies.
  const std::string own = "grid.csv.tmp" + std::to_string(c.pid) + "-0";
  ASSERT_TRUE(e2e::wait_for_text(d.dir() / own, ",ok\r\n", 5, 60));
  kill(c.pid, SIGINT);
  e2e::RunResult r = e2e::wait_program(c, 60);
  EXPECT_EQ(r.exit_code, 128 + SIGINT) << r.err;
  EXPECT_NE(r.err.find("grid.csv.partial"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("grid.csv is untouched"), std::string::npos) << r.err;
  EXPECT_EQ(d.read("grid.csv"), "the previous sweep\r\n");
  EXPECT_FALSE(std::filesystem::exists(d.dir() / own));
  EXPECT_EQ(d.read("victim"), "not to be touched\r\n");
  EXPECT_FALSE(std::filesystem::is_symlink(d.dir() / "grid.csv.partial"));

  // The rows kept are the first rows of the grid, whole and in grid order:
  // the same bytes as a complete sweep of those first points.
  std::vector<std::string> kept = rows_of(d.read("grid.csv.partial"));
  ASSERT_GE(kept.size(), 6u);
  ASSERT_LT(kept.size(), 401u * 61u + 1u);
  std::size_t n = kept.size() - 1;     // rows after the header
  std::size_t tt_values = n / 61 + 1;  // turn times they reach into (61 angles each)
  char last[32];
  std::snprintf(last, sizeof last, "%.1f", 20 + 0.1 * static_cast<double>(tt_values - 1));
  Dir ref;
  e2e::RunResult rr = sweep(ref, {"--tt", std::string("20:") + last + ":0.1", "--alpha", "10:40:0.5",
                                  "-j", "1", "-o", "ref.csv"});
  ASSERT_EQ(rr.exit_code, 0) << rr.err;
  std::vector<std::string> whole = rows_of(ref.read("ref.csv"));
  ASSERT_GE(whole.size(), kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) EXPECT_EQ(kept[i], whole[i]) << "row " << i;

  // The next sweep that completes replaces the CSV and removes the rows of
  // the stopped one: they are not its rows, and never stay beside them.
  rr = sweep(d, {"--tt", "36", "--alpha", "18", "-o", "grid.csv"});
  ASSERT_EQ(rr.exit_code, 0) << rr.err;
  EXPECT_EQ(rr.err, "ascent-sweep: removed grid.csv.partial, the rows of an earlier sweep that was stopped\r\n");
  EXPECT_EQ(rows_of(d.read("grid.csv")).size(), 2u);
  EXPECT_FALSE(d.exists("grid.csv.partial"));
}

// A staged key grid stopped keeps its first points alike: whole rows in grid
// order, the bytes of a complete sweep of just those points.
TEST(SweepInterruption, AStoppedKeyGridKeepsItsFirstPointsWhole) {
  Dir d;
  d.write("v.toml", read_file(std::string(ASCENT_SOURCE_DIR) + "/vehicles/corvane_leo.toml"));
  const std::vector<std::string> args = {"--vehicle", "v.toml", "--vary", "payload.mass=1000:30000:1",
                                         "-j", "2", "-o", "grid.csv"};
  e2e::Child c = e2e::start_program(ASCENT_SWEEP_BINARY, args, d.dir(), d.io_base(), "");
  ASSERT_TRUE(e2e::wait_for_text(d.dir() / ("grid.csv.tmp" + std::to_string(c.pid) + "-0"), ",ok\r\n", 5, 60));
  kill(c.pid, SIGTERM);
  EXPECT_EQ(e2e::wait_program(c, 60).exit_code, 128 + SIGTERM);
  const std::vector<std::string> kept = rows_of(d.read("grid.csv.partial"));
  ASSERT_GE(kept.size(), 6u);
  ASSERT_LT(kept.size(), 29002u);
  // The header, then payloads of 1000 kg, 1001 kg and so on.
  const std::string last = std::to_string(1000 + kept.size() - 2);
  e2e::RunResult r = sweep(d, {"--vehicle", "v.toml", "--vary", "payload.mass=1000:" + last + ":1", "-o", "ref.csv"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(rows_of(d.read("ref.csv")), kept);
}

// Two sweeps writing one name at once: each writes a file of its own, and
// the CSV left is one whole sweep, the same bytes as a sweep flown alone.
TEST(SweepInterruption, TwoSweepsWritingOneNameNeverMixTheirRows) {
  Dir d;
  const std::vector<std::string> args = {"--tt", "20:60:1", "--alpha", "10:20:1", "-j", "1", "-o", "grid.csv"};
  e2e::Child a = e2e::start_program(ASCENT_SWEEP_BINARY, args, d.dir(), d.io_base(), "");
  e2e::Child b = e2e::start_program(ASCENT_SWEEP_BINARY, args, d.dir(), d.io_base().string() + "b", "");
  EXPECT_EQ(e2e::wait_program(a, 60).exit_code, 0);
  EXPECT_EQ(e2e::wait_program(b, 60).exit_code, 0);
  Dir ref;
  ASSERT_EQ(sweep(ref, {"--tt", "20:60:1", "--alpha", "10:20:1", "-o", "ref.csv"}).exit_code, 0);
  EXPECT_EQ(d.read("grid.csv"), ref.read("ref.csv"));
}

// ascent-mc stopped by each signal: the old CSV, summary and sensitivities
// stay whole (the new sensitivities were flown before the runs), the runs
// flown are kept in FILE.partial, and one line says so.
TEST(McInterruption, KeepsTheOldStudyAndTheRunsFlown) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    Dir d;
    d.write("runs.csv", "the previous study\r\n");
    d.write("s.json", "{}\n");
    d.write("sens.csv", "the previous sensitivities\r\n");
    e2e::Child c = e2e::start_program(ASCENT_MC_BINARY,
                                      {"--runs", "1000000", "-j", "2", "-o", "runs.csv", "--json", "s.json",
                                       "--sensitivity", "sens.csv"},
                                      d.dir(), d.io_base(), "");
    // The sensitivities are the first output opened, the CSV the second.
    ASSERT_TRUE(e2e::wait_for_text(d.dir() / ("runs.csv.tmp" + std::to_string(c.pid) + "-1"), ",ok\r\n", 5, 60));
    kill(c.pid, sig);
    e2e::RunResult r = e2e::wait_program(c, 60);
    EXPECT_EQ(r.exit_code, 128 + sig) << r.err;
    EXPECT_EQ(count(r.err, "\n"), 2u) << r.err;  // the note on no dispersions, and the stop
    EXPECT_NE(r.err.find("runs.csv.partial; runs.csv is untouched"), std::string::npos) << r.err;
    EXPECT_EQ(d.read("runs.csv"), "the previous study\r\n");
    EXPECT_EQ(d.read("s.json"), "{}\n");
    EXPECT_EQ(d.read("sens.csv"), "the previous sensitivities\r\n");
    EXPECT_NE(r.err.find("sens.csv is untouched"), std::string::npos) << r.err;
    // The rows kept are whole, in run order from run 1.
    std::vector<std::string> kept = e2e::crlf_lines(d.read("runs.csv.partial"));
    ASSERT_FALSE(kept.empty());
    EXPECT_EQ(kept[0].rfind("# ascent-mc study: ", 0), 0u);  // the line that defines the study
    kept.erase(kept.begin());
    ASSERT_GE(kept.size(), 6u);
    for (std::size_t i = 1; i < kept.size(); ++i) {
      EXPECT_EQ(kept[i].rfind(std::to_string(i) + ",yes,", 0), 0u) << kept[i];
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.dir()), std::filesystem::directory_iterator()), 5)
        << "s1.dat, runs.csv, s.json, sens.csv, runs.csv.partial and nothing else";
    if (sig != SIGINT) continue;
    // The next study that completes replaces the CSV and removes the rows of
    // the stopped one: they are not its runs, and never stay beside them.
    r = e2e::run_program(ASCENT_MC_BINARY, {"--runs", "3", "-o", "runs.csv"}, d.dir(), d.io_base(), "", false, 60);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.err.find("ascent-mc: removed runs.csv.partial, the rows of an earlier study that was stopped\r\n"),
              std::string::npos)
        << r.err;
    EXPECT_FALSE(d.exists("runs.csv.partial"));
    EXPECT_EQ(e2e::crlf_lines(d.read("runs.csv")).size(), 2u + 3u);  // the study's line, the header, 3 runs
  }
}

// A signal while the promise is searched: the study's outputs are one set,
// all of this study: its runs, its sensitivities and its summary, written
// without the promise (a count cut short is no promise) and saying it
// stopped, naming the study of the runs beside it; one line says so.
TEST(McInterruption, ThePromiseStoppedLeavesTheStudysOwnSummary) {
  Dir d;
  d.write("s.json", "{}\n");
  d.write("sens.csv", "the previous sensitivities\r\n");
  e2e::Child c = e2e::start_program(ASCENT_MC_BINARY,
                                    {"--runs", "300", "-j", "2", "--promise", "0.9", "-o", "runs.csv", "--json",
                                     "s.json", "--sensitivity", "sens.csv"},
                                    d.dir(), d.io_base(), "");
  // The CSV replaces its name only once the study is whole; the search follows.
  ASSERT_TRUE(e2e::wait_for_text(d.dir() / "runs.csv", "\r\n300,", 1, 60));
  kill(c.pid, SIGTERM);
  e2e::RunResult r = e2e::wait_program(c, 60);
  EXPECT_EQ(r.exit_code, 128 + SIGTERM) << r.err;
  EXPECT_NE(r.err.find("while searching the promise: the runs are complete in runs.csv, the summary in s.json is "
                       "without the promise"),
            std::string::npos)
      << r.err;
  const std::vector<std::string> runs = e2e::crlf_lines(d.read("runs.csv"));
  EXPECT_EQ(runs.size(), 302u);  // the study's line, the header, 300 runs
  EXPECT_EQ(d.read("sens.csv").rfind("key,low,high,", 0), 0u) << "this study's sensitivities";
  const std::string json = d.read("s.json");
  EXPECT_NE(json.find("\"runs\": 300,"), std::string::npos) << json;
  EXPECT_NE(json.find("\"promise_stopped_by\": \"SIGTERM\""), std::string::npos) << json;
  EXPECT_EQ(json.find("promise_probability"), std::string::npos) << json;
  // The JSON names the study on the first line of the runs beside it.
  const std::string seed = runs.at(0).substr(runs.at(0).find(" seed="), runs.at(0).find(" tt=") - runs.at(0).find(" seed="));
  EXPECT_EQ(seed, " seed=1 runs=300 shard=1/1");
  EXPECT_NE(json.find("\"seed\": \"1\",\n    \"runs\": \"300\",\n    \"shard\": \"1/1\""), std::string::npos) << json;
  EXPECT_NE(r.out.find("the search was stopped by SIGTERM"), std::string::npos) << r.out;
}

// A signal while --merge reads its shards: it stops there, the merged file's
// name untouched, rather than reading on to the end.
TEST(McInterruption, AMergeStopsWhileItReads) {
  Dir d;
  const int per_shard = 20000;  // rows of 1 kB: 40 MB to read, longer than a signal takes
  const std::string note = std::string(1000, 'x');
  for (int k = 1; k <= 2; ++k) {
    std::string text = "# ascent-mc study: version=1 seed=1 runs=" + std::to_string(2 * per_shard) + " shard=" +
                       std::to_string(k) + "/2 tt=36 alpha=18 transfer=yes iterate=no vehicle=0 dispersions=none "
                       "target_apogee_altitude_m=398600\r\n"
                       "run,reached,SC_M,hp_final_km,ha_final_km,core_propellant_left_kg,max_q_Pa,max_accel_ms2,status\r\n";
    for (int i = 0; i < per_shard; ++i) text += std::to_string(2 * i + k) + ",no,,,,,,," + note + "\r\n";
    d.write("s" + std::to_string(k) + ".csv", text);
  }
  e2e::Child c = e2e::start_program(ASCENT_MC_BINARY, {"--merge", "s1.csv", "s2.csv", "-o", "m.csv"}, d.dir(),
                                    d.io_base(), "");
  ASSERT_TRUE(e2e::wait_for_text(d.dir() / ("m.csv.tmp" + std::to_string(c.pid) + "-0"), "\r\n1,no,", 1, 60));
  kill(c.pid, SIGTERM);
  e2e::RunResult r = e2e::wait_program(c, 60);
  EXPECT_EQ(r.exit_code, 128 + SIGTERM) << r.err;
  EXPECT_EQ(r.err, "ascent-mc: stopped by SIGTERM while merging: m.csv is untouched\r\n");
  EXPECT_FALSE(d.exists("m.csv"));
}

TEST(SweepInterruption, AClosedPipeIsAWriteError) {
  Dir d;
  // Standard output a pipe whose reader has gone.
  e2e::RunResult r = sweep(d, {"--tt", "30:40:1", "--alpha", "18"}, [] {
    int p[2];
    if (pipe(p) != 0) _exit(126);
    close(p[0]);
    dup2(p[1], 1);
  });
  EXPECT_FALSE(r.signaled);
  EXPECT_EQ(r.exit_code, 101) << r.err;
  EXPECT_NE(r.err.find("ascent-sweep: standard output: write error"), std::string::npos) << r.err;
}

// Every tool's threads come from one pool: a thread it cannot start is one
// line and exit code 1, no abort, and no output file.
TEST(ToolThreads, AThreadThatCannotStartIsReported) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address space limit below leaves AddressSanitizer no room";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
  GTEST_SKIP() << "the address space limit below leaves AddressSanitizer no room";
#endif
#endif
  struct Case {
    const char* program;
    const char* tool;
    std::vector<std::string> args;
  };
  const Case cases[] = {
      {ASCENT_SWEEP_BINARY, "ascent-sweep", {"--tt", "30:40:0.01", "--alpha", "18"}},
      {ASCENT_MC_BINARY, "ascent-mc", {"--runs", "5000"}},
      {ASCENT_OPTIMIZE_BINARY, "ascent-optimize", {"--max-flights", "3000"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tool);
    Dir d;
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"-j", "1000", "-o", "t.csv"});
    // Too little address space for 1000 thread stacks of 8 MiB.
    e2e::RunResult r = e2e::run_program(c.program, args, d.dir(), d.io_base(), "", false, 60, [] {
      struct rlimit lim = {std::size_t{256} << 20, std::size_t{256} << 20};
      setrlimit(RLIMIT_AS, &lim);
    });
    EXPECT_FALSE(r.signaled) << r.err;
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_NE(r.err.find(std::string(c.tool) + ": cannot start thread "), std::string::npos) << r.err;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(d.dir()), std::filesystem::directory_iterator()), 1)
        << "s1.dat and nothing else";
  }
}

}  // namespace
