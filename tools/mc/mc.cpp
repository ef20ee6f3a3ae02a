// ascent-mc: flies many dispersed copies of the vehicle with the same answers
// and reports how sure its payload and its orbit are.
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
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
#include "io/paths.hpp"
#include "mc_lib.hpp"
#include "staged_mc.hpp"
#include "staged_study.hpp"
#include "sweep_lib.hpp"
#include "vehicle/description_file.hpp"
#include "progress.hpp"
#include "study_front.hpp"

namespace {

using namespace ascent;
using namespace ascent::mc;

const char* const usage_text =
    "Usage: ascent-mc [options]\n"
    "       ascent-mc --merge A.csv B.csv ... -o OUT.csv [--json FILE]\n"
    "                 [--merge-impacts A_IMPACTS.csv ... --impacts FILE]\n"
    "\n"
    "Flies --runs dispersed copies of the vehicle, each with the same answers,\n"
    "and reports the spread of the spacecraft mass and of the final orbit.\n"
    "Run r's quantities are drawn from a generator keyed by the seed, r and the\n"
    "quantity's name: the same vehicle whatever --jobs, --shard or machine.\n"
    "\n"
    "Options:\n"
    "  --runs N           number of runs (default 1000; at most 10000000)\n"
    "  --dispersions FILE what scatters and how (TOML; see vehicles/dispersions.toml);\n"
    "                     without it nothing is dispersed\n"
    "  --tt T             turn time in s (default 36; with --iterate the first guess)\n"
    "  --alpha A          maximum angle of attack in degrees (default 18)\n"
    "  --no-transfer      decline the transfer to apogee (no third-stage burn)\n"
    "  --iterate          each run is an iterate-mode series\n"
    "  --vehicle FILE     the nominal vehicle and mission, a description as ascent\n"
    "                     --print-vehicle writes it (default the built-in vehicle)\n"
    "  --profile FILE     booster thrust profile (default the one the description\n"
    "                     names, else s1.dat in the working directory, else the\n"
    "                     bundled profile of the install)\n"
    "  --seed S           the study's seed, 0 to 18446744073709551615 (default 1)\n"
    "  --jobs N           flights in parallel (default: the number of cores)\n"
    "  --shard K/N        fly only runs r with (r - 1) mod N = K - 1 (K from 1 to N)\n"
    "  -o FILE            write one CSV row per run to FILE, in run order\n"
    "  --json FILE        write the summary as JSON to FILE\n"
    "  --sensitivity FILE fly each quantity alone at -3 and +3 sigma (uniform: at\n"
    "                     its bounds), print the ranking and write it as CSV to FILE\n"
    "                     (--runs 0 flies only these)\n"
    "  --merge A.csv ...  combine shard CSVs into the CSV of the whole study (-o)\n"
    "  --impacts FILE     where each run's dropped parts (boosters, core stage,\n"
    "                     fairing) come down: one CSV row per run and part, and\n"
    "                     each part's 3-sigma footprint ellipse in the summary and\n"
    "                     under impact_footprints in --json; with --shard the\n"
    "                     shard's rows, with --merge the merged rows\n"
    "  --epoch TIME       UTC time of ignition, which places the impact points on\n"
    "                     the turning Earth, YYYY-MM-DDThh:mm:ss[.ffffff] (default\n"
    "                     2027-01-01T00:00:00, as ascent --json places them)\n"
    "  --merge-impacts A.csv ...\n"
    "                     with --merge: the shards' impacts files, merged into\n"
    "                     --impacts FILE with the footprints of the whole study\n"
    "  --promise P        after the study, find the largest spacecraft mass that a\n"
    "                     share P of the runs carries to the target orbit (P above\n"
    "                     0 and below 1; 0.99865, three sigma, is the usual choice),\n"
    "                     with the Wilson 95 % interval of the share that carries\n"
    "                     it; it decides every run at each mass it tries, so not\n"
    "                     with --shard or --merge\n"
    "  --promise-check    with --promise: fly every run again at the answer and at\n"
    "                     1 kg more, and say whether the order of the masses held\n"
    "                     (if not, search again flying every run at every mass)\n"
    "  --promise-tolerance KM\n"
    "                     for --promise: both final apsides within KM of the target\n"
    "                     altitude (default 10, the reached column's own band; any\n"
    "                     distance above 0); the reached column and the summary\n"
    "                     keep their 10 km. --tolerance KM is its older spelling\n"
    "                     (ascent-optimize's --tolerance is another band: the one\n"
    "                     its reached column and its search hold)\n"
    "  --help, --version\n"
    "\n"
    "A staged vehicle ([[stage]] tables) disperses the numbers its description\n"
    "writes, named by their place (stage.2.thrust, stage.1.boosters.1.mass,\n"
    "payload.mass; counts from 1, bottom first), each run read by the staged\n"
    "reader (a run it refuses is not flown) and flown as ascent --vehicle flies\n"
    "it; columns: run, the keys, hp_final_km, ha_final_km, perigee_angle_deg,\n"
    "final_mass_kg, propellant_left_kg, liftoff_mass_kg, t_final_s, reached,\n"
    "status. --promise P finds the largest payload (payload.mass) that reaches\n"
    "the target orbit in a share P of the runs (with --promise-tolerance KM,\n"
    "both final apsides within KM of the target's too; --promise-check as for a\n"
    "classic vehicle). --shard and --merge work as for a classic vehicle, and\n"
    "so do --impacts and --epoch (its parts are each stage separated, each\n"
    "booster group and the fairing jettisoned) and --sensitivity (ranked by\n"
    "the final mass). Not with --tt, --alpha, --profile, --no-transfer,\n"
    "--iterate (docs/studies.md).\n"
    "\n"
    "Dispersed quantities: any number key of the vehicle description, and\n"
    "profile.thrust_scale (every booster thrust point times the factor),\n"
    "profile.time_scale (the burn stretched by the factor at the same total\n"
    "impulse: times k t, thrusts F / k) and air.density_scale (the air's density).\n"
    "\n"
    "CSV columns: run, one per dispersed quantity, reached, SC_M, hp_final_km,\n"
    "ha_final_km, core_propellant_left_kg, max_q_Pa, max_accel_ms2, status. Masses\n"
    "in whole kg as ascent writes them, other numbers every digit. A drawn vehicle\n"
    "that is not a valid description is not flown: status 'vehicle refused: ...'.\n"
    "\n"
    "The promise: the vehicle carries a spacecraft of M kg when everything above\n"
    "the core (upper.stack_mass) is the nominal stack less the nominal flight's\n"
    "SC_M plus M. Run r carries M when its drawn vehicle, flown with that stack,\n"
    "reaches the target orbit within the propellant loaded (as the reached column\n"
    "tests) with both final apsides within --promise-tolerance, and the SC_M\n"
    "sized from that flight is at least M. From the nominal SC_M the search steps by\n"
    "1000 kg, doubling, then halves the bracket to the kilogram. A run that\n"
    "carries M carries every lighter mass and one that misses M every heavier\n"
    "one: at each mass only the runs the masses already flown (the study's own\n"
    "runs first) leave undecided are flown. The answer is the same for any\n"
    "--jobs. It writes nothing to the runs CSV.\n"
    "\n"
    "Exit status: 0 done; 64 bad option (an option given twice included); 65 bad\n"
    "dispersions file, vehicle description or shard CSV (a line of a shard longer\n"
    "than 1 MiB included);\n"
    "2, 3, 5, 100 a file missing, not reachable, not allowed or unreadable;\n"
    "5 an output named for an input, or two outputs that are one file through a link;\n"
    "101 an output could not be written; 69 no run flew to the end (the\n"
    "outputs are written, each row's status says why), or with --promise the\n"
    "nominal flight did not fly to the end (nothing is written); 128 + N stopped by\n"
    "signal N (SIGINT, SIGTERM, SIGHUP): the runs flown are kept in\n"
    "FILE.partial, every old output is untouched; stopped while the promise is\n"
    "searched, the study's outputs are written, its summary without the promise.\n";

struct Options {
  study::SharedOptions shared;  // -o is the runs CSV
  std::size_t runs = 1000;
  std::string dispersions;
  double tt = 36, alpha = 18;
  bool transfer = true, iterate = false;
  std::uint64_t seed = 1;
  unsigned shard = 1, shards = 1;
  bool shard_given = false;
  std::string json, sensitivity;
  std::vector<std::string> merge;
  bool merging = false;
  std::optional<double> promise;  // the share of the runs
  double promise_tolerance_km = reached_band_km;
  bool promise_tolerance_given = false;
  bool promise_check = false;
  std::string impacts;  // the impact points' CSV
  std::vector<std::string> merge_impacts;  // the shards' impacts files
  std::string epoch = default_epoch;       // of the impact points
  bool epoch_given = false;
  Epoch impacts_at;                        // the epoch read
};

[[noreturn]] void usage(const std::string& message) { throw FatalError{exit_usage, message}; }

std::uint64_t whole_number(const std::string& option, const std::string& text, std::uint64_t min, std::uint64_t max) {
  return cli::whole_number(option, text, min, max);
}

double real_number(const std::string& option, const std::string& text) {
  double x = 0;
  if (!parse_real(text, x)) usage(option + ": '" + text + "' is not a number");
  return x;
}

Options parse_options(int argc, char** argv) {
  Options o;
  // --tolerance, the promise's band before it had a name of its own, is
  // read as --promise-tolerance: scripts that give it keep working.
  cli::Args a(argc, argv,
              study::option_table({{"--runs"},
                                   {"--dispersions"},
                                   {"--no-transfer", nullptr, cli::Option::flag},
                                   {"--iterate", nullptr, cli::Option::flag},
                                   {"--seed"},
                                   {"--shard"},
                                   {"--json"},
                                   {"--sensitivity"},
                                   {"--merge", nullptr, cli::Option::list},
                                   {"--promise"},
                                   {"--promise-check", nullptr, cli::Option::flag},
                                   {"--impacts"},
                                   {"--merge-impacts", nullptr, cli::Option::list},
                                   {"--epoch"},
                                   {"--promise-tolerance", "--tolerance"}}));
  while (a.next()) {
    const std::string& arg = a.name();
    auto value = [&a] { return a.value(); };
    if (study::take_shared(a, o.shared)) {
      if (arg == "--tt") {
        o.tt = real_number(arg, o.shared.tt);
        if (std::string why = study::turn_time_refusal(o.tt); !why.empty()) usage(why);
      } else if (arg == "--alpha") {
        o.alpha = real_number(arg, o.shared.alpha);
        if (!(o.alpha >= 0)) usage("--alpha: the angle limit is a magnitude, at least 0");
      }
    } else if (arg == "--runs") {
      o.runs = whole_number(arg, value(), 0, max_runs);
    } else if (arg == "--dispersions") {
      o.dispersions = value();
    } else if (arg == "--no-transfer") {
      o.transfer = false;
    } else if (arg == "--iterate") {
      o.iterate = true;
    } else if (arg == "--seed") {
      o.seed = whole_number(arg, value(), 0, UINT64_MAX);
    } else if (arg == "--shard") {
      std::string v = value();
      std::size_t slash = v.find('/');
      if (slash == std::string::npos) usage("--shard: write K/N, say 2/4");
      o.shards = static_cast<unsigned>(whole_number(arg, v.substr(slash + 1), 1, 1000000));
      o.shard = static_cast<unsigned>(whole_number(arg, v.substr(0, slash), 1, o.shards));
      o.shard_given = true;
    } else if (arg == "--json") {
      o.json = value();
    } else if (arg == "--sensitivity") {
      o.sensitivity = value();
    } else if (arg == "--merge") {
      o.merging = true;
      o.merge = a.values();
      if (o.merge.empty()) usage("--merge: name the shard CSVs");
    } else if (arg == "--promise") {
      std::string v = value();
      double p = real_number(arg, v);
      if (!(p > 0 && p < 1)) {
        usage("--promise: P is a share of the runs, above 0 and below 1 (0.99865, say), got '" + v + "'");
      }
      o.promise = p;
    } else if (arg == "--impacts") {
      o.impacts = value();
    } else if (arg == "--merge-impacts") {
      o.merge_impacts = a.values();
      if (o.merge_impacts.empty()) usage("--merge-impacts: name the shards' impacts files");
    } else if (arg == "--epoch") {
      o.epoch = value();
      o.epoch_given = true;
    } else if (arg == "--promise-check") {
      o.promise_check = true;
    } else if (arg == "--promise-tolerance") {
      std::string v = value();
      o.promise_tolerance_km = real_number(arg, v);
      o.promise_tolerance_given = true;
      if (!(o.promise_tolerance_km > 0 && std::isfinite(o.promise_tolerance_km))) {
        usage("--promise-tolerance: a distance in km above 0, got '" + v + "'");
      }
    }
  }
  if (std::string why = parse_epoch(o.epoch, o.impacts_at); !why.empty()) usage("--epoch: " + why);
  const bool answering = o.shared.help || o.shared.version;
  if (!o.merging && !answering && o.runs == 0 && o.sensitivity.empty()) {
    usage("--runs 0 flies nothing: give at least one run, or --sensitivity");
  }
  if (o.promise_check && !o.promise) usage("--promise-check: it checks a promise: give --promise P as well");
  if (o.promise_tolerance_given && !o.promise) {
    usage("--promise-tolerance: only the promise uses it: give --promise P as well");
  }
  if (o.promise && (o.merging || o.shard_given)) usage("--promise: the promise flies every run; not with --shard/--merge");
  // A footprint's ellipse needs the points of every run together: a shard
  // writes its rows, and the merge of the shards' rows draws the ellipses.
  if (!o.merge_impacts.empty() && !o.merging) usage("--merge-impacts: it goes with --merge");
  if (o.merging && o.merge_impacts.empty() != o.impacts.empty()) {
    usage("--merge-impacts and --impacts go together in a merge: the shards' impacts files and the merged one");
  }
  if (o.epoch_given && (o.impacts.empty() || o.merging)) {
    usage(o.merging ? "--epoch: a merge flies nothing; its impacts files carry their epoch"
                    : "--epoch: only the impact points use it: give --impacts FILE as well");
  }
  if (!o.impacts.empty() && o.runs == 0 && !o.merging) usage("--impacts: --runs 0 flies no study to drop parts");
  if (o.promise && o.runs == 0) usage("--promise: --runs 0 flies no study to promise from");
  return o;
}

// Text for a terminal or a file, with CR LF line ends as ascent writes.
std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '\n' ? std::string("\r\n") : std::string(1, c);
  return out;
}

