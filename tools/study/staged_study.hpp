// A staged vehicle as the study tools hold it: the description's TOML and
// the vehicle read from it, with any of its numbers changed by name and the
// result read again by the staged reader, so that a study's vehicle is
// exactly the vehicle `ascent --vehicle` flies from the file edited alike,
// refused for the same reasons.
//
// A key is named by its place in the description, stages and booster groups
// counted from 1, bottom first: "stage.2.propellant_mass",
// "stage.1.boosters.2.ignition_time", "payload.mass", "mission.inclination",
// "plan.guidance_takeover", "earth.mu".
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "session/staged_session.hpp"
#include "vehicle/staged.hpp"

namespace ascent::study {

class StagedDescription {
 public:
  // Reads a staged description's text; `file` names it in refusals
  // (FatalError err_description, FILE:LINE:COLUMN as the reader gives them).
  StagedDescription(const std::string& text, const std::string& file);
  ~StagedDescription();
  StagedDescription(const StagedDescription&) = delete;
  StagedDescription& operator=(const StagedDescription&) = delete;

  const StagedVehicle& vehicle() const { return vehicle_; }
  const std::string& file() const { return file_; }

  // Empty when `key` names a number of this vehicle (its stage and booster
  // group exist, the name is one of the numbers the description takes);
  // otherwise why not, in one line led by the key.
  std::string check_key(const std::string& key) const;
  // Whether the key takes whole values only (engines, a group's count).
  static bool whole_key(const std::string& key);
  // The key's value as the description writes it; none when it leaves the
  // key out (its default, or a value given another way, such as the
  // exhaust speed of a stage described by its specific impulse).
  std::optional<double> written(const std::string& key) const;

  // The description with keys[i] set to values[i], as TOML text.
  std::string text_with(const std::vector<std::string>& keys, const std::vector<double>& values) const;
  // The vehicle it describes, read by the staged reader; when the reader
  // refuses it, `refused` holds "key: what" (no line and column: they would
  // point into text nobody wrote) and the vehicle is this one's.
  StagedVehicle with(const std::vector<std::string>& keys, const std::vector<double>& values,
                     std::string& refused) const;

 private:
  struct Toml;
  std::unique_ptr<Toml> toml_;
  std::string file_;
  StagedVehicle vehicle_;
};

// The vehicle a study's --vehicle names, read once (a pipe reads only
// once): a staged description, or else a classic one into `classic` (the
// built-in vehicle for an empty path), read as every tool reads it.
std::unique_ptr<StagedDescription> read_vehicle(const std::string& path, Description& classic);

// A staged flight's results as a study writes them, beside the keys it
// varied: the columns' names and one row's fields (CSV, without the line
// end). The numbers carry every digit of the flight's double.
std::vector<std::string> staged_columns();
std::string staged_fields(const StagedVehicle& v, const StagedResult& r);
// The row of a vehicle the reader refused: empty results, status "error 65: why".
std::string refused_fields(const std::string& why);

// Splits "KEY=TEXT" for a tool option; refuses (exit 64) a text without '='.
void key_and_text(const std::string& option, const std::string& arg, std::string& key, std::string& text);

}  // namespace ascent::study
