// ascent-control: the best ascent a vehicle can fly, by optimal control: the
// steering a free function of time, the flight's equations constraints of a
// sparse nonlinear programme (IPOPT), the optimum flown back through the
// fixed-step integrator as its certificate.
#include <cmath>
#include <string>

#include "study.hpp"
#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "study_front.hpp"

namespace {

using namespace ascent;
using namespace ascent::control;

const char* const usage_text =
    "Usage: ascent-control (--problem NAME | --vehicle FILE) [options]\n"
    "\n"
    "Finds the steering (thrust pitch against time, free in every phase between\n"
    "the vehicle's events) that puts the most mass on the target orbit, by\n"
    "Hermite-Simpson collocation solved with IPOPT, and flies it back through the\n"
    "fixed-step RK4 integrator: the replayed orbit and mass beside the optimum.\n"
    "A vehicle's own guided flight is flown too: its mass beside the optimum (the\n"
    "gap) and its steering the solver's first guess.\n"
    "\n"
    "Options:\n"
    "  --problem NAME   a built-in problem: delta3 (the Delta III transfer-orbit\n"
    "                   ascent, published optimum 7,529.712 kg)\n"
    "  --vehicle FILE   the problem of a description: a staged one (its stages,\n"
    "                   boosters and fairing; vehicles/delta3_gto.toml), or a\n"
    "                   classic one (vehicles/orvalon5_guided.toml), whose\n"
    "                   objective is the spacecraft's mass SC_M as it is sized\n"
    "                   from the flight\n"
    "  --turn-time S    a classic description's own flight, flown beside the\n"
    "  --alpha-max DEG  optimum: its turn time (s, default 36) and angle-of-attack\n"
    "                   limit (degrees, default 18)\n"
    "  --open-loop TT:ALPHA\n"
    "                   a classic guided description flown on its open-loop\n"
    "                   programme too, at the turn time (s) and angle limit\n"
    "                   (degrees) ascent-optimize found best: the open-loop gap\n"
    "  --no-rise        leave out the description's vertical rise off the pad\n"
    "                   (the published Delta III problem has none)\n"
    "  --q-max PA       limit the dynamic pressure along the path (Pa)\n"
    "  --q-alpha-max X  limit dynamic pressure times angle of attack (Pa deg, the\n"
    "                   angle between the thrust and the path through the air)\n"
    "  --mesh N         collocation intervals times N (default 2; 1 to 16)\n"
    "  -o FILE          the optimal steering as CSV: time, pitch, phase, altitude,\n"
    "                   velocity, mass at every collocation point\n"
    "  --json FILE      the optimum, the replay, the steering and the gaps as JSON\n"
    "  --time           also print the solver's CPU time (varies from run to run)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done; 4 the solver found no optimum (the outputs are not\n"
    "written); 64 a bad option or problem name; 65 a description that cannot be\n"
    "transcribed; 2, 3, 5 an output cannot be created (or the description read);\n"
    "5 two outputs that are one file; 100 a read error; 101 a write error.\n";

[[noreturn]] void fail(int code, const std::string& message) { throw FatalError{code, message}; }

struct Options {
  std::string problem, vehicle, output, json;
  int mesh = 2;
  bool time = false, rise = true;
  double q_max = 0, qalpha_max = 0;  // Pa, Pa deg; 0: none
  ClassicAnswers answers;
  bool answered = false;
};

double limit(const std::string& option, const std::string& text) {
  double x = 0;
  if (!parse_real(text, x) || !(x > 0) || !std::isfinite(x))
    fail(exit_usage, option + ": '" + text + "' is not a limit above 0");
  return x;
}

// --open-loop TT:ALPHA, the open-loop programme's turn time and angle limit.
void open_loop_turn(const std::string& text, ClassicAnswers& a) {
  const std::size_t colon = text.find(':');
  if (colon == std::string::npos) fail(exit_usage, "--open-loop: '" + text + "' is not TT:ALPHA (s:deg)");
  a.open_tt = limit("--open-loop", text.substr(0, colon));
  a.open_alpha = limit("--open-loop", text.substr(colon + 1));
}

Options parse_options(int argc, char** argv) {
  Options o;
  cli::Args a(argc, argv,
              {{"--problem"}, {"--vehicle"}, {"--mesh"}, {"-o"}, {"--json"}, {"--time", nullptr, cli::Option::flag},
               {"--no-rise", nullptr, cli::Option::flag}, {"--q-max"},
               {"--q-alpha-max"}, {"--turn-time"}, {"--alpha-max"}, {"--open-loop"}});
  while (a.next()) {
    const std::string& arg = a.name();
    if (arg == "--problem") o.problem = a.value();
    else if (arg == "--vehicle") o.vehicle = a.value();
    else if (arg == "--mesh") o.mesh = int(cli::whole_number(arg, a.value(), 1, 16));
    else if (arg == "-o") o.output = a.value();
    else if (arg == "--json") o.json = a.value();
    else if (arg == "--time") a.no_value(), o.time = true;
    else if (arg == "--no-rise") a.no_value(), o.rise = false;
    else if (arg == "--q-max") o.q_max = limit(arg, a.value());
    else if (arg == "--q-alpha-max") o.qalpha_max = limit(arg, a.value());
    else if (arg == "--turn-time") o.answers.tt = limit(arg, a.value()), o.answered = true;
    else if (arg == "--alpha-max") o.answers.alpha = limit(arg, a.value()), o.answered = true;
    else if (arg == "--open-loop") open_loop_turn(a.value(), o.answers), o.answered = true;
  }
  if (o.problem.empty() == o.vehicle.empty())
    fail(exit_usage, "give one of --problem (built in: delta3) and --vehicle FILE");
  if (!o.rise && o.vehicle.empty()) fail(exit_usage, "--no-rise: only a --vehicle has a vertical rise to leave out");
  return o;
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-control", usage_text)) return 0;
  const Options o = parse_options(argc, argv);
  study::check_files({o.output, o.json}, o.vehicle.empty() ? std::vector<std::string>{} : std::vector{o.vehicle});
  Study s = o.vehicle.empty() ? builtin_study(o.problem) : vehicle_study(o.vehicle, o.rise, o.answers);
  if (o.answered && !s.classic)
    fail(exit_usage, "--turn-time, --alpha-max, --open-loop: only a classic description is flown at a turn time");
  set_limits(s, o.q_max, o.qalpha_max);
  Channel csv, json;
  if (!o.output.empty()) csv.open_file_replacing(o.output);
  if (!o.json.empty()) json.open_file_replacing(o.json);
  try {
    solve_study(s, o.mesh);
  } catch (const FatalError& e) {
    if (e.code != exit_no_orbit) throw;
    cli::report("ascent-control", e.message);
    return exit_no_orbit;
  }
  csv.put(steering_csv(s));
  csv.close();
  json.put(study_json(s).dump(2) + "\n");
  json.close();
  cli::print_text(study_text(s, o.time));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-control", argc, argv, run); }
