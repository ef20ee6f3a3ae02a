#include "session/staged_session.hpp"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "atmosphere/earth.hpp"
#include "io/line_reader.hpp"
#include "report/json_report.hpp"
#include "trajectory/model_environment.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/staged_file.hpp"

namespace ascent {

namespace {

std::string format(const char* f, double a, double b = 0, double c = 0, double d = 0) {
  char buf[160];
  std::snprintf(buf, sizeof buf, f, a, b, c, d);
  return buf;
}

const char* injection_words(Injection i) {
  if (i == Injection::transfer) return "the stage below the last to the transfer orbit, coast to apogee and circularise";
  return i == Injection::direct ? "direct injection" : "coast to apogee and circularise";
}

}  // namespace

bool read_any_description(const std::string& path, StagedVehicle& v, Description& d) {
  const std::string text = read_whole_file(path);
  if (!is_staged_text(text)) {
    d = description_from_file_text(text, path);
    return false;
  }
  std::vector<std::string> warnings;
  v = parse_staged(text, path, &warnings);
  // Taken, and said, as for the classic description.
  for (const std::string& w : warnings) std::fprintf(stderr, "%s: warning: %s\r\n", program_invocation_short_name, w.c_str());
  return true;
}

void StagedSamples::on_step(const StepRecord& r) {
  last_ = r;
  if (r.t < next_) return;
  kept_.push_back(r);
  next_ = std::floor(r.t) + 1;
}

std::vector<StepRecord> StagedSamples::lines() const {
  std::vector<StepRecord> out = kept_;
  if (!out.empty() && out.back().t < last_.t) out.push_back(last_);
  return out;
}

StagedFlown fly_staged_recorded(const StagedVehicle& v) {
  StagedFlown f;
  // The vehicle on the pad, at rest on the turning Earth: the exported path
  // starts where the events at lift-off are marked. (The pictures' lines
  // start with the first step: on the pad the thrust acceleration is not
  // yet the step's.)
  StepRecord pad;
  pad.vx = staged_vrot(v.mission, make_environment(v.earth, v.atmosphere));
  pad.pad = true;
  f.path.on_step(pad);
  f.result = fly_staged(v, {&f.path, &f.samples});
  for (const StagedEvent& e : f.result.events) f.path.add_mark(e.t, e.name);
  f.releases = staged_releases(v, f.result.drops);
  return f;
}

std::vector<Release> staged_releases(const StagedVehicle& v, const std::vector<StagedDrop>& drops) {
  std::vector<Release> out;
  // A booster group jettisoned, a stage separated (with any group still on
  // it) or the fairing shed: "booster group 1: jettison", "first stage:
  // separation", "fairing: jettison".
  for (const StagedDrop& d : drops) {
    const std::size_t colon = d.what.rfind(": ");
    const std::string part = d.what.substr(0, colon), how = d.what.substr(colon + 2);
    const double beta = how == "separation"  ? v.impact.core_beta
                        : part == "fairing" ? v.impact.fairing_beta
                                            : v.impact.booster_beta;
    out.push_back({d.t, part, beta});
  }
  return out;
}

nlohmann::ordered_json staged_events_json(const std::vector<StagedEvent>& events) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const StagedEvent& e : events) {
    out.push_back({{"t", e.t}, {"event", e.name}, {"altitude", e.h}, {"speed", e.v}, {"mass", e.m}});
  }
  return out;
}

nlohmann::ordered_json staged_drops_json(const std::vector<StagedDrop>& drops) {
  nlohmann::ordered_json out = nlohmann::ordered_json::array();
  for (const StagedDrop& d : drops) out.push_back({{"t", d.t}, {"what", d.what}, {"mass", d.before - d.after}});
  return out;
}

void put_impacts_json(nlohmann::ordered_json& j, const Impacts& impacts) {
  nlohmann::ordered_json parts = nlohmann::ordered_json::array(), iip = nlohmann::ordered_json::array();
  for (const ImpactPoint& p : impacts.parts) parts.push_back(impact_json(p));
  for (const ImpactPoint& p : impacts.instantaneous) iip.push_back(impact_json(p));
  j["impact_points"] = parts;
  j["instantaneous_impact_points"] = iip;
}

