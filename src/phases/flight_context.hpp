// What the phases fly on: the flight state, the turn-time loop, the vehicle
// and its profile, what the flight established, and those who follow it (the
// step observers and the event observers). The phases neither ask nor print:
// the session (src/session) asks the questions, the reports (src/report)
// write what the observers hear.
#pragma once
#include <cstdint>
#include <string>

#include "phases/flight_events.hpp"
#include "trajectory/drag.hpp"
#include "trajectory/flight_state.hpp"
#include "trajectory/guidance.hpp"
#include "trajectory/step_record.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

struct BoosterProfile;

// What one flight established, kept for tools that compare many flights.
struct FlightRecord {
  double tt_flown = 0;     // s, turn time of the last booster pass
  double hp_core = 0;      // m, perigee at core separation
  double ha_core = 0;      // m, apogee at core separation
  double m0_core = 0;      // kg, core propellant left at cut-off
  double dV3 = 0;          // m/s, delta-V of the third-stage burn
  double m0_upper = 0;     // kg, upper-stage propellant left at cut-off (negative: burnt beyond its load)
  double hp_final = 0;     // m, perigee at the end of the flight
  double ha_final = 0;     // m, apogee at the end of the flight
  double Mad = 0, Mused = 0, Mcut = 0, Msc = 0, Mtop = 0;  // kg, the sized masses
  double tt_recommended = 0;  // s, turn time the last pass recommended
  bool transfer = false;   // the third stage flew
  int passes = 0;          // booster-and-core passes of the series
  bool alpha_limited = false;  // the angle-of-attack limit held the thrust at least once
  bool core_dry = false;   // closed loop: the core ran out of propellant before its cut-off
  bool upper_dry = false;  // closed loop: the upper stage ran out before its cut-off
};

// Which stage the closed-loop guidance flies, and where it stands.
enum class GuidedStage { none, core, upper };

struct GuidanceState {
  GuidedStage stage = GuidedStage::none;  // the stage burning under closed loop (none: open loop, or coasting)
  bool engaged = false;    // guidance steers the stage
  bool converged = false;  // two successive solutions agree on the cut-off time
  bool holding = false;    // close to cut-off: the last solution is held
  double interval = 0;     // s, from the last solution to the next (converged: may exceed the cycle)
  CutoffTarget target;
  ThrustModel thrust{1, 1, 0};
  GuidanceSolution solution;
};

struct FlightContext {
  FlightState fs;

  // Turn-time loop.
  double tt = 0;       // s, turn time of the flight being flown
  double tt_prev = 0;  // s, turn time of the previous pass (0: no history)
  double hp_prev = 0;  // m, perigee of the previous pass (0: no history)
  std::int16_t iter = 1;
  bool iterating = false;

  // Values the booster phase leaves for the summary.
  double M_lo = 0;     // kg, ignition mass
  double F_lo = 0;     // N, liftoff thrust
  double a_lo = 0;     // m/s^2, liftoff thrust acceleration
  double h_pitch = 0;  // m, altitude that ends the vertical rise

  // The vehicle and its mission, and its drag law made ready for the step.
  const Description* desc = &builtin_description();
  DragTable drag_table;
  Environment environment;  // the Earth and the air it describes

  // Where the booster profile comes from: the shared parsed profile when
  // set, else the text when set, else the file.
  std::string profile_path = "s1.dat";
  const BoosterProfile* profile = nullptr;
  const std::string* profile_text = nullptr;

  FlightRecord record;
  GuidanceState guidance;

  // Those who follow the flight, in the order they hear it.
  StepObservers step_observers;
  EventObservers event_observers;

  FlightContext() = default;
  FlightContext(const FlightContext&) = delete;
  FlightContext& operator=(const FlightContext&) = delete;
};

// Announces an event at the time of the last step.
inline void announce(FlightContext& F, FlightEvent e) {
  e.t = F.fs.t;
  for (EventObserver* o : F.event_observers) o->on_event(e);
}

inline void announce(FlightContext& F, EventKind kind, double value = 0) {
  FlightEvent e;
  e.kind = kind;
  e.value = value;
  announce(F, std::move(e));
}

}  // namespace ascent
