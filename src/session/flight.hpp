// The one flight entry point of the tools: a whole session flown from a
// description, a booster profile and the answers given as values, returning
// what the flight established and, on request, what it wrote.
#pragma once
#include <string>
#include <vector>

#include "vehicle/booster_profile.hpp"
#include "session/session.hpp"

namespace ascent {

// What a flight writes, and where.
enum class FlightOutputs {
  none,    // nothing is formatted; the results only
  memory,  // everything ascent would write, kept in memory (file mode, or the console in iterate mode)
  files,   // the files ascent writes, in the working directory
};

struct FlightOptions {
  FlightOutputs outputs = FlightOutputs::none;
  std::string output_name = "out.txt";  // the main output's name in file mode
  double air_density_scale = 1;         // factor on the atmosphere's density (dispersions)
  // Further observers of the flight's steps and events (after the report):
  // a TableRecorder for the table as numbers, say.
  StepObservers step_observers;
  EventObservers event_observers;
};

struct Flight {
  bool ok = false;       // the session ended normally
  bool interrupted = false;  // a signal asked the run to stop (SIGINT, SIGTERM, SIGHUP)
  int exit_code = 0;     // what ascent would exit with when it did not
  std::string error;     // and its message
  FlightRecord record;   // what the flight established
  double Pqmax = 0;      // Pa, largest dynamic pressure of the flight
  double t_Pqmax = 0;    // s, its time
  double amax = 0;       // m/s^2, largest thrust acceleration of the flight
  double t_amax = 0;     // s, its time
  long long steps = 0;   // trajectory steps taken
  // With FlightOutputs::memory: the main output (in iterate mode standard
  // output, prompts included), the four data files and the constants file.
  std::string main_text, speed, height, accel, dynpres, constants;
};

// Flies one session: the answers, then a negative turn time. Faults are
// caught and reported in the result, never thrown.
Flight fly(const Description& d, const BoosterProfile& profile, const FlightAnswers& answers,
           const FlightOptions& options = {});

}  // namespace ascent
