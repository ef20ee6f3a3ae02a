// ascent-mc against ascent-sweep and against itself: a study that disperses
// nothing flies ascent's own flight in every run; the number of jobs and the
// split into shards change no byte; the summary agrees with the runs file it
// summarises, recomputed here; bad dispersion files and options are refused
// with their place and exit code.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "run_ascent.hpp"

namespace {

namespace fs = std::filesystem;

struct Outcome {
  std::string out, err;
  int code = -1;
};

Outcome run_tool(const std::string& program, const std::vector<std::string>& args, const e2e::Scratch& s,
                 int timeout_s = 120) {
  static int serial = 0;
  e2e::RunResult r = e2e::run_program(program, args, s.dir(), s.dir().parent_path() / ("io" + std::to_string(++serial)),
                                      "", false, timeout_s);
  return Outcome{r.out, r.err, r.signaled || r.timed_out ? -1 : r.exit_code};
}

Outcome mc(const std::vector<std::string>& args, const e2e::Scratch& s) { return run_tool(ASCENT_MC_BINARY, args, s); }

// A study's options followed by more.
std::vector<std::string> joined(std::vector<std::string> a, const std::vector<std::string>& extra) {
  a.insert(a.end(), extra.begin(), extra.end());
  return a;
}

std::string bundled(const std::string& rel) {
  std::ifstream f(fs::path(ASCENT_SOURCE_DIR) / rel, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

using Row = std::map<std::string, std::string>;

std::vector<Row> rows_of(const std::string& csv) {
  std::vector<std::string> L = e2e::crlf_lines(csv);
  // The line that defines the study comes first: "# ascent-mc study: ...".
  if (!L.empty() && L[0].rfind("# ascent-mc study: ", 0) == 0) L.erase(L.begin());
  std::vector<Row> rows;
  if (L.empty()) return rows;
  std::vector<std::string> names = csv_fields(L[0]);
  for (std::size_t i = 1; i < L.size(); ++i) {
    std::vector<std::string> f = csv_fields(L[i]);
    EXPECT_EQ(f.size(), names.size()) << L[i];
    Row r;
    for (std::size_t k = 0; k < names.size() && k < f.size(); ++k) r[names[k]] = f[k];
    rows.push_back(r);
  }
  return rows;
}

const char* const zero_spreads =
    "[[dispersion]]\nkey = \"core.exhaust_speed\"\ndistribution = \"normal\"\nthree_sigma = 0\nrelative = true\n"
    "[[dispersion]]\nkey = \"upper.thrust\"\ndistribution = \"uniform\"\nhalf_width = 0.0\nrelative = false\n"
    "[[dispersion]]\nkey = \"profile.thrust_scale\"\ndistribution = \"normal\"\nthree_sigma = 0\n"
    "[[dispersion]]\nkey = \"profile.time_scale\"\ndistribution = \"uniform\"\nhalf_width = 0\n"
    "[[dispersion]]\nkey = \"air.density_scale\"\ndistribution = \"normal\"\nthree_sigma = 0\n";

TEST(MonteCarlo, RunsThatDisperseNothingFlyAscentsOwnFlight) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  s.write("zero.toml", zero_spreads);
  s.write("empty.toml", "# nothing scatters\n");
  struct Case {
    std::vector<std::string> answers;
  };
  const std::vector<std::vector<std::string>> cases = {
      {"--tt", "36", "--alpha", "18"}, {"--tt", "20", "--alpha", "5", "--no-transfer"},
      {"--tt", "20", "--alpha", "21", "--iterate"}};
  for (const auto& answers : cases) {
    std::vector<std::string> sweep_args = answers;
    Outcome sw = run_tool(ASCENT_SWEEP_BINARY, sweep_args, s);
    ASSERT_EQ(sw.code, 0) << sw.err;
    std::vector<Row> ref = rows_of(sw.out);
    ASSERT_EQ(ref.size(), 1u);
    for (const char* file : {"zero.toml", "empty.toml", ""}) {
      SCOPED_TRACE(std::string(file) + " " + answers[1] + " " + answers[3]);
      std::vector<std::string> args = answers;
      for (const char* a : {"--runs", "3", "--seed", "77", "-o", "runs.csv"}) args.push_back(a);
      if (*file != '\0') {
        args.push_back("--dispersions");
        args.push_back(file);
      }
      Outcome r = mc(args, s);
      ASSERT_EQ(r.code, 0) << r.err;
      std::vector<Row> rows = rows_of(s.read("runs.csv"));
      ASSERT_EQ(rows.size(), 3u);
      for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].at("run"), std::to_string(i + 1));
        for (const char* col : {"reached", "SC_M", "hp_final_km", "ha_final_km", "core_propellant_left_kg",
                                "max_q_Pa", "max_accel_ms2", "status"})
          EXPECT_EQ(rows[i].at(col), ref[0].at(col)) << col;
        if (std::string(file) == "zero.toml") {
          // The values written are the nominal ones, every digit.
          EXPECT_EQ(rows[i].at("core.exhaust_speed"), "4420.8");
          EXPECT_EQ(rows[i].at("upper.thrust"), "26689");
          EXPECT_EQ(rows[i].at("air.density_scale"), "1");
        }
      }
    }
  }
}

