#pragma once
#include <string>
#include <vector>

#include "io/line_reader.hpp"
#include "phases/flight_context.hpp"
#include "report/json_report.hpp"
#include "report/text_report.hpp"
#include "trajectory/step_guard.hpp"

namespace ascent {

// The answers of one flight given as values by a tool instead of typed: the
// session takes them in the order the questions come and ends after the
// flight, as a negative turn time would.
struct FlightAnswers {
  double tt = 0;          // s, turn time (iterate mode: the first of the series)
  double alpha = 0;       // degrees, maximum angle of attack
  bool transfer = true;   // fly the third stage's transfer
  bool iterate = false;   // iterate mode: converge the turn time first
  std::string output;     // the first question's reply unless iterating: a file name, or empty for the console
};

// One session in its three parts: the flight the phases fly on, the
// dialogue (the questions and their answers) and the report that writes
// what the flight announces. Two sessions share nothing.
struct Session {
  FlightContext flight;

  // The dialogue: typed lines, or values given by a tool.
  LineReader input;
  NumberReader answers{input};
  const FlightAnswers* given = nullptr;
  int turn_times_given = 0;  // turn-time questions answered from `given`
  bool retry_typos = false;  // answers come from a terminal: a typo asks again
  bool iterate_mode = false;
  bool running = false;
  std::string fname;         // the output file's name; empty: the console
  // The description read and the files named on the command line (--json,
  // --trajectory): neither the answered output file nor a data file may be
  // one of them.
  std::vector<std::string> reserved_files;
  double tt_typed = 0;       // s, the turn time as answered
  double alpha_typed = 0;    // degrees, the angle limit as answered

  // When set, hears the flight like the other observers and is told where
  // each flight ends, with its answers.
  JsonReport* json = nullptr;

  // The report, and the guard that counts the steps and stops the flight on
  // a signal. Both follow the flight unless the caller chooses its own
  // observers (the tools' flight entry point).
  TextReport report;
  StepGuard guard;

  Session() {
    flight.step_observers = {&guard, &report};
    flight.event_observers = {&report};
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

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
