#include "vehicle/staged_file.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>

#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "vehicle/booster_profile.hpp"
#include "vehicle/keys.hpp"
#include "vehicle/toml_position.hpp"
#include "vehicle/toml_screen.hpp"

namespace ascent {

namespace {

using At = SourcePosition;

[[noreturn]] void refuse(const std::string& file, At at, const std::string& key, const std::string& what) {
  throw FatalError{err_description, file + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
                                        one_line(key + ": " + what)};
}

constexpr double big = 1e12;
constexpr double g0 = 9.80665;  // m/s^2, standard gravity: specific impulse to exhaust speed

// One key of a table: its range and where its value goes. A number key has
// `real`, a text key `text`, a list key `list`.
struct Slot {
  const char* name;
  double min, max;
  bool min_excluded;
  bool required;
  std::function<void(double)> real;
  std::function<void(const std::string&)> text;
  std::function<void(const std::vector<double>&)> list;
  bool whole = false;
  const Key* key = nullptr;  // a key of the classic description: its range and its words
};

Slot number(const char* name, double min, double max, bool min_excluded, bool required, std::function<void(double)> f) {
  return {name, min, max, min_excluded, required, std::move(f), {}, {}};
}
Slot whole(const char* name, double min, double max, bool required, std::function<void(double)> f) {
  Slot s{name, min, max, false, required, std::move(f), {}, {}};
  s.whole = true;
  return s;
}
Slot text(const char* name, bool required, std::function<void(const std::string&)> f) {
  return {name, 0, 0, false, required, {}, std::move(f), {}};
}
Slot list(const char* name, double min, double max, std::function<void(const std::vector<double>&)> f) {
  return {name, min, max, false, false, {}, {}, std::move(f)};
}

// A key the classic description has too (the Earth, the air, the constant
// drag coefficient): read into `world` by the classic key's own field, range
// and words, so that both forms accept and refuse the same values.
Slot classic_key(const char* dotted, Description& world) {
  const Key* k = find_key(dotted);
  Slot s{std::strchr(k->name, '.') + 1, k->min, k->max, k->min_excluded, false, {}, {}, {}};
  if (k->kind == KeyKind::text) {
    s.text = [k, &world](const std::string& x) { k->text(world) = x; };
  } else {
    s.real = [k, &world](double x) { k->real(world) = x; };
  }
  s.key = k;
  return s;
}

std::string range_words(const Slot& s) {
  return std::string(s.min_excluded ? "above " : "at least ") + number_text(s.min) + ", at most " + number_text(s.max);
}

// Reads table t under `prefix` by its slots; unknown keys, wrong types,
// values out of range and missing keys are refused. `one_of` names pairs of
// keys of which exactly one must be given (exhaust speed or specific impulse).
void read_table(const toml::table& t, const std::string& prefix, const std::vector<Slot>& slots,
                const std::string& file) {
  std::map<std::string, bool> seen;
  for (auto&& [key, node] : t) {
    const std::string name(key.str());
    const Slot* s = nullptr;
    for (const Slot& c : slots) {
      if (name == c.name) s = &c;
    }
    const std::string full = prefix + name;
    if (s == nullptr) refuse(file, position_of(key.source()), full, "unknown key");
    seen[name] = true;
    if (!s->real && !s->text && !s->list) continue;  // a table of its own, read apart
    const At at = position_of(node.source());
    if (s->text) {
      const auto* v = node.as_string();
      if (v == nullptr) refuse(file, at, full, "must be a string in quotes");
      s->text(v->get());
      continue;
    }
    auto value = [&](const toml::node& n, At where, const std::string& entry) {
      double x;
      if (const auto* i = n.as_integer()) {
        x = static_cast<double>(i->get());
      } else if (const auto* f = n.as_floating_point(); f != nullptr && !s->whole) {
        x = f->get();
      } else {
        refuse(file, where, full, entry + (s->whole ? "must be a whole number" : "must be a number"));
      }
      if (s->key != nullptr) {
        const std::string why = check_range(*s->key, x);
        if (!why.empty()) refuse(file, where, full, entry + why);
        return x;
      }
      const bool below = s->min_excluded ? !(x > s->min) : !(x >= s->min);
      if (below || !(x <= s->max)) refuse(file, where, full, entry + range_words(*s) + ", got " + number_text(x));
      return x;
    };
    if (s->list) {
      const auto* a = node.as_array();
      if (a == nullptr) refuse(file, at, full, "must be a list of numbers in brackets");
      std::vector<double> xs;
      for (std::size_t i = 0; i < a->size(); ++i) {
        const toml::node& e = *a->get(i);
        xs.push_back(value(e, position_of(e.source()), "entry " + std::to_string(i + 1) + ": "));
      }
      s->list(xs);
      continue;
    }
    s->real(value(node, at, ""));
  }
  for (const Slot& c : slots) {
    if (c.required && !seen.count(c.name)) refuse(file, position_of(t.source()), prefix + c.name, "missing");
  }
}

// Exactly one of exhaust_speed and specific_impulse.
void exhaust_speed_of(const toml::table& t, const std::string& prefix, double isp, double& c,
                      const std::string& file) {
  const bool has_c = t.contains("exhaust_speed"), has_isp = t.contains("specific_impulse");
  if (has_c == has_isp) {
    refuse(file, position_of(t.source()), prefix + "exhaust_speed",
           has_c ? "give exhaust_speed or specific_impulse, not both" : "missing (or specific_impulse)");
  }
  if (has_isp) c = isp * g0;
}

// The thrust profile the key `thrust_profile` names, found from the
// description's folder and read by the booster profile's reader; its points
// must run forward in time from the ignition, with no thrust below zero.
std::shared_ptr<const ThrustProfile> profile_at(const toml::node& n, const std::string& key, const std::string& file) {
  const At at = position_of(n.source());
  std::filesystem::path path(n.as_string()->get());
  if (path.is_relative()) path = std::filesystem::path(file).parent_path() / path;
  auto p = std::make_shared<ThrustProfile>();
  p->path = path.string();
  std::string text;
  try {
    text = read_whole_file(p->path);
  } catch (const FatalError& e) {
    refuse(file, at, key, "cannot be read: " + e.message);
  }
  const BoosterProfile points = parse_profile(std::move(text), p->path);
  if (!points.whole) refuse(file, at, key, points.end.message);
  for (std::size_t k = 0; k < points.t.size(); ++k) {
    const double t = points.t[k], F = points.F[k];
    const std::string where = p->path + ": point " + std::to_string(k + 1) + ": ";
    if (!(F >= 0) || !std::isfinite(F)) refuse(file, at, key, where + "the thrust must be at least 0, got " + number_text(F));
    if (!(t >= 0) || !std::isfinite(t) || (k > 0 && !(t > points.t[k - 1]))) {
      refuse(file, at, key, where + "the times must increase from the ignition (0 s) on, got " + number_text(t));
    }
  }
  // From no thrust at the ignition, unless the file starts there itself.
  if (points.t.empty() || points.t.front() > 0) {
    p->t.push_back(0);
    p->F.push_back(0);
  }
  p->t.insert(p->t.end(), points.t.begin(), points.t.end());
  p->F.insert(p->F.end(), points.F.begin(), points.F.end());
  if (p->t.size() < 2 || !(p->rising() > 0)) {
    refuse(file, at, key, p->path + ": needs a point after the ignition with thrust above 0");
  }
  return p;
}

// Exactly one of thrust and thrust_profile; the profile read (null: thrust).
std::shared_ptr<const ThrustProfile> thrust_profile_of(const toml::table& t, const std::string& prefix,
                                                       const std::string& file) {
  const bool has_F = t.contains("thrust"), has_profile = t.contains("thrust_profile");
  if (has_F == has_profile) {
    refuse(file, position_of(t.source()), prefix + "thrust",
           has_F ? "give thrust or thrust_profile, not both" : "missing (or thrust_profile)");
  }
  return has_profile ? profile_at(*t.get("thrust_profile"), prefix + "thrust_profile", file) : nullptr;
}

BurnEnd burn_end_of(const std::string& s, At at, const std::string& key, const std::string& file) {
  if (s == "depletion") return BurnEnd::depletion;
  if (s == "time") return BurnEnd::time;
  if (s == "target") return BurnEnd::target;
  refuse(file, at, key, "must be \"depletion\", \"time\" or \"target\", got \"" + s + "\"");
}

BoosterGroup read_group(const toml::table& t, const std::string& prefix, const std::string& file) {
  BoosterGroup g;
  double isp = 0;
  read_table(t, prefix,
             {whole("count", 1, 64, true, [&](double x) { g.count = static_cast<int>(x); }),
              number("thrust", 0, big, true, false, [&](double x) { g.thrust = x; }),
              text("thrust_profile", false, [](const std::string&) {}),
              number("exhaust_speed", 0, 1e5, true, false, [&](double x) { g.exhaust_speed = x; }),
              number("specific_impulse", 0, 1e4, true, false, [&](double x) { isp = x; }),
              number("exit_area", 0, 1e6, false, false, [&](double x) { g.exit_area = x; }),
              number("mass", 0, big, true, true, [&](double x) { g.mass = x; }),
              number("propellant_mass", 0, big, true, true, [&](double x) { g.propellant_mass = x; }),
              number("diameter", 0, 1e3, false, false, [&](double x) { g.diameter = x; }),
              number("ignition_time", 0, 1e5, false, false, [&](double x) { g.ignition_time = x; }),
              number("jettison_time", 0, 1e5, true, false, [&](double x) { g.jettison_time = x; })},
             file);
  exhaust_speed_of(t, prefix, isp, g.exhaust_speed, file);
  g.profile = thrust_profile_of(t, prefix, file);
  return g;
}

StagedStage read_stage(const toml::table& t, const std::string& prefix, const std::string& file) {
  StagedStage z;
  double isp = 0;
  std::string end = "depletion";
  read_table(t, prefix,
             {text("name", true, [&](const std::string& s) { z.name = s; }),
              whole("engines", 1, 64, false, [&](double x) { z.engines = static_cast<int>(x); }),
              number("thrust", 0, big, true, false, [&](double x) { z.thrust = x; }),
              text("thrust_profile", false, [](const std::string&) {}),
              number("exhaust_speed", 0, 1e5, true, false, [&](double x) { z.exhaust_speed = x; }),
              number("specific_impulse", 0, 1e4, true, false, [&](double x) { isp = x; }),
              number("exit_area", 0, 1e6, false, false, [&](double x) { z.exit_area = x; }),
              number("propellant_mass", 0, big, true, true, [&](double x) { z.propellant_mass = x; }),
              number("dry_mass", 0, big, true, true, [&](double x) { z.dry_mass = x; }),
              number("diameter", 0, 1e3, false, false, [&](double x) { z.diameter = x; }),
              text("burn_end", false, [&](const std::string& s) { end = s; }),
              number("burn_time", 0, 1e5, true, false, [&](double x) { z.burn_time = x; }),
              number("separation_delay", 0, 1e3, false, false, [&](double x) { z.separation_delay = x; }),
              list("throttle_times", 0, 1e5, [&](const std::vector<double>& v) { z.throttle_times = v; }),
              list("throttle_levels", 0.01, 2, [&](const std::vector<double>& v) { z.throttle_levels = v; }),
              {"boosters", 0, 0, false, false, {}, {}, {}}},
             file);
  exhaust_speed_of(t, prefix, isp, z.exhaust_speed, file);
  z.profile = thrust_profile_of(t, prefix, file);
  const At end_at = t.contains("burn_end") ? position_of(t.get("burn_end")->source()) : position_of(t.source());
  z.burn_end = burn_end_of(end, end_at, prefix + "burn_end", file);
  if (z.burn_end == BurnEnd::time && !t.contains("burn_time")) {
    refuse(file, end_at, prefix + "burn_time", "missing: burn_end is \"time\"");
  }
  if (const toml::node* b = t.get("boosters")) {
    const toml::array* groups = b->as_array();
    if (groups == nullptr || !groups->is_array_of_tables()) {
      refuse(file, position_of(b->source()), prefix + "boosters", "must be [[stage.boosters]] tables");
    }
    for (std::size_t j = 0; j < groups->size(); ++j) {
      z.boosters.push_back(read_group(*groups->get(j)->as_table(), prefix + "boosters." + std::to_string(j + 1) + ".",
                                      file));
    }
  }
  return z;
}

void read_mission(const toml::table& t, StagedMission& m, const std::string& file) {
  std::string injection = "coast";
  double a = 0, e = -1;
  read_table(t, "mission.",
             {number("latitude", -89, 89, false, true, [&](double x) { m.latitude = x; }),
              number("longitude", -180, 180, false, false, [&](double x) { m.longitude = x; }),
              number("inclination", 0, 180, false, true, [&](double x) { m.inclination = x; }),
              number("perigee_altitude", 100000, 1e8, false, false, [&](double x) { m.perigee_altitude = x; }),
              number("apogee_altitude", 100000, 1e9, false, false, [&](double x) { m.apogee_altitude = x; }),
              number("semi_major_axis", 6.4e6, 1e9, false, false, [&](double x) { a = x; }),
              number("eccentricity", 0, 0.99, false, false, [&](double x) { e = x; }),
              number("perigee_angle", 0, 360, false, false, [&](double x) { m.perigee_angle = x; }),
              text("injection", false, [&](const std::string& s) { injection = s; }),
              number("transfer_perigee", 0, 1e8, false, false, [&](double x) { m.transfer_perigee = x; }),
              number("site_altitude", -500, 1e4, false, false, [&](double x) { m.site_altitude = x; }),
              number("node", 0, 360, false, false, [&](double x) { m.node = x; })},
             file);
  const bool apsides = t.contains("perigee_altitude") && t.contains("apogee_altitude");
  const bool elements = t.contains("semi_major_axis") && t.contains("eccentricity");
  if (apsides == elements) {
    refuse(file, position_of(t.source()), "mission.perigee_altitude",
           "give the target orbit as perigee_altitude and apogee_altitude, or as semi_major_axis and eccentricity");
  }
  if (elements) {
    m.semi_major_axis = a;
    m.eccentricity = e;
  }
  if (injection == "coast") {
    m.injection = Injection::coast;
  } else if (injection == "direct") {
    m.injection = Injection::direct;
  } else if (injection == "transfer") {
    m.injection = Injection::transfer;
  } else {
    refuse(file, position_of(t.get("injection")->source()), "mission.injection",
           "must be \"coast\", \"direct\" or \"transfer\", got \"" + injection + "\"");
  }
}

// Keys that cannot matter to the flight of v, as the classic reader warns of
// its own: each where it stands in the file and why.
std::vector<std::string> keys_without_effect(const toml::table& root, const StagedVehicle& v, const std::string& file) {
  std::vector<std::string> out;
  auto warn = [&](const toml::table* t, const std::string& table, const char* key, const std::string& why) {
    const toml::node* n = t == nullptr ? nullptr : t->get(key);
    if (n == nullptr) return;
    const At at = position_of(n->source());
    out.push_back(file + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
                  one_line(table + key + ": has no effect: " + why));
  };
  const toml::array* stages = root.get_as<toml::array>("stage");
  for (std::size_t i = 0; i < v.stages.size(); ++i) {
    const toml::table* t = stages->get(i)->as_table();
    const std::string prefix = "stage." + std::to_string(i + 1) + ".";
    if (v.stages[i].burn_end != BurnEnd::time) warn(t, prefix, "burn_time", "the burn does not end by time");
    if (i + 1 == v.stages.size()) warn(t, prefix, "separation_delay", "the last stage does not separate");
  }
  const toml::table* atmosphere = root.get_as<toml::table>("atmosphere");
  if (v.atmosphere.model != "exponential") {
    for (const char* k : {"density", "scale_height"}) warn(atmosphere, "atmosphere.", k, "atmosphere.model is not \"exponential\"");
  }
  if (v.drag.coefficient > 0) {
    for (const char* k : {"mach", "cd"}) warn(root.get_as<toml::table>("drag"), "drag.", k, "drag.coefficient holds at every Mach number");
  }
  const toml::table* mission = root.get_as<toml::table>("mission");
  const toml::table* plan = root.get_as<toml::table>("plan");
  if (v.mission.injection == Injection::direct) {
    warn(mission, "mission.", "transfer_perigee", "mission.injection is \"direct\"");
    warn(plan, "plan.", "coast_step", "mission.injection is \"direct\": there is no coast");
  }
  if (v.stages.size() == 1) warn(plan, "plan.", "guidance_takeover", "the one stage is guided throughout");
  return out;
}

}  // namespace

bool is_staged_text(std::string_view text) {
  // A line that opens a [[stage]] table, white space around it allowed.
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t end = text.find('\n', pos);
    if (end == std::string_view::npos) end = text.size();
    std::string_view line = text.substr(pos, end - pos);
    std::size_t b = line.find_first_not_of(" \t");
    if (b != std::string_view::npos && line.substr(b, 2) == "[[") {
      std::string_view rest = line.substr(b + 2);
      std::size_t k = rest.find_first_not_of(" \t");
      if (k != std::string_view::npos && rest.substr(k, 5) == "stage") {
        std::string_view after = rest.substr(k + 5);
        std::size_t c = after.find_first_not_of(" \t");
        if (c != std::string_view::npos && after.substr(c, 2) == "]]") return true;
      }
    }
    pos = end + 1;
  }
  return false;
}

