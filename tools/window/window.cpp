// ascent-window: the launch times of a day at which the launch site passes
// under a target orbit's plane, ascending and descending, with the launch
// azimuth each asks for; CSV and JSON.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "earth/ballistic.hpp"
#include "earth/launch_window.hpp"
#include "io/channel.hpp"
#include "io/cli.hpp"
#include "io/exit_codes.hpp"
#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "earth/frames.hpp"
#include "report/trajectory_export.hpp"
#include "study_front.hpp"
#include "vehicle/description_file.hpp"

namespace {

using namespace ascent;

const char* const usage_text =
    "Usage: ascent-window --date YYYY-MM-DD --node DEG [options]\n"
    "\n"
    "Lists the instants of a UTC day at which the launch site passes under the\n"
    "plane of the target orbit: the ascending pass (the orbit runs north over\n"
    "the site) and the descending one, each with the launch azimuth it asks\n"
    "for. Launched then, the vehicle reaches the plane without turning out of\n"
    "its launch azimuth. The site and the inclination are the description's\n"
    "(target.latitude, target.longitude, target.inclination), on WGS 84.\n"
    "\n"
    "Options:\n"
    "  --date DATE       the UTC day, YYYY-MM-DD (years 1900 to 2100)\n"
    "  --node DEG        right ascension of the plane's ascending node\n"
    "  --inclination DEG the plane's inclination (default the description's)\n"
    "  --eme2000         node and inclination in EME2000 (the OEM's frame);\n"
    "                    default: the true equator and equinox of date, the\n"
    "                    frame the 3-D flight aims its node in\n"
    "  --dut1 S          UT1 - UTC in seconds, |DUT1| < 0.9 (default 0)\n"
    "  --vehicle FILE    the vehicle and mission described in FILE (TOML;\n"
    "                    default the built-in vehicle)\n"
    "  -o FILE           write the CSV to FILE (default standard output)\n"
    "  --json FILE       also write the window as JSON to FILE\n"
    "  --help            this text\n"
    "  --version         the tool's version\n"
    "\n"
    "Columns: pass (ascending or descending), utc (to the microsecond),\n"
    "second_of_day_s, azimuth_inertial_deg (the plane's direction over the\n"
    "site against the stars), azimuth_ground_deg (the azimuth over the ground\n"
    "that gives it at the circular speed of the target apogee, the site's\n"
    "turn with the Earth deducted). A site at a latitude beyond the\n"
    "inclination never passes under the plane: the CSV then has its header\n"
    "only, and a line on standard error says so.\n"
    "\n"
    "Exit status: 0 done; 64 a bad option or value; 65 a bad vehicle\n"
    "description; 2, 3, 5 the description not found, a path not found,\n"
    "access denied (5 also: an output named for an input); 101 an output\n"
    "could not be written.\n";

struct Options {
  std::string date, node, inclination, dut1 = "0", vehicle, output, json;
  bool eme2000 = false, help = false, version = false;
};

[[noreturn]] void usage(const std::string& message) { throw FatalError{exit_usage, message}; }

double real_number(const std::string& option, const std::string& text) {
  double x = 0;
  if (!parse_real(text, x) || !std::isfinite(x)) usage(option + ": '" + text + "' is not a number");
  return x;
}

Options parse_options(int argc, char** argv) {
  Options o;
  cli::Args a(argc, argv,
              {{"--date"}, {"--node"}, {"--inclination"}, {"--eme2000", nullptr, cli::Option::flag}, {"--dut1"},
               {"--vehicle"}, {"-o"}, {"--json"}, {"--help", nullptr, cli::Option::flag},
               {"--version", nullptr, cli::Option::flag}});
  while (a.next()) {
    const std::string& n = a.name();
    if (n == "--eme2000" || n == "--help" || n == "--version") {
      a.no_value();
      (n == "--eme2000" ? o.eme2000 : n == "--help" ? o.help : o.version) = true;
      continue;
    }
    std::string& slot = n == "--date" ? o.date : n == "--node" ? o.node : n == "--inclination" ? o.inclination
                      : n == "--dut1" ? o.dut1 : n == "--vehicle" ? o.vehicle : n == "-o" ? o.output : o.json;
    slot = a.value();
  }
  return o;
}

// "YYYY-MM-DDThh:mm:ss.ffffff" of a second of the day (rounded to the
// microsecond, and held within the day).
std::string utc_text(const std::string& date, double second) {
  long long us = std::llround(second * 1e6);
  if (us > 86400000000LL - 1) us = 86400000000LL - 1;
  const long long s = us / 1000000;
  char buf[40];
  std::snprintf(buf, sizeof buf, "%sT%02lld:%02lld:%02lld.%06lld", date.c_str(), s / 3600, s / 60 % 60, s % 60,
                us % 1000000);
  return buf;
}

constexpr double deg = 3.14159265358979323846 / 180;

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-window", usage_text)) return 0;
  const Options o = parse_options(argc, argv);
  if (o.help) {
    cli::print_text(usage_text);
    return 0;
  }
  if (o.version) {
    cli::print_text(std::string("ascent-window ") + cli::version() + "\n");
    return 0;
  }
  if (o.date.empty()) usage("--date: the day is missing (YYYY-MM-DD)");
  if (o.node.empty()) usage("--node: the plane's node is missing (degrees)");
  Epoch day;
  if (o.date.size() != 10) usage("--date: '" + o.date + "' is not a day YYYY-MM-DD");
  if (std::string why = parse_epoch(o.date + "T00:00:00", day); !why.empty()) {
    usage("--date: '" + o.date + "' is not a day YYYY-MM-DD");
  }
  const double node = real_number("--node", o.node);
  const double dut1 = real_number("--dut1", o.dut1);
  if (!(std::abs(dut1) < 0.9)) usage("--dut1: " + o.dut1 + " s is not below 0.9 s in size, as UT1 - UTC is kept");
  study::check_files({o.output, o.json}, {o.vehicle});

