// The trade-study engine of ascent-sweep: a grid of turn times and angle
// limits, each point flown as a whole ascent session in-process, on as many
// threads as asked, and the results as CSV rows.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "report/flight_summary.hpp"
#include "session/flight.hpp"
#include "staged_study.hpp"

namespace ascent::sweep {

// The values first, first + step, ... up to last (inclusive).
struct Range {
  double first = 0;
  double last = 0;
  double step = 1;
};

// Largest number of flights one sweep may ask for.
constexpr std::size_t max_flights = 1000000;

// Parses "A:B:STEP" or a single value "A" (a range of one point). Numbers are
// read as the program reads its answers. Returns an empty string on success,
// otherwise what is wrong with the text.
std::string parse_range(const std::string& text, Range& r);

// Number of points of a valid range, or max_flights + 1 when it has more.
std::size_t range_count(const Range& r);

// The points of a valid range: first + i * step, each rounded to 12
// significant digits, so that a decimal step lands on the decimal values one
// would type (0.1 + 2 * 0.1 gives 0.3, not 0.30000000000000004).
std::vector<double> range_values(const Range& r);

// What to fly.
struct Plan {
  std::vector<double> tt;     // s, turn times (iterate mode: the first guess of each series)
  std::vector<double> alpha;  // degrees, maximum angles of attack
  bool transfer = true;       // the third stage flies its transfer
  bool iterate = false;       // each point is an iterate-mode series
  const BoosterProfile* profile = nullptr;     // the booster profile, shared read-only
  const Description* desc = &builtin_description();  // the vehicle and its mission

  std::size_t size() const { return tt.size() * alpha.size(); }
  // Grid order: turn time major, angle limit minor.
  double tt_at(std::size_t i) const { return tt[i / alpha.size()]; }
  double alpha_at(std::size_t i) const { return alpha[i % alpha.size()]; }
};

// One grid point flown.
struct FlightResult {
  double tt = 0;          // s, the turn time typed
  double alpha = 0;       // degrees, the angle limit typed
  bool ok = false;        // the session ended normally
  int exit_code = 0;      // what ascent would exit with when it did not
  std::string error;      // and its message
  FlightRecord record;    // what the flight established
  double Pqmax = 0;       // Pa, largest dynamic pressure of the flight
  double amax = 0;        // m/s^2, largest thrust acceleration of the flight
  long long steps = 0;    // trajectory steps taken
  bool interrupted = false;  // a signal stopped it midway: no result
};

// A number as it would be typed to ascent to fly the same flight: every
// digit of x in fixed notation, which reads back as exactly x.
std::string answer_text(double x);

// Flies one point in a session of its own with every output discarded.
FlightResult fly(const Plan& plan, double tt, double alpha);

// The flight that finds a profile too short for a study before the study
// flies: the shortest turn `tt` it flies (a shorter turn reads fewer of the
// profile's points), at angle limit `alpha`, without the transfer. A flight
// that stops throws FatalError with its own code and message (a profile too
// short adds which turn it could not carry); a signal throws Interrupted.
void probe_profile(const Description& desc, const BoosterProfile& profile, double tt, double alpha);

// The row of a flight flown through the entry point with those answers.
FlightResult flight_result(const Flight& flight, double tt, double alpha);

// Flies every point of the plan on `jobs` threads. Results are in grid order
// and do not depend on the number of jobs. When given, `progress` is called
// from the calling thread about ten times a second with the number of
// flights done, and once more at the end.
std::vector<FlightResult> run_sweep(const Plan& plan, unsigned jobs,
                                    const std::function<void(std::size_t)>& progress = {});

// How a streamed sweep ended.
struct StreamOutcome {
  std::size_t delivered = 0;  // flights handed to the sink, in grid order
  int signal = 0;             // the signal that stopped it early, 0: none
};

// Flies every point of the plan on `jobs` threads and hands each result to
// `sink` in grid order as soon as it and every point before it are done, from
// the calling thread. At most a few flights per thread are held waiting for
// an earlier one: memory does not grow with the grid. A SIGINT, SIGTERM or
// SIGHUP (with the handlers of io/interrupt.hpp installed) stops it after the
// results delivered so far. `progress` as for run_sweep. A thread that cannot
// be started stops it with a FatalError (exit code 1) once the others are
// joined; so does an exception thrown by `sink`, rethrown as it was. The
// tools' one pool, run_in_order, flies them.
StreamOutcome stream_sweep(const Plan& plan, unsigned jobs,
                           const std::function<void(const FlightResult&)>& sink,
                           const std::function<void(std::size_t)>& progress = {});

using ascent::reached_tolerance;

// CSV fields shared by the tools. Every number that is not a mass: all the
// digits of the flight's double (the shortest decimal that reads back as
// it), so that rounding it as ascent does gives ascent's digits; a NaN
// without a sign, as ascent writes it.
std::string exact(double x);
// Masses: whole kilograms, written as ascent writes them.
std::string whole(double x);
// A text field, quoted when it holds a separator, a quote or a line break.
std::string text_field(const std::string& s);
// The fields of one CSV record, read back: commas outside double quotes
// separate, quotes are undone.
std::vector<std::string> csv_fields(std::string_view line);

// The profile a study flies: `given` when named, else the description's,
// else s1.dat in the working folder, else, when the folder has none, the
// one the install bundles, which `tool` then names on standard error.
std::string study_profile(const std::string& given, const Description& d, const char* tool);

using ascent::reached_targets;

// The CSV header row and one row per flight, each ending with CR LF; the
// reached column by reached_targets with `tolerance`.
std::string csv_header();
std::string csv_row(const Plan& plan, const FlightResult& f, double tolerance = reached_tolerance);

// ---------------------------------------------------------------- staged

// A staged vehicle's sweep: a grid over keys of any of its stages (its
// programme and guidance are in the description, so there is no turn time
// or angle limit to sweep). Grid order: the first key major.
struct KeyGrid {
  const study::StagedDescription* desc = nullptr;
  std::vector<std::string> keys;
  std::vector<std::vector<double>> values;  // each key's points

  std::size_t size() const;
  std::vector<double> point(std::size_t i) const;
};

// One point of a key grid flown (or refused by the reader).
struct KeyPoint {
  std::string row;          // its CSV row, CR LF ended
  bool flown = false;       // the reader took the vehicle and it flew
  bool interrupted = false; // a signal came before it flew: no result
};

KeyPoint fly_point(const KeyGrid& g, std::size_t i);
// The keys, then the staged flight's columns (study::staged_columns).
std::string key_grid_header(const KeyGrid& g);

// As stream_sweep, for a key grid.
StreamOutcome stream_key_grid(const KeyGrid& g, unsigned jobs, const std::function<void(const KeyPoint&)>& sink,
                              const std::function<void(std::size_t)>& progress = {});

}  // namespace ascent::sweep
