// ascent-control: the best ascent a vehicle can fly, by optimal control: the
// steering a free function of time, the flight's equations constraints of a
// sparse nonlinear programme (IPOPT), the optimum flown back through the
// fixed-step integrator as its certificate.
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "control.hpp"
#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/number_format.hpp"
#include "study_front.hpp"

namespace {

using namespace ascent;
using namespace ascent::control;

const char* const usage_text =
    "Usage: ascent-control --problem NAME [options]\n"
    "\n"
    "Finds the steering (thrust pitch against time, free in every phase between\n"
    "the vehicle's events) that puts the most mass on the target orbit, by\n"
    "Hermite-Simpson collocation solved with IPOPT, and flies it back through the\n"
    "fixed-step RK4 integrator: the replayed orbit and mass beside the optimum.\n"
    "\n"
    "Options:\n"
    "  --problem NAME   the problem; built in: delta3 (the Delta III transfer-orbit\n"
    "                   ascent, published optimum 7,529.712 kg)\n"
    "  --mesh N         collocation intervals times N (default 2; 1 to 16)\n"
    "  -o FILE          the optimal steering as CSV: time, pitch, phase, altitude,\n"
    "                   velocity, mass at every collocation point\n"
    "  --json FILE      the optimum, the replay, the steering and the gaps as JSON\n"
    "  --time           also print the solver's CPU time (varies from run to run)\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 done; 4 the solver found no optimum (the outputs are not\n"
    "written); 64 a bad option or problem name; 2, 3, 5 an output cannot be\n"
    "created; 5 two outputs that are one file; 101 a write error.\n";

[[noreturn]] void fail(int code, const std::string& message) { throw FatalError{code, message}; }

struct Options {
  std::string problem, output, json;
  int mesh = 2;
  bool time = false;
};

Options parse_options(int argc, char** argv) {
  Options o;
  cli::Args a(argc, argv, {{"--problem"}, {"--mesh"}, {"-o"}, {"--json"}, {"--time", nullptr, cli::Option::flag}});
  while (a.next()) {
    const std::string& arg = a.name();
    if (arg == "--problem") o.problem = a.value();
    else if (arg == "--mesh") o.mesh = int(cli::whole_number(arg, a.value(), 1, 16));
    else if (arg == "-o") o.output = a.value();
    else if (arg == "--json") o.json = a.value();
    else if (arg == "--time") a.no_value(), o.time = true;
  }
  if (o.problem.empty()) fail(exit_usage, "--problem is missing (built in: delta3)");
  if (o.problem != "delta3") fail(exit_usage, "--problem: unknown problem '" + o.problem + "' (built in: delta3)");
  return o;
}

constexpr double deg = 180 / 3.14159265358979323846;

nlohmann::ordered_json orbit_json(const Orbit& o) {
  return {{"mass_kg", o.m}, {"a_km", o.a / 1000}, {"e", o.e}, {"perigee_deg", o.perigee * deg}};
}

std::string steering_csv(const Solution& s, const Problem& p) {
  std::string t = "t_s,pitch_deg,phase,altitude_km,vx_m_s,vy_m_s,mass_kg\r\n";
  for (const Point& q : s.points) {
    t += shortest_text(q.t) + "," + shortest_text(q.alpha * deg) + "," + std::to_string(q.phase + 1) + "," +
         shortest_text((q.x[kR] - p.earth.R) / 1000) + "," + shortest_text(q.x[kVx]) + "," +
         shortest_text(q.x[kVy]) + "," + shortest_text(q.x[kM]) + "\r\n";
  }
  return t;
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-control", usage_text)) return 0;
  const Options o = parse_options(argc, argv);
  study::check_files({o.output, o.json}, {});
  Problem p = delta3();
  const double published = 7529.712;  // kg, the benchmark's published optimum
  for (Phase& ph : p.phases) ph.intervals *= o.mesh;
  Channel csv, json;
  if (!o.output.empty()) csv.open_file_replacing(o.output);
  if (!o.json.empty()) json.open_file_replacing(o.json);

  const Solution s = solve(p);
  if (!s.converged || s.points.empty()) {
    cli::report("ascent-control", "the solver found no optimum: " + s.status);
    return exit_no_orbit;
  }
  const Replay r = replay(p, s);

  nlohmann::ordered_json j;
  j["problem"] = p.name;
  j["objective"] = "final mass";
  j["optimum"] = s.final.m;
  j["published"] = published;
  j["status"] = s.status;
  j["iterations"] = s.iterations;
  j["orbit"] = orbit_json(s.final);
  j["target"] = {{"a_km", p.target.a / 1000}, {"e", p.target.e}, {"perigee_deg", p.target.perigee * deg}};
  j["replay"] = orbit_json(r.final);
  // No guided or open-loop flight of this vehicle exists until it is a
  // staged description the program flies.
  j["guided"] = nullptr;
  j["open_loop"] = nullptr;
  j["guided_gap"] = nullptr;
  j["open_loop_gap"] = nullptr;
  nlohmann::ordered_json steer = nlohmann::ordered_json::array();
  for (const Point& q : s.points) steer.push_back({q.t, q.alpha * deg});
  j["steering"] = steer;

  csv.put(steering_csv(s, p));
  csv.close();
  json.put(j.dump(2) + "\n");
  json.close();

  std::string out = "Optimal ascent: " + p.name + " (" + s.status + ", " + std::to_string(s.iterations) +
                    " iterations)\n";
  out += "  final mass = " + real_text(s.final.m, 1, 3) + " kg (published " + real_text(published, 1, 3) +
         " kg, difference " + real_text(s.final.m - published, 1, 3) + " kg)\n";
  out += "  orbit      = a " + real_text(s.final.a / 1000, 1, 3) + " km, e " + real_text(s.final.e, 1, 6) +
         ", perigee " + real_text(s.final.perigee * deg, 1, 4) + " deg from the site\n";
  out += "  replay     = a " + real_text(r.final.a / 1000, 1, 3) + " km, e " + real_text(r.final.e, 1, 6) +
         ", perigee " + real_text(r.final.perigee * deg, 1, 4) + " deg, mass " + real_text(r.final.m, 1, 3) +
         " kg\n";
  out += "  burn       = " + real_text(s.points.back().t, 1, 2) + " s to injection\n";
  out += "  guided     = no guided flight of this vehicle yet: no gap to print\n";
  if (o.time) out += "  solved in " + real_text(s.cpu_seconds, 1, 2) + " s of CPU\n";
  cli::print_text(out);
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-control", argc, argv, run); }
