#include "phases/mission_summary.hpp"

#include <cmath>

#include "phases/phase_support.hpp"

namespace ascent {

namespace {

double round_even(double x) { return std::nearbyint(x); }

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

void mission_summary(FlightContext& S, double m0_core, double dV3) {
  const FlightState& s = S.fs;
  const Description& d = *S.desc;
  SummaryMasses M = size_masses(s.Fst_max[3], m0_core, s.Mst[3], s.m0, dV3, d.mission.sizing, d.vehicle.upper);
  FlightEvent e;
  e.kind = EventKind::summary;
  e.masses = M;
  e.unusable = d.mission.sizing.unusable;
  e.Fst_max3 = s.Fst_max[3];
  e.t_Fst_max3 = s.t_Fst_max[3];
  e.F_lo = S.F_lo;
  e.a_lo = S.a_lo;
  e.M_lo = S.M_lo;
  announce(S, std::move(e));

  S.record.Mad = M.Mad;
  S.record.Mused = M.Mused;
  S.record.Mcut = M.Mcut;
  S.record.Msc = M.Msc;
  S.record.Mtop = M.Mtop;
}

}  // namespace ascent
