// What ascent-control and ascent.optimal_control report, built once for
// both: the problem (built in or from a description, with the vehicle's
// own guided flight where it has one), its optimum and replay, and the
// results as JSON, as the steering CSV and as the tool's text.
#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

#include "control.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent::control {

// The turn time and angle-of-attack limit a classic description's own
// flight is flown at, beside the optimum.
struct ClassicAnswers {
  double tt = 36;     // s
  double alpha = 18;  // deg
  // The open-loop programme's best turn (ascent-optimize's), flown with the
  // guidance off for the open-loop gap; 0: not flown.
  double open_tt = 0;     // s
  double open_alpha = 0;  // deg
};

struct Study {
  Problem problem;
  // A classic description and its boosters' profile: its problem is built
  // again wherever the optimum puts the core's cut-off.
  std::optional<Description> classic;
  BoosterProfile profile;
  std::string objective = "final mass";
  std::optional<double> guided;     // kg, the guided flight's final mass, where it reached the target
  std::optional<double> open_loop;  // kg, the open-loop optimum's, where the vehicle has one
  std::string guided_note;          // why there is no guided value, where there is none
  std::string open_loop_note;       // why there is no open-loop value, where one was asked for
  Solution solution;
  Replay replay;
};

// The study of a built-in problem (delta3); another name stops with exit_usage.
Study builtin_study(const std::string& name);
// The study of the vehicle described in the file at path: its problem, and
// its guided flight flown (which also gives the solver its first guess);
// rise false leaves the description's vertical rise out of the problem.
Study vehicle_study(const std::string& path, bool rise = true, const ClassicAnswers& answers = {});
// The study of a classic description: its own flight (guided or open-loop,
// as it says) flown at the answers, and the problem of its spacecraft's mass.
Study classic_study(const Description& d, const BoosterProfile& profile, const ClassicAnswers& answers);
// The same for a staged vehicle already read and checked.
Study vehicle_study(const StagedVehicle& v, bool rise = true);

// Solves the study's problem with every phase's mesh refined mesh times and
// replays the optimum; no optimum stops with exit_no_orbit.
void solve_study(Study& s, int mesh);

// The path limits asked for on the command line or from Python: the
// dynamic pressure (Pa) and its product with the angle of attack (Pa deg);
// 0: none. A negative or non-finite limit stops with exit_usage.
void set_limits(Study& s, double q_max, double qalpha_max_deg);

nlohmann::ordered_json study_json(const Study& s);
std::string steering_csv(const Study& s);
std::string study_text(const Study& s, bool with_time);

}  // namespace ascent::control
