// A staged vehicle flown in three dimensions ([model] dynamics = "3d"): the
// world its description and the launch time ask for, and its report as text
// and as JSON.
#pragma once
#include <optional>
#include <string>
#include <vector>

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

// A 3-D flight as the exports need it: its result, its path step by step
// with its events by name, the parts it dropped (with the ballistic
// coefficients of [impact]) and, for the pictures, its lines at the first
// step at or after each whole second of flight and the last.
struct Line3d {
  double t, altitude, speed, q, mass;  // s, m (geodetic), m/s (inertial), Pa, kg
};
struct Flown3d {
  Flight3dResult result;
  Path3d path;
  std::vector<Release> releases;
  std::vector<Line3d> lines;
};
Flown3d fly_3d_recorded(const StagedVehicle& v, const Epoch& epoch);

std::string report_3d_text(const StagedVehicle& v, const Flight3dResult& r);
// With `impacts` and `lines`, the planar staged flight's "impact_points",
// "instantaneous_impact_points" and "path" (without the thrust acceleration,
// which the 3-D flight does not hand out by step).
std::string report_3d_json(const StagedVehicle& v, const Flight3dResult& r, const Impacts* impacts = nullptr,
                           const std::vector<Line3d>* lines = nullptr);

}  // namespace ascent