// The text between `head` and `tail` in the last line of `text` holding head.
std::string last_between(const std::string& text, const std::string& head, const std::string& tail) {
  std::size_t p = text.rfind(head);
  if (p == std::string::npos) return "?";
  p += head.size();
  std::string v = text.substr(p, text.find(tail, p) - p);
  v.erase(0, v.find_first_not_of(' '));
  return v;
}

TEST(MonteCarlo, ADescribedVehicleFliesAsAscentFliesIt) {
  e2e::Scratch s;
  s.write("tarvos3.toml", bundled("vehicles/tarvos3.toml"));
  s.write("tarvos3_boosters.dat", bundled("vehicles/tarvos3_boosters.dat"));
  e2e::RunResult r = e2e::run_program(ASCENT_BINARY, {"--vehicle", "tarvos3.toml"}, s.dir(),
                                      s.dir().parent_path() / "asc", "out.txt\n40\n18\ny\n-1\n");
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string out = s.read("out.txt"), constants = s.read("const_n.pas");
  Outcome m = mc({"--vehicle", "tarvos3.toml", "--tt", "40", "--alpha", "18", "--runs", "2", "-o", "runs.csv"}, s);
  ASSERT_EQ(m.code, 0) << m.err;
  std::vector<Row> rows = rows_of(s.read("runs.csv"));
  ASSERT_EQ(rows.size(), 2u);
  char km[64];
  for (const Row& row : rows) {
    EXPECT_EQ(row.at("SC_M"), last_between(constants, "SC_M     =", ";"));
    EXPECT_EQ(row.at("core_propellant_left_kg"), last_between(out, "Remaining propellant = ", " kg."));
    std::snprintf(km, sizeof km, "%.1f", std::strtod(row.at("hp_final_km").c_str(), nullptr));
    EXPECT_EQ(km, last_between(out, "Perigee = ", " km"));
    std::snprintf(km, sizeof km, "%.1f", std::strtod(row.at("ha_final_km").c_str(), nullptr));
    EXPECT_EQ(km, last_between(out, "Apogee = ", " km"));
    // Its own 350 km target, not the built-in 398.6 km, decides `reached`.
    EXPECT_EQ(row.at("reached"), "yes");
  }
  s.write("bad.toml", "name = \"x\"\n");
  Outcome bad = mc({"--vehicle", "bad.toml", "-o", "runs2.csv"}, s);
  EXPECT_EQ(bad.code, 65);
  EXPECT_EQ(bad.err.rfind("ascent-mc: bad.toml:", 0), 0u) << bad.err;
  EXPECT_FALSE(s.exists("runs2.csv"));
}

// The population standard deviation's n - 1 form, by two passes.
struct Direct {
  std::size_t n = 0;
  double mean = 0, sd = 0;
  double q[5] = {0, 0, 0, 0, 0};
};

Direct direct(std::vector<double> v) {
  Direct d;
  d.n = v.size();
  if (v.empty()) return d;
  double sum = 0;
  for (double x : v) sum += x;
  d.mean = sum / static_cast<double>(v.size());
  double ss = 0;
  for (double x : v) ss += (x - d.mean) * (x - d.mean);
  d.sd = std::sqrt(ss / static_cast<double>(v.size() - 1));
  std::sort(v.begin(), v.end());
  // Nearest rank: the smallest value with at least a share p of the sample
  // at or below it.
  const double p[5] = {0.00135, 0.025, 0.5, 0.975, 0.99865};
  for (int j = 0; j < 5; ++j) {
    std::size_t k = 1;
    while (static_cast<double>(k) < p[j] * static_cast<double>(v.size())) ++k;
    d.q[j] = v[k - 1];
  }
  return d;
}

