// ascent-sweep: flies ascent over a grid of turn times and angle-of-attack
// limits and writes one CSV row per flight, for trade studies of the
// spacecraft mass the vehicle can carry.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "io/fatal_error.hpp"
#include "progress.hpp"
#include "sweep_lib.hpp"

namespace {

using namespace ascent;
using namespace ascent::sweep;

// Exit codes beyond ascent's own input/output codes.
constexpr int exit_usage = 1;  // an unknown option or a bad range

const char* const usage_text =
    "Usage: ascent-sweep [options]\n"
    "\n"
    "Flies ascent for every pair of a grid of turn times and maximum angles of\n"
    "attack, with the answers ascent would be given, and writes one CSV row per\n"
    "flight (header row first, grid order: turn time major).\n"
    "\n"
    "Options:\n"
    "  --tt A:B:STEP      turn times in s, A to B (default 20:60:1); a single\n"
    "                     value flies one; values below 1 s are refused\n"
    "  --alpha A:B:STEP   maximum angles of attack in degrees (default 0:10:1)\n"
    "  --profile FILE     booster thrust profile (default s1.dat)\n"
    "  --no-transfer      decline the transfer to apogee (no third-stage burn)\n"
    "  --iterate          fly each angle limit as an iterate-mode series that\n"
    "                     starts from the one turn time given by --tt (default\n"
    "                     40); the tt column holds the turn time it settled on\n"
    "  --jobs N           flights in parallel (default: the number of cores)\n"
    "  -o FILE            write the CSV to FILE (default standard output)\n"
    "  --help             this text\n"
    "\n"
    "Columns: tt, alpha, tt_recommended, hp_core_km, ha_core_km,\n"
    "core_propellant_left_kg, s3_propellant_used_kg, hp_final_km, ha_final_km,\n"
    "S3_Mi, S3_Mp, S3_Ms, SC_M, S3_Mt, max_q_Pa, max_accel_ms2, reached, status.\n"
    "Masses are whole kilograms as ascent writes them; other values carry every\n"
    "digit of the flight's double. reached: final perigee and apogee within 10 km\n"
    "of 398.6 km, core propellant left >= 0 and a positive spacecraft mass.\n"
    "status: ok, or the error that stopped that flight.\n"
    "\n"
    "Exit status: 0 done; 1 bad option or range; 106 a value that is not a\n"
    "number; 2, 3, 5, 100 the profile is missing, unreadable or too short;\n"
    "101 the CSV could not be written.\n";

struct Options {
  std::string tt = "20:60:1";
  bool tt_given = false;
  std::string alpha = "0:10:1";
  std::string profile = "s1.dat";
  std::string output;  // empty: standard output
  bool transfer = true;
  bool iterate = false;
  unsigned jobs = 0;  // 0: the number of cores
  bool help = false;
};

[[noreturn]] void fail(int code, const std::string& message) {
  throw FatalError{code, message};
}

unsigned parse_jobs(const std::string& text) {
  unsigned long n = 0;
  bool digits = !text.empty() && text.size() <= 4;
  for (char c : text) digits = digits && c >= '0' && c <= '9';
  if (digits) n = std::stoul(text);
  if (!digits || n < 1 || n > 1024) fail(exit_usage, "--jobs: '" + text + "' is not a number of jobs from 1 to 1024");
  return static_cast<unsigned>(n);
}

Options parse_options(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool has_inline = false;
    if (arg.rfind("--", 0) == 0) {
      std::size_t eq = arg.find('=');
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        arg = arg.substr(0, eq);
        has_inline = true;
      }
    }
    auto take_value = [&]() -> std::string {
      if (has_inline) return value;
      if (i + 1 >= argc) fail(exit_usage, arg + ": a value is missing");
      return argv[++i];
    };
    auto no_value = [&] {
      if (has_inline) fail(exit_usage, arg + " takes no value");
    };
    if (arg == "--tt") {
      o.tt = take_value();
      o.tt_given = true;
    } else if (arg == "--alpha") {
      o.alpha = take_value();
    } else if (arg == "--profile") {
      o.profile = take_value();
    } else if (arg == "-o" || arg == "--output") {
      o.output = take_value();
    } else if (arg == "--jobs" || arg == "-j") {
      o.jobs = parse_jobs(take_value());
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
  if (!error.empty()) {
    bool not_a_number = error.find("is not a number") != std::string::npos;
    fail(not_a_number ? err_number : exit_usage, option + ": " + error);
  }
  return range_values(r);
}

bool same_file(const std::string& a, const std::string& b) {
  std::error_code ec;
  return std::filesystem::equivalent(a, b, ec);
}

void write_all(std::FILE* out, const std::string& name, const std::string& text) {
  if (std::fwrite(text.data(), 1, text.size(), out) != text.size() || std::fflush(out) != 0) {
    fail(err_write, name + ": write error");
  }
}

int run(int argc, char** argv) {
  Options o = parse_options(argc, argv);
  if (o.help) {
    std::string help = usage_text;
    std::string crlf;
    for (char c : help) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    write_all(stdout, "standard output", crlf);
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

  // The profile is parsed once and shared by every flight.
  const BoosterProfile profile = read_profile(o.profile);
  plan.profile = &profile;

  // A profile that cannot carry the shortest flight (the one that reads the
  // fewest of its points) is of no use to any grid point.
  {
    Plan probe = plan;
    probe.transfer = false;
    probe.iterate = false;
    FlightResult p = fly(probe, 1.0, plan.alpha.front());
    if (!p.ok) fail(p.exit_code, p.error + " (the profile cannot carry even a 1 s turn)");
  }

  std::FILE* out = stdout;
  std::string out_name = "standard output";
  if (!o.output.empty()) {
    if (same_file(o.output, o.profile)) {
      fail(err_access_denied, o.output + ": refused: the CSV would overwrite the profile");
    }
    errno = 0;
    out = std::fopen(o.output.c_str(), "wb");
    if (out == nullptr) throw_open_error(errno, o.output, true);
    out_name = o.output;
  }

  unsigned jobs = o.jobs != 0 ? o.jobs : std::max(1u, std::thread::hardware_concurrency());
  ProgressBar bar(plan.size());
  std::vector<FlightResult> results =
      run_sweep(plan, jobs, [&bar](std::size_t done) { bar.update(done); });
  bar.finish();

  std::string csv = csv_header();
  for (const FlightResult& f : results) csv += csv_row(plan, f);
  write_all(out, out_name, csv);
  if (out != stdout && std::fclose(out) != 0) fail(err_write, out_name + ": write error on close");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const FatalError& e) {
    std::fprintf(stderr, "ascent-sweep: %s\r\n", e.message.c_str());
    return e.code;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "ascent-sweep: internal error: %s\r\n", e.what());
    return 1;
  }
}
