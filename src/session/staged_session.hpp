// A staged vehicle's run: `ascent --vehicle FILE` with a `[[stage]]`
// description flies at once (there is no turn time to ask for: the
// programme and the guidance are in the description) and writes its events
// by stage, its final orbit and its masses; with --json the same as JSON.
#pragma once
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "phases/staged_flight.hpp"
#include "report/trajectory_export.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

// The description at path, read once (a pipe reads only once): a staged
// vehicle into v (true), or a classic one into d (false). A file that cannot
// be read stops with the usual file codes, a bad description with
// err_description.
bool read_any_description(const std::string& path, StagedVehicle& v, Description& d);

// A staged flight as the exports need it: its result, its path step by
// step with each event under its own name ("first stage: burn-out"), and
// the parts it dropped, each with the ballistic coefficient of its kind.
// `samples` thins the steps for the pictures: the first step at or after
// each whole second of flight, and the last.
class StagedSamples final : public StepObserver {
 public:
  void on_step(const StepRecord& r) override;
  std::vector<StepRecord> lines() const;

 private:
  std::vector<StepRecord> kept_;
  StepRecord last_;
  double next_ = 0;  // s
};
struct StagedFlown {
  StagedResult result;
  TrajectoryRecorder path;
  StagedSamples samples;
  std::vector<Release> releases;
};
StagedFlown fly_staged_recorded(const StagedVehicle& v);

// The parts a staged flight dropped, each with the ballistic coefficient of
// its kind: a booster group, a stage separated (with any group still on it),
// the fairing.
std::vector<Release> staged_releases(const StagedVehicle& v, const std::vector<StagedDrop>& drops);

// The text ascent writes for a staged flight.
std::string staged_report_text(const StagedVehicle& v, const StagedResult& r);

// The same as a JSON document; with `impacts`, where the dropped parts come
// down and the instantaneous impact points, under the classic flight's keys.
// With `path`, the flight's lines against time too (time, altitude, inertial
// speed, thrust acceleration, dynamic pressure, mass), for the pictures.
std::string staged_report_json(const StagedVehicle& v, const StagedResult& r, const Impacts* impacts = nullptr,
                               const std::vector<StepRecord>* path = nullptr);

// What the planar and the 3-D staged flight's JSON say alike: the events,
// the separations, and where parts come down.
nlohmann::ordered_json staged_events_json(const std::vector<StagedEvent>& events);
nlohmann::ordered_json staged_drops_json(const std::vector<StagedDrop>& drops);
void put_impacts_json(nlohmann::ordered_json& j, const Impacts& impacts);

}  // namespace ascent