void expect_spread(const nlohmann::json& j, const Direct& d, const char* name) {
  SCOPED_TRACE(name);
  ASSERT_EQ(j.at("n").get<std::size_t>(), d.n);
  EXPECT_NEAR(j.at("mean").get<double>(), d.mean, 1e-9 * std::fabs(d.mean) + 1e-9);
  EXPECT_NEAR(j.at("sd").get<double>(), d.sd, 1e-7 * d.sd + 1e-9);
  const char* names[5] = {"p0.135", "p2.5", "p50", "p97.5", "p99.865"};
  for (int i = 0; i < 5; ++i) EXPECT_EQ(j.at(names[i]).get<double>(), d.q[i]) << names[i];
}

TEST(MonteCarlo, JobsAndShardsChangeNoByteAndTheSummaryAgreesWithTheRuns) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  s.write("d.toml", bundled("vehicles/dispersions.toml"));
  const std::vector<std::string> study = {"--runs", "41", "--seed", "2026", "--dispersions", "d.toml",
                                          "--tt", "20", "--alpha", "21", "--iterate"};
  auto with = [&](const std::vector<std::string>& extra) { return joined(study, extra); };
  Outcome one = mc(with({"--jobs", "1", "-o", "one.csv", "--json", "one.json"}), s);
  ASSERT_EQ(one.code, 0) << one.err;
  Outcome two = mc(with({"--jobs", "2", "-o", "two.csv", "--json", "two.json"}), s);
  ASSERT_EQ(two.code, 0) << two.err;
  std::vector<std::string> merge_args = {"--merge"};
  for (int k = 1; k <= 4; ++k) {
    std::string name = "shard" + std::to_string(k) + ".csv";
    Outcome r = mc(with({"--shard", std::to_string(k) + "/4", "-o", name}), s);
    ASSERT_EQ(r.code, 0) << r.err;
    merge_args.push_back(name);
  }
  // Shards given in any order merge the same.
  std::swap(merge_args[1], merge_args[3]);
  for (const char* a : {"-o", "merged.csv", "--json", "merged.json"}) merge_args.push_back(a);
  Outcome m = mc(merge_args, s);
  ASSERT_EQ(m.code, 0) << m.err;

  const std::string csv = s.read("one.csv");
  EXPECT_EQ(s.read("two.csv"), csv);
  EXPECT_EQ(s.read("merged.csv"), csv);
  EXPECT_EQ(s.read("two.json"), s.read("one.json"));
  EXPECT_EQ(s.read("merged.json"), s.read("one.json"));
  EXPECT_EQ(m.out, one.out);
  EXPECT_TRUE(e2e::all_crlf(csv));

  // The summary names its study: every key and value of the CSV's first line.
  const std::string first = e2e::crlf_lines(csv).at(0);
  nlohmann::ordered_json named = nlohmann::ordered_json::parse(s.read("one.json")).at("study");
  std::string line = "# ascent-mc study:";
  for (const auto& [key, value] : named.items()) line += " " + key + "=" + value.get<std::string>();
  EXPECT_EQ(line, first);
  for (const char* key : {"seed", "runs", "shard", "vehicle", "profile", "dispersions"})
    EXPECT_TRUE(named.contains(key)) << key;

  // A shard flown on another booster profile (every thrust 2 % higher) is
  // another study: refused, and nothing merged.
  std::string hotter;
  std::istringstream points(s.read("s1.dat"));
  for (double t = 0, F = 0; points >> t >> F;) {
    char l[64];
    std::snprintf(l, sizeof l, "%.17g %.17g\n", t, F * 1.02);
    hotter += l;
  }
  s.write("hot.dat", hotter);
  ASSERT_EQ(mc(with({"--shard", "4/4", "--profile", "hot.dat", "-o", "shard4.csv"}), s).code, 0);
  Outcome mixed = mc({"--merge", "shard1.csv", "shard2.csv", "shard3.csv", "shard4.csv", "-o", "mixed.csv"}, s);
  EXPECT_EQ(mixed.code, 65) << mixed.err;
  EXPECT_NE(mixed.err.find("shard4.csv: another study: profile="), std::string::npos) << mixed.err;
  EXPECT_FALSE(s.exists("mixed.csv"));

  // The runs are numbered 1 to 41 and really dispersed: no two alike.
  std::vector<Row> rows = rows_of(csv);
  ASSERT_EQ(rows.size(), 41u);
  for (std::size_t i = 0; i < rows.size(); ++i) EXPECT_EQ(rows[i].at("run"), std::to_string(i + 1));
  EXPECT_NE(rows[0].at("core.exhaust_speed"), rows[1].at("core.exhaust_speed"));

  // The summary recomputed from the rows.
  std::vector<double> sc, hp, ha, core, promised, reached_sc;
  std::size_t reached = 0, flown = 0;
  for (const Row& r : rows) {
    bool ok = r.at("status") == "ok", yes = r.at("reached") == "yes";
    ASSERT_TRUE(ok || r.at("SC_M").empty());
    if (ok) {
      ++flown;
      for (auto [col, v] : {std::pair{"SC_M", &sc}, {"hp_final_km", &hp}, {"ha_final_km", &ha},
                            {"core_propellant_left_kg", &core}}) {
        double x = std::strtod(r.at(col).c_str(), nullptr);
        if (std::isfinite(x)) v->push_back(x);
      }
    }
    double m_sc = yes ? std::strtod(r.at("SC_M").c_str(), nullptr) : 0.0;
    promised.push_back(m_sc);
    if (yes) {
      ++reached;
      reached_sc.push_back(m_sc);
    }
  }
  nlohmann::json j = nlohmann::json::parse(s.read("one.json"));
  EXPECT_EQ(j.at("runs").get<std::size_t>(), 41u);
  EXPECT_EQ(j.at("flown").get<std::size_t>(), flown);
  EXPECT_EQ(j.at("reached").get<std::size_t>(), reached);
  double n = 41, p = static_cast<double>(reached) / n, z = 1.959963984540054;
  EXPECT_DOUBLE_EQ(j.at("p_reached").get<double>(), p);
  // Wilson's interval: the roots in P of (p - P)^2 = z^2 P (1 - P) / n.
  double a = 1 + z * z / n, b = -(2 * p + z * z / n), c = p * p;
  double disc = std::sqrt(b * b - 4 * a * c);
  EXPECT_NEAR(j.at("p_reached_95")[0].get<double>(), (-b - disc) / (2 * a), 1e-12);
  EXPECT_NEAR(j.at("p_reached_95")[1].get<double>(), (-b + disc) / (2 * a), 1e-12);
  expect_spread(j.at("SC_M_reached_kg"), direct(reached_sc), "SC_M over the runs that reached the orbit");
  expect_spread(j.at("SC_M_kg"), direct(sc), "SC_M");
  expect_spread(j.at("hp_final_km"), direct(hp), "hp");
  expect_spread(j.at("ha_final_km"), direct(ha), "ha");
  expect_spread(j.at("core_propellant_left_kg"), direct(core), "core");
  EXPECT_EQ(j.at("SC_M_promised_kg").get<double>(), direct(promised).q[0]);
  if (!reached_sc.empty()) {
    EXPECT_EQ(j.at("SC_M_reached_p0.135_kg").get<double>(), direct(reached_sc).q[0]);
  }
}

