// One flight's summary as the study tools write a flight's row and `ascent
// --json` writes its flights: the columns' names and values, and whether
// the flight reached its targets.
#pragma once
#include <string>
#include <vector>

#include "phases/flight_context.hpp"

namespace ascent {

// m, the band around the target altitude that the final apsides must lie in.
constexpr double reached_tolerance = 10000.0;

// The flight reached its targets: final perigee and apogee within
// `tolerance` of the target altitude, no propellant borrowed from the core
// stage, no more burnt by the upper stage than it loaded, a spacecraft to
// carry (a mass that is a positive finite number).
bool reached_targets(const FlightRecord& r, double h_target, double tolerance = reached_tolerance);

// The columns, in order: the number columns, then reached and status.
const std::vector<std::string>& summary_columns();

// The number columns' values, and whether a row writes them to the whole
// kilogram (rounded halves to even, as the row's digits read back) or
// exactly. `tt` is the turn time typed; in iterate mode the column holds the
// one the series settled on. A flight that stopped has NaN after its answers.
struct SummaryNumber {
  double value;
  bool whole;
};
std::vector<SummaryNumber> summary_numbers(double tt, double alpha, bool iterate, bool ok, const FlightRecord& r,
                                           double Pqmax, double amax);

}  // namespace ascent
