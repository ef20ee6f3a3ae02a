// The one table of a description's keys: name, unit, meaning and allowed
// range. The reader, the writer, validation, the tools that vary a quantity
// by name and the key reference of docs/reference.md are all driven by it.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "vehicle/vehicle.hpp"

namespace ascent {

enum class KeyKind {
  real,   // a number
  count,  // a whole number
  text,   // a string
  list,   // an array of numbers
};

struct Key {
  const char* name;     // dotted: "core.exhaust_speed" is exhaust_speed in [core]
  KeyKind kind;
  const char* unit;     // SI unit, "" for a pure number
  const char* meaning;
  double min;           // allowed range of a number (or of each list entry)
  double max;
  bool min_excluded;    // the range is open at min (a positive quantity)
  bool optional;        // may be left out of a file (the built-in value applies)
  double& (*real)(Description&);
  int& (*count)(Description&);
  std::string& (*text)(Description&);
  std::vector<double>& (*list)(Description&);
};

// Every key, in the order a description is written.
const std::vector<Key>& description_keys();

// The key of that name, or nullptr.
const Key* find_key(std::string_view name);

// A number key's value (real or count).
double key_value(const Description& d, const Key& k);

// Sets a number key; empty on success, otherwise what is wrong with x (a
// count that is not whole, a value outside the key's range).
std::string set_key_value(Description& d, const Key& k, double x);

// A number as a description writes it and a message quotes it: digits for a
// whole number below ten million (9707, 398600), otherwise the shortest
// decimal that reads back as exactly x, always with a point or an exponent
// (4420.8, 1e+12, -0.0), so that it reads back as the same double.
std::string number_text(double x);

// What is wrong with one value of key k ("must be positive, got -4420.8"),
// or empty.
std::string check_range(const Key& k, double x);

// The first key whose value differs between a and b, bit for bit (a real
// of the same value but another sign of zero differs too), or nullptr.
const Key* first_difference(const Description& a, const Description& b);

// A description's faults beyond single values: schedules that do not
// descend, a drag law not ordered in Mach, masses that do not add up, a
// target inside the atmosphere. Each names the key it is reported at.
constexpr std::size_t max_drag_points = 1000;  // points of the drag law at the most

struct Problem {
  std::string key;
  std::string what;
};
std::vector<Problem> check_description(const Description& d);

}  // namespace ascent