StagedVehicle parse_staged(std::string_view text, const std::string& file, std::vector<std::string>* warnings) {
  if (std::optional<TomlScreenFault> f = screen_toml(text, true)) refuse(file, {f->line, f->column}, "syntax", f->what);
  {
    toml::parse_result shadow = toml::parse(ascii_shadow(text), file);
    if (!shadow) refuse(file, position_of(shadow.error().source()), "syntax", std::string(shadow.error().description()));
  }
  toml::parse_result res = toml::parse(text, file);
  if (!res) refuse(file, position_of(res.error().source()), "syntax", std::string(res.error().description()));
  const toml::table& root = res.table();
  StagedVehicle v;
  // The classic description holding the keys both forms share, checked as
  // the classic reader checks them.
  Description world;
  bool has_mission = false;
  for (auto&& [key, node] : root) {
    const std::string name(key.str());
    const At at = position_of(key.source());
    const toml::table* t = node.as_table();
    if (name == "name") {
      if (node.as_string() == nullptr) refuse(file, position_of(node.source()), name, "must be a string in quotes");
      v.name = node.as_string()->get();
    } else if (name == "stage") {
      const toml::array* a = node.as_array();
      if (a == nullptr || !a->is_array_of_tables()) refuse(file, at, name, "must be [[stage]] tables");
      for (std::size_t i = 0; i < a->size(); ++i) {
        v.stages.push_back(read_stage(*a->get(i)->as_table(), "stage." + std::to_string(i + 1) + ".", file));
      }
    } else if (t == nullptr) {
      refuse(file, at, name, "unknown key");
    } else if (name == "fairing") {
      read_table(*t, "fairing.",
                 {number("mass", 0, big, false, true, [&](double x) { v.fairing_mass = x; }),
                  number("jettison_time", 0, 1e5, true, true, [&](double x) { v.fairing_jettison_time = x; })},
                 file);
    } else if (name == "payload") {
      read_table(*t, "payload.",
                 {number("mass", 0, big, false, true, [&](double x) { v.payload_mass = x; }),
                  number("adaptor_mass", 0, big, false, false, [&](double x) { v.adaptor_mass = x; })},
                 file);
    } else if (name == "drag") {
      read_table(*t, "drag.",
                 {list("mach", 0, 1e3, [&](const std::vector<double>& x) { v.drag.mach = x; }),
                  list("cd", 0, 1e3, [&](const std::vector<double>& x) { v.drag.cd = x; }),
                  classic_key("drag.coefficient", world), classic_key("drag.reference_area", world)},
                 file);
      // One coefficient throughout needs no points.
      const bool points = !(world.vehicle.drag.coefficient > 0) || t->contains("mach") || t->contains("cd");
      if (points && (v.drag.mach.size() != v.drag.cd.size() || v.drag.mach.empty())) {
        refuse(file, position_of(t->source()), "drag.cd", "must hold one coefficient per Mach number");
      }
    } else if (name == "earth") {
      read_table(*t, "earth.",
                 {classic_key("earth.mu", world), classic_key("earth.radius", world),
                  classic_key("earth.rotation_rate", world)},
                 file);
    } else if (name == "atmosphere") {
      read_table(*t, "atmosphere.",
                 {classic_key("atmosphere.model", world), classic_key("atmosphere.density", world),
                  classic_key("atmosphere.scale_height", world)},
                 file);
    } else if (name == "impact") {
      read_table(*t, "impact.",
                 {classic_key("impact.booster_beta", world), classic_key("impact.core_beta", world),
                  classic_key("impact.fairing_beta", world)},
                 file);
    } else if (name == "model") {
      read_table(*t, "model.",
                 {classic_key("model.dut1", world),
                  ascent::text("dynamics", false, [&](const std::string& x) { v.dynamics = x; })},
                 file);
      if (v.dynamics != "planar" && v.dynamics != "3d") {
        refuse(file, position_of(t->get("dynamics")->source()), "model.dynamics",
               "must be \"planar\" or \"3d\", got \"" + v.dynamics + "\"");
      }
    } else if (name == "mission") {
      read_mission(*t, v.mission, file);
      has_mission = true;
    } else if (name == "wind") {
      WindTable& w = v.wind;
      read_table(*t, "wind.",
                 {list("altitude", -1e3, 1e6, [&](const std::vector<double>& x) { w.altitude = x; }),
                  list("east", -300, 300, [&](const std::vector<double>& x) { w.east = x; }),
                  list("north", -300, 300, [&](const std::vector<double>& x) { w.north = x; })},
                 file);
      bool rising = w.altitude.size() == w.east.size() && w.altitude.size() == w.north.size();
      for (std::size_t i = 1; i < w.altitude.size(); ++i) rising = rising && w.altitude[i] > w.altitude[i - 1];
      if (!rising) {
        refuse(file, position_of(t->source()), "wind.altitude",
               "must rise from point to point, with one east and one north speed at each");
      }
    } else if (name == "plan") {
      StagedPlan& p = v.plan;
      read_table(*t, "plan.",
                 {number("pitch_over_altitude", 0, 1e5, true, false, [&](double x) { p.pitch_over_altitude = x; }),
                  number("pitch_rate", 0, 90, true, false, [&](double x) { p.pitch_rate = x; }),
                  number("pitch_time", 0, 100, true, false, [&](double x) { p.pitch_time = x; }),
                  number("guidance_cycle", 0, 100, true, false, [&](double x) { p.guidance_cycle = x; }),
                  number("guidance_takeover", 0, 1e5, false, false, [&](double x) { p.guidance_takeover = x; }),
                  number("hold_time", 0, 1e3, true, false, [&](double x) { p.hold_time = x; }),
                  number("step", 0, 10, true, false, [&](double x) { p.step = x; }),
                  number("coast_step", 0, 100, true, false, [&](double x) { p.coast_step = x; })},
                 file);
    } else {
      refuse(file, at, name, "unknown table");
    }
  }
  if (v.name.empty()) refuse(file, {}, "name", "missing: the vehicle's name");
  if (!has_mission) refuse(file, {}, "mission", "missing: the target orbit and the launch site");
  v.earth = world.mission.earth;
  v.atmosphere = world.mission.atmosphere;
  v.drag.coefficient = world.vehicle.drag.coefficient;
  v.drag.reference_area = world.vehicle.drag.reference_area;
  v.impact = world.mission.impact;
  v.dut1 = world.mission.model.dut1;
  std::vector<StagedProblem> problems;
  for (const Problem& q : check_description(world)) {
    for (const char* shared : {"earth.", "atmosphere.", "drag.coefficient", "drag.reference_area", "impact.", "model.dut1"}) {
      if (q.key.rfind(shared, 0) == 0) problems.push_back({q.key, q.what});
    }
  }
  for (StagedProblem& q : check_staged(v)) problems.push_back(std::move(q));
  if (!problems.empty()) {
    // The fault is reported at the stage (or table) it belongs to.
    At where{};
    const std::string& k = problems.front().key;
    if (k.rfind("stage.", 0) == 0) {
      const std::size_t i = std::stoul(k.substr(6)) - 1;
      const toml::array& a = *root.get("stage")->as_array();
      const toml::table& st = *a.get(i)->as_table();
      where = position_of(st.source());
      const std::string rest = k.substr(k.find('.', 6) + 1);
      if (rest.rfind("boosters.", 0) == 0) {
        const std::size_t j = std::stoul(rest.substr(9)) - 1;
        const toml::table& gt = *st.get("boosters")->as_array()->get(j)->as_table();
        where = position_of(gt.source());
        if (const toml::node* n = gt.get(rest.substr(rest.find('.', 9) + 1))) where = position_of(n->source());
      } else if (const toml::node* n = st.get(rest)) {
        where = position_of(n->source());
      }
    } else if (std::size_t dot = k.find('.'); dot != std::string::npos) {
      if (const toml::table* t = root.get_as<toml::table>(k.substr(0, dot))) {
        where = position_of(t->source());
        if (const toml::node* n = t->get(k.substr(dot + 1))) where = position_of(n->source());
      }
    }
    refuse(file, where, k, problems.front().what);
  }
  if (warnings != nullptr) *warnings = keys_without_effect(root, v, file);
  return v;
}

}  // namespace ascent
