// The step table and the data files as ascent writes them: one line per step.
#pragma once
#include "io/channel.hpp"
#include "trajectory/step_record.hpp"

namespace ascent {

// One line of the step table: t (s), a (m/s^2), vi (m/s), h0 (m), r0 (m), the
// three angles in degrees, q (Pa) and the total mass (kg). vi, h0 and r0 are
// rounded to integers, halves to even.
void write_table_line(Channel& main, double t, double a, double vi, double h0, double r0,
                      double alpha_deg, double beta_deg, double theta_deg, double q, double m);

inline void write_table_line(Channel& main, const StepRecord& r) {
  write_table_line(main, r.t, r.a, r.vi, r.h0, r.r0, r.alpha_deg, r.beta_deg, r.theta_deg, r.q, r.m);
}

// The four data files of time series: speed (km/s), height (km), thrust
// acceleration (m/s^2) and dynamic pressure (kPa).
struct DataFiles {
  Channel* speed = nullptr;
  Channel* height = nullptr;
  Channel* accel = nullptr;
  Channel* dynpres = nullptr;
};

// One line to each data file.
void write_data_lines(const DataFiles& files, const StepRecord& r);

}  // namespace ascent
