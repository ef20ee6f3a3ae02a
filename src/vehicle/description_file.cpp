#include "vehicle/description_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <tuple>

// Error values instead of exceptions: every fault becomes one FatalError here.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "vehicle/keys.hpp"
#include "vehicle/toml_position.hpp"
#include "vehicle/toml_screen.hpp"

namespace ascent {

namespace {

using Position = SourcePosition;

struct Fault {
  Position at;
  std::string key;
  std::string what;
};

[[noreturn]] void refuse(const std::string& file, const Fault& f) {
  // An empty key ('' = 1) is named as TOML spells it.
  const std::string key = f.key.empty() ? "\"\"" : f.key;
  throw FatalError{err_description, file + ":" + std::to_string(f.at.line) + ":" + std::to_string(f.at.column) +
                                        ": " + one_line(key + ": " + f.what)};
}

// The tables a description has: the part of each dotted key before the dot.
bool is_table_name(std::string_view name) {
  for (const Key& k : description_keys()) {
    std::string_view n = k.name;
    std::size_t dot = n.find('.');
    if (dot != std::string_view::npos && n.substr(0, dot) == name) return true;
  }
  return false;
}

std::string table_of(std::string_view key) {
  std::size_t dot = key.find('.');
  return dot == std::string_view::npos ? std::string() : std::string(key.substr(0, dot));
}

// Edit distance, for the nearest known key to a typo.
std::size_t distance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diag = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t up = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diag + (a[i - 1] == b[j - 1] ? 0 : 1)});
      diag = up;
    }
  }
  return row[b.size()];
}

std::string unknown(std::string_view name, bool table) {
  std::string what = table ? "unknown table" : "unknown key";
  if (name.size() > 200) return what;
  const char* best = nullptr;
  std::size_t best_d = 3;  // suggest only near misses
  for (const Key& k : description_keys()) {
    std::string candidate = table ? table_of(k.name) : std::string(k.name);
    if (candidate.empty()) continue;
    std::size_t dd = distance(name, candidate);
    if (dd < best_d) {
      best_d = dd;
      best = k.name;
    }
  }
  if (best != nullptr) what += " (did you mean " + (table ? table_of(best) : std::string(best)) + "?)";
  return what;
}

std::string type_name(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a real number";
    case toml::node_type::boolean: return "a boolean";
    case toml::node_type::array: return "a list";
    case toml::node_type::table: return "a table";
    default: return "a date or time";
  }
}

// Reads a number node; false when it is none.
bool number_of(const toml::node& n, double& x) {
  if (const auto* i = n.as_integer()) {
    x = static_cast<double>(i->get());
    return true;
  }
  if (const auto* f = n.as_floating_point()) {
    x = f->get();
    return true;
  }
  return false;
}

// Reads the node of key k into d; a fault is recorded, not thrown, so that
// the first in the file can be reported.
void take_value(const Key& k, const toml::node& n, Description& d, std::vector<Fault>& faults) {
  Position at = position_of(n.source());
  auto fault = [&](std::string what) { faults.push_back({at, k.name, std::move(what)}); };
  switch (k.kind) {
    case KeyKind::real: {
      double x;
      if (!number_of(n, x)) return fault("must be a number, got " + type_name(n));
      std::string why = set_key_value(d, k, x);
      if (!why.empty()) fault(why);
      return;
    }
    case KeyKind::count: {
      if (const auto* f = n.as_floating_point()) {
        return fault("must be a whole number, written without a decimal point, got " + number_text(f->get()));
      }
      const auto* i = n.as_integer();
      if (i == nullptr) return fault("must be a whole number, got " + type_name(n));
      std::string why = set_key_value(d, k, static_cast<double>(i->get()));
      if (!why.empty()) fault(why);
      return;
    }
    case KeyKind::text: {
      const auto* s = n.as_string();
      if (s == nullptr) return fault("must be a string in quotes, got " + type_name(n));
      k.text(d) = s->get();
      return;
    }
    case KeyKind::list: {
      const auto* a = n.as_array();
      if (a == nullptr) return fault("must be a list of numbers in brackets, got " + type_name(n));
      std::vector<double>& v = k.list(d);
      v.clear();
      for (std::size_t i = 0; i < a->size(); ++i) {
        const toml::node& e = *a->get(i);
        double x;
        std::string entry = "entry " + std::to_string(i + 1) + " ";
        if (!number_of(e, x)) {
          faults.push_back({position_of(e.source()), k.name, entry + "must be a number, got " + type_name(e)});
          return;
        }
        std::string why = check_range(k, x);
        if (!why.empty()) {
          faults.push_back({position_of(e.source()), k.name, entry + why});
          return;
        }
        v.push_back(x);
      }
      return;
    }
  }
}