// The promise flies its own trials: one and two jobs give the same promise,
// and the study's own bytes are those of the study without it.
TEST(MonteCarlo, ThePromiseIsTheSameForAnyJobsAndLeavesTheStudyAsItWas) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  s.write("d.toml", bundled("vehicles/dispersions.toml"));
  s.write("guided.toml", bundled("vehicles/orvalon5_guided.toml"));
  const std::vector<std::string> study = {"--vehicle", "guided.toml", "--dispersions", "d.toml", "--runs", "20"};
  auto with = [&](const std::vector<std::string>& extra) { return joined(study, extra); };
  Outcome plain = mc(with({"--jobs", "2", "-o", "plain.csv", "--json", "plain.json"}), s);
  ASSERT_EQ(plain.code, 0) << plain.err;
  Outcome one = mc(with({"--jobs", "1", "-o", "p1.csv", "--json", "p1.json", "--promise", "0.9", "--tolerance", "2"}), s);
  ASSERT_EQ(one.code, 0) << one.err;
  Outcome two = mc(with({"--jobs", "2", "-o", "p2.csv", "--json", "p2.json", "--promise", "0.9", "--tolerance", "2"}), s);
  ASSERT_EQ(two.code, 0) << two.err;
  EXPECT_EQ(s.read("p1.json"), s.read("p2.json"));
  EXPECT_EQ(one.out, two.out);
  EXPECT_EQ(s.read("p1.csv"), s.read("plain.csv"));
  EXPECT_EQ(one.out.rfind(plain.out, 0), 0u) << "the promise's lines follow the study's own";

  nlohmann::json j = nlohmann::json::parse(s.read("p1.json")), j0 = nlohmann::json::parse(s.read("plain.json"));
  // 18 of the 20 runs carry it, a little below the nominal flight's mass.
  const double M = j.at("SC_M_promised_kg").get<double>(), nominal = j.at("promise_SC_M_nominal_kg").get<double>();
  EXPECT_GT(M, 0.9 * nominal);
  EXPECT_LT(M, nominal + 5000);
  EXPECT_EQ(j.at("promise_probability").get<double>(), 0.9);
  EXPECT_EQ(j.at("promise_tolerance_km").get<double>(), 2);
  // The share that carries it and Wilson's interval: the roots in P of
  // (share - P)^2 = z^2 P (1 - P) / n.
  const double n = 20, share = j.at("reached_share").get<double>(), z = 1.959963984540054;
  EXPECT_GE(share, 0.9);
  EXPECT_EQ(share * n, std::round(share * n));
  double a = 1 + z * z / n, b = -(2 * share + z * z / n), disc = std::sqrt(b * b - 4 * a * share * share);
  EXPECT_NEAR(j.at("reached_share_low").get<double>(), (-b - disc) / (2 * a), 1e-12);
  EXPECT_NEAR(j.at("reached_share_high").get<double>(), (-b + disc) / (2 * a), 1e-12);
  char line[96];
  std::snprintf(line, sizeof line, "SC_M promised: %.0f kg, carried there by %.0f of 20 runs (18 needed)", M,
                share * n);
  EXPECT_NE(one.out.find(line), std::string::npos) << one.out;
  // Every other key is the study's.
  for (const char* key : {"SC_M_promised_kg", "promise_probability", "promise_tolerance_km", "reached_share",
                          "reached_share_low", "reached_share_high", "promise_SC_M_nominal_kg", "promise_trials"})
    j.erase(key), j0.erase(key);
  EXPECT_EQ(j, j0);
}

