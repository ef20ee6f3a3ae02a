#include "optimize_lib.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <map>
#include <nlopt.hpp>
#include <optional>

#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/number_format.hpp"
#include "ordered_parallel.hpp"
#include "study_front.hpp"

namespace ascent::optimize {

namespace {

// Constraint value of a flight with no orbit to measure (it stopped, or fell
// and ended in NaN): far beyond any miss a real flight makes, in km.
constexpr double no_orbit_km = 1e5;

// t per km of miss in the penalised objective: the ridge gains about 16 kg per
// km that the perigee sinks, so a tonne per km makes any miss a loss.
constexpr double penalty_per_km = 1.0;

// The design variables: tt, alpha, then the free keys. The searches work in
// the unit box, each variable scaled by its bounds, so that one step size and
// one tolerance suit seconds, degrees and kilograms alike.
struct Space {
  std::vector<Bounds> b;
  explicit Space(const OptimizeProblem& p) {
    if (p.staged == nullptr) {
      b.push_back(p.tt);
      b.push_back(p.alpha);
    }
    for (const FreeKey& f : p.free) b.push_back(f.bounds);
  }
  std::size_t n() const { return b.size(); }
  std::vector<double> real(const std::vector<double>& u) const {
    std::vector<double> x(u.size());
    for (std::size_t i = 0; i < u.size(); ++i) {
      double ui = std::clamp(u[i], 0.0, 1.0);
      x[i] = ui == 1.0 ? b[i].high : b[i].low + ui * (b[i].high - b[i].low);
    }
    return x;
  }
  std::vector<double> unit(const std::vector<double>& x) const {
    std::vector<double> u(x.size());
    for (std::size_t i = 0; i < x.size(); ++i) u[i] = std::clamp((x[i] - b[i].low) / (b[i].high - b[i].low), 0.0, 1.0);
    return u;
  }
};

// How far a flight misses each condition, in km (core propellant in
// tonnes, which the core burns at a few tonnes per km of orbit): zero or
// less where it is met. A flight without an orbit misses everything.
// The target's perigee and apogee altitudes (m): a classic vehicle's circle,
// or a staged vehicle's orbit.
TargetApsides target_of(const OptimizeProblem& p) {
  if (p.staged != nullptr) return target_apsides(p.staged->vehicle().mission, p.staged->vehicle().earth.radius);
  const double h = p.desc->mission.target.apogee_altitude;
  return {h, h};
}

std::vector<double> misses(const OptimizeProblem& p, const sweep::FlightResult& f) {
  const TargetApsides t = target_of(p);
  const double hp = t.hp, ha = t.ha;
  const FlightRecord& r = f.record;
  std::vector<double> c = {(r.hp_final - hp - p.tolerance) / 1000, (hp - p.tolerance - r.hp_final) / 1000,
                           (r.ha_final - ha - p.tolerance) / 1000, (ha - p.tolerance - r.ha_final) / 1000,
                           -r.m0_core / 1000, -r.Msc / 1000};
  for (double& x : c) {
    if (!f.ok || !std::isfinite(x)) x = no_orbit_km;
  }
  return c;
}

double total_miss(const OptimizeProblem& p, const sweep::FlightResult& f) {
  double s = 0;
  for (double c : misses(p, f)) s += std::max(0.0, c);
  return s;
}

// Order of merit: flights that meet the conditions by mass, the others by
// how little they miss; a tie keeps the earlier flight.
bool better(const OptimizeProblem& p, const Evaluation& a, const Evaluation& b) {
  if (a.feasible != b.feasible) return a.feasible;
  if (a.feasible) return a.flight.record.Msc > b.flight.record.Msc;
  return total_miss(p, a.flight) < total_miss(p, b.flight);
}

// Order of the starts: mass less start_penalty per km of miss.
bool better_start(const OptimizeProblem& p, const Evaluation& a, const Evaluation& b) {
  auto merit = [&](const Evaluation& e) {
    return e.flight.ok && std::isfinite(e.flight.record.Msc)
               ? e.flight.record.Msc / 1000 - p.start_penalty * total_miss(p, e.flight)
               : -std::numeric_limits<double>::infinity();
  };
  return merit(a) > merit(b);
}

bool whole_valued(const OptimizeProblem& p, const FreeKey& f) {
  return p.staged != nullptr ? study::StagedDescription::whole_key(f.name) : f.key->kind == KeyKind::count;
}

// A staged vehicle at the free values: read by the staged reader, flown,
// and its flight seen as a classic record (Evaluation::flight).
Evaluation evaluate_staged(const OptimizeProblem& p, Evaluation e) {
  std::vector<std::string> keys;
  for (const FreeKey& f : p.free) keys.push_back(f.name);
  std::string refused;
  const StagedVehicle v = p.staged->with(keys, e.free_values, refused);
  if (!refused.empty()) {
    e.flight.exit_code = err_description;
    e.flight.error = refused;
    return e;
  }
  if (interrupt_signal != 0) {
    e.flight.interrupted = true;
    return e;
  }
  e.staged = fly_staged(v);
  FlightRecord& r = e.flight.record;
  r.Msc = e.staged.mass;
  r.hp_final = e.staged.hp;
  r.ha_final = e.staged.ha;
  // Propellant left in the last stage: never below zero, a stage that runs
  // dry is not `reached`.
  r.m0_core = e.staged.mass - v.payload_mass - v.adaptor_mass - v.stages.back().dry_mass;
  e.flight.ok = true;
  e.flight.steps = e.staged.steps;
  e.feasible = feasible(p, e.flight) && e.staged.reached;
  return e;
}

Evaluation evaluate(const OptimizeProblem& p, const std::vector<double>& x) {
  Evaluation e;
  const std::size_t answers = p.staged != nullptr ? 0 : 2;
  e.free_values.assign(x.begin() + static_cast<std::ptrdiff_t>(answers), x.end());
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    if (whole_valued(p, p.free[i])) e.free_values[i] = std::round(e.free_values[i]);
  }
  if (p.staged != nullptr) return evaluate_staged(p, std::move(e));
  sweep::Plan plan;
  plan.profile = p.profile;
  plan.desc = p.desc;
  Description d;
  if (!p.free.empty()) {
    std::string why = description_at(p, e.free_values, d);
    if (!why.empty()) {
      e.flight.tt = x[0];
      e.flight.alpha = x[1];
      e.flight.exit_code = err_description;
      e.flight.error = why;
      return e;
    }
    plan.desc = &d;
  }
  e.flight = sweep::fly(plan, x[0], x[1]);
  e.feasible = feasible(p, e.flight);
  return e;
}

// Shared by the threads: flights flown and the best mass so far, for the
// progress line only (what is recorded never depends on them).
struct Tally {
  std::atomic<std::size_t> done{0};
  std::atomic<double> best{0};
  void add(const Evaluation& e) {
    if (e.feasible) {
      double m = e.flight.record.Msc;
      double cur = best.load(std::memory_order_relaxed);
      while (m > cur && !best.compare_exchange_weak(cur, m, std::memory_order_relaxed)) {
      }
    }
    done.fetch_add(1, std::memory_order_acq_rel);
  }
};

// One local search from a start, with a budget of flights of its own. Its
// flights are recorded in the order the method asks for them, so the
// search is the same whichever thread runs it and whatever runs beside it.
struct LocalSearch {
  const OptimizeProblem& p;
  const Space& space;
  std::size_t budget;
  Tally& tally;
  std::vector<Evaluation> flown;
  std::map<std::vector<double>, Evaluation> known;  // by the point in real units

