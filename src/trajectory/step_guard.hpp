// The observer that keeps a flight within bounds: it stops the flight when a
// signal asks the run to stop (SIGINT, SIGTERM, SIGHUP) and, when given a
// budget, after that many steps (tools that fly untrusted input), and counts
// the steps taken.
#pragma once
#include "io/interrupt.hpp"
#include "trajectory/step_record.hpp"

namespace ascent {

// Thrown when the budget runs out.
struct StepBudgetExhausted {};

class StepGuard final : public StepObserver {
 public:
  // Steps still allowed; negative: no limit.
  long long budget = -1;
  long long steps = 0;  // steps taken

  void on_step(const StepRecord& r) override {
    if (r.pad) return;
    check_interrupt();
    if (budget >= 0) {
      if (budget == 0) throw StepBudgetExhausted{};
      --budget;
    }
    ++steps;
  }
};

}  // namespace ascent
