#include "phases/mission_summary.hpp"

#include <cmath>

#include "phases/phase_support.hpp"

namespace ascent {

namespace {

double round_even(double x) { return std::nearbyint(x); }

std::string with_real(const char* head, double x, int w, int d, const char* tail) {
  std::string s = head;
  append_real(s, x, w, d);
  s += tail;
  return s;
}

}  // namespace

SummaryMasses size_masses(double Fst_max3, double m0_core, double Mst3, double m0, double dV3,
                          const Sizing& rules, const UpperStage& upper) {
  const double Munus = rules.unusable;
  SummaryMasses M;
  M.Mad = round_even(Fst_max3 * rules.adaptor_per_newton);
  // Core propellant left over counts as mass the vehicle could have carried.
  M.Mstack = round_even(m0_core + Mst3 - M.Mad);
  M.Mrcs = round_even(M.Mstack * rules.rcs_per_kg);
  M.Mused = round_even(upper.propellant_mass - m0);
  if (dV3 == 0) {
    M.Mres = 0;
  } else {
    // Propellant that gives the mass left after the burn another one per cent
    // of the burn's delta-V (rocket equation).
    M.Mres = round_even((M.Mstack - M.Mused - M.Mrcs) * (1 - std::exp(-rules.reserve_dv * dV3 / upper.exhaust_speed)));
  }
  M.Mtot = M.Mres + M.Mused + M.Mrcs + Munus;
  if (M.Mtot <= 0) M.Mtot = 1;  // keeps the power law defined
  M.Mdry = round_even(rules.dry_constant + rules.dry_coefficient * std::exp(rules.dry_exponent * std::log(M.Mtot)));
  M.Mcut = M.Mres + M.Mdry + M.Mrcs + Munus;
  M.Msc = M.Mstack - M.Mcut - M.Mused;
  M.Mtop = M.Mad + M.Mstack;
  return M;
}

std::string constants_file_text(const SummaryMasses& M, const Sizing& rules) {
  const std::string indent(27, ' ');
  std::string t;
  t += "  {Stage 3 constants updated from simulation}\r\n";
  t += with_real("  S3_Mi    =    ", M.Mad, 4, 0, "; {kg, adaptor mass}\r\n");
  t += with_real("  S3_Mp    =  ", M.Mused, 6, 0, "; {kg, propellant mass used, ");
  t += with_real("", M.Mtot, 1, 0, " kg total - ");
  t += with_real("", M.Mres, 1, 0, " kg reserve -\r\n");
  t += with_real(indent.c_str(), M.Mrcs, 1, 0, " kg RCS - ");
  t += std::to_string(rules.unusable) + " kg unusable}\r\n";
  t += with_real("  S3_Ms    =   ", M.Mcut, 5, 0, "; {kg, cutoff mass, ");
  t += with_real("", M.Mdry, 1, 0, " kg dry + ");
  t += with_real("", M.Mrcs, 1, 0, " kg RCS + ");
  t += with_real("", M.Mres, 1, 0, " kg reserve\r\n");
  t += indent + "+ " + std::to_string(rules.unusable) + " kg unusable}\r\n";
  t += with_real("  SC_M     =  ", M.Msc, 6, 0, "; {kg, Spacecraft mass}\r\n");
  return t;
}

void mission_summary(Session& S, double m0_core, double dV3) {
  const FlightState& s = S.fs;
  const Description& d = *S.desc;
  SummaryMasses M = size_masses(s.Fst_max[3], m0_core, s.Mst[3], s.m0, dV3, d.mission.sizing, d.vehicle.upper);
  Channel& out = *S.main;
  const char sq = static_cast<char>(S.ch_sq);

  out.line(with_real("Stage 3 Maximum force = ", s.Fst_max[3], 1, 0, " N at ") +
           real_text(s.t_Fst_max[3], 4, 2) + " s");
  out.line(with_real("Liftoff thrust = ", S.F_lo, 1, 0, " N at ") + real_text(S.a_lo, 5, 2) +
           " m/s" + sq + " for " + real_text(S.M_lo, 1, 0) + " kg");
  if (s.tofile) {
    out.line(with_real("Maximum dynamic pressure = ", s.Pqmax, 1, 0, " Pa at ") +
             real_text(s.t_Pqmax, 5, 2) + " s");
    out.line(with_real("Maximum acceleration = ", s.amax, 5, 2, " m/s") + sq + " at " +
             real_text(s.t_amax, 5, 2) + " s");
  }
  out.line(with_real("  S3_Mt   = ", M.Mtop, 7, 0, "; {kg, interstage and payload mass}"));
  out.line(with_real("  SC_M    = ", M.Msc, 7, 0, "; {kg, Spacecraft mass}"));
  out.end_line();

  std::string text = constants_file_text(M, d.mission.sizing);
  if (S.file_sink == FileSink::memory) {
    S.const_text = text;
  } else {
    Channel file;
    open_replacing_file(S, file, "const_n.pas");
    file.put(text);
    file.close();
  }

  S.record.Mad = M.Mad;
  S.record.Mused = M.Mused;
  S.record.Mcut = M.Mcut;
  S.record.Msc = M.Msc;
  S.record.Mtop = M.Mtop;
}

}  // namespace ascent
