#include "mc_lib.hpp"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <memory>

#include "io/cli.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "ordered_parallel.hpp"
#include "sweep_lib.hpp"
#include "vehicle/description_file.hpp"

namespace ascent::mc {

using sweep::exact;
using sweep::text_field;
using sweep::whole;

// ---------------------------------------------------------------- runs

std::vector<double> draw_values(const McProblem& p, std::uint64_t run) {
  std::vector<double> v;
  v.reserve(p.dispersions.size());
  for (const Dispersion& d : p.dispersions) v.push_back(dispersed_value(d, deviate(d, p.seed, run)));
  return v;
}

Drawn apply_values(const McProblem& p, const std::vector<double>& values, double stack_shift_kg) {
  Drawn r{*p.desc, {}, 1.0, {}};
  double thrust_k = 1, time_k = 1;
  bool profile_changed = false;
  for (std::size_t i = 0; i < p.dispersions.size(); ++i) {
    const Dispersion& d = p.dispersions[i];
    double x = values[i];
    switch (d.target) {
      case DispersedKind::key: {
        std::string why = set_key_value(r.desc, *d.key, x);
        if (!why.empty() && r.refused.empty()) r.refused = d.name + ": " + why;
        break;
      }
      case DispersedKind::thrust_scale: thrust_k = x; profile_changed = true; break;
      case DispersedKind::time_scale: time_k = x; profile_changed = true; break;
      case DispersedKind::density_scale: r.density_scale = x; break;
    }
  }
  // Only the promise's trials move the stack; the study's vehicles keep
  // every bit of their drawn mass.
  if (stack_shift_kg != 0) r.desc.vehicle.upper.stack_mass += stack_shift_kg;
  if (r.refused.empty()) {
    std::vector<Problem> problems = check_description(r.desc);
    if (!problems.empty()) r.refused = problems.front().key + ": " + problems.front().what;
  }
  if (profile_changed) {
    // Thrust: every point's thrust times the factor. Time: a solid motor
    // whose propellant burns at 1/k of its nominal rate burns the same
    // propellant with the same exhaust speed over k times as long, so each
    // point moves to k t and its thrust falls to F / k: the total impulse,
    // and the propellant the booster phase counts from it, stay.
    r.profile = *p.profile;
    for (double& t : r.profile.t) t = t * time_k;
    for (double& F : r.profile.F) F = F * thrust_k / time_k;
  }
  return r;
}

namespace {

bool profile_dispersed(const McProblem& p) {
  for (const Dispersion& d : p.dispersions)
    if (d.target == DispersedKind::thrust_scale || d.target == DispersedKind::time_scale) return true;
  return false;
}

// A drawn vehicle flown, or refused unflown; `path`, if given, records it.
Flight fly_drawn(const McProblem& p, const Drawn& v, TrajectoryRecorder* path = nullptr) {
  if (!v.refused.empty()) {
    Flight f;
    f.ok = false;
    f.exit_code = err_description;
    f.error = std::string("vehicle refused: ").append(v.refused);
    return f;
  }
  FlightOptions o;
  o.air_density_scale = v.density_scale;
  if (path != nullptr) {
    o.step_observers.push_back(path);
    o.event_observers.push_back(path);
  }
  return fly(v.desc, profile_dispersed(p) ? v.profile : *p.profile, p.answers, o);
}

Flight fly_values(const McProblem& p, const std::vector<double>& values, double stack_shift_kg = 0) {
  return fly_drawn(p, apply_values(p, values, stack_shift_kg));
}

}  // namespace

RunResult fly_run(const McProblem& p, std::uint64_t run) {
  RunResult r;
  r.run = run;
  r.values = draw_values(p, run);
  const Drawn v = apply_values(p, r.values);
  r.refused = !v.refused.empty();
  if (p.impacts_at != nullptr) {
    TrajectoryRecorder path;
    r.flight = fly_drawn(p, v, &path);
    if (!r.refused) r.impacts = part_impact_points(path, v.desc, *p.impacts_at);
  } else {
    r.flight = fly_drawn(p, v);
  }
  r.csv = csv_row(p, run, r.values, r.flight);
  return r;
}

std::size_t shard_runs(const McProblem& p) {
  if (p.runs < p.shard) return 0;
  return (p.runs - p.shard) / p.shards + 1;
}

void monte_carlo(const McProblem& p, unsigned jobs, const std::function<void(const RunResult&)>& row,
                 const std::function<void(std::size_t)>& progress) {
  const std::size_t n = shard_runs(p);
  // Interleaved shares: shard K flies runs K, K + N, K + 2N, ..., so every
  // shard gets early and late runs alike.
  auto run_of = [&p](std::size_t i) { return static_cast<std::uint64_t>(i) * p.shards + p.shard; };
  run_in_order<RunResult>(
      n, jobs, 64 * std::max(1u, jobs), [&](std::size_t i) { return fly_run(p, run_of(i)); },
      [&](std::size_t, RunResult& r) { row(r); }, progress);
}

bool reached_orbit(const McProblem& p, const Flight& f) {
  return f.ok && sweep::reached_targets(f.record, p.desc->mission.target.apogee_altitude);
}

// ---------------------------------------------------------------- promise

Flight fly_nominal(const McProblem& p) {
  std::vector<double> nominal;
  for (const Dispersion& d : p.dispersions) nominal.push_back(dispersed_value(d, 0.0));
  return fly_values(p, nominal);
}

std::optional<double> promise_start(const McProblem& p, const std::string& who) {
  const Flight f = fly_nominal(p);
  if (f.interrupted) return std::nullopt;
  if (!f.ok || !std::isfinite(f.record.Msc)) {
    throw FatalError{exit_no_flight, who + ": the nominal flight did not fly to the end (" + f.error +
                                         "): no spacecraft mass to measure the promise from"};
  }
  return f.record.Msc;
}

Flight fly_shifted(const McProblem& p, std::uint64_t run, double stack_shift_kg) {
  return fly_values(p, draw_values(p, run), stack_shift_kg);
}

bool carries(const Flight& f, double M, double target_m, double tolerance_m) {
  return f.ok && sweep::reached_targets(f.record, target_m, tolerance_m) && f.record.Msc >= M;
}

MassSearch search_mass(const std::function<std::size_t(double)>& count, std::size_t needed, double start) {
  MassSearch r;
  std::map<double, std::size_t> seen;
  auto carried = [&](double M) {
    auto it = seen.find(M);
    if (it == seen.end()) {
      it = seen.emplace(M, count(M)).first;
      ++r.trials;
      if (r.trials == 1 || it->second > r.most || (it->second == r.most && M < r.most_M)) {
        r.most = it->second;
        r.most_M = M;
      }
    }
    return it->second >= needed;
  };
  // lo is carried by the share, hi is not: the answer lies in [lo, hi).
  double lo = 0, hi = 0;
  double step = 1000;
  start = std::max(0.0, std::round(start));
  if (carried(start)) {
    lo = start;
    // A stack beyond the description's largest is refused, and no run
    // carries it: the climb ends.
    for (;; step *= 2) {
      if (!carried(lo + step)) {
        hi = lo + step;
        break;
      }
      lo += step;
    }
  } else {
    hi = start;
    for (;; step *= 2) {
      if (hi == 0) {  // not even the lightest spacecraft
        r.M = 0;
        r.carrying = seen.at(0.0);
        return r;
      }
      double M = std::max(0.0, hi - step);
      if (carried(M)) {
        lo = M;
        break;
      }
      hi = M;
    }
  }
  while (hi - lo > 1) {
    double mid = lo + std::floor((hi - lo) / 2);
    (carried(mid) ? lo : hi) = mid;
  }
  r.M = lo;
  r.carrying = seen.at(lo);
  return r;
}

std::size_t runs_carrying(const McProblem& p, double M, double SC_M_nominal, const PromiseAsk& ask, unsigned jobs,
                          const std::function<void(std::size_t)>& progress) {
  struct Outcome {
    bool carried = false, interrupted = false;
  };
  const double shift = M - SC_M_nominal;
  const double target_m = p.desc->mission.target.apogee_altitude, tolerance_m = ask.tolerance_km * 1000;
  std::size_t n = 0;
  // The counts are summed in run order: the same whatever the threads.
  run_in_order<Outcome>(
      p.runs, jobs, 64 * std::max(1u, jobs),
      [&](std::size_t i) {
        Flight f = fly_shifted(p, static_cast<std::uint64_t>(i) + 1, shift);
        return Outcome{carries(f, M, target_m, tolerance_m), f.interrupted};
      },
      [&](std::size_t, Outcome& o) {
        if (o.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
        if (o.carried) ++n;
      },
      progress);
  return n;
}

std::uint16_t RunBrackets::mass(double M) {
  for (std::size_t i = 0; i < masses_.size(); ++i)
    if (masses_[i] == M) return static_cast<std::uint16_t>(i);
  if (masses_.size() >= std::numeric_limits<std::uint16_t>::max() - 1) {
    throw FatalError{exit_internal, "internal error: the promise's search tried more masses than it keeps"};
  }
  masses_.push_back(M);
  return static_cast<std::uint16_t>(masses_.size() - 1);
}

void RunBrackets::flown(std::uint64_t run, std::uint16_t m, bool carried) {
  std::uint16_t& k = (carried ? carried_ : missed_)[run - 1];
  const double M = masses_[m];
  // The heaviest mass carried, the lightest missed.
  if (k == 0 || (carried ? M > masses_[k - 1] : M < masses_[k - 1])) k = static_cast<std::uint16_t>(m + 1);
}

RunBrackets::Known RunBrackets::exactly(std::uint64_t run, double M) const {
  const std::uint16_t c = carried_[run - 1], m = missed_[run - 1];
  if (c != 0 && M == masses_[c - 1]) return Known::carries;
  if (m != 0 && M == masses_[m - 1]) return Known::misses;
  return Known::unknown;
}

RunBrackets::Known RunBrackets::at(std::uint64_t run, double M) const {
  const std::uint16_t c = carried_[run - 1], m = missed_[run - 1];
  if (c != 0 && M <= masses_[c - 1]) return Known::carries;
  if (m != 0 && M >= masses_[m - 1]) return Known::misses;
  return Known::unknown;
}

void note_study_run(RunBrackets& b, const McProblem& p, const PromiseAsk& ask, double SC_M_nominal,
                    const RunResult& r) {
  if (r.refused || r.flight.interrupted) return;
  const bool carried = carries(r.flight, SC_M_nominal, p.desc->mission.target.apogee_altitude, ask.tolerance_km * 1000);
  b.flown(r.run, b.mass(SC_M_nominal), carried);
}

namespace {

// One run's outcome at one mass: decided by the masses already flown, or flown.
struct Trial {
  bool carried = false, flown = false, refused = false, interrupted = false;
};

Trial try_run(const McProblem& p, const RunBrackets& b, std::uint64_t run, double M, double SC_M_nominal,
              const PromiseAsk& ask, bool decide) {
  const RunBrackets::Known known = decide ? b.at(run, M) : b.exactly(run, M);
  if (known == RunBrackets::Known::misses) return Trial{};
  // A vehicle the rules refuse at this stack carries nothing, whatever a
  // lighter or heavier stack did: checked before anything is taken as known.
  const Drawn v = apply_values(p, draw_values(p, run), M - SC_M_nominal);
  if (!v.refused.empty()) return Trial{false, false, true, false};
  if (known == RunBrackets::Known::carries) return Trial{true, false, false, false};
  const Flight f = fly_drawn(p, v);
  return Trial{carries(f, M, p.desc->mission.target.apogee_altitude, ask.tolerance_km * 1000), true, false,
               f.interrupted};
}

// The runs that carry M, each decided by `b` where the masses flown decide
// it (when `decide`), else flown and noted in `b`. Without `decide` only a
// run flown at M itself is known (the study's, at the nominal mass), and
// `b` is left as it is. `flights` counts the flown; `outcome`, when given,
// gets each run's Trial.
std::size_t count_carrying(const McProblem& p, RunBrackets& b, double M, double SC_M_nominal, const PromiseAsk& ask,
                           unsigned jobs, bool decide, std::size_t& flights,
                           const std::function<void(std::size_t)>& progress, std::vector<Trial>* outcome = nullptr) {
  const std::uint16_t m = b.mass(M);
  std::size_t n = 0;
  if (outcome) outcome->assign(p.runs, Trial{});
  // The counts are summed in run order: the same whatever the threads.
  run_in_order<Trial>(
      p.runs, jobs, 64 * std::max(1u, jobs),
      [&](std::size_t i) { return try_run(p, b, static_cast<std::uint64_t>(i) + 1, M, SC_M_nominal, ask, decide); },
      [&](std::size_t i, Trial& t) {
        if (t.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
        if (t.flown) ++flights;
        if (t.flown && decide) b.flown(i + 1, m, t.carried);
        if (t.carried) ++n;
        if (outcome) (*outcome)[i] = t;
      },
      progress);
  return n;
}

// Every run flown at the answer and a kilogram more (at 0 kg alone when
// nothing is promised), against the outcome the search gave it there.
PromiseCheck check_promise(const McProblem& p, const RunBrackets& b, const MassSearch& m, bool promised,
                           double SC_M_nominal, const PromiseAsk& ask, unsigned jobs) {
  PromiseCheck c;
  c.M = c.searched_M = m.M;
  std::vector<double> masses = {m.M};
  c.next = promised;
  if (promised) masses.push_back(m.M + 1);
  for (double M : masses) {
    std::vector<Trial> flown;
    RunBrackets none(p.runs);
    std::size_t k = count_carrying(p, none, M, SC_M_nominal, ask, jobs, false, c.flights, {}, &flown);
    (M == m.M ? c.carrying : c.carrying_next) = k;
    for (std::size_t i = 0; i < p.runs; ++i) {
      // The search flew a run at M itself, or took its outcome from the
      // masses it flew; a refused vehicle carries nothing either way.
      const RunBrackets::Known known = b.at(i + 1, M);
      bool said = flown[i].carried;
      if (!flown[i].refused && known != RunBrackets::Known::unknown) said = known == RunBrackets::Known::carries;
      if (said == flown[i].carried) continue;
      ++c.contradicted;
      if (c.examples.size() < 5 && std::find(c.examples.begin(), c.examples.end(), i + 1) == c.examples.end()) {
        c.examples.push_back(i + 1);
      }
    }
  }
  return c;
}

}  // namespace

Promise find_promise(const McProblem& p, const PromiseAsk& ask, double SC_M_nominal, unsigned jobs,
                     const std::function<void(std::size_t, double, std::size_t)>& progress, RunBrackets* study) {
  Promise r;
  r.probability = ask.probability;
  r.tolerance_km = ask.tolerance_km;
  r.target_km = p.desc->mission.target.apogee_altitude / 1000;
  r.runs = p.runs;
  r.needed = runs_needed(ask.probability, p.runs);
  r.SC_M_nominal = SC_M_nominal;
  RunBrackets fresh(study ? 0 : p.runs);
  RunBrackets& b = study ? *study : fresh;
  // Guidance flies each stack to the target orbit, and what fails a heavier
  // stack is propellant: the order of the masses holds. Open loop the
  // programme ends a lighter or heavier stack on another orbit, out of the
  // band on either side, so every run is flown at every mass (the study's
  // own trial at the nominal mass read as it was flown).
  r.ordered = closed_loop(p.desc->mission);
  // decide: the order of the masses decides what it can; otherwise every
  // run is flown at every mass (the check's search).
  auto search = [&](RunBrackets& known, bool decide, std::size_t& flights) {
    std::size_t trial = 0;
    return search_mass(
        [&](double M) {
          ++trial;
          if (progress) progress(trial, M, 0);
          return count_carrying(p, known, M, SC_M_nominal, ask, jobs, decide, flights, [&](std::size_t done) {
            if (progress) progress(trial, M, done);
          });
        },
        r.needed, SC_M_nominal);
  };
  MassSearch m = search(b, r.ordered, r.flights);
  if (ask.check) {
    PromiseCheck c = check_promise(p, b, m, m.carrying >= r.needed, SC_M_nominal, ask, jobs);
    if (c.contradicted > 0) {
      // The order of the masses fails for some runs: the search again,
      // every run flown at every mass, gives the promise.
      RunBrackets again(p.runs);
      m = search(again, false, c.flights);
      c.M = m.M;
    }
    r.check = c;
  }
  r.SC_M = m.M;
  r.carrying = m.carrying;
  r.trials = m.trials;
  r.most = m.most;
  r.most_M = m.most_M;
  r.share = r.runs > 0 ? static_cast<double>(r.carrying) / static_cast<double>(r.runs) : 0;
  wilson(r.carrying, r.runs, r.low, r.high);
  return r;
}

// ---------------------------------------------------------------- CSV

std::vector<std::string> csv_columns(const std::vector<Dispersion>& dispersions) {
  std::vector<std::string> names = {"run"};
  for (const Dispersion& d : dispersions) names.push_back(d.name);
  for (const char* result : {"reached", "SC_M", "hp_final_km", "ha_final_km", "core_propellant_left_kg", "max_q_Pa",
                             "max_accel_ms2", "status"}) {
    names.emplace_back(result);
  }
  return names;
}

std::string csv_header(const std::vector<Dispersion>& dispersions) {
  std::string h;
  for (const std::string& name : csv_columns(dispersions)) h += (h.empty() ? "" : ",") + name;
  return h + "\r\n";
}

namespace {

// Why a run stopped, as its status column says: a vehicle refused in its own
// words, any other fault with the code ascent would exit with.
std::string stopped_status(const Flight& f) {
  if (f.exit_code == err_description) return f.error;
  return std::string("error ").append(std::to_string(f.exit_code)).append(": ").append(f.error);
}

}  // namespace

RunOutcome run_outcome(const McProblem& p, const Flight& f) {
  RunOutcome r;
  if (!f.ok) {
    const double none = std::nan("");
    r.SC_M = r.hp_final_km = r.ha_final_km = r.core_left_kg = r.max_q_Pa = r.max_accel_ms2 = none;
    r.status = stopped_status(f);
    return r;
  }
  // A NaN is written "nan", without a sign, and reads back as the plain one.
  auto as_read = [](double x) { return std::isnan(x) ? std::nan("") : x; };
  r.ok = true;
  r.reached = reached_orbit(p, f);
  r.SC_M = as_read(std::nearbyint(f.record.Msc));  // whole kilograms, halves to even, as whole() writes them
  r.hp_final_km = as_read(f.record.hp_final / 1000);
  r.ha_final_km = as_read(f.record.ha_final / 1000);
  r.core_left_kg = as_read(std::nearbyint(f.record.m0_core));
  r.max_q_Pa = as_read(f.Pqmax);
  r.max_accel_ms2 = as_read(f.amax);
  r.status = "ok";
  return r;
}

std::string csv_row(const McProblem& p, std::uint64_t run, const std::vector<double>& values, const Flight& f) {
  std::string row = std::to_string(run);
  for (double v : values) {
    row += ',';
    row += exact(v);
  }
  if (!f.ok) {
    row += ",no,,,,,,,";
    row += text_field(stopped_status(f));
    return row + "\r\n";
  }
  const FlightRecord& r = f.record;
  row += reached_orbit(p, f) ? ",yes" : ",no";
  for (const std::string& s : {whole(r.Msc), exact(r.hp_final / 1000), exact(r.ha_final / 1000), whole(r.m0_core),
                               exact(f.Pqmax), exact(f.amax)}) {
    row += ',';
    row += s;
  }
  return row + ",ok\r\n";
}

// ---------------------------------------------------------------- summary

double nearest_rank(const std::vector<double>& sorted, double p) {
  if (sorted.empty()) return std::nan("");
  double k = std::ceil(p * static_cast<double>(sorted.size()));
  std::size_t i = k < 1 ? 0 : static_cast<std::size_t>(k) - 1;
  return sorted[std::min(i, sorted.size() - 1)];
}

void wilson(std::size_t k, std::size_t n, double& low, double& high) {
  if (n == 0) {
    low = 0;
    high = 1;
    return;
  }
  constexpr double z = 1.959963984540054;  // the normal's 97.5 % point
  double nn = static_cast<double>(n);
  double p = static_cast<double>(k) / nn;
  double z2 = z * z;
  double centre = (p + z2 / (2 * nn)) / (1 + z2 / nn);
  double half = z / (1 + z2 / nn) * std::sqrt(p * (1 - p) / nn + z2 / (4 * nn * nn));
  low = std::max(0.0, centre - half);
  high = std::min(1.0, centre + half);
}

std::size_t runs_needed(double p, std::size_t n) {
  if (n == 0) return 0;
  const double nn = static_cast<double>(n);
  auto enough = [&](std::size_t k) { return static_cast<double>(k) / nn >= p; };
  // ceil(p n) is within one of the answer; the quotient decides, as a share
  // of the runs is read: 19973 / 20000 is the double nearest 0.99865, as the
  // number typed is.
  double guess = std::ceil(p * nn);
  std::size_t k = guess < 1 ? 1 : guess > nn ? n : static_cast<std::size_t>(guess);
  while (k > 1 && enough(k - 1)) --k;
  while (k < n && !enough(k)) ++k;
  return k;
}

void SummaryBuilder::Moments::add(double x) {
  ++n;
  double d = x - mean;
  mean += d / static_cast<double>(n);
  m2 += d * (x - mean);
}

std::string SummaryBuilder::header(const std::string& line) {
  names_ = sweep::csv_fields(line);
  if (names_.empty() || names_[0] != "run") return "the first column must be run";
  const char* tail[] = {"reached", "SC_M", "hp_final_km", "ha_final_km", "core_propellant_left_kg",
                        "max_q_Pa", "max_accel_ms2", "status"};
  constexpr std::size_t nt = sizeof tail / sizeof tail[0];
  if (names_.size() < nt + 1) return "too few columns for a runs file";
  std::size_t first = names_.size() - nt;
  for (std::size_t i = 0; i < nt; ++i)
    if (names_[first + i] != tail[i]) return std::string("column ") + std::to_string(first + i + 1) + " must be " + tail[i];
  s_.quantities.assign(names_.begin() + 1, names_.begin() + static_cast<std::ptrdiff_t>(first));
  col_reached_ = first;
  col_SC_M_ = first + 1;
  col_hp_ = first + 2;
  col_ha_ = first + 3;
  col_core_ = first + 4;
  col_status_ = first + 7;
  return {};
}

void SummaryBuilder::quantities(const std::vector<Dispersion>& dispersions) {
  s_.quantities.clear();
  for (const Dispersion& d : dispersions) s_.quantities.push_back(d.name);
}

std::string SummaryBuilder::add(const std::string& line) {
  std::vector<std::string> f = sweep::csv_fields(line);
  if (f.size() != names_.size()) {
    return std::to_string(f.size()) + " fields where the header has " + std::to_string(names_.size());
  }
  RunOutcome r;
  r.reached = f[col_reached_] == "yes";
  r.ok = f[col_status_] == "ok";
  auto num = [](const std::string& t) { return std::strtod(t.c_str(), nullptr); };
  if (r.ok) {
    r.SC_M = num(f[col_SC_M_]);
    r.hp_final_km = num(f[col_hp_]);
    r.ha_final_km = num(f[col_ha_]);
    r.core_left_kg = num(f[col_core_]);
  }
  add(r);
  return {};
}

void SummaryBuilder::add(const RunOutcome& r) {
  ++s_.runs;
  const bool reached = r.reached, ok = r.ok;
  const double sc = ok ? r.SC_M : 0;
  if (reached) ++s_.reached;
  promised_.push_back(reached ? sc : 0.0);
  if (reached) {
    reached_SC_M_.push_back(sc);
    mSC_M_reached_.add(sc);
  }
  if (ok) {
    ++s_.flown;
    double v[4] = {sc, r.hp_final_km, r.ha_final_km, r.core_left_kg};
    std::vector<double>* keep[4] = {&SC_M_, &hp_, &ha_, &core_};
    Moments* m[4] = {&mSC_M_, &mhp_, &mha_, &mcore_};
    for (int i = 0; i < 4; ++i) {
      // A flight whose orbit came out as no number (it fell back, say)
      // has no value to spread; the count n says how many did.
      if (!std::isfinite(v[i])) continue;
      keep[i]->push_back(v[i]);
      m[i]->add(v[i]);
    }
  }
}

Summary SummaryBuilder::finish() {
  Summary s = s_;
  s.p_reached = s.runs > 0 ? static_cast<double>(s.reached) / static_cast<double>(s.runs) : 0;
  wilson(s.reached, s.runs, s.p_low, s.p_high);
  std::vector<double>* keep[5] = {&SC_M_, &hp_, &ha_, &core_, &reached_SC_M_};
  Moments* m[5] = {&mSC_M_, &mhp_, &mha_, &mcore_, &mSC_M_reached_};
  Spread* out[5] = {&s.SC_M, &s.hp_final, &s.ha_final, &s.core_left, &s.SC_M_reached};
  for (int i = 0; i < 5; ++i) {
    std::sort(keep[i]->begin(), keep[i]->end());
    Spread& sp = *out[i];
    sp.n = m[i]->n;
    sp.mean = m[i]->n > 0 ? m[i]->mean : std::nan("");
    // The sample standard deviation (n - 1 in the denominator).
    sp.sd = m[i]->n > 1 ? std::sqrt(m[i]->m2 / static_cast<double>(m[i]->n - 1)) : std::nan("");
    for (int j = 0; j < 5; ++j) sp.q[j] = nearest_rank(*keep[i], quantile_levels[j]);
  }
  std::sort(promised_.begin(), promised_.end());
  s.SC_M_promised = nearest_rank(promised_, quantile_levels[0]);
  s.SC_M_reached_low = nearest_rank(reached_SC_M_, quantile_levels[0]);
  return s;
}

namespace {

nlohmann::ordered_json number_or_null(double x) {
  return std::isfinite(x) ? nlohmann::ordered_json(x) : nlohmann::ordered_json(nullptr);
}

nlohmann::ordered_json spread_json(const Spread& s) {
  nlohmann::ordered_json j;
  j["n"] = s.n;
  j["mean"] = number_or_null(s.mean);
  j["sd"] = number_or_null(s.sd);
  const char* names[5] = {"p0.135", "p2.5", "p50", "p97.5", "p99.865"};
  for (int i = 0; i < 5; ++i) j[names[i]] = number_or_null(s.q[i]);
  return j;
}

// The study line's keys and values, in its order, as JSON strings: compared
// with a CSV's first line as text.
nlohmann::ordered_json study_json(const std::string& line) {
  nlohmann::ordered_json j = nlohmann::ordered_json::object();
  std::size_t i = line.find(':');
  while (i != std::string::npos && i + 1 < line.size()) {
    std::size_t from = i + 1, end = line.find_first_of(" \r\n", from);
    std::string kv = line.substr(from, end == std::string::npos ? std::string::npos : end - from);
    std::size_t eq = kv.find('=');
    if (eq != std::string::npos) j[kv.substr(0, eq)] = kv.substr(eq + 1);
    i = end;
  }
  return j;
}

}  // namespace

nlohmann::ordered_json check_json(const PromiseCheck& c) {
  nlohmann::ordered_json j;
  j["searched_kg"] = c.searched_M;
  j["carrying"] = c.carrying;
  if (c.next) j["carrying_plus_1_kg"] = c.carrying_next;
  j["contradicted"] = c.contradicted;
  j["contradicted_runs"] = c.examples;
  j["flights"] = c.flights;
  return j;
}

std::string summary_json(const Summary& s) {
  nlohmann::ordered_json j;
  if (!s.study_line.empty()) j["study"] = study_json(s.study_line);
  j["runs"] = s.runs;
  j["flown"] = s.flown;
  j["reached"] = s.reached;
  j["dispersed"] = s.quantities;
  j["p_reached"] = s.p_reached;
  j["p_reached_95"] = {s.p_low, s.p_high};
  if (s.promise) {
    // The promise asked for replaces the one at 99.865 % and the reached
    // column's band, which the text keeps on its line.
    const Promise& p = *s.promise;
    j["SC_M_promised_kg"] = p.SC_M;
    j["promise_probability"] = p.probability;
    j["promise_tolerance_km"] = p.tolerance_km;
    j["reached_share"] = p.share;
    j["reached_share_low"] = p.low;
    j["reached_share_high"] = p.high;
    j["promise_SC_M_nominal_kg"] = p.SC_M_nominal;
    j["promise_trials"] = p.trials;
    if (p.check) j["promise_check"] = check_json(*p.check);
  } else {
    j["SC_M_promised_kg"] = number_or_null(s.SC_M_promised);
    if (!s.promise_stopped.empty()) j["promise_stopped_by"] = s.promise_stopped;
  }
  j["SC_M_reached_p0.135_kg"] = number_or_null(s.SC_M_reached_low);
  j["target_apogee_altitude_m"] = number_or_null(s.target_apogee_altitude_m);
  j["quantile_rule"] = "nearest rank: the k-th smallest of n values, k = ceil(p n) (at least 1)";
  j["SC_M_reached_kg"] = spread_json(s.SC_M_reached);
  j["SC_M_kg"] = spread_json(s.SC_M);
  j["hp_final_km"] = spread_json(s.hp_final);
  j["ha_final_km"] = spread_json(s.ha_final);
  j["core_propellant_left_kg"] = spread_json(s.core_left);
  if (s.footprints) j["impact_footprints"] = nlohmann::ordered_json::parse(footprints_json(*s.footprints));
  return j.dump(2) + "\n";
}

std::string check_text(const PromiseCheck& c) {
  std::string t;
  char buf[320];
  if (c.next) {
    std::snprintf(buf, sizeof buf, "checked: every run flown at %.0f kg and %.0f kg, %zu and %zu of them carry it",
                  c.searched_M, c.searched_M + 1, c.carrying, c.carrying_next);
  } else {
    std::snprintf(buf, sizeof buf, "checked: every run flown at %.0f kg, %zu of them carry it", c.searched_M,
                  c.carrying);
  }
  t += buf;
  if (c.contradicted == 0) return t + ", as the search had them: the promise stands\n";
  std::string runs;
  for (std::uint64_t r : c.examples) runs += (runs.empty() ? "" : ", ") + std::to_string(r);
  std::snprintf(buf, sizeof buf,
                "\nCONTRADICTED: %zu outcomes differ from the search's (runs %s%s); searched again with every run "
                "flown at every mass: %.0f kg (%zu flights in all for the check)\n",
                c.contradicted, runs.c_str(), c.contradicted > c.examples.size() ? ", ..." : "", c.M, c.flights);
  return t + buf;
}

namespace {

std::string promise_text(const Promise& p) {
  std::string t;
  char buf[320];
  char percent[32];
  std::snprintf(percent, sizeof percent, "%.10g %%", p.probability * 100);
  std::snprintf(buf, sizeof buf, "\nPromise at %s of the runs, both final apsides within %.10g km of %.10g km:\n",
                percent, p.tolerance_km, p.target_km);
  t += buf;
  if (p.carrying >= p.needed) {
    std::snprintf(buf, sizeof buf, "SC_M promised: %.0f kg, carried there by %zu of %zu runs (%zu needed)\n", p.SC_M,
                  p.carrying, p.runs, p.needed);
    t += buf;
  } else {
    std::snprintf(buf, sizeof buf,
                  "no spacecraft mass is carried by %s of the runs: at most %zu of %zu (at %.0f kg), %zu needed\n"
                  "SC_M promised: 0 kg\n",
                  percent, p.most, p.runs, p.most_M, p.needed);
    t += buf;
  }
  std::snprintf(buf, sizeof buf, "share that carries it: %.4f  (95 %% interval %.4f to %.4f)\n", p.share, p.low,
                p.high);
  t += buf;
  if (p.ordered) {
    std::snprintf(buf, sizeof buf,
                  "searched from the nominal flight's SC_M of %.0f kg: %zu masses, each decided for all %zu runs, "
                  "%zu flights\n",
                  p.SC_M_nominal, p.trials, p.runs, p.flights);
  } else {
    std::snprintf(buf, sizeof buf, "searched from the nominal flight's SC_M of %.0f kg: %zu masses, each flown by all %zu runs\n",
                  p.SC_M_nominal, p.trials, p.runs);
  }
  t += buf;
  if (p.check) t += check_text(*p.check);
  return t;
}

}  // namespace

std::string summary_text(const Summary& s) {
  std::string t;
  char buf[256];
  std::snprintf(buf, sizeof buf, "%zu runs, %zu flew to the end, %zu reached the target orbit\n", s.runs, s.flown,
                s.reached);
  t += buf;
  std::snprintf(buf, sizeof buf, "P(reached) = %.4f  (95 %% interval %.4f to %.4f)\n", s.p_reached, s.p_low,
                s.p_high);
  t += buf;
  std::snprintf(buf, sizeof buf, "SC_M carried to the target orbit by 99.865 %% of the runs: %.0f kg\n", s.SC_M_promised);
  t += buf;
  std::snprintf(buf, sizeof buf, "SC_M carried by 99.865 %% of the runs that reached it: %.0f kg\n\n",
                s.SC_M_reached_low);
  t += buf;
  std::snprintf(buf, sizeof buf, "%-24s %12s %10s %12s %12s %12s %12s %12s\n", "", "mean", "sd", "0.135 %", "2.5 %",
                "50 %", "97.5 %", "99.865 %");
  t += buf;
  auto line = [&](const char* name, const Spread& sp, int d) {
    std::snprintf(buf, sizeof buf, "%-24s %12.*f %10.*f %12.*f %12.*f %12.*f %12.*f %12.*f\n", name, d, sp.mean, d,
                  sp.sd, d, sp.q[0], d, sp.q[1], d, sp.q[2], d, sp.q[3], d, sp.q[4]);
    t += buf;
  };
  // Each row names the runs it is over: the spacecraft mass first over the
  // runs that reached the target orbit, then everything over the runs that
  // flew to the end, most of which may have missed it.
  line("SC_M, reached (kg)", s.SC_M_reached, 0);
  line("SC_M, flown (kg)", s.SC_M, 0);
  line("perigee, flown (km)", s.hp_final, 1);
  line("apogee, flown (km)", s.ha_final, 1);
  line("core prop., flown (kg)", s.core_left, 0);
  if (s.promise) t += promise_text(*s.promise);
  if (!s.promise_stopped.empty()) t += "\nPromise: the search was stopped by " + s.promise_stopped + ": no promise\n";
  if (s.footprints) t += footprints_text(*s.footprints);
  return t;
}

// ---------------------------------------------------------------- study line

std::string digest(std::string_view bytes) {
  std::uint64_t h = 14695981039346656037ull;  // FNV-1a offset basis
  for (unsigned char c : bytes) {
    h ^= c;
    h *= 1099511628211ull;  // FNV prime
  }
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

namespace {

const std::string study_prefix = "# ascent-mc study:";

}  // namespace

std::string profile_digest(const BoosterProfile& profile) {
  std::string points;
  for (std::size_t i = 0; i < profile.t.size() && i < profile.F.size(); ++i) {
    points += shortest_text(profile.t[i]) + " " + shortest_text(profile.F[i]) + "\n";
  }
  return digest(points);
}

std::string study_line(const McProblem& p) {
  std::string l = study_prefix;
  auto add = [&l](const char* key, const std::string& value) { l += std::string(" ") + key + "=" + value; };
  add("version", cli::version());
  add("seed", std::to_string(p.seed));
  add("runs", std::to_string(p.runs));
  add("shard", std::to_string(p.shard) + "/" + std::to_string(p.shards));
  add("tt", shortest_text(p.answers.tt));
  add("alpha", shortest_text(p.answers.alpha));
  add("transfer", p.answers.transfer ? "yes" : "no");
  add("iterate", p.answers.iterate ? "yes" : "no");
  add("vehicle", digest(write_description(*p.desc)));
  add("profile", p.profile != nullptr ? profile_digest(*p.profile) : std::string("none"));
  add("dispersions", p.dispersions_digest);
  add("target_apogee_altitude_m", shortest_text(p.desc->mission.target.apogee_altitude));
  return l + "\r\n";
}

// ---------------------------------------------------------------- merge

namespace {

// A study line's keys and values; `order`, when given, gets the keys in
// the line's order.
std::map<std::string, std::string> study_keys(const std::string& line, std::vector<std::string>* order = nullptr) {
  std::map<std::string, std::string> keys;
  std::size_t i = study_prefix.size();
  while (i < line.size()) {
    std::size_t end = line.find_first_of(" \r\n", i);
    if (end == std::string::npos) end = line.size();
    std::string kv = line.substr(i, end - i);
    std::size_t eq = kv.find('=');
    if (eq != std::string::npos && keys.count(kv.substr(0, eq)) == 0 && order != nullptr) order->push_back(kv.substr(0, eq));
    if (eq != std::string::npos) keys[kv.substr(0, eq)] = kv.substr(eq + 1);
    i = end + 1;
  }
  return keys;
}

// One shard file read line by line.
struct Shard {
  std::string name;
  std::FILE* f = nullptr;
  std::string line;  // the current data row, with its CR LF
  std::uint64_t run = 0;
  bool done = false;
  std::size_t line_no = 0;
  bool one_row_per_run = true;  // a runs file; an impacts file has a row per part

  ~Shard() {
    if (f != nullptr) std::fclose(f);
  }
  // The next line with its end; false at the end of the file. A line is
  // held whole, so its length is bounded (a file without line ends is no
  // runs file), and a signal stops the reading of a large shard.
  bool next_line(std::string& out) {
    out.clear();
    check_interrupt();
    int c;
    while ((c = std::getc(f)) != EOF) {
      if (out.size() == max_shard_line) {
        throw FatalError{err_description, name + ":" + std::to_string(line_no + 1) + ": a line longer than " +
                                              std::to_string(max_shard_line) + " bytes: not a runs file"};
      }
      out += static_cast<char>(c);
      if (c == '\n') break;
      if ((out.size() & 0xFFFF) == 0) check_interrupt();
    }
    if (std::ferror(f)) throw FatalError{err_read, name + ": read error"};
    if (out.empty()) return false;
    ++line_no;
    if (out.size() < 2 || out.compare(out.size() - 2, 2, "\r\n") != 0) {
      throw FatalError{err_description, name + ":" + std::to_string(line_no) + ": a line that does not end with CR LF"};
    }
    return true;
  }
  void advance() {
    if (!next_line(line)) {
      done = true;
      return;
    }
    std::size_t comma = line.find(',');
    std::string field = line.substr(0, comma);
    char* end = nullptr;
    errno = 0;
    unsigned long long r = std::strtoull(field.c_str(), &end, 10);
    if (field.empty() || *end != '\0' || errno != 0 || field[0] == '-' || field[0] == '+') {
      throw FatalError{err_description, name + ":" + std::to_string(line_no) + ": '" + field + "' is not a run number"};
    }
    if (line_no > 3 && (r < run || (r == run && one_row_per_run))) {
      throw FatalError{err_description, name + ":" + std::to_string(line_no) + ": run " + field +
                                          " is not after run " + std::to_string(run)};
    }
    run = r;
  }
};

}  // namespace

void merge(const std::vector<std::string>& files, const std::function<void(const std::string&)>& row,
           bool one_row_per_run) {
  std::vector<std::unique_ptr<Shard>> shards;
  std::string header;
  std::map<std::string, std::string> study;  // the first shard's study, less its shard
  std::vector<std::string> order;            // its keys in the order its line writes them
  std::vector<unsigned> shard_of;            // each file's K
  unsigned shards_in_study = 0;
  std::uint64_t runs = 0;
  for (const std::string& name : files) {
    auto s = std::make_unique<Shard>();
    s->name = name;
    s->one_row_per_run = one_row_per_run;
    // Shards are streamed, never held: any size, but a regular file only.
    s->f = open_regular_file(name, std::numeric_limits<std::uintmax_t>::max());
    std::string h;
    if (!s->next_line(h)) throw FatalError{err_description, name + ": empty, not a runs file"};
    if (h.rfind(study_prefix, 0) != 0) {
      throw FatalError{err_description, name + ": no study line (\"" + study_prefix +
                                          " ...\"): cannot tell which study its runs belong to"};
    }
    std::map<std::string, std::string> keys = study_keys(h);
    unsigned k = 0, n = 0;
    if (std::sscanf(keys["shard"].c_str(), "%u/%u", &k, &n) != 2 || k < 1 || k > n) {
      throw FatalError{err_description, name + ": the study line names no shard K/N"};
    }
    keys.erase("shard");
    if (study.empty()) {
      study = keys;
      study_keys(h, &order);
      shards_in_study = n;
      runs = std::strtoull(keys["runs"].c_str(), nullptr, 10);
    } else {
      for (const auto& [key, value] : study) {
        if (keys[key] != value) {
          throw FatalError{err_description, name + ": another study: " + key + "=" + keys[key] + " where " +
                                              files.front() + " has " + key + "=" + value};
        }
      }
      // A key the first shard's line lacks (a profile's digest, say) is
      // another study too.
      for (const auto& [key, value] : keys) {
        if (study.count(key) == 0) {
          throw FatalError{err_description, name + ": another study: " + key + "=" + value + " where " +
                                              files.front() + " has no " + key};
        }
      }
      if (n != shards_in_study) {
        throw FatalError{err_description, name + ": shard " + std::to_string(k) + "/" + std::to_string(n) +
                                            " of a study in " + std::to_string(shards_in_study) + " shards"};
      }
    }
    for (std::size_t j = 0; j < shard_of.size(); ++j) {
      if (shard_of[j] == k) {
        throw FatalError{err_description, name + ": shard " + std::to_string(k) + " is " + files[j] + " too"};
      }
    }
    shard_of.push_back(k);
    if (!s->next_line(h)) throw FatalError{err_description, name + ": no header, not a runs file"};
    if (header.empty()) {
      header = h;
    } else if (h != header) {
      throw FatalError{err_description, name + ": its header differs from " + files.front() + "'s"};
    }
    s->advance();
    shards.push_back(std::move(s));
  }
  for (unsigned k = 1; k <= shards_in_study; ++k) {
    if (std::find(shard_of.begin(), shard_of.end(), k) == shard_of.end()) {
      throw FatalError{err_description, "shard " + std::to_string(k) + "/" + std::to_string(shards_in_study) +
                                          " is missing: the study is not whole"};
    }
  }
  // The merged study: one shard of one, its keys in the shards' order (a
  // classic and a staged study write different keys; an impacts file's
  // line ends with the epoch of its points).
  std::string merged = study_prefix;
  study["shard"] = "1/1";
  for (const std::string& key : order) merged += " " + key + "=" + study[key];
  row(merged + "\r\n");
  row(header);
  // Every run of the study, 1 to runs, each once, from the shard that flies
  // it: the rows are checked against that as they are merged.
  std::uint64_t expected = 1;
  auto missing_run = [&](std::uint64_t r) {
    unsigned k = static_cast<unsigned>((r - 1) % shards_in_study) + 1;
    std::size_t file = static_cast<std::size_t>(std::find(shard_of.begin(), shard_of.end(), k) - shard_of.begin());
    return FatalError{err_description, files[file] + ": run " + std::to_string(r) + " of shard " + std::to_string(k) +
                                         "/" + std::to_string(shards_in_study) +
                                         " is missing: the shard was cut short, the study is not whole"};
  };
  // Each shard is in run order: the smallest current run goes next. A
  // handful of shards, so a linear pick is enough.
  std::uint64_t last = 0;
  bool any = false;
  const Shard* last_from = nullptr;
  for (;;) {
    Shard* best = nullptr;
    std::size_t from = 0;
    for (std::size_t i = 0; i < shards.size(); ++i) {
      if (!shards[i]->done && (best == nullptr || shards[i]->run < best->run)) {
        best = shards[i].get();
        from = i;
      }
    }
    if (best == nullptr) break;
    if (any && best->run == last && (one_row_per_run || best != last_from)) {
      throw FatalError{err_description, best->name + ":" + std::to_string(best->line_no) + ": run " +
                                          std::to_string(last) + " is in two shards"};
    }
    if (one_row_per_run) {
      if (best->run < expected) {  // run 0, or a run flown twice
        throw FatalError{err_description, best->name + ":" + std::to_string(best->line_no) + ": run " +
                                            std::to_string(best->run) + " is not a run this shard flies"};
      }
      if (best->run > expected) throw missing_run(expected);
      ++expected;
    } else if (best->run < 1 || best->run > runs || (best->run - 1) % shards_in_study + 1 != shard_of[from]) {
      // Rows of impact points: a run's parts follow each other, and a run
      // whose drawn vehicle was refused released none, so each row can
      // only be checked to be of a run its shard flies.
      throw FatalError{err_description, best->name + ":" + std::to_string(best->line_no) + ": run " +
                                          std::to_string(best->run) + " is not a run this shard flies"};
    }
    row(best->line);
    last = best->run;
    last_from = best;
    any = true;
    best->advance();
  }
  if (one_row_per_run && expected != runs + 1) throw missing_run(expected);
}

// ---------------------------------------------------------------- sensitivity

std::vector<double> sensitivity_values(const std::vector<Dispersion>& dispersions, std::size_t i) {
  std::vector<double> v;
  for (const Dispersion& d : dispersions) v.push_back(dispersed_value(d, 0.0));
  if (i > 0) {
    const Dispersion& d = dispersions[(i - 1) / 2];
    double x = (i % 2 == 1) ? -1.0 : 1.0;
    v[(i - 1) / 2] = dispersed_value(d, d.distribution == Distribution::normal ? 3.0 * x : x);
  }
  return v;
}

std::vector<std::size_t> by_swing(const std::vector<Swing>& swings) {
  std::vector<std::size_t> order(swings.size());
  for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    if (swings[a].mass != swings[b].mass) return swings[a].mass > swings[b].mass;
    return swings[a].orbit > swings[b].orbit;
  });
  return order;
}

SensitivityStudy sensitivity(const McProblem& p, unsigned jobs) {
  const std::size_t nd = p.dispersions.size();
  auto values_of = [&](std::size_t i) { return sensitivity_values(p.dispersions, i); };
  SensitivityStudy s;
  s.items.resize(nd);
  run_in_order<Flight>(
      1 + 2 * nd, jobs, 64, [&](std::size_t i) { return fly_values(p, values_of(i)); },
      [&](std::size_t i, Flight& f) {
        if (f.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
        if (i == 0) {
          s.nominal_reached = reached_orbit(p, f);
          s.nominal = std::move(f);
          return;
        }
        Sensitivity& it = s.items[(i - 1) / 2];
        it.name = p.dispersions[(i - 1) / 2].name;
        double v = values_of(i)[(i - 1) / 2];
        if (i % 2 == 1) {
          it.low = v;
          it.reached_low = reached_orbit(p, f);
          it.f_low = std::move(f);
        } else {
          it.high = v;
          it.reached_high = reached_orbit(p, f);
          it.f_high = std::move(f);
        }
      });
  // The swing of a result between the two ends; a flight that stopped
  // swings most of all.
  auto swing = [](const Sensitivity& it, double (*get)(const FlightRecord&)) {
    if (!it.f_low.ok || !it.f_high.ok) return std::numeric_limits<double>::infinity();
    return std::fabs(get(it.f_high.record) - get(it.f_low.record));
  };
  auto sc = [](const FlightRecord& r) { return r.Msc; };
  auto orbit = [](const FlightRecord& r) { return r.hp_final + r.ha_final; };
  std::vector<Swing> swings;
  for (const Sensitivity& it : s.items) swings.push_back({swing(it, sc), swing(it, orbit)});
  std::vector<Sensitivity> ranked;
  for (std::size_t k : by_swing(swings)) ranked.push_back(std::move(s.items[k]));
  s.items = std::move(ranked);
  return s;
}

std::string sensitivity_csv(const SensitivityStudy& s) {
  std::string t =
      "key,low,high,SC_M_low,SC_M_high,hp_final_km_low,hp_final_km_high,ha_final_km_low,ha_final_km_high,"
      "reached_low,reached_high\r\n";
  auto fields = [](const Flight& lo, const Flight& hi) {
    auto w = [](const Flight& f) { return f.ok ? whole(f.record.Msc) : std::string(); };
    auto hp = [](const Flight& f) { return f.ok ? exact(f.record.hp_final / 1000) : std::string(); };
    auto ha = [](const Flight& f) { return f.ok ? exact(f.record.ha_final / 1000) : std::string(); };
    return w(lo) + "," + w(hi) + "," + hp(lo) + "," + hp(hi) + "," + ha(lo) + "," + ha(hi);
  };
  // A miss carries a mass too (a vehicle that fell back has one): the
  // reached columns come last, so that readers by column name read on.
  auto yes = [](bool b) { return std::string(b ? "yes" : "no"); };
  t += "nominal,,,";
  t += fields(s.nominal, s.nominal);
  t += "," + yes(s.nominal_reached) + "," + yes(s.nominal_reached) + "\r\n";
  for (const Sensitivity& it : s.items) {
    t += it.name + "," + exact(it.low) + "," + exact(it.high) + "," + fields(it.f_low, it.f_high) + "," +
         yes(it.reached_low) + "," + yes(it.reached_high) + "\r\n";
  }
  return t;
}

std::string tornado_text(const SensitivityStudy& s) {
  std::string t;
  char buf[320];
  auto mass = [](const Flight& f, double nominal) {
    char b[32];
    if (!f.ok) return std::string("stopped");
    std::snprintf(b, sizeof b, "%+.0f", f.record.Msc - nominal);
    return std::string(b);
  };
  auto orbit = [](const Flight& f) {
    char b[48];
    if (!f.ok) return std::string("-");
    std::snprintf(b, sizeof b, "%.1f x %.1f", f.record.hp_final / 1000, f.record.ha_final / 1000);
    return std::string(b);
  };
  if (!s.nominal.ok) return std::string("the nominal flight stopped: ").append(s.nominal.error).append("\n");
  double sc0 = s.nominal.record.Msc;
  std::snprintf(buf, sizeof buf, "Sensitivity at -3 sigma / +3 sigma (uniform: its bounds); nominal SC_M %.0f kg, orbit %s km\n",
                sc0, orbit(s.nominal).c_str());
  t += buf;
  std::snprintf(buf, sizeof buf, "%-28s %10s %10s  %-22s %-22s\n", "quantity", "dSC_M low", "dSC_M high",
                "orbit low (km)", "orbit high (km)");
  t += buf;
  for (const Sensitivity& it : s.items) {
    std::snprintf(buf, sizeof buf, "%-28s %10s %10s  %-22s %-22s\n", it.name.c_str(), mass(it.f_low, sc0).c_str(),
                  mass(it.f_high, sc0).c_str(), orbit(it.f_low).c_str(), orbit(it.f_high).c_str());
    t += buf;
  }
  return t;
}

}  // namespace ascent::mc
