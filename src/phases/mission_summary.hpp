#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

// The masses sized from a flight, each a whole number of kilograms.
struct SummaryMasses {
  double Mad = 0;     // adaptor
  double Mstack = 0;  // third stage with spacecraft, without the adaptor
  double Mrcs = 0;    // RCS propellant
  double Mused = 0;   // propellant used by the burn
  double Mres = 0;    // propellant reserve
  double Mtot = 0;    // total third-stage propellant
  double Mdry = 0;    // dry mass of the third stage
  double Mcut = 0;    // cutoff mass
  double Msc = 0;     // spacecraft
  double Mtop = 0;    // interstage and payload mass
};

// Sizes the third stage and the spacecraft from the largest axial force at
// station 3 (Fst_max3), the core's remaining propellant, the mass above the
// core (Mst3), the third stage's remaining propellant (m0) and the burn's
// delta-V (dV3).
// The rules and the upper stage default to the built-in vehicle's.
SummaryMasses size_masses(double Fst_max3, double m0_core, double Mst3, double m0, double dV3,
                          const Sizing& rules = builtin_description().mission.sizing,
                          const UpperStage& upper = builtin_description().vehicle.upper);

// The seven lines of the constants file, each ended by CR LF.
std::string constants_file_text(const SummaryMasses& M, const Sizing& rules = builtin_description().mission.sizing);

// Writes the summary lines and the constants file "const_n.pas".
void mission_summary(Session& S, double m0_core, double dV3);

}  // namespace ascent
