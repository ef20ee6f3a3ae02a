// Whole flights as the program flies them, from booster ignition to the
// mission summary: the order of the events, the physics of the orbit reached,
// iterate mode, and flights that go wrong but must still end cleanly.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "run_ascent.hpp"

namespace {

using e2e::field;
using e2e::is_table_line;

constexpr double mu = 3.986005e14;   // m^3/s^2
constexpr double Re = 6378165;       // m
constexpr double c_aj10 = 3071.4;    // m/s
constexpr double M_stage3 = 95912;   // kg, third stage with spacecraft at ignition (97087 - 1175)
constexpr double Mst3 = 97087;       // kg, mass above the core after the fairing has gone

const char* const prompts[] = {"Enter output filename (return = standard output, i = iterate): ",
                               "Turn time (s)? ", "Maximum angle of attack (degrees)? ",
                               "Transfer to apogee? "};

// A booster profile of constant thrust (N, one booster), points a pitch
// interval apart, to beyond separation.
std::string flat_profile(double F) { return e2e::linear_profile(145, F, 0); }

// A step-table line, also one whose numbers overflowed their fields or went
// to infinity or NaN: it starts with a number, where every message starts
// with a letter (the summary's "  S3_Mt" and "  SC_M" too, after blanks).
bool is_step(const std::string& l) {
  std::size_t i = l.find_first_not_of(' ');
  if (i == std::string::npos) return false;
  if (l[i] == '-') ++i;
  return std::isdigit(static_cast<unsigned char>(l[i])) || l.compare(i, 3, "nan") == 0 ||
         l.compare(i, 3, "inf") == 0;
}

struct Flight {
  e2e::Scratch dir;
  e2e::RunResult run;
  std::vector<std::string> lines;  // of standard output, CR LF removed
  std::string consts;              // const_n.pas, empty when not written
  Flight(const std::string& profile, const std::string& answers, const std::vector<std::string>& args = {},
         const std::string& profile_name = "s1.dat") {
    dir.write(profile_name, profile);
    run = dir.run_with(args, answers);
    lines = e2e::crlf_lines(run.out);
    if (dir.exists("const_n.pas")) consts = dir.read("const_n.pas");
  }
  // The events of the output: prompts, messages and empty lines, with each
  // run of step-table lines as one "#".
  std::vector<std::string> events() const {
    std::vector<std::string> ev;
    for (std::size_t i = 0; i < lines.size(); ++i) {
      std::string l = lines[i];
      for (bool again = true; again;) {
        again = false;
        for (const char* p : prompts)
          if (l.rfind(p, 0) == 0) {
            ev.push_back(p);
            l.erase(0, std::strlen(p));
            again = true;
          }
      }
      bool last_unended = i + 1 == lines.size() && !run.out.ends_with('\n');
      if (is_step(l)) {
        if (ev.empty() || ev.back() != "#") ev.push_back("#");
      } else if (!(last_unended && l.empty())) {
        ev.push_back(l);
      }
    }
    return ev;
  }
  std::size_t find(const std::string& prefix, std::size_t from = 0) const {
    for (std::size_t i = from; i < lines.size(); ++i)
      if (lines[i].find(prefix) != std::string::npos) return i;
    return lines.size();
  }
  std::size_t last(const std::string& prefix) const {
    for (std::size_t i = lines.size(); i-- > 0;)
      if (lines[i].find(prefix) != std::string::npos) return i;
    return lines.size();
  }
  std::size_t count(const std::string& text) const {
    std::size_t n = 0;
    for (std::size_t pos = run.out.find(text); pos != std::string::npos;
         pos = run.out.find(text, pos + 1))
      ++n;
    return n;
  }
  // Ended as a session should: by itself, exit 0, back at the turn-time question.
  void expect_clean_end() const {
    EXPECT_FALSE(run.timed_out);
    EXPECT_FALSE(run.signaled);
    EXPECT_EQ(run.exit_code, 0) << run.err;
    EXPECT_TRUE(run.out.ends_with("\r\nTurn time (s)? "))
        << run.out.substr(run.out.size() > 300 ? run.out.size() - 300 : 0);
  }
};

// Checks `ev` from its first "Booster seperation!" against `want`: "#" is a
// run of table lines, a text ending in '*' a prefix, any other text the line.
void expect_events(const std::vector<std::string>& ev, const std::vector<std::string>& want) {
  std::size_t k = 0;
  while (k < ev.size() && ev[k].rfind("Booster seperation!", 0) != 0) ++k;
  std::vector<std::string> got(ev.begin() + static_cast<long>(k), ev.end());
  ASSERT_EQ(got.size(), want.size()) << ::testing::PrintToString(got);
  for (std::size_t i = 0; i < want.size(); ++i) {
    const std::string& w = want[i];
    if (!w.empty() && w.back() == '*')
      EXPECT_EQ(got[i].rfind(w.substr(0, w.size() - 1), 0), 0u) << i << ": " << got[i];
    else
      EXPECT_EQ(got[i], w) << i;
  }
}

// Perigee and apogee altitudes (m) of an orbit line.
std::pair<double, double> orbit_of(const std::string& line) {
  std::size_t a = line.find("Apogee = ");
  return {std::stod(line.substr(10)) * 1000, std::stod(line.substr(a + 9)) * 1000};
}

double number_after(const std::string& line, const std::string& prefix) {
  return std::stod(line.substr(line.find(prefix) + prefix.size()));
}

// Values of the constants file by name.
std::map<std::string, double> constants(const std::string& text) {
  std::map<std::string, double> v;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) continue;
    std::istringstream name(line.substr(0, eq));
    std::string n;
    name >> n;
    v[n] = std::stod(line.substr(eq + 1));
  }
  return v;
}

