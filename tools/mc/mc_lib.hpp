// The dispersion study of ascent-mc: many copies of one vehicle, each with
// its quantities drawn from their distributions, flown with the same answers;
// one CSV row per run in run order, and the spread of the results.
//
// Run i's draws come from a counter-based generator keyed by the seed, the
// run number and the quantity's name, so run i is the same vehicle however
// many threads, shards or machines fly the study.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "footprint.hpp"
#include "io/exit_codes.hpp"
#include "report/flight_summary.hpp"
#include "session/flight.hpp"
#include "vehicle/keys.hpp"

namespace ascent::mc {

// Largest study. The quantiles need the values: the summary keeps six
// doubles per run (48 bytes: SC_M, both apsides, the core propellant, and
// SC_M twice more for the promised masses), 480 MB at this size; everything
// else, the promise's trials too, is flat in the number of runs.
constexpr std::size_t max_runs = 10000000;

// ---------------------------------------------------------------- draws

// SplitMix64's finaliser: a bijection of 64-bit words that scatters every
// input bit over the whole output.
std::uint64_t mix64(std::uint64_t z);

// FNV-1a hash of a quantity's name: its stream of draws does not move when
// other quantities are added to or removed from a file.
std::uint64_t name_hash(const std::string& name);

// The j-th 64 random bits of run `run` for the quantity hashed `quantity`:
// a pure function of its arguments (no state, no order of generation).
std::uint64_t draw_bits(std::uint64_t seed, std::uint64_t run, std::uint64_t quantity, unsigned j);

// A uniform number in the open interval (0, 1) from 64 bits: the top 53 bits
// and a half, scaled by 2^-53.
double unit_open(std::uint64_t bits);

// A standard normal number from two uniform ones (Box-Muller, the cosine
// branch): sqrt(-2 ln u1) cos(2 pi u2).
double box_muller(double u1, double u2);

// ---------------------------------------------------------------- dispersions

enum class Distribution {
  normal,   // spread is three standard deviations
  uniform,  // spread is the half-width
};

// What a dispersion scatters: a key of the description, or one of the three
// factors that are not description keys (nominal 1).
enum class DispersedKind { key, thrust_scale, time_scale, density_scale };

struct Dispersion {
  std::string name;                // the key's name, or profile.thrust_scale, ...
  DispersedKind target = DispersedKind::key;
  const Key* key = nullptr;        // for DispersedKind::key
  Distribution distribution = Distribution::normal;
  bool relative = true;            // spread is a fraction of the nominal value
  double spread = 0;               // 3 sigma or half-width (absolute: in the key's unit)
  double nominal = 1;              // the undispersed value
  std::uint64_t stream = 0;        // name_hash(name)
};

// Names of the three factors that are not description keys.
constexpr const char* thrust_scale_name = "profile.thrust_scale";
constexpr const char* time_scale_name = "profile.time_scale";
constexpr const char* density_scale_name = "air.density_scale";

// A dispersions file that cannot be used: where and what.
struct DispersionError {
  std::string file;
  int line = 0, column = 0;
  std::string key;   // the quantity (or the file's own key) it is about
  std::string what;
  std::string message() const;  // FILE:LINE:COLUMN: key: what
};

// Parses a dispersions file's text against the nominal description (each
// spread is checked against the key's range at the nominal value). Throws
// DispersionError.
std::vector<Dispersion> parse_dispersions(const std::string& text, const std::string& file,
                                          const Description& nominal);

// What a dispersions file's keys mean for the vehicle it scatters: a
// quantity's nominal value (or why it cannot be dispersed), and whether a
// value is one it may take (empty: it may). The classic description's are
// its key table's; a staged vehicle's are its reader's.
struct QuantityRules {
  std::function<std::string(const std::string& name, double& nominal)> nominal;
  std::function<std::string(const std::string& name, double value)> check;
  bool factors = true;  // profile.thrust_scale, profile.time_scale and air.density_scale may scatter
};
std::vector<Dispersion> parse_dispersions(const std::string& text, const std::string& file,
                                          const QuantityRules& rules);

// Reads and parses a file (open and read checked: FatalError).
std::vector<Dispersion> read_dispersions(const std::string& path, const Description& nominal);

// The value of one quantity for a standard deviate x (normal: x standard
// deviations; uniform: x in [-1, 1] of the half-width). x = 0 gives the
// nominal value exactly.
double dispersed_value(const Dispersion& d, double x);

// The deviate of run `run` for quantity d (normal: standard normal; uniform:
// in (-1, 1)).
double deviate(const Dispersion& d, std::uint64_t seed, std::uint64_t run);

// ---------------------------------------------------------------- a study

struct McProblem {
  const Description* desc = &builtin_description();  // the nominal vehicle
  const BoosterProfile* profile = nullptr;            // the nominal profile, shared
  FlightAnswers answers;                              // the same for every run
  std::vector<Dispersion> dispersions;
  std::uint64_t seed = 1;
  std::size_t runs = 0;     // runs 1 to runs
  unsigned shard = 1;       // this shard, 1 to shards: runs r with (r - 1) % shards == shard - 1
  unsigned shards = 1;
  std::string dispersions_digest = "none";  // of the dispersions file's bytes (study_line)
  // Given: each run's flight is recorded and its dropped parts fall from
  // the globe placed at this epoch (RunResult::impacts). Off by default: the
  // fall costs more than the flight.
  const Epoch* impacts_at = nullptr;
};

// A digest of bytes that names them in a study's first line: FNV-1a, 64
// bits, as 16 hex digits. Not a protection against forgery; enough to tell
// two vehicles or dispersion files apart.
std::string digest(std::string_view bytes);

// The digest of a booster profile's points (each time and thrust as its
// shortest text): the same profile read from differently written files
// digests alike, a profile with one thrust changed does not.
std::string profile_digest(const BoosterProfile& profile);

// The first line of a study's CSV, "# ascent-mc study: key=value ...": what
// defines the study (program version, seed, runs, shard K/N, the answers,
// digests of the vehicle as described, of the booster profile's points and
// of the dispersions, the target's apogee altitude). Readers skip lines that start with '#'; a merge checks
// that its shards agree on every key but the shard and that no run is left
// out.
std::string study_line(const McProblem& p);

// One run flown.
struct RunResult {
  std::uint64_t run = 0;
  std::vector<double> values;  // the dispersed quantities' values, in the problem's order
  Flight flight;               // flight.ok false: it stopped (or the vehicle was refused)
  bool refused = false;        // the drawn values made no valid vehicle: not flown
  std::string csv;             // its CSV row
  std::vector<ImpactPoint> impacts;  // with McProblem::impacts_at: its dropped parts' falls
};

// The vehicle, profile and air density factor of one set of values.
struct Drawn {
  Description desc;
  BoosterProfile profile;
  double density_scale = 1;
  std::string refused;  // "key: what" when the values make no valid vehicle
};
// `stack_shift_kg` is added to upper.stack_mass before the vehicle is checked
// (the promise's trials).
Drawn apply_values(const McProblem& p, const std::vector<double>& values, double stack_shift_kg = 0);

// Run `run`'s values of every dispersed quantity.
std::vector<double> draw_values(const McProblem& p, std::uint64_t run);

// Whether a flight reached the target orbit, as the reached column of the
// runs CSV says: it flew to the end and met the sweep's test against the
// nominal vehicle's target apogee altitude.
bool reached_orbit(const McProblem& p, const Flight& f);

// Flies one run.
RunResult fly_run(const McProblem& p, std::uint64_t run);

// Flies the problem's runs (this shard's share) on `jobs` threads; `row` gets
// each run on the calling thread in run order; `progress` the number done.
void monte_carlo(const McProblem& p, unsigned jobs, const std::function<void(const RunResult&)>& row,
                 const std::function<void(std::size_t)>& progress = {});

// Number of runs this shard flies.
std::size_t shard_runs(const McProblem& p);

// ---------------------------------------------------------------- CSV

// The columns' names: run, the dispersed quantities, the results, status.
std::vector<std::string> csv_columns(const std::vector<Dispersion>& dispersions);
// The header row, ending CR LF.
std::string csv_header(const std::vector<Dispersion>& dispersions);
// One run's row, ending CR LF.
std::string csv_row(const McProblem& p, std::uint64_t run, const std::vector<double>& values, const Flight& f);

// ---------------------------------------------------------------- summary

// The spread of one result over the runs that flew to the end and gave it
// as a number (a final orbit can come out as no number).
struct Spread {
  std::size_t n = 0;
  double mean = 0, sd = 0;
  // The 0.135, 2.5, 50, 97.5 and 99.865 % points.
  double q[5] = {0, 0, 0, 0, 0};
};
constexpr double quantile_levels[5] = {0.00135, 0.025, 0.5, 0.975, 0.99865};

// The value at or below which a share p of the sorted values lie: the
// nearest-rank rule, the k-th smallest with k = ceil(p n) (at least 1). The
// value is one of the sample's, never an interpolation.
double nearest_rank(const std::vector<double>& sorted, double p);

// ---------------------------------------------------------------- promise

// The largest spacecraft mass that a share of the runs carries to the target
// orbit. The stack above the core (upper.stack_mass) is an input of the
// flight, and the sizing after it says how much spacecraft that flight could
// have carried, the core's propellant left over included. A lighter
// spacecraft makes a lighter stack, whose core keeps more propellant and
// reaches orbit in runs where the heavier stack runs dry: the runs' own SC_M
// at the nominal stack says nothing about a lighter one: each trial mass
// is decided for every run.
//
// The vehicle carries spacecraft mass M when its stack is the nominal one
// less the nominal flight's SC_M plus M; run r carries M when, flown with
// that stack on top of its drawn vehicle, it reaches the target orbit within
// the propellant loaded (reached_targets) with both final apsides within the
// tolerance, and the SC_M sized from that flight is at least M.
//
// Under closed-loop guidance a run that carries M carries every lighter
// spacecraft (its core keeps more propellant, its upper stage has less to
// lift), and one that misses M misses every heavier one: at each mass tried
// only the runs whose outcome the masses already flown do not decide are
// flown. Open loop a lighter stack ends on another orbit, so every run is
// flown at every mass. The study's own runs are the trial at the nominal
// flight's SC_M, bit for bit, and are read, not flown again. Which runs are
// flown depends only on the outcomes so far, so the count of runs that carry
// M, and the flights, are the same whatever the threads. --promise-check
// flies every run at the answer M and at M + 1 kg to test that order. A
// vehicle the description's rules refuse (a stack lighter than what it
// holds) is never flown and carries nothing, at any mass.

// km, the default tolerance: the reached column's own band.
constexpr double reached_band_km = reached_tolerance / 1000;

struct PromiseAsk {
  double probability = 0.99865;          // the share of the runs, in (0, 1)
  double tolerance_km = reached_band_km;  // band around the target's apogee altitude for both final apsides, above 0
  bool check = false;  // fly every run at the answer and 1 kg more, without the order of the masses
};

// What the check found: every run flown at M and M + 1 kg (at 0 kg alone when
// nothing is promised) against the outcome the search gave it there.
struct PromiseCheck {
  double M = 0;                         // kg, the answer checked
  std::size_t carrying = 0;             // runs that carry M, flown
  bool next = false;                    // M + 1 kg flown too (M was promised)
  std::size_t carrying_next = 0;        // runs that carry M + 1 kg, flown
  std::size_t flights = 0;              // the check's own
  std::size_t contradicted = 0;         // runs whose flown outcome is not the search's
  std::vector<std::uint64_t> examples;  // the first few of them
  // With a contradiction, the mass the search gave before the whole search
  // was flown again, every run at every mass (the promise then is that one).
  double searched_M = 0;
};

// The check's lines for the summary printed at the end.
std::string check_text(const PromiseCheck& c);
// The check in the study's JSON summary, the classic's and the staged's alike.
nlohmann::ordered_json check_json(const PromiseCheck& c);

struct Promise {
  double probability = 0, tolerance_km = 0;
  double target_km = std::numeric_limits<double>::quiet_NaN();  // what the tolerance is measured from
  std::size_t runs = 0;       // every run is decided in every trial: a run stopped or refused carries nothing
  std::size_t needed = 0;     // the fewest runs that are a share `probability` of them
  double SC_M_nominal = 0;    // kg, the nominal flight's SC_M, where the search starts
  double SC_M = 0;            // kg, the promised mass; 0 when not even 0 kg is carried by `needed` runs
  std::size_t carrying = 0;   // runs that carry SC_M
  double share = 0, low = 0, high = 1;  // carrying / runs and its Wilson 95 % interval
  std::size_t trials = 0;     // masses tried, each decided for every run
  std::size_t flights = 0;    // the runs flown to decide them (the study's not counted)
  bool ordered = false;       // outcomes decided by the order of the masses (closed-loop guidance)
  std::size_t most = 0;       // the most runs any trial carried ...
  double most_M = 0;          // ... at this mass (the lightest of the ties)
  std::optional<PromiseCheck> check;  // with PromiseAsk::check
};

// What the promise knows of each run from the flights it has: the heaviest
// mass the run was seen to carry and the lightest it was seen to miss. The
// masses are the few the search tries, so a run keeps two small indexes
// (4 bytes), not two masses.
class RunBrackets {
 public:
  enum class Known : std::uint8_t { carries, misses, unknown };
  explicit RunBrackets(std::size_t runs = 0) : carried_(runs, 0), missed_(runs, 0) {}
  // The index of mass M (kg), added if new; to be called before the runs
  // flown at M are noted, so that worker threads only read.
  std::uint16_t mass(double M);
  // Run `run` (from 1) flown at mass index `m`: whether it carried it.
  void flown(std::uint64_t run, std::uint16_t m, bool carried);
  Known at(std::uint64_t run, double M) const;
  // Known only when the run was noted at M itself.
  Known exactly(std::uint64_t run, double M) const;

