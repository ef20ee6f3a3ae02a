#include "report/flight_summary.hpp"

#include <cmath>

namespace ascent {

bool reached_targets(const FlightRecord& r, double h_target, double tolerance) {
  // Within the propellant loaded (the core borrowed none, the upper stage
  // burnt no more than it carries) and with a spacecraft to carry: a mass
  // that is a positive finite number.
  return std::fabs(r.hp_final - h_target) <= tolerance &&
         std::fabs(r.ha_final - h_target) <= tolerance && r.m0_core >= 0 && r.m0_upper >= 0 &&
         std::isfinite(r.Msc) && r.Msc > 0;
}

const std::vector<std::string>& summary_columns() {
  static const std::vector<std::string> names = {
      "tt",    "alpha", "tt_recommended", "hp_core_km", "ha_core_km", "core_propellant_left_kg",
      "s3_propellant_used_kg", "hp_final_km", "ha_final_km", "S3_Mi", "S3_Mp", "S3_Ms", "SC_M", "S3_Mt",
      "max_q_Pa", "max_accel_ms2", "reached", "status"};
  return names;
}

std::vector<SummaryNumber> summary_numbers(double tt, double alpha, bool iterate, bool ok, const FlightRecord& r,
                                           double Pqmax, double amax) {
  // In iterate mode the turn time is the one the series settled on and flew last.
  std::vector<SummaryNumber> v = {{iterate && ok ? r.tt_flown : tt, false}, {alpha, false}};
  if (!ok) {
    // A flight that stopped has no results.
    v.insert(v.end(), 14, SummaryNumber{std::nan(""), false});
    return v;
  }
  // The third stage's propellant used is what S3_Mp holds after a transfer;
  // without one the stage burnt nothing.
  double s3_used = r.transfer ? r.Mused : 0.0;
  v.insert(v.end(), {{r.tt_recommended, false},
                     {r.hp_core / 1000, false},
                     {r.ha_core / 1000, false},
                     {r.m0_core, true},
                     {s3_used, true},
                     {r.hp_final / 1000, false},
                     {r.ha_final / 1000, false},
                     {r.Mad, true},
                     {r.Mused, true},
                     {r.Mcut, true},
                     {r.Msc, true},
                     {r.Mtop, true},
                     {Pqmax, false},
                     {amax, false}});
  return v;
}

}  // namespace ascent
