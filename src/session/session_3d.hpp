// A staged vehicle flown in three dimensions ([model] dynamics = "3d"): the
// world its description and the launch time ask for, and its report as text
// and as JSON.
#pragma once
#include <optional>
#include <string>

#include "earth/mean_elements.hpp"

#include "phases/flight_3d.hpp"
#include "report/trajectory_export.hpp"

namespace ascent {

// The world of the description, the Earth turned to its angle at the epoch
// (UT1 - UTC = dut1 seconds).
World3d world_at(const StagedVehicle& v, const Epoch& epoch, double dut1);

// The mean elements of the final state (J2's short-period terms removed,
// over WGS 84), the node a right ascension as the osculating one's; none
// for a state that is not on a closed orbit.
std::optional<ClassicalElements> final_mean_elements(const Flight3dResult& r);

std::string report_3d_text(const StagedVehicle& v, const Flight3dResult& r);
std::string report_3d_json(const StagedVehicle& v, const Flight3dResult& r);

}  // namespace ascent