 private:
  std::vector<double> masses_;
  std::vector<std::uint16_t> carried_, missed_;  // 0: none, else index + 1 into masses_
};

// The study's run `r`, flown at the nominal stack, is the promise's trial at
// the nominal flight's SC_M: noted in `b` (a refused or stopped run is not).
void note_study_run(RunBrackets& b, const McProblem& p, const PromiseAsk& ask, double SC_M_nominal,
                    const RunResult& r);

// The fewest of n runs whose share k / n, computed as the quotient, is at
// least p: 19973 of 20000 at 0.99865, 7 of 100 at 0.07 (where ceil(p n) of
// the rounded product would say 8). 0 for no runs.
std::size_t runs_needed(double p, std::size_t n);

// The undispersed vehicle's flight: every quantity at its nominal value.
Flight fly_nominal(const McProblem& p);

// The nominal flight's SC_M, where the promise's search starts, or nothing
// when a signal stopped that flight. A nominal flight that does not fly to
// the end has no mass to measure from: FatalError (exit_no_flight), its
// message led by `who`.
std::optional<double> promise_start(const McProblem& p, const std::string& who);

// Run `run`'s drawn vehicle flown with everything above the core heavier by
// `stack_shift_kg` (lighter when negative); a stack the description's rules
// refuse is not flown (ok false).
Flight fly_shifted(const McProblem& p, std::uint64_t run, double stack_shift_kg);

// Whether a flight carries spacecraft mass M (kg) to the target altitude
// (m) within the tolerance (m).
bool carries(const Flight& f, double M, double target_m, double tolerance_m);

// The search over whole kilograms, given the count of runs that carry a
// mass: from `start` it steps up (or down) by 1000 kg, doubling, until the
// count crosses `needed`, then halves the bracket. The answer M has
// count(M) >= needed and count(M + 1) < needed, or is 0 when count(0) <
// needed. Each mass is counted once.
struct MassSearch {
  double M = 0;
  std::size_t carrying = 0;  // count(M)
  std::size_t trials = 0;
  std::size_t most = 0;
  double most_M = 0;
};
MassSearch search_mass(const std::function<std::size_t(double)>& count, std::size_t needed, double start);

// The number of runs 1 to p.runs that carry M, flown on `jobs` threads;
// `progress` gets the number done. A signal stops it with Interrupted.
std::size_t runs_carrying(const McProblem& p, double M, double SC_M_nominal, const PromiseAsk& ask, unsigned jobs,
                          const std::function<void(std::size_t)>& progress = {});

// The promise over every run of the problem (one shard of one), searched
// from the nominal flight's SC_M; `progress` gets each trial's number (from
// 1), its mass and the runs decided. `study` holds what the study's runs
// told (note_study_run), or nothing: its outcomes are then flown.
Promise find_promise(const McProblem& p, const PromiseAsk& ask, double SC_M_nominal, unsigned jobs,
                     const std::function<void(std::size_t, double, std::size_t)>& progress = {},
                     RunBrackets* study = nullptr);

// What a run's row says of its flight, as values: each number the double
// the row's digits read back as (the masses whole kilograms, rounded halves
// to even), so that a summary of the values and one of the rows agree to
// the bit.
struct RunOutcome {
  bool ok = false;       // status ok: it flew to the end
  bool reached = false;  // the reached column
  double SC_M = 0;       // kg
  double hp_final_km = 0, ha_final_km = 0;
  double core_left_kg = 0;
  double max_q_Pa = 0, max_accel_ms2 = 0;
  std::string status;    // "ok", or why the run stopped, as the row writes it
};
RunOutcome run_outcome(const McProblem& p, const Flight& f);

// The summary, accumulated from the runs in run order (as values, or as the
// rows of a runs file that a merge reads): a single study and
// merged shards then give the same numbers from the same bytes.
struct Summary {
  std::vector<std::string> quantities;  // the dispersed columns
  std::size_t runs = 0;                 // rows
  std::size_t flown = 0;                // rows with status ok
  std::size_t reached = 0;              // rows with reached yes
  double p_reached = 0, p_low = 0, p_high = 0;  // share reached, Wilson 95 % interval
  Spread SC_M_reached;                          // kg, over the runs that reached the target orbit
  Spread SC_M, hp_final, ha_final, core_left;   // kg, km, km, kg, over the runs that flew to the end
  // kg, the spacecraft mass that 99.865 % of the runs carry to the target
  // orbit: the 0.135 % point of SC_M over every run, a run that missed the
  // target (or stopped) counting as carrying nothing.
  double SC_M_promised = 0;
  // kg, the 0.135 % point of SC_M over the runs that reached the target
  // orbit: what the vehicles that get there carry, at 3 sigma low.
  double SC_M_reached_low = 0;
  // m, the target's apogee altitude (from the description, or a merged
  // study's line): pictures draw the target there.
  double target_apogee_altitude_m = std::numeric_limits<double>::quiet_NaN();
  // With --promise: the promise asked for, flown after the study.
  std::optional<Promise> promise;
  // The signal that stopped the promise's search ("SIGINT", ...): the
  // summary is the study's, without a promise.
  std::string promise_stopped;
  // The study line of the runs summarised (study_line, or the merged one):
  // the JSON names its study by it. Empty: no study line known.
  std::string study_line;
  // With impact points asked for: each dropped part's footprint.
  std::optional<std::vector<Footprint>> footprints;
};

class SummaryBuilder {
 public:
  // The dispersed quantities of a study flown here.
  void quantities(const std::vector<Dispersion>& dispersions);
  // One run flown here.
  void add(const RunOutcome& r);
  // Takes a runs file's header row; returns what is wrong with it, or empty.
  std::string header(const std::string& line);
  // Takes one data row of a runs file (without its CR LF); returns what is
  // wrong, or empty.
  std::string add(const std::string& line);
  Summary finish();

