// ascent-sweep: flies ascent over a grid of turn times and angle-of-attack
// limits and writes one CSV row per flight, for trade studies of the
// spacecraft mass the vehicle can carry.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/turn_time.hpp"
#include "progress.hpp"
#include "study_front.hpp"
#include "sweep_lib.hpp"
#include "vehicle/description_file.hpp"

namespace {

using namespace ascent;
using namespace ascent::sweep;

const char* const usage_text =
    "Usage: ascent-sweep [options]\n"
    "\n"
    "Flies ascent for every pair of a grid of turn times and maximum angles of\n"
    "attack, with the answers ascent would be given, and writes one CSV row per\n"
    "flight (header row first, grid order: turn time major).\n"
    "\n"
    "Options:\n"
    "  --tt A:B:STEP      turn times in s, A to B (default 10:90:1); a single\n"
    "                     value flies one; values below 1 s are refused\n"
    "  --alpha A:B:STEP   maximum angles of attack in degrees (default 0:30:1)\n"
    "  --vehicle FILE     the vehicle and mission described in FILE (TOML;\n"
    "                     default the built-in vehicle)\n"
    "  --profile FILE     booster thrust profile (default: the one the\n"
    "                     description names, else s1.dat, else the bundled\n"
    "                     profile of the install when the folder has none)\n"
    "  --no-transfer      decline the transfer to apogee (no third-stage burn)\n"
    "  --iterate          fly each angle limit as an iterate-mode series that\n"
    "                     starts from the one turn time given by --tt (default\n"
    "                     40); the tt column holds the turn time it settled on\n"
    "  --vary KEY=A:B:STEP  a staged vehicle ([[stage]] tables): sweep a number\n"
    "                     of its description, named by its place, stages and\n"
    "                     booster groups counted from 1 (stage.2.propellant_mass,\n"
    "                     stage.1.boosters.1.ignition_time, payload.mass);\n"
    "                     repeatable, the grid's first key major. Its columns:\n"
    "                     the keys, hp_final_km, ha_final_km, perigee_angle_deg,\n"
    "                     final_mass_kg, propellant_left_kg, liftoff_mass_kg,\n"
    "                     t_final_s, reached, status (docs/studies.md)\n"
    "  --jobs N           flights in parallel (default: the number of cores)\n"
    "  -o FILE            write the CSV to FILE (default standard output): the\n"
    "                     rows go to FILE.tmpPID-0 as they are flown, in grid\n"
    "                     order, and it becomes FILE at the end\n"
    "  --help             this text\n"
    "  --version          the tool's version\n"
    "\n"
    "Columns: tt, alpha, tt_recommended, hp_core_km, ha_core_km,\n"
    "core_propellant_left_kg, s3_propellant_used_kg, hp_final_km, ha_final_km,\n"
    "S3_Mi, S3_Mp, S3_Ms, SC_M, S3_Mt, max_q_Pa, max_accel_ms2, reached, status.\n"
    "Masses are whole kilograms as ascent writes them; other values carry every\n"
    "digit of the flight's double. reached: final perigee and apogee within 10 km\n"
    "of the target altitude (398.6 km for the built-in vehicle), core propellant\n"
    "left >= 0, no more burnt by the upper stage than it loaded, and a spacecraft\n"
    "mass that is a positive finite number.\n"
    "status: ok, or the error that stopped that flight.\n"
    "\n"
    "Exit status: 0 done; 64 bad option or range (a value that is not a\n"
    "number, an option given twice included); 65 a bad vehicle description;\n"
    "5 the CSV named for an input; 106 a profile value that is\n"
    "not a number; 2, 3, 5, 100 the profile is missing,\n"
    "unreadable or too short (or so the vehicle description); 101 the CSV\n"
    "could not be written (a closed pipe included); 1 a thread\n"
    "could not be started; 128 + N stopped by signal N (SIGINT, SIGTERM,\n"
    "SIGHUP): the rows flown are kept in FILE.partial, FILE is untouched;\n"
    "69 no flight ended normally (the CSV is written, each row's status says why).\n";

struct Options {
  study::SharedOptions shared;
  bool transfer = true;
  bool iterate = false;
  std::vector<std::string> vary;  // KEY=A:B:STEP, a staged vehicle's
};

[[noreturn]] void fail(int code, const std::string& message) {
  throw FatalError{code, message};
}

Options parse_options(int argc, char** argv) {
  Options o;
  cli::Args a(argc, argv,
              study::option_table({{"--no-transfer", nullptr, cli::Option::flag},
                                   {"--iterate", nullptr, cli::Option::flag},
                                   {"--vary", nullptr, cli::Option::value, true}}));
  while (a.next()) {
    if (study::take_shared(a, o.shared)) continue;
    if (a.name() == "--no-transfer") o.transfer = false;
    if (a.name() == "--iterate") o.iterate = true;
    if (a.name() == "--vary") o.vary.push_back(a.value());
  }
  // The grid that holds the orbit of the built-in vehicle; an iterate-mode
  // series starts from one turn time.
  if (!o.shared.tt_given) o.shared.tt = o.iterate ? "40" : "10:90:1";
  if (!o.shared.alpha_given) o.shared.alpha = "0:30:1";
  return o;
}

std::vector<double> grid(const std::string& option, const std::string& text) {
  Range r;
  std::string error = parse_range(text, r);
  if (!error.empty()) fail(exit_usage, option + ": " + error);
  return range_values(r);
}


// Streams a study's rows to -o FILE (or standard output): `stream` flies
// them, handing each row to its sink in grid order with whether its flight
// ended normally. The exit status as the usage text gives it.
using RowSink = std::function<void(const std::string& row, bool flown)>;
using Stream = std::function<StreamOutcome(const RowSink&, const std::function<void(std::size_t)>&)>;
int write_rows(const study::SharedOptions& o, std::size_t total, const std::string& header, const Stream& stream);

// A staged vehicle's sweep over the keys of --vary.
int run_staged(const Options& opts, const study::StagedDescription& staged) {
  const study::SharedOptions& o = opts.shared;
  const char* why = o.tt_given         ? "--tt"
                    : o.alpha_given    ? "--alpha"
                    : !o.profile.empty() ? "--profile"
                    : !opts.transfer   ? "--no-transfer"
                    : opts.iterate     ? "--iterate"
                                       : nullptr;
  if (why != nullptr) {
    fail(exit_usage, std::string(why) + ": not for a staged vehicle, whose programme, guidance and thrust are in " +
                         o.vehicle + ": sweep its keys with --vary");
  }
  if (opts.vary.empty()) fail(exit_usage, "--vary: a staged vehicle is swept over its keys: give at least one");
  KeyGrid g;
  g.desc = &staged;
  for (const std::string& arg : opts.vary) {
    std::string key, text;
    study::key_and_text("--vary", arg, key, text);
    if (std::string bad = staged.check_key(key); !bad.empty()) fail(exit_usage, "--vary " + bad);
    for (const std::string& k : g.keys) {
      if (k == key) fail(exit_usage, "--vary " + key + ": given twice");
    }
    g.keys.push_back(key);
    g.values.push_back(grid("--vary " + key, text));
    // The range's ends, each alone on the vehicle described: a value the
    // reader refuses there is the option's fault; a combination of keys
    // it refuses is that point's row.
    for (double x : {g.values.back().front(), g.values.back().back()}) {
      std::string refused;
      staged.with({key}, {x}, refused);
      if (!refused.empty()) fail(exit_usage, "--vary " + key + "=" + text + ": " + refused);
    }
  }
  if (g.size() > max_flights) fail(exit_usage, "the grid has more than " + std::to_string(max_flights) + " flights");
  const unsigned jobs = study::jobs_or_cores(o.jobs);
  return write_rows(o, g.size(), key_grid_header(g), [&](const RowSink& sink, const auto& progress) {
    return stream_key_grid(g, jobs, [&](const KeyPoint& p) { sink(p.row, p.flown); }, progress);
  });
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-sweep", usage_text)) return 0;
  Options opts = parse_options(argc, argv);
  study::SharedOptions& o = opts.shared;
  if (study::answer_help_or_version(o.help, o.version, "ascent-sweep", usage_text)) return 0;
  Plan plan;
  plan.tt = grid("--tt", o.tt);
  plan.alpha = grid("--alpha", o.alpha);
  plan.transfer = opts.transfer;
  plan.iterate = opts.iterate;
  if (std::string why = study::turn_time_refusal(plan.tt.front()); !why.empty()) fail(exit_usage, why);
  if (plan.alpha.front() < 0) fail(exit_usage, "--alpha: the angle limit is a magnitude, at least 0");
  if (plan.iterate && plan.tt.size() != 1) {
    fail(exit_usage, "--tt: with --iterate, give the one turn time each series starts from");
  }
  if (plan.size() > max_flights) {
    fail(exit_usage, "the grid has more than " + std::to_string(max_flights) + " flights");
  }

  // The vehicle (a staged one is swept over its keys, not these answers),
  // and its profile parsed once and shared by every flight.
  Description desc;
  const std::unique_ptr<study::StagedDescription> staged = study::read_vehicle(o.vehicle, desc);
  if (staged) {
    study::check_files({o.output}, {o.vehicle});
    if (!o.output.empty()) study::check_files({o.output + ".partial"}, {o.vehicle});
    return run_staged(opts, *staged);
  }
  if (!opts.vary.empty()) {
    fail(exit_usage, "--vary: for a staged vehicle ([[stage]] tables); this one is swept over --tt and --alpha");
  }
  plan.desc = &desc;
  o.profile = study_profile(o.profile, desc, "ascent-sweep");
  const BoosterProfile profile = read_profile(o.profile);
  plan.profile = &profile;

  // Neither the CSV nor the rows kept of a stopped sweep may take the place
  // of an input.
  const std::string partial = o.output + ".partial";
  study::check_files({o.output}, {o.profile, o.vehicle});
  if (!o.output.empty()) study::check_files({partial}, {o.profile, o.vehicle});

  // A profile that cannot carry the shortest flight (the one that reads the
  // fewest of its points) is of no use to any grid point.
  probe_profile(desc, profile, min_turn_time, plan.alpha.front());

  const unsigned jobs = study::jobs_or_cores(o.jobs);
  return write_rows(o, plan.size(), csv_header(), [&](const RowSink& sink, const auto& progress) {
    return stream_sweep(plan, jobs, [&](const FlightResult& f) { sink(csv_row(plan, f), f.ok); }, progress);
  });
}

int write_rows(const study::SharedOptions& o, std::size_t total, const std::string& header, const Stream& stream) {
  const std::string partial = o.output + ".partial";
  // The rows go to a file of this run's own, created exclusively beside
  // FILE (two sweeps writing one name never share it, and a link planted
  // there is never followed), as they are flown; FILE itself is replaced only
  // by a complete sweep, and the rows of a stopped one are kept as
  // FILE.partial. A FILE that is no plain file (a device, a pipe, a link) is
  // written through as it is.
  Channel out;
  const bool by_rename = !o.output.empty() && Channel::replaceable(o.output);
  if (!o.output.empty()) {
    out.open_file_replacing(o.output);
  } else {
    out.open_stream(stdout, "standard output");
  }

  ProgressBar bar(total);
  out.put(header);
  std::size_t flown = 0;  // flights that ended normally
  StreamOutcome done = stream(
      [&](const std::string& row, bool ok) {
        out.put(row);
        flown += ok ? 1 : 0;
      },
      [&](std::size_t n) {
        bar.update(n);
        out.flush();  // a few writes a second: the rows flown are on disk
      });
  bar.finish();
  if (done.signal != 0) {
    out.close_as(partial);
    std::string kept = o.output.empty() ? std::string("on standard output")
                       : by_rename      ? "in " + partial + "; " + o.output + " is untouched"
                                        : "in " + o.output;
    cli::report("ascent-sweep", std::string("stopped by ") + signal_name(done.signal) + " after " +
                                    std::to_string(done.delivered) + " of " +
                                    std::to_string(total) + " flights: their rows are " + kept);
    return exit_signal(done.signal);
  }
  out.close();
  study::remove_stale_partial("ascent-sweep", o.output, "sweep");
  if (flown == 0) {
    cli::report("ascent-sweep", "none of the " + std::to_string(total) +
                                    " flights ended normally: the status column says why");
    return exit_no_flight;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-sweep", argc, argv, run); }
