#pragma once
#include <csignal>

namespace ascent {

// The signal (SIGINT, SIGTERM or SIGHUP) that asked the run to stop, 0 while
// none has. Set by the handler only; read cheaply wherever the run can stop.
extern volatile std::sig_atomic_t interrupt_signal;

// Thrown where the run notices the request: at the next trajectory step, or at
// a question. Caught at the top, which flushes every output and exits with
// 128 + signal.
struct Interrupted {
  int signal;
};

// Installs the handler for SIGINT, SIGTERM and SIGHUP. A blocking read is not
// restarted after it, so a run waiting for an answer notices it at once.
void install_interrupt_handlers();

inline void check_interrupt() {
  if (interrupt_signal != 0) throw Interrupted{static_cast<int>(interrupt_signal)};
}

// "SIGINT", "SIGTERM", "SIGHUP" or "signal N".
const char* signal_name(int sig);

}  // namespace ascent
