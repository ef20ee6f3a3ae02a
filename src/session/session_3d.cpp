#include "session/session_3d.hpp"

#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "atmosphere/atmosphere.hpp"
#include "atmosphere/earth.hpp"
#include "earth/frames.hpp"
#include "phases/mission_summary.hpp"
#include "trajectory/model_environment.hpp"
#include "session/staged_session.hpp"

namespace ascent {

namespace {

constexpr double deg = 180 / pi;

std::string format(const char* f, double a, double b = 0, double c = 0, double d = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, f, a, b, c, d);
  return buf;
}

// Pa, the dynamic pressure at a state, in the air the flight flies through:
// the standard atmosphere or the description's exponential one at the
// geodetic height, turning with the Earth and blowing as [wind] says.
double dynamic_pressure(const World3d& w, const Environment& env, const InertialState& s) {
  const Geodetic gd = geodetic_of(w.earth, s.r);
  if (!(gd.h < Z_clamp)) return 0;
  double p = 0, rho = 0, a_s = 1;
  if (env.exponential) {
    exponential_air(env, gd.h, p, rho, a_s);
  } else {
    standard_air(gd.h, p, rho, a_s);
  }
  const Vec3 u = air_velocity(w.earth, w.wind, gd.h, ned_axes(gd.lat, gd.lon), s.r, s.v);
  return 0.5 * rho * (u[0] * u[0] + u[1] * u[1] + u[2] * u[2]);
}

}  // namespace

World3d world_at(const StagedVehicle& v, const Epoch& epoch, double dut1) {
  return world_of(v, greenwich_sidereal_angle(time_scales(epoch.day, epoch.second, dut1)));
}

Flown3d fly_3d_recorded(const StagedVehicle& v, const Epoch& epoch) {
  Flown3d f;
  f.path.name = v.name;
  f.path.world = world_at(v, epoch, v.dut1);
  f.path.dut1 = v.dut1;
  // The vehicle on the pad, as the flight starts it: the path starts where
  // the events at lift-off are marked.
  f.path.on_step(inertial_of(f.path.world.earth, 0.0, f.path.world.site, {0, 0, 0}));
  const World3d& w = f.path.world;
  const Environment env = make_environment(v.earth, v.atmosphere);
  auto line = [&](const InertialState& s, double mass) {
    const double speed = std::sqrt(s.v[0] * s.v[0] + s.v[1] * s.v[1] + s.v[2] * s.v[2]);
    return Line3d{s.t, geodetic_of(w.earth, s.r).h, speed, dynamic_pressure(w, env, s), mass};
  };
  double next = 0;  // s, the next whole second for the lines
  InertialState last{0, {0, 0, 0}, {0, 0, 0}};
  double last_mass = 0;  // kg
  f.result = fly_3d(v, w, [&](const InertialState& s, double mass) {
    f.path.on_step(s);
    last = s;
    last_mass = mass;
    if (s.t < next) return;
    f.lines.push_back(line(s, mass));
    next = std::floor(s.t) + 1;
  });
  if (!f.lines.empty() && f.lines.back().t < last.t) f.lines.push_back(line(last, last_mass));
  for (const StagedEvent& e : f.result.events) f.path.marks.push_back({e.t, e.name});
  f.releases = staged_releases(v, f.result.drops);
  return f;
}

std::optional<ClassicalElements> final_mean_elements(const Flight3dResult& r) {
  const Spheroid earth = wgs84_earth();
  try {
    const ClassicalElements osc = classical_elements(earth.mu, r.final.r, r.final.v);
    ClassicalElements m = mean_of_osculating(earth, osc);
    // The state's frame is the Earth-fixed one at lift-off: the osculating
    // node was turned to a right ascension, and the mean one turns with it.
    m.raan = std::fmod(m.raan + (r.osculating.raan - osc.raan) + 4 * pi, 2 * pi);
    return m;
  } catch (const std::domain_error&) {
    return std::nullopt;
  }
}

std::optional<double> node_plane_change(const StagedVehicle& v, const Epoch& epoch, double dut1) {
  if (v.mission.node < 0) return std::nullopt;
  const OrbitPlane plane{v.mission.inclination / deg, v.mission.node / deg, PlaneFrame::of_date};
  return plane_change(world_of(v, 0).site, plane, epoch.day, epoch.second, dut1);
}

