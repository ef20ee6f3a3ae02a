#include "vehicle/keys.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numbers>
#include <optional>

#include "io/number_format.hpp"

namespace ascent {

namespace {

using RealRef = Field<double>;
using CountRef = Field<int>;
using TextRef = Field<std::string>;
using ListRef = Field<std::vector<double>>;

// A key's field from one accessor written as a generic lambda, `[](auto& d)
// -> auto& { return d.core.x; }`: instantiated for a writable and for a
// const description, so that reading a const one needs no cast.
template <class T, class F>
Field<T> field(F) {
  return {[](Description& d) -> T& { return F{}(d); }, [](const Description& d) -> const T& { return F{}(d); }};
}

constexpr double big = 1e12;

Key real(const char* name, const char* unit, const char* meaning, double min, double max,
         bool min_excluded, RealRef ref) {
  return Key{name, KeyKind::real, unit, meaning, min, max, min_excluded, false, ref, {}, {}, {}};
}
// A quantity that must be greater than zero.
Key positive(const char* name, const char* unit, const char* meaning, double max, RealRef ref) {
  return real(name, unit, meaning, 0, max, true, ref);
}
// A positive quantity that may be left out (its built-in value applies).
Key optional_real(const char* name, const char* unit, const char* meaning, double max, RealRef ref) {
  return Key{name, KeyKind::real, unit, meaning, 0, max, true, true, ref, {}, {}, {}};
}
// A quantity from min up that may be left out (its built-in value applies).
Key optional_from(const char* name, const char* unit, const char* meaning, double min, double max, RealRef ref) {
  return Key{name, KeyKind::real, unit, meaning, min, max, false, true, ref, {}, {}, {}};
}
// A key of a table added after the bundled descriptions were written out
// whole (the model's environment, the impact points): not written where it
// is left out, so that those texts stay as they were.
Key unwritten_left_out(Key k) {
  k.unwritten_left_out = true;
  return k;
}
Key count(const char* name, const char* meaning, int min, int max, CountRef ref) {
  return Key{name, KeyKind::count, "", meaning, double(min), double(max), false, false, {}, ref, {}, {}};
}
Key text(const char* name, const char* meaning, bool optional, TextRef ref) {
  return Key{name, KeyKind::text, "", meaning, 0, 0, false, optional, {}, {}, ref, {}};
}
Key list(const char* name, const char* unit, const char* meaning, double min, double max, ListRef ref) {
  return Key{name, KeyKind::list, unit, meaning, min, max, false, false, {}, {}, {}, ref};
}
// A list that may be left out (empty).
Key optional_list(const char* name, const char* unit, const char* meaning, double min, double max, ListRef ref) {
  return Key{name, KeyKind::list, unit, meaning, min, max, false, true, {}, {}, {}, ref};
}

std::vector<Key> make_keys() {
  return {
      text("name", "vehicle name, written in the messages", false,
           field<std::string>([](auto& d) -> auto& { return d.vehicle.name; })),
      text("profile", "booster thrust profile, relative to this file's folder (left out: s1.dat in the working directory)",
           true, field<std::string>([](auto& d) -> auto& { return d.profile; })),

      count("boosters.count", "strap-on boosters", 1, 12,
            field<int>([](auto& d) -> auto& { return d.vehicle.boosters.count; })),
      positive("boosters.mass", "kg", "one booster with its propellant", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.boosters.mass; })),
      positive("boosters.propellant_mass", "kg", "propellant of one booster", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.boosters.propellant_mass; })),
      positive("boosters.exhaust_speed", "m/s", "effective exhaust speed", 1e5,
               field<double>([](auto& d) -> auto& { return d.vehicle.boosters.exhaust_speed; })),
      positive("boosters.diameter", "m", "body diameter", 1e3,
               field<double>([](auto& d) -> auto& { return d.vehicle.boosters.diameter; })),
      real("boosters.area_correction", "m^2", "added to each booster's cross-section", -1e6, 1e6, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.boosters.area_correction; })),
      real("boosters.nozzle_exit_diameter", "m", "one booster nozzle's exit diameter", 0, 1e3, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.boosters.nozzle_exit_diameter; })),
      positive("boosters.separation_time", "s", "separation, after ignition", 1e5,
               field<double>([](auto& d) -> auto& { return d.vehicle.boosters.separation_time; })),

      count("core.engines", "engines of the core stage", 1, 64,
            field<int>([](auto& d) -> auto& { return d.vehicle.core.engines; })),
      positive("core.engine_thrust", "N", "one engine's vacuum thrust at throttle 1", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.engine_thrust; })),
      positive("core.exhaust_speed", "m/s", "effective exhaust speed", 1e5,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.exhaust_speed; })),
      real("core.engine_exit_area", "m^2", "one engine's nozzle exit area", 0, 1e6, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.core.engine_exit_area; })),
      positive("core.dry_mass", "kg", "stage mass that does not burn", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.dry_mass; })),
      positive("core.propellant_mass", "kg", "propellant at ignition", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.propellant_mass; })),
      positive("core.diameter", "m", "body diameter", 1e3,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.diameter; })),
      real("core.area_above", "m^2", "added to the core's cross-section for the stack above it", 0, 1e6, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.core.area_above; })),
      positive("core.throttle_entry", "", "throttle from ignition to the acceleration limit", 10,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.throttle_entry; })),
      positive("core.throttle_minimum", "", "lowest throttle; engines are then shut down one by one", 10,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.throttle_minimum; })),
      positive("core.throttle_step", "", "throttle change of one throttle-down step", 10,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.throttle_step; })),
      positive("core.throttle_step_time", "s", "duration of one throttle-down step", 1e3,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.throttle_step_time; })),
      positive("core.shutdown_time", "s", "one engine's thrust falls to zero", 1e3,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.shutdown_time; })),
      positive("core.separation_delay", "s", "coast from core cut-off to separation", 1e3,
               field<double>([](auto& d) -> auto& { return d.vehicle.core.separation_delay; })),

      real("fairing.mass", "kg", "payload fairing", 0, big, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.fairing.mass; })),
      positive("fairing.jettison_time", "s", "jettison, after ignition", 1e5,
               field<double>([](auto& d) -> auto& { return d.vehicle.fairing.jettison_time; })),

      text("upper.engine", "upper-stage engine name, written in the messages", false,
           field<std::string>([](auto& d) -> auto& { return d.vehicle.upper.engine; })),
      positive("upper.thrust", "N", "vacuum thrust", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.upper.thrust; })),
      positive("upper.exhaust_speed", "m/s", "effective exhaust speed", 1e5,
               field<double>([](auto& d) -> auto& { return d.vehicle.upper.exhaust_speed; })),
      real("upper.nozzle_exit_diameter", "m", "nozzle exit diameter", 0, 1e3, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.upper.nozzle_exit_diameter; })),
      positive("upper.propellant_mass", "kg", "propellant load of the burn", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.upper.propellant_mass; })),
      real("upper.adaptor_mass", "kg", "adaptor, left on the core side", 0, big, false,
           field<double>([](auto& d) -> auto& { return d.vehicle.upper.adaptor_mass; })),
      positive("upper.stack_mass", "kg", "everything above the core at liftoff, fairing included", big,
               field<double>([](auto& d) -> auto& { return d.vehicle.upper.stack_mass; })),

      list("drag.mach", "", "Mach numbers of the drag law's points, ascending (two equal: a jump)", 0, 1e3,
           field<std::vector<double>>([](auto& d) -> auto& { return d.vehicle.drag.mach; })),
      list("drag.cd", "", "drag coefficient at each point, on the cross-section of the stack", 0, 1e3,
           field<std::vector<double>>([](auto& d) -> auto& { return d.vehicle.drag.cd; })),
      // May be left out, both: the law of the points on the stack's
      // cross-section, as it always was.
      unwritten_left_out(optional_from("drag.coefficient", "",
                    "one drag coefficient at every Mach number, in place of drag.mach and drag.cd (which may then be "
                    "left out); 0: the points hold",
                    0, 1e3, field<double>([](auto& d) -> auto& { return d.vehicle.drag.coefficient; }))),
      unwritten_left_out(optional_from("drag.reference_area", "m^2",
                    "area the drag coefficient is taken on, throughout the flight; 0: the stack's cross-section, "
                    "shrinking as boosters and stages leave",
                    0, 1e6, field<double>([](auto& d) -> auto& { return d.vehicle.drag.reference_area; }))),

      real("target.latitude", "deg", "launch site latitude", -89, 89, false,
           field<double>([](auto& d) -> auto& { return d.mission.target.latitude; })),
      // May be left out: only a trajectory export places the flight on the globe.
      Key{"target.longitude", KeyKind::real, "deg", "launch site longitude, east; places the exported trajectory",
          -180, 180, false, true, field<double>([](auto& d) -> auto& { return d.mission.target.longitude; }), {},
          {}, {}},
      // May be left out, both: only the 3-D flight reads them.
      unwritten_left_out(optional_from("target.site_altitude", "m", "model.dynamics \"3d\": the pad's height above the ellipsoid",
                    -500, 1e4, field<double>([](auto& d) -> auto& { return d.mission.target.site_altitude; }))),
      unwritten_left_out(optional_from("target.node", "deg",
                    "model.dynamics \"3d\": right ascension of the target plane's ascending node (true equator and "
                    "equinox of date, at --epoch); below 0: any node, the plane through the site",
                    -1, 360, field<double>([](auto& d) -> auto& { return d.mission.target.node; }))),
      real("target.inclination", "deg", "target orbit inclination, above the latitude", 0, 90, true,
           field<double>([](auto& d) -> auto& { return d.mission.target.inclination; })),
      real("target.apogee_altitude", "m", "target orbit's apogee, where the upper stage circularises", 100000,
           1e8, false, field<double>([](auto& d) -> auto& { return d.mission.target.apogee_altitude; })),
      real("target.perigee_climbing", "m", "perigee aimed at core separation while climbing", 0, 1e8, false,
           field<double>([](auto& d) -> auto& { return d.mission.target.perigee_climbing; })),
      real("target.perigee_descending", "m", "perigee aimed at core separation while descending", 0, 1e8,
           false, field<double>([](auto& d) -> auto& { return d.mission.target.perigee_descending; })),
      real("target.ignition_factor", "", "the upper stage ignites at the apogee altitude over this factor", 1,
           2, false, field<double>([](auto& d) -> auto& { return d.mission.target.ignition_factor; })),

      positive("plan.pitch_over_altitude", "m", "end of the vertical rise", 1e5,
               field<double>([](auto& d) -> auto& { return d.mission.plan.pitch_over_altitude; })),
      positive("plan.pitch_rate", "deg/s", "rate of the pitch-over and the pitch-back", 90,
               field<double>([](auto& d) -> auto& { return d.mission.plan.pitch_rate; })),
      positive("plan.pitch_time", "s",
               "duration of the pitch-over and the pitch-back; the booster profile's longest interval", 100,
               field<double>([](auto& d) -> auto& { return d.mission.plan.pitch_time; })),
      positive("plan.acceleration_limit", "m/s^2", "thrust acceleration the core holds by throttling", 1e3,
               field<double>([](auto& d) -> auto& { return d.mission.plan.acceleration_limit; })),
      positive("plan.alpha_end", "rad", "angle of attack that ends the vertical-acceleration law", 1,
               field<double>([](auto& d) -> auto& { return d.mission.plan.alpha_end; })),
      positive("plan.law_exponent", "", "exponent of the vertical-acceleration law", 10,
               field<double>([](auto& d) -> auto& { return d.mission.plan.law_exponent; })),
      real("plan.turn_time_max", "s", "longest turn time a correction may recommend", 1, 1e5, true,
           field<double>([](auto& d) -> auto& { return d.mission.plan.turn_time_max; })),
      positive("plan.turn_time_nudge", "s", "correction when the secant step cannot be taken", 100,
               field<double>([](auto& d) -> auto& { return d.mission.plan.turn_time_nudge; })),

      real("sizing.adaptor_per_newton", "kg/N", "adaptor mass per newton of the largest force on the core's top",
           0, 1, false, field<double>([](auto& d) -> auto& { return d.mission.sizing.adaptor_per_newton; })),
      real("sizing.rcs_per_kg", "", "RCS propellant per kg of upper stage and spacecraft", 0, 1, false,
           field<double>([](auto& d) -> auto& { return d.mission.sizing.rcs_per_kg; })),
      real("sizing.reserve_dv", "", "propellant reserve, as a share of the burn's delta-V", 0, 1, false,
           field<double>([](auto& d) -> auto& { return d.mission.sizing.reserve_dv; })),
      count("sizing.unusable", "kg of unusable propellant (whole kilograms)", 0, 1000000,
            field<int>([](auto& d) -> auto& { return d.mission.sizing.unusable; })),
      real("sizing.dry_constant", "kg", "upper-stage dry-mass law: constant term", 0, big, false,
           field<double>([](auto& d) -> auto& { return d.mission.sizing.dry_constant; })),
      real("sizing.dry_coefficient", "", "dry-mass law: coefficient of the propellant power", 0, big, false,
           field<double>([](auto& d) -> auto& { return d.mission.sizing.dry_coefficient; })),
      positive("sizing.dry_exponent", "", "dry-mass law: exponent of the propellant mass", 2,
               field<double>([](auto& d) -> auto& { return d.mission.sizing.dry_exponent; })),

      // May be left out: a description without it flies the steps as they are.
      Key{"numerics.substeps", KeyKind::count, "",
          "equal sub-steps in every integration step; the table stays at the steps", 1, 1024, false, true,
          {}, field<int>([](auto& d) -> auto& { return d.mission.numerics.substeps; }), {}, {}},
      text("numerics.integrator",
           "\"fixed\" (the fixed steps) or \"adaptive\" (every step under error control, the coast in free steps)",
           true,
           field<std::string>([](auto& d) -> auto& { return d.mission.numerics.integrator; })),
      // Below 1e-12 the steps' own rounding is as large as the error asked
      // for: the steps would shrink without end.
      Key{"numerics.tolerance", KeyKind::real, "",
          "\"adaptive\": largest error of one integration step, relative to the radius (position) and the speed "
          "(velocity); smaller is finer and slower; the accuracy of docs/model.md holds at 1e-9 and below (at 1e-3 "
          "the final orbit is off by up to 270 km and SC_M by 3 t)",
          1e-12, 1e-3, false, true, field<double>([](auto& d) -> auto& { return d.mission.numerics.tolerance; }), {},
          {}, {}},
      text("numerics.events",
           "\"steps\" (each threshold met on the steps, as the fixed steps meet it) or \"located\" (each threshold "
           "located where the flight meets it, by root-finding in the step that passes it)",
           true, field<std::string>([](auto& d) -> auto& { return d.mission.numerics.events; })),

      // May be left out, all of them: a description without [guidance]
      // flies the open-loop programme.
      Key{"guidance.mode", KeyKind::text, "",
          "who steers outside the dense atmosphere: \"open-loop\" (the programme) or \"closed-loop\" (guidance)", 0,
          0, false, true, {}, {}, field<std::string>([](auto& d) -> auto& { return d.mission.guidance.mode; }),
          {}},
      optional_real("guidance.takeover_pressure", "Pa",
                    "closed loop: guidance takes over below this dynamic pressure, after booster separation", 1e6,
                    field<double>([](auto& d) -> auto& { return d.mission.guidance.takeover_pressure; })),
      optional_real("guidance.cycle", "s", "closed loop: flight time between two solutions of the steering", 100,
                    field<double>([](auto& d) -> auto& { return d.mission.guidance.cycle; })),
      optional_real("guidance.insertion_altitude", "m", "closed loop: altitude of the core's cut-off on the transfer orbit",
                    1e8, field<double>([](auto& d) -> auto& { return d.mission.guidance.insertion_altitude; })),
      optional_real("guidance.hold_time", "s", "closed loop: time to cut-off below which the last steering is held",
                    1000, field<double>([](auto& d) -> auto& { return d.mission.guidance.hold_time; })),

      // May be left out: only a trajectory export turns the Earth.
      Key{"model.dut1", KeyKind::real, "s",
          "UT1 - UTC (the IERS's DUT1) at the epoch; turns the Earth under the exported trajectory", -0.9, 0.9, false,
          true, field<double>([](auto& d) -> auto& { return d.mission.model.dut1; }), {}, {}, {}},
      unwritten_left_out(text("model.dynamics",
           "\"planar\" (the flight in one plane) or \"3d\" (the vehicle's staged form flown in three dimensions over "
           "WGS 84 with J2, launched at --epoch)",
           true, field<std::string>([](auto& d) -> auto& { return d.mission.model.dynamics; }))),

      // May be left out, all of them: the program's own Earth and the 1976
      // standard atmosphere.
      unwritten_left_out(optional_real("earth.mu", "m^3/s^2", "the Earth's gravitational parameter, GM", 1e18,
                    field<double>([](auto& d) -> auto& { return d.mission.earth.mu; }))),
      unwritten_left_out(optional_real("earth.radius", "m", "radius of the spherical Earth; altitudes are above it", 1e8,
                    field<double>([](auto& d) -> auto& { return d.mission.earth.radius; }))),
      unwritten_left_out(optional_from("earth.rotation_rate", "rad/s", "the Earth's rotation rate against the stars (0: it does not turn)",
                    0, 0.01, field<double>([](auto& d) -> auto& { return d.mission.earth.rotation_rate; }))),
      unwritten_left_out(text("atmosphere.model",
           "\"standard\" (the U.S. Standard Atmosphere 1976) or \"exponential\" (isothermal: density and pressure "
           "fall by e every atmosphere.scale_height)",
           true, field<std::string>([](auto& d) -> auto& { return d.mission.atmosphere.model; }))),
      unwritten_left_out(optional_real("atmosphere.density", "kg/m^3", "\"exponential\": the air's density at sea level", 1e3,
                    field<double>([](auto& d) -> auto& { return d.mission.atmosphere.density; }))),
      unwritten_left_out(optional_real("atmosphere.scale_height", "m", "\"exponential\": the height over which the density falls by e",
                    1e7, field<double>([](auto& d) -> auto& { return d.mission.atmosphere.scale_height; }))),
      // May be left out: only the impact points of the JSON and the exports read them.
      unwritten_left_out(optional_real("impact.booster_beta", "kg/m^2", "ballistic coefficient m/(C_D S) of a spent booster falling back",
                    1e6, field<double>([](auto& d) -> auto& { return d.mission.impact.booster_beta; }))),
      unwritten_left_out(optional_real("impact.core_beta", "kg/m^2", "ballistic coefficient m/(C_D S) of the spent core stage falling back",
                    1e6, field<double>([](auto& d) -> auto& { return d.mission.impact.core_beta; }))),
      unwritten_left_out(optional_real("impact.fairing_beta", "kg/m^2", "ballistic coefficient m/(C_D S) of a fairing half falling back",
                    1e6, field<double>([](auto& d) -> auto& { return d.mission.impact.fairing_beta; }))),
      // May be left out, all of them: still air.
      unwritten_left_out(optional_list("wind.altitude", "m", "model.dynamics \"3d\": altitudes of the winds' points, rising",
                    -1e3, 1e6, field<std::vector<double>>([](auto& d) -> auto& { return d.mission.wind.altitude; }))),
      unwritten_left_out(optional_list("wind.east", "m/s", "model.dynamics \"3d\": the air's speed toward the east at each point",
                    -300, 300, field<std::vector<double>>([](auto& d) -> auto& { return d.mission.wind.east; }))),
      unwritten_left_out(optional_list("wind.north", "m/s", "model.dynamics \"3d\": the air's speed toward the north at each point",
                    -300, 300, field<std::vector<double>>([](auto& d) -> auto& { return d.mission.wind.north; }))),
  };
}

