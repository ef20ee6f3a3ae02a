// The front the study tools (ascent-sweep, ascent-optimize, ascent-mc) share:
// the options they all take, each with one meaning, the rules those options
// obey, the number of threads, and the check that no output takes the place
// of an input or of another output.
#pragma once
#include <string>
#include <vector>

#include "io/cli.hpp"

namespace ascent::study {

// The options of every study tool. --tt and --alpha are the turn time (s)
// and the angle-of-attack limit (degrees) in each; their text is kept as
// typed, for each tool reads its own form of them (a grid A:B:STEP, bounds
// LOW:HIGH, one value).
struct SharedOptions {
  std::string tt, alpha;
  bool tt_given = false, alpha_given = false;
  std::string vehicle;  // empty: the built-in vehicle
  std::string profile;  // empty: the description's, else s1.dat, else the bundled one
  std::string output;   // -o: the tool's main CSV; empty: the tool's default
  unsigned jobs = 0;    // 0: one flight per core
  bool help = false, version = false;
};

// The table rows of the shared options, followed by `own`, the tool's own.
std::vector<cli::Option> option_table(std::vector<cli::Option> own);

// Takes the option `a` stands on when it is a shared one (false: it is the
// tool's own).
bool take_shared(cli::Args& a, SharedOptions& o);

// --help or --version among other options (cli::answer_help_or_version
// answers them alone): prints the usage text, else the version line, and
// is true when it did, the tool having nothing more to do.
bool answer_help_or_version(bool help, bool version, const char* tool, const char* usage);

// The threads a study flies on: --jobs, else one per core.
unsigned jobs_or_cores(unsigned jobs);

// Empty when `tt`, the shortest turn time a study flies, is one ascent
// flies (not below min_turn_time, io/turn_time.hpp); otherwise the refusal,
// led by the option's name.
std::string turn_time_refusal(double tt);

// The files a study reads and writes. Refused before any flight: an output
// that is an input (exit 5: it would be overwritten), one name given for two
// outputs (exit 64), and two output names that are one file through a link
// or a hard link (exit 5: one output would be lost). Links are followed to
// their end even where it does not exist yet, so that b.json -> a.csv is one
// file with a.csv before either is written. Empty names are skipped.
void check_files(const std::vector<std::string>& outputs, const std::vector<std::string>& inputs);

// After a complete study written to `output`: removes `output`.partial, the
// rows an earlier study of that name kept when a signal stopped it (they are
// not this study's rows and must not stay beside them), and says so in one
// line on standard error, led by `tool` and calling the study `what` ("an
// earlier `what` that was stopped"). Anything there that is no plain file is
// left alone; nothing is done for an empty name.
void remove_stale_partial(const char* tool, const std::string& output, const std::string& what);

}  // namespace ascent::study
