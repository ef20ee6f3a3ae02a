#include "report/json_report.hpp"

#include <cmath>
#include <nlohmann/json.hpp>

#include "report/event_values.hpp"
#include "report/flight_summary.hpp"

namespace ascent {

namespace {

// The report's lines are bytes of ISO 8859-1 (the degree and plus-minus
// signs); JSON text is UTF-8.
std::string utf8_of_latin1(const std::string& s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

}  // namespace

Epoch JsonReport::default_epoch_value() {
  Epoch e;
  (void)parse_epoch(default_epoch, e);
  return e;
}

namespace {

// A number of the impact points; NaN and infinities (no impact) are null.
nlohmann::ordered_json number(double x) { return std::isfinite(x) ? nlohmann::ordered_json(x) : nullptr; }

}  // namespace

nlohmann::ordered_json impact_json(const ImpactPoint& p) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  if (!p.part.empty()) j["part"] = p.part;
  j["t"] = p.t;
  j["impact_lat_deg"] = number(p.lat);
  j["impact_lon_deg"] = number(p.lon);
  j["fall_s"] = number(p.fall);
  if (!p.part.empty()) j["ballistic_coefficient"] = p.beta;
  j["release"] = {{"lat_deg", p.lat0}, {"lon_deg", p.lon0}, {"alt_m", p.alt0},
                  {"v_ned", {p.v_ned[0], p.v_ned[1], p.v_ned[2]}}};
  return j;
}

void JsonReport::on_event(const FlightEvent& e) {
  pass_.on_event(e);
  path_.on_event(e);
  if (e.kind == EventKind::pass_start) return;
  lines_.clear();
  event_lines(e, ReportStyle{}, pass_.x, lines_);
  nlohmann::json lines = nlohmann::json::array();
  for (const std::string& l : lines_) {
    if (!l.empty()) lines.push_back(utf8_of_latin1(l));
  }
  nlohmann::ordered_json values = nlohmann::ordered_json::object();
  for (const auto& [name, v] : event_values(e, pass_.x)) {
    std::visit([&, n = name](const auto& x) { values[n] = x; }, v);
  }
  nlohmann::ordered_json j = {{"t", e.t}, {"kind", event_kind_name(e.kind)}, {"lines", lines}, {"values", values}};
  events_.push_back(j.dump());
}

void JsonReport::end_flight(const FlightContext& F, double tt, double alpha, bool transfer, bool iterate) {
  const std::vector<SummaryNumber> numbers =
      summary_numbers(tt, alpha, iterate, true, F.record, pass_.x.Pqmax, pass_.x.amax);
  nlohmann::ordered_json summary = nlohmann::ordered_json::object();
  std::size_t k = 0;
  for (const std::string& name : summary_columns()) {
    if (name == "reached") {
      summary[name] = reached_targets(F.record, F.desc->mission.target.apogee_altitude);
    } else if (name == "status") {
      summary[name] = "ok";
    } else {
      const SummaryNumber& x = numbers.at(k++);
      summary[name] = x.whole ? std::nearbyint(x.value) : x.value;  // NaN and infinities: null
    }
  }
  nlohmann::ordered_json answers = {{"tt", tt}, {"alpha", alpha}, {"transfer", transfer}, {"iterate", iterate}};
  std::string events = "[";
  for (std::size_t i = 0; i < events_.size(); ++i) events += (i ? "," : "") + events_[i];
  events += "]";
  // Where the dropped parts come down, and the instantaneous impact point
  // along the way: keys of their own after the flight's others.
  const Impacts impacts = impact_points(path_, *F.desc, epoch_);
  nlohmann::ordered_json parts = nlohmann::ordered_json::array(), iip = nlohmann::ordered_json::array();
  for (const ImpactPoint& p : impacts.parts) parts.push_back(impact_json(p));
  for (const ImpactPoint& p : impacts.instantaneous) iip.push_back(impact_json(p));
  flights_.push_back("{\"answers\":" + answers.dump() + ",\"summary\":" + summary.dump() +
                     ",\"events\":" + events + ",\"impact_points\":" + parts.dump() +
                     ",\"instantaneous_impact_points\":" + iip.dump() + "}");
  events_.clear();
}

std::string JsonReport::text(const std::string& vehicle) const {
  std::string t = "{\"vehicle\":" + nlohmann::json(vehicle).dump() + ",\"flights\":[";
  for (std::size_t i = 0; i < flights_.size(); ++i) t += (i ? "," : "") + flights_[i];
  return t + "]}\n";
}

}  // namespace ascent
