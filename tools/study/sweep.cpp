// ascent-sweep: flies ascent over a grid of turn times and angle-of-attack
// limits and writes one CSV row per flight, for trade studies of the
// spacecraft mass the vehicle can carry.
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "progress.hpp"
#include "io/interrupt.hpp"
#include "io/paths.hpp"
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
    "number included); 65 a bad vehicle description; 106 a profile value that is\n"
    "not a number; 2, 3, 5, 100 the profile is missing,\n"
    "unreadable or too short (or so the vehicle description); 101 the CSV\n"
    "could not be written (a closed pipe included); 1 a thread\n"
    "could not be started; 128 + N stopped by signal N (SIGINT, SIGTERM,\n"
    "SIGHUP): the rows flown are kept in FILE.partial, FILE is untouched;\n"
    "69 no flight ended normally (the CSV is written, each row's status says why).\n";

struct Options {
  std::string tt = "10:90:1";  // the grid that holds the orbit of the built-in vehicle
  bool tt_given = false;
  std::string alpha = "0:30:1";
  std::string profile;  // empty: the description's, else s1.dat
  std::string vehicle;  // empty: the built-in vehicle
  std::string output;   // empty: standard output
  bool transfer = true;
  bool iterate = false;
  unsigned jobs = 0;  // 0: the number of cores
  bool help = false;
};

[[noreturn]] void fail(int code, const std::string& message) {
  throw FatalError{code, message};
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (cli::Args a(argc, argv); a.next();) {
    const std::string& arg = a.name();
    auto take_value = [&a] { return a.value(); };
    auto no_value = [&a] { a.no_value(); };
    if (arg == "--tt") {
      o.tt = take_value();
      o.tt_given = true;
    } else if (arg == "--alpha") {
      o.alpha = take_value();
    } else if (arg == "--profile") {
      o.profile = take_value();
    } else if (arg == "--vehicle") {
      o.vehicle = take_value();
    } else if (arg == "-o" || arg == "--output") {
      o.output = take_value();
    } else if (arg == "--jobs" || arg == "-j") {
      o.jobs = static_cast<unsigned>(cli::whole_number(arg, take_value(), 1, 1024));
    } else if (arg == "--no-transfer") {
      no_value();
      o.transfer = false;
    } else if (arg == "--iterate") {
      no_value();
      o.iterate = true;
    } else if (arg == "--help" || arg == "-h") {
      no_value();
      o.help = true;
    } else {
      fail(exit_usage, "unknown option '" + arg + "' (try --help)");
    }
  }
  if (o.iterate && !o.tt_given) o.tt = "40";
  return o;
}

std::vector<double> grid(const std::string& option, const std::string& text) {
  Range r;
  std::string error = parse_range(text, r);
  if (!error.empty()) fail(exit_usage, option + ": " + error);
  return range_values(r);
}


int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-sweep", usage_text)) return 0;
  Options o = parse_options(argc, argv);
  if (o.help) {
    cli::print_text(usage_text);
    return 0;
  }

  Plan plan;
  plan.tt = grid("--tt", o.tt);
  plan.alpha = grid("--alpha", o.alpha);
  plan.transfer = o.transfer;
  plan.iterate = o.iterate;
  if (plan.tt.front() < 1) fail(exit_usage, "--tt: ascent refuses turn times below 1 s");
  if (plan.alpha.front() < 0) fail(exit_usage, "--alpha: the angle limit is a magnitude, at least 0");
  if (plan.iterate && plan.tt.size() != 1) {
    fail(exit_usage, "--tt: with --iterate, give the one turn time each series starts from");
  }
  if (plan.size() > max_flights) {
    fail(exit_usage, "the grid has more than " + std::to_string(max_flights) + " flights");
  }

  // The vehicle, and its profile parsed once and shared by every flight.
  const Description desc = o.vehicle.empty() ? builtin_description() : read_description(o.vehicle);
  plan.desc = &desc;
  o.profile = study_profile(o.profile, desc, "ascent-sweep");
  const BoosterProfile profile = read_profile(o.profile);
  plan.profile = &profile;

  const std::string partial = o.output + ".partial";
  if (!o.output.empty()) {
    // Neither the CSV nor the rows kept of a stopped sweep may take the
    // place of an input.
    for (const std::string& name : {o.output, partial}) {
      for (const std::string& input : {o.profile, o.vehicle}) {
        if (!input.empty() && (name == input || same_file(name, input))) {
          fail(err_access_denied, name + ": refused: the CSV would overwrite the input " + input);
        }
      }
    }
  }

  // A profile that cannot carry the shortest flight (the one that reads the
  // fewest of its points) is of no use to any grid point.
  {
    Plan probe = plan;
    probe.transfer = false;
    probe.iterate = false;
    FlightResult p = fly(probe, 1.0, plan.alpha.front());
    if (p.interrupted) {
      cli::report("ascent-sweep", std::string("stopped by ") + signal_name(interrupt_signal) +
                                      " before the first flight");
      return exit_signal(interrupt_signal);
    }
    if (!p.ok) {
      // A vehicle too heavy to lift off is refused with its own reason.
      fail(p.exit_code, p.exit_code == err_read ? p.error + " (the profile cannot carry even a 1 s turn)" : p.error);
    }
  }

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

  unsigned jobs = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  ProgressBar bar(plan.size());
  out.put(csv_header());
  std::size_t flown = 0;  // flights that ended normally
  StreamOutcome done = stream_sweep(
      plan, jobs,
      [&](const FlightResult& f) {
        out.put(csv_row(plan, f));
        flown += f.ok ? 1 : 0;
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
                                    std::to_string(plan.size()) + " flights: their rows are " + kept);
    return exit_signal(done.signal);
  }
  out.close();
  // The rows a stopped sweep kept under this name are not this sweep's: they
  // must not stay beside its result.
  std::error_code ec;
  if (!o.output.empty() && std::filesystem::is_regular_file(std::filesystem::symlink_status(partial, ec)) &&
      std::filesystem::remove(partial, ec)) {
    cli::report("ascent-sweep", "removed " + partial + ", the rows of an earlier sweep that was stopped");
  }
  if (flown == 0) {
    cli::report("ascent-sweep", "none of the " + std::to_string(plan.size()) +
                                    " flights ended normally: the status column says why");
    return exit_no_flight;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-sweep", argc, argv, run); }