// An output file: its bytes go to a file of the run's own, created
// exclusively beside it, that replaces it only when complete; opened before
// the first flight, so that a folder that is missing or cannot be written
// stops the study before it starts, and a study that is stopped or fails
// leaves the old file as it was.
class Output {
 public:
  explicit Output(const std::string& name) { ch_.open_file_replacing(name); }
  void write(const std::string& s) { ch_.put(s); }
  void flush() { ch_.flush(); }
  void close() { ch_.close(); }
  // The rows of a stopped study, kept under `name`.
  void close_as(const std::string& name) { ch_.close_as(name); }

 private:
  Channel ch_;
};

void write_stdout(const std::string& text) {
  std::string t = crlf(text);
  if (std::fwrite(t.data(), 1, t.size(), stdout) != t.size() || std::fflush(stdout) != 0) {
    throw FatalError{err_write, "standard output: write error"};
  }
}

// Outputs must not overwrite an input, nor each other; nor may the runs
// kept of a stopped study.
void check_outputs(const Options& o, const std::vector<std::string>& inputs) {
  study::check_files({o.shared.output, o.json, o.sensitivity, o.impacts}, inputs);
  if (!o.shared.output.empty()) study::check_files({o.shared.output + ".partial"}, inputs);
}

void write_summary(const Summary& s, std::unique_ptr<Output>& json) {
  if (json) {
    json->write(summary_json(s));
    json->close();
  }
  write_stdout(summary_text(s));
}