std::string node_warning(const StagedVehicle& v, const Epoch& epoch, double dut1, std::optional<double> change) {
  if (!change || *change * deg <= plane_change_warning_deg) return {};
  const OrbitPlane plane{v.mission.inclination / deg, v.mission.node / deg, PlaneFrame::of_date};
  // The passes of the day before, the day and the day after: of each
  // direction, the one nearest the epoch.
  const auto off = [&](const Epoch& e) { return std::fabs((e.day - epoch.day) * 86400.0 + e.second - epoch.second); };
  std::optional<Epoch> ascending, descending;
  for (long long day = epoch.day - 1; day <= epoch.day + 1; ++day) {
    for (const PlanePass& p : plane_passes(world_of(v, 0).site, plane, day, dut1)) {
      std::optional<Epoch>& n = p.ascending ? ascending : descending;
      if (!n || off(Epoch{day, p.second}) < off(*n)) n = Epoch{day, p.second};
    }
  }
  std::string w = format("warning: the target node %.3f deg asks a plane change of %.2f deg at lift-off", v.mission.node,
                         *change * deg) +
                  format(" (above %g deg: the vehicle may not reach its orbit); ", plane_change_warning_deg);
  if (!ascending || !descending) return w + "the site does not pass under the target plane";
  return w + "the site passes under it at " + epoch_text(*ascending) + " (ascending) and " + epoch_text(*descending) +
         " (descending)";
}

std::optional<SummaryMasses> classic_spacecraft(const StagedVehicle& v, const Flight3dResult& r) {
  if (!v.classic || !r.reached || v.stages.size() != 2) return std::nullopt;
  const ClassicSizing& c = *v.classic;
  const std::string core_off = v.stages[0].name + ": separation";
  for (const StagedDrop& d : r.drops) {
    if (d.what != core_off) continue;
    // What the core took away beyond its structure (the adaptor is on it)
    // is its propellant left; the upper stage burnt what the stack lost
    // from the separation to the orbit, alone in vacuum at one exhaust
    // speed, so the rocket equation gives its delta-V.
    const double m0_core = d.expected - v.stages[0].dry_mass;
    const double burnt = d.after - r.mass;
    const double dV3 = c.upper.exhaust_speed * std::log(d.after / r.mass);
    const double Fst_max3 = r.top_load + c.upper.adaptor_mass * r.top_load_acceleration;
    const double Mst3 = c.upper.stack_mass - c.fairing_mass;
    return size_masses(Fst_max3, m0_core, Mst3, c.upper.propellant_mass - burnt, dV3, c.rules, c.upper);
  }
  return std::nullopt;
}

std::string report_3d_text(const StagedVehicle& v, const Flight3dResult& r) {
  const StagedMission& m = v.mission;
  const TargetApsides target = target_apsides(m, wgs84_earth().a);
  std::string t = v.name + ": " + std::to_string(v.stages.size()) + (v.stages.size() == 1 ? " stage" : " stages") +
                  format(", lift-off mass %.1f kg, flown in 3-D over WGS 84 with J2\n", r.liftoff_mass);
  t += format("site %.4f deg N, %.4f deg E, %.1f m; ", m.latitude, m.longitude, m.site_altitude);
  t += format("target orbit %.3f x %.3f km, inclination %.3f deg", target.hp / 1000, target.ha / 1000, m.inclination);
  t += m.node >= 0 ? format(", node %.3f deg\n\n", m.node) : std::string(", any node\n\n");
  t += "      T+ s  altitude km  speed m/s       mass kg  event\n";
  for (const StagedEvent& e : r.events) {
    t += format("%10.2f %12.3f %10.1f %13.1f  ", e.t, e.h / 1000, e.v, e.m) + e.name + "\n";
  }
  t += "\n";
  if (!r.reached) t += "target not reached: " + r.failure + "\n";
  const OrbitElements& o = r.osculating;
  t += format("final orbit, osculating: perigee %.3f km, apogee %.3f km above the equatorial radius\n", r.hp / 1000,
              r.ha / 1000);
  t += format("  a %.3f km, e %.6f, inclination %.4f deg", o.a / 1000, o.e, o.i * deg);
  t += format(", node %.4f deg, argument of perigee %.4f deg\n", o.raan * deg, o.argp * deg);
  if (const std::optional<ClassicalElements> m = final_mean_elements(r)) {
    const Spheroid earth = wgs84_earth();
    t += format("final orbit, mean (J2's short-period terms removed): perigee %.3f km, apogee %.3f km\n",
                perigee_height(earth, *m) / 1000, apogee_height(earth, *m) / 1000);
    t += format("  a %.3f km, e %.6f, inclination %.4f deg", m->a / 1000, m->e, m->i * deg);
    t += format(", node %.4f deg, argument of perigee %.4f deg\n", m->raan * deg, m->argp * deg);
  }
  t += format("mass in orbit: %.1f kg (payload %.1f kg)\n", r.mass, v.payload_mass);
  if (const std::optional<SummaryMasses> M = classic_spacecraft(v, r)) {
    t += format("spacecraft sized from the flight: SC_M %.0f kg (upper stage burnt %.0f kg, adaptor %.0f kg", M->Msc,
                M->Mused, M->Mad);
    t += format(" for %.0f N on the core's top)\n", r.top_load + v.classic->upper.adaptor_mass * r.top_load_acceleration);
  }
  return t;
}

