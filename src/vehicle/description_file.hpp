// A description as a TOML file: reading it with every fault refused at its
// line and column, writing it back with every key commented, and the key
// reference docs/reference.md shows. All three follow the one table of keys.
#pragma once
#include <string>
#include <string_view>

#include "vehicle/keys.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

// Reads a description from TOML text. `file_name` names the text in
// messages. Every fault (syntax, an unknown or missing key, a wrong type, a
// value out of range, values that do not fit together) throws
// FatalError{err_description, "FILE:LINE:COLUMN: key: what is wrong"}. The
// profile is not opened here, and `origin` is left empty.
Description parse_description(std::string_view text, const std::string& file_name);

// Reads the description file at `path` (a file that cannot be opened or read
// stops with the usual file codes), parses it, checks that the booster
// profile it names can be read, and sets `origin` to `path`.
Description read_description(const std::string& path);

// The same from the file's text, read once already (a pipe reads only once).
Description description_from_file_text(std::string_view text, const std::string& path);

// The booster profile file to fly: the description's `profile` taken
// relative to the folder of its origin, or "s1.dat" in the working directory
// when it names none.
std::string resolved_profile_path(const Description& d);

// The description as a complete TOML text, every key commented with its
// unit, meaning and allowed range; every number written so that it reads
// back to the same double. An empty profile is left out, and so are the keys
// that may be left out at the value leaving them out gives; with every_key
// those are written too, commented out (what `ascent --print-vehicle` shows).
// Without every_key the text is the description's identity: a study's digest
// of its vehicle is of that text.
std::string write_description(const Description& d, bool every_key = false);

// The reference of every key (docs/reference.md), a Markdown table: key, unit, meaning,
// allowed range, built-in value.
std::string key_reference_markdown();

// The allowed range of a key in words ("above 0, at most 1e+12").
std::string range_text(const Key& k);

}  // namespace ascent
