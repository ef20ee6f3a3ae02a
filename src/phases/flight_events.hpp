// What a flight announces, as values: the kind of event, the time of the
// step it came after and the numbers it carries. Who prints, records or
// counts them is the observers' business (src/report has the text ascent
// writes).
#pragma once
#include <string>
#include <vector>

namespace ascent {

// The masses sized from a flight, each a whole number of kilograms.
struct SummaryMasses {
  double Mad = 0;     // adaptor
  double Mstack = 0;  // third stage with spacecraft, without the adaptor
  double Mrcs = 0;    // RCS propellant
  double Mused = 0;   // propellant used by the burn
  double Mres = 0;    // propellant reserve
  double Mtot = 0;    // total third-stage propellant
  double Mdry = 0;    // dry mass of the third stage
  double Mcut = 0;    // cutoff mass
  double Msc = 0;     // spacecraft
  double Mtop = 0;    // interstage and payload mass
};

enum class EventKind {
  pass_start,             // a booster-and-core pass begins (a series flies several)
  profile_spacing,        // value: the longest profile interval the pitch manoeuvres allow (s)
  pitch_over,             // the vertical rise ends
  end_turn,               // the pitch-back ends: the gravity turn begins
  booster_separation,     // value: one booster's unburnt propellant (kg)
  fairing_jettison,
  acceleration_limit,     // the core reaches the acceleration limit and throttles
  engine_cutoff,          // value: the number of the core engine shut down
  core_cutoff,
  core_separation,        // value: delta-V from thrust alone since liftoff (m/s)
  orbit,                  // hp, ha: the osculating orbit's perigee and apogee altitudes (m)
  recommended_turn_time,  // value: the turn time the pass recommends (s)
  upper_ignition,         // name: the upper stage's engine
  upper_cutoff,           // name: the upper stage's engine
  upper_delta_v,          // value: delta-V of the upper stage's burn (m/s)
  verdict,                // name: the vehicle; tt, alpha_max (rad), in_orbit, value: core propellant left (kg)
  total_delta_v,          // value: delta-V from thrust alone since liftoff (m/s)
  summary,                // the sizing: masses, and the figures below
  guidance_takeover,      // closed loop: name: the stage ("core", "upper"); value: dynamic pressure (Pa)
  guidance_converged,     // closed loop: name: the stage; value: time to go to its cut-off (s)
  propellant_depleted,    // closed loop: name: the stage that ran dry; value: its speed short of the cut-off (m/s)
};

struct FlightEvent {
  EventKind kind = EventKind::pass_start;
  double t = 0;        // s, time of the step the event came after
  double value = 0;    // the event's one number, as its kind says
  std::string name;    // the engine's or the vehicle's name
  double hp = 0, ha = 0;           // m, orbit and verdict
  double tt = 0, alpha_max = 0;    // s, rad: verdict
  bool in_orbit = false;           // verdict
  // summary
  SummaryMasses masses;
  int unusable = 0;                // kg, unusable propellant (sizing.unusable)
  double Fst_max3 = 0, t_Fst_max3 = 0;  // N, s: largest axial force on the core's top
  double F_lo = 0, a_lo = 0, M_lo = 0;  // N, m/s^2, kg: liftoff thrust, its acceleration, ignition mass
};

class EventObserver {
 public:
  virtual ~EventObserver() = default;
  virtual void on_event(const FlightEvent& e) = 0;
};

using EventObservers = std::vector<EventObserver*>;

}  // namespace ascent
