// An event as its readers name it: the kind's name and the numbers it
// carries, each under a name with its unit (SI), for Python and the JSON
// report alike.
#pragma once
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "phases/flight_events.hpp"
#include "report/text_report.hpp"

namespace ascent {

using EventValue = std::variant<double, int, bool, std::string>;

const char* event_kind_name(EventKind k);

// The event's values; the summary also states the extremes `x` of the flight.
std::vector<std::pair<const char*, EventValue>> event_values(const FlightEvent& e, const Extremes& x);

}  // namespace ascent