std::string shortest(double x) { return number_text(x); }

// A text value quoted for a message; control characters shown as '?'.
std::string quoted(const std::string& t) {
  std::string out = "\"";
  for (unsigned char c : t) out += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  return out + "\"";
}

}  // namespace

std::string number_text(double x) {
  if (std::isnan(x)) return "nan";
  if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
  if (x == 0) return std::signbit(x) ? "-0.0" : "0";
  if (x == std::floor(x) && std::fabs(x) < 1e7) return std::to_string(static_cast<long>(x));
  std::string s = shortest_text(x);
  if (s.find_first_of(".e") == std::string::npos) {
    // A large whole number: as digits it could overflow a reader's 64-bit
    // integers, and it would not read as a real.
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
    s.assign(buf, r.ptr);
  }
  return s;
}

const std::vector<Key>& description_keys() {
  static const std::vector<Key> keys = make_keys();
  return keys;
}

const Key* find_key(std::string_view name) {
  for (const Key& k : description_keys()) {
    if (name == k.name) return &k;
  }
  return nullptr;
}

const Key* first_difference(const Description& a, const Description& b) {
  const Description& x = a;
  const Description& y = b;
  // An empty list's data may be null, which memcmp may not be handed.
  auto same_bits = [](const double* p, const double* q, std::size_t n) {
    return n == 0 || std::memcmp(p, q, n * sizeof(double)) == 0;
  };
  for (const Key& k : description_keys()) {
    bool same = true;
    switch (k.kind) {
      case KeyKind::real: same = same_bits(&k.real(x), &k.real(y), 1); break;
      case KeyKind::count: same = k.count(x) == k.count(y); break;
      case KeyKind::text: same = k.text(x) == k.text(y); break;
      case KeyKind::list:
        same = k.list(x).size() == k.list(y).size() && same_bits(k.list(x).data(), k.list(y).data(), k.list(x).size());
        break;
    }
    if (!same) return &k;
  }
  return nullptr;
}