std::unique_ptr<Output> open_output(const std::string& name) {
  return name.empty() ? nullptr : std::make_unique<Output>(name);
}

int stopped(int sig, const std::string& when, const std::string& kept);

std::string epoch_given_warning(const Options& o) { return o.epoch_given ? epoch_warning(o.impacts_at) : ""; }

// Merges the shards' impacts files into `out`, checking that they are of
// the study the runs files merged into `study` (their line with an epoch),
// and returns the footprints of the merged rows.
std::vector<Footprint> merge_impacts(const std::vector<std::string>& files, const std::string& study, Output& out) {
  FootprintBuilder fb;
  std::size_t line = 0;
  merge(
      files,
      [&](const std::string& l) {
        out.write(l);
        ++line;
        const std::string bare = l.substr(0, l.size() - 2);
        std::string why;
        if (line == 1) {
          if (bare.rfind(study.substr(0, study.size() - 2) + " epoch=", 0) != 0) {
            why = "the impact points of another study than the runs files'";
          }
        } else if (line == 2) {
          if (l != impacts_header()) why = "no impacts header";
        } else {
          why = fb.add_row(bare);
        }
        if (!why.empty()) throw FatalError{err_description, files.front() + ": not an impacts file: " + why};
      },
      false);
  return fb.finish();
}

