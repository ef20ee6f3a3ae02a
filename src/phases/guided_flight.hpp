// Closed-loop flight of a burning stage: the guidance takes over, solves its
// steering every cycle and sets each step's attitude; a stage that runs out
// of propellant ends its burn there (StageDry is thrown after that last
// step, for the phase to end the burn).
#pragma once
#include "phases/flight_context.hpp"

namespace ascent {

struct StageDry {};

// The state on the orbit of perigee radius rp and apogee radius ra at radius
// r, climbing.
CutoffTarget orbit_point(double mu, double rp, double ra, double r);

// Makes the core stage (from booster separation) or the upper stage (from
// its ignition) a guided stage: its steps go through guided_step. The core
// waits for the dynamic pressure to fall below guidance.takeover_pressure;
// the upper stage is guided from its first step.
void start_guided_stage(FlightContext& S, GuidedStage stage);

// The guided stage's burn has ended: back to the phases' own steering.
void end_guided_stage(FlightContext& S);

}  // namespace ascent