double key_value(const Description& d, const Key& k) {
  if (k.kind == KeyKind::real) return k.real(d);
  if (k.kind == KeyKind::count) return k.count(d);
  return std::nan("");
}

std::string check_range(const Key& k, double x) {
  if (!std::isfinite(x)) return "must be a finite number, got " + shortest(x);
  if (k.min_excluded && k.min == 0 && !(x > 0)) return "must be positive, got " + shortest(x);
  if (k.min_excluded ? !(x > k.min) : !(x >= k.min)) {
    return std::string("must be ") + (k.min_excluded ? "above " : "at least ") + shortest(k.min) + ", got " +
           shortest(x);
  }
  if (!(x <= k.max)) return "must be at most " + shortest(k.max) + ", got " + shortest(x);
  if (k.kind == KeyKind::count && x != std::floor(x)) return "must be a whole number, got " + shortest(x);
  return {};
}

std::string set_key_value(Description& d, const Key& k, double x) {
  if (k.kind != KeyKind::real && k.kind != KeyKind::count) return "is not a number";
  std::string why = check_range(k, x);
  if (!why.empty()) return why;
  if (k.kind == KeyKind::real) {
    k.real(d) = x;
  } else {
    k.count(d) = static_cast<int>(x);
  }
  return {};
}

namespace {

// The sizing leaves the spacecraft what the stack at the core's cut-off
// holds beyond the upper stage: its propellant, RCS (a share r of the stack),
// unusable propellant u and the dry mass c + k * Mtot^e. With no burn at all
// and no reserve, a stack of M kg leaves at most
//   g(M) = (1 - r) M - u - c - k (r M + u)^e,
// and the stack is never heavier than everything above the core at liftoff
// but the fairing, plus all of the core's propellant left over. g is convex
// in M for e <= 1 (its largest value at an end of that range) and concave
// for e > 1 (its largest where g' = 0). Where even that largest value is
// no positive mass, no flight of the vehicle can give one.
std::string whole_kg(double x) {
  char b[48];
  std::snprintf(b, sizeof b, "%.0f", x);
  return b;
}

std::optional<std::string> sizing_leaves_nothing(const Description& d) {
  const Sizing& z = d.mission.sizing;
  const Vehicle& v = d.vehicle;
  const double r = z.rcs_per_kg, u = z.unusable, c = z.dry_constant, k = z.dry_coefficient, e = z.dry_exponent;
  const double M_max = v.upper.stack_mass - v.fairing.mass + v.core.propellant_mass;
  auto g = [&](double M) {
    double T = r * M + u;
    return (1 - r) * M - u - c - k * std::pow(T > 0 ? T : 1, e);
  };
  std::vector<double> at = {0, M_max};
  if (e > 1 && k > 0 && r > 0 && r < 1) {
    double T = std::pow((1 - r) / (k * e * r), 1 / (e - 1));
    at.push_back(std::clamp((T - u) / r, 0.0, M_max));
  }
  double best = -std::numeric_limits<double>::infinity(), best_M = 0;
  for (double M : at) {
    if (g(M) > best) best = g(M), best_M = M;
  }
  // Each sized mass is rounded to the kilogram: a couple of kilograms of slack.
  if (best > -2) return std::nullopt;
  return "the sizing constants leave no spacecraft mass for any stack the vehicle can bring to the core's "
         "cut-off: at most " + whole_kg(best) + " kg (at a stack of " + whole_kg(best_M) + " kg, with no upper-stage burn)";
}

}  // namespace