// vis-viva: speed at altitude h on the orbit with perigee and apogee altitudes hp, ha.
double vis_viva(double h, double hp, double ha) {
  return std::sqrt(mu * (2 / (Re + h) - 1 / (Re + (hp + ha) / 2)));
}

// What the checks of a flight need to know of its vehicle and mission.
struct Upper {
  double h_target = 398600;  // m, target altitude
  double c = c_aj10;         // m/s, upper-stage exhaust speed
  double M_stage = M_stage3; // kg, upper stage with spacecraft at ignition
  double M_above = Mst3;     // kg, mass above the core after the fairing has gone
  std::string engine = "AJ10-190";
};

// The physics of a flight that reached orbit with the transfer, read from
// its output: cut-off speeds, orbits, delta-V and masses.
void expect_orbit_physics(const Flight& f, double target_km_tolerance, const Upper& u = {}) {
  const auto& L = f.lines;
  // Last core separation: the step after the cut-off line and the orbit it reports.
  std::size_t cut = f.last("Core Engine Cutoff!");
  std::size_t sep = f.find("Core Separation!", cut);
  ASSERT_LT(sep, L.size());
  const std::string& step = L[cut + 1];
  auto [hp1, ha1] = orbit_of(L[sep + 1]);
  EXPECT_NEAR(ha1, u.h_target, 500);  // the core aims its apogee at the target
  // Table speed rounds to 1 m/s; orbit altitudes to 100 m, worth 0.03 m/s.
  EXPECT_NEAR(field(step, 2), vis_viva(field(step, 3), hp1, ha1), 0.6);

  // Third-stage cut-off: circular speed at the final altitude, and vis-viva
  // on the orbit reported after it.
  std::size_t off = f.find(u.engine + " cutoff!", sep);
  std::size_t orbit = f.find("in Orbit! Remaining propellant = ", off);
  ASSERT_LT(orbit + 2, L.size());
  const std::string& last = L[off - 1];
  ASSERT_TRUE(is_table_line(last)) << last;
  double v = field(last, 2), h = field(last, 3);
  EXPECT_NEAR(v, std::sqrt(mu / (Re + h)), 0.6);
  auto [hp, ha] = orbit_of(L[orbit + 1]);
  EXPECT_NEAR(v, vis_viva(h, hp, ha), 0.6);
  EXPECT_NEAR(hp, u.h_target, target_km_tolerance * 1000);
  EXPECT_NEAR(ha, u.h_target, target_km_tolerance * 1000);

  // Delta-V: the burn's by the rocket equation on its propellant, and the
  // flight's as the sum of the core's and the burn's.
  auto C = constants(f.consts);
  double dV3 = number_after(L[off + 1], "delta-V = ");
  EXPECT_NEAR(dV3, u.c * std::log(u.M_stage / (u.M_stage - C["S3_Mp"])), 0.1);
  double dV_core = number_after(L[sep], "delta-V = ");
  double dV_all = number_after(L[orbit + 2], "delta-V = ");
  EXPECT_NEAR(dV_all, dV_core + dV3, 0.6);

  // Masses: adaptor, propellant used, cut-off mass and spacecraft add up to
  // the mass above the core plus the core propellant left over.
  double m0_core = number_after(L[orbit], "Remaining propellant = ");
  double Mtop = number_after(L[f.find("  S3_Mt   = ")], "= ");
  EXPECT_EQ(number_after(L[f.find("  SC_M    = ")], "= "), C["SC_M"]);
  EXPECT_EQ(C["S3_Mi"] + C["S3_Mp"] + C["S3_Ms"] + C["SC_M"], Mtop);
  EXPECT_NEAR(Mtop, u.M_above + m0_core, 1);
  EXPECT_GT(C["SC_M"], 0);
  EXPECT_GE(m0_core, 0);
}

