// The description file: what the reader refuses and where it says the fault
// is, what the writer writes and that it reads back to the same bits, and the
// files in the source tree that must stay equal to what the program writes.
#include <gtest/gtest.h>

#include "test_support.hpp"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "io/fatal_error.hpp"
#include "vehicle/description_file.hpp"
#include "vehicle/keys.hpp"
#include "atmosphere/environment.hpp"
#include "trajectory/model_environment.hpp"

namespace {

using ascent::test::read_file;

using namespace ascent;

std::string builtin_text() { return write_description(builtin_description(), true); }

// The text with the line `old_line` (the whole line) replaced by `new_lines`.
std::string edit(const std::string& text, const std::string& old_line, const std::string& new_lines) {
  std::size_t at = text.find("\n" + old_line + "\n");
  if (at == std::string::npos) {
    ADD_FAILURE() << "no line " << old_line;
    return text;
  }
  return text.substr(0, at + 1) + new_lines + text.substr(at + 1 + old_line.size());
}

// "LINE:COLUMN" of the first occurrence of `needle`, counted in the text
// itself: where a reader should point.
// A '|' in `needle` marks the point within it.
std::string where(const std::string& text, const std::string& needle) {
  std::size_t bar = needle.find('|');
  std::string plain = bar == std::string::npos ? needle : needle.substr(0, bar) + needle.substr(bar + 1);
  std::size_t at = text.find(plain);
  if (at == std::string::npos) return "no " + plain;
  if (bar != std::string::npos) at += bar;
  std::size_t line = 1, line_start = 0;
  for (std::size_t i = 0; i < at; ++i) {
    if (text[i] == '\n') {
      ++line;
      line_start = i + 1;
    }
  }
  return std::to_string(line) + ":" + std::to_string(at - line_start + 1);
}

struct Refusal {
  int code = 0;
  std::string message;  // empty: accepted
};

Refusal refusal(const std::string& text) {
  try {
    parse_description(text, "v.toml");
  } catch (const FatalError& e) {
    return {e.code, e.message};
  }
  return {};
}

// Bit-for-bit equality of two descriptions over every key.
void expect_same(const Description& a, const Description& b) {
  const Key* k = first_difference(a, b);
  EXPECT_EQ(k, nullptr) << k->name;
}

// One malformed description: the text, the token the message must point at,
// and the rest of the message after "v.toml:LINE:COLUMN: ".
struct Malformed {
  const char* fault;
  std::string text;
  std::string token;
  std::string message;
};

std::vector<Malformed> malformed() {
  const std::string b = builtin_text();
  std::string no_fairing = b;
  {
    std::size_t from = no_fairing.find("# The payload fairing.");
    std::size_t to = no_fairing.find("# The upper stage");
    no_fairing.erase(from, to - from);
  }
  // A drag law of 1001 points, Mach 0, 0.001, ...: more than the law holds.
  std::string mach = "[0", cd = "[0.5";
  for (int i = 1; i <= 1000; ++i) {
    mach += ", " + std::to_string(i) + "e-3";
    cd += ", 0.5";
  }
  return {
      {"a typo in a key", edit(b, "exhaust_speed = 4420.8", "exaust_speed = 4420.8"), "exaust_speed",
       "core.exaust_speed: unknown key (did you mean core.exhaust_speed?)"},
      {"a typo in a table", edit(b, "[fairing]", "[fariing]"), "fariing",
       "fariing: unknown table (did you mean fairing?)"},
      {"a key that is nowhere", edit(b, "engines = 4", "engines = 4\nvernier_count = 2"), "vernier_count",
       "core.vernier_count: unknown key"},
      {"an empty key, named as TOML spells it", "'' = 1\n" + b, "''", "\"\": unknown key"},
      {"a table inside a stage", edit(b, "[sizing]", "[core.extra]\nx = 1\n[sizing]"), "extra]",
       "core.extra: unknown key"},
      {"a missing key, at its table", edit(b, "dry_mass = 111580", ""), "[core]",
       "core.dry_mass: missing: stage mass that does not burn"},
      {"a missing table", no_fairing, "# A launch",
       "fairing.mass: missing (so is the table [fairing]): payload fairing"},
      {"a string for a number", edit(b, "exhaust_speed = 4420.8", "exhaust_speed = \"4420.8\""), "\"4420.8\"",
       "core.exhaust_speed: must be a number, got a string"},
      {"a real for a count", edit(b, "engines = 4", "engines = 4.5"), "engines = |4.5",
       "core.engines: must be a whole number, written without a decimal point, got 4.5"},
      {"a number for a name", edit(b, "engine = \"AJ10-190\"", "engine = 190"), "engine = |190",
       "upper.engine: must be a string in quotes, got an integer"},
      {"a negative exhaust speed", edit(b, "exhaust_speed = 4420.8", "exhaust_speed = -4420.8"), "-4420.8",
       "core.exhaust_speed: must be positive, got -4420.8"},
      {"a negative mass", edit(b, "mass = 9707", "mass = -1"), "mass = |-1", "fairing.mass: must be at least 0, got -1"},
      {"no engines", edit(b, "engines = 4", "engines = 0"), "engines = |0", "core.engines: must be at least 1, got 0"},
      {"a latitude beyond the pole", edit(b, "latitude = 28.45", "latitude = 95"), "latitude = |95",
       "target.latitude: must be at most 89, got 95"},
      {"a target below the atmosphere", edit(b, "apogee_altitude = 398600", "apogee_altitude = 80000"), "apogee_altitude = |80000",
       "target.apogee_altitude: must be at least 100000, got 80000"},
      {"a string in the drag law", edit(b, "mach = [1, 1, 1.4, 2, 3, 5]", "mach = [1, 1, \"1.4\", 2, 3, 5]"),
       "\"1.4\"", "drag.mach: entry 3 must be a number, got a string"},
      {"a negative drag coefficient",
       edit(b, "cd = [0.4, 0.8, 0.8, 0.69, 0.59, 0.55]", "cd = [0.4, -0.8, 0.8, 0.69, 0.59, 0.55]"), "-0.8",
       "drag.cd: entry 2 must be at least 0, got -0.8"},
      {"a drag law not increasing in Mach", edit(b, "mach = [1, 1, 1.4, 2, 3, 5]", "mach = [1, 1, 1.4, 1.2, 3, 5]"),
       "[1, 1, 1.4, 1.2", "drag.mach: must increase: entry 4 (1.2) is below the one before it"},
      {"a drag law of too many points",
       edit(edit(b, "mach = [1, 1, 1.4, 2, 3, 5]", "mach = " + mach + "]"), "cd = [0.4, 0.8, 0.8, 0.69, 0.59, 0.55]",
            "cd = " + cd + "]"),
       "mach = |[0, ", "drag.mach: may hold at most 1000 points, got 1001"},
      {"a drag law one coefficient short",
       edit(b, "cd = [0.4, 0.8, 0.8, 0.69, 0.59, 0.55]", "cd = [0.4, 0.8, 0.8, 0.69, 0.59]"), "[0.4, 0.8",
       "drag.cd: must hold one coefficient per Mach number (6), got 5"},
      {"a throttle schedule that climbs", edit(b, "throttle_minimum = 0.65", "throttle_minimum = 1.2"), "throttle_minimum = |1.2",
       "core.throttle_minimum: the throttle schedule must descend: the minimum must be below "
       "core.throttle_entry (1.11), got 1.2"},
      {"an ignition inside the atmosphere",
       edit(edit(b, "apogee_altitude = 398600", "apogee_altitude = 180000"), "ignition_factor = 1.0108",
            "ignition_factor = 1.9"),
       "ignition_factor = |1.9",
       "target.ignition_factor: puts the upper stage's ignition at 94736.84210526316 m, inside the atmosphere "
       "(below 100000 m), got 1.9"},
      {"boosters heavier in propellant than in all",
       edit(b, "propellant_mass = 680388.6", "propellant_mass = 800000"), "propellant_mass = |800000",
       "boosters.propellant_mass: must be less than boosters.mass (777003.8), got 800000"},
      {"an inclination below the latitude", edit(b, "inclination = 51.6", "inclination = 20"), "inclination = |20",
       "target.inclination: must be at least the launch site's latitude (28.45 degrees), got 20"},
      {"a degree sign after a number", edit(b, "latitude = 28.45", "latitude = 28.45°"), "°",
       "syntax: a character outside ASCII may appear only in a string or a comment"},
      {"a line end in the name", edit(b, "name = \"Orvalon 5\"", "name = \"Orvalon\\n5\""), "\"Orvalon",
       "name: must not contain control characters (line ends, tabs)"},
      // The model's environment.
      {"a negative gravitational parameter", b + "[earth]\nmu = -3.986e14\n", "-3.986e14",
       "earth.mu: must be positive, got -3.986e+14"},
      {"an Earth of no size", b + "[earth]\nradius = 0\n", "radius = |0", "earth.radius: must be positive, got 0"},
      {"an Earth turning backwards", b + "[earth]\nrotation_rate = -7.29e-5\n", "-7.29e-5",
       "earth.rotation_rate: must be at least 0, got -7.29e-05"},
      {"an atmosphere of no known kind", b + "[atmosphere]\nmodel = \"isothermal\"\n", "\"isothermal\"",
       "atmosphere.model: must be \"standard\" or \"exponential\", got \"isothermal\""},
      {"air of no density", b + "[atmosphere]\nmodel = \"exponential\"\ndensity = 0\n", "density = |0",
       "atmosphere.density: must be positive, got 0"},
      {"a scale height that is not a number", b + "[atmosphere]\nscale_height = nan\n", "scale_height = |nan",
       "atmosphere.scale_height: must be a finite number, got nan"},
      {"a negative drag coefficient", edit(b, "[drag]", "[drag]\ncoefficient = -0.5"), "coefficient = |-0.5",
       "drag.coefficient: must be at least 0, got -0.5"},
      {"a negative reference area", edit(b, "[drag]", "[drag]\nreference_area = -12.566"), "-12.566",
       "drag.reference_area: must be at least 0, got -12.566"},
  };
}

TEST(DescriptionReader, RefusesEachMalformedDescriptionAtItsLineAndColumn) {
  std::vector<Malformed> cases = malformed();
  ASSERT_GE(cases.size(), 15u);
  for (const Malformed& c : cases) {
    Refusal r = refusal(c.text);
    EXPECT_EQ(r.code, err_description) << c.fault;
    EXPECT_EQ(r.message, "v.toml:" + where(c.text, c.token) + ": " + c.message) << c.fault;
  }
}

TEST(DescriptionReader, ReportsTheFirstFaultInTheFile) {
  // [target] comes before [plan] in the file but after it alphabetically.
  std::string text = edit(edit(builtin_text(), "latitude = 28.45", "latitude = 95"), "pitch_rate = 1.3",
                          "pitch_rate = -1");
  EXPECT_EQ(refusal(text).message, "v.toml:" + where(text, "latitude = |95") + ": target.latitude: must be at most 89, got 95");
}

TEST(DescriptionReader, RefusesTomlSyntaxAtTheFaultyLine) {
  const std::string b = builtin_text();
  struct Case {
    std::string text, line_of;
  } cases[] = {
      {edit(b, "engines = 4", "engines = = 4"), "engines = = 4"},
      {edit(b, "engines = 4", "engines = 4\nengines = 5"), "engines = 5"},  // a key given twice
      {edit(b, "[fairing]", "[fairing"), "[fairing"},
      {edit(b, "mass = 9707", "mass = 9707 kg"), "mass = 9707 kg"},
  };
  for (const Case& c : cases) {
    Refusal r = refusal(c.text);
    EXPECT_EQ(r.code, err_description);
    std::string line = where(c.text, c.line_of);
    line = line.substr(0, line.find(':'));
    EXPECT_EQ(r.message.rfind("v.toml:" + line + ":", 0), 0u) << r.message;
    EXPECT_NE(r.message.find(": syntax: "), std::string::npos) << r.message;
  }
  EXPECT_EQ(refusal("").message, "v.toml:1:1: name: missing: vehicle name, written in the messages");
  // A table's header without a name, which the parser must not be shown;
  // a list of lists that opens on its own line is no header.
  for (const auto& [text, at] : {std::pair<std::string, std::string>{"[\n", "1:2"}, {"[[ \r\n", "1:4"},
                                 {"name = 1\n  [#\n", "2:4"}, {"[ .a]", "1:3"}, {"[[[a]]]", "1:3"}}) {
    EXPECT_EQ(refusal(text).message, "v.toml:" + at + ": syntax: a table's name must follow '['") << text;
  }
  EXPECT_EQ(refusal(edit(b, "mach = [1, 1, 1.4, 2, 3, 5]", "mach = [\n[\n1], 1, 1.4, 2, 3, 5]")).message,
            "v.toml:" + where(edit(b, "mach = [1, 1, 1.4, 2, 3, 5]", "mach = [\n[\n1], 1, 1.4, 2, 3, 5]"), "mach = [\n|[") +
                ": drag.mach: entry 1 must be a number, got a list");
  // The message stays one line when what it quotes holds a line end.
  EXPECT_EQ(refusal("\"a\\nb\" = 1\n").message, "v.toml:1:1: a\\nb: unknown key");
  Refusal r = refusal("name = i\n");
  EXPECT_EQ(r.message.find_first_of("\r\n"), std::string::npos) << r.message;
}

TEST(DescriptionReader, TakesCharactersOutsideAsciiInStringsAndComments) {
  const std::string b = builtin_text();
  Description d = parse_description(edit(b, "name = \"Orvalon 5\"", "name = \"Véga χ\"  # été °"), "v.toml");
  EXPECT_EQ(d.vehicle.name, "Véga χ");
  d = parse_description(edit(b, "engine = \"AJ10-190\"", "engine = '''éé'''''\n# é"), "v.toml");
  EXPECT_EQ(d.vehicle.upper.engine, "éé''");
  d = parse_description(edit(b, "engine = \"AJ10-190\"", "engine = \"\"\"a\\\"\"\"é\\\\\"\"\"\"  # é"), "v.toml");
  EXPECT_EQ(d.vehicle.upper.engine, "a\"\"\"é\\\"");
  d = parse_description("\xEF\xBB\xBF" + b, "v.toml");  // a byte-order mark
  EXPECT_EQ(d.vehicle.name, "Orvalon 5");

  // Outside a string, and after a line-ending backslash, where the reader
  // would have to ask whether the character is white space.
  for (const std::string& t : {edit(b, "name = \"Orvalon 5\"", "name = \"x\" é"),
                               edit(b, "name = \"Orvalon 5\"", "name = \"\"\"x\\\n  é\"\"\""),
                               edit(b, "name = \"Orvalon 5\"", "näme = \"x\""),
                               // A quote or '#' glued to a malformed value opens nothing
                               // for the parser, which then reads on into the character.
                               std::string("n=3\"é"), std::string("g=3308-08-[r 0#é"),
                               std::string("g=1979-05-27 0#é")}) {
    Refusal r = refusal(t);
    EXPECT_EQ(r.code, err_description);
    std::string at = where(t, t.find("é") != std::string::npos ? "é" : "ä");
    EXPECT_EQ(r.message.rfind("v.toml:" + at + ": syntax: a character outside ASCII", 0), 0u) << r.message;
  }
}

TEST(DescriptionReader, TakesIntegersForRealsAndTheBuiltInValues) {
  // The built-in file reads like the constants it replaces.
  const std::string b = builtin_text();
  for (const char* line : {"\nexhaust_speed = 4420.8\n", "\nmass = 9707\n", "\nacceleration_limit = 39.23\n",
                           "\nthrust = 26689\n", "\napogee_altitude = 398600\n", "\nlatitude = 28.45\n"}) {
    EXPECT_NE(b.find(line), std::string::npos) << line;
  }
  Description d = parse_description(edit(b, "exhaust_speed = 4420.8", "exhaust_speed = 4421"), "v.toml");
  EXPECT_EQ(d.vehicle.core.exhaust_speed, 4421.0);
  d = parse_description(edit(b, "thrust = 26689", "thrust = 2.6689e4"), "v.toml");
  EXPECT_EQ(d.vehicle.upper.thrust, 26689.0);
  d = parse_description(edit(b, "engines = 4", "engines = 3"), "v.toml");
  EXPECT_EQ(d.vehicle.core.engines, 3);
}

// The environment of a published ascent benchmark, written with the keys
// (one drag coefficient and no Mach table), launched due east: read as
// written, it makes the Earth the figures give, and writes and reads back.
TEST(DescriptionReader, TakesAnEnvironmentOfItsOwnAndADueEastLaunch) {
  std::string b = builtin_text();
  const std::size_t from = b.find("mach = ["), to = b.find("\n", b.find("cd = [")) + 1;
  b.replace(from, to - from, "coefficient = 0.5\nreference_area = 12.566370614359172\n");
  b = edit(edit(b, "latitude = 28.45", "latitude = 28.5"), "inclination = 51.6", "inclination = 28.5");
  b += "[earth]\nmu = 3.986012e14\nradius = 6378145\nrotation_rate = 7.29211585e-5\n"
       "[atmosphere]\nmodel = \"exponential\"\ndensity = 1.225\nscale_height = 7200\n";
  const Description d = parse_description(b, "v.toml");
  const Environment e = make_environment(d);
  EXPECT_EQ(e.mu, 3.986012e14);
  EXPECT_EQ(e.Re, 6378145.0);
  EXPECT_NEAR(e.gs, 3.986012e14 / (6378145.0 * 6378145.0), 1e-15);
  EXPECT_NEAR(e.sidereal_day, 86164.0906, 1e-4);  // 2 pi / omega
  EXPECT_TRUE(e.exponential);
  EXPECT_EQ(d.vehicle.drag.coefficient, 0.5);
  EXPECT_EQ(d.mission.target.inclination, d.mission.target.latitude);
  expect_same(parse_description(write_description(d, false), "v.toml"), d);
  expect_same(parse_description(write_description(d, true), "v.toml"), d);
  // The built-in Earth is the program's own, to the bit.
  EXPECT_EQ(make_environment(builtin_description()), builtin_environment());
}

TEST(DescriptionWriter, ReadsBackBitIdentical) {
  expect_same(parse_description(builtin_text(), "v.toml"), builtin_description());

  // Every real one unit in the last place away from the built-in value.
  Description up = builtin_description();
  for (const Key& k : description_keys()) {
    if (k.kind == KeyKind::real) k.real(up) = std::nextafter(k.real(up), 1e300);
  }
  up.vehicle.drag.mach = {0.1 + 0.2, 0.30000000000000004, 7.0 / 3};
  up.vehicle.drag.cd = {1e-300, 5e-324, 999.9999999999999};
  expect_same(parse_description(write_description(up), "v.toml"), up);

  // Values at the edges of the writer's forms: zero of either sign, whole
  // numbers beyond ten million and beyond 2^53, the tiniest, texts to escape.
  Description e = builtin_description();
  e.vehicle.boosters.area_correction = -0.0;
  e.vehicle.fairing.mass = 0.0;
  e.vehicle.core.propellant_mass = 963328000.0;
  e.vehicle.core.dry_mass = 1e12;
  e.mission.sizing.adaptor_per_newton = 5e-324;
  e.vehicle.upper.stack_mass = 123456789.125;
  e.vehicle.core.engines = 64;
  e.mission.sizing.unusable = 0;
  e.vehicle.name = "Vega \"Ω\" \\ 2";
  e.profile = "thrust/b s.dat";
  e.vehicle.upper.engine = "RL-10";
  expect_same(parse_description(write_description(e), "v.toml"), e);
  EXPECT_NE(write_description(e).find("\narea_correction = -0.0\n"), std::string::npos);
}

TEST(DescriptionWriter, WritesWholeNumbersBeyond2To53AsReals) {
  // Written as digits, 2^63 would overflow the reader's 64-bit integers.
  Description d = builtin_description();
  d.vehicle.core.dry_mass = 9223372036854775808.0;
  std::string t = write_description(d);
  EXPECT_NE(t.find("\ndry_mass = 9.223372036854776e+18\n"), std::string::npos);
  EXPECT_EQ(refusal(t).message, "v.toml:" + where(t, "9.223372036854776e+18") +
                                    ": core.dry_mass: must be at most 1e+12, got 9.223372036854776e+18");
}

TEST(DescriptionWriter, CommentsEveryKeyAndLeavesOutAnEmptyProfile) {
  const std::string b = write_description(builtin_description());
  EXPECT_EQ(b.find("\nprofile ="), std::string::npos);
  EXPECT_EQ(parse_description(b, "v.toml").profile, "");
  // Each key's line follows a comment naming its unit and range.
  std::size_t keys = 0;
  for (const Key& k : description_keys()) {
    std::string name = k.name;
    name = name.substr(name.find('.') + 1);
    std::string table = std::string(k.name).find('.') == std::string::npos
                            ? std::string()
                            : "\n[" + std::string(k.name).substr(0, std::string(k.name).find('.')) + "]\n";
    std::size_t at = b.find("\n" + name + " = ", table.empty() ? 0 : b.find(table));
    if (k.optional) continue;
    ++keys;
    ASSERT_NE(at, std::string::npos) << k.name;
    std::size_t comment = b.rfind("\n# ", at - 1);
    std::string c = b.substr(comment + 1, at - comment - 1);
    EXPECT_NE(c.find(k.meaning), std::string::npos) << c;
    EXPECT_NE(c.find(range_text(k)), std::string::npos) << c;
    if (*k.unit != '\0') {
      EXPECT_NE(c.find(std::string("(") + k.unit + ")"), std::string::npos) << c;
    }
  }
  // profile, target.longitude, the 3-D flight's target.site_altitude and target.node, the four
  // numerics keys, the five guidance keys, model.dut1 and model.dynamics, the eight keys of the
  // model's environment, the three impact keys and the three wind keys may be left out
  EXPECT_EQ(keys + 29, description_keys().size());
  EXPECT_EQ(b.find("[model]"), std::string::npos);
  EXPECT_EQ(b.find("[guidance]"), std::string::npos);  // an open-loop description is written as it always was
  // The sub-steps are written only when they are not the single step, the
  // longitude only when it is not the built-in site's.
  EXPECT_EQ(b.find("[numerics]"), std::string::npos);
  EXPECT_EQ(b.find("longitude"), std::string::npos);
  Description fine = builtin_description();
  fine.mission.numerics.substeps = 4;
  fine.mission.target.longitude = 130.97;
  fine.mission.numerics.integrator = "adaptive";
  EXPECT_EQ(write_description(fine).find("tolerance"), std::string::npos);  // the built-in tolerance
  fine.mission.numerics.tolerance = 3e-10;
  fine.mission.numerics.events = "located";
  fine.mission.model.dut1 = -0.25;
  fine.mission.impact.fairing_beta = 35;
  fine.mission.model.dynamics = "3d";
  fine.mission.target.node = 120;
  fine.mission.target.site_altitude = 25;
  fine.mission.wind = {{0, 9000}, {3, 25}, {0, -4}};
  const Description back = parse_description(write_description(fine), "v.toml");
  EXPECT_EQ(back.mission.wind.altitude, fine.mission.wind.altitude);
  EXPECT_EQ(back.mission.wind.east, fine.mission.wind.east);
  EXPECT_EQ(back.mission.wind.north, fine.mission.wind.north);
  EXPECT_EQ(back.mission.model.dynamics, "3d");
  EXPECT_EQ(back.mission.target.node, 120);
  EXPECT_EQ(back.mission.target.site_altitude, 25);
  EXPECT_EQ(back.mission.model.dut1, -0.25);
  EXPECT_EQ(back.mission.impact.fairing_beta, 35);
  EXPECT_EQ(back.mission.numerics.substeps, 4);
  EXPECT_EQ(back.mission.target.longitude, 130.97);
  EXPECT_EQ(back.mission.numerics.integrator, "adaptive");
  EXPECT_EQ(back.mission.numerics.tolerance, 3e-10);
  EXPECT_EQ(back.mission.numerics.events, "located");
  fine.mission.numerics.tolerance = 1e-13;  // below the steps' own rounding
  EXPECT_NE(refusal(write_description(fine)).message.find("numerics.tolerance"), std::string::npos);
  fine.mission.numerics.tolerance = 3e-10;
  fine.mission.numerics.integrator = "rk45";
  EXPECT_NE(refusal(write_description(fine)).message.find("numerics.integrator"), std::string::npos);
  fine.mission.numerics.integrator = "adaptive";
  fine.mission.numerics.events = "exact";
  EXPECT_NE(refusal(write_description(fine)).message.find("numerics.events"), std::string::npos);
  fine.mission.numerics.events = "located";
  fine.mission.model.dynamics = "6dof";
  EXPECT_NE(refusal(write_description(fine)).message.find("model.dynamics"), std::string::npos);
  fine.mission.model.dynamics = "3d";
  fine.mission.wind.north = {0};
  EXPECT_NE(refusal(write_description(fine)).message.find("wind.altitude: must rise"), std::string::npos);
  Description d = builtin_description();
  d.profile = "boosters.dat";
  EXPECT_NE(write_description(d).find("\nprofile = \"boosters.dat\"\n"), std::string::npos);
}

// What --print-vehicle writes: every key in its table, those that may be left
// out commented out; uncommented, each reads as the value leaving it out gives.
TEST(DescriptionWriter, EveryKeyShowsTheKeysThatMayBeLeftOutAtTheirDefaults) {
  const std::string all = builtin_text();
  std::string uncommented;
  for (std::size_t pos = 0; pos < all.size();) {
    std::size_t end = all.find('\n', pos) + 1;
    std::string line = all.substr(pos, end - pos);
    // A commented key is "# name = value"; a comment of prose has no " = ".
    // The header of a table whose every key is commented is "# [name]".
    bool key = line.rfind("# ", 0) == 0 && line.find(" = ") != std::string::npos &&
               line.find(' ', 2) == line.find(" = ") && line.rfind("# profile", 0) != 0;
    bool header = line.rfind("# [", 0) == 0 && line.find(' ', 3) == std::string::npos;
    uncommented += key || header ? line.substr(2) : line;
    pos = end;
  }
  for (const Key& k : description_keys()) {
    std::string name = k.name;
    std::size_t dot = name.find('.');
    // Appended rather than joined by +, which GCC 12 at -O3 warns of (its bug 105651).
    std::string header = "\n[", line = "\n";
    header.append(name, 0, dot).append("]\n");
    line.append(name, dot + 1).append(" = ");
    std::size_t table = dot == std::string::npos ? 0 : uncommented.find(header);
    if (k.unwritten_left_out) {  // the later tables' keys, left out, are not written at all
      EXPECT_EQ(all.find("\n# " + name.substr(dot + 1) + " = "), std::string::npos) << k.name;
      continue;
    }
    ASSERT_NE(table, std::string::npos) << k.name;
    if (std::string_view(k.name) != "profile") {
      EXPECT_NE(uncommented.find(line, table), std::string::npos) << k.name;
    }
  }
  const Description x = parse_description(uncommented, "v.toml");
  const Description& b = builtin_description();
  for (const Key& k : description_keys()) {
    if (k.kind == KeyKind::real) {
      EXPECT_EQ(k.real(x), k.real(b)) << k.name;
    } else if (k.kind == KeyKind::count) {
      EXPECT_EQ(k.count(x), k.count(b)) << k.name;
    }
  }
  EXPECT_EQ(x.mission.guidance.mode, "open-loop");
  EXPECT_EQ(x.mission.numerics.integrator, "fixed");
  EXPECT_EQ(x.mission.numerics.events, "steps");
}

TEST(KeyChecks, RangesAndCrossChecksFromTheirBounds) {
  const Key& c = *find_key("core.exhaust_speed");
  EXPECT_EQ(check_range(c, -4420.8), "must be positive, got -4420.8");
  EXPECT_EQ(check_range(c, 0), "must be positive, got 0");
  EXPECT_EQ(check_range(c, 1e5), "");
  EXPECT_EQ(check_range(c, std::nextafter(1e5, 1e6)), "must be at most 100000, got 100000.00000000001");
  EXPECT_EQ(check_range(c, NAN), "must be a finite number, got nan");
  Description d = builtin_description();
  EXPECT_EQ(set_key_value(d, *find_key("boosters.count"), 2.5), "must be a whole number, got 2.5");
  EXPECT_EQ(set_key_value(d, *find_key("boosters.count"), 3), "");
  EXPECT_EQ(d.vehicle.boosters.count, 3);
  EXPECT_TRUE(check_description(builtin_description()).empty());

  // 398600 m over 1.0108: 394341.1 m, far above 100 km; at the lowest apogee
  // any factor above 1 ignites inside the atmosphere.
  d = builtin_description();
  d.mission.target.apogee_altitude = 100000;
  d.mission.target.perigee_climbing = 37000;
  d.mission.target.perigee_descending = 90000;
  std::vector<Problem> p = check_description(d);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].key, "target.ignition_factor");
  d.mission.target.ignition_factor = 1;
  EXPECT_TRUE(check_description(d).empty());
  d.mission.target.perigee_descending = 100001;
  p = check_description(d);
  ASSERT_EQ(p.size(), 1u);
  EXPECT_EQ(p[0].key, "target.perigee_descending");
}