  const Evaluation& at(const std::vector<double>& u) {
    std::vector<double> x = space.real(u);
    auto it = known.find(x);
    if (it != known.end()) return it->second;
    if (flown.size() >= budget || interrupt_signal != 0) throw nlopt::forced_stop();
    Evaluation e = evaluate(p, x);
    tally.add(e);
    flown.push_back(e);
    return known.emplace(x, std::move(e)).first->second;
  }
};

std::vector<double> point_of(const OptimizeProblem& p, const Evaluation& e) {
  std::vector<double> x;
  if (p.staged == nullptr) x = {e.flight.tt, e.flight.alpha};
  x.insert(x.end(), e.free_values.begin(), e.free_values.end());
  return x;
}

double mass_t(const Evaluation& e) {
  double m = e.flight.record.Msc / 1000;
  return e.flight.ok && std::isfinite(m) ? m : 0.0;
}

double objective_cobyla(unsigned n, const double* u, double*, void* data) {
  auto* s = static_cast<LocalSearch*>(data);
  return -mass_t(s->at(std::vector<double>(u, u + n)));
}

void constraints_cobyla(unsigned m, double* result, unsigned n, const double* u, double*, void* data) {
  auto* s = static_cast<LocalSearch*>(data);
  std::vector<double> c = misses(s->p, s->at(std::vector<double>(u, u + n)).flight);
  for (unsigned i = 0; i < m; ++i) result[i] = c[i];
}

double objective_penalised(unsigned n, const double* u, double*, void* data) {
  auto* s = static_cast<LocalSearch*>(data);
  const Evaluation& e = s->at(std::vector<double>(u, u + n));
  return -mass_t(e) + penalty_per_km * total_miss(s->p, e.flight);
}

void run_local(LocalSearch& s, const std::vector<double>& start_u, const std::vector<double>& step_u) {
  const unsigned n = static_cast<unsigned>(s.space.n());
  const Method method = s.p.method;
  nlopt::opt opt(method == Method::cobyla          ? nlopt::LN_COBYLA
                 : method == Method::sbplx_penalty ? nlopt::LN_SBPLX
                                                   : nlopt::LN_BOBYQA,
                 n);
  opt.set_lower_bounds(std::vector<double>(n, 0.0));
  opt.set_upper_bounds(std::vector<double>(n, 1.0));
  opt.set_initial_step(step_u);
  opt.set_xtol_abs(1e-6);
  opt.set_maxeval(static_cast<int>(std::min<std::size_t>(s.budget * 20 + 100, 1000000)));
  if (method == Method::cobyla) {
    opt.set_min_objective(objective_cobyla, &s);
    opt.add_inequality_mconstraint(constraints_cobyla, &s, std::vector<double>(6, 1e-9));
  } else {
    opt.set_min_objective(objective_penalised, &s);
  }
  std::vector<double> u = start_u;
  double f = 0;
  try {
    opt.optimize(u, f);
  } catch (const nlopt::forced_stop&) {
    // The budget is spent; what was flown is recorded.
  } catch (const nlopt::roundoff_limited&) {
    // Converged as far as the arithmetic allows.
  } catch (const std::runtime_error&) {
    // The method gave up (a model it could not build); its flights stand.
  }
}

}  // namespace

