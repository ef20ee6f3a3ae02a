#include "sweep_lib.hpp"

#include <algorithm>
#include <charconv>
#include <filesystem>
#include <cmath>
#include <limits>

#include "io/cli.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "ordered_parallel.hpp"
#include "vehicle/description_file.hpp"

namespace ascent::sweep {

std::string exact(double x) { return std::isnan(x) ? std::string("nan") : answer_text(x); }

std::string whole(double x) { return real_text(x, 1, 0); }

std::string text_field(const std::string& s) {
  if (s.find_first_of(",\"\r\n") == std::string::npos) return s;
  std::string q = "\"";
  for (char c : s) {
    if (c == '"') q += '"';
    q += c;
  }
  q += '"';
  return q;
}

std::vector<std::string> csv_fields(std::string_view line) {
  std::vector<std::string> f(1);
  bool quoted = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
        f.back() += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        f.back() += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      f.emplace_back();
    } else {
      f.back() += c;
    }
  }
  return f;
}

std::string parse_range(const std::string& text, Range& r) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  for (;;) {
    std::size_t colon = text.find(':', start);
    parts.push_back(text.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  if (parts.size() != 1 && parts.size() != 3) {
    return "'" + text + "' is not a range: write FIRST:LAST:STEP or a single value";
  }
  double v[3] = {0, 0, 1};
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!parse_real(parts[i], v[i])) return "'" + parts[i] + "' is not a number";
  }
  if (parts.size() == 1) v[1] = v[0];
  if (!(v[2] > 0)) return "the step " + parts[2] + " must be greater than zero";
  if (v[1] < v[0]) return "the last value " + parts[1] + " is below the first " + parts[0];
  r = Range{v[0], v[1], v[2]};
  if (range_count(r) > max_flights) {
    return "'" + text + "' has more than " + std::to_string(max_flights) + " points";
  }
  return {};
}

std::size_t range_count(const Range& r) {
  double q = (r.last - r.first) / r.step;
  // A last value that the steps reach up to rounding counts.
  double n = std::floor(q * (1 + 1e-12) + 1e-9) + 1;
  if (!(n <= static_cast<double>(max_flights))) return max_flights + 1;
  return static_cast<std::size_t>(n);
}

std::vector<double> range_values(const Range& r) {
  std::size_t n = range_count(r);
  std::vector<double> v;
  v.reserve(n);
  for (std::size_t i = 0; i < n; ++i) v.push_back(round_significant(r.first + static_cast<double>(i) * r.step, 12));
  return v;
}

