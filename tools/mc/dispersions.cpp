// The dispersions file and the draws: which quantities scatter and how, read
// from TOML and checked against the key table; and the counter-based
// generator that gives every run its own numbers.
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <numbers>
#include <set>
#include <sstream>

// The same configuration as the description reader's: a program holds one
// build of the header-only parser, and it reports faults as values.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

#include "io/fatal_error.hpp"
#include "io/line_reader.hpp"
#include "io/number_format.hpp"
#include "mc_lib.hpp"
#include "vehicle/toml_screen.hpp"

namespace ascent::mc {

// ---------------------------------------------------------------- draws

std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
  return z ^ (z >> 31);
}

std::uint64_t name_hash(const std::string& name) {
  std::uint64_t h = 0xCBF29CE484222325ULL;
  for (unsigned char c : name) {
    h ^= c;
    h *= 0x100000001B3ULL;
  }
  return h;
}

std::uint64_t draw_bits(std::uint64_t seed, std::uint64_t run, std::uint64_t quantity, unsigned j) {
  // Each argument is mixed in turn (the golden-ratio increment keeps a zero
  // key from mapping to zero): a different seed, run, quantity or index
  // gives an unrelated word.
  constexpr std::uint64_t golden = 0x9E3779B97F4A7C15ULL;
  std::uint64_t z = mix64(seed + golden);
  z = mix64(z ^ (run + golden));
  z = mix64(z ^ quantity);
  return mix64(z + golden * (static_cast<std::uint64_t>(j) + 1));
}

double unit_open(std::uint64_t bits) {
  return (static_cast<double>(bits >> 11) + 0.5) * 0x1.0p-53;
}

double box_muller(double u1, double u2) {
  return std::sqrt(-2.0 * std::log(u1)) * std::cos(2.0 * std::numbers::pi * u2);
}

double deviate(const Dispersion& d, std::uint64_t seed, std::uint64_t run) {
  double u1 = unit_open(draw_bits(seed, run, d.stream, 0));
  if (d.distribution == Distribution::uniform) return 2.0 * u1 - 1.0;
  double u2 = unit_open(draw_bits(seed, run, d.stream, 1));
  return box_muller(u1, u2);
}

double dispersed_value(const Dispersion& d, double x) {
  // Normal: x standard deviations of a third of the spread; uniform: x
  // half-widths.
  double dev = d.distribution == Distribution::normal ? d.spread / 3.0 * x : d.spread * x;
  return d.relative ? d.nominal * (1.0 + dev) : d.nominal + dev;
}

// ---------------------------------------------------------------- the file

std::string DispersionError::message() const {
  return file + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + key + ": " + what;
}

namespace {

[[noreturn]] void refuse(const std::string& file, const toml::source_region& where, const std::string& key,
                         const std::string& what) {
  // An empty key ('' = 1, key = "") is named as TOML spells it.
  throw DispersionError{file, static_cast<int>(where.begin.line), static_cast<int>(where.begin.column),
                        key.empty() ? "\"\"" : key, what};
}

std::string type_name(const toml::node& n) {
  switch (n.type()) {
    case toml::node_type::string: return "a string";
    case toml::node_type::integer: return "an integer";
    case toml::node_type::floating_point: return "a number";
    case toml::node_type::boolean: return "true or false";
    case toml::node_type::table: return "a table";
    case toml::node_type::array: return "an array";
    default: return "a date or time";
  }
}

// A number field (an integer is taken as the number it writes).
double number(const std::string& file, const toml::node& n, const std::string& key, const std::string& field) {
  if (auto f = n.as_floating_point()) return f->get();
  if (auto i = n.as_integer()) return static_cast<double>(i->get());
  refuse(file, n.source(), key, field + " must be a number, got " + type_name(n));
}

DispersedKind target_of(const std::string& name) {
  if (name == thrust_scale_name) return DispersedKind::thrust_scale;
  if (name == time_scale_name) return DispersedKind::time_scale;
  if (name == density_scale_name) return DispersedKind::density_scale;
  return DispersedKind::key;
}

// The values at both ends of the spread must be values the quantity may
// take: otherwise a good share of the runs would draw an impossible vehicle.
std::string check_ends(const Dispersion& d, const QuantityRules& rules) {
  for (double x : {-1.0, 1.0}) {
    double v = dispersed_value(d, d.distribution == Distribution::normal ? 3.0 * x : x);
    std::string why;
    if (d.target == DispersedKind::key) {
      why = rules.check(d.name, v);
    } else if (!(v > 0) || !std::isfinite(v)) {
      why = "must stay positive, got " + shortest_text(v);
    }
    if (!why.empty()) {
      return std::string(d.distribution == Distribution::normal ? (x < 0 ? "at -3 sigma " : "at +3 sigma ")
                                                                : (x < 0 ? "at its lower bound " : "at its upper bound ")) +
             "the value " + why;
    }
  }
  return {};
}

Dispersion parse_entry(const std::string& file, const toml::table& t, const QuantityRules& rules) {
  Dispersion d;
  const toml::node* key_node = t.get("key");
  if (key_node == nullptr) refuse(file, t.source(), "dispersion", "key is missing (the quantity to disperse)");
  auto key_text = key_node->as_string();
  if (key_text == nullptr) refuse(file, key_node->source(), "dispersion", "key must be a string, got " + type_name(*key_node));
  d.name = key_text->get();
  d.target = target_of(d.name);
  if (d.target == DispersedKind::key) {
    const std::string why = rules.nominal(d.name, d.nominal);
    if (!why.empty()) refuse(file, key_node->source(), d.name, why);
    d.key = find_key(d.name);
  } else if (!rules.factors) {
    refuse(file, key_node->source(), d.name, "a factor of the classic vehicle's profile and air, not of this one");
  }
  d.stream = name_hash(d.name);

  bool has_relative = false, has_spread = false;
  for (auto&& [k, v] : t) {
    std::string field(k.str());
    if (field == "key") continue;
    if (field == "distribution") {
      auto s = v.as_string();
      if (s == nullptr || (s->get() != "normal" && s->get() != "uniform")) {
        refuse(file, v.source(), d.name, "distribution must be \"normal\" or \"uniform\"");
      }
      d.distribution = s->get() == "normal" ? Distribution::normal : Distribution::uniform;
    } else if (field == "relative") {
      auto b = v.as_boolean();
      if (b == nullptr) refuse(file, v.source(), d.name, "relative must be true or false, got " + type_name(v));
      d.relative = b->get();
      has_relative = true;
    } else if (field == "three_sigma" || field == "half_width") {
      if (has_spread) refuse(file, v.source(), d.name, "give three_sigma or half_width, not both");
      has_spread = true;
      d.spread = number(file, v, d.name, field);
      if (!std::isfinite(d.spread) || d.spread < 0) {
        refuse(file, v.source(), d.name, field + " must be a number at least 0, got " + shortest_text(d.spread));
      }
    } else {
      refuse(file, k.source(), d.name,
             "unknown field '" + field + "' (a dispersion has key, distribution, three_sigma or half_width, relative)");
    }
  }
  const toml::node* dist = t.get("distribution");
  if (dist == nullptr) refuse(file, t.source(), d.name, "distribution is missing (\"normal\" or \"uniform\")");
  const char* want = d.distribution == Distribution::normal ? "three_sigma" : "half_width";
  const toml::node* spread = t.get(want);
  if (spread == nullptr) {
    refuse(file, has_spread ? (t.get("three_sigma") ? t.get("three_sigma") : t.get("half_width"))->source()
                            : t.source(),
           d.name, std::string("a ") + (d.distribution == Distribution::normal ? "normal" : "uniform") +
                       " distribution is given by " + want);
  }
  if (d.target == DispersedKind::key && !has_relative) {
    refuse(file, t.source(), d.name, "relative is missing (true: the spread is a fraction of the value)");
  }
  if (d.target != DispersedKind::key) d.relative = true;  // a factor of nominal 1: both readings agree
  if (d.relative && !(d.spread < 1)) {
    refuse(file, spread->source(), d.name,
           "a relative spread must be below 1 (100 %), got " + shortest_text(d.spread));
  }
  std::string why = check_ends(d, rules);
  if (!why.empty()) refuse(file, spread->source(), d.name, why);
  return d;
}

}  // namespace

