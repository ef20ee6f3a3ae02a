// The text ascent writes: the step table and the messages of the main
// output, the four data files and the constants file, each exactly as the
// program has always written them. The report follows the flight as an
// observer of its steps and events; the session opens its channels and
// writes the dialogue's prompts and echoes through them.
#pragma once
#include <string>
#include <vector>

#include "io/channel.hpp"
#include "phases/flight_events.hpp"
#include "report/step_table.hpp"
#include "trajectory/step_record.hpp"

namespace ascent {

// Where the files a session creates (the named output, the data files and the
// constants file) go: to disk, into memory (tests, fuzzing) or nowhere.
enum class FileSink { disk, memory, discard };

// The largest thrust acceleration and dynamic pressure over the steps seen,
// with their times (a strictly larger value replaces the one kept).
struct Extremes {
  double amax = 0, t_amax = 0;    // m/s^2, s
  double Pqmax = 0, t_Pqmax = 0;  // Pa, s
  void see(const StepRecord& r) {
    if (r.pad) return;
    if (r.a > amax) {
      amax = r.a;
      t_amax = r.t;
    }
    if (r.q > Pqmax) {
      Pqmax = r.q;
      t_Pqmax = r.t;
    }
  }
};

// The extremes of the pass flown last: a series of passes (iterate mode)
// starts them afresh with each pass, so that they belong to the flight that
// the summary describes.
class PassExtremes final : public StepObserver, public EventObserver {
 public:
  Extremes x;
  void on_step(const StepRecord& r) override { x.see(r); }
  void on_event(const FlightEvent& e) override {
    if (e.kind == EventKind::pass_start) x = Extremes{};
  }
};

// How the messages are written: the bytes of the degree, plus-minus and
// superscript-two signs, and whether the output is a file (the summary then
// states the extremes).
struct ReportStyle {
  unsigned char deg = 0xB0, pm = 0xB1, sq = 0xB2;  // ISO 8859-1, as in a file
  bool tofile = true;
};

// The lines an event writes to the main output, in order, without line ends;
// an empty string is an empty line. `x` is the extremes the summary states.
void event_lines(const FlightEvent& e, const ReportStyle& style, const Extremes& x, std::vector<std::string>& out);

// The seven lines of the constants file, each ended by CR LF.
std::string constants_file_text(const SummaryMasses& M, int unusable = 23);

class TextReport final : public StepObserver, public EventObserver {
 public:
  // Standard output carries the prompts and, in console mode, the main
  // output too: one buffer keeps them in the order written.
  Channel stdout_ch;
  Channel file_ch;
  Channel speedfile, heightfile, accelfile, dynpresfile;
  Channel* main = nullptr;
  Channel* con = nullptr;

  ReportStyle style;
  bool utf8 = false;  // the signs in UTF-8, lines ending in LF
  FileSink file_sink = FileSink::disk;
  std::string const_text;  // the constants file, when file_sink is memory
  // Over the whole session, as the summary of a file reports them.
  Extremes extremes;

  // The table's heading, once the output is open.
  void write_header();
  void on_step(const StepRecord& r) override;
  void on_event(const FlightEvent& e) override;

  // Creates a file for writing according to the file sink.
  void open_output_file(Channel& ch, const std::string& path);
  // The same for a file that replaces the old one only once it is complete.
  void open_replacing_file(Channel& ch, const std::string& path);

 private:
  std::vector<std::string> lines_;
};

}  // namespace ascent
