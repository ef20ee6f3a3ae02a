// A staged vehicle as a TOML file: `[[stage]]` tables bottom first, each
// with its `[[stage.boosters]]` groups, and the fairing, payload, mission and
// programme beside them. Every fault is refused at its line and column, as
// in the classic description.
#pragma once
#include <string>
#include <string_view>
#include <vector>

#include "vehicle/staged.hpp"

namespace ascent {

// The text describes a staged vehicle: it has a `[[stage]]` table.
bool is_staged_text(std::string_view text);

// Reads a staged vehicle; a fault throws FatalError{err_description,
// "FILE:LINE:COLUMN: key: what is wrong"}.
// Keys given that cannot matter to the flight ("burn_time" of a stage whose
// burn does not end by time, ...) are taken and said in `warnings`, each
// "FILE:LINE:COLUMN: key: has no effect: why", when it is not null.
StagedVehicle parse_staged(std::string_view text, const std::string& file_name,
                           std::vector<std::string>* warnings = nullptr);

}  // namespace ascent
