// A staged vehicle as a TOML file: `[[stage]]` tables bottom first, each
// with its `[[stage.boosters]]` groups, and the fairing, payload, mission and
// programme beside them. Every fault is refused at its line and column, as
// in the classic description.
#pragma once
#include <string>
#include <string_view>

#include "vehicle/staged.hpp"

namespace ascent {

// The text describes a staged vehicle: it has a `[[stage]]` table.
bool is_staged_text(std::string_view text);

// Reads a staged vehicle; a fault throws FatalError{err_description,
// "FILE:LINE:COLUMN: key: what is wrong"}.
StagedVehicle parse_staged(std::string_view text, const std::string& file_name);

}  // namespace ascent