// Fixture vehicle: boosters of a constant 18 MN each, turn time 10 s, angle
// of attack 3 degrees; the core reaches the target and the third stage orbit.
const std::string good_profile = flat_profile(18e6);

std::vector<std::string> transfer_tail() {
  return {"Transfer to apogee? ", "#", "Perigee = *", "AJ10-190 ignition!", "#", "AJ10-190 cutoff!",
          "Vacuum and zero gravity delta-V = *", "", "Turn Time = *",
          "Orvalon 5 in Orbit! Remaining propellant = *", "Perigee = *",
          "Vacuum and zero gravity delta-V = *", "Stage 3 Maximum force = *", "Liftoff thrust = *",
          "  S3_Mt   = *", "  SC_M    = *", "", "Turn time (s)? "};
}

std::vector<std::string> core_events() {
  return {"Booster seperation! Residual booster propellant = *", "Maximum angle of attack (degrees)? ",
          "#", "PLF Jettison!", "#", "Maximum acceleration reached!", "#", "Core Engine Cutoff!", "#",
          "Core Separation! Vacuum and zero gravity delta-V = *", "Perigee = *", "",
          "Recommended tt = *", ""};
}

TEST(Flight, EventsInOrderAndTheOrbitReached) {
  Flight f(good_profile, "\n10\n3\ny\n-1\n");
  f.expect_clean_end();
  std::vector<std::string> want = core_events();
  for (const std::string& e : transfer_tail()) want.push_back(e);
  expect_events(f.events(), want);
  expect_orbit_physics(f, 10);
  // The report names the recommended turn time and the angle typed.
  const std::string& report = f.lines[f.find("Turn Time = ")];
  EXPECT_NEAR(number_after(report, "Turn Time = "),
              number_after(f.lines[f.find("Recommended tt = ")], "= "), 0.00055);
  EXPECT_TRUE(report.ends_with(" s, Maximum angle of attack =  3.0000\xF8")) << report;
}