TEST(MonteCarlo, SensitivityFliesEachQuantityAloneAtItsEnds) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  s.write("d.toml",
          "[[dispersion]]\nkey = \"core.dry_mass\"\ndistribution = \"normal\"\nthree_sigma = 0.01\nrelative = true\n"
          "[[dispersion]]\nkey = \"upper.exhaust_speed\"\ndistribution = \"uniform\"\nhalf_width = 30\n"
          "relative = false\n");
  Outcome r = mc({"--runs", "0", "--tt", "36", "--alpha", "18", "--dispersions", "d.toml", "--sensitivity",
                  "sens.csv"},
                 s);
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<Row> rows = rows_of(s.read("sens.csv"));
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].at("key"), "nominal");
  EXPECT_EQ(rows[0].at("low"), "");
  EXPECT_EQ(rows[0].at("SC_M_low"), rows[0].at("SC_M_high"));
  // The nominal flight is ascent's: the sweep's row for the same answers.
  Outcome sw = run_tool(ASCENT_SWEEP_BINARY, {"--tt", "36", "--alpha", "18"}, s);
  std::vector<Row> ref = rows_of(sw.out);
  ASSERT_EQ(ref.size(), 1u);
  EXPECT_EQ(rows[0].at("SC_M_low"), ref[0].at("SC_M"));
  EXPECT_EQ(rows[0].at("hp_final_km_low"), ref[0].at("hp_final_km"));
  std::map<std::string, Row> by_key;
  for (std::size_t i = 1; i < rows.size(); ++i) by_key[rows[i].at("key")] = rows[i];
  ASSERT_EQ(by_key.count("core.dry_mass"), 1u);
  ASSERT_EQ(by_key.count("upper.exhaust_speed"), 1u);
  // The ends: 111580 kg -/+ 1 %, 3071.4 m/s -/+ 30.
  EXPECT_DOUBLE_EQ(std::strtod(by_key["core.dry_mass"].at("low").c_str(), nullptr), 111580 * 0.99);
  EXPECT_DOUBLE_EQ(std::strtod(by_key["core.dry_mass"].at("high").c_str(), nullptr), 111580 * 1.01);
  EXPECT_DOUBLE_EQ(std::strtod(by_key["upper.exhaust_speed"].at("low").c_str(), nullptr), 3041.4);
  // A heavier core stage leaves less for the spacecraft; a better upper
  // stage engine carries more (the rocket equation).
  auto mass = [](const Row& r, const char* c) { return std::strtod(r.at(c).c_str(), nullptr); };
  EXPECT_GT(mass(by_key["core.dry_mass"], "SC_M_low"), mass(by_key["core.dry_mass"], "SC_M_high"));
  EXPECT_LT(mass(by_key["upper.exhaust_speed"], "SC_M_low"), mass(by_key["upper.exhaust_speed"], "SC_M_high"));
  // Whether an end reached the orbit is the sweep's reached for the same
  // vehicle: the nominal's, and the core 1 % heavier (written out as a
  // vehicle file with that dry mass), which ends out of the target's 10 km.
  EXPECT_EQ(rows[0].at("reached_low"), ref[0].at("reached"));
  EXPECT_EQ(rows[0].at("reached_high"), ref[0].at("reached"));
  std::string heavy = run_tool(ASCENT_BINARY, {"--print-vehicle"}, s).out;
  std::size_t at = heavy.find("\ndry_mass = 111580\n");
  ASSERT_NE(at, std::string::npos);
  heavy.replace(at, 19, "\ndry_mass = " + by_key["core.dry_mass"].at("high") + "\n");
  s.write("heavy.toml", heavy);
  std::vector<Row> heavy_ref = rows_of(run_tool(ASCENT_SWEEP_BINARY, {"--vehicle", "heavy.toml", "--tt", "36",
                                                                     "--alpha", "18"}, s).out);
  ASSERT_EQ(heavy_ref.size(), 1u);
  EXPECT_EQ(heavy_ref[0].at("reached"), "no");
  EXPECT_EQ(by_key["core.dry_mass"].at("reached_high"), heavy_ref[0].at("reached"));
  // Ranked by the swing of SC_M, the table on standard output in that order.
  double swing1 = std::fabs(mass(rows[1], "SC_M_high") - mass(rows[1], "SC_M_low"));
  double swing2 = std::fabs(mass(rows[2], "SC_M_high") - mass(rows[2], "SC_M_low"));
  EXPECT_GE(swing1, swing2);
  EXPECT_LT(r.out.find(rows[1].at("key")), r.out.find(rows[2].at("key")));
}

