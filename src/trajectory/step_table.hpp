#pragma once
#include <vector>

#include "io/channel.hpp"

namespace ascent {

// Where the trajectory step writes: the main output (the step table) and, in
// file mode, the four data files of time series.
struct StepOutputs {
  Channel* main = nullptr;
  Channel* speedfile = nullptr;
  Channel* heightfile = nullptr;
  Channel* accelfile = nullptr;
  Channel* dynpresfile = nullptr;
  // Steps still allowed before the run is cut short; negative: no limit.
  // Only tools that fly untrusted input (fuzzing) set it.
  long long step_budget = -1;
  // When set, the ten values of every table line, appended in column order as
  // the step computed them (tools that read the table as numbers, not text).
  std::vector<double>* rows = nullptr;
};

// Thrown by the step when step_budget runs out.
struct StepBudgetExhausted {};

// One line of the step table: t (s), a (m/s^2), vi (m/s), h0 (m), r0 (m), the
// three angles in degrees, q (Pa) and the total mass (kg). vi, h0 and r0 are
// rounded to integers, halves to even.
void write_table_line(Channel& main, double t, double a, double vi, double h0, double r0,
                      double alpha_deg, double beta_deg, double theta_deg, double q, double m);

// The same line to out.main, and its values to out.rows when set.
void write_table_line(StepOutputs& out, double t, double a, double vi, double h0, double r0,
                      double alpha_deg, double beta_deg, double theta_deg, double q, double m);

// One line to each data file (speed, height, acceleration, dynamic pressure),
// only when tofile is true.
void write_data_lines(StepOutputs& out, bool tofile, double t, double vi, double h0, double a,
                      double q);

}  // namespace ascent
