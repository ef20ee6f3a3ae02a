// A staged vehicle's run: `ascent --vehicle FILE` with a `[[stage]]`
// description flies at once (there is no turn time to ask for: the
// programme and the guidance are in the description) and writes its events
// by stage, its final orbit and its masses; with --json the same as JSON.
#pragma once
#include <string>

#include "phases/staged_flight.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

// The description at path, read once (a pipe reads only once): a staged
// vehicle into v (true), or a classic one into d (false). A file that cannot
// be read stops with the usual file codes, a bad description with
// err_description.
bool read_any_description(const std::string& path, StagedVehicle& v, Description& d);

// The text ascent writes for a staged flight.
std::string staged_report_text(const StagedVehicle& v, const StagedResult& r);

// The same as a JSON document.
std::string staged_report_json(const StagedVehicle& v, const StagedResult& r);

}  // namespace ascent
