// ascent-optimize: the largest spacecraft mass the vehicle puts on its target
// orbit, and the turn time and angle limit (and any vehicle quantities set
// free) that give it, found in a few hundred whole flights.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <cmath>
#include <limits>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "io/paths.hpp"
#include "vehicle/description_file.hpp"
#include "optimize_lib.hpp"
#include "progress.hpp"
#include "study_front.hpp"
#include "staged_study.hpp"

namespace {

namespace fs = std::filesystem;
using namespace ascent;
using namespace ascent::optimize;

const char* const usage_text =
    "Usage: ascent-optimize [options]\n"
    "\n"
    "Finds the turn time and maximum angle of attack (and any vehicle quantities\n"
    "set free) that put the most spacecraft mass SC_M on the target orbit: final\n"
    "perigee and apogee within the tolerance of the target altitude, no core\n"
    "propellant borrowed. Every flight is a whole ascent session with the\n"
    "transfer. A coarse grid of starts over tt and alpha, then COBYLA local\n"
    "searches (NLopt) from the best of them, one per thread, then polishing\n"
    "searches from the best flights until --max-flights are flown.\n"
    "\n"
    "Options:\n"
    "  --tt LOW:HIGH       turn time bounds in s (default 1:90)\n"
    "  --alpha LOW:HIGH    angle limit bounds in degrees (default 0:30)\n"
    "  --free KEY=LOW:HIGH a numeric quantity of the description set free within\n"
    "                      the bounds (repeatable), e.g.\n"
    "                      --free plan.acceleration_limit=35:45\n"
    "  --tolerance KM      allowed miss of the target altitude by the final perigee\n"
    "                      and apogee, for the search and the CSV's reached column\n"
    "                      (default 10; ascent-mc's --promise-tolerance is the\n"
    "                      promise's band, not this one)\n"
    "  --max-flights N     flights at most (default 300)\n"
    "  --vehicle FILE      the vehicle and mission, a TOML description (default\n"
    "                      the built-in vehicle)\n"
    "  --profile FILE      booster thrust profile (default: the one the vehicle\n"
    "                      names, else s1.dat, else the bundled profile of the\n"
    "                      install)\n"
    "  --jobs N            flights in parallel (default: the number of cores);\n"
    "                      the result does not depend on it\n"
    "  -o FILE             every flight as CSV: ascent-sweep's columns (reached\n"
    "                      by --tolerance), then one per free key\n"
    "  --json FILE         the best flight as a JSON object\n"
    "  --answers FILE      the answers that fly the best flight in ascent\n"
    "                      (its report: FILE with the extension .out); with\n"
    "                      --free, the vehicle it needs as well, in FILE with\n"
    "                      the extension .toml (fly: ascent --vehicle F.toml < FILE)\n"
    "  --method NAME       cobyla (default), sbplx or bobyqa (a penalised mass)\n"
    "\n"
    "A staged vehicle ([[stage]] tables) has no turn time or angle limit: --free\n"
    "names keys of any stage by their place (stage.2.propellant_mass,\n"
    "stage.1.boosters.1.ignition_time, plan.guidance_takeover), at least one, and\n"
    "the search maximises the final mass on the target orbit: both its apsides\n"
    "within --tolerance (default 1 km for a staged vehicle) and the last stage\n"
    "not run dry. The CSV: the free keys, then ascent-sweep's staged columns;\n"
    "standard output ends with the best vehicle's description. Not with --tt,\n"
    "--alpha, --profile, --answers (docs/studies.md).\n"
    "  --help, --version\n"
    "\n"
    "With --free, standard output ends with the optimised vehicle's description.\n"
    "\n"
    "Exit status: 0 done; 4 no flight reached the target (the outputs are\n"
    "written, with the flight that missed least); 64 a bad option, bound, key\n"
    "or tolerance, an option given twice (--free excepted); 65 a bad vehicle\n"
    "description; 2, 3, 5, 100, 106 the\n"
    "vehicle or profile is missing, unreadable, too short or not numbers;\n"
    "2, 3, 5 an output cannot be created; 5 an output named for an input, or\n"
    "two outputs that are one file through a link; 101 a write error; 128 + N stopped\n"
    "by signal N (SIGINT, SIGTERM, SIGHUP), the outputs written with the\n"
    "flights completed.\n";

struct Options {
  study::SharedOptions shared;
  OptimizeProblem problem;
  std::string json, answers;
  std::vector<std::string> free;  // KEY=LOW:HIGH as given, read once the vehicle is known
  bool tolerance_given = false;
};

[[noreturn]] void fail(int code, const std::string& message) { throw FatalError{code, message}; }

double number(const std::string& option, const std::string& text) {
  double x = 0;
  if (!parse_real(text, x)) fail(exit_usage, option + ": '" + text + "' is not a number");
  return x;
}

Bounds bounds(const std::string& option, const std::string& text) {
  std::size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) {
    fail(exit_usage, option + ": '" + text + "' is not LOW:HIGH");
  }
  return Bounds{number(option, text.substr(0, colon)), number(option, text.substr(colon + 1))};
}

