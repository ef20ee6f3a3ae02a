#include "staged_mc.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <nlohmann/json.hpp>

#include "io/cli.hpp"
#include "io/interrupt.hpp"
#include "io/number_format.hpp"
#include "ordered_parallel.hpp"
#include "session/staged_session.hpp"
#include "sweep_lib.hpp"

namespace ascent::mc {

QuantityRules staged_rules(const study::StagedDescription& d) {
  QuantityRules r;
  r.factors = false;
  r.nominal = [&d](const std::string& name, double& x) -> std::string {
    if (std::string why = d.check_key(name); !why.empty()) return why.substr(name.size() + 2);
    if (study::StagedDescription::whole_key(name)) return "a count cannot be dispersed";
    const std::optional<double> v = d.written(name);
    if (!v) return "not written in " + d.file() + ": its value there is what the runs scatter around";
    x = *v;
    return {};
  };
  r.check = [&d](const std::string& name, double x) {
    std::string refused;
    d.with({name}, {x}, refused);
    return refused;
  };
  return r;
}

StagedRun fly_staged_run(const StagedMc& p, std::uint64_t run, double payload) {
  if (interrupt_signal != 0) {
    StagedRun r;
    r.run = run;
    r.interrupted = true;
    return r;
  }
  return fly_staged_values(p, run, draw_values(p.draws, run), payload);
}

StagedRun fly_staged_values(const StagedMc& p, std::uint64_t run, const std::vector<double>& drawn, double payload) {
  StagedRun r;
  r.run = run;
  r.values = drawn;
  std::vector<std::string> keys = p.keys;
  std::vector<double> values = r.values;
  if (payload >= 0) {
    // The promise's trial mass takes the payload's place, drawn or not.
    const auto at = std::find(keys.begin(), keys.end(), "payload.mass");
    if (at == keys.end()) {
      keys.push_back("payload.mass");
      values.push_back(payload);
    } else {
      values[static_cast<std::size_t>(at - keys.begin())] = payload;
    }
  }
  const StagedVehicle v = p.desc->with(keys, values, r.refused);
  std::string row = std::to_string(run);
  for (double x : r.values) row += ',' + sweep::exact(x);
  if (!r.refused.empty()) {
    r.csv = row + ',' + study::refused_fields(r.refused) + "\r\n";
    return r;
  }
  r.payload = v.payload_mass;
  if (p.impacts_at != nullptr && payload < 0) {
    const StagedFlown f = fly_staged_recorded(v);
    r.flight = f.result;
    r.impacts = part_impact_points(f.path, placement_of(v), f.releases, *p.impacts_at);
  } else {
    r.flight = fly_staged(v);
  }
  r.csv = row + ',' + study::staged_fields(v, r.flight) + "\r\n";
  return r;
}

void staged_monte_carlo(const StagedMc& p, unsigned jobs, const std::function<void(const StagedRun&)>& row,
                        const std::function<void(std::size_t)>& progress) {
  // Shard K of N flies runs K, K + N, ..., as a classic study's shard does.
  const McProblem& d = p.draws;
  run_in_order<StagedRun>(
      shard_runs(d), jobs, 64 * std::max(1u, jobs),
      [&](std::size_t i) { return fly_staged_run(p, static_cast<std::uint64_t>(i) * d.shards + d.shard); },
      [&](std::size_t, StagedRun& r) { row(r); }, progress);
}

std::string staged_study_line(const StagedMc& p, const std::string& vehicle_text) {
  std::string l = "# ascent-mc study:";
  auto add = [&l](const char* key, const std::string& value) { l += std::string(" ") + key + "=" + value; };
  add("version", cli::version());
  add("seed", std::to_string(p.draws.seed));
  add("runs", std::to_string(p.draws.runs));
  add("shard", std::to_string(p.draws.shard) + "/" + std::to_string(p.draws.shards));
  add("vehicle", digest(vehicle_text));
  add("dispersions", p.draws.dispersions_digest);
  return l + "\r\n";
}

std::string staged_csv_header(const StagedMc& p) {
  std::string h = "run";
  for (const std::string& k : p.keys) h += ',' + k;
  for (const std::string& c : study::staged_columns()) h += ',' + c;
  return h + "\r\n";
}

std::string StagedSummaryBuilder::header(const std::string& line) {
  names_ = sweep::csv_fields(line);
  const std::vector<std::string> tail = study::staged_columns();
  if (names_.empty() || names_[0] != "run") return "the first column must be run";
  if (names_.size() < tail.size() + 1) return "too few columns for a staged study's runs file";
  first_ = names_.size() - tail.size();
  for (std::size_t i = 0; i < tail.size(); ++i) {
    if (names_[first_ + i] != tail[i]) return "column " + std::to_string(first_ + i + 1) + " must be " + tail[i];
  }
  return {};
}

std::string StagedSummaryBuilder::add(const std::string& line) {
  const std::vector<std::string> f = sweep::csv_fields(line);
  if (f.size() != names_.size()) {
    return std::to_string(f.size()) + " fields where the header has " + std::to_string(names_.size());
  }
  // Columns from first_: hp_final_km, ha_final_km, perigee_angle_deg,
  // final_mass_kg, propellant_left_kg, liftoff_mass_kg, t_final_s, reached,
  // status. A vehicle the reader refused was not flown: its status is the
  // refusal ("error 65: ...").
  ++s_.runs;
  const std::string& status = f[first_ + 8];
  if (status.rfind("error ", 0) == 0) return {};
  auto num = [](const std::string& t) { return std::strtod(t.c_str(), nullptr); };
  ++s_.flown;
  hp_.push_back(num(f[first_]));
  ha_.push_back(num(f[first_ + 1]));
  if (f[first_ + 7] == "yes") {
    ++s_.reached;
    mass_.push_back(num(f[first_ + 3]));
  }
  return {};
}

namespace {

Spread spread_of(std::vector<double>& x) {
  Spread s;
  // A final orbit that came out as no number has no place in the spread.
  x.erase(std::remove_if(x.begin(), x.end(), [](double v) { return !std::isfinite(v); }), x.end());
  s.n = x.size();
  if (x.empty()) return s;
  double sum = 0;
  for (double v : x) sum += v;
  s.mean = sum / static_cast<double>(s.n);
  double ss = 0;
  for (double v : x) ss += (v - s.mean) * (v - s.mean);
  s.sd = s.n > 1 ? std::sqrt(ss / static_cast<double>(s.n - 1)) : 0;
  std::sort(x.begin(), x.end());
  for (int i = 0; i < 5; ++i) s.q[i] = nearest_rank(x, quantile_levels[i]);
  return s;
}

}  // namespace

StagedSummary StagedSummaryBuilder::finish() {
  StagedSummary s = s_;
  if (s.runs > 0) s.p_reached = static_cast<double>(s.reached) / static_cast<double>(s.runs);
  wilson(s.reached, s.runs, s.p_low, s.p_high);
  s.mass_reached = spread_of(mass_);
  s.hp_km = spread_of(hp_);
  s.ha_km = spread_of(ha_);
  return s;
}

namespace {

// Whether a run carries its payload to the study's target orbit: its guided
// cut-off on it (the last stage not run dry), and, with a tolerance, both
// final apsides within it of the nominal description's target.
bool carries(const StagedMc& p, const StagedRun& r, double tolerance_km) {
  if (!r.refused.empty() || !r.flight.reached) return false;
  if (tolerance_km <= 0) return true;
  const StagedVehicle& v = p.desc->vehicle();
  const TargetApsides target = target_apsides(v.mission, v.earth.radius);
  const double band = tolerance_km * 1000;
  return std::fabs(r.flight.hp - target.hp) <= band && std::fabs(r.flight.ha - target.ha) <= band;
}

}  // namespace

void staged_promise(const StagedMc& p, StagedSummary& s, double probability, double tolerance_km, bool check,
                    unsigned jobs, const std::vector<char>& study_reached,
                    const std::function<void(std::size_t, double, std::size_t)>& progress) {
  const std::size_t runs = p.draws.runs;
  RunBrackets known(runs);
  s.payload_nominal = p.desc->vehicle().payload_mass;
  const bool payload_drawn = std::find(p.keys.begin(), p.keys.end(), "payload.mass") != p.keys.end();
  // The study's outcomes are its flights' reached: with a band of its own
  // the promise flies its nominal trial too.
  if (!payload_drawn && study_reached.size() == runs && tolerance_km <= 0) {
    const std::uint16_t m = known.mass(s.payload_nominal);
    for (std::size_t i = 0; i < runs; ++i) known.flown(i + 1, m, study_reached[i] != 0);
  }
  struct Outcome {
    bool carried = false, flown = false, interrupted = false;
  };
  std::size_t trial = 0;
  // The runs that carry M: with `decide`, those the masses already flown
  // decide are not flown again; each run's outcome goes to `outcome`.
  auto count_at = [&](double M, bool decide, std::size_t& flights, std::vector<char>* outcome) {
    ++trial;
    const std::uint16_t m = known.mass(M);
    std::size_t n = 0;
    if (outcome) outcome->assign(runs, 0);
    run_in_order<Outcome>(
        runs, jobs, 64 * std::max(1u, jobs),
        [&](std::size_t i) {
          const RunBrackets::Known k = decide ? known.at(i + 1, M) : RunBrackets::Known::unknown;
          if (k != RunBrackets::Known::unknown) return Outcome{k == RunBrackets::Known::carries, false, false};
          const StagedRun r = fly_staged_run(p, i + 1, M);
          return Outcome{carries(p, r, tolerance_km), true, r.interrupted};
        },
        [&](std::size_t i, Outcome& o) {
          if (o.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
          if (o.flown) {
            if (decide) known.flown(i + 1, m, o.carried);
            ++flights;
          }
          n += o.carried ? 1 : 0;
          if (outcome) (*outcome)[i] = o.carried ? 1 : 0;
        },
        [&](std::size_t done) {
          if (progress) progress(trial, M, done);
        });
    return n;
  };
  s.probability = probability;
  s.tolerance_km = tolerance_km;
  s.needed = runs_needed(probability, runs);
  MassSearch m = search_mass([&](double M) { return count_at(M, true, s.flights, nullptr); }, s.needed,
                             s.payload_nominal);
  if (check) {
    // Every run flown at the answer (and a kilogram more when it was
    // promised) against the outcome the order of the masses gave it.
    PromiseCheck c;
    c.M = c.searched_M = m.M;
    c.next = m.carrying >= s.needed;
    for (double M : c.next ? std::vector<double>{m.M, m.M + 1} : std::vector<double>{m.M}) {
      std::vector<char> flown;
      (M == m.M ? c.carrying : c.carrying_next) = count_at(M, false, c.flights, &flown);
      for (std::size_t i = 0; i < runs; ++i) {
        const RunBrackets::Known k = known.at(i + 1, M);
        const bool said = k == RunBrackets::Known::unknown ? flown[i] != 0 : k == RunBrackets::Known::carries;
        if (said == (flown[i] != 0)) continue;
        ++c.contradicted;
        if (c.examples.size() < 5 && std::find(c.examples.begin(), c.examples.end(), i + 1) == c.examples.end()) {
          c.examples.push_back(i + 1);
        }
      }
    }
    if (c.contradicted > 0) {
      m = search_mass([&](double M) { return count_at(M, false, c.flights, nullptr); }, s.needed, s.payload_nominal);
      c.M = m.M;
    }
    s.check = c;
  }
  s.promised = true;
  s.payload = m.M;
  s.carrying = m.carrying;
  s.trials = m.trials;
  s.share = runs > 0 ? static_cast<double>(m.carrying) / static_cast<double>(runs) : 0;
  wilson(m.carrying, runs, s.low, s.high);
}

StagedSensitivityStudy staged_sensitivity(const StagedMc& p, unsigned jobs) {
  const std::vector<Dispersion>& ds = p.draws.dispersions;
  StagedSensitivityStudy s;
  s.items.resize(ds.size());
  run_in_order<StagedRun>(
      1 + 2 * ds.size(), jobs, 64,
      [&](std::size_t i) {
        StagedRun r;
        r.interrupted = interrupt_signal != 0;
        return r.interrupted ? r : fly_staged_values(p, 0, sensitivity_values(ds, i));
      },
      [&](std::size_t i, StagedRun& r) {
        if (r.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
        if (i == 0) {
          s.nominal = std::move(r);
          return;
        }
        StagedSensitivity& it = s.items[(i - 1) / 2];
        it.name = p.keys[(i - 1) / 2];
        (i % 2 == 1 ? it.low : it.high) = r.values[(i - 1) / 2];
        (i % 2 == 1 ? it.f_low : it.f_high) = std::move(r);
      });
  // An end the reader refused, or whose orbit is no number, swings most.
  auto swing = [](const StagedSensitivity& it, double (*get)(const StagedResult&)) {
    const double d = get(it.f_high.flight) - get(it.f_low.flight);
    if (!it.f_low.refused.empty() || !it.f_high.refused.empty() || !std::isfinite(d)) {
      return std::numeric_limits<double>::infinity();
    }
    return std::fabs(d);
  };
  auto mass = [](const StagedResult& f) { return f.mass; };
  auto orbit = [](const StagedResult& f) { return f.hp + f.ha; };
  std::vector<Swing> swings;
  for (const StagedSensitivity& it : s.items) swings.push_back({swing(it, mass), swing(it, orbit)});
  std::vector<StagedSensitivity> ranked;
  for (std::size_t k : by_swing(swings)) ranked.push_back(std::move(s.items[k]));
  s.items = std::move(ranked);
  return s;
}

namespace {

std::string end_fields(const StagedRun& lo, const StagedRun& hi) {
  using sweep::exact;
  auto flown = [](const StagedRun& r, double x) { return r.refused.empty() ? exact(x) : std::string(); };
  return flown(lo, lo.flight.mass) + ',' + flown(hi, hi.flight.mass) + ',' + flown(lo, lo.flight.hp / 1000) + ',' +
         flown(hi, hi.flight.hp / 1000) + ',' + flown(lo, lo.flight.ha / 1000) + ',' + flown(hi, hi.flight.ha / 1000);
}

std::string yes(const StagedRun& r) { return r.refused.empty() && r.flight.reached ? "yes" : "no"; }

}  // namespace

std::string staged_sensitivity_csv(const StagedSensitivityStudy& s) {
  std::string t =
      "key,low,high,final_mass_kg_low,final_mass_kg_high,hp_final_km_low,hp_final_km_high,ha_final_km_low,"
      "ha_final_km_high,reached_low,reached_high\r\n";
  t += "nominal,,," + end_fields(s.nominal, s.nominal) + ',' + yes(s.nominal) + ',' + yes(s.nominal) + "\r\n";
  for (const StagedSensitivity& it : s.items) {
    t += it.name + ',' + sweep::exact(it.low) + ',' + sweep::exact(it.high) + ',' + end_fields(it.f_low, it.f_high) +
         ',' + yes(it.f_low) + ',' + yes(it.f_high) + "\r\n";
  }
  return t;
}

std::string staged_tornado_text(const StagedSensitivityStudy& s) {
  if (!s.nominal.refused.empty()) return "the nominal vehicle was refused: " + s.nominal.refused + "\n";
  char buf[320];
  const double m0 = s.nominal.flight.mass;
  auto mass = [m0](const StagedRun& r) {
    char b[32];
    if (!r.refused.empty()) return std::string("refused");
    std::snprintf(b, sizeof b, "%+.1f", r.flight.mass - m0);
    return std::string(b) + (r.flight.reached ? "" : " (missed)");
  };
  auto orbit = [](const StagedRun& r) {
    char b[48];
    if (!r.refused.empty()) return std::string("-");
    std::snprintf(b, sizeof b, "%.1f x %.1f", r.flight.hp / 1000, r.flight.ha / 1000);
    return std::string(b);
  };
  std::snprintf(buf, sizeof buf,
                "Sensitivity at -3 sigma / +3 sigma (uniform: its bounds); nominal final mass %.1f kg, orbit %s km\n", m0,
                orbit(s.nominal).c_str());
  std::string t = buf;
  std::snprintf(buf, sizeof buf, "%-32s %18s %18s  %-22s %-22s\n", "quantity", "d final mass low", "d final mass high",
                "orbit low (km)", "orbit high (km)");
  t += buf;
  for (const StagedSensitivity& it : s.items) {
    std::snprintf(buf, sizeof buf, "%-32s %18s %18s  %-22s %-22s\n", it.name.c_str(), mass(it.f_low).c_str(),
                  mass(it.f_high).c_str(), orbit(it.f_low).c_str(), orbit(it.f_high).c_str());
    t += buf;
  }
  return t;
}

std::string staged_summary_text(const StagedSummary& s) {
  std::string t = "runs " + std::to_string(s.runs) + ", flown " + std::to_string(s.flown) + ", reached the target " +
                  std::to_string(s.reached) + " (" + real_text(100 * s.p_reached, 1, 2) + " %, 95 % interval " +
                  real_text(100 * s.p_low, 1, 2) + " to " + real_text(100 * s.p_high, 1, 2) + " %)\n";
  auto line = [&t](const char* name, const Spread& sp, int d) {
    t += std::string(name) + ": mean " + real_text(sp.mean, 1, d) + ", sd " + real_text(sp.sd, 1, d) + ", 0.135 % " +
         real_text(sp.q[0], 1, d) + ", median " + real_text(sp.q[2], 1, d) + ", 99.865 % " + real_text(sp.q[4], 1, d) +
         " (" + std::to_string(sp.n) + " runs)\n";
  };
  if (s.mass_reached.n > 0) line("final mass on the target orbit kg", s.mass_reached, 1);
  if (s.hp_km.n > 0) line("final perigee km", s.hp_km, 3);
  if (s.ha_km.n > 0) line("final apogee km", s.ha_km, 3);
  if (s.footprints) t += footprints_text(*s.footprints);
  if (s.promised) {
    t += "promise: a payload of " + real_text(s.payload, 1, 0) + " kg reaches the target orbit in " +
         std::to_string(s.carrying) + " of " + std::to_string(s.runs) + " runs (" + real_text(100 * s.share, 1, 3) +
         " %, 95 % interval " + real_text(100 * s.low, 1, 3) + " to " + real_text(100 * s.high, 1, 3) +
         " %); asked: " + shortest_text(100 * s.probability) + " %, " + std::to_string(s.needed) +
         " runs; nominal payload " + real_text(s.payload_nominal, 1, 0) + " kg; " + std::to_string(s.trials) +
         " masses tried, " + std::to_string(s.flights) + " flights";
    if (s.tolerance_km > 0) t += "; both final apsides within " + shortest_text(s.tolerance_km) + " km of the target's";
    t += "\n";
    if (s.check) t += check_text(*s.check);
  }
  return t;
}

std::string staged_summary_json(const StagedSummary& s, const std::string& study_line) {
  auto number = [](double x) { return std::isfinite(x) ? nlohmann::ordered_json(x) : nlohmann::ordered_json(); };
  auto spread = [&](const Spread& sp) {
    nlohmann::ordered_json j;
    j["n"] = sp.n;
    j["mean"] = number(sp.mean);
    j["sd"] = number(sp.sd);
    j["quantiles"] = {number(sp.q[0]), number(sp.q[1]), number(sp.q[2]), number(sp.q[3]), number(sp.q[4])};
    return j;
  };
  nlohmann::ordered_json j;
  std::string line = study_line;
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  j["study"] = line;
  j["runs"] = s.runs;
  j["flown"] = s.flown;
  j["reached"] = s.reached;
  j["p_reached"] = s.p_reached;
  j["p_reached_interval"] = {s.p_low, s.p_high};
  j["final_mass_reached_kg"] = spread(s.mass_reached);
  j["hp_final_km"] = spread(s.hp_km);
  j["ha_final_km"] = spread(s.ha_km);
  if (s.footprints) j["impact_footprints"] = nlohmann::ordered_json::parse(footprints_json(*s.footprints));
  if (s.promised) {
    j["promise"] = {{"probability", s.probability}, {"needed", s.needed},       {"payload_nominal_kg", s.payload_nominal},
                    {"payload_kg", s.payload},      {"carrying", s.carrying},   {"share", s.share},
                    {"interval", {s.low, s.high}},  {"trials", s.trials},       {"flights", s.flights}};
    if (s.tolerance_km > 0) j["promise"]["tolerance_km"] = s.tolerance_km;
    if (s.check) j["promise"]["check"] = check_json(*s.check);
  }
  return j.dump(2) + "\n";
}

}  // namespace ascent::mc
