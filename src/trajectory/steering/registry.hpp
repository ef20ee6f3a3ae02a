// The steering laws the step knows, each by its class; the segment's mode
// picks one (each class names its mode). A new law is its file under
// steering/, its mode in Steering (segment.hpp) and its class here.
#pragma once
#include "trajectory/steering/guided_attitude.hpp"
#include "trajectory/steering/pitch_program.hpp"
#include "trajectory/steering/vacuum_attitude.hpp"
#include "trajectory/steering/vertical_acceleration.hpp"

namespace ascent::steering {

template <class... Law>
struct LawList {};

// The first is flown for a mode no law claims.
using Laws = LawList<PitchProgram, VerticalAcceleration, VacuumAttitude, GuidedAttitude>;

// Calls f with the law of `mode`, as its own class: the steps and the
// evaluations go through this one dispatch, each law's calls inlined (a
// step costs a few hundred nanoseconds, and calls through the interface at
// every stage would add a tenth to a flight).
template <class F, class First, class... Rest>
void with_law(Steering mode, F&& f, LawList<First, Rest...>) {
  if (!((mode == Rest::mode ? (f(Rest{}), true) : false) || ...)) f(First{});
}

template <class F>
void with_law(Steering mode, F&& f) {
  with_law(mode, f, Laws{});
}

}  // namespace ascent::steering