FreeKey free_key(const std::string& text) {
  std::size_t eq = text.find('=');
  if (eq == std::string::npos) fail(exit_usage, "--free: '" + text + "' is not KEY=LOW:HIGH");
  std::string name = text.substr(0, eq);
  const Key* k = find_key(name);
  if (k == nullptr) fail(exit_usage, "--free: unknown key '" + name + "' (ascent --print-vehicle lists them)");
  if (k->kind != KeyKind::real && k->kind != KeyKind::count) {
    fail(exit_usage, "--free: " + name + " is not a number (only numeric keys can be set free)");
  }
  if (name == "target.apogee_altitude") {
    fail(exit_usage, "--free: " + name + " is the target the flights are measured against; change it in the vehicle");
  }
  return FreeKey{k, bounds("--free " + name, text.substr(eq + 1)), {}};
}

Options parse_options(int argc, char** argv) {
  Options o;
  cli::Args a(argc, argv,
              study::option_table({{"--free", nullptr, cli::Option::value, true},
                                   {"--tolerance"},
                                   {"--max-flights"},
                                   {"--json"},
                                   {"--answers"},
                                   {"--method"}}));
  while (a.next()) {
    const std::string& arg = a.name();
    if (study::take_shared(a, o.shared)) {
      if (arg == "--tt") o.problem.tt = bounds(arg, o.shared.tt);
      if (arg == "--alpha") o.problem.alpha = bounds(arg, o.shared.alpha);
    } else if (arg == "--free") {
      o.free.push_back(a.value());
    } else if (arg == "--tolerance") {
      o.problem.tolerance = number(arg, a.value()) * 1000;
      o.tolerance_given = true;
    } else if (arg == "--max-flights") {
      o.problem.max_flights = cli::whole_number(arg, a.value(), 1, 1000000);
    } else if (arg == "--json") {
      o.json = a.value();
    } else if (arg == "--answers") {
      o.answers = a.value();
    } else if (arg == "--method") {
      std::string m = a.value();
      if (m == "cobyla") {
        o.problem.method = Method::cobyla;
      } else if (m == "sbplx") {
        o.problem.method = Method::sbplx_penalty;
      } else if (m == "bobyqa") {
        o.problem.method = Method::bobyqa_penalty;
      } else {
        fail(exit_usage, "--method: '" + m + "' is not cobyla, sbplx or bobyqa");
      }
    }
  }
  return o;
}

// An output file, opened before any flight so that a bad name costs nothing:
// its bytes go to a file of the run's own, created exclusively beside it,
// that replaces it only when complete. An output never closed (nothing to
// say, a fault, a signal) leaves the old file as it was.
struct Output {
  Channel ch;
  explicit Output(const std::string& name) {
    if (!name.empty()) ch.open_file_replacing(name);
  }
  void write(const std::string& text) {
    if (ch.is_open()) ch.put(text);
  }
  void close() { ch.close(); }
};