std::vector<Problem> check_description(const Description& d) {
  std::vector<Problem> p;
  const Vehicle& v = d.vehicle;
  const Mission& m = d.mission;
  auto add = [&p](const char* key, std::string what) { p.push_back({key, std::move(what)}); };

  // Names are written into message lines and the profile is a path: a
  // control character would break the line or cut the path short.
  auto has_control = [](const std::string& s) {
    for (unsigned char c : s) {
      if (c < 0x20 || c == 0x7f) return true;
    }
    return false;
  };
  if (v.name.empty()) add("name", "must not be empty");
  if (has_control(v.name)) add("name", "must not contain control characters (line ends, tabs)");
  if (has_control(d.profile)) add("profile", "must not contain control characters (line ends, tabs)");
  if (v.upper.engine.empty()) add("upper.engine", "must not be empty");
  const std::string& integrator = m.numerics.integrator;
  if (!integrator.empty() && integrator != "fixed" && integrator != "adaptive") {
    add("numerics.integrator", "must be \"fixed\" or \"adaptive\"");
  }
  const std::string& events = m.numerics.events;
  if (!events.empty() && events != "steps" && events != "located") {
    add("numerics.events", "must be \"steps\" or \"located\"");
  }
  if (has_control(v.upper.engine)) add("upper.engine", "must not contain control characters (line ends, tabs)");
  const Wind& w = m.wind;
  bool rising = w.altitude.size() == w.east.size() && w.altitude.size() == w.north.size();
  for (std::size_t i = 1; i < w.altitude.size(); ++i) rising = rising && w.altitude[i] > w.altitude[i - 1];
  if (!rising) add("wind.altitude", "must rise from point to point, with one east and one north speed at each");
  const std::string& dynamics = m.model.dynamics;
  if (!dynamics.empty() && dynamics != "planar" && dynamics != "3d") {
    add("model.dynamics", "must be \"planar\" or \"3d\", got " + quoted(dynamics));
  }
  if (m.guidance.mode != "open-loop" && m.guidance.mode != "closed-loop") {
    add("guidance.mode", "must be \"open-loop\" or \"closed-loop\", got " + quoted(m.guidance.mode));
  }
  if (!(v.boosters.propellant_mass < v.boosters.mass)) {
    add("boosters.propellant_mass", "must be less than boosters.mass (" + shortest(v.boosters.mass) + "), got " +
                                        shortest(v.boosters.propellant_mass));
  }
  if (!(circle_area(v.boosters.diameter) + v.boosters.area_correction > 0)) {
    add("boosters.area_correction", "leaves a booster no cross-section, got " + shortest(v.boosters.area_correction));
  }
  if (!(v.core.throttle_minimum < v.core.throttle_entry)) {
    add("core.throttle_minimum", "the throttle schedule must descend: the minimum must be below core.throttle_entry (" +
                                     shortest(v.core.throttle_entry) + "), got " + shortest(v.core.throttle_minimum));
  } else if (v.core.throttle_step > v.core.throttle_entry - v.core.throttle_minimum) {
    add("core.throttle_step", "must not exceed the throttle range from entry to minimum, got " +
                                  shortest(v.core.throttle_step));
  } else if (throttle_steps(v.core) > 100000) {
    add("core.throttle_step", "makes more than 100000 throttle-down steps, got " + shortest(v.core.throttle_step));
  }
  if (!(v.fairing.jettison_time > v.boosters.separation_time)) {
    add("fairing.jettison_time", "must come after boosters.separation_time (" +
                                     shortest(v.boosters.separation_time) + "), got " +
                                     shortest(v.fairing.jettison_time));
  }
  double above = v.fairing.mass + v.upper.adaptor_mass + v.upper.propellant_mass;
  if (!(v.upper.stack_mass > above)) {
    add("upper.stack_mass", "must exceed the fairing, adaptor and upper-stage propellant (" + shortest(above) +
                                " kg together), got " + shortest(v.upper.stack_mass));
  }
  if (std::optional<std::string> why = sizing_leaves_nothing(d)) add("sizing.dry_constant", *why);
  const DragLaw& dl = v.drag;
  if (dl.mach.empty()) {
    add("drag.mach", "must hold at least one point");
  } else if (dl.mach.size() > max_drag_points) {
    // Each step looks the law up; a law of many more points than any
    // measured drag curve has only slows every flight.
    add("drag.mach", "may hold at most " + std::to_string(max_drag_points) + " points, got " +
                         std::to_string(dl.mach.size()));
  } else if (dl.mach.size() != dl.cd.size()) {
    add("drag.cd", "must hold one coefficient per Mach number (" + std::to_string(dl.mach.size()) + "), got " +
                       std::to_string(dl.cd.size()));
  } else {
    for (std::size_t i = 1; i < dl.mach.size(); ++i) {
      if (dl.mach[i] < dl.mach[i - 1]) {
        add("drag.mach", "must increase: entry " + std::to_string(i + 1) + " (" + shortest(dl.mach[i]) +
                             ") is below the one before it");
        break;
      }
      if (i >= 2 && dl.mach[i] == dl.mach[i - 2]) {
        add("drag.mach", "may repeat a Mach number once (a jump), not three times: " + shortest(dl.mach[i]));
        break;
      }
    }
  }
  // The upper stage ignites on the way up to the apogee; both it and the
  // apogee must lie above the atmosphere's drag, where the lowest allowed
  // apogee lies.
  const double h_space = find_key("target.apogee_altitude")->min;
  const double h_ignition = m.target.apogee_altitude / m.target.ignition_factor;
  if (!(h_ignition >= h_space)) {
    add("target.ignition_factor", "puts the upper stage's ignition at " + shortest(h_ignition) +
                                      " m, inside the atmosphere (below " + shortest(h_space) + " m), got " +
                                      shortest(m.target.ignition_factor));
  }
  if (!(m.target.perigee_climbing <= m.target.apogee_altitude)) {
    add("target.perigee_climbing", "must not be above target.apogee_altitude (" +
                                       shortest(m.target.apogee_altitude) + "), got " +
                                       shortest(m.target.perigee_climbing));
  }
  if (!(m.target.perigee_descending <= m.target.apogee_altitude)) {
    add("target.perigee_descending", "must not be above target.apogee_altitude (" +
                                         shortest(m.target.apogee_altitude) + "), got " +
                                         shortest(m.target.perigee_descending));
  }
  if (closed_loop(m) && !(m.guidance.insertion_altitude >= m.target.perigee_climbing &&
                          m.guidance.insertion_altitude <= m.target.apogee_altitude)) {
    add("guidance.insertion_altitude", "must lie on the transfer orbit, between target.perigee_climbing (" +
                                           shortest(m.target.perigee_climbing) + ") and target.apogee_altitude (" +
                                           shortest(m.target.apogee_altitude) + "), got " +
                                           shortest(m.guidance.insertion_altitude));
  }
  // An inclination equal to the latitude is the due-east launch, the lowest
  // orbit plane the site reaches without turning the plane.
  if (!(m.target.inclination >= std::fabs(m.target.latitude))) {
    add("target.inclination", "must be at least the launch site's latitude (" + shortest(std::fabs(m.target.latitude)) +
                                  " degrees), got " + shortest(m.target.inclination));
  }
  const std::string& air = m.atmosphere.model;
  if (!air.empty() && air != "standard" && air != "exponential") {
    add("atmosphere.model", "must be \"standard\" or \"exponential\", got " + quoted(air));
  }
  return p;
}

double decimal_square(double d) { return round_significant(d * d, 12); }

double circle_area(double d) { return std::numbers::pi * decimal_square(d) / 4; }

int throttle_steps(const CoreStage& c) {
  return static_cast<int>(std::lround((c.throttle_entry - c.throttle_minimum) / c.throttle_step));
}

}  // namespace ascent