struct Parsed {
  Description d;
  std::map<std::string, Position> where;  // each key's value as found in the file
  std::vector<std::string> warnings;      // keys that change nothing, each "FILE:LINE:COL: key: why"
};

// Equal as the file would write them: the same bits (-0.0 is not 0).
bool same_bits(double a, double b);

// Keys given that change nothing in the flight described: a warning each,
// unless the value is the built-in one (a description that writes every key
// says nothing it does not mean by it). An open-loop description is held to
// what closed loop refuses in the keys it gives: switched to closed loop, it
// would fly what it says.
void check_keys_without_effect(Parsed& p, const std::string& file_name) {
  Description& d = p.d;
  const Description& b = builtin_description();
  auto differs = [&](const Key& k) {
    return p.where.count(k.name) != 0 &&
           (k.kind == KeyKind::text ? k.text(d) != k.text(b) : !same_bits(k.real(d), k.real(b)));
  };
  auto warn = [&](const Key& k, const std::string& why) {
    const Position at = p.where[k.name];
    p.warnings.push_back(file_name + ":" + std::to_string(at.line) + ":" + std::to_string(at.column) + ": " +
                         k.name + ": " + why);
  };
  if (!closed_loop(d.mission)) {
    Description as_closed = d;
    as_closed.mission.guidance.mode = "closed-loop";
    for (const Problem& q : check_description(as_closed)) {
      if (table_of(q.key) == "guidance" && p.where.count(q.key) != 0) refuse(file_name, {p.where[q.key], q.key, q.what});
    }
  }
  for (const Key& k : description_keys()) {
    if (k.kind != KeyKind::real && k.kind != KeyKind::text) continue;
    if (!closed_loop(d.mission) && table_of(k.name) == "guidance" && std::string_view(k.name) != "guidance.mode" &&
        differs(k)) {
      warn(k, "has no effect: guidance.mode is \"open-loop\"");
    }
    if (std::string_view(k.name) == "numerics.tolerance" && d.mission.numerics.integrator != "adaptive" &&
        differs(k)) {
      warn(k, "has no effect: numerics.integrator is not \"adaptive\"");
    }
    if (table_of(k.name) == "atmosphere" && k.kind == KeyKind::real && d.mission.atmosphere.model != "exponential" &&
        differs(k)) {
      warn(k, "has no effect: atmosphere.model is not \"exponential\"");
    }
  }
  // The points of the drag law, given beside one coefficient for every Mach
  // number, are not flown.
  for (const char* name : {"drag.mach", "drag.cd"}) {
    const Key& k = *find_key(name);
    if (d.vehicle.drag.coefficient > 0 && p.where.count(name) != 0 && k.list(d) != k.list(b)) {
      warn(k, "has no effect: drag.coefficient holds at every Mach number");
    }
  }
}

