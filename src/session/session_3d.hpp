// A staged vehicle flown in three dimensions ([model] dynamics = "3d"): the
// world its description and the launch time ask for, and its report as text
// and as JSON.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "earth/mean_elements.hpp"
#include "earth/launch_window.hpp"

#include "phases/flight_3d.hpp"
#include "phases/flight_events.hpp"
#include "report/trajectory_export.hpp"

namespace ascent {

// The world of the description, the Earth turned to its angle at the epoch
// (UT1 - UTC = dut1 seconds).
World3d world_at(const StagedVehicle& v, const Epoch& epoch, double dut1);

// The mean elements of the final state (J2's short-period terms removed,
// over WGS 84), the node a right ascension as the osculating one's; none
// for a state that is not on a closed orbit.
std::optional<ClassicalElements> final_mean_elements(const Flight3dResult& r);

// The plane change (rad) the target node asks of a launch at the epoch:
// the angle from the target plane to the nearer plane of its inclination
// through the site at lift-off (earth/launch_window.hpp). None when the
// description leaves the node free.
std::optional<double> node_plane_change(const StagedVehicle& v, const Epoch& epoch, double dut1);

// The largest plane change (deg) a node may ask at lift-off without a
// warning. The guidance turns the plane on the way up by yawing the
// thrust, at a cost that grows about as the square of the angle: Corvane 2
// on its 400 km circle spends 1.4 t of its 3.9 t of spare propellant on
// 3 degrees, and comes down in its second stage above 5.4.
constexpr double plane_change_warning_deg = 3;

// A line for standard error when the plane change is above
// plane_change_warning_deg, naming it and the launch times nearest the epoch
// at which the site lies in the target plane; otherwise empty.
std::string node_warning(const StagedVehicle& v, const Epoch& epoch, double dut1, std::optional<double> change);

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

// A classic description's spacecraft as its sizing rule makes it from the
// flight (what the upper stage burnt, the core's propellant left, the
// largest load on the core's top); none for other vehicles or a flight that
// did not reach its orbit.
std::optional<SummaryMasses> classic_spacecraft(const StagedVehicle& v, const Flight3dResult& r);

std::string report_3d_text(const StagedVehicle& v, const Flight3dResult& r);
// With the plane change to the target node under plane_change_to_node_deg,
// when one is given; with `impacts` and `lines`, the planar staged flight's
// "impact_points", "instantaneous_impact_points" and "path" (without the
// thrust acceleration, which the 3-D flight does not hand out by step).
std::string report_3d_json(const StagedVehicle& v, const Flight3dResult& r,
                           std::optional<double> plane_change = std::nullopt, const Impacts* impacts = nullptr,
                           const std::vector<Line3d>* lines = nullptr);

}  // namespace ascent
