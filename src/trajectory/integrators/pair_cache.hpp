// What the adaptive integrator (integrators/dormand_prince.hpp) keeps
// between the steps of a flight: its last solution and its proposal for the
// next sub-step. Kept with the flight it belongs to, beside the state, so
// that a copy of a flight (a trial step, a bisection) flies on from it as
// the flight itself would.
#pragma once
#include "trajectory/segment.hpp"
#include "trajectory/state.hpp"

namespace ascent {

// The last solution: from t0 to t1 (equal: a point, where a step landed),
// its end state and the rates there, the coefficients of its continuous
// extension, the segment it was flown under and the state last handed to
// the phase. While the phase changes neither that state nor its segment,
// its next steps are read off this solution, carried on in long steps,
// instead of flown anew.
struct PairCache {
  bool kept = false;
  double t0 = 0, t1 = 0;
  StateVector y0{}, y1{}, k1{};
  std::array<StateVector, 4> dense{};
  Segment segment;
  StateVector handed{};
  double t_handed = 0;
  double h = 0;  // s, the pair's proposal for its next sub-step (0: none yet)

  // Forgets the solution and the proposal: the next step starts afresh.
  void clear() {
    kept = false;
    h = 0;
  }

  // The state at time t on the solution, t within [t0, t1]: its ends as they
  // are, between them the continuous extension of order four (Hairer,
  // Norsett and Wanner, Solving Ordinary Differential Equations I, section
  // II.6): at the fraction u of the step,
  //   y(u) = y0 + u (r1 + (1 - u) (r2 + u (r3 + (1 - u) r4))).
  StateVector at(double t) const {
    if (t == t1) return y1;
    if (t == t0) return y0;
    const double u = (t - t0) / (t1 - t0);
    const double w = 1 - u;
    StateVector y;
    for (std::size_t i = 0; i < y.size(); ++i) {
      y[i] = y0[i] + u * (dense[0][i] + w * (dense[1][i] + u * (dense[2][i] + w * dense[3][i])));
    }
    return y;
  }
};

}  // namespace ascent
