// ascent: flies a three-stage launch vehicle from the pad into Earth orbit,
// one integration step at a time, from the answers on standard input and the
// booster thrust profile "s1.dat".
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

#include "io/cli.hpp"
#include "io/fatal_error.hpp"
#include "io/interrupt.hpp"
#include "session/session.hpp"

namespace {

const char* const usage_text =
    "Usage: ascent [--utf8]\n"
    "       ascent --help | --version\n"
    "\n"
    "Flies a three-stage launch vehicle from the pad into Earth orbit. The\n"
    "questions are asked on standard output and answered on standard input:\n"
    "the output file (return: standard output; i: iterate mode), then for each\n"
    "flight the turn time (s; negative ends the session), the maximum angle of\n"
    "attack (degrees) and whether to transfer to apogee (y, Y or return).\n"
    "Reads the booster thrust profile s1.dat from the working directory; in\n"
    "file mode also writes speed.dat, height.dat, accel.dat and dynpres.dat;\n"
    "every flight writes const_n.pas.\n"
    "\n"
    "Options:\n"
    "  --utf8      degree, plus-minus and squared signs in UTF-8 and lines\n"
    "              ending in LF, on the console and in every file\n"
    "  --help      this text\n"
    "  --version   the program's version\n"
    "\n"
    "Exit status: 0 done; 2, 3, 5 a file not found, a path not found, access\n"
    "denied; 100 a read error or a profile too short; 101 a write error; 106 an\n"
    "answer or profile value that is not a number, or a line over 4096 bytes;\n"
    "64 a bad option; 128 + N stopped by signal N (SIGINT, SIGTERM, SIGHUP).\n";

}  // namespace

int main(int argc, char** argv) {
  ascent::cli::ensure_standard_streams();
#ifdef SIGPIPE
  // A reader that goes away (ascent | head) is a failed write like any
  // other: exit code 101, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  ascent::Session S;
  try {
    if (ascent::cli::answer_help_or_version(argc, argv, "ascent", usage_text)) return 0;
    for (int i = 1; i < argc; ++i) {
      if (std::strcmp(argv[i], "--utf8") == 0) {
        S.utf8 = true;
      } else {
        ascent::cli::report("ascent", std::string("unknown option '") + argv[i] + "' (try --help)");
        return ascent::cli::exit_usage;
      }
    }
  } catch (const ascent::FatalError& e) {
    ascent::cli::report("ascent", e.message);
    return e.code;
  }
  ascent::install_interrupt_handlers();
  // At a terminal a typo is asked again; a script's typo stops the run.
  S.retry_typos = isatty(0) != 0;
  S.stdout_ch.open_stream(stdout, "standard output");
  S.input.open_stream(stdin, "standard input");
  try {
    ascent::run_session(S);
    return 0;
  } catch (const ascent::Interrupted& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", std::string("stopped by ") + ascent::signal_name(e.signal) +
                                      ": every output flushed up to the step flown last");
    return 128 + e.signal;
  } catch (const ascent::FatalError& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", e.message);
    return e.code;
  } catch (const std::exception& e) {
    ascent::salvage_outputs(S);
    ascent::cli::report("ascent", std::string("internal error: ") + e.what());
    return 1;
  }
}