Parsed parse(std::string_view text, const std::string& file_name) {
  if (std::optional<TomlScreenFault> f = screen_toml(text, true)) refuse(file_name, {{f->line, f->column}, "syntax", f->what});
  {
    toml::parse_result shadow = toml::parse(ascii_shadow(text), file_name);
    if (!shadow) {
      const toml::parse_error& e = shadow.error();
      refuse(file_name, {position_of(e.source()), "syntax", std::string(e.description())});
    }
  }
  toml::parse_result res = toml::parse(text, file_name);
  if (!res) {
    const toml::parse_error& e = res.error();
    refuse(file_name, {position_of(e.source()), "syntax", std::string(e.description())});
  }
  const toml::table& root = res.table();

  Parsed p;
  std::vector<Fault> faults;
  std::map<std::string, Position> table_at;  // where each table is defined
  auto visit = [&](const std::string& name, const toml::key& key, const toml::node& n) {
    const Key* k = find_key(name);
    if (k == nullptr) {
      faults.push_back({position_of(key.source()), name, unknown(name, false)});
      return;
    }
    p.where[name] = position_of(n.source());
    take_value(*k, n, p.d, faults);
  };
  for (auto&& [key, node] : root) {
    std::string name(key.str());
    if (const toml::table* t = node.as_table(); t != nullptr && name.find('.') == std::string::npos) {
      if (!is_table_name(name)) {
        faults.push_back({position_of(key.source()), name, unknown(name, true)});
        continue;
      }
      table_at[name] = position_of(t->source());
      for (auto&& [k2, n2] : *t) {
        std::string sub(k2.str());
        if (sub.find('.') != std::string::npos) {
          faults.push_back({position_of(k2.source()), name + "." + sub, "unknown key"});
          continue;
        }
        visit(name + "." + sub, k2, n2);
      }
    } else if (is_table_name(name)) {
      faults.push_back({position_of(node.source()), name, "must be a table [" + name + "], got " + type_name(node)});
    } else if (name.find('.') != std::string::npos) {
      faults.push_back({position_of(key.source()), name, unknown(name, false)});
    } else {
      visit(name, key, node);
    }
  }
  if (!faults.empty()) {
    auto first = std::min_element(faults.begin(), faults.end(), [](const Fault& a, const Fault& b) {
      return std::tie(a.at.line, a.at.column) < std::tie(b.at.line, b.at.column);
    });
    refuse(file_name, *first);
  }
  // One drag coefficient for every Mach number leaves the law's points
  // nothing to say.
  const bool one_cd = p.d.vehicle.drag.coefficient > 0;
  for (const Key& k : description_keys()) {
    if (k.optional || p.where.count(k.name) != 0) continue;
    if (one_cd && table_of(k.name) == "drag") continue;
    auto t = table_at.find(table_of(k.name));
    Position at = t == table_at.end() ? Position{} : t->second;
    std::string what = "missing";
    if (!table_of(k.name).empty() && t == table_at.end()) what += " (so is the table [" + table_of(k.name) + "])";
    refuse(file_name, {at, k.name, what + ": " + k.meaning});
  }
  std::vector<Problem> problems = check_description(p.d);
  if (!problems.empty()) {
    auto w = p.where.find(problems.front().key);
    refuse(file_name, {w == p.where.end() ? Position{} : w->second, problems.front().key, problems.front().what});
  }
  check_keys_without_effect(p, file_name);
  return p;
}

// What keeps the profile at `path` from being read, or empty.
std::string profile_fault(const std::string& path) {
  try {
    (void)read_whole_file(path);
  } catch (const FatalError& e) {
    return "cannot be read: " + e.message;
  }
  return {};
}