std::string staged_report_text(const StagedVehicle& v, const StagedResult& r) {
  const StagedMission& m = v.mission;
  const TargetApsides target = target_apsides(m, v.earth.radius);
  std::string t = v.name + ": " + std::to_string(v.stages.size()) + (v.stages.size() == 1 ? " stage" : " stages") +
                  format(", lift-off mass %.1f kg\n", r.liftoff_mass);
  t += format("target orbit: %.3f x %.3f km, inclination %.2f deg, launch site latitude %.2f deg, ",
              target.hp / 1000, target.ha / 1000, m.inclination, m.latitude);
  t += std::string(injection_words(m.injection)) + "\n\n";
  t += "      T+ s  altitude km  speed m/s       mass kg  event\n";
  for (const StagedEvent& e : r.events) {
    t += format("%10.2f %12.3f %10.1f %13.1f  ", e.t, e.h / 1000, e.v, e.m) + e.name + "\n";
  }
  t += "\n";
  if (!r.reached) t += "target not reached: " + r.failure + "\n";
  t += format("final orbit: perigee %.3f km, apogee %.3f km (target %.3f x %.3f km)\n", r.hp / 1000, r.ha / 1000,
              target.hp / 1000, target.ha / 1000);
  t += format("perigee from the launch site along the plane (inertial): %.2f deg", r.perigee_angle);
  if (m.perigee_angle >= 0) {
    // Only a direct injection into an elliptic orbit chooses where its cut-off lies on it.
    const bool steered = m.injection == Injection::direct && target.ha > target.hp;
    t += format(steered ? " (asked for %.2f deg)" : " (asked for %.2f deg; the cut-off is not steered to it)",
                m.perigee_angle);
  }
  t += "\n";
  const double left = r.mass - v.payload_mass - v.adaptor_mass - v.stages.back().dry_mass;
  t += format("mass in orbit: %.1f kg: payload %.1f kg, adaptor %.1f kg, ", r.mass, v.payload_mass, v.adaptor_mass);
  t += v.stages.back().name + format(" %.1f kg dry and %.1f kg propellant left\n", v.stages.back().dry_mass, left);
  t += "burns:\n";
  for (const StagedBurn& b : r.burns) {
    t += format("  %9.2f s to %9.2f s, %12.1f kg to %12.1f kg", b.t0, b.t1, b.m0, b.m1);
    t += format(", %.1f m/s from thrust  ", b.dv) + b.stage + "\n";
  }
  return t;
}

std::string staged_report_json(const StagedVehicle& v, const StagedResult& r, const Impacts* impacts,
                               const std::vector<StepRecord>* path) {
  nlohmann::ordered_json j;
  j["vehicle"] = v.name;
  j["reached"] = r.reached;
  if (!r.reached) j["failure"] = r.failure;
  j["events"] = staged_events_json(r.events);
  const double a = (r.hp + r.ha) / 2 + v.earth.radius;
  j["final_orbit"] = {{"perigee_altitude", r.hp}, {"apogee_altitude", r.ha}, {"semi_major_axis", a},
                      {"eccentricity", (r.ha - r.hp) / (2 * a)}, {"perigee_angle", r.perigee_angle}};
  const TargetApsides target = target_apsides(v.mission, v.earth.radius);
  j["target"] = {{"perigee_altitude", target.hp}, {"apogee_altitude", target.ha}};
  j["masses"] = {{"liftoff", r.liftoff_mass}, {"final", r.mass}, {"payload", v.payload_mass}};
  j["separations"] = staged_drops_json(r.drops);
  if (impacts != nullptr) put_impacts_json(j, *impacts);
  if (path != nullptr) {
    nlohmann::ordered_json t = nlohmann::ordered_json::array(), h = t, speed = t, a = t, q = t, m = t;
    for (const StepRecord& x : *path) {
      t.push_back(x.t);
      h.push_back(x.h0);
      speed.push_back(x.vi);
      a.push_back(x.a);
      q.push_back(x.q);
      m.push_back(x.m);
    }
    j["path"] = {{"t", t}, {"altitude", h}, {"speed", speed}, {"acceleration", a}, {"dynamic_pressure", q},
                 {"mass", m}};
  }
  return j.dump(2) + "\n";
}

}  // namespace ascent
