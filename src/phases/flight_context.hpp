// The state of one flight session that the phases fly on: the flight state,
// the turn-time loop, the channels the phases write to, the vehicle and its
// profile, and what the flight established. The session (src/session) opens
// the channels and asks the questions; the phases read and advance the rest.
#pragma once
#include <cstdint>
#include <string>

#include "io/channel.hpp"
#include "io/line_reader.hpp"
#include "trajectory/drag.hpp"
#include "trajectory/flight_state.hpp"
#include "trajectory/step_table.hpp"
#include "vehicle/vehicle.hpp"

namespace ascent {

struct BoosterProfile;

// Where the files a session creates (the named output, the data files and the
// constants file) go: to disk, into memory (tests, fuzzing) or nowhere (tools
// that fly many flights and read the results from the session).
enum class FileSink { disk, memory, discard };

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

// What one flight established, kept for tools that compare many flights.
struct FlightRecord {
  double tt_flown = 0;     // s, turn time of the last booster pass
  double hp_core = 0;      // m, perigee at core separation
  double ha_core = 0;      // m, apogee at core separation
  double m0_core = 0;      // kg, core propellant left at cut-off
  double dV3 = 0;          // m/s, delta-V of the third-stage burn
  double m0_upper = 0;     // kg, upper-stage propellant left at cut-off (negative: burnt beyond its load)
  double hp_final = 0;     // m, perigee at the end of the flight
  double ha_final = 0;     // m, apogee at the end of the flight
  double Mad = 0, Mused = 0, Mcut = 0, Msc = 0, Mtop = 0;  // kg, the sized masses
  double tt_recommended = 0;  // s, turn time the last pass recommended
  bool transfer = false;   // the third stage flew
  int passes = 0;          // booster-and-core passes of the series
};

// Everything one session owns: the flight state, the turn-time loop, the
// channels and the input. Two sessions share nothing.
struct Session {
  FlightState fs;

  // Turn-time loop.
  double tt = 0;       // s, turn time of the flight being flown
  double tt_prev = 0;  // s, turn time of the previous pass (0: no history)
  double hp_prev = 0;  // m, perigee of the previous pass (0: no history)
  std::int16_t iter = 1;
  bool iterating = false;
  bool iterate_mode = false;
  bool running = false;

  // Output choice and the bytes of the degree, plus-minus and superscript-two signs.
  std::string fname;
  unsigned char ch_deg = 0, ch_pm = 0, ch_sq = 0;
  bool utf8 = false;         // --utf8: the signs in UTF-8, lines ending in LF
  bool retry_typos = false;  // answers come from a terminal: a typo asks again

  // Channels. Standard output carries the prompts and, in console mode, the
  // main output too: one buffer keeps them in the order written.
  Channel stdout_ch;
  Channel file_ch;
  Channel speedfile, heightfile, accelfile, dynpresfile;
  Channel* main = nullptr;
  Channel* con = nullptr;
  StepOutputs out;

  // The answers: typed lines, or values given by a tool.
  LineReader input;
  NumberReader answers{input};
  const FlightAnswers* given = nullptr;
  int turn_times_given = 0;  // turn-time questions answered from `given`

  // Values the booster phase leaves for the summary, and the orbit figures
  // the reports share.
  double M_lo = 0;     // kg, ignition mass
  double F_lo = 0;     // N, liftoff thrust
  double a_lo = 0;     // m/s^2, liftoff thrust acceleration
  double h_pitch = 0;  // m, altitude that ends the vertical rise
  double h_avg = 0;    // m, mean of perigee and apogee altitudes
  double h_dev = 0;    // m, apogee altitude less h_avg

  // The vehicle and its mission, and its drag law made ready for the step.
  const Description* desc = &builtin_description();
  DragTable drag_table;

  // Where the booster profile comes from and where the files go: the shared
  // parsed profile when set, else the text when set, else the file.
  std::string profile_path = "s1.dat";
  const BoosterProfile* profile = nullptr;
  const std::string* profile_text = nullptr;
  FileSink file_sink = FileSink::disk;
  std::string const_text;  // the constants file, when file_sink is memory

  FlightRecord record;

  // For tools that read the extremes from fs after the session and discard
  // every output: the step tracks the largest dynamic pressure and thrust
  // acceleration in every output mode (iterate mode included), and each
  // booster-and-core pass starts them afresh, so that they belong to the
  // flight last flown. Only the flight entry point of the tools sets it.
  bool track_flight_extremes = false;

  Session() = default;
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
};

// Creates a file for writing according to the session's file sink.
void open_output_file(Session& S, Channel& ch, const std::string& path);
// The same for a file that replaces the old one only once it is complete.
void open_replacing_file(Session& S, Channel& ch, const std::string& path);

}  // namespace ascent