  const Description desc = o.vehicle.empty() ? builtin_description() : read_description(o.vehicle);
  const Target& target = desc.mission.target;
  const double inc = o.inclination.empty() ? target.inclination : real_number("--inclination", o.inclination);
  if (!(inc >= 0 && inc <= 180)) usage("--inclination: " + shortest_text(inc) + " degrees is not from 0 to 180");

  const Geodetic site{target.latitude * deg, target.longitude * deg, 0.0};
  const OrbitPlane plane{inc * deg, node * deg, o.eme2000 ? PlaneFrame::eme2000 : PlaneFrame::of_date};
  const std::vector<PlanePass> passes = plane_passes(site, plane, day.day, dut1);

  // The ground azimuth: the orbit's speed at the target apogee less the
  // site's own eastward speed, from the Earth's turn.
  const Spheroid earth = wgs84_earth();
  const Vec3 r_site = wgs84_cartesian(site);
  const double v_site = earth.omega * std::hypot(r_site[0], r_site[1]);
  const double v_orbit = std::sqrt(earth.mu / (earth.a + target.apogee_altitude));

  // The crossing times rest on UT1 = UTC + DUT1; TT - UTC only dates the
  // precession and nutation, where a second moves a crossing by microseconds.
  if (time_scales(day.day, 0.0, dut1).dubious) {
    cli::report("ascent-window", "warning: " + o.date +
                                     " is past what ERFA's leap-second table vouches for: the times hold for "
                                     "UT1 = UTC + DUT1 as given (--dut1)");
  }
  if (passes.empty()) {
    cli::report("ascent-window", "the site at latitude " + shortest_text(target.latitude) +
                                     " degrees never passes under a plane of inclination " + shortest_text(inc) +
                                     " degrees: a launch into it must turn out of its azimuth (a dog-leg)");
  }

  std::string csv = "pass,utc,second_of_day_s,azimuth_inertial_deg,azimuth_ground_deg\n";
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const PlanePass& p : passes) {
    const double az_ground = ground_azimuth(p.azimuth, v_orbit, v_site);
    const std::string name = p.ascending ? "ascending" : "descending", when = utc_text(o.date, p.second);
    csv += name + "," + when + "," + real_text(p.second, 0, 6) + "," + real_text(p.azimuth / deg, 0, 6) + "," +
           real_text(az_ground / deg, 0, 6) + "\n";
    rows.push_back({{"pass", name},
                    {"utc", when},
                    {"second_of_day_s", p.second},
                    {"azimuth_inertial_deg", p.azimuth / deg},
                    {"azimuth_ground_deg", az_ground / deg}});
  }

  Channel out;
  if (o.output.empty()) {
    out.open_stream(stdout, "standard output");
  } else {
    out.open_file_replacing_through_links(o.output);
  }
  for (std::size_t at = 0, end; at < csv.size(); at = end + 1) {
    end = csv.find('\n', at);
    out.line(std::string_view(csv).substr(at, end - at));
  }
  if (!o.json.empty()) {
    nlohmann::ordered_json doc = {{"date", o.date},
                                  {"frame", o.eme2000 ? "EME2000" : "true equator and equinox of date"},
                                  {"site", {{"latitude_deg", target.latitude}, {"longitude_deg", target.longitude}}},
                                  {"inclination_deg", inc},
                                  {"node_deg", node},
                                  {"dut1_s", dut1},
                                  {"passes", rows}};
    Channel js;
    js.open_file_replacing_through_links(o.json);
    js.put(doc.dump(2) + "\n");
    js.close();
  }
  out.close();
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return ascent::cli::run_tool("ascent-window", argc, argv, run); }