TEST(MonteCarlo, BadDispersionFilesAndOptionsAreRefusedWithTheirPlace) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  struct Bad {
    std::string text, expect;
  };
  const std::vector<Bad> bad = {
      {"[[dispersion]]\nkey = \"core.exhast_speed\"\ndistribution = \"normal\"\nthree_sigma = 0.01\nrelative = true\n",
       "bad.toml:2:7: core.exhast_speed: not a quantity of the description"},
      {"[[dispersion]]\nkey = \"core.dry_mass\"\ndistribution = \"normal\"\nthree_sigma = 200000\nrelative = false\n",
       "bad.toml:4:15: core.dry_mass: at -3 sigma the value must be positive, got -88420"},
      {"[[dispersion]]\nkey = \"core.dry_mass\"\ndistribution = \"normal\"\n\nthree_sigma = 0.01 0.02\n",
       "bad.toml:5:"},
  };
  for (const Bad& b : bad) {
    s.write("bad.toml", b.text);
    Outcome r = mc({"--runs", "2", "--dispersions", "bad.toml", "-o", "runs.csv"}, s);
    EXPECT_EQ(r.code, 65) << b.text;
    EXPECT_EQ(r.err.rfind("ascent-mc: " + b.expect, 0), 0u) << r.err;
    EXPECT_EQ(e2e::crlf_lines(r.err).size(), 1u) << r.err;
    EXPECT_FALSE(s.exists("runs.csv")) << "nothing is created for a refused file";
  }
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--runs", "-3"}, {"--shard", "5/4"}, {"--shard", "2"},
                                             {"--jobs", "0"}, {"--frobnicate"}, {"--merge", "a.csv"},
                                             {"--tt", "0.5"}, {"--runs"}, {"--runs", "0"},
                                             {"--promise", "0"}, {"--promise", "1"}, {"--promise", "-1"},
                                             {"--promise", "x"}, {"--promise", "0.9", "--tolerance", "0"},
                                             {"--promise", "0.9", "--tolerance", "-3"},
                                             {"--promise", "0.9", "--tolerance", "inf"}, {"--tolerance", "2"},
                                             {"--promise", "0.9", "--shard", "1/2"},
                                             {"--merge", "a.csv", "-o", "m.csv", "--promise", "0.9"},
                                             {"--merge", "a.csv", "-o", "m.csv", "--impacts", "i.csv"},
                                             {"--merge-impacts", "i.csv"}, {"--runs", "2", "--epoch", "2027-03-01"},
                                             {"--runs", "2", "--impacts", "i.csv", "--epoch", "2027-02-30T00:00:00"},
                                             {"--json", "a.json", "--json", "b.json"},  // not the last silently
                                             {"--promise", "0.9", "--tolerance", "2", "--promise-tolerance", "3"}}) {
    Outcome r = mc(args, s);
    EXPECT_EQ(r.code, 64) << args[0];
    EXPECT_EQ(r.err.rfind("ascent-mc: ", 0), 0u) << r.err;
  }
  // Two outputs that are one file through a link, before either exists: one
  // would be lost.
  fs::create_symlink("linked.csv", s.dir() / "link.json");
  Outcome linked = mc({"--runs", "2", "-o", "linked.csv", "--json", "link.json"}, s);
  EXPECT_EQ(linked.code, 5) << linked.err;
  EXPECT_NE(linked.err.find("one file through a link"), std::string::npos) << linked.err;
  EXPECT_FALSE(s.exists("linked.csv"));
  // The promise's band under its old spelling is the same option.
  Outcome old_spelling = mc({"--runs", "1", "--promise", "0.5", "--tolerance", "0"}, s);
  EXPECT_NE(old_spelling.err.find("--promise-tolerance: a distance in km above 0"), std::string::npos)
      << old_spelling.err;
  // Every output is checked before the first flight: a JSON into a missing
  // folder stops a long study at once, and creates no CSV.
  Outcome no_folder = mc({"--runs", "1000000", "-o", "runs.csv", "--json", "nowhere/s.json"}, s);
  EXPECT_EQ(no_folder.code, 3) << no_folder.err;
  EXPECT_NE(no_folder.err.find("nowhere/s.json: path not found"), std::string::npos) << no_folder.err;
  EXPECT_FALSE(s.exists("runs.csv"));
  Outcome missing = mc({"--dispersions", "nowhere.toml"}, s);
  EXPECT_EQ(missing.code, 2) << missing.err;
  EXPECT_NE(missing.err.find("nowhere.toml"), std::string::npos);
  // Shards that do not make one whole study: each refused, naming why, and
  // no merged file.
  const std::string line = "# ascent-mc study: version=1 seed=1 runs=3 shard=1/2 tt=36 alpha=18 transfer=yes "
                           "iterate=no vehicle=0 profile=0 dispersions=none target_apogee_altitude_m=398600\r\n";
  const std::string head = "run,reached,SC_M,hp_final_km,ha_final_km,core_propellant_left_kg,max_q_Pa,max_accel_ms2,status\r\n";
  auto shard2 = [&](const std::string& from, const std::string& to) {
    std::string l = line;
    l.replace(l.find(from), from.size(), to);
    return l;
  };
  s.write("a.csv", line + head + "1,no,,,,,,,x\r\n3,no,,,,,,,x\r\n");
  s.write("b.csv", shard2("shard=1/2", "shard=2/2") + head + "2,no,,,,,,,x\r\n");
  ASSERT_EQ(mc({"--merge", "a.csv", "b.csv", "-o", "m.csv"}, s).code, 0) << "the whole study merges";
  fs::remove(s.dir() / "m.csv");
  struct Shards {
    std::string b;  // the second shard's text
    std::vector<std::string> files;
    std::string says;
  };
  const Shards bad_merges[] = {
      {"", {"a.csv"}, "shard 2/2 is missing"},
      {"", {"a.csv", "a.csv"}, "shard 1 is a.csv too"},
      {shard2("shard=1/2", "shard=2/2") + head, {"a.csv", "b.csv"}, "b.csv: run 2 of shard 2/2 is missing"},
      {shard2("shard=1/2 tt=36", "shard=2/2 tt=40") + head + "2,no,,,,,,,x\r\n", {"a.csv", "b.csv"},
       "b.csv: another study: tt=40 where a.csv has tt=36"},
      {shard2("shard=1/2", "shard=2/2") + head + "0,no,,,,,,,x\r\n2,no,,,,,,,x\r\n", {"a.csv", "b.csv"},
       "run 0 is not a run this shard flies"},
      {shard2("shard=1/2", "shard=2/2") + "run,x\r\n", {"a.csv", "b.csv"}, "b.csv: its header differs"},
      {head + "2,no,,,,,,,x\r\n", {"b.csv", "a.csv"}, "b.csv: no study line"},
      // A line over the 1 MiB bound, ended as a line should be: refused
      // where it starts, not held whole.
      {shard2("shard=1/2", "shard=2/2") + head + "2,no,,,,,,," + std::string(1 << 20, 'x') + "\r\n",
       {"a.csv", "b.csv"}, "b.csv:3: a line longer than 1048576 bytes"},
  };
  for (const Shards& m : bad_merges) {
    if (!m.b.empty()) s.write("b.csv", m.b);
    std::vector<std::string> args = {"--merge"};
    args.insert(args.end(), m.files.begin(), m.files.end());
    args.insert(args.end(), {"-o", "m.csv"});
    Outcome r = mc(args, s);
    EXPECT_EQ(r.code, 65) << m.says;
    EXPECT_NE(r.err.find(m.says), std::string::npos) << r.err;
    EXPECT_FALSE(s.exists("m.csv")) << m.says;
  }
  // The shards' impacts files beside their runs files: one row per part,
  // each of a run its shard flies, of the runs files' study; run 3's
  // vehicle, refused, released nothing.
  s.write("b.csv", shard2("shard=1/2", "shard=2/2") + head + "2,no,,,,,,,x\r\n");
  const std::string at = " epoch=2027-01-01T00:00:00.000000\r\n";
  const std::string ihead = "run,part,release_t_s,release_alt_m,impact_lat_deg,impact_lon_deg,fall_s,"
                            "ballistic_coefficient_kg_m2,status\r\n";
  auto impacts_line = [&](const std::string& l) { return l.substr(0, l.size() - 2) + at + ihead; };
  const std::string down = ",boosters,130,50000,31.5,-78.4,300,3700,down\r\n";
  s.write("ia.csv", impacts_line(line) + "1" + down + "1,fairing,200,120000,,,,50,in orbit\r\n");
  const std::string b_line = impacts_line(shard2("shard=1/2", "shard=2/2"));
  const std::string merge_both[] = {"--merge", "a.csv", "b.csv", "-o", "m.csv", "--merge-impacts", "ia.csv", "ib.csv",
                                    "--impacts", "mi.csv"};
  s.write("ib.csv", b_line + "2" + down);
  ASSERT_EQ(mc(std::vector<std::string>(std::begin(merge_both), std::end(merge_both)), s).code, 0);
  EXPECT_EQ(s.read("mi.csv"), impacts_line(shard2("shard=1/2", "shard=1/1")) + "1" + down +
                                  "1,fairing,200,120000,,,,50,in orbit\r\n2" + down);
  fs::remove(s.dir() / "m.csv");
  fs::remove(s.dir() / "mi.csv");
  const std::pair<std::string, std::string> bad_impacts[] = {
      {b_line + "3" + down, "ib.csv:3: run 3 is not a run this shard flies"},
      {b_line + "2,boosters,130,50000,31.5,-78.4,300,3700,lost\r\n", "status 'lost'"},
      {shard2("shard=1/2", "shard=2/2") + ihead + "2" + down, "another study: epoch="},
      {b_line.substr(0, b_line.size() - ihead.size()) + head + "2" + down, "ib.csv: its header differs"},
  };
  for (const auto& [text, says] : bad_impacts) {
    s.write("ib.csv", text);
    Outcome r = mc(std::vector<std::string>(std::begin(merge_both), std::end(merge_both)), s);
    EXPECT_EQ(r.code, 65) << says;
    EXPECT_NE(r.err.find(says), std::string::npos) << r.err;
    EXPECT_FALSE(s.exists("m.csv") || s.exists("mi.csv")) << says;
  }
  for (const char* opt : {"--help", "--version"}) {
    Outcome r = mc({opt}, s);
    EXPECT_EQ(r.code, 0);
    EXPECT_NE(r.out.find("ascent-mc"), std::string::npos);
  }
}

}  // namespace

