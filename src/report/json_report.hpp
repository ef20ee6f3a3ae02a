// The session's flights as data, for programs: each flight's answers, its
// summary (the study tools' columns, valued as their rows read back) and its
// events with their times, lines and values, under the vehicle's name.
// `ascent --json FILE` writes it beside its usual outputs.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "phases/flight_context.hpp"
#include "report/text_report.hpp"
#include "report/trajectory_export.hpp"

namespace ascent {

// One impact point as the JSON documents give it: the part (none for the
// instantaneous point), the release time, the place and time of the fall
// (null where it does not come down), and the release state.
nlohmann::ordered_json impact_json(const ImpactPoint& p);

class JsonReport final : public StepObserver, public EventObserver {
 public:
  void on_step(const StepRecord& r) override {
    pass_.on_step(r);
    path_.on_step(r);
  }
  void on_event(const FlightEvent& e) override;

  // A flight has ended: its answers (as typed) and its summary join the
  // flights, with the events heard since the last one.
  void end_flight(const FlightContext& F, double tt, double alpha, bool transfer, bool iterate);

  // The epoch the flights' impact points are placed at (the trajectory's,
  // else 2027-01-01T00:00:00 UTC).
  void place_at(const Epoch& epoch) { epoch_ = epoch; }

  // The document: {"vehicle": ..., "flights": [...]}, one line, with a line end.
  std::string text(const std::string& vehicle) const;

 private:
  PassExtremes pass_;
  std::vector<std::string> events_;   // each a JSON object, of the flight under way
  std::vector<std::string> flights_;  // each a JSON object
  std::vector<std::string> lines_;
  TrajectoryRecorder path_;  // the flight as flown, for its impact points
  Epoch epoch_ = default_epoch_value();
  static Epoch default_epoch_value();
};

}  // namespace ascent
