#include "staged_study.hpp"

#include <cctype>
#include <cmath>
#include <sstream>

// The same configuration as the description reader's: a program holds one
// build of the header-only parser, and it reports faults as values.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "vehicle/description_file.hpp"
#include "sweep_lib.hpp"
#include "vehicle/staged_file.hpp"

namespace ascent::study {

struct StagedDescription::Toml {
  toml::table root;
};

namespace {

// The numbers a description takes, by table. Their ranges and the rules
// between them are the reader's: a value set here is read by it.
const std::vector<std::string> stage_numbers = {"engines",         "thrust",   "exhaust_speed", "specific_impulse",
                                                "exit_area",       "propellant_mass", "dry_mass", "diameter",
                                                "burn_time",       "separation_delay"};
const std::vector<std::string> group_numbers = {"count",         "thrust",          "exhaust_speed", "specific_impulse",
                                                "exit_area",     "mass",            "propellant_mass", "diameter",
                                                "ignition_time", "jettison_time"};
const std::vector<std::pair<std::string, std::vector<std::string>>> table_numbers = {
    {"fairing", {"mass", "jettison_time"}},
    {"payload", {"mass", "adaptor_mass"}},
    {"mission",
     {"latitude", "inclination", "perigee_altitude", "apogee_altitude", "semi_major_axis", "eccentricity",
      "perigee_angle", "transfer_perigee"}},
    {"plan",
     {"pitch_over_altitude", "pitch_rate", "pitch_time", "guidance_cycle", "guidance_takeover", "hold_time", "step",
      "coast_step"}},
    {"earth", {"mu", "radius", "rotation_rate"}},
    {"atmosphere", {"density", "scale_height"}},
    {"drag", {"coefficient", "reference_area"}},
};

bool one_of(const std::string& x, const std::vector<std::string>& names) {
  for (const std::string& n : names) {
    if (n == x) return true;
  }
  return false;
}

std::vector<std::string> split(const std::string& key) {
  std::vector<std::string> parts(1);
  for (char c : key) {
    if (c == '.') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  return parts;
}

// A count from 1 written in a key ("2" of stage.2.thrust); 0 when it is none.
std::size_t ordinal(const std::string& s) {
  if (s.empty() || s.size() > 4) return 0;
  for (char c : s) {
    if (!std::isdigit(static_cast<unsigned char>(c))) return 0;
  }
  return std::stoul(s);
}

// Where a key lives: the table that holds it (created when `make` and it is
// a top-level table the description leaves out) and its last name; why not
// when the key names nothing this vehicle has.
struct Place {
  toml::table* table = nullptr;
  std::string name;
  std::string why;
};

toml::table* nth_table(toml::table& t, const char* array, std::size_t i) {
  toml::array* a = t.get_as<toml::array>(array);
  if (a == nullptr || i == 0 || i > a->size()) return nullptr;
  return a->get_as<toml::table>(i - 1);
}

std::size_t tables_in(const toml::table& t, const char* array) {
  const toml::array* a = t.get_as<toml::array>(array);
  return a == nullptr ? 0 : a->size();
}

Place place_of(toml::table& root, const std::string& key, bool make) {
  const std::vector<std::string> p = split(key);
  Place out;
  out.name = p.back();
  if (p[0] == "stage") {
    const std::size_t i = p.size() >= 3 ? ordinal(p[1]) : 0;
    const std::size_t stages = tables_in(root, "stage");
    if (i == 0) {
      out.why = "name a stage by its number from 1 (bottom first): stage.N.KEY or stage.N.boosters.M.KEY";
      return out;
    }
    toml::table* st = nth_table(root, "stage", i);
    if (st == nullptr) {
      out.why = "no stage " + p[1] + ": the vehicle has " + std::to_string(stages);
      return out;
    }
    if (p.size() == 3) {
      if (!one_of(p[2], stage_numbers)) out.why = "not a number of a stage";
      out.table = st;
      return out;
    }
    const std::size_t j = p.size() == 5 && p[2] == "boosters" ? ordinal(p[3]) : 0;
    if (j == 0) {
      out.why = "name a booster group as stage.N.boosters.M.KEY, M from 1";
      return out;
    }
    toml::table* g = nth_table(*st, "boosters", j);
    if (g == nullptr) {
      out.why = "stage " + p[1] + " has no booster group " + p[3] + " (it has " +
                std::to_string(tables_in(*st, "boosters")) + ")";
      return out;
    }
    if (!one_of(p[4], group_numbers)) out.why = "not a number of a booster group";
    out.table = g;
    return out;
  }
  for (const auto& [table, names] : table_numbers) {
    if (p.size() != 2 || p[0] != table) continue;
    if (!one_of(p[1], names)) {
      out.why = "not a number of [" + table + "]";
      return out;
    }
    out.table = root.get_as<toml::table>(table);
    if (out.table == nullptr && make) out.table = root.insert(table, toml::table{}).first->second.as_table();
    return out;
  }
  out.why = "not a number of a staged description (stage.N.KEY, stage.N.boosters.M.KEY, payload.mass, ...)";
  return out;
}

// The reader's refusal without its FILE:LINE:COLUMN: the position would be
// in the edited text, which no one wrote.
std::string without_position(const std::string& message, const std::string& file) {
  std::string m = message;
  if (m.rfind(file + ":", 0) != 0) return m;
  std::size_t i = file.size() + 1;
  for (int field = 0; field < 2; ++field) {
    while (i < m.size() && std::isdigit(static_cast<unsigned char>(m[i]))) ++i;
    if (i < m.size() && m[i] == ':') ++i;
  }
  if (i < m.size() && m[i] == ' ') ++i;
  return m.substr(i);
}

}  // namespace

std::unique_ptr<StagedDescription> read_vehicle(const std::string& path, Description& classic) {
  if (path.empty()) {
    classic = builtin_description();
    return nullptr;
  }
  const std::string text = read_whole_file(path);
  if (!is_staged_text(text)) {
    classic = description_from_file_text(text, path);
    return nullptr;
  }
  return std::make_unique<StagedDescription>(text, path);
}

StagedDescription::StagedDescription(const std::string& text, const std::string& file)
    : toml_(std::make_unique<Toml>()), file_(file), vehicle_(parse_staged(text, file)) {
  // The reader has accepted it: the parse cannot fail.
  toml::parse_result res = toml::parse(text, file);
  if (res) toml_->root = std::move(res.table());
}

StagedDescription::~StagedDescription() = default;

std::string StagedDescription::check_key(const std::string& key) const {
  toml::table copy = toml_->root;
  const Place where = place_of(copy, key, false);
  return where.why.empty() ? std::string() : key + ": " + where.why;
}

bool StagedDescription::whole_key(const std::string& key) {
  const std::string last = split(key).back();
  return last == "engines" || last == "count";
}

std::optional<double> StagedDescription::written(const std::string& key) const {
  const Place where = place_of(toml_->root, key, false);
  if (!where.why.empty() || where.table == nullptr) return std::nullopt;
  const toml::node* n = where.table->get(where.name);
  if (n == nullptr) return std::nullopt;
  if (const auto* i = n->as_integer()) return static_cast<double>(i->get());
  if (const auto* f = n->as_floating_point()) return f->get();
  return std::nullopt;
}

std::string StagedDescription::text_with(const std::vector<std::string>& keys,
                                         const std::vector<double>& values) const {
  toml::table t = toml_->root;
  for (std::size_t i = 0; i < keys.size(); ++i) {
    const Place where = place_of(t, keys[i], true);
    if (!where.why.empty()) throw FatalError{exit_usage, keys[i] + ": " + where.why};
    const double x = values[i];
    // A whole number is written as one: a count must be, and the reader takes
    // 845000 and 845000.0 for the same thrust.
    if (std::isfinite(x) && x == std::trunc(x) && std::fabs(x) < 0x1p53) {
      where.table->insert_or_assign(where.name, static_cast<std::int64_t>(x));
    } else {
      where.table->insert_or_assign(where.name, x);
    }
  }
  std::ostringstream os;
  os << toml::toml_formatter(t);
  return os.str() + "\n";
}

StagedVehicle StagedDescription::with(const std::vector<std::string>& keys, const std::vector<double>& values,
                                      std::string& refused) const {
  refused.clear();
  for (double x : values) {
    if (!std::isfinite(x)) {
      refused = "not a finite number";
      return vehicle_;
    }
  }
  try {
    return parse_staged(text_with(keys, values), file_);
  } catch (const FatalError& e) {
    refused = without_position(e.message, file_);
    return vehicle_;
  }
}

std::vector<std::string> staged_columns() {
  return {"hp_final_km", "ha_final_km", "perigee_angle_deg", "final_mass_kg", "propellant_left_kg",
          "liftoff_mass_kg", "t_final_s", "reached", "status"};
}

std::string staged_fields(const StagedVehicle& v, const StagedResult& r) {
  using sweep::exact;
  const double left = r.mass - v.payload_mass - v.adaptor_mass - v.stages.back().dry_mass;
  std::string f = exact(r.hp / 1000) + ',' + exact(r.ha / 1000) + ',' + exact(r.perigee_angle) + ',' +
                  exact(r.mass) + ',' + exact(left) + ',' + exact(r.liftoff_mass) + ',' + exact(r.t);
  f += r.reached ? ",yes,ok" : ",no," + sweep::text_field("not reached: " + r.failure);
  return f;
}

std::string refused_fields(const std::string& why) {
  return std::string(7, ',') + ",no," + sweep::text_field("error " + std::to_string(err_description) + ": " + why);
}

void key_and_text(const std::string& option, const std::string& arg, std::string& key, std::string& text) {
  const std::size_t eq = arg.find('=');
  if (eq == std::string::npos || eq == 0) throw FatalError{exit_usage, option + ": '" + arg + "' is not KEY=VALUES"};
  key = arg.substr(0, eq);
  text = arg.substr(eq + 1);
}

}  // namespace ascent::study
