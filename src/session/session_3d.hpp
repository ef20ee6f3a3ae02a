// A staged vehicle flown in three dimensions ([model] dynamics = "3d"): the
// world its description and the launch time ask for, and its report as text
// and as JSON.
#pragma once
#include <string>

#include "phases/flight_3d.hpp"
#include "report/trajectory_export.hpp"

namespace ascent {

// The world of the description, the Earth turned to its angle at the epoch
// (UT1 - UTC = dut1 seconds).
World3d world_at(const StagedVehicle& v, const Epoch& epoch, double dut1);

std::string report_3d_text(const StagedVehicle& v, const Flight3dResult& r);
std::string report_3d_json(const StagedVehicle& v, const Flight3dResult& r);

}  // namespace ascent
