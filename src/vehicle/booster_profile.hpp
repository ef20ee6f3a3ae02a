// The booster thrust profile: one booster's vacuum thrust against time, as
// read from its file. Parsed once and shared read-only by every flight of a
// study; a flight reads it only as far as it needs, so a fault in the text
// stops a flight only when the flight reaches it, exactly where reading the
// file point by point would have stopped.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "io/fatal_error.hpp"

namespace ascent {

struct BoosterProfile {
  std::string name;          // names the profile in messages
  std::vector<double> t;     // s, time of each point
  std::vector<double> F;     // N, thrust of one booster at it
  // What stops a flight that needs the point after the last one: the end of
  // the file, or the first line that is not a point.
  FatalError end{err_read, ""};
  // The text ended where its points did: no line that is not a point, no
  // point past the bound.
  bool whole = false;
};

// Parses a profile's text.
BoosterProfile parse_profile(std::string text, const std::string& name);

// Reads and parses the file at `path`; a file that cannot be opened stops
// the run (a missing one with the folder looked in and where the bundled
// profile is).
BoosterProfile read_profile(const std::string& path);

// Where the install puts the profile that comes with the program.
std::string bundled_profile_path();

}  // namespace ascent