// What a study a signal stopped keeps, in words: the runs flown are in
// FILE.partial with FILE untouched (or, written through to a device or a
// pipe, in FILE itself); the sensitivities and impact points are not
// written at all.
std::string kept_after_stop(const Options& o, Output* csv, bool sens, bool impacts) {
  std::string kept;
  if (csv && Channel::replaceable(o.shared.output)) {
    csv->close_as(o.shared.output + ".partial");
    kept = ": their rows are in " + o.shared.output + ".partial; " + o.shared.output + " is untouched";
  } else if (csv) {  // a device or a pipe, written through
    csv->close();
    kept = ": their rows are in " + o.shared.output;
  }
  if (sens) kept += std::string(kept.empty() ? ": " : "; ") + o.sensitivity + " is untouched";
  if (impacts) kept += std::string(kept.empty() ? ": " : "; ") + o.impacts + " is untouched";
  return kept;
}

int run_merge(const Options& o) {
  if (o.shared.output.empty()) usage("--merge: name the merged CSV with -o");
  if (!o.sensitivity.empty()) usage("--merge: --sensitivity needs a study, not shards");
  std::vector<std::string> inputs = o.merge;
  inputs.insert(inputs.end(), o.merge_impacts.begin(), o.merge_impacts.end());
  check_outputs(o, inputs);
  Output out(o.shared.output);
  std::unique_ptr<Output> json = open_output(o.json);
  std::unique_ptr<Output> impacts = open_output(o.impacts);
  SummaryBuilder sb;
  // A staged vehicle's runs have their own columns, which the header tells.
  StagedSummaryBuilder staged_sb;
  bool staged = false;
  bool first = true;
  double target = std::numeric_limits<double>::quiet_NaN();
  std::string study;
  std::optional<std::vector<Footprint>> summary_footprints;
  try {
    merge(o.merge, [&](const std::string& line) {
      out.write(line);
      if (line.rfind("#", 0) == 0) {  // the study's line
        study = line;
        std::size_t at = line.find("target_apogee_altitude_m=");
        if (at != std::string::npos) target = std::strtod(line.c_str() + at + 25, nullptr);
        return;
      }
      std::string bare = line.substr(0, line.size() - 2);
      if (first) staged = staged_sb.header(bare).empty();
      std::string why = staged ? (first ? std::string() : staged_sb.add(bare)) : first ? sb.header(bare) : sb.add(bare);
      if (!why.empty()) throw FatalError{err_description, o.merge.front() + ": not a runs file: " + why};
      first = false;
    });
    if (impacts) summary_footprints = merge_impacts(o.merge_impacts, study, *impacts);
  } catch (const Interrupted& e) {
    return stopped(e.signal, "while merging",
                   ": " + o.shared.output + (impacts ? " and " + o.impacts + " are" : std::string(" is")) + " untouched");
  }
  out.close();
  if (impacts) impacts->close();
  study::remove_stale_partial("ascent-mc", o.shared.output, "study");
  if (staged) {
    StagedSummary summary = staged_sb.finish();
    summary.footprints = summary_footprints;
    if (json) {
      json->write(staged_summary_json(summary, study));
      json->close();
    }
    write_stdout(staged_summary_text(summary));
    return 0;
  }
  Summary summary = sb.finish();
  summary.target_apogee_altitude_m = target;
  summary.study_line = study;
  summary.footprints = summary_footprints;
  write_summary(summary, json);
  return 0;
}

