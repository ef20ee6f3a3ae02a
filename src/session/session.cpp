#include "session/session.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>

#include "atmosphere/atmosphere.hpp"
#include "phases/booster_phase.hpp"
#include "phases/core_phase.hpp"
#include "phases/third_stage_phase.hpp"
#include "io/fatal_error.hpp"
#include "io/number_format.hpp"
#include "io/paths.hpp"
#include "io/turn_time.hpp"
#include "trajectory/model_environment.hpp"

namespace ascent {

namespace {

constexpr std::size_t max_reply = 255;  // characters kept of a text reply

// The answer names the file that standard input or output already is
// (ascent > log.txt, answered log.txt): the outputs would overwrite the
// answers or mix with the prompts.
void refuse_standard_stream_file(const std::string& name, const std::string& who) {
  const char* streams[] = {"standard input", "standard output"};
  for (int fd = 0; fd <= 1; ++fd) {
    if (is_file_of_descriptor(name, fd)) {
      throw FatalError{err_access_denied, who + ": refused: it is the session's " + streams[fd]};
    }
  }
}

const char* const data_files[] = {"speed.dat", "height.dat", "accel.dat", "dynpres.dat"};

// An output named like one of the files the session reads or writes itself
// would destroy the booster profile or the description, or interleave two
// outputs in one file: refuse it before anything is created or emptied. In
// file mode the data files are outputs too, and must be none of the inputs
// or of the files named on the command line.
void refuse_clashing_name(const Session& S) {
  std::vector<std::string> others = {S.flight.profile_path, data_files[0], data_files[1], data_files[2],
                                     data_files[3], "const_n.pas"};
  others.insert(others.end(), S.reserved_files.begin(), S.reserved_files.end());
  if (S.report.file_sink == FileSink::disk) refuse_standard_stream_file(S.fname, S.fname);
  const std::string target = link_end(S.fname);
  for (const std::string& other : others) {
    if (same_file(S.fname, other) || same_file(target, other)) {
      throw FatalError{err_access_denied,
                       S.fname + ": refused: the output would overwrite " + other};
    }
  }
  if (S.report.file_sink != FileSink::disk) return;
  std::vector<std::string> kept = S.reserved_files;
  kept.push_back(S.flight.profile_path);
  for (const char* data : data_files) {
    refuse_standard_stream_file(data, data);
    for (const std::string& other : kept) {
      if (same_file(data, other)) {
        throw FatalError{err_access_denied, std::string(data) + ": refused: the data file would overwrite " + other};
      }
    }
  }
}

// A given answer: the turn time once, then a negative one that ends the
// session; the angle limit whenever it is asked.
double given_number(Session& S, Question q) {
  if (q == Question::alpha) return S.given->alpha;
  return S.turn_times_given++ == 0 ? S.given->tt : -1.0;
}

// Reads a numeric answer into x; false after a typo typed at a terminal,
// which is reported and should be asked again (from a pipe or a file the
// typo stops the run as before).
bool read_answer(Session& S, double& x) {
  try {
    if (!S.answers.next(x)) throw EndOfInput{};
  } catch (const FatalError& e) {
    if (!S.retry_typos || !S.answers.last_was_typo()) throw;
    S.answers.skip_rest_of_line();
    std::string message = e.message.substr(e.message.rfind(": not a number: ") + 2);
    message[0] = 'N';
    S.report.con->line(message + ". Type a number.");
    return false;
  }
  return true;
}

}  // namespace

const std::string& question_text(Question q) {
  static const std::string tt = "Turn time (s)? ";
  static const std::string alpha = "Maximum angle of attack (degrees)? ";
  return q == Question::turn_time ? tt : alpha;
}

void flush_for_question(Session& S) {
  // A channel holding nothing costs no system call: only the channels with
  // output since the last question write.
  S.report.stdout_ch.flush();
  if (S.report.file_ch.is_open()) S.report.file_ch.flush();
  if (S.report.speedfile.is_open()) S.report.speedfile.flush();
  if (S.report.heightfile.is_open()) S.report.heightfile.flush();
  if (S.report.accelfile.is_open()) S.report.accelfile.flush();
  if (S.report.dynpresfile.is_open()) S.report.dynpresfile.flush();
}

void setup_session(Session& S) {
  FlightState& s = S.flight.fs;
  TextReport& R = S.report;
  R.extremes = Extremes{};
  S.flight.tt_prev = 0;
  S.running = true;

  R.con = &R.stdout_ch;
  R.con->set_utf8(R.utf8);
  R.con->put("Enter output filename (return = standard output, i = iterate): ");
  R.con->flush();
  std::string reply;
  if (S.given != nullptr) {
    reply = S.given->iterate ? "i" : S.given->output;
  } else if (!S.input.next_line(reply)) {
    reply.clear();  // no answer: standard output
  }
  if (reply.size() > max_reply) reply.resize(max_reply);

  S.iterate_mode = reply == "i";
  S.flight.iterating = S.iterate_mode;
  S.flight.iter = 1;
  S.fname = S.iterate_mode ? std::string() : reply;

  if (S.fname.empty()) {
    R.main = &R.stdout_ch;
  } else {
    // The system ends a name at its first NUL byte: the file opened would
    // not be the one named, and could be one the session must not touch.
    if (S.fname.find('\0') != std::string::npos) {
      throw FatalError{err_path_not_found, "output file name: invalid: it holds a NUL byte"};
    }
    refuse_clashing_name(S);
    R.open_output_file(R.file_ch, S.fname);
    R.main = &R.file_ch;
  }

  R.style.tofile = !S.fname.empty();
  if (R.style.tofile) {
    R.style.deg = 0xB0;  // ISO 8859-1
    R.style.pm = 0xB1;
    R.style.sq = 0xB2;
    R.open_output_file(R.speedfile, "speed.dat");
    R.open_output_file(R.heightfile, "height.dat");
    R.open_output_file(R.accelfile, "accel.dat");
    R.open_output_file(R.dynpresfile, "dynpres.dat");
  } else {
    R.style.deg = 0xF8;  // code page 437, the console's
    R.style.pm = 0xF1;
    R.style.sq = 0xFD;
  }
  if (R.utf8) {
    // The channels recode the ISO 8859-1 signs to UTF-8, console and files alike.
    R.style.deg = 0xB0;
    R.style.pm = 0xB1;
    R.style.sq = 0xB2;
  }

  S.flight.drag_table = make_drag_table(S.flight.desc->vehicle.drag);
  s.drag = &S.flight.drag_table;
  S.flight.environment = make_environment(*S.flight.desc);
  s.env = &S.flight.environment;
  atmosphere_init();
  R.write_header();
}

void ask_real(Session& S, Question q, double& x) {
  const std::string& prompt = question_text(q);
  if (S.flight.iterating && S.flight.iter != 1) return;
  S.report.con->put(prompt);
  flush_for_question(S);
  if (S.given != nullptr) {
    x = given_number(S, q);
  } else {
    while (!read_answer(S, x)) {
      S.report.con->put(prompt);
      S.report.con->flush();
    }
    S.answers.skip_rest_of_line();
  }
  if (S.report.style.tofile) {
    S.report.main->put(prompt);
    S.report.main->line(real_text(x, 6, 3));
  }
}

bool ask_transfer(Session& S) {
  S.report.con->put("Transfer to apogee? ");
  flush_for_question(S);
  if (S.given != nullptr) return S.given->transfer;
  std::string reply;
  if (!S.input.next_line(reply)) reply.clear();  // no answer counts as an empty line
  return reply.empty() || reply == "y" || reply == "Y";
}

void close_outputs(Session& S) {
  if (S.report.main != nullptr) S.report.main->close();
  if (S.report.con != nullptr) S.report.con->close();
  if (S.report.style.tofile) {
    S.report.speedfile.close();
    S.report.heightfile.close();
    S.report.accelfile.close();
    S.report.dynpresfile.close();
  }
}

void salvage_outputs(Session& S) noexcept {
  S.report.stdout_ch.salvage();
  S.report.file_ch.salvage();
  S.report.speedfile.salvage();
  S.report.heightfile.salvage();
  S.report.accelfile.salvage();
  S.report.dynpresfile.salvage();
}

void run_session(Session& S) {
  setup_session(S);
  try {
    while (S.running) {
      ask_real(S, Question::turn_time, S.flight.tt);
      S.tt_typed = S.flight.tt;
      if (S.flight.tt >= min_turn_time) {
        S.flight.record.passes = 0;
        do {
          if (S.flight.iter == 1) {
            S.flight.tt_prev = 0;  // the secant iteration starts afresh
            S.flight.hp_prev = 0;
          }
          booster_phase(S.flight);
          ask_real(S, Question::alpha, S.flight.fs.alpha_max);
          if (S.flight.iter == 1) {
            S.alpha_typed = S.flight.fs.alpha_max;
            S.flight.fs.alpha_max = S.flight.fs.alpha_max * pi / 180;
          }
          core_phase(S.flight);
          ++S.flight.record.passes;
          if (S.flight.iterating) {
            ++S.flight.iter;
            // The series stops where the recommendation leaves the turn times
            // a correction may recommend.
            FlightContext& F = S.flight;
            F.iterating = F.iter < 50 && F.tt > 0 && F.tt < F.desc->mission.plan.turn_time_max &&
                          std::fabs(F.tt - F.tt_prev) > 5e-05;
          }
        } while (S.flight.iterating);
        const bool transfer = ask_transfer(S);
        third_stage_phase(S.flight, transfer);
        if (S.json != nullptr) S.json->end_flight(S.flight, S.tt_typed, S.alpha_typed, transfer, S.iterate_mode);
        S.flight.iterating = S.iterate_mode;
        S.flight.iter = 1;
      } else if (S.flight.tt >= 0) {
        S.report.main->line("Error! Turn time must be greater than one second.");
      } else {
        S.running = false;
      }
    }
  } catch (const EndOfInput&) {
    // The answers ran out: end as after a negative turn time.
    S.running = false;
  }
  close_outputs(S);
}

}  // namespace ascent
