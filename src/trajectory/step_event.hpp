// A threshold of the flight as a signed function of the state: g is zero at
// the threshold and changes sign across it, positive on the far side (the
// pitch-over altitude: altitude minus that altitude; a cut-off: speed minus
// the speed to reach). Where g is zero or not a number belongs to one side
// or the other by the threshold's own comparison: `rule` says which. The
// state g reads is an evaluated one (speed, angle of attack and osculating
// orbit set), a step's end or a point of its continuous extension.
#pragma once
#include <cmath>
#include <utility>

#include "trajectory/flight_state.hpp"

namespace ascent {

enum class Crossing {
  // Passed where g > 0, and where g is not finite: a comparison the state
  // can no longer settle (a vehicle flown into the ground) ends the search.
  past_or_unsettled,
  // Passed where g >= 0 or g is not a number: a threshold met at equality.
  at_or_past,
};

inline bool passed_at(double g, Crossing rule) {
  return rule == Crossing::at_or_past ? !(g < 0) : (g > 0 || !std::isfinite(g));
}

template <class G>
struct Event {
  G g;  // double(const FlightState&)
  Crossing rule = Crossing::past_or_unsettled;

  bool passed(const FlightState& x) const { return passed_at(g(x), rule); }
};

template <class G>
Event<G> event(G g, Crossing rule = Crossing::past_or_unsettled) {
  return Event<G>{std::move(g), rule};
}

}  // namespace ascent