bool feasible(const OptimizeProblem& p, const sweep::FlightResult& f) {
  if (p.staged != nullptr) {
    const TargetApsides t = target_of(p);
    return f.ok && std::fabs(f.record.hp_final - t.hp) <= p.tolerance &&
           std::fabs(f.record.ha_final - t.ha) <= p.tolerance && f.record.m0_core >= 0;
  }
  return f.ok && sweep::reached_targets(f.record, p.desc->mission.target.apogee_altitude, p.tolerance);
}

std::string free_name(const FreeKey& f) { return f.key != nullptr ? std::string(f.key->name) : f.name; }

std::string description_at(const OptimizeProblem& p, const std::vector<double>& v, Description& out) {
  out = *p.desc;
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    const Key& k = *p.free[i].key;
    double x = k.kind == KeyKind::count ? std::round(v[i]) : v[i];
    std::string why = set_key_value(out, k, x);
    if (!why.empty()) return std::string(k.name) + ": " + why;
  }
  std::vector<Problem> problems = check_description(out);
  if (!problems.empty()) return problems.front().key + ": " + problems.front().what;
  return {};
}

namespace {

// A staged problem: at least one free key, each a number of the vehicle
// given once, bounds the reader takes on the vehicle described.
template <class BoundsError>
std::string check_staged_problem(const OptimizeProblem& p, BoundsError bounds_error) {
  if (!(p.tolerance > 0) || !std::isfinite(p.tolerance)) {
    return "--tolerance: must be a positive distance in km, got " + shortest_text(p.tolerance / 1000);
  }
  if (p.free.empty()) return "--free: a staged vehicle is optimised over its keys: set at least one free";
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    const FreeKey& f = p.free[i];
    const std::string name = "--free " + f.name;
    if (std::string why = p.staged->check_key(f.name); !why.empty()) return "--free " + why;
    for (std::size_t j = 0; j < i; ++j) {
      if (p.free[j].name == f.name) return name + ": given twice";
    }
    if (std::string e = bounds_error(name, f.bounds); !e.empty()) return e;
    for (double x : {f.bounds.low, f.bounds.high}) {
      std::string refused;
      p.staged->with({f.name}, {x}, refused);
      if (!refused.empty()) return name + ": bound " + shortest_text(x) + ": " + refused;
    }
    if (study::StagedDescription::whole_key(f.name) && std::round(f.bounds.low) == std::round(f.bounds.high)) {
      return name + ": the bounds hold a single whole value";
    }
  }
  if (p.max_flights < 1) return "--max-flights: at least 1";
  return {};
}

}  // namespace