// A TOML basic string: quotes, backslashes and control characters escaped.
std::string toml_string(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04X", c);
          out += buf;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string value_text(const Description& d, const Key& k) {
  const Description& m = d;
  switch (k.kind) {
    case KeyKind::real: return number_text(k.real(m));
    case KeyKind::count: return std::to_string(k.count(m));
    case KeyKind::text: return toml_string(k.text(m));
    case KeyKind::list: {
      std::string s = "[";
      for (double x : k.list(m)) s += (s.size() > 1 ? ", " : "") + number_text(x);
      return s + "]";
    }
  }
  return {};
}

std::string unit_and_meaning(const Key& k) {
  std::string s = k.meaning;
  if (*k.unit != '\0') s += std::string(" (") + k.unit + ")";
  return s;
}

struct TableIntro {
  const char* name;
  const char* text;
};
constexpr TableIntro table_intros[] = {
    {"boosters", "Strap-on solid boosters, all alike; their thrust comes from the booster profile."},
    {"core", "The core stage: liquid engines throttled together, then shut down one by one."},
    {"fairing", "The payload fairing."},
    {"upper", "The upper stage and what it carries."},
    {"drag", "Drag coefficient against Mach number: straight lines between the points; two points at one\n"
             "# Mach number make a jump. Below the first point and above the last the coefficient stays."},
    {"target", "Launch site, target orbit and the perigee targets of the turn-time correction."},
    {"plan", "The flight programme: vertical rise, pitch-over, turn, steering law."},
    {"sizing", "Sizing rules of the upper stage and the spacecraft, from the flight."},
    {"guidance", "Closed-loop guidance of the core stage to the transfer orbit and of the upper stage to the\n"
                 "# target orbit, once the vehicle has left the dense atmosphere; every key may be left out."},
    {"model", "The Earth's orientation under an exported trajectory; may be left out."},
    {"earth", "The Earth the vehicle flies over: a turning sphere with inverse-square gravity; may be left out."},
    {"atmosphere", "The air the vehicle flies through; may be left out (the 1976 standard)."},
    {"impact", "How the dropped parts fall back, for their impact points; may be left out."},
    {"wind", "Winds aloft for the 3-D flight, straight lines between the points; may be left out (still air)."},
};

// Equal as the file would write them: the same bits (-0.0 is not 0).
bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

std::string range_text(const Key& k) {
  switch (k.kind) {
    case KeyKind::text: return k.optional ? "text; may be left out" : "text, not empty";
    case KeyKind::count:
      return "a whole number from " + number_text(k.min) + " to " + number_text(k.max) +
             (k.optional ? "; may be left out (" + number_text(k.min) + ")" : "");
    case KeyKind::real:
    case KeyKind::list: {
      std::string s = k.kind == KeyKind::list ? "numbers, each " : "";
      s += (k.min_excluded ? "above " : "at least ") + number_text(k.min) + ", at most " + number_text(k.max);
      if (k.optional && k.kind == KeyKind::list) s += "; may be left out (none)";
      if (k.optional && k.kind == KeyKind::real) s += "; may be left out (" + number_text(k.real(builtin_description())) + ")";
      return s;
    }
  }
  return {};
}

Description parse_description(std::string_view text, const std::string& file_name) {
  return parse(text, file_name).d;
}

Description read_description(const std::string& path) { return description_from_file_text(read_whole_file(path), path); }

Description description_from_file_text(std::string_view text, const std::string& path) {
  Parsed p = parse(text, path);
  // Taken, and said: every program that reads a description says it alike.
  for (const std::string& w : p.warnings) std::fprintf(stderr, "%s: warning: %s\r\n", program_invocation_short_name, w.c_str());
  p.d.origin = path;
  if (!p.d.profile.empty()) {
    std::string why = profile_fault(resolved_profile_path(p.d));
    if (!why.empty()) refuse(path, {p.where["profile"], "profile", why});
  }
  return p.d;
}

std::string resolved_profile_path(const Description& d) {
  if (d.profile.empty()) return "s1.dat";
  std::filesystem::path profile(d.profile);
  if (profile.is_absolute() || d.origin.empty()) return d.profile;
  return (std::filesystem::path(d.origin).parent_path() / profile).string();
}

namespace {

// Every guidance key holds its built-in value, bit for bit.
bool default_guidance(const Description& d) {
  const Description& b = builtin_description();
  for (const Key& k : description_keys()) {
    if (table_of(k.name) != "guidance") continue;
    if (k.kind == KeyKind::text ? k.text(d) != k.text(b) : std::memcmp(&k.real(d), &k.real(b), sizeof(double)) != 0) {
      return false;
    }
  }
  return true;
}

}  // namespace

namespace {

// The choice a text key stands for when it is left out.
const char* left_out_choice(std::string_view name) {
  if (name == "numerics.integrator") return "fixed";
  if (name == "numerics.events") return "steps";
  if (name == "atmosphere.model") return "standard";
  if (name == "model.dynamics") return "planar";
  return "";
}

}  // namespace

std::string write_description(const Description& d, bool every_key) {
  // The header of the usual text is part of the digest a study records of
  // its vehicle: it stays as it is.
  std::string out =
      every_key ? "# A launch vehicle and its mission, as `ascent --vehicle FILE` reads them.\n"
                  "# SI units, angles in degrees where marked deg. Every key must be present but\n"
                  "# those that may be left out (the profile, [numerics], [guidance], [model]), shown\n"
                  "# here commented out at the value that leaving them out gives; each comment\n"
                  "# gives the meaning, the unit and the allowed range. Whole numbers may be\n"
                  "# written without a decimal point.\n"
                : "# A launch vehicle and its mission, as `ascent --vehicle FILE` reads them.\n"
                  "# SI units, angles in degrees where marked deg. Every key must be present\n"
                  "# (only profile may be left out); each comment gives the meaning, the unit\n"
                  "# and the allowed range. Whole numbers may be written without a decimal point.\n";
  // A key at the value that leaving it out gives is written only with
  // every_key, and then commented out, so that the text reads back as the
  // same description: a whole number at its least value; a real at the
  // built-in value bit for bit (but for the guidance table: a closed-loop
  // flight shows all of its settings); a choice left out (the profile is
  // always shown, commented out); and the guidance table when it is the
  // built-in one (open loop), so that an open-loop description reads as it
  // always did.
  auto left_out = [&d](const Key& k) {
    const std::string t = table_of(k.name);
    if (k.kind == KeyKind::count && k.optional && k.count(d) == int(k.min)) return true;
    if (k.kind == KeyKind::real && k.optional && t != "guidance" &&
        same_bits(k.real(d), k.real(builtin_description()))) {
      return true;
    }
    if (k.kind == KeyKind::list && k.optional && k.list(d).empty()) return true;
    if (k.kind == KeyKind::text && k.optional && k.text(d).empty() && std::string_view(k.name) != "profile") {
      return true;
    }
    return t == "guidance" && default_guidance(d);
  };
  // A table all of whose keys are left out has its header commented out too,
  // so that a description that adds the table after the printed text (as
  // descriptions written before every key was printed do) reads as before.
  std::set<std::string> written_tables;
  for (const Key& k : description_keys()) {
    if (!left_out(k)) written_tables.insert(table_of(k.name));
  }
  std::string table;
  for (const Key& k : description_keys()) {
    std::string t = table_of(k.name);
    const bool key_left_out = left_out(k);
    const bool empty_text = k.kind == KeyKind::text && k.optional && k.text(d).empty();
    if (key_left_out && (!every_key || k.unwritten_left_out)) continue;
    if (t != table) {
      table = t;
      out += "\n";
      for (const TableIntro& i : table_intros) {
        if (t == i.name) out += std::string("# ") + i.text + "\n";
      }
      if (every_key && t == "numerics") {
        out += "# How the flight is integrated; every key may be left out.\n";
      }
      out += std::string(written_tables.count(t) != 0 ? "" : "# ") + "[" + t + "]\n";
    } else {
      if (table.empty()) out += "\n";
    }
    std::string key = table.empty() ? std::string(k.name) : std::string(k.name).substr(table.size() + 1);
    out += "# " + unit_and_meaning(k) + "; " + range_text(k) + "\n";
    if (empty_text && std::string_view(k.name) == "profile") {
      out += "# " + key + " = \"s1.dat\"\n";
    } else if (empty_text) {
      out += "# " + key + " = \"" + left_out_choice(k.name) + "\"\n";
    } else if (key_left_out) {
      out += "# " + key + " = " + value_text(d, k) + "\n";
    } else {
      out += key + " = " + value_text(d, k) + "\n";
    }
  }
  return out;
}

std::string key_reference_markdown() {
  const Description& b = builtin_description();
  std::string out =
      "| key | unit | meaning | allowed range | built-in value |\n"
      "|---|---|---|---|---|\n";
  for (const Key& k : description_keys()) {
    std::string value = k.kind == KeyKind::text && k.text(b).empty()
                            ? std::string("(left out)")
                            : "`" + value_text(b, k) + "`";
    out += std::string("| `") + k.name + "` | " + k.unit + " | " + k.meaning + " | " + range_text(k) + " | " +
           value + " |\n";
  }
  return out;
}

}  // namespace ascent