std::string report_3d_json(const StagedVehicle& v, const Flight3dResult& r, std::optional<double> plane_change,
                           const Impacts* impacts, const std::vector<Line3d>* lines) {
  nlohmann::ordered_json j;
  j["vehicle"] = v.name;
  j["dynamics"] = "3d";
  j["reached"] = r.reached;
  if (!r.reached) j["failure"] = r.failure;
  if (plane_change) j["plane_change_to_node_deg"] = *plane_change * deg;
  j["events"] = staged_events_json(r.events);
  const OrbitElements& o = r.osculating;
  j["final_orbit"] = {{"semi_major_axis_osculating_m", o.a},
                      {"eccentricity_osculating", o.e},
                      {"inclination_osculating_deg", o.i * deg},
                      {"node_osculating_deg", o.raan * deg},
                      {"argument_of_perigee_osculating_deg", o.argp * deg},
                      {"perigee_altitude_osculating_m", r.hp},
                      {"apogee_altitude_osculating_m", r.ha}};
  // J2 swings the osculating apsides by kilometres around the orbit: the
  // mean ones are those a mission is specified and tracked in.
  if (const std::optional<ClassicalElements> m = final_mean_elements(r)) {
    const Spheroid earth = wgs84_earth();
    nlohmann::ordered_json& f = j["final_orbit"];
    f["semi_major_axis_mean_m"] = m->a;
    f["eccentricity_mean"] = m->e;
    f["inclination_mean_deg"] = m->i * deg;
    f["node_mean_deg"] = m->raan * deg;
    f["argument_of_perigee_mean_deg"] = m->argp * deg;
    f["perigee_altitude_mean_m"] = perigee_height(earth, *m);
    f["apogee_altitude_mean_m"] = apogee_height(earth, *m);
  }
  j["masses"] = {{"liftoff", r.liftoff_mass}, {"final", r.mass}, {"payload", v.payload_mass}};
  if (const std::optional<SummaryMasses> M = classic_spacecraft(v, r)) {
    j["masses"]["spacecraft_sized"] = {{"SC_M", M->Msc},       {"upper_propellant_burnt", M->Mused},
                                       {"reserve", M->Mres},   {"rcs", M->Mrcs},
                                       {"upper_dry", M->Mdry}, {"adaptor", M->Mad},
                                       {"stack", M->Mstack}};
  }
  j["separations"] = staged_drops_json(r.drops);
  if (impacts != nullptr) put_impacts_json(j, *impacts);
  if (lines != nullptr) {
    nlohmann::ordered_json t = nlohmann::ordered_json::array(), h = t, speed = t, q = t, m = t;
    for (const Line3d& x : *lines) {
      t.push_back(x.t);
      h.push_back(x.altitude);
      speed.push_back(x.speed);
      q.push_back(x.q);
      m.push_back(x.mass);
    }
    j["path"] = {{"t", t}, {"altitude", h}, {"speed", speed}, {"dynamic_pressure", q}, {"mass", m}};
  }
  return j.dump(2) + "\n";
}

}  // namespace ascent