std::string check_problem(const OptimizeProblem& p) {
  auto bounds_error = [](const std::string& what, Bounds b) -> std::string {
    if (!std::isfinite(b.low) || !std::isfinite(b.high)) return what + ": the bounds must be finite numbers";
    if (!(b.low < b.high)) {
      return what + ": the low bound " + shortest_text(b.low) + " must be below the high bound " +
             shortest_text(b.high);
    }
    return {};
  };
  if (p.staged != nullptr) return check_staged_problem(p, bounds_error);
  std::string e = bounds_error("--tt", p.tt);
  if (e.empty()) e = study::turn_time_refusal(p.tt.low);
  if (e.empty()) e = bounds_error("--alpha", p.alpha);
  if (e.empty() && p.alpha.low < 0) {
    e = "--alpha: the angle limit is a magnitude, at least 0, got " + shortest_text(p.alpha.low);
  }
  if (!e.empty()) return e;
  const double h = p.desc->mission.target.apogee_altitude;
  if (!(p.tolerance > 0) || !std::isfinite(p.tolerance)) {
    return "--tolerance: must be a positive distance in km, got " + shortest_text(p.tolerance / 1000);
  }
  if (!(p.tolerance < h)) {
    return "--tolerance: " + shortest_text(p.tolerance / 1000) + " km would admit an orbit at or below the ground (target " +
           shortest_text(h / 1000) + " km)";
  }
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    const FreeKey& f = p.free[i];
    if (f.key == nullptr) return "--free: no key";
    const std::string name = std::string("--free ") + f.key->name;
    if (f.key->kind != KeyKind::real && f.key->kind != KeyKind::count) return name + ": not a numeric key";
    for (std::size_t j = 0; j < i; ++j) {
      if (p.free[j].key == f.key) return name + ": given twice";
    }
    e = bounds_error(name, f.bounds);
    if (!e.empty()) return e;
    for (double x : {f.bounds.low, f.bounds.high}) {
      std::string why = check_range(*f.key, x);
      if (!why.empty()) return name + ": bound " + why;
    }
    if (f.key->kind == KeyKind::count && std::round(f.bounds.low) == std::round(f.bounds.high)) {
      return name + ": the bounds hold a single whole value";
    }
  }
  if (p.max_flights < 1) return "--max-flights: at least 1";
  return {};
}

