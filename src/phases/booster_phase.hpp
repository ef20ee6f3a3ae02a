#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

void booster_phase(FlightContext& S);

}  // namespace ascent