static QuantityRules classic_rules(const Description& nominal) {
  QuantityRules r;
  r.nominal = [&nominal](const std::string& name, double& x) -> std::string {
    const Key* k = find_key(name);
    if (k == nullptr) {
      return std::string("not a quantity of the description (see ascent-mc --help for the others: ") +
             thrust_scale_name + ", " + time_scale_name + ", " + density_scale_name + ")";
    }
    if (k->kind != KeyKind::real) {
      return k->kind == KeyKind::count ? "a count cannot be dispersed" : "only a number can be dispersed";
    }
    x = key_value(nominal, *k);
    return {};
  };
  r.check = [](const std::string& name, double x) { return check_range(*find_key(name), x); };
  return r;
}

std::vector<Dispersion> parse_dispersions(const std::string& text, const std::string& file,
                                          const Description& nominal) {
  return parse_dispersions(text, file, classic_rules(nominal));
}

std::vector<Dispersion> parse_dispersions(const std::string& text, const std::string& file,
                                          const QuantityRules& rules) {
  // The quantities' names and distributions are ASCII: only a comment may
  // hold other characters.
  if (std::optional<TomlScreenFault> f = screen_toml(text, false)) {
    throw DispersionError{file, static_cast<int>(f->line), static_cast<int>(f->column), "syntax", f->what};
  }
  {
    toml::parse_result shadow = toml::parse(ascii_shadow(text), file);  // well-formed first
    if (!shadow) refuse(file, shadow.error().source(), "syntax", std::string(shadow.error().description()));
  }
  toml::parse_result res = toml::parse(text, file);
  if (!res) refuse(file, res.error().source(), "syntax", std::string(res.error().description()));
  const toml::table& root = res.table();
  std::vector<Dispersion> out;
  std::set<std::string> seen;
  for (auto&& [k, v] : root) {
    std::string name(k.str());
    if (name != "dispersion") {
      refuse(file, k.source(), name, "unknown key (a dispersions file holds [[dispersion]] tables only)");
    }
    auto arr = v.as_array();
    if (arr == nullptr || !arr->is_array_of_tables()) {
      refuse(file, v.source(), name, "must be written as [[dispersion]] tables");
    }
    for (const toml::node& n : *arr) {
      Dispersion d = parse_entry(file, *n.as_table(), rules);
      if (!seen.insert(d.name).second) {
        refuse(file, n.as_table()->get("key")->source(), d.name, "dispersed twice");
      }
      out.push_back(std::move(d));
    }
  }
  return out;
}

std::vector<Dispersion> read_dispersions(const std::string& path, const Description& nominal) {
  const std::string text = read_whole_file(path);
  return parse_dispersions(text, path, nominal);
}

}  // namespace ascent::mc
