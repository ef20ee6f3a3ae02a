#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

// Sizes the third stage and the spacecraft from the largest axial force at
// station 3 (Fst_max3), the core's remaining propellant, the mass above the
// core (Mst3), the third stage's remaining propellant (m0) and the burn's
// delta-V (dV3).
// The rules and the upper stage default to the built-in vehicle's.
SummaryMasses size_masses(double Fst_max3, double m0_core, double Mst3, double m0, double dV3,
                          const Sizing& rules = builtin_description().mission.sizing,
                          const UpperStage& upper = builtin_description().vehicle.upper);

// Sizes the upper stage and the spacecraft from the flight, records the
// masses and announces them (the summary event).
void mission_summary(FlightContext& S, double m0_core, double dV3);

}  // namespace ascent
