// ascent: flies a three-stage launch vehicle from the pad into Earth orbit,
// one integration step at a time, from the answers on standard input and the
// booster thrust profile "s1.dat".
#include <csignal>
#include <cstdio>
#include <exception>

#include "io/fatal_error.hpp"
#include "session/session.hpp"

int main() {
#ifdef SIGPIPE
  // A reader that goes away (ascent | head) is a failed write like any
  // other: exit code 101, not a silent death by signal.
  std::signal(SIGPIPE, SIG_IGN);
#endif
  ascent::Session S;
  S.stdout_ch.open_stream(stdout, "standard output");
  S.input.open_stream(stdin, "standard input");
  try {
    ascent::run_session(S);
    return 0;
  } catch (const ascent::FatalError& e) {
    ascent::salvage_outputs(S);
    std::fprintf(stderr, "ascent: %s\r\n", e.message.c_str());
    return e.code;
  } catch (const std::exception& e) {
    ascent::salvage_outputs(S);
    std::fprintf(stderr, "ascent: internal error: %s\r\n", e.what());
    return 1;
  }
}
