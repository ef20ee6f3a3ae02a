// The recorder of the step table as numbers, for readers that want the
// values rather than the text (Python, the tests): the ten values of every
// table line, appended in column order t, a, vi, h0, r0, alpha, beta, theta,
// Pq, m.
#pragma once
#include <vector>

#include "trajectory/step_record.hpp"

namespace ascent {

class TableRecorder final : public StepObserver {
 public:
  explicit TableRecorder(std::vector<double>& rows) : rows_(rows) {}
  void on_step(const StepRecord& r) override {
    rows_.insert(rows_.end(), {r.t, r.a, r.vi, r.h0, r.r0, r.alpha_deg, r.beta_deg, r.theta_deg, r.q, r.m});
  }

 private:
  std::vector<double>& rows_;
};

}  // namespace ascent