std::string km(double m) { return real_text(m / 1000, 1, 1); }

// The search, its best mass so far on the progress bar. Empty when a signal
// stopped it before any flight ended: there is nothing to write, and the
// signal has been reported.
std::optional<OptimizeResult> search(const OptimizeProblem& p, unsigned jobs) {
  ProgressBar bar(p.max_flights);
  OptimizeResult r = optimize::optimize(p, jobs, [&bar](std::size_t done, std::size_t, double best) {
    bar.update(done, best > 0 ? "best " + real_text(best, 1, 0) + " kg" : std::string("none reached yet"));
  });
  bar.finish();
  if (r.evaluations.empty()) {
    cli::report("ascent-optimize", std::string("stopped by ") + signal_name(interrupt_signal) + " before any flight ended");
    return std::nullopt;
  }
  return r;
}

// Once the outputs are written: a search a signal stopped, or one in which no
// flight reached the target, is said on standard error and in the exit code.
int exit_status(const OptimizeProblem& p, const OptimizeResult& r, bool reached) {
  if (r.interrupted) {
    cli::report("ascent-optimize", std::string("stopped by ") + signal_name(interrupt_signal) + " after " +
                                       std::to_string(r.flights()) + " flights: the outputs hold them");
    return exit_signal(interrupt_signal);
  }
  if (!reached) {
    cli::report("ascent-optimize", "no flight reached the target within " + shortest_text(p.tolerance / 1000) + " km");
    return exit_no_orbit;
  }
  return 0;
}

