#pragma once
#include <string>

#include "phases/flight_context.hpp"

namespace ascent {

// Asks where the output goes, opens the channels, initialises the atmosphere
// and writes the table header.
void setup_session(Session& S);

// The numeric questions and their prompts.
enum class Question { turn_time, alpha };
const std::string& question_text(Question q);

// Asks question q and reads a real into x (nothing is asked in the later
// passes of an iteration series). In file mode the answer is echoed to the
// main output.
void ask_real(Session& S, Question q, double& x);

// Asks whether to fly the transfer to apogee: y, Y or an empty line (also
// the end of the answers) fly it; anything else declines.
bool ask_transfer(Session& S);

// Closes every channel, checking each close.
void close_outputs(Session& S);

// Flushes what every channel holds, ignoring failures: after a fatal error.
void salvage_outputs(Session& S) noexcept;

// The whole session: set-up, turn times and flights, close. Returns when the
// session ends (a negative turn time or the end of the answers); a fault
// escapes as FatalError.
void run_session(Session& S);


// Before a question: hands every channel's bytes to the system, so that an
// interruption while the session waits loses nothing already computed.
void flush_for_question(Session& S);

}  // namespace ascent
