#include "io/interrupt.hpp"

#include <signal.h>

#include <cstring>
#include <initializer_list>

namespace ascent {

volatile std::sig_atomic_t interrupt_signal = 0;

namespace {

extern "C" void on_interrupt(int sig) {
  // The first request counts; a second one does not change the exit code.
  if (interrupt_signal == 0) interrupt_signal = sig;
}

}  // namespace

void install_interrupt_handlers() {
  struct sigaction sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sa_handler = on_interrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a read waiting for an answer returns
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  // A program started with them blocked (the mask is inherited) would hold
  // them pending for ever: let them in.
  sigset_t stop;
  sigemptyset(&stop);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&stop, sig);
  pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
}

const char* signal_name(int sig) {
  switch (sig) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGHUP: return "SIGHUP";
    default: return "a signal";
  }
}

}  // namespace ascent
