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

std::vector<FlightResult> run_sweep(const Plan& plan, unsigned jobs,
                                    const std::function<void(std::size_t)>& progress) {
  const std::size_t n = plan.size();
  std::vector<FlightResult> results(n);
  // Every result is kept here anyway: the window only bounds how far the
  // threads run ahead of the slowest flight.
  run_in_order<FlightResult>(
      n, jobs, 4096, [&plan](std::size_t i) { return fly(plan, plan.tt_at(i), plan.alpha_at(i)); },
      [&results](std::size_t i, FlightResult& f) { results[i] = std::move(f); }, progress);
  return results;
}

StreamOutcome stream_sweep(const Plan& plan, unsigned jobs,
                           const std::function<void(const FlightResult&)>& sink,
                           const std::function<void(std::size_t)>& progress) {
  const std::size_t n = plan.size();
  const std::size_t threads_wanted = std::clamp<std::size_t>(jobs, 1, std::max<std::size_t>(n, 1));
  // The reorder buffer: a worker may run at most this far ahead of the
  // first flight not yet delivered.
  const std::size_t window = 4 * threads_wanted;
  // A signal ends the flights in hand at their next step: the first of them
  // in grid order ends the delivery, every flight before it delivered.
  struct Stopped {};
  StreamOutcome outcome;
  try {
    run_in_order<FlightResult>(
        n, jobs, window, [&plan](std::size_t i) { return fly(plan, plan.tt_at(i), plan.alpha_at(i)); },
        [&](std::size_t, FlightResult& r) {
          if (r.interrupted) throw Stopped{};
          sink(r);
          ++outcome.delivered;
        },
        progress);
  } catch (const Stopped&) {
    outcome.signal = static_cast<int>(interrupt_signal);
  }
  return outcome;
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

}  // namespace ascent::sweep
