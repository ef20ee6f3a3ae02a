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

// Where a key's value lives in a description: writable in a writable one,
// read-only in a const one. Both come from one accessor, written once per
// key in the table.
template <class T>
struct Field {
  T& (*get)(Description&) = nullptr;
  const T& (*read)(const Description&) = nullptr;
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
  Field<double> real_field;  // the one of the kind's field
  Field<int> count_field;
  Field<std::string> text_field;
  Field<std::vector<double>> list_field;
  // Left out, it is not written even among the keys shown commented out: the
  // model's environment, which the descriptions of today's vehicles never
  // give, so their printed text stays as it was.
  bool unwritten_left_out = false;

  double& real(Description& d) const { return real_field.get(d); }
  const double& real(const Description& d) const { return real_field.read(d); }
  int& count(Description& d) const { return count_field.get(d); }
  const int& count(const Description& d) const { return count_field.read(d); }
  std::string& text(Description& d) const { return text_field.get(d); }
  const std::string& text(const Description& d) const { return text_field.read(d); }
  std::vector<double>& list(Description& d) const { return list_field.get(d); }
  const std::vector<double>& list(const Description& d) const { return list_field.read(d); }
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