TEST(Flight, DeclinedTransferGoesStraightToTheReports) {
  Flight f(good_profile, "\n10\n3\nn\n-1\n");
  f.expect_clean_end();
  std::vector<std::string> want = core_events();
  // The core leaves its perigee below 100 km: without the transfer the
  // vehicle is not in orbit.
  for (const char* e :
       {"Transfer to apogee? ", "AJ10-190 cutoff!", "Vacuum and zero gravity delta-V = 0.0 m/s", "",
        "Turn Time = *", "Orvalon 5 not in Orbit! Remaining propellant = *", "Perigee = *",
        "Vacuum and zero gravity delta-V = *", "Stage 3 Maximum force = *", "Liftoff thrust = *",
        "  S3_Mt   = *", "  SC_M    = *", "", "Turn time (s)? "})
    want.push_back(e);
  expect_events(f.events(), want);
  // The orbit report repeats the core's orbit; the "used" propellant is the
  // load less the core's remainder, and there is no reserve.
  std::size_t core_orbit = f.find("Core Separation!") + 1;
  EXPECT_EQ(f.lines[f.find("in Orbit!") + 1], f.lines[core_orbit]);
  auto C = constants(f.consts);
  double m0_core = number_after(f.lines[f.find("in Orbit!")], "propellant = ");
  EXPECT_NEAR(C["S3_Mp"], 3274 - m0_core, 1);
  EXPECT_NE(f.consts.find(" 0 kg reserve -\r\n"), std::string::npos);
}

// Iterate mode: the questions once, passes until the recommendation settles,
// then the third stage once.
TEST(Flight, IterateModeSettlesTheTurnTimeAndFliesTheThirdStageOnce) {
  Flight f(good_profile, "i\n10\n3\ny\n-1\n");
  f.expect_clean_end();
  std::size_t passes = f.count("Core Engine Cutoff!");
  EXPECT_GT(passes, 1u);
  EXPECT_LT(passes, 49u);
  EXPECT_EQ(f.count("Recommended tt = "), passes);
  EXPECT_EQ(f.count("Booster seperation!"), passes);
  EXPECT_EQ(f.count("Turn time (s)? "), 2u);
  EXPECT_EQ(f.count("Maximum angle of attack (degrees)? "), 1u);
  EXPECT_EQ(f.count("Transfer to apogee? "), 1u);
  EXPECT_EQ(f.count("AJ10-190 ignition!"), 1u);

  // Settled: the last pass recommends what it flew, to 5e-05 s (the lines
  // round to 1e-4 s); its perigee is the climbing target of 37 km.
  std::vector<double> rec;
  for (const std::string& l : f.lines)
    if (l.rfind("Recommended tt = ", 0) == 0) rec.push_back(number_after(l, "= "));
  ASSERT_GE(rec.size(), 2u);
  EXPECT_LE(std::fabs(rec[rec.size() - 1] - rec[rec.size() - 2]), 1e-4 + 1e-9);
  EXPECT_NEAR(orbit_of(f.lines[f.last("Core Separation!") + 1]).first, 37000, 500);
  expect_orbit_physics(f, 10);
}

TEST(Flight, IterateModeStopsAfter49Passes) {
  // From 5 s this vehicle's secant steps never settle.
  Flight f(good_profile, "i\n5\n3\ny\n-1\n");
  f.expect_clean_end();
  EXPECT_EQ(f.count("Core Engine Cutoff!"), 49u);
  EXPECT_EQ(f.count("Maximum angle of attack (degrees)? "), 1u);
  EXPECT_EQ(f.count("AJ10-190 ignition!"), 1u);
}