TEST(DescriptionFile, ProfileIsReadRelativeToTheDescriptionAndMustBeReadable) {
  namespace fs = std::filesystem;
  std::string templ = (fs::temp_directory_path() / "ascent-vehicle-XXXXXX").string();
  ASSERT_NE(mkdtemp(templ.data()), nullptr);
  const fs::path dir = templ;
  fs::create_directories(dir / "thrust");
  const std::string b = builtin_text();
  auto put = [&](const fs::path& p, const std::string& text) {
    std::ofstream f(p, std::ios::binary);
    f << text;
  };
  std::string with = edit(b, "# profile = \"s1.dat\"", "profile = \"thrust/b.dat\"");
  put(dir / "v.toml", with);
  const std::string path = (dir / "v.toml").string();
  try {
    read_description(path);
    ADD_FAILURE() << "a missing profile was accepted";
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, err_description);
    EXPECT_EQ(e.message, path + ":" + where(with, "\"thrust/b.dat\"") + ": profile: cannot be read: " +
                             (dir / "thrust" / "b.dat").string() + ": file not found");
  }
  put(dir / "thrust" / "b.dat", "1 2\n");
  Description d = read_description(path);
  EXPECT_EQ(d.origin, path);
  EXPECT_EQ(d.profile, "thrust/b.dat");
  EXPECT_EQ(resolved_profile_path(d), (dir / "thrust" / "b.dat").string());
  EXPECT_EQ(resolved_profile_path(builtin_description()), "s1.dat");

  // The description file itself: the usual codes of a file that cannot be read.
  try {
    read_description((dir / "none.toml").string());
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, err_file_not_found);
  }
  try {
    read_description((dir / "thrust").string());
    ADD_FAILURE();
  } catch (const FatalError& e) {
    EXPECT_EQ(e.code, err_access_denied);
  }
  fs::remove_all(dir);
}