std::string answer_text(double x) {
  char buf[400];  // the fixed form of any double
  auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

FlightResult fly(const Plan& plan, double tt, double alpha) {
  FlightAnswers answers;
  answers.tt = tt;
  answers.alpha = alpha;
  answers.transfer = plan.transfer;
  answers.iterate = plan.iterate;
  return flight_result(ascent::fly(*plan.desc, *plan.profile, answers), tt, alpha);
}

void probe_profile(const Description& desc, const BoosterProfile& profile, double tt, double alpha) {
  Plan probe;
  probe.desc = &desc;
  probe.profile = &profile;
  probe.transfer = false;
  const FlightResult p = fly(probe, tt, alpha);
  if (p.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
  if (p.ok) return;
  // A profile too short says so; a vehicle too heavy to lift off, say, is
  // refused with its own reason.
  if (p.exit_code == err_read) {
    throw FatalError{p.exit_code, p.error + " (the profile cannot carry even a " + shortest_text(tt) + " s turn)"};
  }
  throw FatalError{p.exit_code, p.error};
}

FlightResult flight_result(const Flight& flight, double tt, double alpha) {
  FlightResult f;
  f.tt = tt;
  f.alpha = alpha;
  f.ok = flight.ok;
  f.interrupted = flight.interrupted;
  f.exit_code = flight.exit_code;
  f.error = flight.error;
  f.record = flight.record;
  f.Pqmax = flight.Pqmax;
  f.amax = flight.amax;
  f.steps = flight.steps;
  return f;
}

namespace {

// The sweep's units of work: runs of angle limits of one turn time, flown in
// order on one thread. A flight whose angle-of-attack limit never held the
// thrust flies bit for bit alike under any larger limit, so within a unit a
// larger limit takes such a flight's result instead of flying it again (a
// fifth to a quarter of a trade study's flights). Whole rows, unless too few
// rows would leave threads idle: the results are the same either way.
struct Units {
  std::size_t per_row = 1;  // units a row is cut into
  std::size_t width = 1;    // angle limits a unit holds (the last of a row fewer)
  std::size_t count = 0;
};

Units units_of(const Plan& plan, unsigned jobs) {
  Units u;
  const std::size_t rows = plan.tt.size(), na = plan.alpha.size();
  if (rows == 0 || na == 0) return u;
  const std::size_t wanted = 4 * static_cast<std::size_t>(std::max(jobs, 1u));
  u.per_row = std::clamp<std::size_t>((wanted + rows - 1) / rows, 1, na);
  u.width = (na + u.per_row - 1) / u.per_row;
  u.per_row = (na + u.width - 1) / u.width;
  u.count = rows * u.per_row;
  return u;
}

// The flights of unit `i`, in grid order; it ends early at a flight a signal
// stopped.
std::vector<FlightResult> fly_unit(const Plan& plan, const Units& u, std::size_t i) {
  const std::size_t row = i / u.per_row, first = (i % u.per_row) * u.width;
  const std::size_t last = std::min(first + u.width, plan.alpha.size());
  const double tt = plan.tt[row];
  std::vector<FlightResult> out;
  out.reserve(last - first);
  for (std::size_t k = first; k < last; ++k) {
    const double alpha = plan.alpha[k];
    const FlightResult* same = nullptr;
    for (const FlightResult& f : out) {
      if (f.ok && !f.record.alpha_limited && f.alpha <= alpha) {
        same = &f;
        break;
      }
    }
    if (same != nullptr) {
      FlightResult f = *same;
      f.alpha = alpha;
      out.push_back(std::move(f));
      continue;
    }
    out.push_back(fly(plan, tt, alpha));
    if (out.back().interrupted) break;
  }
  return out;
}

// Flies units 0 .. count - 1 on `jobs` threads and hands their points to
// `sink` in order: a unit is one point, or a row of them in order. The
// reorder buffer lets a worker run at most four units a thread ahead of the
// first unit not yet delivered. A signal ends the flights in hand at their
// next step: the first point it ended ends the delivery, every point before
// it delivered.
template <class Unit, class Fly, class Sink>
StreamOutcome stream_in_order(std::size_t count, unsigned jobs, Fly fly, const Sink& sink,
                              const std::function<void(std::size_t)>& progress) {
  const std::size_t window = 4 * std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(count, 1));
  struct Stopped {};
  StreamOutcome outcome;
  auto deliver = [&](auto& point) {
    if (point.interrupted) throw Stopped{};
    sink(point);
    ++outcome.delivered;
  };
  try {
    run_in_order<Unit>(
        count, jobs, window, fly,
        [&](std::size_t, Unit& unit) {
          if constexpr (requires { unit.begin(); }) {
            for (auto& point : unit) deliver(point);
          } else {
            deliver(unit);
          }
        },
        [&](std::size_t) {
          if (progress) progress(outcome.delivered);
        });
  } catch (const Stopped&) {
    outcome.signal = static_cast<int>(interrupt_signal);
  }
  return outcome;
}

}  // namespace

std::vector<FlightResult> run_sweep(const Plan& plan, unsigned jobs,
                                    const std::function<void(std::size_t)>& progress) {
  std::vector<FlightResult> results;
  results.reserve(plan.size());
  const Units u = units_of(plan, jobs);
  // Every result is kept here anyway: the window only bounds how far the
  // threads run ahead of the slowest unit.
  run_in_order<std::vector<FlightResult>>(
      u.count, jobs, 4096, [&](std::size_t i) { return fly_unit(plan, u, i); },
      [&results](std::size_t, std::vector<FlightResult>& fs) {
        for (FlightResult& f : fs) results.push_back(std::move(f));
      },
      [&](std::size_t) {
        if (progress) progress(results.size());
      });
  return results;
}

StreamOutcome stream_sweep(const Plan& plan, unsigned jobs,
                           const std::function<void(const FlightResult&)>& sink,
                           const std::function<void(std::size_t)>& progress) {
  const Units u = units_of(plan, jobs);
  return stream_in_order<std::vector<FlightResult>>(
      u.count, jobs, [&](std::size_t i) { return fly_unit(plan, u, i); }, sink, progress);
}

std::string study_profile(const std::string& given, const Description& d, const char* tool) {
  if (!given.empty()) return given;
  std::string p = resolved_profile_path(d);
  std::error_code ec;
  if (!d.profile.empty() || std::filesystem::exists(p, ec)) return p;
  const std::string bundled = bundled_profile_path();
  if (!std::filesystem::is_regular_file(bundled, ec)) return p;  // the missing s1.dat is reported
  cli::report(tool, "no " + p + " in the working folder: flying the bundled profile " + bundled);
  return bundled;
}

std::string csv_header() {
  std::string h;
  for (const std::string& name : summary_columns()) h += (h.empty() ? "" : ",") + name;
  return h + "\r\n";
}

std::string csv_row(const Plan& plan, const FlightResult& f, double tolerance) {
  const std::vector<SummaryNumber> v = summary_numbers(f.tt, f.alpha, plan.iterate, f.ok, f.record, f.Pqmax, f.amax);
  std::string row = answer_text(v[0].value);
  row += ',' + answer_text(v[1].value);
  if (!f.ok) {
    // A flight that stopped has no results; its row says why.
    row += std::string(14, ',');
    row += ",no,";
    row += text_field("error " + std::to_string(f.exit_code) + ": " + f.error);
    row += "\r\n";
    return row;
  }
  for (std::size_t i = 2; i < v.size(); ++i) row += ',' + (v[i].whole ? whole(v[i].value) : exact(v[i].value));
  row += reached_targets(f.record, plan.desc->mission.target.apogee_altitude, tolerance) ? ",yes" : ",no";
  row += ",ok\r\n";
  return row;
}

// ---------------------------------------------------------------- staged

std::size_t KeyGrid::size() const {
  std::size_t n = values.empty() ? 0 : 1;
  for (const std::vector<double>& v : values) n = n > max_flights ? n : n * v.size();
  return n;
}

std::vector<double> KeyGrid::point(std::size_t i) const {
  std::vector<double> x(values.size());
  for (std::size_t k = values.size(); k-- > 0;) {
    x[k] = values[k][i % values[k].size()];
    i /= values[k].size();
  }
  return x;
}

KeyPoint fly_point(const KeyGrid& g, std::size_t i) {
  KeyPoint p;
  if (interrupt_signal != 0) {
    p.interrupted = true;
    return p;
  }
  const std::vector<double> x = g.point(i);
  for (double v : x) p.row += (p.row.empty() ? "" : ",") + answer_text(v);
  std::string refused;
  const StagedVehicle v = g.desc->with(g.keys, x, refused);
  if (!refused.empty()) {
    p.row += ',' + study::refused_fields(refused) + "\r\n";
    return p;
  }
  p.row += ',' + study::staged_fields(v, fly_staged(v)) + "\r\n";
  p.flown = true;
  return p;
}

std::string key_grid_header(const KeyGrid& g) {
  std::string h;
  for (const std::string& k : g.keys) h += (h.empty() ? "" : ",") + k;
  for (const std::string& c : study::staged_columns()) h += ',' + c;
  return h + "\r\n";
}

StreamOutcome stream_key_grid(const KeyGrid& g, unsigned jobs, const std::function<void(const KeyPoint&)>& sink,
                              const std::function<void(std::size_t)>& progress) {
  return stream_in_order<KeyPoint>(g.size(), jobs, [&](std::size_t i) { return fly_point(g, i); }, sink, progress);
}

}  // namespace ascent::sweep
