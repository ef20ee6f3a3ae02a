#include "phases/mission_summary.hpp"
#include "report/text_report.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace ascent {
namespace {

const std::string blanks27(27, ' ');

// A session whose flight state holds the summary's inputs, writing into memory.
struct SummarySession {
  FlightContext S;
  TextReport report;
  SummarySession(double Fst_max3, double Mst3, double m0) {
    report.stdout_ch.open_memory();
    report.main = &report.stdout_ch;
    report.file_sink = FileSink::memory;
    report.style.sq = 0xFD;
    report.style.tofile = false;
    S.event_observers = {&report};
    S.fs.nst = 3;
    S.fs.Fst_max[3] = Fst_max3;
    S.fs.t_Fst_max[3] = 112.5;
    S.fs.Mst[3] = Mst3;
    S.fs.m0 = m0;
    S.F_lo = 39752567.4;
    S.a_lo = 14.567;
    S.M_lo = 2735709.6;
  }
  std::string run(double m0_core, double dV3) {
    mission_summary(S, m0_core, dV3);
    report.stdout_ch.flush();
    return report.stdout_ch.contents();
  }
};

void expect_masses(const SummaryMasses& M, double Mad, double Mstack, double Mrcs, double Mused,
                   double Mres, double Mtot, double Mdry, double Mcut, double Msc, double Mtop) {
  EXPECT_EQ(M.Mad, Mad);
  EXPECT_EQ(M.Mstack, Mstack);
  EXPECT_EQ(M.Mrcs, Mrcs);
  EXPECT_EQ(M.Mused, Mused);
  EXPECT_EQ(M.Mres, Mres);
  EXPECT_EQ(M.Mtot, Mtot);
  EXPECT_EQ(M.Mdry, Mdry);
  EXPECT_EQ(M.Mcut, Mcut);
  EXPECT_EQ(M.Msc, Msc);
  EXPECT_EQ(M.Mtop, Mtop);
}

// Fst_max3 = 3000000 N, m0_core = 5000 kg, Mst3 = 97087 kg, m0 = 274 kg, dV3 = 100 m/s.
TEST(MissionSummary, WorkedExampleOfATransfer) {
  SummaryMasses M = size_masses(3000000, 5000, 97087, 274, 100);
  expect_masses(M, 925, 101162, 41, 3000, 32, 3096, 1171, 1267, 96895, 102087);
  EXPECT_EQ(constants_file_text(M),
            "  {Stage 3 constants updated from simulation}\r\n"
            "  S3_Mi    =     925; {kg, adaptor mass}\r\n"
            "  S3_Mp    =    3000; {kg, propellant mass used, 3096 kg total - 32 kg reserve -\r\n" +
                blanks27 + "41 kg RCS - 23 kg unusable}\r\n" +
                "  S3_Ms    =    1267; {kg, cutoff mass, 1171 kg dry + 41 kg RCS + 32 kg reserve\r\n" +
                blanks27 + "+ 23 kg unusable}\r\n" +
                "  SC_M     =   96895; {kg, Spacecraft mass}\r\n");

  SummarySession ss(3000000, 97087, 274);
  std::string out = ss.run(5000, 100);
  EXPECT_EQ(out,
            "Stage 3 Maximum force = 3000000 N at 112.50 s\r\n"
            "Liftoff thrust = 39752567 N at 14.57 m/s\xFD for 2735710 kg\r\n"
            "  S3_Mt   =  102087; {kg, interstage and payload mass}\r\n"
            "  SC_M    =   96895; {kg, Spacecraft mass}\r\n"
            "\r\n");
  EXPECT_EQ(ss.report.const_text, constants_file_text(M));
}

// The full load burnt, no core propellant left: the masses add up to Mst3.
TEST(MissionSummary, WorkedExampleWithTheWholeLoadBurnt) {
  SummaryMasses M = size_masses(3809000, 0, 97087, 0, 106);
  expect_masses(M, 1175, 95912, 39, 3274, 32, 3368, 1248, 1342, 91296, 97087);
  EXPECT_EQ(M.Mused + M.Mcut + M.Msc, M.Mstack);
  EXPECT_EQ(M.Mad + M.Mused + M.Mcut + M.Msc, 97087);

  SummarySession ss(3809000, 97087, 0);
  std::string out = ss.run(0, 106);
  EXPECT_NE(out.find("\r\n  S3_Mt   =   97087; {kg, interstage and payload mass}\r\n"
                     "  SC_M    =   91296; {kg, Spacecraft mass}\r\n\r\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(ss.report.const_text,
            "  {Stage 3 constants updated from simulation}\r\n"
            "  S3_Mi    =    1175; {kg, adaptor mass}\r\n"
            "  S3_Mp    =    3274; {kg, propellant mass used, 3368 kg total - 32 kg reserve -\r\n" +
                blanks27 + "39 kg RCS - 23 kg unusable}\r\n" +
                "  S3_Ms    =    1342; {kg, cutoff mass, 1248 kg dry + 39 kg RCS + 32 kg reserve\r\n" +
                blanks27 + "+ 23 kg unusable}\r\n" + "  SC_M     =   91296; {kg, Spacecraft mass}\r\n");
}

// A declined transfer: dV3 is exactly 0, m0 still holds the core's remainder,
// and the negative total is replaced by 1 before the power law.
TEST(MissionSummary, WorkedExampleOfADeclinedTransfer) {
  SummaryMasses M = size_masses(3000000, 5000, 97087, 5000, 0);
  expect_masses(M, 925, 101162, 41, -1726, 0, 1, 136, 200, 102688, 102087);

  SummarySession ss(3000000, 97087, 5000);
  std::string out = ss.run(5000, 0);
  EXPECT_NE(out.find("\r\n  S3_Mt   =  102087; {kg, interstage and payload mass}\r\n"
                     "  SC_M    =  102688; {kg, Spacecraft mass}\r\n\r\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(ss.report.const_text,
            "  {Stage 3 constants updated from simulation}\r\n"
            "  S3_Mi    =     925; {kg, adaptor mass}\r\n"
            "  S3_Mp    =   -1726; {kg, propellant mass used, 1 kg total - 0 kg reserve -\r\n" +
                blanks27 + "41 kg RCS - 23 kg unusable}\r\n" +
                "  S3_Ms    =     200; {kg, cutoff mass, 136 kg dry + 41 kg RCS + 0 kg reserve\r\n" +
                blanks27 + "+ 23 kg unusable}\r\n" + "  SC_M     =  102688; {kg, Spacecraft mass}\r\n");
}

TEST(MissionSummary, FileModeAddsTheSessionExtremesAndWideValuesTakeTheirRoom) {
  SummarySession ss(3000000, 97087, 274);
  ss.report.style.tofile = true;
  ss.report.style.sq = 0xB2;
  ss.S.fs.t_Fst_max[3] = 0;
  ss.report.extremes.Pqmax = 33456.7;
  ss.report.extremes.t_Pqmax = 61.234;
  ss.report.extremes.amax = 39.2349;
  ss.report.extremes.t_amax = 445.5;
  std::string out = ss.run(5000, 100);
  EXPECT_EQ(out.substr(0, out.find("  S3_Mt")),
            "Stage 3 Maximum force = 3000000 N at 0.00 s\r\n"
            "Liftoff thrust = 39752567 N at 14.57 m/s\xB2 for 2735710 kg\r\n"
            "Maximum dynamic pressure = 33457 Pa at 61.23 s\r\n"
            "Maximum acceleration = 39.23 m/s\xB2 at 445.50 s\r\n");

  // A spacecraft of over a million kilograms (1239387 kg above the core, the
  // third stage's 3000 kg burnt) pushes the semicolon one column right.
  SummaryMasses M = size_masses(0, 0, 1239387, 274, 0);
  EXPECT_EQ(M.Msc, 1234567);
  std::string text = constants_file_text(M);
  EXPECT_EQ(text.substr(text.rfind("  SC_M")), "  SC_M     =  1234567; {kg, Spacecraft mass}\r\n");
}

// The lines a reader takes at their word: a speed missing at burn-out that
// is none (or is past the cutoff) and values that are no number are said as
// such, never "-0.0 m/s short" or "nan Pa".
TEST(EventLines, SayWhatTheNumbersMean) {
  struct Case {
    EventKind kind;
    double value;
    bool in_orbit;
    const char* line;
  };
  const Case cases[] = {
      {EventKind::propellant_depleted, 12.34, false, "Propellant depleted! The upper stage burns out 12.3 m/s short of its cutoff."},
      {EventKind::propellant_depleted, -0.03, true, "Propellant depleted! The upper stage burns out as it reaches its cutoff."},
      {EventKind::propellant_depleted, 0.0, true, "Propellant depleted! The upper stage burns out as it reaches its cutoff."},
      {EventKind::propellant_depleted, -3.21, true, "Propellant depleted! The upper stage burns out 3.2 m/s past its cutoff."},
      {EventKind::propellant_depleted, NAN, false, "Propellant depleted! The upper stage burns out."},
      {EventKind::guidance_takeover, 985.4, false, "Guidance takes over the upper stage at 985 Pa."},
      {EventKind::guidance_takeover, NAN, false, "Guidance takes over the upper stage."},
      {EventKind::verdict, 4599.7, true, "Orvalon 5 in Orbit! Remaining propellant = 4600 kg."},
      {EventKind::verdict, NAN, false, "Orvalon 5 not in Orbit! Remaining propellant unknown: the flight's state is no number."},
  };
  for (const Case& c : cases) {
    FlightEvent e;
    e.kind = c.kind;
    e.value = c.value;
    e.in_orbit = c.in_orbit;
    e.name = c.kind == EventKind::verdict ? "Orvalon 5" : "upper";
    std::vector<std::string> lines;
    event_lines(e, ReportStyle{}, Extremes{}, lines);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), c.line);
  }
}

}  // namespace
}  // namespace ascent