// A staged vehicle: the free keys of any stage, the final mass on the
// target orbit maximised; the best vehicle's description ends standard
// output (fly it: ascent --vehicle FILE).
int run_staged(Options& opts, const study::StagedDescription& staged) {
  const study::SharedOptions& o = opts.shared;
  const char* why = o.tt_given             ? "--tt"
                    : o.alpha_given        ? "--alpha"
                    : !o.profile.empty()   ? "--profile"
                    : !opts.answers.empty() ? "--answers"
                                           : nullptr;
  if (why != nullptr) {
    fail(exit_usage, std::string(why) + ": not for a staged vehicle, whose programme and guidance are in " + o.vehicle +
                         " (the best vehicle's description ends the output)");
  }
  OptimizeProblem& p = opts.problem;
  p.staged = &staged;
  // The band of a staged target: a kilometre, as the guided cut-off holds it.
  if (!opts.tolerance_given) p.tolerance = 1000;
  for (const std::string& text : opts.free) {
    FreeKey f;
    std::string bounds_text;
    study::key_and_text("--free", text, f.name, bounds_text);
    f.bounds = bounds("--free " + f.name, bounds_text);
    p.free.push_back(f);
  }
  study::check_files({o.output, opts.json}, {o.vehicle});
  if (std::string bad = check_problem(p); !bad.empty()) fail(exit_usage, bad);
  Output csv(o.output), json(opts.json);
  const std::optional<OptimizeResult> found = search(p, study::jobs_or_cores(o.jobs));
  if (!found) return exit_signal(interrupt_signal);
  const OptimizeResult& r = *found;
  const bool reached = r.best >= 0;
  const Evaluation& e = r.evaluations.at(reached ? static_cast<std::size_t>(r.best) : 0);
  std::string table = csv_header(p);
  for (const Evaluation& ev : r.evaluations) table += csv_row(p, ev);
  csv.write(table);
  csv.close();
  std::vector<std::string> keys;
  for (const FreeKey& f : p.free) keys.push_back(f.name);
  nlohmann::ordered_json j;
  j["reached"] = reached;
  j["final_mass_kg"] = e.flight.ok ? nlohmann::ordered_json(e.staged.mass) : nlohmann::ordered_json();
  j["hp_final_km"] = e.flight.ok ? nlohmann::ordered_json(e.staged.hp / 1000) : nlohmann::ordered_json();
  j["ha_final_km"] = e.flight.ok ? nlohmann::ordered_json(e.staged.ha / 1000) : nlohmann::ordered_json();
  j["tolerance_km"] = p.tolerance / 1000;
  j["flights"] = r.flights();
  j["converged"] = r.converged;
  for (std::size_t i = 0; i < p.free.size(); ++i) j[p.free[i].name] = e.free_values[i];
  json.write(j.dump(2) + "\n");
  json.close();

  std::string out = reached ? "Best flight" : "No flight reached the target; the first flown";
  out += " (" + std::to_string(r.flights()) + " flights)\n";
  for (std::size_t i = 0; i < p.free.size(); ++i) out += "  " + p.free[i].name + " = " + shortest_text(e.free_values[i]) + "\n";
  if (e.flight.ok) {
    const TargetApsides t = target_apsides(staged.vehicle().mission, staged.vehicle().earth.radius);
    out += "  final mass = " + real_text(e.staged.mass, 1, 1) + " kg\n";
    out += "  orbit   = " + km(e.staged.hp) + " x " + km(e.staged.ha) + " km (target " + km(t.hp) + " x " + km(t.ha) +
           " km +- " + shortest_text(p.tolerance / 1000) + ")\n";
  } else {
    out += "  not flown: " + e.flight.error + "\n";
  }
  out += r.converged ? "  search  = converged: its last searches found no better point\n"
                     : "  search  = ran out of flights (--max-flights " + std::to_string(p.max_flights) + ")\n";
  if (e.flight.ok) out += "\nThe vehicle flown:\n" + staged.text_with(keys, e.free_values);
  cli::print_text(out);
  return exit_status(p, r, reached);
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-optimize", usage_text)) return 0;
  Options opts = parse_options(argc, argv);
  const study::SharedOptions& o = opts.shared;
  if (study::answer_help_or_version(o.help, o.version, "ascent-optimize", usage_text)) return 0;
  OptimizeProblem& p = opts.problem;
  Description desc;
  const std::unique_ptr<study::StagedDescription> staged = study::read_vehicle(o.vehicle, desc);
  if (staged) return run_staged(opts, *staged);
  for (const std::string& f : opts.free) p.free.push_back(free_key(f));
  p.desc = &desc;
  const std::string profile_path = sweep::study_profile(o.profile, desc, "ascent-optimize");
  // With free keys the answers need the vehicle flown: beside them. The
  // answers' session names its report after them.
  std::string vehicle_out, report_name;
  const std::string& answers_out = opts.answers;
  if (!answers_out.empty()) {
    report_name = fs::path(answers_out).filename().replace_extension(".out").string();
    if (report_name == fs::path(answers_out).filename().string()) report_name += ".out";
    if (!p.free.empty()) {
      vehicle_out = fs::path(answers_out).replace_extension(".toml").string();
      if (vehicle_out == answers_out) vehicle_out += ".toml";
    }
  }
  study::check_files({o.output, opts.json, answers_out, vehicle_out}, {profile_path, o.vehicle});
  // Checked before the profile is read: its faults are not the options'.
  std::string why = check_problem(p);
  if (!why.empty()) fail(exit_usage, why);
  const BoosterProfile profile = read_profile(profile_path);
  p.profile = &profile;
  // A profile that cannot carry the shortest turn is of no use anywhere.
  sweep::probe_profile(desc, profile, p.tt.low, p.alpha.low);

  Output csv(o.output), json(opts.json), answers(answers_out), vehicle(vehicle_out);

  const std::optional<OptimizeResult> found = search(p, study::jobs_or_cores(o.jobs));
  if (!found) return exit_signal(interrupt_signal);
  const OptimizeResult& r = *found;

  // The flight reported: the best, or when none reached the target the one
  // that missed least (the first evaluation of the best merit).
  const bool reached = r.best >= 0;
  std::size_t shown = reached ? static_cast<std::size_t>(r.best) : 0;
  if (!reached) {
    double least = std::numeric_limits<double>::infinity();
    const double h = p.desc->mission.target.apogee_altitude;
    for (std::size_t i = 0; i < r.evaluations.size(); ++i) {
      const FlightRecord& rec = r.evaluations[i].flight.record;
      double miss = std::max(std::fabs(rec.hp_final - h), std::fabs(rec.ha_final - h));
      if (r.evaluations[i].flight.ok && miss < least) {
        least = miss;
        shown = i;
      }
    }
  }
  const Evaluation& e = r.evaluations.at(shown);
  const FlightRecord& rec = e.flight.record;

  std::string table = csv_header(p);
  for (const Evaluation& ev : r.evaluations) table += csv_row(p, ev);
  csv.write(table);
  csv.close();

  // A flight that did not end normally has no orbit and no mass: null, not
  // numbers it never established.
  auto flown = [&e](double x) { return e.flight.ok ? nlohmann::ordered_json(x) : nlohmann::ordered_json(); };
  nlohmann::ordered_json j;
  j["reached"] = reached;
  j["tt"] = e.flight.tt;
  j["alpha"] = e.flight.alpha;
  j["SC_M"] = flown(rec.Msc);
  j["hp_final_km"] = flown(rec.hp_final / 1000);
  j["ha_final_km"] = flown(rec.ha_final / 1000);
  j["core_propellant_left_kg"] = flown(rec.m0_core);
  j["tolerance_km"] = p.tolerance / 1000;
  j["flights"] = r.flights();
  j["converged"] = r.converged;
  for (std::size_t i = 0; i < p.free.size(); ++i) j[p.free[i].key->name] = e.free_values[i];
  json.write(j.dump(2) + "\n");
  json.close();

  // Answers replay a flight that ended normally; for none the old file stays.
  if (e.flight.ok) {
    answers.write(report_name + "\n" + shortest_text(e.flight.tt) + "\n" + shortest_text(e.flight.alpha) +
                  "\ny\n-1\n");
    answers.close();
  }
  std::string described;
  if (!p.free.empty() && e.flight.ok) {
    Description best;
    if (description_at(p, e.free_values, best).empty()) {
      // The profile as the written file must name it: relative to its folder,
      // unless the flights read s1.dat from the working directory.
      if (!o.profile.empty() || !desc.profile.empty() || profile_path != resolved_profile_path(desc)) {
        fs::path where = vehicle_out.empty() ? fs::current_path() : fs::absolute(vehicle_out).parent_path();
        best.profile = fs::absolute(profile_path).lexically_relative(where).generic_string();
      }
      described = write_description(best);
    }
  }
  if (!described.empty()) {
    vehicle.write(described);
    vehicle.close();
  }

  std::string out;
  out += reached ? "Best flight" : "No flight reached the target; the one that missed least";
  out += " (" + std::to_string(r.flights()) + " flights)\n";
  out += "  tt      = " + shortest_text(e.flight.tt) + " s\n";
  out += "  alpha   = " + shortest_text(e.flight.alpha) + " deg\n";
  for (std::size_t i = 0; i < p.free.size(); ++i) {
    out += std::string("  ") + p.free[i].key->name + " = " + shortest_text(e.free_values[i]) + " " +
           p.free[i].key->unit + "\n";
  }
  if (e.flight.ok) {
    out += "  SC_M    = " + real_text(rec.Msc, 1, 0) + " kg\n";
    out += "  orbit   = " + km(rec.hp_final) + " x " + km(rec.ha_final) + " km (target " +
           km(p.desc->mission.target.apogee_altitude) + " km +- " + shortest_text(p.tolerance / 1000) + ")\n";
    out += "  core propellant left = " + real_text(rec.m0_core, 1, 0) + " kg\n";
  } else {
    out += "  no flight ended normally: " + e.flight.error + "\n";
  }
  out += r.converged ? "  search  = converged: its last searches found no better point\n"
                     : "  search  = ran out of flights (--max-flights " + std::to_string(p.max_flights) + ")\n";
  if (!described.empty()) out += "\nThe vehicle flown:\n" + described;
  cli::print_text(out);
  return exit_status(p, r, reached);
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-optimize", argc, argv, run); }