namespace {

// A study none of whose flights can end normally (the bundled profile ends at
// 141 s, before any of these turns is over) reports no result: exit 69 and a
// line that says so, its rows written with their errors.
TEST(Studies, NoFlightEndingNormallyIsNoResult) {
  e2e::Scratch s;
  s.write("s1.dat", bundled("data/s1.dat"));
  struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string csv;
    std::size_t rows;
  };
  const Case cases[] = {
      {ASCENT_SWEEP_BINARY, {"--tt", "200:300:50", "--alpha", "18", "-o", "g.csv"}, "g.csv", 3},
      {ASCENT_MC_BINARY, {"--tt", "1e6", "--runs", "3", "-o", "r.csv"}, "r.csv", 3},
  };
  for (const Case& c : cases) {
    Outcome r = run_tool(c.program, c.args, s);
    EXPECT_EQ(r.code, 69) << r.err;
    EXPECT_NE(r.err.find("none of the 3 "), std::string::npos) << r.err;
    std::vector<std::string> rows = e2e::crlf_lines(s.read(c.csv));
    if (!rows.empty() && rows[0].rfind("#", 0) == 0) rows.erase(rows.begin());  // a study's line
    ASSERT_EQ(rows.size(), c.rows + 1);
    for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_NE(rows[i].find("end of file"), std::string::npos) << rows[i];
  }
}

}  // namespace
