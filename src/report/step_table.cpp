#include "report/step_table.hpp"

#include <string>

#include "io/number_format.hpp"

namespace ascent {

namespace {

// A per-thread scratch line, so that formatting a step allocates nothing once
// it has grown.
std::string& scratch() {
  thread_local std::string s = [] {
    std::string r;
    r.reserve(512);
    return r;
  }();
  s.clear();
  return s;
}

void data_line(Channel& ch, double t, double y, int w, int d) {
  if (ch.discards()) return;
  std::string& s = scratch();
  append_real(s, t, 7, 2);
  append_real(s, y, w, d);
  s.append("\r\n");
  ch.put(s);
}

}  // namespace

void write_table_line(Channel& main, double t, double a, double vi, double h0, double r0,
                      double alpha_deg, double beta_deg, double theta_deg, double q, double m) {
  if (main.discards()) return;
  std::string& s = scratch();
  append_real(s, t, 7, 2);
  append_real(s, a, 6, 1);
  append_rounded(s, vi, 6);
  append_rounded(s, h0, 8);
  append_rounded(s, r0, 10);
  append_real(s, alpha_deg, 7, 2);
  append_real(s, beta_deg, 7, 2);
  append_real(s, theta_deg, 7, 2);
  append_real(s, q, 9, 1);
  append_real(s, m, 10, 1);
  s.append("\r\n");
  main.put(s);
}

void write_data_lines(const DataFiles& files, const StepRecord& r) {
  data_line(*files.speed, r.t, r.vi / 1000, 6, 3);
  data_line(*files.height, r.t, r.h0 / 1000, 9, 3);
  data_line(*files.accel, r.t, r.a, 8, 3);
  data_line(*files.dynpres, r.t, r.q / 1000, 9, 4);
}

}  // namespace ascent