// Flights that go wrong still run to the summary and the constants file.
// Weak boosters fall back; long turns and odd angle limits fly the vehicle
// into the ground, where the core overdraws its propellant and shuts its
// engines down; boosters far too strong throw it out of orbit.
TEST(Flight, FailedFlightsEndCleanlyWithTheSummary) {
  struct Case {
    double F;
    const char* answers;
  };
  const Case cases[] = {{14e6, "\n10\n3\ny\n-1\n"}, {18e6, "\n80\n3\ny\n-1\n"},
                        {16e6, "\n2\n30\ny\n-1\n"}, {16e6, "\n2\n90\ny\n-1\n"},
                        {16e6, "\n2\n45\nn\n-1\n"}, {25e6, "\n10\n3\ny\n-1\n"}};
  std::size_t with_shutdowns = 0, with_all_four = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.F) + " N, answers " + ::testing::PrintToString(c.answers));
    Flight f(flat_profile(c.F), c.answers);
    f.expect_clean_end();
    EXPECT_LT(f.find("  SC_M    = "), f.lines.size());
    EXPECT_EQ(std::count(f.consts.begin(), f.consts.end(), '\n'), 7);

    // Engine lines: numbered from 1, each followed by its steps, between the
    // acceleration limit and the core cut-off.
    std::vector<std::string> ev = f.events();
    std::size_t k = std::find(ev.begin(), ev.end(), "Maximum acceleration reached!") - ev.begin();
    ASSERT_LT(k + 2, ev.size());
    k += 2;
    std::size_t n = 0;
    while (k + 1 < ev.size() && ev[k] == "Engine " + std::to_string(n + 1) + " cutoff!") {
      EXPECT_EQ(ev[k + 1], "#");
      k += 2;
      ++n;
    }
    ASSERT_LT(k, ev.size());
    EXPECT_EQ(ev[k], "Core Engine Cutoff!");
    EXPECT_EQ(f.count(" cutoff!\r\n"), n + 1);  // and the AJ10-190's
    if (n > 0) ++with_shutdowns;
    if (n == 4) ++with_all_four;
  }
  EXPECT_GE(with_shutdowns, 2u);
  EXPECT_GE(with_all_four, 1u);
}

// The bundled booster profile, with the answers the README walks through.
std::string bundled_profile() {
  std::ifstream f(std::string(ASCENT_SOURCE_DIR) + "/data/s1.dat", std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

TEST(BundledProfile, FlightReachesTheTargetOrbit) {
  Flight f(bundled_profile(), "\n36\n18\ny\n-1\n");
  f.expect_clean_end();
  std::vector<std::string> want = core_events();
  for (const std::string& e : transfer_tail()) want.push_back(e);
  expect_events(f.events(), want);
  expect_orbit_physics(f, 10);
}

TEST(BundledProfile, IterateModeSettlesOnAFlightToTheTargetOrbit) {
  Flight f(bundled_profile(), "i\n20\n25\ny\n-1\n");
  f.expect_clean_end();
  std::size_t passes = f.count("Core Engine Cutoff!");
  EXPECT_GT(passes, 1u);
  EXPECT_LT(passes, 49u);
  EXPECT_EQ(f.count("Maximum angle of attack (degrees)? "), 1u);
  EXPECT_EQ(f.count("AJ10-190 ignition!"), 1u);
  expect_orbit_physics(f, 10);
}

// The second bundled vehicle: four boosters, three core engines, a 350 km
// target, flown with the turn time and angle limit the README gives for it.
TEST(SecondVehicle, ReachesItsTargetOrbit) {
  const std::string dir = std::string(ASCENT_SOURCE_DIR) + "/vehicles/";
  std::ifstream p(dir + "tarvos3_boosters.dat", std::ios::binary);
  std::string profile((std::istreambuf_iterator<char>(p)), std::istreambuf_iterator<char>());
  Flight f(profile, "\n40\n18\ny\n-1\n", {"--vehicle", dir + "tarvos3.toml"});
  f.expect_clean_end();
  Upper u;
  u.h_target = 350000;
  u.M_above = 64076.4 - 5824.2;  // stack less fairing
  u.M_stage = u.M_above - 705;   // less the adaptor
  u.engine = "TV-16";
  expect_orbit_physics(f, 10, u);
  EXPECT_EQ(f.count("Tarvos 3 in Orbit!"), 1u);
}

}  // namespace