 private:
  std::vector<std::string> names_;
  std::size_t col_reached_ = 0, col_SC_M_ = 0, col_hp_ = 0, col_ha_ = 0, col_core_ = 0, col_status_ = 0;
  Summary s_;
  std::vector<double> SC_M_, hp_, ha_, core_, promised_, reached_SC_M_;
  // Running sums for the means and spreads (Welford's update in run order).
  struct Moments {
    std::size_t n = 0;
    double mean = 0, m2 = 0;
    void add(double x);
  } mSC_M_, mhp_, mha_, mcore_, mSC_M_reached_;
};

// The Wilson score interval of k successes in n trials at z = 1.959963984540054.
void wilson(std::size_t k, std::size_t n, double& low, double& high);

std::string summary_json(const Summary& s);
std::string summary_text(const Summary& s);

// The longest line a shard may hold, its CR LF included: a run's row is a
// few hundred bytes even with every key of the description dispersed.
constexpr std::size_t max_shard_line = 1 << 20;

// Merges shard CSVs (each in run order) into one in run order, streaming;
// `row` gets every line (with its CR LF). Throws FatalError (65 for
// shards that do not fit together or a line longer than max_shard_line, with
// the file and line) and, for a SIGINT, SIGTERM or SIGHUP while it reads,
// Interrupted.
// With one_row_per_run false the shards are impacts files (footprint.hpp):
// a row per dropped part, none for a run whose vehicle was refused.
void merge(const std::vector<std::string>& files, const std::function<void(const std::string&)>& row,
           bool one_row_per_run = true);

// ---------------------------------------------------------------- sensitivity

struct Sensitivity {
  std::string name;
  double low = 0, high = 0;   // the quantity's values at -3 sigma and +3 sigma (uniform: its bounds)
  Flight f_low, f_high;
  bool reached_low = false, reached_high = false;  // by reached_orbit(), as a run's row would say
};

// The nominal flight and each quantity alone at its two extremes, ranked by
// the swing of SC_M (then of the final orbit), largest first.
struct SensitivityStudy {
  Flight nominal;
  bool nominal_reached = false;
  std::vector<Sensitivity> items;
};
// A flight a signal cut short stops it with Interrupted.
SensitivityStudy sensitivity(const McProblem& p, unsigned jobs);

// The values of a sensitivity study's flight i: 0 the nominal; 2k + 1 and
// 2k + 2 quantity k at its low and high end, every other quantity nominal.
std::vector<double> sensitivity_values(const std::vector<Dispersion>& dispersions, std::size_t i);
// The quantities in the tornado's order, from each one's swing between its
// ends: of the mass carried first, then of the final orbit (infinite where
// an end did not fly), largest first; equal swings keep the table's order.
struct Swing {
  double mass = 0, orbit = 0;
};
std::vector<std::size_t> by_swing(const std::vector<Swing>& swings);

// The nominal row, then one row per quantity in the table's order; the last
// two columns, reached_low and reached_high (yes or no), tell a flight that
// missed the target orbit from one that carried its SC_M there.
std::string sensitivity_csv(const SensitivityStudy& s);
std::string tornado_text(const SensitivityStudy& s);

}  // namespace ascent::mc