OptimizeResult optimize(const OptimizeProblem& p, unsigned jobs, const Progress& progress) {
  const Space space(p);
  const std::size_t n = space.n();
  Tally tally;
  // Called by the pool on this thread; the count is the tally's, of every
  // flight flown, not the pool's of the tasks handed on.
  std::function<void(std::size_t)> report;
  if (progress) {
    report = [&](std::size_t) {
      progress(tally.done.load(std::memory_order_acquire), p.max_flights, tally.best.load(std::memory_order_relaxed));
    };
  }

  // The start grid: cell centres of a grid over tt and alpha, the free keys
  // at the description's own values; smaller when the flights allowed are
  // few, so that the local searches keep at least half of them.
  unsigned gt = std::max(1u, p.grid_tt), ga = std::max(1u, p.grid_alpha);
  while (static_cast<std::size_t>(gt) * ga * 2 > p.max_flights && (gt > 1 || ga > 1)) {
    if (gt >= ga && gt > 1) {
      --gt;
    } else {
      --ga;
    }
  }
  // The grid's axes: tt and alpha, or a staged vehicle's first two free
  // keys (one: a row of starts along it).
  const std::size_t answers = p.staged != nullptr ? 0 : 2;
  const std::size_t axes = p.staged != nullptr ? std::min<std::size_t>(2, n) : 2;
  if (axes < 2) ga = 1;
  std::vector<double> free_start(n - answers);
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    const FreeKey& f = p.free[i];
    // A staged key the description leaves out starts mid-way.
    const std::optional<double> written = p.staged != nullptr ? p.staged->written(f.name) : std::nullopt;
    const double nominal = p.staged == nullptr ? key_value(*p.desc, *f.key)
                           : written           ? *written
                                               : f.bounds.low + 0.5 * (f.bounds.high - f.bounds.low);
    free_start[i] = std::clamp(nominal, f.bounds.low, f.bounds.high);
  }
  std::vector<std::vector<double>> starts;
  for (unsigned i = 0; i < gt; ++i) {
    for (unsigned j = 0; j < ga; ++j) {
      std::vector<double> u(n);
      u[0] = (i + 0.5) / gt;
      if (axes > 1) u[1] = (j + 0.5) / ga;
      std::vector<double> x = space.real(u);
      for (std::size_t k = axes; k < n; ++k) x[k] = free_start[k - answers];
      starts.push_back(x);
    }
  }
  if (starts.size() > p.max_flights) starts.resize(p.max_flights);

  OptimizeResult result;
  std::vector<Evaluation>& ev = result.evaluations;
  ev.reserve(starts.size());
  run_in_order<Evaluation>(
      starts.size(), jobs, starts.size(),
      [&](std::size_t i) {
        Evaluation e = evaluate(p, starts[i]);
        tally.add(e);
        return e;
      },
      [&](std::size_t, Evaluation& e) { ev.push_back(std::move(e)); }, report);
  std::vector<std::size_t> origin(ev.size(), 0);  // the search that flew each flight (0: the grid)
  std::size_t searches_run = 0;
  std::size_t left = p.max_flights - ev.size();

  // Runs searches from the flights `from`, each with its share of `budget`
  // flights, in parallel; appends their flights in the searches' order.
  auto search_from = [&](const std::vector<std::size_t>& from, std::size_t budget,
                         const std::vector<double>& step) {
    std::vector<LocalSearch> searches;
    searches.reserve(from.size());
    for (std::size_t q = 0; q < from.size(); ++q) {
      searches.push_back(LocalSearch{p, space, budget / from.size() + (q < budget % from.size() ? 1 : 0), tally, {}, {}});
      for (const Evaluation& e : ev) searches.back().known.emplace(point_of(p, e), e);
    }
    std::vector<std::vector<double>> first(from.size());
    for (std::size_t q = 0; q < from.size(); ++q) first[q] = space.unit(point_of(p, ev[from[q]]));
    // Every search may run at once (window: all of them), its flights handed
    // on whole and in the searches' order, while the others still fly; the
    // searches read only what they were given, never `ev`.
    std::size_t flown = 0;
    run_in_order<std::vector<Evaluation>>(
        from.size(), jobs, from.size(),
        [&](std::size_t q) {
          run_local(searches[q], first[q], step);
          return std::move(searches[q].flown);
        },
        [&](std::size_t, std::vector<Evaluation>& done) {
          ++searches_run;
          for (Evaluation& e : done) {
            ev.push_back(std::move(e));
            origin.push_back(searches_run);
          }
          flown += done.size();
        },
        report);
    left -= flown;
    return flown;
  };

  // Local searches from the best starts, by mass less a little per km of
  // miss: a start just off a narrow tolerance band on the ridge leads to
  // more mass than a start that meets it far below.
  std::vector<std::size_t> order(starts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return better_start(p, ev[a], ev[b]); });
  std::vector<double> step(n);
  step[0] = 0.5 / gt;
  if (axes > 1) step[1] = 0.5 / ga;
  for (std::size_t i = axes; i < n; ++i) step[i] = 0.25;
  const std::size_t k = std::min<std::size_t>({p.local_searches, order.size(), left});
  if (k > 0) {
    order.resize(k);
    search_from(order, std::min(left, k * p.search_flights), step);
  }

  // Polishing: a search stops once it is across the ridge, long before it
  // has walked along it. Fresh searches with half the first step, from the
  // best flight and from the best flight of another search (another stretch
  // of the ridge), walk on, until the flights are spent.
  while (left > 0) {
    std::vector<std::size_t> from;
    for (unsigned q = 0; q < p.polish_searches; ++q) {
      long pick = -1;
      for (std::size_t i = 0; i < ev.size(); ++i) {
        bool taken = false;
        for (std::size_t f : from) taken = taken || origin[f] == origin[i];
        if (!taken && (pick < 0 || better(p, ev[i], ev[static_cast<std::size_t>(pick)]))) pick = static_cast<long>(i);
      }
      if (pick >= 0 && (from.empty() || ev[static_cast<std::size_t>(pick)].feasible)) {
        from.push_back(static_cast<std::size_t>(pick));
      }
    }
    for (double& s : step) s *= p.polish_shrink;
    if (interrupt_signal != 0 || from.empty() || step[0] < 1e-6 || search_from(from, left, step) == 0) break;
  }

  // Flights a signal stopped midway have no result.
  ev.erase(std::remove_if(ev.begin(), ev.end(), [](const Evaluation& e) { return e.flight.interrupted; }), ev.end());
  result.interrupted = interrupt_signal != 0;
  result.converged = !result.interrupted && left > 0;
  for (std::size_t i = 0; i < ev.size(); ++i) {
    if (ev[i].feasible && (result.best < 0 || ev[i].flight.record.Msc > ev[static_cast<std::size_t>(result.best)].flight.record.Msc)) {
      result.best = static_cast<long>(i);
    }
  }
  return result;
}