TEST(SourceTree, BuiltInVehicleFileIsWhatTheProgramWrites) {
  EXPECT_EQ(read_file(std::filesystem::path(ASCENT_SOURCE_DIR) / "vehicles" / "orvalon5.toml"), builtin_text())
      << "regenerate with: build/ascent --print-vehicle > vehicles/orvalon5.toml";
}

TEST(SourceTree, ReferenceKeyTableIsTheKeyTable) {
  std::string readme = read_file(std::filesystem::path(ASCENT_SOURCE_DIR) / "docs" / "reference.md");
  const std::string begin = "<!-- keys begin -->\n", end = "<!-- keys end -->";
  std::size_t b = readme.find(begin), e = readme.find(end);
  ASSERT_NE(b, std::string::npos);
  ASSERT_NE(e, std::string::npos);
  b += begin.size();
  ASSERT_LE(b, e);
  EXPECT_EQ(readme.substr(b, e - b), key_reference_markdown())
      << "regenerate the lines between the markers with: build/ascent --print-vehicle-keys";
  // One row per key, each naming its key.
  std::string table = key_reference_markdown();
  for (const Key& k : description_keys()) {
    EXPECT_NE(table.find(std::string("| `") + k.name + "` |"), std::string::npos) << k.name;
  }
}

}  // namespace