// One line on standard error for a study a signal stopped; no summary is
// written, every old output stays as it was.
int stopped(int sig, const std::string& when, const std::string& kept) {
  cli::report("ascent-mc", std::string("stopped by ") + signal_name(sig) + " " + when + kept);
  return exit_signal(sig);
}

// A staged vehicle's study: the keys of any stage dispersed, each run read
// by the staged reader and flown as ascent flies it; the promise is the
// payload a share of the runs carries to the target orbit.
int run_staged(const Options& o, const study::StagedDescription& staged) {
  const char* why = o.shared.tt_given           ? "--tt"
                    : o.shared.alpha_given      ? "--alpha"
                    : !o.shared.profile.empty() ? "--profile"
                    : !o.transfer               ? "--no-transfer"
                    : o.iterate                 ? "--iterate"
                                                : nullptr;
  if (why != nullptr) usage(std::string(why) + ": not for a staged vehicle (its runs are flown as ascent --vehicle flies it)");
  StagedMc p;
  p.desc = &staged;
  p.draws.seed = o.seed;
  p.draws.runs = o.runs;
  p.draws.shard = o.shard;
  p.draws.shards = o.shards;
  std::vector<std::string> inputs = {o.shared.vehicle};
  if (!o.dispersions.empty()) inputs.push_back(o.dispersions);
  check_outputs(o, inputs);
  if (!o.dispersions.empty()) {
    const std::string text = read_whole_file(o.dispersions);
    p.draws.dispersions_digest = digest(text);
    try {
      p.draws.dispersions = parse_dispersions(text, o.dispersions, staged_rules(staged));
    } catch (const DispersionError& e) {
      throw FatalError{err_description, e.message()};
    }
  } else {
    cli::report("ascent-mc", "no --dispersions: nothing is dispersed, every run flies the nominal vehicle");
  }
  for (const Dispersion& d : p.draws.dispersions) p.keys.push_back(d.name);
  const unsigned jobs = study::jobs_or_cores(o.shared.jobs);
  // Every output is opened before the first flight.
  std::unique_ptr<Output> sens = open_output(o.sensitivity);
  std::unique_ptr<Output> csv = o.runs == 0 ? nullptr : open_output(o.shared.output);
  std::unique_ptr<Output> json = o.runs == 0 ? nullptr : open_output(o.json);
  std::unique_ptr<Output> impacts = o.runs == 0 ? nullptr : open_output(o.impacts);
  if (sens) {
    StagedSensitivityStudy s;
    try {
      s = staged_sensitivity(p, jobs);
    } catch (const Interrupted& e) {
      return stopped(e.signal, "while flying the sensitivities", "");
    }
    sens->write(staged_sensitivity_csv(s));
    write_stdout(staged_tornado_text(s) + "\n");
    // Replaced with the study's other outputs once it is whole.
    if (o.runs == 0) {
      sens->close();
      return 0;
    }
  }
  FootprintBuilder footprints;
  if (impacts) {
    p.impacts_at = &o.impacts_at;
    if (std::string w = epoch_given_warning(o); !w.empty()) cli::report("ascent-mc", w);
  }
  const std::string line = staged_study_line(p, staged.text_with({}, {}));
  if (csv) csv->write(line + staged_csv_header(p));
  if (impacts) impacts->write(impacts_study_line(line, o.impacts_at) + impacts_header());
  StagedSummaryBuilder sb;
  sb.header(staged_csv_header(p).substr(0, staged_csv_header(p).size() - 2));
  std::vector<char> reached;  // each run's outcome, for the promise
  ProgressBar bar(shard_runs(p.draws));
  try {
    staged_monte_carlo(
        p, jobs,
        [&](const StagedRun& r) {
          if (r.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
          if (csv) csv->write(r.csv);
          if (impacts) {
            impacts->write(impacts_rows(r.run, r.impacts));
            footprints.add(r.impacts);
          }
          sb.add(r.csv.substr(0, r.csv.size() - 2));
          reached.push_back(r.refused.empty() && r.flight.reached ? 1 : 0);
        },
        [&](std::size_t done) {
          bar.update(done);
          if (csv) csv->flush();
        });
  } catch (const Interrupted& e) {
    bar.finish();
    const std::string kept = kept_after_stop(o, csv.get(), sens != nullptr, impacts != nullptr);
    return stopped(e.signal, "after " + std::to_string(reached.size()) + " of " + std::to_string(shard_runs(p.draws)) + " runs",
                   kept);
  }
  bar.finish();
  if (csv) csv->close();
  if (impacts) impacts->close();
  if (sens) sens->close();
  if (csv) study::remove_stale_partial("ascent-mc", o.shared.output, "study");
  StagedSummary summary = sb.finish();
  if (impacts) summary.footprints = footprints.finish();
  if (o.promise) {
    std::unique_ptr<ProgressBar> trial_bar;
    std::size_t shown = 0;
    try {
      staged_promise(p, summary, *o.promise, o.promise_tolerance_given ? o.promise_tolerance_km : 0, o.promise_check, jobs,
                     reached, [&](std::size_t trial, double M, std::size_t done) {
        if (trial != shown) {
          if (trial_bar) trial_bar->finish();
          trial_bar = std::make_unique<ProgressBar>(p.draws.runs);
          shown = trial;
        }
        char note[64];
        std::snprintf(note, sizeof note, " promise trial %zu: %.0f kg", trial, M);
        trial_bar->update(done, note);
      });
    } catch (const Interrupted& e) {
      if (trial_bar) trial_bar->finish();
      summary.promised = false;
      if (json) {
        json->write(staged_summary_json(summary, line));
        json->close();
      }
      write_stdout(staged_summary_text(summary));
      return stopped(e.signal, "while searching the promise", ": the summary is without the promise");
    }
    if (trial_bar) trial_bar->finish();
  }
  if (json) {
    json->write(staged_summary_json(summary, line));
    json->close();
  }
  write_stdout(staged_summary_text(summary));
  if (summary.flown == 0) {
    cli::report("ascent-mc", "none of the " + std::to_string(summary.runs) +
                                 " runs was flown: the status column of the runs says why");
    return exit_no_flight;
  }
  return 0;
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-mc", usage_text)) return 0;
  Options o = parse_options(argc, argv);
  if (study::answer_help_or_version(o.shared.help, o.shared.version, "ascent-mc", usage_text)) return 0;
  if (o.merging) return run_merge(o);

  McProblem p;
  p.answers.tt = o.tt;
  p.answers.alpha = o.alpha;
  p.answers.transfer = o.transfer;
  p.answers.iterate = o.iterate;
  p.seed = o.seed;
  p.runs = o.runs;
  p.shard = o.shard;
  p.shards = o.shards;
  // The vehicle is read (and refused if it is bad) before anything is
  // created.
  Description desc;
  const std::unique_ptr<study::StagedDescription> staged = study::read_vehicle(o.shared.vehicle, desc);
  if (staged) return run_staged(o, *staged);
  p.desc = &desc;
  const std::string profile_path = sweep::study_profile(o.shared.profile, desc, "ascent-mc");
  std::vector<std::string> inputs = {profile_path};
  if (!o.dispersions.empty()) inputs.push_back(o.dispersions);
  if (!o.shared.vehicle.empty()) inputs.push_back(o.shared.vehicle);
  check_outputs(o, inputs);

  const BoosterProfile profile = read_profile(profile_path);
  p.profile = &profile;
  if (!o.dispersions.empty()) {
    // Read once: the digest the study's first line records is of the text
    // the runs were drawn from, even if the file changes meanwhile.
    const std::string text = read_whole_file(o.dispersions);
    p.dispersions_digest = digest(text);
    try {
      p.dispersions = parse_dispersions(text, o.dispersions, *p.desc);
    } catch (const DispersionError& e) {
      throw FatalError{err_description, e.message()};
    }
  }
  if (o.dispersions.empty()) {
    cli::report("ascent-mc", "no --dispersions: nothing is dispersed, every run flies the nominal vehicle");
  }
  const unsigned jobs = study::jobs_or_cores(o.shared.jobs);

  // Every output is opened before the first flight.
  std::unique_ptr<Output> sens = open_output(o.sensitivity);
  std::unique_ptr<Output> csv = o.runs == 0 ? nullptr : open_output(o.shared.output);
  std::unique_ptr<Output> json = o.runs == 0 ? nullptr : open_output(o.json);
  std::unique_ptr<Output> impacts = open_output(o.impacts);
  if (impacts) {
    p.impacts_at = &o.impacts_at;
    // Once the study is sure to go on: an epoch given is used as ERFA takes
    // it (the default's points have always gone without the warning).
    if (std::string w = epoch_given_warning(o); !w.empty()) cli::report("ascent-mc", w);
  }
  FootprintBuilder footprints;

  if (sens) {
    SensitivityStudy s;
    try {
      s = sensitivity(p, jobs);
    } catch (const Interrupted& e) {
      return stopped(e.signal, "while flying the sensitivities", "");
    }
    sens->write(sensitivity_csv(s));
    write_stdout(tornado_text(s) + "\n");
    // Replaced with the study's other outputs, once it is whole: a study
    // stopped leaves every old output as it was, this one too.
    if (o.runs == 0) {
      sens->close();
      return 0;
    }
  }

  // The promise's masses are measured from the nominal flight's SC_M: flown
  // first, so that a vehicle whose nominal flight stops is refused before
  // the study.
  double SC_M_nominal = 0;
  const PromiseAsk ask{o.promise.value_or(0), o.promise_tolerance_km, o.promise_check};
  // What the study's runs tell the promise: its trial at the nominal mass.
  std::unique_ptr<RunBrackets> known;
  if (o.promise) {
    const std::optional<double> start = promise_start(p, "--promise");
    if (!start) return stopped(static_cast<int>(interrupt_signal), "while flying the nominal flight", "");
    SC_M_nominal = *start;
    known = std::make_unique<RunBrackets>(p.runs);
  }

  SummaryBuilder sb;
  sb.quantities(p.dispersions);
  const std::string line = study_line(p);
  if (csv) csv->write(line + csv_header(p.dispersions));
  if (impacts) impacts->write(impacts_study_line(line, o.impacts_at) + impacts_header());
  ProgressBar bar(shard_runs(p));
  std::size_t delivered = 0;
  try {
    monte_carlo(
        p, jobs,
        [&](const RunResult& r) {
          // A run that a signal cut short is no run of the study.
          if (r.flight.interrupted) throw Interrupted{static_cast<int>(interrupt_signal)};
          if (csv) csv->write(r.csv);
          if (impacts) {
            impacts->write(impacts_rows(r.run, r.impacts));
            footprints.add(r.impacts);
          }
          if (known) note_study_run(*known, p, ask, SC_M_nominal, r);
          sb.add(run_outcome(p, r.flight));
          ++delivered;
        },
        [&](std::size_t done) {
          bar.update(done);
          if (csv) csv->flush();  // a few writes a second: the rows flown are on disk
        });
  } catch (const Interrupted& e) {
    bar.finish();
    const std::string kept = kept_after_stop(o, csv.get(), sens != nullptr, impacts != nullptr);
    return stopped(e.signal, "after " + std::to_string(delivered) + " of " + std::to_string(shard_runs(p)) + " runs",
                   kept);
  }
  bar.finish();
  if (csv) csv->close();
  if (sens) sens->close();
  if (impacts) impacts->close();
  if (csv) study::remove_stale_partial("ascent-mc", o.shared.output, "study");
  Summary summary = sb.finish();
  summary.target_apogee_altitude_m = desc.mission.target.apogee_altitude;
  summary.study_line = line;
  if (impacts) summary.footprints = footprints.finish();
  if (o.promise) {
    // One progress line per mass tried: the search's own record on a terminal.
    std::unique_ptr<ProgressBar> trial_bar;
    std::size_t shown_trial = 0;
    auto finish_bar = [&] {
      if (trial_bar) trial_bar->finish();
      trial_bar.reset();
    };
    try {
      summary.promise = find_promise(
          p, ask, SC_M_nominal, jobs,
          [&](std::size_t trial, double M, std::size_t done) {
            if (trial != shown_trial) {
              finish_bar();
              trial_bar = std::make_unique<ProgressBar>(p.runs);
              shown_trial = trial;
            }
            char note[64];
            std::snprintf(note, sizeof note, " promise trial %zu: %.0f kg", trial, M);
            trial_bar->update(done, note);
          },
          known.get());
    } catch (const Interrupted& e) {
      // The study is whole and its runs are written: its summary is written
      // too, without the promise and saying it stopped, so that no old
      // summary is left beside the new runs.
      finish_bar();
      summary.promise_stopped = signal_name(e.signal);
      write_summary(summary, json);
      std::string kept = csv ? ": the runs are complete in " + o.shared.output + ", the summary" : ": the summary";
      kept += json ? " in " + o.json + " is without the promise" : " is without the promise";
      return stopped(e.signal, "while searching the promise", kept);
    }
    finish_bar();
  }
  write_summary(summary, json);
  if (summary.flown == 0 && summary.runs > 0) {
    cli::report("ascent-mc", "none of the " + std::to_string(summary.runs) +
                                 " runs flew to the end: the status column of the runs says why");
    return exit_no_flight;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-mc", argc, argv, run); }
