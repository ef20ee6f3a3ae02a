// ascent-window: the launch times of a day at which the launch site passes
// under a target orbit's plane, ascending and descending, with the launch
// azimuth each asks for; CSV and JSON.
#include <cmath>
#include <cstdio>
#include <limits>
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
#include "phases/flight_3d.hpp"
#include "session/staged_session.hpp"
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
    "(target.latitude, target.longitude, target.inclination; a staged\n"
    "description's mission latitude, longitude, site_altitude, inclination and\n"
    "node), on WGS 84. A staged description flown in 3-D ([model] dynamics =\n"
    "\"3d\") is flown from each pass: the payload it carries to its orbit in\n"
    "the plane, and what a minute's late launch costs of it.\n"
    "\n"
    "Options:\n"
    "  --date DATE       the UTC day, YYYY-MM-DD (years 1900 to 2100)\n"
    "  --node DEG        right ascension of the plane's ascending node (default\n"
    "                    a staged description's mission.node)\n"
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
    "turn with the Earth deducted). Flown, also: payload_kg (the payload\n"
    "mass at which the last stage reaches the orbit with no propellant left,\n"
    "found to 0.1 kg)\n"
    "and payload_loss_kg_per_min (that payload less the one of a launch 60 s\n"
    "later). A site at a latitude beyond the\n"
    "inclination never passes under the plane: the CSV then has its header\n"
    "only, and a line on standard error says so.\n"
    "\n"
    "Exit status: 0 done (a pass whose flight misses the orbit has empty\n"
    "payload fields and its failure on standard error); 64 a bad option or value; 65 a bad vehicle\n"
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

// What a 3-D flight launched at an instant carries into the plane.
struct Capacity {
  bool ok = false;
  double payload = 0;   // kg
  std::string failure;  // why not
};

// The payload at which the last stage cuts off on the target orbit with no
// propellant left, to 0.1 kg: the description's payload flown first, then
// the leftover propellant traded for payload along the line through the last
// two flights that reached (one for one at first), within the bracket of the
// heaviest payload that reached and the lightest that did not. A flight
// whose leftover nears zero runs dry before the orbit, so the answer is
// approached from below.
Capacity payload_capacity(StagedVehicle v, const OrbitPlane& plane, long long day, double second, double dut1) {
  v.mission.inclination = plane.i / deg;
  v.mission.node = plane.raan / deg;
  const World3d w = world_of(v, greenwich_sidereal_angle(time_scales(day, second, dut1)));
  const double fixed = v.adaptor_mass + v.stages.back().dry_mass;  // kg, in orbit beside payload and leftover
  Capacity c;
  auto left = [&](double payload, bool& reached) {  // kg of propellant left, when reached
    v.payload_mass = payload;
    const Flight3dResult r = fly_3d(v, w);
    reached = r.reached;
    if (!reached) c.failure = r.failure;
    return r.mass - payload - fixed;
  };
  bool reached = false;
  double lo = v.payload_mass, f_lo = left(lo, reached);
  if (!reached || f_lo < 0) return c;
  double hi = std::numeric_limits<double>::infinity(), slope = -1.0;
  for (int k = 0; k < 40 && f_lo >= 0.1 && hi - lo >= 0.1; ++k) {
    double p = lo - f_lo / slope;
    if (!(p < hi)) p = 0.5 * (lo + hi);
    const double f = left(p, reached);
    if (reached && f >= 0) {
      slope = (f - f_lo) / (p - lo);
      lo = p, f_lo = f;
    } else {
      hi = p;
    }
  }
  c.ok = true;
  c.payload = lo;
  return c;
}

// The same plane in the frame of date at an instant: its normal carried
// from EME2000 (r_tod = R_3(-GAST) R_3(ERA) Q B^T r_eme).
OrbitPlane plane_of_date(const OrbitPlane& p, long long day, double second, double dut1) {
  if (p.frame == PlaneFrame::of_date) return p;
  const TimeScales t = time_scales(day, second, dut1);
  const double g = greenwich_sidereal_angle(t), cg = std::cos(g), sg = std::sin(g);
  const Mat3 tod_of_itrs = {{{cg, -sg, 0.0}, {sg, cg, 0.0}, {0.0, 0.0, 1.0}}};
  const Mat3 itrs_of_eme = times(times(earth_rotation(t), celestial_to_intermediate(t)), transposed(frame_bias()));
  const Vec3 n = times(times(tod_of_itrs, itrs_of_eme),
                       Vec3{std::sin(p.i) * std::sin(p.raan), -std::sin(p.i) * std::cos(p.raan), std::cos(p.i)});
  const double raan = std::atan2(n[0], -n[1]);
  return {std::acos(n[2]), raan < 0 ? raan + 2 * std::acos(-1.0) : raan, PlaneFrame::of_date};
}