std::string csv_header(const OptimizeProblem& p) {
  if (p.staged != nullptr) {
    std::string h;
    for (const FreeKey& f : p.free) h += (h.empty() ? "" : ",") + f.name;
    for (const std::string& c : study::staged_columns()) h += ',' + c;
    return h + "\r\n";
  }
  std::string h = sweep::csv_header();
  h.resize(h.size() - 2);  // CR LF
  for (const FreeKey& f : p.free) h += std::string(",") + f.key->name;
  return h + "\r\n";
}

std::string csv_row(const OptimizeProblem& p, const Evaluation& e) {
  if (p.staged != nullptr) {
    std::string row;
    for (double v : e.free_values) row += (row.empty() ? "" : ",") + sweep::answer_text(v);
    std::vector<std::string> keys;
    for (const FreeKey& f : p.free) keys.push_back(f.name);
    if (!e.flight.ok) return row + ',' + study::refused_fields(e.flight.error) + "\r\n";
    std::string refused;
    return row + ',' + study::staged_fields(p.staged->with(keys, e.free_values, refused), e.staged) + "\r\n";
  }
  sweep::Plan plan;
  plan.profile = p.profile;
  plan.desc = p.desc;
  std::string row = sweep::csv_row(plan, e.flight, p.tolerance);
  row.resize(row.size() - 2);
  for (double v : e.free_values) row += ',' + sweep::answer_text(v);
  return row + "\r\n";
}

}  // namespace ascent::optimize
