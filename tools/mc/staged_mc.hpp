// The dispersion study of a staged vehicle: the keys of any of its stages
// scattered by a dispersions file, each run's vehicle read by the staged
// reader and flown as `ascent --vehicle` flies it; the runs' CSV, their
// spread, and the payload a share of them carries to the target orbit.
// Run r draws its values as a classic study's run r does: from the seed, r
// and the quantity's name, whatever the threads.
#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "footprint.hpp"
#include "mc_lib.hpp"
#include "staged_study.hpp"

namespace ascent::mc {

// The reader's rules for a dispersions file over a staged vehicle: a
// quantity is a number the description writes (its value is the nominal),
// and a value is one the reader takes on the vehicle described.
QuantityRules staged_rules(const study::StagedDescription& d);

struct StagedMc {
  const study::StagedDescription* desc = nullptr;
  McProblem draws;  // the seed, the runs and the dispersions (its vehicle is unused)
  std::vector<std::string> keys;  // the dispersed keys, in the file's order
  // With impact points asked for: the epoch that places them. Each run is
  // then flown recorded, as `ascent --vehicle --json` flies it, and its
  // dropped parts fall from the releases its flight recorded.
  const Epoch* impacts_at = nullptr;
};

struct StagedRun {
  std::uint64_t run = 0;
  std::vector<double> values;  // the drawn values, in the file's order
  std::string refused;         // the reader refused the drawn vehicle: not flown
  StagedResult flight;
  double payload = 0;          // kg, the payload it flew
  std::string csv;             // its CSV row, CR LF ended
  std::vector<ImpactPoint> impacts;  // with StagedMc::impacts_at: where its dropped parts came down
  bool interrupted = false;    // a signal came first: not flown
};

// Run `run` flown; with `payload` >= 0 its payload mass is that (the
// promise's trials), whatever the draw gave it.
StagedRun fly_staged_run(const StagedMc& p, std::uint64_t run, double payload = -1);

// A run of the given values (the study's draws, or a sensitivity's ends):
// `run` only labels its row.
StagedRun fly_staged_values(const StagedMc& p, std::uint64_t run, const std::vector<double>& values,
                            double payload = -1);

// Each dispersed key alone at its ends, -3 and +3 sigma (uniform: its
// bounds), as the classic study's tornado: ranked by the swing of the final
// mass, then of the final orbit. A signal stops it with Interrupted.
struct StagedSensitivity {
  std::string name;
  double low = 0, high = 0;
  StagedRun f_low, f_high;
};
struct StagedSensitivityStudy {
  StagedRun nominal;
  std::vector<StagedSensitivity> items;
};
StagedSensitivityStudy staged_sensitivity(const StagedMc& p, unsigned jobs);
// The nominal row, then a row per key in the ranking's order: key, low,
// high, final_mass_kg, hp_final_km and ha_final_km at each end (empty for an
// end the reader refused), reached_low, reached_high.
std::string staged_sensitivity_csv(const StagedSensitivityStudy& s);
std::string staged_tornado_text(const StagedSensitivityStudy& s);

// The runs of this shard (p.draws.shard of p.draws.shards; all of them in
// a study of one shard) on `jobs` threads, handed to `row` in run order.
void staged_monte_carlo(const StagedMc& p, unsigned jobs, const std::function<void(const StagedRun&)>& row,
                        const std::function<void(std::size_t)>& progress = {});

// "# ascent-mc study: ..." (what defines the study, the vehicle's digest
// of its text included), then the header: run, the keys, the staged
// flight's columns.
std::string staged_study_line(const StagedMc& p, const std::string& vehicle_text);
std::string staged_csv_header(const StagedMc& p);

// The spread over the runs flown: reached share with its Wilson interval,
// final mass over the runs that reached the target, and both final apsides.
struct StagedSummary {
  std::size_t runs = 0, flown = 0, reached = 0;
  double p_reached = 0, p_low = 0, p_high = 1;
  Spread mass_reached, hp_km, ha_km;
  // With impact points asked for: each dropped part's footprint.
  std::optional<std::vector<Footprint>> footprints;
  // With --promise: the payload (kg) a share `probability` of the runs
  // carries to the target orbit (search_mass over it, each run deciding a
  // mass by flying with that payload).
  bool promised = false;
  double probability = 0;
  std::size_t needed = 0;
  double payload_nominal = 0, payload = 0;
  std::size_t carrying = 0;
  double share = 0, low = 0, high = 1;
  std::size_t trials = 0, flights = 0;
  // km: with --promise-tolerance, a run carries the payload only with both
  // final apsides within it of the target's; 0: the flight's own reached.
  double tolerance_km = 0;
  std::optional<PromiseCheck> check;  // with --promise-check
};

// Built from the runs' CSV rows, whether flown here or read from shards
// being merged: a whole study and its merged shards summarise the same
// bytes, so they give the same numbers.
class StagedSummaryBuilder {
 public:
  // Takes the header row (without its CR LF); returns what is wrong with
  // it (not a staged study's runs file), or empty.
  std::string header(const std::string& line);
  // Takes one data row (without its CR LF); returns what is wrong, or empty.
  std::string add(const std::string& line);
  StagedSummary finish();

 private:
  std::vector<std::string> names_;
  std::size_t first_ = 0;  // the column of hp_final_km
  StagedSummary s_;
  std::vector<double> mass_, hp_, ha_;
};

// The payload promise. The study's own runs are its trial at the nominal
// payload when the payload is not dispersed. A run that carries M carries
// every lighter payload (its guided last stage cuts off with more
// propellant left), so a mass the runs' known outcomes decide is not flown.
// With `check`, every run is flown again at the answer and a kilogram more
// and held to what the search gave it there; where the order of the masses
// failed, the search is flown again, every run at every mass.
void staged_promise(const StagedMc& p, StagedSummary& s, double probability, double tolerance_km, bool check,
                    unsigned jobs,
                    const std::vector<char>& study_reached,
                    const std::function<void(std::size_t trial, double M, std::size_t done)>& progress = {});

std::string staged_summary_text(const StagedSummary& s);
std::string staged_summary_json(const StagedSummary& s, const std::string& study_line);

}  // namespace ascent::mc