int run(int argc, char** argv) {
  if (cli::answer_help_or_version(argc, argv, "ascent-window", usage_text)) return 0;
  const Options o = parse_options(argc, argv);
  if (study::answer_help_or_version(o.help, o.version, "ascent-window", usage_text)) return 0;
  if (o.date.empty()) usage("--date: the day is missing (YYYY-MM-DD)");
  Epoch day;
  if (o.date.size() != 10) usage("--date: '" + o.date + "' is not a day YYYY-MM-DD");
  if (std::string why = parse_epoch(o.date + "T00:00:00", day); !why.empty()) {
    usage("--date: '" + o.date + "' is not a day YYYY-MM-DD");
  }
  const double dut1 = real_number("--dut1", o.dut1);
  if (!(std::abs(dut1) < 0.9)) usage("--dut1: " + o.dut1 + " s is not below 0.9 s in size, as UT1 - UTC is kept");
  study::check_files({o.output, o.json}, {o.vehicle});

  // The site and the target: a classic description's target table, or a
  // staged one's mission (which a 3-D flight then flies).
  Description desc = builtin_description();
  StagedVehicle staged;
  const bool is_staged = !o.vehicle.empty() && read_any_description(o.vehicle, staged, desc);
  const bool flown = is_staged && staged.dynamics == "3d";
  const Target& target = desc.mission.target;
  const double latitude = is_staged ? staged.mission.latitude : target.latitude;
  const double longitude = is_staged ? staged.mission.longitude : target.longitude;
  const double inc = o.inclination.empty() ? (is_staged ? staged.mission.inclination : target.inclination)
                                           : real_number("--inclination", o.inclination);
  if (!(inc >= 0 && inc <= 180)) usage("--inclination: " + shortest_text(inc) + " degrees is not from 0 to 180");
  if (o.node.empty() && !(is_staged && staged.mission.node >= 0)) {
    usage("--node: the plane's node is missing (degrees)");
  }
  const double node = o.node.empty() ? staged.mission.node : real_number("--node", o.node);
  const double apogee =
      is_staged ? target_apsides(staged.mission, wgs84_earth().a).ha : target.apogee_altitude;  // m

  const Geodetic site{latitude * deg, longitude * deg, is_staged ? staged.mission.site_altitude : 0.0};
  const OrbitPlane plane{inc * deg, node * deg, o.eme2000 ? PlaneFrame::eme2000 : PlaneFrame::of_date};
  const std::vector<PlanePass> passes = plane_passes(site, plane, day.day, dut1);

  // The ground azimuth: the orbit's speed at the target apogee less the
  // site's own eastward speed, from the Earth's turn.
  const Spheroid earth = wgs84_earth();
  const Vec3 r_site = wgs84_cartesian(site);
  const double v_site = earth.omega * std::hypot(r_site[0], r_site[1]);
  const double v_orbit = std::sqrt(earth.mu / (earth.a + apogee));

  // The crossing times rest on UT1 = UTC + DUT1; TT - UTC only dates the
  // precession and nutation, where a second moves a crossing by microseconds.
  if (time_scales(day.day, 0.0, dut1).dubious) {
    cli::report("ascent-window", "warning: " + o.date +
                                     " is past what ERFA's leap-second table vouches for: the times hold for "
                                     "UT1 = UTC + DUT1 as given (--dut1)");
  }
  if (passes.empty()) {
    cli::report("ascent-window", "the site at latitude " + shortest_text(latitude) +
                                     " degrees never passes under a plane of inclination " + shortest_text(inc) +
                                     " degrees: a launch into it must turn out of its azimuth (a dog-leg)");
  }

  std::string csv = "pass,utc,second_of_day_s,azimuth_inertial_deg,azimuth_ground_deg";
  csv += flown ? ",payload_kg,payload_loss_kg_per_min\n" : "\n";
  nlohmann::ordered_json rows = nlohmann::ordered_json::array();
  for (const PlanePass& p : passes) {
    const double az_ground = ground_azimuth(p.azimuth, v_orbit, v_site);
    const std::string name = p.ascending ? "ascending" : "descending", when = utc_text(o.date, p.second);
    csv += name + "," + when + "," + real_text(p.second, 0, 6) + "," + real_text(p.azimuth / deg, 0, 6) + "," +
           real_text(az_ground / deg, 0, 6);
    rows.push_back({{"pass", name},
                    {"utc", when},
                    {"second_of_day_s", p.second},
                    {"azimuth_inertial_deg", p.azimuth / deg},
                    {"azimuth_ground_deg", az_ground / deg}});
    if (flown) {
      // Launched at the pass, and a minute late: the guidance then yaws
      // into the plane, which the site has left.
      const Capacity now = payload_capacity(staged, plane_of_date(plane, day.day, p.second, dut1), day.day, p.second, dut1);
      const Capacity late =
          payload_capacity(staged, plane_of_date(plane, day.day, p.second + 60, dut1), day.day, p.second + 60, dut1);
      for (const Capacity* c : {&now, &late}) {
        if (!c->ok) cli::report("ascent-window", name + " pass " + when + (c == &late ? " + 60 s" : "") + ": " + c->failure);
      }
      const bool both = now.ok && late.ok;
      csv += "," + (now.ok ? real_text(now.payload, 0, 1) : std::string()) + "," +
             (both ? real_text(now.payload - late.payload, 0, 1) : std::string());
      rows.back()["payload_kg"] = now.ok ? nlohmann::ordered_json(now.payload) : nlohmann::ordered_json();
      rows.back()["payload_loss_kg_per_min"] =
          both ? nlohmann::ordered_json(now.payload - late.payload) : nlohmann::ordered_json();
    }
    csv += "\n";
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
                                  {"site", {{"latitude_deg", latitude}, {"longitude_deg", longitude}}},
                                  {"inclination_deg", inc},
                                  {"node_deg", node},
                                  {"dut1_s", dut1},
                                  {"flown", flown},
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
